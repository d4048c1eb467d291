#pragma once
// TsdbWriter: the write stage of an OPCCollector. It owns the TSDB connection, the tag-id cache
// and the spool of rows that could not be written. A collector thread hands it each cycle with
// submit() and goes on reading; the writer thread writes, reconnects, spools what the database
// cannot take and replays the spool once the database answers again. In single-step use
// (never started) write_now() does the same on the caller's thread.
// The owner constructs it and calls start()/stop() from one thread; submit() is for the
// collector thread, has_tsdb_conn() and the counters for any thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "quellin/rejected_rows_file.h"
#include "quellin/result_tuple.h"
#include "quellin/spool.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace spdlog {
class logger;
}

namespace quellin {

// A tag the TSDB does not know is looked up again, and reported again, at most this often.
inline constexpr double kMissingTagRetrySeconds = 60.0;
// A preparation that failed on a connection that still answers is tried again this often.
inline constexpr double kPrepareRetrySeconds = 10.0;

// Where rows that cannot be written wait, and how much of them.
struct SpoolSettings {
  std::filesystem::path dir;
  std::uint64_t max_bytes = 0;  // 0: no spool; such rows are dropped
};

// One cycle as read: its results and the time the cycle was read (UTC microseconds).
struct WriteCycle {
  std::int64_t time_us = 0;
  ResultList results;
};

// Readies a new connection before anything is written on it (registers the source and the
// tags) and returns the tag ids to cache; nullopt (or an exception) when it could not.
using PrepareConnectionFunc =
    std::function<std::optional<std::unordered_map<std::string, std::int64_t>>(
        tidewell::Connection&)>;

class TsdbWriter {
 public:
  struct Options {
    tidewell::TsdbSettings tsdb_cfg;
    TsdbConnectFunc tsdb_connect{};  // empty: tidewell::get_conn
    DbStatusNotify db_status_notify{};
    SpoolNotify spool_notify{};
    std::unordered_map<std::string, std::int64_t> tag_ids{};  // known at start
    std::optional<SpoolSettings> spool{};
    ClockFunc clock{};  // monotonic seconds; empty: steady_clock
    std::shared_ptr<spdlog::logger> log{};
    std::shared_ptr<CollectorMetrics> metrics{};  // unset: nothing is measured
    // Set: called on the writer's thread with each new connection until it succeeds; until
    // then nothing is written and rows wait in the spool (a failure is tried again on the
    // next connection, or after kPrepareRetrySeconds on the same one).
    PrepareConnectionFunc prepare_connection{};
  };

  // Opens the spool (throws std::runtime_error naming its folder when it cannot) and the
  // connection (an error from connecting leaves the constructor; a failed connect does not).
  explicit TsdbWriter(Options options);
  // Stops the writer thread; cycles still waiting go to the spool.
  ~TsdbWriter();
  TsdbWriter(const TsdbWriter&) = delete;
  TsdbWriter& operator=(const TsdbWriter&) = delete;

  // Starts the writer thread.
  void start();
  // Hands a cycle to the writer thread; never waits on the database. When the hand-off is
  // full the cycle goes straight to the spool (without a spool, it waits for room).
  void submit(WriteCycle cycle);
  // Writes (or spools) a cycle on the caller's thread, then replays the spool when the
  // database answers. For a writer that was never started.
  void write_now(WriteCycle cycle);
  // Ends the writer thread (a write under way finishes first), spools what is still waiting and
  // closes the connection. Cycles submitted later go to the spool. Idempotent.
  void stop();

  bool has_tsdb_conn() const;
  // Rows waiting in the spool, and whether a replay is under way.
  std::uint64_t spooled_rows() const;

  // The steps of writing one cycle, on the writer's (or the caller's) thread.
  void _handle_write_tsdb(const WriteCycle& cycle);
  // One reconnect attempt when the connection is gone; true when the database answered a
  // ping (the failure was the request's, not the connection's).
  bool _handle_db_error();

 private:
  void thread_main();
  // Writes rows of one batch; returns false when the connection failed (batch not written).
  enum class Outcome { written, duplicate, rejected, connection_lost };
  Outcome write_batch(const SpoolBatch& batch, std::size_t* written);
  // After a failure that is not a refusal: one reconnect attempt; the rows go to the spool.
  Outcome after_passing_failure();
  // Rows the database refused go to the rejected file, with its reason.
  void keep_rejected(const SpoolBatch& batch, const std::string& reason);
  // Ids of the batch's tags, looking up (together) those neither cached nor recently missing.
  void look_up_uncached_tags(const std::vector<SpoolRow>& rows);
  SpoolBatch to_batch(const WriteCycle& cycle);
  void spool_or_drop(SpoolBatch batch, const char* why);
  // Writes spooled batches while nothing live waits; true when it did any work.
  bool replay_some(bool until_empty);
  void notify_spool();
  // Whether spooled rows should be written now.
  bool replay_due() const;
  void note_outcome(bool database_took_it);
  // Tells the metrics whether a connection is open (after connects, reconnects and stop).
  void report_connection();
  // Tells the metrics how much the spool holds.
  void report_spool();
  void count_dropped(std::size_t rows, std::string_view reason);
  double now() const;
  spdlog::logger& log() const { return *log_; }
  // Whether the connection may be written to: prepared once (see Options), or no preparation
  // asked for. Called with conn_mutex_ held and a connection open.
  bool connection_prepared();

  tidewell::TsdbSettings tsdb_cfg_;
  TsdbConnectFunc tsdb_connect_;
  DbStatusNotify db_status_notify_;
  SpoolNotify spool_notify_;
  ClockFunc clock_;
  std::shared_ptr<spdlog::logger> log_;
  std::shared_ptr<CollectorMetrics> metrics_;
  const std::string writer_id_;
  std::unique_ptr<Spool> spool_;                     // thread-safe itself; null: no spool
  std::unique_ptr<RejectedRowsFile> rejected_file_;  // writer thread only

  // The connection, its caches and the batch counter: the writer thread's (or the caller's
  // in single-step use); stop() takes them over once the thread has ended.
  mutable std::mutex conn_mutex_;
  std::unique_ptr<tidewell::Connection> tsdb_conn_;               // guarded by conn_mutex_
  std::unordered_map<std::string, std::int64_t> _db_tagname_map;  // guarded by conn_mutex_
  std::unordered_map<std::string, double> missing_tags_;          // guarded by conn_mutex_
  bool closed_by_stop_ = false;                                   // guarded by conn_mutex_
  // Until it has succeeded once: the preparation, the connection it last failed on and when
  // it may be tried again on that one.
  PrepareConnectionFunc prepare_connection_;                 // guarded by conn_mutex_
  const tidewell::Connection* prepare_failed_on_ = nullptr;  // guarded by conn_mutex_
  double prepare_not_before_ = 0.0;                          // guarded by conn_mutex_
  // Whether tsdb_conn_ is set, for readers that must not wait for a write under way.
  std::atomic<bool> connected_{false};
  // Batch numbers: the collector thread takes them too when it spools past a busy writer.
  std::atomic<std::uint64_t> next_seq_{1};

  // Replay progress, for the start, progress and end lines.
  struct ReplayProgress {
    bool active = false;
    std::uint64_t rows_written = 0;
    double started = 0;
    double last_report = 0;
    std::optional<std::pair<std::int64_t, std::int64_t>> span;
  };
  ReplayProgress replay_;  // guarded by conn_mutex_
  std::atomic<bool> replaying_{false};
  // Clock time before which the spool is not replayed (after a failure).
  std::atomic<double> replay_not_before_{0.0};

  // The hand-off between the collector thread and the writer thread.
  mutable std::mutex handoff_mutex_;
  std::condition_variable handoff_cv_;
  std::deque<WriteCycle> handoff_;  // guarded by handoff_mutex_
  bool stopping_ = false;           // guarded by handoff_mutex_
  bool stopped_ = false;            // guarded by handoff_mutex_: stop() has run
  bool busy_ = false;               // guarded by handoff_mutex_: a cycle is being written
  std::thread thread_;
};

}  // namespace quellin
