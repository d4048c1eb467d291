#pragma once
// Whether and how a collector fills the gaps in its stored values from the server's own
// history. Plain values; safe to copy between threads.

#include <cstdint>

namespace quellin {

struct BackfillOptions {
  bool enabled = false;
  // Gaps are filled at most this far back; the older part of a gap is logged as unfilled.
  double max_age_seconds = 86'400.0;
  // A tag with no stored row yet: this much history before its first live value (0: none).
  double initial_seconds = 0.0;
  // The most values asked for per second (0: no limit), so that a small server is not swamped.
  double rate_values_per_second = 0.0;
  // Values asked for per node and call (within the server's MaxReturnDataValues).
  std::uint32_t values_per_node = 1'000;
};

}  // namespace quellin
