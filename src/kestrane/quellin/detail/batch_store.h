#pragma once
// BatchStore: the TSDB side of the writer. It owns the connection and the tag-id cache,
// writes one batch at a time under its identity (a batch already stored is skipped by the
// database), reconnects once per failure, readies each new connection, puts rows the
// database refuses into the rejected-rows file, and prunes old batch records.
// Owned by the TsdbWriter. One thread at a time (the owner serialises calls with its
// connection mutex); connected(), abort() and request_stop() may be called from any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "condition_ledger.h"
#include "event_source.h"
#include "history/gap_tracker.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "quellin/write_settings.h"
#include "rejected_rows_file.h"
#include "spool/spool_record.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace spdlog {
class logger;
}

namespace quellin {

class BatchStore {
 public:
  struct Options {
    tidewell::TsdbSettings tsdb_cfg;
    TsdbConnectFunc tsdb_connect{};                           // empty: tidewell::get_conn
    std::unordered_map<std::string, std::int64_t> tag_ids{};  // known at start
    PrepareConnectionFunc prepare_connection{};               // see TsdbWriter::Options
    // Set when the writer keeps a spool in this folder: rows the database refuses go to the
    // folder's rejected file (unset: they are dropped).
    std::optional<std::filesystem::path> spool_dir{};
    // The file system the rejected file is written through; null: the real one.
    std::shared_ptr<SpoolEnv> spool_env{};
    ClockFunc clock{};
    std::shared_ptr<spdlog::logger> log;
    std::shared_ptr<CollectorMetrics> metrics{};  // may be null
    // The source events are stored under (see find_or_register_event_source).
    EventSourceName event_source{};
  };

  // What became of a batch: stored, already stored before, refused by the database (kept in
  // the rejected file, or no row had a known tag), or not written for want of a connection
  // (the caller keeps it).
  enum class Outcome { written, duplicate, rejected, connection_lost };

  // Connects at once: an error from connecting leaves the constructor, a failed connect does
  // not.
  explicit BatchStore(Options options);
  BatchStore(const BatchStore&) = delete;
  BatchStore& operator=(const BatchStore&) = delete;

  // Writes the batch's rows and events in one transaction; `written` is how many rows the
  // database took. A refreshed condition state stored before is left out (ConditionLedger).
  // A batch of events alone is written too; one with neither rows of known tags nor events is
  // rejected.
  Outcome write(const SpoolBatch& batch, std::size_t* written);
  // One reconnect attempt when the connection is gone; true when the database answered a
  // ping (the failure was the request's, not the connection's).
  bool handle_db_error();

  // What the database stored last for each tag before each request's time; nothing when the
  // connection is not ready or the query failed (logged; ask again later).
  std::optional<std::vector<GapTracker::StoredEdge>> start_edges(
      const std::vector<GapTracker::EdgeRequest>& requests);

  // Whether a connection is open; never waits for a write under way.
  bool connected() const { return connected_.load(); }
  // Whether close() ended the connection for good.
  bool closed() const { return closed_by_stop_; }
  // Asks the open connection to abort its request, while a write may be under way.
  void abort();
  // From now on no reconnect (a connect cannot be aborted).
  void request_stop() { stop_requested_ = true; }
  // Closes the connection for good.
  void close();
  // Tells the metrics whether a connection is open.
  void report_connection() const;

 private:
  // After a failure that is not a refusal: one reconnect attempt; the rows go to the spool.
  Outcome after_passing_failure();
  // Ids of the batch's tags, looking up together, on every batch, those not cached: a tag the
  // TSDB does not know is reported on every batch, and written as soon as it is created.
  void look_up_uncached_tags(const std::vector<SpoolRow>& rows);
  // Whether the connection may be written to: prepared once, or no preparation asked for.
  bool connection_prepared();
  // Deletes the records of batches stored longer ago than batch_retention_days; a failure is
  // only logged. From the write path, at most once an hour.
  void prune_batch_records();
  // Warns (at most once a minute) when `batch` was read longer ago than batch_retention_days:
  // its record may be pruned, so a replay after a lost acknowledgement may store it twice.
  void warn_if_past_retention(const SpoolBatch& batch);
  // Rows the database refused go to the rejected file, with its reason.
  void keep_rejected(const SpoolBatch& batch, const std::string& reason);
  void set_connection(std::unique_ptr<tidewell::Connection> conn);
  // The batch's events ready to store: their source's id filled in, refreshed states stored
  // before left out. nullopt when the source has no row and none could be registered (the
  // batch then waits). Throws what the TSDB client throws.
  std::optional<std::vector<tidewell::EventRow>> events_to_store(const SpoolBatch& batch);
  void count_dropped(std::size_t rows, std::string_view reason) const;
  double now() const;
  spdlog::logger& log() const { return *log_; }

  tidewell::TsdbSettings tsdb_cfg_;
  TsdbConnectFunc tsdb_connect_;
  ClockFunc clock_;
  std::shared_ptr<spdlog::logger> log_;
  std::shared_ptr<CollectorMetrics> metrics_;
  std::unique_ptr<RejectedRowsFile> rejected_file_;  // null without a spool

  // Held whenever tsdb_conn_ changes, and alone by abort(), which must reach the connection
  // while a write is under way on the owner's thread.
  std::mutex abort_mutex_;
  std::unique_ptr<tidewell::Connection> tsdb_conn_;  // changed with abort_mutex_ held
  std::atomic<bool> connected_{false};               // whether tsdb_conn_ is set
  std::atomic<bool> stop_requested_{false};
  std::unordered_map<std::string, std::int64_t> _db_tagname_map;
  EventSourceName event_source_;
  // The events' source id, found once per connection (reset with it).
  std::optional<std::int64_t> event_source_id_;
  ConditionLedger ledger_;
  double next_prune_ = 0;
  double next_retention_warning_ = 0;
  bool closed_by_stop_ = false;
  // Until it has succeeded once: the preparation, the connection it last failed on and when
  // it may be tried again on that one.
  PrepareConnectionFunc prepare_connection_;
  const tidewell::Connection* prepare_failed_on_ = nullptr;
  double prepare_not_before_ = 0.0;
};

}  // namespace quellin
