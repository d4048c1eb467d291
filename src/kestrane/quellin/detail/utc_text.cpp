#include "utc_text.h"

#include <chrono>

#include <fmt/format.h>

namespace quellin {
namespace {

template <typename Duration>
std::string calendar_text(std::int64_t time_us, int fraction_digits) {
  using namespace std::chrono;
  const sys_time<Duration> t{floor<Duration>(microseconds{time_us})};
  const sys_days day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss clock{t - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:0{}}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     clock.hours().count(), clock.minutes().count(), clock.seconds().count(),
                     clock.subseconds().count(), fraction_digits);
}

}  // namespace

std::string utc_text(std::int64_t time_us, UtcPrecision precision) {
  constexpr std::int64_t kYear1 = -62135596800LL * 1'000'000;
  constexpr std::int64_t kYear10000 = 253402300800LL * 1'000'000;
  if (time_us < kYear1 || time_us >= kYear10000) return fmt::format("{}us", time_us);
  if (precision == UtcPrecision::kMicroseconds) {
    return calendar_text<std::chrono::microseconds>(time_us, 6);
  }
  return calendar_text<std::chrono::milliseconds>(time_us, 3);
}

}  // namespace quellin
