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
      last_pass_(clock_()),
      last_write_progress_(clock_()) {}

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

void CollectorHealth::subscriptions_alive(bool alive, double watchdog_seconds) {
  watchdog_seconds_ = watchdog_seconds;
  subscriptions_alive_ = alive;
}

void CollectorHealth::rows_written() { last_write_progress_ = now(); }

void CollectorHealth::waiting_changed(std::uint64_t before, std::uint64_t after) {
  if (before == 0 && after > 0) waiting_since_ = now();
}

void CollectorHealth::spool_rows(std::uint64_t rows) {
  const std::uint64_t before = spool_rows_.exchange(rows);
  // A spool that shrinks is being written back (or skipped as already stored): progress.
  if (rows < before) last_write_progress_ = now();
  waiting_changed(before + handoff_rows_.load(), rows + handoff_rows_.load());
}

void CollectorHealth::handoff_rows(std::uint64_t rows) {
  const std::uint64_t before = handoff_rows_.exchange(rows);
  waiting_changed(before + spool_rows_.load(), rows + spool_rows_.load());
}

void CollectorHealth::tsdb_connected(bool connected) {
  if (connected && !connected_.exchange(true)) {
    connected_since_ = now();
  } else if (!connected) {
    connected_ = false;
  }
}

double CollectorHealth::write_allowance() const {
  return std::max(3.0 * interval_, kMinWriteStallSeconds);
}

double CollectorHealth::write_stall() const {
  if (!connected_ || spool_rows_.load() + handoff_rows_.load() == 0) return 0.0;
  const double since =
      std::max({last_write_progress_.load(), waiting_since_.load(), connected_since_.load()});
  return std::max(now() - since, 0.0);
}

CollectorHealth::Verdict CollectorHealth::verdict() const {
  const double quiet = now() - last_read_.load();
  if (quiet > allowance()) {
    return {false, fmt::format("no cycle read for {:.0f} s", std::floor(quiet))};
  }
  if (!subscriptions_alive_) {
    return {false, fmt::format("no notification or keep-alive from the OPC server within the "
                               "subscriptions' watchdog limit of {:.0f} s",
                               std::ceil(watchdog_seconds_.load()))};
  }
  if (rows_lost_) return {false, "TSDB unreachable, rows dropped"};
  if (const double stall = write_stall(); stall > write_allowance()) {
    return {false, fmt::format("no rows written for {:.0f} s while {} rows wait", std::floor(stall),
                               spool_rows_.load() + handoff_rows_.load())};
  }
  return {true, "ok"};
}

bool CollectorHealth::making_progress() const {
  // A writer stuck with the database connected is not fixed by waiting: let the service
  // manager restart the program (the spool keeps the rows).
  if (write_stall() > write_allowance()) return false;
  const double time = now();
  if (time <= pause_until_.load() + allowance()) return true;
  return time - last_pass_.load() <= allowance();
}

}  // namespace kestrane_monitoring
