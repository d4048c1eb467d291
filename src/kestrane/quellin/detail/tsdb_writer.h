#pragma once
// TsdbWriter: the write stage of an OPCCollector: the writer thread, the hand-off from the
// collector thread and the bounded stop. A collector thread hands it each cycle with submit()
// and goes on reading; the writer thread turns it into rows (CycleRows), writes them through
// the BatchStore (connection, tag ids, reconnects, refused rows), keeps what the database
// cannot take in the spool (SpoolKeeper) and writes it back once the database answers
// (SpoolReplay). An unexpected error restarts the thread's loop after a short pause; a stop is
// bounded however long a write hangs. In single-step use (never started) write_now() does the
// same on the caller's thread.
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

#include "batch_store.h"
#include "cycle_rows.h"
#include "history/gap_tracker.h"
#include "kept_tickets.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "quellin/write_settings.h"
#include "spool_keeper.h"
#include "spool_replay.h"
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
    // Set: records the notification numbers a cycle covers (WriteCycle::covers) once its rows
    // are durable, before its ticket counts as kept. Must not throw.
    KeptTickets::Recorder record_kept{};
    // The `sources` row events are stored under: the OPC endpoint the collector reads.
    EventSourceName event_source{};
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
  // Every cycle whose ticket is at most this one is kept: written, in the spool once the
  // spool has synced it, in the rejected file (synced as it is written), or deliberately
  // dropped (no spool, or rows the database can never take), and the numbers it covers
  // recorded. A source may then forget those values (a subscription acknowledges them). Never
  // syncs: the spool syncs on its own once a second. Any thread; the writer thread asks too,
  // right after each write and each sync, so that the numbers are recorded as soon as the rows
  // are durable.
  std::uint64_t kept_through();
  // The same, after syncing the spool at once when a cycle in it is what keeps the next
  // ticket from counting as kept: one sync covers every cycle spooled so far. For an owner
  // about to tell a source it may forget values; a polling owner never asks, and pays no sync
  // per cycle. Any thread.
  std::uint64_t sync_kept();
  // Ends the writer thread and closes the connection, within kStopWriteGraceSeconds +
  // kStopAbortWaitSeconds. With a spool, cycles still waiting go to the spool first; a write
  // under way gets the grace time, is then aborted, and its rows go to the spool under their
  // batch id (so that a write that committed after all is not stored twice). Without a spool
  // the waiting cycles are written within the same bound; what is left then is dropped with an
  // ERROR. A writer thread stuck beyond the bound is left running (see thread_alive()); its
  // batch is spooled all the same. Cycles submitted later go to the spool. Idempotent.
  void stop();

  // Cycles handed over that the writer thread has not taken up yet. Any thread.
  std::size_t waiting_cycles() const;

  // Start edges of a backfill: what the database stored last for each tag before a time. Asked
  // on the writer's thread (the caller's in single-step use) once the connection is ready and
  // nothing waits in the spool (rows there may be the last ones); a failure asks again later.
  struct EdgeAnswer {
    std::vector<GapTracker::EdgeRequest> asked;
    std::vector<GapTracker::StoredEdge> edges;
  };
  // Any thread.
  void ask_edges(std::vector<GapTracker::EdgeRequest> requests);
  std::vector<EdgeAnswer> take_edge_answers();

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
  // Tells the metrics how many rows wait in the hand-off; with handoff_mutex_ held.
  void report_handoff_locked();
  // Whether spooled rows should be written now.
  bool replay_due() const;
  // Writes spooled batches while nothing live waits; true when it did any work.
  bool replay_some(bool until_empty);
  void note_outcome(bool database_took_it);
  // Settles a ticket: kept once what the spool holds now is durable.
  void settle(std::uint64_t ticket);
  void notify_spool();
  // Answers the start edges asked for, when it can now.
  void answer_edges();
  spdlog::logger& log() const { return *log_; }

  DbStatusNotify db_status_notify_;
  SpoolNotify spool_notify_;
  std::shared_ptr<spdlog::logger> log_;
  std::shared_ptr<CollectorMetrics> metrics_;
  CycleRows rows_;      // any thread
  SpoolKeeper keeper_;  // any thread

  // The store (connection, tag ids, batch records) is the writer thread's (or the caller's in
  // single-step use); stop() takes it over once the thread has ended.
  mutable std::mutex conn_mutex_;
  BatchStore store_;  // guarded by conn_mutex_, but for its any-thread members
  // Null without a spool; replay_some() with conn_mutex_ held.
  std::unique_ptr<SpoolReplay> replay_;
  // Which submitted cycles are kept.
  KeptTickets tickets_;

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
  std::thread thread_;

  mutable std::mutex edges_mutex_;
  std::vector<GapTracker::EdgeRequest> edge_requests_;  // guarded by edges_mutex_
  std::vector<EdgeAnswer> edge_answers_;                // guarded by edges_mutex_
};

}  // namespace quellin
