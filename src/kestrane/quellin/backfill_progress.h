#pragma once
// How far a collector's history backfill has come, for its owner's status line and window.
// Plain values; safe to copy between threads.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pyqar/qar_types.h"

namespace quellin {

struct BackfillProgress {
  bool running = false;       // spans are waiting to be read now
  std::size_t tags_done = 0;  // of the tags with spans since the backfill began
  std::size_t tags_total = 0;
  std::uint64_t values = 0;  // stored from history since the backfill began
  // The oldest time a span still waiting reaches back to; empty when none waits.
  std::optional<pyqar::Timestamp> oldest{};
};

}  // namespace quellin
