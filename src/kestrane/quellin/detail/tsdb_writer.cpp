#include "tsdb_writer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <random>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "journel/log.h"
#include "tidewell/tidewell.h"

namespace quellin {

namespace {

// Floating values beyond this bound are stored as infinities; the bound is deliberately
// 3.4e38 and not the largest single-precision value.
constexpr double kFloatBound = 3.4e38;
// Cycles that may wait for the writer; more go straight to the spool.
constexpr std::size_t kHandoffCapacity = 2;
// Replay progress is logged at most this often.
constexpr double kReplayReportSeconds = 10.0;
// After a failed write the spool is not replayed for this long (a live write ends the pause).
constexpr double kReplayPauseSeconds = 5.0;
// Records of stored batches older than the retention are pruned at most this often.
constexpr double kPruneEverySeconds = 3600.0;
constexpr std::int64_t kMicrosecondsPerDay = 86400LL * 1000000;

bool is_good(std::string_view quality) {
  while (!quality.empty() && std::isspace(static_cast<unsigned char>(quality.front()))) {
    quality.remove_prefix(1);
  }
  while (!quality.empty() && std::isspace(static_cast<unsigned char>(quality.back()))) {
    quality.remove_suffix(1);
  }
  constexpr std::string_view kGood = "good";
  if (quality.size() != kGood.size()) return false;
  for (std::size_t i = 0; i < kGood.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(quality[i])) != kGood[i]) return false;
  }
  return true;
}

// tsdata stores doubles: integers and booleans convert, a reading without a value is stored as
// NaN. Texts go to tsdata_text instead (and never reach here).
double to_tsdb_value(const pyqar::Value& value) {
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, double>) {
          return v;
        } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 1.0 : 0.0;
        } else {
          return std::numeric_limits<double>::quiet_NaN();
        }
      },
      value);
}

// A writer id no other run shares: batches of this run are told apart from every other's.
std::string new_writer_id() {
  std::random_device device;
  std::uniform_int_distribution<std::uint32_t> word;
  return fmt::format("{:08x}{:08x}{:08x}{:08x}", word(device), word(device), word(device),
                     word(device));
}

// A cycle carries no row times, or one for every result.
void check_row_times(const WriteCycle& cycle) {
  if (cycle.row_time_us.empty() || cycle.row_time_us.size() == cycle.results.size()) return;
  throw std::invalid_argument(fmt::format("A cycle of {} results carries {} row times",
                                          cycle.results.size(), cycle.row_time_us.size()));
}

std::int64_t to_us(pyqar::Timestamp t) {
  return std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch()).count();
}

std::int64_t wall_clock_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Rows a full spool dropped, or a segment it could not read took with it, count as lost.
std::function<void(std::uint64_t)> on_spool_drop(const std::shared_ptr<CollectorMetrics>& metrics,
                                                 std::string_view reason) {
  if (!metrics) return {};
  return [metrics, reason](std::uint64_t rows) {
    metrics->rows_dropped(static_cast<std::size_t>(rows), reason);
  };
}

std::string span_text(const std::optional<std::pair<std::int64_t, std::int64_t>>& span) {
  if (!span) return "nothing";
  return utc_text(span->first) + " and " + utc_text(span->second);
}

}  // namespace

TsdbWriter::TsdbWriter(Options options)
    : tsdb_cfg_(std::move(options.tsdb_cfg)),
      tsdb_connect_(std::move(options.tsdb_connect)),
      db_status_notify_(std::move(options.db_status_notify)),
      spool_notify_(std::move(options.spool_notify)),
      clock_(std::move(options.clock)),
      log_(options.log ? std::move(options.log) : journel::get_logger("quellin")),
      metrics_(std::move(options.metrics)),
      writer_id_(new_writer_id()),
      _db_tagname_map(std::move(options.tag_ids)),
      prepare_connection_(std::move(options.prepare_connection)) {
  if (options.spool && options.spool->max_bytes > 0) {
    spool_ = std::make_unique<Spool>(
        Spool::Options{.dir = options.spool->dir,
                       .max_bytes = options.spool->max_bytes,
                       .log = log_,
                       .clock = clock_,
                       .on_drop = on_spool_drop(metrics_, drop_reason::kSpoolFull),
                       .on_lost = on_spool_drop(metrics_, drop_reason::kSpoolError)});
    rejected_file_ = std::make_unique<RejectedRowsFile>(options.spool->dir);
    if (!spool_->empty()) {
      log().info(
          "Spool holds {} rows read between {} from an earlier run; they are written once "
          "the database answers",
          spool_->rows(), span_text(spool_->span()));
    }
  }
  {
    std::lock_guard lock(conn_mutex_);
    set_connection(tidewell::connect_with(tsdb_connect_, tsdb_cfg_));
  }
  report_connection();
  report_spool();
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

double TsdbWriter::now() const {
  if (clock_) return clock_();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TsdbWriter::start() {
  std::lock_guard lock(handoff_mutex_);
  if (thread_started_ || stopping_) return;
  thread_started_ = true;
  thread_ = std::thread([this] { thread_main(); });
}

void TsdbWriter::set_connection(std::unique_ptr<tidewell::Connection> conn) {
  std::lock_guard lock(abort_mutex_);
  tsdb_conn_ = std::move(conn);
  connected_ = tsdb_conn_ != nullptr;
}

void TsdbWriter::abort_connection() {
  std::lock_guard lock(abort_mutex_);
  if (tsdb_conn_) tsdb_conn_->abort();
}

void TsdbWriter::report_handoff_locked() {
  if (metrics_) metrics_->handoff_rows(handoff_rows_);
}

std::uint64_t TsdbWriter::submit(WriteCycle cycle) {
  // Refused here, on the caller's thread, rather than lost on the writer's.
  check_row_times(cycle);
  const std::uint64_t ticket = tickets_.issue();
  std::unique_lock lock(handoff_mutex_);
  if (!stopping_ && !spool_) {
    // Without a spool the collector waits for room, as it waited for its own writes before.
    handoff_cv_.wait(lock, [this] { return stopping_ || handoff_.size() < kHandoffCapacity; });
  }
  if (!stopping_ && handoff_.size() < kHandoffCapacity) {
    handoff_rows_ += cycle.results.size();
    handoff_.push_back(Handed{ticket, std::move(cycle)});
    report_handoff_locked();
    lock.unlock();
    handoff_cv_.notify_all();
    return ticket;
  }
  lock.unlock();
  // The writer is behind (a slow or hanging database) or stopped: the cycle waits on disk.
  // Nothing here may wait for the connection, which a hanging write holds.
  spool_or_drop(to_batch(cycle), "the writer is busy");
  tickets_.settle(ticket);
  return ticket;
}

std::uint64_t TsdbWriter::write_now(WriteCycle cycle) {
  check_row_times(cycle);
  const std::uint64_t ticket = tickets_.issue();
  _handle_write_tsdb(cycle);
  tickets_.settle(ticket);
  if (replay_due()) replay_some(true);
  if (spool_) spool_->sync_if_due();
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
    stop_requested_ = true;
    if (spool_) {
      waiting.swap(handoff_);
      handoff_rows_ = 0;
      report_handoff_locked();
    }
  }
  handoff_cv_.notify_all();
  // With a spool, what waits goes to disk first: whatever the write under way does, none of
  // it is held only in memory.
  for (const Handed& handed : waiting) {
    spool_or_drop(to_batch(handed.cycle), "stopping");
    tickets_.settle(handed.ticket);
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
      abort_connection();
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
    left_rows += handed.cycle.results.size();
    tickets_.settle(handed.ticket);
  }
  if (left_rows > 0) {
    log().error(
        "Stopping: {} rows of {} cycles dropped: the TSDB did not take them within {:.1f} s",
        left_rows, left.size(), kStopWriteGraceSeconds + kStopAbortWaitSeconds);
    count_dropped(left_rows, drop_reason::kTsdbUnreachable);
  }
  if (spool_) spool_->sync_if_due();

  if (ended) {
    std::lock_guard conn_lock(conn_mutex_);
    closed_by_stop_ = true;
    if (tsdb_conn_) {
      try {
        tsdb_conn_->close();
      } catch (const std::exception& e) {
        log().error("Closing the TSDB connection failed: {}", e.what());
      }
      set_connection(nullptr);
    }
  }
  report_connection();
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

bool TsdbWriter::has_tsdb_conn() const { return connected_.load(); }

bool TsdbWriter::replay_due() const {
  return spool_ && !spool_->empty() && has_tsdb_conn() && now() >= replay_not_before_.load();
}

void TsdbWriter::note_outcome(bool database_took_it) {
  // After a failure the spool waits a little, so that a database that keeps failing is not
  // asked again at once; a write that went through lets the replay start right away.
  replay_not_before_ = database_took_it ? 0.0 : now() + kReplayPauseSeconds;
}

void TsdbWriter::report_connection() {
  if (metrics_) metrics_->tsdb_connected(connected_);
}

void TsdbWriter::report_spool() {
  if (metrics_ && spool_) metrics_->spool_size(spool_->bytes(), spool_->rows());
}

void TsdbWriter::count_dropped(std::size_t rows, std::string_view reason) {
  if (metrics_ && rows > 0) metrics_->rows_dropped(rows, reason);
}

std::uint64_t TsdbWriter::spooled_rows() const { return spool_ ? spool_->rows() : 0; }

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
      if (stopping_ && (spool_ || give_up_ || handoff_.empty())) return;
      if (!handoff_.empty()) {
        cycle = std::move(handoff_.front());
        handoff_.pop_front();
        handoff_rows_ -= std::min(handoff_rows_, cycle->cycle.results.size());
        report_handoff_locked();
      }
    }
    handoff_cv_.notify_all();
    if (cycle) {
      const bool report = !cycle->cycle.results.empty();
      const std::uint64_t ticket = cycle->ticket;
      auto batch = std::make_shared<const SpoolBatch>(to_batch(cycle->cycle));
      cycle.reset();
      try {
        write_cycle(batch, report);
      } catch (...) {
        // Kept before the error goes on to restart the loop, so that the ticket is settled
        // only once the rows are safe.
        keep_in_flight("the TSDB writer failed");
        tickets_.settle(ticket);
        throw;
      }
      tickets_.settle(ticket);
      notify_spool();
    } else if (can_replay && !replay_some(false)) {
      // Nothing could be replayed (the database failed again): wait for the next cycle.
      std::unique_lock lock(handoff_mutex_);
      handoff_cv_.wait_for(lock, std::chrono::seconds(1),
                           [this] { return stopping_ || !handoff_.empty(); });
    }
    if (spool_) spool_->sync_if_due();
  }
}

std::shared_ptr<const SpoolBatch> TsdbWriter::take_in_flight(const SpoolBatch* batch) {
  std::lock_guard lock(handoff_mutex_);
  if (!in_flight_ || (batch != nullptr && in_flight_.get() != batch)) return nullptr;
  return std::exchange(in_flight_, nullptr);
}

void TsdbWriter::keep_in_flight(const char* why) {
  if (const auto batch = take_in_flight(nullptr)) spool_or_drop(*batch, why);
}

SpoolBatch TsdbWriter::to_batch(const WriteCycle& cycle) {
  SpoolBatch batch;
  batch.writer_id = writer_id_;
  batch.seq = next_seq_++;
  batch.time_us = cycle.time_us;
  batch.rows.reserve(cycle.results.size());
  check_row_times(cycle);
  const bool per_row_time = !cycle.row_time_us.empty();
  for (std::size_t i = 0; i < cycle.results.size(); ++i) {
    const ResultTuple& r = cycle.results[i];
    SpoolRow row{.tag = r.tag, .value = 0.0, .quality = r.quality};
    if (const auto* text = std::get_if<std::string>(&r.value)) {
      row.text = *text;
    } else {
      row.value = to_tsdb_value(r.value);
      if (std::holds_alternative<double>(r.value) && is_good(r.quality)) {
        if (std::isnan(row.value)) {
          log().warn("Skipping NaN value for tag {}", r.tag);
          count_dropped(1, drop_reason::kNotANumber);
          continue;
        }
        if (row.value > kFloatBound) row.value = std::numeric_limits<double>::infinity();
        if (row.value < -kFloatBound) row.value = -std::numeric_limits<double>::infinity();
      }
    }
    row.status = r.status;
    if (r.source_time) row.source_time_us = to_us(*r.source_time);
    if (per_row_time) row.time_us = cycle.row_time_us[i];
    batch.rows.push_back(std::move(row));
  }
  return batch;
}

void TsdbWriter::spool_or_drop(const SpoolBatch& batch, const char* why) {
  if (batch.rows.empty()) return;
  if (!spool_) {
    log().error("{} rows read at {} dropped: {}", batch.rows.size(), utc_text(batch.time_us), why);
    count_dropped(batch.rows.size(), drop_reason::kTsdbUnreachable);
    return;
  }
  try {
    spool_->append(batch);
    if (metrics_) metrics_->rows_spooled(batch.rows.size());
  } catch (const std::exception& e) {
    log().error("{} rows read at {} lost: the spool refused them: {}", batch.rows.size(),
                utc_text(batch.time_us), e.what());
    count_dropped(batch.rows.size(), drop_reason::kSpoolError);
  }
  report_spool();
}

void TsdbWriter::notify_spool() {
  if (!spool_notify_ || !spool_) return;
  const std::uint64_t rows = spool_->rows();
  if (rows > 0 || replaying_) spool_notify_(rows, replaying_ && rows > 0);
}

void TsdbWriter::_handle_write_tsdb(const WriteCycle& cycle) {
  write_cycle(std::make_shared<const SpoolBatch>(to_batch(cycle)), !cycle.results.empty());
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
    spool_or_drop(*batch, "stopping");
    return;
  }
  std::optional<std::pair<bool, std::size_t>> outcome;
  {
    std::unique_lock lock(conn_mutex_);
    if (!tsdb_conn_) {
      // After stop() the connection stays closed: no new one that nobody would close.
      if (!closed_by_stop_) _handle_db_error();
      if (take_in_flight(batch.get())) spool_or_drop(*batch, "no connection to the TSDB");
      note_outcome(tsdb_conn_ != nullptr);
      return;
    }
    std::size_t written = 0;
    const Outcome result = write_batch(*batch, &written);
    const bool mine = take_in_flight(batch.get()) != nullptr;
    switch (result) {
      case Outcome::written:
      case Outcome::duplicate:
        outcome.emplace(written > 0, written);
        break;
      case Outcome::rejected:
        outcome.emplace(false, 0);
        break;
      case Outcome::connection_lost:
        if (mine) spool_or_drop(*batch, "the connection to the TSDB failed");
        outcome.emplace(false, 0);
        break;
    }
    note_outcome(result != Outcome::connection_lost);
    if (!report) outcome.reset();
  }
  // Outside the lock, so that a callback may call stop().
  if (outcome && db_status_notify_) db_status_notify_(outcome->first, outcome->second);
}

TsdbWriter::Outcome TsdbWriter::write_batch(const SpoolBatch& batch, std::size_t* written) {
  *written = 0;
  // Rows for a database that is not ready yet wait in the spool; none count as unknown tags.
  if (!connection_prepared()) return Outcome::connection_lost;
  try {
    look_up_uncached_tags(batch.rows);
  } catch (const std::exception& e) {
    // A lookup that fails is the database's failure, never the OPC side's.
    log().error("Write DB failed: {}", e.what());
    return after_passing_failure();
  }
  std::vector<tidewell::TsdataRow> rows;
  rows.reserve(batch.rows.size());
  for (const SpoolRow& row : batch.rows) {
    const auto cached = _db_tagname_map.find(row.tag);
    if (cached == _db_tagname_map.end()) continue;  // missing: reported by the lookup
    rows.push_back(tidewell::TsdataRow{.time_us = row.time_us.value_or(batch.time_us),
                                       .tag_id = cached->second,
                                       .value = row.value,
                                       .text = row.text,
                                       .quality = row.quality,
                                       .status = row.status,
                                       .source_time_us = row.source_time_us});
  }
  count_dropped(batch.rows.size() - rows.size(), drop_reason::kUnknownTag);
  // No row that the database could take: reported as not written.
  if (rows.empty()) return Outcome::rejected;
  warn_if_past_retention(batch);
  try {
    const double started = now();
    const tidewell::WriteResult result =
        tidewell::write_tsdata(*tsdb_conn_, tidewell::BatchId{batch.writer_id, batch.seq}, rows);
    if (result.duplicate) return Outcome::duplicate;
    if (!result.success) return Outcome::rejected;
    *written = result.count;
    if (metrics_) {
      const std::size_t texts = std::min(result.text_count, result.count);
      metrics_->rows_written(RowsWritten{.tsdata = result.count - texts, .tsdata_text = texts},
                             now() - started, wall_clock_us());
    }
    if (now() >= next_prune_) prune_batch_records();
    return Outcome::written;
  } catch (const tidewell::RequestRejected& e) {
    log().error("Write DB failed: {}", e.what());
    _handle_db_error();
    keep_rejected(batch, e.what());
    return Outcome::rejected;
  } catch (const std::exception& e) {
    log().error("Write DB failed: {}", e.what());
    return after_passing_failure();
  }
}

TsdbWriter::Outcome TsdbWriter::after_passing_failure() {
  if (_handle_db_error()) {
    // The database answers, yet did not refuse the request itself (a timeout, a locked file):
    // the same rows may well be taken later.
    if (spool_) {
      log().warn("The failure may pass; the rows wait in the spool");
    } else {
      log().warn("The failure may pass, but with no spool (spool_max_mb = 0) the rows are dropped");
    }
  }
  return Outcome::connection_lost;
}

void TsdbWriter::prune_batch_records() {
  next_prune_ = now() + kPruneEverySeconds;
  const std::int64_t cutoff =
      wall_clock_us() - tsdb_cfg_.batch_retention_days * kMicrosecondsPerDay;
  try {
    const tidewell::PruneResult pruned = tidewell::prune_write_batches(*tsdb_conn_, cutoff);
    if (pruned.deleted > 0) {
      log().info("Pruned {} batch records stored before {}{}", pruned.deleted, utc_text(cutoff),
                 pruned.finished ? "" : "; the rest within the next hours");
    }
  } catch (const std::exception& e) {
    log().warn("Pruning batch records failed, tried again in an hour: {}", e.what());
  }
}

void TsdbWriter::warn_if_past_retention(const SpoolBatch& batch) {
  const std::int64_t cutoff =
      wall_clock_us() - tsdb_cfg_.batch_retention_days * kMicrosecondsPerDay;
  if (batch.time_us >= cutoff || now() < next_retention_warning_) return;
  next_retention_warning_ = now() + 60.0;
  log().warn(
      "Writing {} rows read at {}, more than batch_retention_days ({}) ago: should an earlier "
      "write of this batch have been stored with only its acknowledgement lost, its rows are "
      "now stored twice",
      batch.rows.size(), utc_text(batch.time_us), tsdb_cfg_.batch_retention_days);
}

void TsdbWriter::keep_rejected(const SpoolBatch& batch, const std::string& reason) {
  // The database is up and refused these rows: never retried, kept for an operator.
  count_dropped(batch.rows.size(), drop_reason::kRejected);
  if (!rejected_file_) {
    log().error("{} rows read at {} dropped: the database refused them", batch.rows.size(),
                utc_text(batch.time_us));
    return;
  }
  std::string error;
  if (rejected_file_->append(batch, reason, error)) {
    log().error("{} rows read at {} kept in the spool folder's rejected file", batch.rows.size(),
                utc_text(batch.time_us));
  } else {
    log().error("{} rows read at {} lost: {}", batch.rows.size(), utc_text(batch.time_us), error);
  }
}

bool TsdbWriter::connection_prepared() {
  if (!prepare_connection_) return true;
  const tidewell::Connection* conn = tsdb_conn_.get();
  if (conn == prepare_failed_on_ && now() < prepare_not_before_) return false;
  std::optional<std::unordered_map<std::string, std::int64_t>> ids;
  try {
    ids = prepare_connection_(*tsdb_conn_);
  } catch (const std::exception& e) {
    log().error("Preparing the TSDB connection failed: {}", e.what());
  }
  if (!ids) {
    log().warn("The TSDB is not ready to be written to; rows wait in the spool");
    // A connection that broke is made again (and prepared at once); one that answers is asked
    // again after a pause.
    _handle_db_error();
    prepare_failed_on_ = tsdb_conn_.get() == conn ? conn : nullptr;
    prepare_not_before_ = now() + kPrepareRetrySeconds;
    return false;
  }
  for (auto& [tag, id] : *ids) _db_tagname_map.insert_or_assign(tag, id);
  prepare_connection_ = nullptr;
  prepare_failed_on_ = nullptr;
  log().info("TSDB connection prepared: {} tag ids known; spooled rows are written next",
             ids->size());
  return true;
}

void TsdbWriter::look_up_uncached_tags(const std::vector<SpoolRow>& rows) {
  // Nothing is remembered about a missing tag: one request per batch for all of them, so that
  // a tag created while collecting is written from the next batch on.
  std::vector<std::string> wanted;
  std::unordered_set<std::string_view> seen;
  for (const SpoolRow& row : rows) {
    if (_db_tagname_map.contains(row.tag)) continue;
    if (seen.insert(row.tag).second) wanted.push_back(row.tag);
  }
  if (wanted.empty()) return;
  const std::unordered_map<std::string, std::int64_t> found =
      tidewell::get_tag_ids(*tsdb_conn_, wanted);
  for (std::string& tag : wanted) {
    if (const auto it = found.find(tag); it != found.end()) {
      _db_tagname_map.emplace(std::move(tag), it->second);
    } else {
      log().error("Tag '{}' not found in TSDB", tag);
    }
  }
}

bool TsdbWriter::replay_some(bool until_empty) {
  bool worked = false;
  std::unique_lock lock(conn_mutex_);
  while (spool_ && tsdb_conn_ && !spool_->empty()) {
    if (!until_empty) {
      // Live cycles come first: stop as soon as one waits.
      std::lock_guard handoff_lock(handoff_mutex_);
      if (!handoff_.empty() || stopping_) break;
    }
    if (!replay_.active) {
      replay_ = ReplayProgress{.active = true,
                               .rows_written = 0,
                               .started = now(),
                               .last_report = now(),
                               .span = spool_->span()};
      replaying_ = true;
      log().info("Replaying the spool: {} rows read between {}", spool_->rows(),
                 span_text(replay_.span));
    }
    const std::optional<SpoolBatch> batch = spool_->front();
    if (!batch) break;
    std::size_t written = 0;
    const Outcome outcome = write_batch(*batch, &written);
    if (outcome == Outcome::connection_lost) {
      note_outcome(false);
      break;  // stays in the spool
    }
    spool_->pop_front();
    worked = true;
    replay_.rows_written += written;
    if (now() - replay_.last_report >= kReplayReportSeconds) {
      replay_.last_report = now();
      log().info("Replaying the spool: {} rows written, {} rows left", replay_.rows_written,
                 spool_->rows());
    }
  }
  if (replay_.active && spool_ && spool_->empty()) {
    log().info("Spool replay finished: {} rows read between {} written in {:.1f} s",
               replay_.rows_written, span_text(replay_.span), now() - replay_.started);
    replay_ = ReplayProgress{};
    replaying_ = false;
  }
  // Also after nothing was written: a segment the spool gave up on shrinks it too.
  report_spool();
  return worked;
}

bool TsdbWriter::_handle_db_error() {
  // One attempt per call; nothing in here may escape into the write step.
  if (stop_requested_) {
    // Stopping: a ping or a connect to a hanging server would hold the stop up, and neither
    // can be cancelled once under way.
    log().warn("Stopping: the TSDB is not asked again");
    return false;
  }
  try {
    if (tsdb_conn_) {
      log().info("Database write failed, trying to ping database...");
      bool alive = false;
      try {
        alive = tidewell::ping(*tsdb_conn_);
      } catch (...) {
        alive = false;
      }
      if (alive) {
        log().info("Database ping successful; not retrying write (likely business logic issue)");
        return true;
      }
    } else {
      log().warn("No database connection present; attempting to connect...");
    }
    log().warn("Database ping failed or connection missing, attempting single reconnect...");
    if (tsdb_conn_) {
      try {
        tsdb_conn_->close();
      } catch (...) {
      }
      set_connection(nullptr);
    }
    std::unique_ptr<tidewell::Connection> conn = tidewell::connect_with(tsdb_connect_, tsdb_cfg_);
    if (conn) {
      set_connection(std::move(conn));
      // Another server may answer now: every tag is looked up again.
      _db_tagname_map.clear();
      log().info("Database reconnection successful");
      if (metrics_) metrics_->tsdb_reconnect();
    } else {
      log().error("Database reconnection failed");
    }
  } catch (const std::exception& e) {
    log().error("Database error handling failed: {}", e.what());
  } catch (...) {
    log().error("Database error handling failed: unknown error");
  }
  report_connection();
  return false;
}

}  // namespace quellin
