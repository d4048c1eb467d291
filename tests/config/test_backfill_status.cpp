// The words shown for a running backfill: counts grouped by thousands, the oldest time in UTC.

#include "config/backfill_status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace kestrane_config {
namespace {

using namespace std::chrono;

pyqar::Timestamp utc(int y, unsigned m, unsigned d, hours h) {
  return pyqar::Timestamp(sys_days{year{y} / month{m} / day{d}} + h);
}

TEST(BackfillStatus, CountsAreGroupedByThousandsAtEveryBoundary) {
  EXPECT_EQ(with_thousands(0), "0");
  EXPECT_EQ(with_thousands(999), "999");
  EXPECT_EQ(with_thousands(1000), "1,000");
  EXPECT_EQ(with_thousands(100000), "100,000");
  EXPECT_EQ(with_thousands(3'456'789), "3,456,789");
  EXPECT_EQ(with_thousands(std::numeric_limits<std::uint64_t>::max()),
            "18,446,744,073,709,551,615");
}

TEST(BackfillStatus, TimesAreUtcToTheSecondCutNotRounded) {
  EXPECT_EQ(utc_text(utc(2026, 12, 9, hours(4)) + milliseconds(999)), "2026-12-09 04:00:00");
  EXPECT_EQ(utc_text(pyqar::Timestamp{}), "1970-01-01 00:00:00");
  // Before 1970 a fraction still belongs to the second it lies in.
  EXPECT_EQ(utc_text(pyqar::Timestamp{} - milliseconds(500)), "1969-12-31 23:59:59");
}

TEST(BackfillStatus, TheLineNamesTheOldestTimeOnlyWhenKnown) {
  quellin::BackfillProgress progress{.running = true,
                                     .tags_done = 1234,
                                     .tags_total = 2000,
                                     .values = 3'456'789,
                                     .oldest = utc(2026, 12, 9, hours(4))};
  EXPECT_EQ(backfill_status_text(progress),
            "Backfill: 1,234 of 2,000 tags, 3,456,789 values, oldest 2026-12-09 04:00:00");
  progress.oldest.reset();
  EXPECT_EQ(backfill_status_text(progress), "Backfill: 1,234 of 2,000 tags, 3,456,789 values");
}

}  // namespace
}  // namespace kestrane_config
