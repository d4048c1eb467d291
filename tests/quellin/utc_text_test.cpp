#include "utc_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace quellin {
namespace {

// 2026-12-08T07:28:47.123456Z
constexpr std::int64_t kSample = 1796714927'123456;

TEST(UtcText, ShowsMillisecondsOrMicrosecondsRoundedDown) {
  EXPECT_EQ(utc_text(kSample), "2026-12-08T07:28:47.123Z");
  EXPECT_EQ(utc_text(kSample, UtcPrecision::kMicroseconds), "2026-12-08T07:28:47.123456Z");
  EXPECT_EQ(utc_text(0), "1970-01-01T00:00:00.000Z");
}

TEST(UtcText, ATimeBefore1970RoundsTowardsThePast) {
  EXPECT_EQ(utc_text(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(utc_text(-1, UtcPrecision::kMicroseconds), "1969-12-31T23:59:59.999999Z");
}

TEST(UtcText, ATimeNoFourDigitYearCanShowIsPrintedAsItsNumber) {
  constexpr std::int64_t kYear1 = -62135596800LL * 1'000'000;
  constexpr std::int64_t kYear10000 = 253402300800LL * 1'000'000;
  EXPECT_EQ(utc_text(kYear1), "0001-01-01T00:00:00.000Z");
  EXPECT_EQ(utc_text(kYear10000 - 1, UtcPrecision::kMicroseconds), "9999-12-31T23:59:59.999999Z");
  EXPECT_EQ(utc_text(kYear1 - 1), "-62135596800000001us");
  EXPECT_EQ(utc_text(kYear10000), "253402300800000000us");
  const std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(utc_text(lowest, UtcPrecision::kMicroseconds), "-9223372036854775808us");
}

}  // namespace
}  // namespace quellin
