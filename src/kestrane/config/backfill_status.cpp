#include "config/backfill_status.h"

#include <chrono>
#include <ctime>

#include <fmt/format.h>

namespace kestrane_config {

std::string with_thousands(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string text;
  text.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string utc_text(pyqar::Timestamp time) {
  // floor, not a cast: a time before 1970 keeps its own second.
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const std::time_t t = static_cast<std::time_t>(seconds.time_since_epoch().count());
  std::tm parts{};
  if (::gmtime_r(&t, &parts) == nullptr) return "(time out of range)";
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", parts.tm_year + 1900, parts.tm_mon + 1,
                     parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

std::string backfill_status_text(const quellin::BackfillProgress& progress) {
  std::string text =
      fmt::format("Backfill: {} of {} tags, {} values", with_thousands(progress.tags_done),
                  with_thousands(progress.tags_total), with_thousands(progress.values));
  if (progress.oldest) text += ", oldest " + utc_text(*progress.oldest);
  return text;
}

}  // namespace kestrane_config
