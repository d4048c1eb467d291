#include "tsdb_writer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "journel/log.h"

namespace quellin {

namespace {

// Cycles that may wait for the writer; more go straight to the spool.
constexpr std::size_t kHandoffCapacity = 2;

// What a cycle hands over, as the hand-off and the spool count it: an event counts as a row.
std::size_t cycle_entries(const WriteCycle& cycle) {
  return cycle.results.size() + cycle.events.size();
}

}  // namespace

TsdbWriter::TsdbWriter(Options options)
    : db_status_notify_(std::move(options.db_status_notify)),
      spool_notify_(std::move(options.spool_notify)),
      log_(options.log ? std::move(options.log) : journel::get_logger("quellin")),
      metrics_(std::move(options.metrics)),
      rows_(log_, metrics_),
      keeper_(options.spool, log_, options.clock, metrics_),
      store_(BatchStore::Options{
          .tsdb_cfg = std::move(options.tsdb_cfg),
          .tsdb_connect = std::move(options.tsdb_connect),
          .tag_ids = std::move(options.tag_ids),
          .prepare_connection = std::move(options.prepare_connection),
          .spool_dir = keeper_.spool() ? std::optional(options.spool->dir) : std::nullopt,
          .spool_env = keeper_.spool() ? options.spool->env : nullptr,
          .clock = options.clock,
          .log = log_,
          .metrics = metrics_,
          .event_source = std::move(options.event_source)}),
      tickets_(std::move(options.record_kept)) {
  if (keeper_.spool()) {
    replay_ = std::make_unique<SpoolReplay>(keeper_, store_, log_, options.clock);
  }
  store_.report_connection();
  keeper_.report();
}

TsdbWriter::~TsdbWriter() {
  try {
    stop();
  } catch (const std::exception& e) {
    log().error("Stopping the TSDB writer failed: {}", e.what());
  }
  // A thread that stop() left behind is waited for here: it uses this object to its end.
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void TsdbWriter::start() {
  std::lock_guard lock(handoff_mutex_);
  if (thread_started_ || stopping_) return;
  thread_started_ = true;
  thread_ = std::thread([this] { thread_main(); });
}

void TsdbWriter::report_handoff_locked() {
  if (metrics_) metrics_->handoff_rows(handoff_rows_);
}

std::uint64_t TsdbWriter::submit(WriteCycle cycle) {
  // Refused here, on the caller's thread, rather than lost on the writer's.
  check_row_times(cycle);
  const std::uint64_t ticket = tickets_.issue(std::move(cycle.covers));
  std::unique_lock lock(handoff_mutex_);
  if (!stopping_ && !keeper_.spool()) {
    // Without a spool the collector waits for room, as it waited for its own writes before.
    handoff_cv_.wait(lock, [this] { return stopping_ || handoff_.size() < kHandoffCapacity; });
  }
  if (!stopping_ && handoff_.size() < kHandoffCapacity) {
    handoff_rows_ += cycle_entries(cycle);
    handoff_.push_back(Handed{ticket, std::move(cycle)});
    report_handoff_locked();
    lock.unlock();
    handoff_cv_.notify_all();
    return ticket;
  }
  lock.unlock();
  // The writer is behind (a slow or hanging database) or stopped: the cycle waits on disk.
  // Nothing here may wait for the connection, which a hanging write holds.
  keeper_.keep(rows_.to_batch(cycle), "the writer is busy");
  settle(ticket);
  return ticket;
}

void TsdbWriter::settle(std::uint64_t ticket) {
  // Whatever the spool holds by now, this cycle's batch included when it went there, must be
  // durable before the cycle counts as kept.
  tickets_.settle(ticket, keeper_.appended());
}

std::size_t TsdbWriter::waiting_cycles() const {
  std::lock_guard lock(handoff_mutex_);
  return handoff_.size();
}

void TsdbWriter::ask_edges(std::vector<GapTracker::EdgeRequest> requests) {
  {
    std::lock_guard lock(edges_mutex_);
    edge_requests_.insert(edge_requests_.end(), std::make_move_iterator(requests.begin()),
                          std::make_move_iterator(requests.end()));
  }
  handoff_cv_.notify_all();
}

std::vector<TsdbWriter::EdgeAnswer> TsdbWriter::take_edge_answers() {
  std::lock_guard lock(edges_mutex_);
  return std::exchange(edge_answers_, {});
}

void TsdbWriter::answer_edges() {
  std::vector<GapTracker::EdgeRequest> asked;
  {
    std::lock_guard lock(edges_mutex_);
    if (edge_requests_.empty()) return;
    asked = edge_requests_;
  }
  if (keeper_.rows() > 0 || !store_.connected()) return;
  std::optional<std::vector<GapTracker::StoredEdge>> edges;
  {
    std::lock_guard lock(conn_mutex_);
    edges = store_.start_edges(asked);
  }
  if (!edges) return;
  std::lock_guard lock(edges_mutex_);
  edge_requests_.erase(edge_requests_.begin(),
                       edge_requests_.begin() + static_cast<std::ptrdiff_t>(asked.size()));
  edge_answers_.push_back({std::move(asked), std::move(*edges)});
}

std::uint64_t TsdbWriter::kept_through() {
  return tickets_.kept_through(keeper_.durable_through());
}

std::uint64_t TsdbWriter::sync_kept() {
  if (tickets_.waiting_for_sync(keeper_.durable_through())) keeper_.sync();
  return kept_through();
}

std::uint64_t TsdbWriter::write_now(WriteCycle cycle) {
  check_row_times(cycle);
  const std::uint64_t ticket = tickets_.issue(std::move(cycle.covers));
  _handle_write_tsdb(cycle);
  settle(ticket);
  if (replay_due()) replay_some(true);
  answer_edges();
  keeper_.sync_if_due();
  kept_through();
  notify_spool();
  return ticket;
}

void TsdbWriter::stop() {
  using Clock = std::chrono::steady_clock;
  const bool on_writer_thread =
      thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
  std::deque<Handed> waiting;
  {
    std::lock_guard lock(handoff_mutex_);
    if (stopped_) return;
    stopping_ = true;
    store_.request_stop();
    if (keeper_.spool()) {
      waiting.swap(handoff_);
      handoff_rows_ = 0;
      report_handoff_locked();
    }
  }
  handoff_cv_.notify_all();
  // With a spool, what waits goes to disk first: whatever the write under way does, none of
  // it is held only in memory.
  for (const Handed& handed : waiting) {
    keeper_.keep(rows_.to_batch(handed.cycle), "stopping");
    settle(handed.ticket);
  }

  bool ended = true;
  if (thread_.joinable() && !on_writer_thread) {
    const auto started = Clock::now();
    ended = wait_for_thread(kStopWriteGraceSeconds);
    if (!ended) {
      log().warn("Stopping: the TSDB writer is still busy after {:.1f} s; cancelling its request",
                 std::chrono::duration<double>(Clock::now() - started).count());
      {
        std::lock_guard lock(handoff_mutex_);
        give_up_ = true;
      }
      handoff_cv_.notify_all();
      store_.abort();
      ended = wait_for_thread(kStopAbortWaitSeconds);
    }
    if (ended) {
      thread_.join();
    } else {
      log().error(
          "Stopping: the TSDB writer did not end {:.1f} s after its write was cancelled; it is "
          "left behind, its rows are kept",
          kStopAbortWaitSeconds);
      {
        std::lock_guard lock(handoff_mutex_);
        abandoned_ = true;
      }
      keep_in_flight("stopping while its write hung");
    }
  }

  // Without a spool the writer wrote what waited until the bound; the rest is lost.
  std::deque<Handed> left;
  {
    std::lock_guard lock(handoff_mutex_);
    left.swap(handoff_);
    handoff_rows_ = 0;
    report_handoff_locked();
  }
  std::size_t left_rows = 0;
  for (const Handed& handed : left) {
    left_rows += cycle_entries(handed.cycle);
    settle(handed.ticket);
  }
  if (left_rows > 0) {
    log().error(
        "Stopping: {} rows of {} cycles dropped: the TSDB did not take them within {:.1f} s",
        left_rows, left.size(), kStopWriteGraceSeconds + kStopAbortWaitSeconds);
    if (metrics_) metrics_->rows_dropped(left_rows, drop_reason::kTsdbUnreachable);
  }
  keeper_.sync_if_due();

  if (ended) {
    std::lock_guard conn_lock(conn_mutex_);
    store_.close();
  }
  store_.report_connection();
  std::lock_guard lock(handoff_mutex_);
  stopped_ = true;
}

bool TsdbWriter::wait_for_thread(double seconds) {
  std::unique_lock lock(handoff_mutex_);
  return handoff_cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                              [this] { return thread_done_; });
}

bool TsdbWriter::thread_alive() const {
  std::lock_guard lock(handoff_mutex_);
  return thread_started_ && !thread_done_;
}

bool TsdbWriter::has_tsdb_conn() const { return store_.connected(); }

std::uint64_t TsdbWriter::spooled_rows() const { return keeper_.rows(); }

bool TsdbWriter::replay_due() const { return replay_ && replay_->due(); }

void TsdbWriter::note_outcome(bool database_took_it) {
  if (replay_) replay_->note_outcome(database_took_it);
}

bool TsdbWriter::replay_some(bool until_empty) {
  std::lock_guard lock(conn_mutex_);
  return replay_->replay_some(until_empty, [this] {
    std::lock_guard handoff_lock(handoff_mutex_);
    return !handoff_.empty() || stopping_;
  });
}

void TsdbWriter::notify_spool() { keeper_.notify(spool_notify_, replay_ && replay_->replaying()); }

void TsdbWriter::thread_main() {
  for (;;) {
    // Nothing may leave the thread, and nothing may end it but a stop: an error the loop did
    // not expect restarts it, so that the rows keep flowing.
    try {
      run_loop();
      break;
    } catch (const std::exception& e) {
      log().error("TSDB writer failed: {}; it starts again in {:.0f} s", e.what(),
                  kWriterRestartPauseSeconds);
    } catch (...) {
      log().error("TSDB writer failed: unknown error; it starts again in {:.0f} s",
                  kWriterRestartPauseSeconds);
    }
    try {
      // The batch the error interrupted is kept, under its own id.
      keep_in_flight("the TSDB writer failed");
    } catch (...) {
      log().error("TSDB writer: the interrupted batch could not be kept");
    }
    if (!pause_before_restart()) break;
  }
  {
    std::lock_guard lock(handoff_mutex_);
    thread_done_ = true;
  }
  handoff_cv_.notify_all();
}

bool TsdbWriter::pause_before_restart() {
  std::unique_lock lock(handoff_mutex_);
  return !handoff_cv_.wait_for(lock, std::chrono::duration<double>(kWriterRestartPauseSeconds),
                               [this] { return stopping_; });
}

void TsdbWriter::run_loop() {
  for (;;) {
    std::optional<Handed> cycle;
    // Asked before the hand-off lock: the replay takes the two locks in the other order.
    const bool can_replay = replay_due();
    {
      std::unique_lock lock(handoff_mutex_);
      // With rows on disk the loop turns over to replay them; otherwise it sleeps until a
      // cycle comes, waking once a second to sync the spool.
      if (!can_replay) {
        handoff_cv_.wait_for(lock, std::chrono::seconds(1),
                             [this] { return stopping_ || !handoff_.empty(); });
      }
      // A stop took the hand-off already when there is a spool; without one, what waits is
      // written until the stop gives up.
      if (stopping_ && (keeper_.spool() || give_up_ || handoff_.empty())) return;
      if (!handoff_.empty()) {
        cycle = std::move(handoff_.front());
        handoff_.pop_front();
        handoff_rows_ -= std::min(handoff_rows_, cycle_entries(cycle->cycle));
        report_handoff_locked();
      }
    }
    handoff_cv_.notify_all();
    if (cycle) {
      const bool report = !cycle->cycle.results.empty();
      const std::uint64_t ticket = cycle->ticket;
      auto batch = std::make_shared<const SpoolBatch>(rows_.to_batch(cycle->cycle));
      cycle.reset();
      try {
        write_cycle(batch, report);
      } catch (...) {
        // Kept before the error goes on to restart the loop, so that the ticket is settled
        // only once the rows are safe.
        keep_in_flight("the TSDB writer failed");
        settle(ticket);
        throw;
      }
      settle(ticket);
      // Written (or set aside): its numbers are recorded now, not when the collector next
      // asks. Between the commit and this record a crash leaves the rows stored and the
      // numbers behind them: the next start asks again for those messages and stores them
      // twice; only that window of a few milliseconds is left.
      kept_through();
      notify_spool();
    } else if (can_replay && !replay_some(false)) {
      // Nothing could be replayed (the database failed again): wait for the next cycle.
      std::unique_lock lock(handoff_mutex_);
      handoff_cv_.wait_for(lock, std::chrono::seconds(1),
                           [this] { return stopping_ || !handoff_.empty(); });
    }
    answer_edges();
    keeper_.sync_if_due();
    kept_through();
  }
}

std::shared_ptr<const SpoolBatch> TsdbWriter::take_in_flight(const SpoolBatch* batch) {
  std::lock_guard lock(handoff_mutex_);
  if (!in_flight_ || (batch != nullptr && in_flight_.get() != batch)) return nullptr;
  return std::exchange(in_flight_, nullptr);
}

void TsdbWriter::keep_in_flight(const char* why) {
  if (const auto batch = take_in_flight(nullptr)) keeper_.keep(*batch, why);
}

void TsdbWriter::_handle_write_tsdb(const WriteCycle& cycle) {
  write_cycle(std::make_shared<const SpoolBatch>(rows_.to_batch(cycle)), !cycle.results.empty());
}

void TsdbWriter::write_cycle(const std::shared_ptr<const SpoolBatch>& batch, bool report) {
  // The rows stay in flight until their outcome is settled below; a stop that gives up on a
  // hanging write spools them from there, and then this thread must not spool them again.
  bool left_behind = false;
  {
    std::lock_guard lock(handoff_mutex_);
    left_behind = abandoned_;
    if (!left_behind) in_flight_ = batch;
  }
  if (left_behind) {
    keeper_.keep(*batch, "stopping");
    return;
  }
  std::optional<std::pair<bool, std::size_t>> outcome;
  {
    std::unique_lock lock(conn_mutex_);
    if (!store_.connected()) {
      // After stop() the connection stays closed: no new one that nobody would close.
      if (!store_.closed()) store_.handle_db_error();
      if (take_in_flight(batch.get())) keeper_.keep(*batch, "no connection to the TSDB");
      note_outcome(store_.connected());
      return;
    }
    std::size_t written = 0;
    const BatchStore::Outcome result = store_.write(*batch, &written);
    const bool mine = take_in_flight(batch.get()) != nullptr;
    switch (result) {
      case BatchStore::Outcome::written:
        outcome.emplace(written > 0, written);
        break;
      case BatchStore::Outcome::duplicate:
        // Stored before (a replay, or rows made again under their first identity): nothing
        // failed, and nothing new was written.
        outcome.emplace(true, 0);
        break;
      case BatchStore::Outcome::rejected:
        outcome.emplace(false, 0);
        break;
      case BatchStore::Outcome::connection_lost:
        if (mine) keeper_.keep(*batch, "the connection to the TSDB failed");
        outcome.emplace(false, 0);
        break;
    }
    note_outcome(result != BatchStore::Outcome::connection_lost);
    if (!report) outcome.reset();
  }
  // Outside the lock, so that a callback may call stop().
  if (outcome && db_status_notify_) db_status_notify_(outcome->first, outcome->second);
}

bool TsdbWriter::_handle_db_error() {
  std::lock_guard lock(conn_mutex_);
  return store_.handle_db_error();
}

}  // namespace quellin
