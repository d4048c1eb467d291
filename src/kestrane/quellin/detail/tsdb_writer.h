#pragma once
// TsdbWriter: the write stage of an OPCCollector. It owns the TSDB connection, the tag-id cache
// and the spool of rows that could not be written. A collector thread hands it each cycle with
// submit() and goes on reading; the writer thread writes, reconnects, spools what the database
// cannot take and replays the spool once the database answers again. An unexpected error
// restarts the thread's loop after a short pause; a stop is bounded (kStopSeconds) however long
// a write hangs. In single-step use (never started) write_now() does the same on the caller's
// thread.
// The owner constructs it and calls start()/stop() from one thread; submit() is for the
// collector thread, has_tsdb_conn(), thread_alive() and the counters for any thread.

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

#include "kept_tickets.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "quellin/result_tuple.h"
#include "quellin/write_settings.h"
#include "rejected_rows_file.h"
#include "spool/spool.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace spdlog {
class logger;
}

namespace quellin {

// How long a stop lets a write under way go on before it cancels it, and then how long it
// waits for the cancelled write to give up before it leaves the writer thread behind; both
// together bound a stop (plus spooling what waits).
inline constexpr double kStopWriteGraceSeconds = 2.0;
inline constexpr double kStopAbortWaitSeconds = 1.5;
// After an unexpected error the writer's loop starts again after this pause.
inline constexpr double kWriterRestartPauseSeconds = 1.0;

// One cycle as read: its results and the time the cycle was read (UTC microseconds). Rows are
// stored at that time, unless the cycle carries a time per row (values that arrived each at
// its own time): then row_time_us holds one time per result.
struct WriteCycle {
  std::int64_t time_us = 0;
  ResultList results;
  std::vector<std::int64_t> row_time_us{};  // empty, or one per result
};

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
  // full the cycle goes straight to the spool (without a spool, it waits for room). Throws
  // std::invalid_argument when row_time_us is neither empty nor one per result (so does
  // write_now). Returns the cycle's ticket (see kept_through()).
  std::uint64_t submit(WriteCycle cycle);
  // Writes (or spools) a cycle on the caller's thread, then replays the spool when the
  // database answers. For a writer that was never started. Returns the cycle's ticket, kept
  // by the time it returns.
  std::uint64_t write_now(WriteCycle cycle);
  // Every cycle whose ticket is at most this one is kept: written, in the spool, in the
  // rejected file, or deliberately dropped (no spool, or rows the database can never take).
  // A source may then forget those values (a subscription acknowledges them). Any thread.
  std::uint64_t kept_through() const { return tickets_.kept_through(); }
  // Ends the writer thread and closes the connection, within kStopWriteGraceSeconds +
  // kStopAbortWaitSeconds. With a spool, cycles still waiting go to the spool first; a write
  // under way gets the grace time, is then aborted, and its rows go to the spool under their
  // batch id (so that a write that committed after all is not stored twice). Without a spool
  // the waiting cycles are written within the same bound; what is left then is dropped with an
  // ERROR. A writer thread stuck beyond the bound is left running (see thread_alive()); its
  // batch is spooled all the same. Cycles submitted later go to the spool. Idempotent.
  void stop();

  bool has_tsdb_conn() const;
  // Whether the writer thread still runs: after stop(), one that did not end in time. Its
  // owner must not destroy the writer then (the destructor would wait for it).
  bool thread_alive() const;
  // Rows waiting in the spool, and whether a replay is under way.
  std::uint64_t spooled_rows() const;

  // The steps of writing one cycle, on the writer's (or the caller's) thread.
  void _handle_write_tsdb(const WriteCycle& cycle);
  // One reconnect attempt when the connection is gone; true when the database answered a
  // ping (the failure was the request's, not the connection's).
  bool _handle_db_error();

 private:
  void thread_main();
  // The writer loop; returns when a stop ends it, throws what it did not expect.
  void run_loop();
  // Pauses before the loop starts again; false when a stop came meanwhile.
  bool pause_before_restart();
  // Writes (or spools) one cycle's batch, which is in flight meanwhile: an error escaping
  // the write leaves it there, for the loop or a stop to spool.
  void write_cycle(const std::shared_ptr<const SpoolBatch>& batch, bool report);
  // Waits up to `seconds` for thread_main() to end; true when it has.
  bool wait_for_thread(double seconds);
  // Takes the in-flight batch, if `batch` is it (any batch when null).
  std::shared_ptr<const SpoolBatch> take_in_flight(const SpoolBatch* batch);
  // Spools (or drops) the batch still in flight after an error or at a stop.
  void keep_in_flight(const char* why);
  // Asks the open connection to abort its request; the connection is not replaced meanwhile.
  void abort_connection();
  // Replaces (or clears) the connection; with conn_mutex_ held.
  void set_connection(std::unique_ptr<tidewell::Connection> conn);
  // Tells the metrics how many rows wait in the hand-off; with handoff_mutex_ held.
  void report_handoff_locked();
  // Writes rows of one batch; returns false when the connection failed (batch not written).
  enum class Outcome { written, duplicate, rejected, connection_lost };
  Outcome write_batch(const SpoolBatch& batch, std::size_t* written);
  // After a failure that is not a refusal: one reconnect attempt; the rows go to the spool.
  Outcome after_passing_failure();
  // Deletes the records of batches stored longer ago than batch_retention_days; a failure is
  // only logged. From the write path, at most once an hour.
  void prune_batch_records();
  // Warns (at most once a minute) when `batch` was read longer ago than batch_retention_days:
  // its record may be pruned, so a replay after a lost acknowledgement may store it twice.
  void warn_if_past_retention(const SpoolBatch& batch);
  // Rows the database refused go to the rejected file, with its reason.
  void keep_rejected(const SpoolBatch& batch, const std::string& reason);
  // Ids of the batch's tags, looking up together, on every batch, those not cached: a tag the
  // TSDB does not know is reported on every batch, and written as soon as it is created.
  void look_up_uncached_tags(const std::vector<SpoolRow>& rows);
  SpoolBatch to_batch(const WriteCycle& cycle);
  void spool_or_drop(const SpoolBatch& batch, const char* why);
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
  // Held with conn_mutex_ whenever tsdb_conn_ changes, and alone by abort_connection(), which
  // must reach the connection while a write holds conn_mutex_.
  std::mutex abort_mutex_;
  std::unique_ptr<tidewell::Connection> tsdb_conn_;  // guarded by conn_mutex_ (+ abort_mutex_)
  std::unordered_map<std::string, std::int64_t> _db_tagname_map;  // guarded by conn_mutex_
  double next_prune_ = 0;                                         // guarded by conn_mutex_
  double next_retention_warning_ = 0;                             // guarded by conn_mutex_
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
  // Which submitted cycles are kept.
  KeptTickets tickets_;

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
  // A cycle handed over, with its ticket.
  struct Handed {
    std::uint64_t ticket = 0;
    WriteCycle cycle;
  };
  std::deque<Handed> handoff_;    // guarded by handoff_mutex_
  std::size_t handoff_rows_ = 0;  // guarded by handoff_mutex_: rows in handoff_
  bool stopping_ = false;         // guarded by handoff_mutex_
  bool stopped_ = false;          // guarded by handoff_mutex_: stop() has run
  // Without a spool a stop lets the writer write what waits until the bound; then it ends.
  bool give_up_ = false;         // guarded by handoff_mutex_
  bool thread_started_ = false;  // guarded by handoff_mutex_
  bool thread_done_ = false;     // guarded by handoff_mutex_: thread_main() has ended
  // stop() left the thread behind: a batch it has not yet marked in flight is spooled at once.
  bool abandoned_ = false;  // guarded by handoff_mutex_
  // The live batch being written, kept until its outcome is settled.
  std::shared_ptr<const SpoolBatch> in_flight_;  // guarded by handoff_mutex_
  // Set by stop() first of all: no reconnect from then on (a connect cannot be aborted).
  std::atomic<bool> stop_requested_{false};
  std::thread thread_;
};

}  // namespace quellin
