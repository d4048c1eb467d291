#include "batch_store.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <spdlog/spdlog.h>

#include "tidewell/tidewell.h"
#include "utc_text.h"

namespace quellin {

namespace {

// Records of stored batches older than the retention are pruned at most this often.
constexpr double kPruneEverySeconds = 3600.0;
constexpr std::int64_t kMicrosecondsPerDay = 86400LL * 1000000;

std::int64_t wall_clock_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

BatchStore::BatchStore(Options options)
    : tsdb_cfg_(std::move(options.tsdb_cfg)),
      tsdb_connect_(std::move(options.tsdb_connect)),
      clock_(std::move(options.clock)),
      log_(std::move(options.log)),
      metrics_(std::move(options.metrics)),
      _db_tagname_map(std::move(options.tag_ids)),
      event_source_(std::move(options.event_source)),
      prepare_connection_(std::move(options.prepare_connection)) {
  if (options.spool_dir) {
    rejected_file_ =
        std::make_unique<RejectedRowsFile>(*options.spool_dir, std::move(options.spool_env));
  }
  set_connection(tidewell::connect_with(tsdb_connect_, tsdb_cfg_));
}

double BatchStore::now() const {
  if (clock_) return clock_();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void BatchStore::set_connection(std::unique_ptr<tidewell::Connection> conn) {
  std::lock_guard lock(abort_mutex_);
  tsdb_conn_ = std::move(conn);
  connected_ = tsdb_conn_ != nullptr;
  // Another database may answer on the next connection: its source row and its conditions'
  // latest events are read again.
  event_source_id_.reset();
  ledger_.clear();
}

void BatchStore::abort() {
  std::lock_guard lock(abort_mutex_);
  if (tsdb_conn_) tsdb_conn_->abort();
}

void BatchStore::close() {
  closed_by_stop_ = true;
  if (!tsdb_conn_) return;
  try {
    tsdb_conn_->close();
  } catch (const std::exception& e) {
    log().error("Closing the TSDB connection failed: {}", e.what());
  }
  set_connection(nullptr);
}

void BatchStore::report_connection() const {
  if (metrics_) metrics_->tsdb_connected(connected_);
}

void BatchStore::count_dropped(std::size_t rows, std::string_view reason) const {
  if (metrics_ && rows > 0) metrics_->rows_dropped(rows, reason);
}

BatchStore::Outcome BatchStore::write(const SpoolBatch& batch, std::size_t* written) {
  *written = 0;
  // Rows for a database that is not ready yet wait in the spool; none count as unknown tags.
  if (!connection_prepared()) return Outcome::connection_lost;
  // One search of the cache per row: with a hundred thousand tags it outgrows the processor's
  // caches, and each search costs several misses. Map entries stay where they are while others
  // are added, so the ids found first still hold after the lookup.
  std::vector<const std::int64_t*> ids(batch.rows.size(), nullptr);
  bool uncached = false;
  for (std::size_t i = 0; i < batch.rows.size(); ++i) {
    const auto cached = _db_tagname_map.find(batch.rows[i].tag);
    if (cached != _db_tagname_map.end()) {
      ids[i] = &cached->second;
    } else {
      uncached = true;
    }
  }
  if (uncached) {
    try {
      look_up_uncached_tags(batch.rows);
    } catch (const std::exception& e) {
      // A lookup that fails is the database's failure, never the OPC side's.
      log().error("Write DB failed: {}", e.what());
      return after_passing_failure();
    }
    for (std::size_t i = 0; i < batch.rows.size(); ++i) {
      if (ids[i] != nullptr) continue;
      const auto found = _db_tagname_map.find(batch.rows[i].tag);
      if (found != _db_tagname_map.end()) ids[i] = &found->second;
    }
  }
  std::vector<tidewell::TsdataRow> rows;
  rows.reserve(batch.rows.size());
  for (std::size_t i = 0; i < batch.rows.size(); ++i) {
    if (ids[i] == nullptr) continue;  // missing: reported by the lookup
    const SpoolRow& row = batch.rows[i];
    rows.push_back(tidewell::TsdataRow{.time_us = row.time_us.value_or(batch.time_us),
                                       .tag_id = *ids[i],
                                       .value = row.value,
                                       .text = row.text,
                                       .quality = row.quality,
                                       .status = row.status,
                                       .source_time_us = row.source_time_us});
  }
  count_dropped(batch.rows.size() - rows.size(), drop_reason::kUnknownTag);
  // Nothing that the database could take: reported as not written.
  if (rows.empty() && batch.events.empty()) return Outcome::rejected;
  std::vector<tidewell::EventRow> events;
  if (!batch.events.empty()) {
    try {
      std::optional<std::vector<tidewell::EventRow>> ready = events_to_store(batch);
      if (!ready) return after_passing_failure();
      events = std::move(*ready);
    } catch (const std::exception& e) {
      log().error("Write DB failed: {}", e.what());
      return after_passing_failure();
    }
  }
  warn_if_past_retention(batch);
  try {
    const double started = now();
    const tidewell::BatchId id{batch.writer_id, batch.seq};
    // A batch with no events goes the way batches always went.
    const tidewell::WriteResult result =
        batch.events.empty() ? tidewell::write_tsdata(*tsdb_conn_, id, rows)
                             : tidewell::write_rows_and_events(*tsdb_conn_, id, rows, events);
    // Stored either way now: the conditions' latest states are these.
    if ((result.success || result.duplicate) && !events.empty()) {
      ledger_.record(*event_source_id_, events);
    }
    if (result.duplicate) return Outcome::duplicate;
    if (!result.success) return Outcome::rejected;
    *written = result.count;
    if (metrics_) {
      const std::size_t texts = std::min(result.text_count, result.count);
      metrics_->rows_written(RowsWritten{.tsdata = result.count - texts, .tsdata_text = texts},
                             now() - started, wall_clock_us());
      if (result.event_count > 0) metrics_->events_written(result.event_count);
    }
    if (now() >= next_prune_) prune_batch_records();
    return Outcome::written;
  } catch (const tidewell::RequestRejected& e) {
    log().error("Write DB failed: {}", e.what());
    handle_db_error();
    keep_rejected(batch, e.what());
    return Outcome::rejected;
  } catch (const std::exception& e) {
    log().error("Write DB failed: {}", e.what());
    return after_passing_failure();
  }
}

std::optional<std::vector<tidewell::EventRow>> BatchStore::events_to_store(
    const SpoolBatch& batch) {
  if (!event_source_id_) {
    event_source_id_ = find_or_register_event_source(*tsdb_conn_, event_source_, log());
    if (!event_source_id_) return std::nullopt;
  }
  const std::int64_t source_id = *event_source_id_;
  std::vector<tidewell::EventRow> events =
      ledger_.filter(source_id, batch.events,
                     [this](std::int64_t source, std::span<const std::string> conditions) {
                       return tidewell::latest_condition_events(*tsdb_conn_, source, conditions);
                     });
  if (events.size() < batch.events.size()) {
    log().debug("{} refreshed condition states of the batch read at {} were stored before",
                batch.events.size() - events.size(), utc_text(batch.time_us));
  }
  for (tidewell::EventRow& e : events) e.source_id = source_id;
  return events;
}

BatchStore::Outcome BatchStore::after_passing_failure() {
  if (handle_db_error()) {
    // The database answers, yet did not refuse the request itself (a timeout, a locked file):
    // the same rows may well be taken later.
    if (rejected_file_) {  // there is a spool
      log().warn("The failure may pass; the rows wait in the spool");
    } else {
      log().warn("The failure may pass, but with no spool (spool_max_mb = 0) the rows are dropped");
    }
  }
  return Outcome::connection_lost;
}

void BatchStore::prune_batch_records() {
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

void BatchStore::warn_if_past_retention(const SpoolBatch& batch) {
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

void BatchStore::keep_rejected(const SpoolBatch& batch, const std::string& reason) {
  // The database is up and refused these rows: never retried, kept for an operator.
  count_dropped(batch.rows.size(), drop_reason::kRejected);
  const std::string what =
      batch.events.empty()
          ? fmt::format("{} rows", batch.rows.size())
          : fmt::format("{} rows and {} events", batch.rows.size(), batch.events.size());
  if (!rejected_file_) {
    log().error("{} read at {} dropped: the database refused them", what, utc_text(batch.time_us));
    return;
  }
  std::string error;
  if (rejected_file_->append(batch, reason, error)) {
    log().error("{} read at {} kept in the spool folder's rejected file", what,
                utc_text(batch.time_us));
  } else {
    log().error("{} read at {} lost: {}", what, utc_text(batch.time_us), error);
  }
}

bool BatchStore::connection_prepared() {
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
    handle_db_error();
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

void BatchStore::look_up_uncached_tags(const std::vector<SpoolRow>& rows) {
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

std::optional<std::vector<GapTracker::StoredEdge>> BatchStore::start_edges(
    const std::vector<GapTracker::EdgeRequest>& requests) {
  if (!tsdb_conn_ || !connection_prepared()) return std::nullopt;
  try {
    std::vector<SpoolRow> names;
    names.reserve(requests.size());
    for (const auto& request : requests)
      names.push_back(SpoolRow{.tag = request.tag, .value = 0.0, .quality = {}});
    look_up_uncached_tags(names);
    std::vector<tidewell::LastStoredQuery> queries;
    std::unordered_map<std::int64_t, std::string> tag_of;
    for (const auto& request : requests) {
      const auto it = _db_tagname_map.find(request.tag);
      if (it == _db_tagname_map.end()) continue;
      queries.push_back({.tag_id = it->second, .before_us = request.before_us});
      tag_of.emplace(it->second, request.tag);
    }
    std::vector<GapTracker::StoredEdge> edges;
    for (const tidewell::LastStored& last : tidewell::last_stored(*tsdb_conn_, queries)) {
      GapTracker::StoredEdge edge{
          .tag = tag_of.at(last.tag_id), .source_time_us = last.source_time_us, .rows = {}};
      for (const tidewell::TsdataRow& row : last.rows_at_edge) {
        const std::uint32_t status = row.status.value_or(0);
        edge.rows.push_back(row.text ? text_fingerprint(*row.text, status)
                                     : number_fingerprint(row.value, status));
      }
      edges.push_back(std::move(edge));
    }
    return edges;
  } catch (const std::exception& e) {
    log().warn("Backfill: could not read what each tag stored last: {}; asking again later",
               e.what());
    return std::nullopt;
  }
}

bool BatchStore::handle_db_error() {
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
