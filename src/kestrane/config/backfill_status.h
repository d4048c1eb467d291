#pragma once
// The words both programs show for a running history backfill: the console beside its status
// line, the desktop in its window. Free functions over plain values; any thread.

#include <cstdint>
#include <string>

#include "pyqar/qar_types.h"
#include "quellin/backfill_progress.h"

namespace kestrane_config {

// "3,456,789": digits grouped by thousands with commas, whatever the locale.
std::string with_thousands(std::uint64_t number);

// "2026-12-09 04:00:00": the time in UTC, to the second (a fraction is cut, not rounded).
std::string utc_text(pyqar::Timestamp time);

// "Backfill: 1,234 of 2,000 tags, 3,456,789 values, oldest 2026-12-09 04:00:00", without the
// oldest time when none is known.
std::string backfill_status_text(const quellin::BackfillProgress& progress);

}  // namespace kestrane_config
