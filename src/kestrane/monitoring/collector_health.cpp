#include "monitoring/collector_health.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include <fmt/format.h>

namespace kestrane_monitoring {

namespace {

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CollectorHealth::CollectorHealth(double sample_interval, std::function<double()> clock)
    : interval_(std::max(sample_interval, 0.0)),
      clock_(clock ? std::move(clock) : std::function<double()>(steady_seconds)),
      // The start counts as the last read, so a collector gets three intervals to read first.
      last_read_(clock_()),
      last_pass_(clock_()) {}

double CollectorHealth::now() const { return clock_(); }

double CollectorHealth::allowance() const {
  // At least a second: a zero interval (read as fast as possible) is not a zero allowance.
  return 3.0 * std::max({interval_, last_pass_seconds_.load(), 1.0 / 3.0});
}

void CollectorHealth::cycle_read() { last_read_ = now(); }

void CollectorHealth::cycle_done(double seconds) {
  last_pass_seconds_ = std::isfinite(seconds) ? std::max(seconds, 0.0) : 0.0;
  last_pass_ = now();
}

void CollectorHealth::pausing(double seconds) {
  if (std::isfinite(seconds) && seconds > 0) pause_until_ = now() + seconds;
}

void CollectorHealth::rows_kept() { rows_lost_ = false; }

void CollectorHealth::rows_lost() { rows_lost_ = true; }

CollectorHealth::Verdict CollectorHealth::verdict() const {
  const double quiet = now() - last_read_.load();
  if (quiet > allowance()) {
    return {false, fmt::format("no cycle read for {:.0f} s", std::floor(quiet))};
  }
  if (rows_lost_) return {false, "TSDB unreachable, rows dropped"};
  return {true, "ok"};
}

bool CollectorHealth::making_progress() const {
  const double time = now();
  if (time <= pause_until_.load() + allowance()) return true;
  return time - last_pass_.load() <= allowance();
}

}  // namespace kestrane_monitoring
