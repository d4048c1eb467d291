#pragma once
// CollectorHealth: whether the collector is doing its job, from what it last reported: the
// verdict of the health endpoint, and whether the service watchdog may be fed. The owner keeps
// it; the collector and writer threads report, any thread may ask (all state is atomic).

#include <atomic>
#include <cstdint>
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
  // The writer's side: rows the TSDB took, rows waiting (in the spool, and handed to the writer
  // but not yet taken up), and whether a TSDB connection is open.
  void rows_written();
  void spool_rows(std::uint64_t rows);
  void handoff_rows(std::uint64_t rows);
  void tsdb_connected(bool connected);
  // Subscribing: whether every subscription heard from the server (data or keep-alive) within
  // its watchdog limit of `watchdog_seconds`, as the collector last found.
  void subscriptions_alive(bool alive, double watchdog_seconds);

  // Healthy while a cycle was read within the last three intervals (or three of the slowest
  // recent passes), the subscriptions (if any) hear from the server, the last rows were kept,
  // and the writer is not stuck: rows wait while the TSDB is connected, yet none was written
  // (nor the spool shrunk) for write_allowance().
  Verdict verdict() const;
  // Whether the collection loop still turns over and the writer is not stuck: false when a
  // pass is overdue (pauses after errors do not make it so) or as the verdict says of the
  // writer.
  bool making_progress() const;
  // How long the writer may go without progress while rows wait and the TSDB is connected:
  // three intervals, at least kMinWriteStallSeconds.
  double write_allowance() const;
  static constexpr double kMinWriteStallSeconds = 30.0;

 private:
  double now() const;
  // Three intervals, or three of the last pass's duration when passes are slower.
  double allowance() const;
  // Seconds the writer has gone without progress while it should have made some; 0 when no
  // row waits or no TSDB connection is open.
  double write_stall() const;
  void waiting_changed(std::uint64_t before, std::uint64_t after);

  const double interval_;
  const std::function<double()> clock_;
  std::atomic<double> last_read_;
  std::atomic<double> last_pass_;
  std::atomic<double> last_pass_seconds_{0.0};
  std::atomic<double> pause_until_{0.0};
  std::atomic<bool> rows_lost_{false};
  std::atomic<bool> subscriptions_alive_{true};
  std::atomic<double> watchdog_seconds_{0.0};
  // Writer progress: the last time rows were written (or the spool shrank), since when rows
  // wait, since when the connection is open; the stall counts from the latest of the three.
  std::atomic<double> last_write_progress_;
  std::atomic<double> waiting_since_{0.0};
  std::atomic<double> connected_since_{0.0};
  std::atomic<bool> connected_{false};
  std::atomic<std::uint64_t> spool_rows_{0};
  std::atomic<std::uint64_t> handoff_rows_{0};
};

}  // namespace kestrane_monitoring
