#pragma once
// OPCCollector: the collector thread that appends each cycle's results to its owner's queue
// and, when TSDB settings are given, hands them to its write stage (TsdbWriter), which writes
// them on a thread of its own, spools what the database cannot take and replays it later.
// The owner creates it and calls start()/stop()/join()/collection_step() from one thread;
// the queue, its mutex and the callbacks are borrowed and must outlive the collector.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "quellin/acquisition_options.h"
#include "quellin/base_pyqar_collector_thread.h"
#include "quellin/collector_hooks.h"
#include "quellin/result_queue.h"
#include "quellin/write_settings.h"
#include "tidewell/types.h"

namespace quellin {

class TsdbWriter;
class TagMetadataJob;

// Wall-clock time in UTC microseconds since the epoch. Default: std::chrono::system_clock.
using WallClockFunc = std::function<std::int64_t()>;

// Rows written are (time read, tag id, value, quality text, status, source time). tsdata
// stores doubles: a double goes as read (a Good NaN, or a Good reading with no value, is
// skipped; Good values beyond +-3.4e38 become infinities), integers and booleans are converted,
// another reading without a value is stored as NaN; texts go to tsdata_text.
class OPCCollector : public BasePyQARCollectorThread {
 public:
  struct Options {
    std::string opc_schema{};           // must begin with "opc.da://" or "opc.tcp://"
    TagsFunc get_tags_func{};           // required
    ResultQueue* data_deque = nullptr;  // required
    std::mutex* deque_lock = nullptr;   // taken around each append when set
    std::optional<tidewell::TsdbSettings> tsdb_cfg{};  // set: write every cycle to the TSDB
    double sample_interval = 1.0;
    int batch_size = 100;
    StatusNotify status_notify{};
    DbStatusNotify db_status_notify{};
    // Called from the write stage while rows wait in the spool.
    SpoolNotify spool_notify{};
    // Called on the collector thread with each cycle's events (subscribing to events only).
    EventsNotify events_notify{};
    // OPC UA with a TSDB and acquisition.read_metadata: called on the metadata thread with
    // what the server says of the tags, each time it is stored (see TagMetadataJob).
    MetadataNotify metadata_notify{};
    // Told what is read, written, spooled and dropped; unset: nothing is measured.
    std::shared_ptr<CollectorMetrics> metrics{};
    // Tag ids already known (from registration), by tag name: those tags are written with no
    // lookup. Others are looked up together on first use.
    std::unordered_map<std::string, std::int64_t> tag_ids{};
    // Set: readies each new TSDB connection until it succeeds once (see TsdbWriter::Options);
    // rows wait in the spool until then.
    PrepareConnectionFunc prepare_connection{};
    // Where rows wait that the TSDB cannot take; unset or max_bytes 0: they are dropped.
    std::optional<SpoolSettings> spool{};
    // How an OPC UA server is connected to; a DA source ignores it.
    pyqar::UaSecurity ua_security{};
    // Read once per interval (the default) or subscribe; see AcquisitionOptions.
    AcquisitionOptions acquisition{};
    // Seams for tests; empty means the real OPC library, TSDB client, clocks and wait.
    pyqar::SourceFactory source_factory{};
    TsdbConnectFunc tsdb_connect{};
    ClockFunc clock{};
    SleepFunc sleep{};
    WallClockFunc wall_clock{};
  };

  // Throws std::invalid_argument "Invalid OPC schema format: <schema>. Must start with
  // 'opc.da://' or 'opc.tcp://'", or when get_tags_func or data_deque is missing; the connection
  // error when tsdb_cfg is set and connecting throws; std::runtime_error naming the spool folder
  // when it cannot be used.
  explicit OPCCollector(Options options);
  ~OPCCollector() override;

  // Starts the write stage, the collector thread, and the metadata job if there is one, which
  // waits for the first cycle to be stored (or spooled) before it asks the server anything.
  void start() override;
  // One collection cycle on the caller's thread, its rows written (or spooled) before it
  // returns; for collectors that are never started. Subscribing, the first step subscribes;
  // each step then stores what has arrived since the last one (waiting up to
  // kStepWaitSeconds for it) and acknowledges it to the server with the next step's poll.
  void collection_step();
  // Stops the collector thread and waits up to kCollectorStopSeconds for it to hand over its
  // last cycle, then stops the metadata job and the write stage (bounded, see TsdbWriter::stop()):
  // rows still waiting go to the spool and the TSDB connection is closed.
  void stop() override;
  static constexpr double kCollectorStopSeconds = 4.0;
  // Whether the write stage's thread still runs (after a stop: one that did not end in time,
  // which the owner must leave behind rather than destroy). Any thread.
  bool writer_alive() const;

  // Whether the collector holds an open TSDB connection now. Any thread.
  bool has_tsdb_conn() const;
  // Rows waiting in the spool now. Any thread.
  std::uint64_t spooled_rows() const;
  // One reconnect attempt of the write stage; true when the database answered a ping. Without
  // TSDB settings there is nothing to reconnect to: it says so and returns false. Owner's
  // thread, while the collector is not started.
  bool _handle_db_error();

 protected:
  void handle_data(ResultList& results) override;
  // The results go to the queue and, with a TSDB, to the writer with a time per row; the
  // ticket is the writer's (kept once written, spooled and synced, or set aside), else 0: kept
  // once queued.
  std::uint64_t handle_changes(ResultList& results, std::vector<std::int64_t> row_time_us,
                               std::vector<pyqar::KeptSequence> covers,
                               std::vector<pyqar::EventRecord> events) override;
  // Syncs the spool first when a cycle only in the spool is not durable yet.
  std::uint64_t kept_through() const override;
  // History goes to the writer alone (not to the owner's queue of latest values), under its
  // own identity.
  std::uint64_t store_history(const std::string& tag, std::vector<pyqar::ValueObject>& values,
                              std::vector<std::int64_t> time_us, std::uint64_t seq) override;
  // Room while the writer's hand-off is empty: a live cycle always finds a place beside a
  // batch of history.
  bool history_room() const override;
  std::uint64_t history_kept_through() const override;
  void exchange_start_edges() override;

 private:
  std::int64_t wall_now() const override;
  // Queues the results, then hands them to the writer (if any); returns the writer's ticket.
  std::uint64_t hand_over(ResultList& results, std::vector<std::int64_t> row_time_us,
                          std::vector<pyqar::KeptSequence> covers = {},
                          std::vector<pyqar::EventRecord> events = {});

  ResultQueue* data_deque_;
  std::mutex* deque_lock_;
  WallClockFunc wall_clock_;
  EventsNotify events_notify_;
  // The metadata job learns that the first cycle is stored; collector thread.
  void tell_first_stored(std::uint64_t ticket);

  std::unique_ptr<TsdbWriter> writer_;  // null without tsdb_cfg
  // OPC UA with a TSDB and metadata reads only; outlives the writer, whose thread tells it.
  std::unique_ptr<TagMetadataJob> metadata_job_;
  bool first_stored_told_ = false;
  std::uint64_t first_ticket_ = 0;  // the first cycle's; 0 before it
  bool threaded_ = false;           // owner's thread: start() was called
};

}  // namespace quellin
