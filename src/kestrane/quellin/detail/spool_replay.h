#pragma once
// SpoolReplay: writes the spool back through the batch store, oldest batch first, between live
// cycles, with a log line at its start, every kReplayReportSeconds and at its end. After a
// failed write it waits kReplayPauseSeconds before it tries again (a write that goes through
// ends the pause).
// Owned by the TsdbWriter. replay_some() runs with the owner's connection mutex held (it
// writes through the store); due(), note_outcome() and replaying() may be called from any
// thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "batch_store.h"
#include "quellin/collector_hooks.h"
#include "spool_keeper.h"

namespace spdlog {
class logger;
}

namespace quellin {

class SpoolReplay {
 public:
  // Both must outlive the replay; `keeper` has a spool.
  SpoolReplay(SpoolKeeper& keeper, BatchStore& store, std::shared_ptr<spdlog::logger> log,
              ClockFunc clock);

  // Whether spooled rows should be written now.
  bool due() const;
  // Whether the database took the last write: after a failure the replay pauses.
  void note_outcome(bool database_took_it);
  // Whether a replay is under way (started and not yet finished).
  bool replaying() const { return replaying_.load(); }
  // Writes spooled batches until the spool is empty, the connection fails, or, unless
  // `until_empty`, `live_waiting()` says a live cycle waits. True when it wrote any.
  bool replay_some(bool until_empty, const std::function<bool()>& live_waiting);

 private:
  double now() const;

  SpoolKeeper& keeper_;
  BatchStore& store_;
  std::shared_ptr<spdlog::logger> log_;
  ClockFunc clock_;

  // Progress, for the start, progress and end lines; with the owner's connection mutex held.
  struct Progress {
    bool active = false;
    std::uint64_t rows_written = 0;
    double started = 0;
    double last_report = 0;
    std::optional<std::pair<std::int64_t, std::int64_t>> span;
  };
  Progress progress_;
  std::atomic<bool> replaying_{false};
  // Clock time before which the spool is not replayed (after a failure).
  std::atomic<double> not_before_{0.0};
};

}  // namespace quellin
