#include "spool_replay.h"

#include <chrono>

#include <spdlog/spdlog.h>

namespace quellin {

namespace {

// Replay progress is logged at most this often.
constexpr double kReplayReportSeconds = 10.0;
// After a failed write the spool is not replayed for this long (a live write ends the pause).
constexpr double kReplayPauseSeconds = 5.0;

}  // namespace

SpoolReplay::SpoolReplay(SpoolKeeper& keeper, BatchStore& store,
                         std::shared_ptr<spdlog::logger> log, ClockFunc clock)
    : keeper_(keeper), store_(store), log_(std::move(log)), clock_(std::move(clock)) {}

double SpoolReplay::now() const {
  if (clock_) return clock_();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool SpoolReplay::due() const {
  return !keeper_.spool()->empty() && store_.connected() && now() >= not_before_.load();
}

void SpoolReplay::note_outcome(bool database_took_it) {
  // After a failure the spool waits a little, so that a database that keeps failing is not
  // asked again at once; a write that went through lets the replay start right away.
  not_before_ = database_took_it ? 0.0 : now() + kReplayPauseSeconds;
}

bool SpoolReplay::replay_some(bool until_empty, const std::function<bool()>& live_waiting) {
  Spool& spool = *keeper_.spool();
  bool worked = false;
  while (store_.connected() && !spool.empty()) {
    // Live cycles come first: stop as soon as one waits.
    if (!until_empty && live_waiting()) break;
    if (!progress_.active) {
      progress_ = Progress{.active = true,
                           .rows_written = 0,
                           .started = now(),
                           .last_report = now(),
                           .span = spool.span()};
      replaying_ = true;
      log_->info("Replaying the spool: {} rows read between {}", spool.rows(),
                 span_text(progress_.span));
    }
    const std::optional<SpoolBatch> batch = spool.front();
    if (!batch) break;
    std::size_t written = 0;
    if (store_.write(*batch, &written) == BatchStore::Outcome::connection_lost) {
      note_outcome(false);
      break;  // stays in the spool
    }
    spool.pop_front();
    worked = true;
    progress_.rows_written += written;
    if (now() - progress_.last_report >= kReplayReportSeconds) {
      progress_.last_report = now();
      log_->info("Replaying the spool: {} rows written, {} rows left", progress_.rows_written,
                 spool.rows());
    }
  }
  if (progress_.active && spool.empty()) {
    log_->info("Spool replay finished: {} rows read between {} written in {:.1f} s",
               progress_.rows_written, span_text(progress_.span), now() - progress_.started);
    progress_ = Progress{};
    replaying_ = false;
  }
  // Also after nothing was written: a segment the spool gave up on shrinks it too.
  keeper_.report();
  return worked;
}

}  // namespace quellin
