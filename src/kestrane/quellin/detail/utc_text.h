#pragma once
// utc_text: a time as ISO-8601 UTC text, for log lines and the rejected-rows file. A free
// function; any thread.

#include <cstdint>
#include <string>

namespace quellin {

enum class UtcPrecision { kMilliseconds, kMicroseconds };

// "2026-12-08T07:28:47.123Z", or "2026-12-08T07:28:47.123456Z" to the microsecond, for UTC
// microseconds since the epoch (rounded down, before 1970 too). A time outside the years 1 to
// 9999, which no such date can show, is printed as its number: "-70000000000000000us".
std::string utc_text(std::int64_t time_us, UtcPrecision precision = UtcPrecision::kMilliseconds);

}  // namespace quellin
