#pragma once
// CollectorHealth: whether the collector is doing its job, from what it last reported: the
// verdict of the health endpoint, and whether the service watchdog may be fed. The owner keeps
// it; the collector and writer threads report, any thread may ask (all state is atomic).

#include <atomic>
#include <functional>
#include <string>

namespace kestrane_monitoring {

class CollectorHealth {
 public:
  struct Verdict {
    bool healthy = false;
    std::string reason;  // "ok", or one line saying what is wrong
  };

  // `sample_interval`: seconds between cycles. `clock`: monotonic seconds; empty: steady_clock.
  explicit CollectorHealth(double sample_interval, std::function<double()> clock = {});

  void cycle_read();
  // A pass of the collection loop ended, `seconds` after it began.
  void cycle_done(double seconds);
  // No pass comes for `seconds` (a pause after errors).
  void pausing(double seconds);
  // The last rows handed to the TSDB side were written or spooled, or dropped because the
  // TSDB could not be reached (and nothing could keep them).
  void rows_kept();
  void rows_lost();

  // Healthy while a cycle was read within the last three intervals (or three of the slowest
  // recent passes) and the last rows were kept.
  Verdict verdict() const;
  // Whether the collection loop still turns over: false only when a pass is overdue, which
  // pauses after errors do not make it.
  bool making_progress() const;

 private:
  double now() const;
  // Three intervals, or three of the last pass's duration when passes are slower.
  double allowance() const;

  const double interval_;
  const std::function<double()> clock_;
  std::atomic<double> last_read_;
  std::atomic<double> last_pass_;
  std::atomic<double> last_pass_seconds_{0.0};
  std::atomic<double> pause_until_{0.0};
  std::atomic<bool> rows_lost_{false};
};

}  // namespace kestrane_monitoring
