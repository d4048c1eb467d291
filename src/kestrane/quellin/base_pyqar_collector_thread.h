#pragma once
// BasePyQARCollectorThread: the collector thread that connects to one OPC server, reads the
// owner's tag list in batches once per sample interval (or subscribes it and receives every
// change, see AcquisitionOptions), reconnects and backs off after failures, and hands each
// cycle's results to handle_data() (handle_changes() when subscribing). The owner creates it, calls
// start()/stop()/join() from its own thread and destroys it; everything else runs on the
// collector thread (or on the caller's thread in single-step use, when it is never started).

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/qar_types.h"
#include "pyqar/reclaimable_subscriptions.h"
#include "pyqar/ua_security.h"
#include "quellin/acquisition_options.h"
#include "quellin/backfill_progress.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "quellin/result_tuple.h"

namespace spdlog {
class logger;
}

namespace quellin {

class BackfillRunner;
class SubscriptionFeed;
class SubscriptionStateFile;

// "Good", "Uncertain", "Bad" or "Invalid" for an OPC quality word.
std::string quality_to_str(int quality);

// What a subscribing collector has monitored and received, for its owner's status line.
struct SubscriptionTotals {
  std::size_t items_ok = 0;
  std::size_t items_failed = 0;
  std::uint64_t notifications = 0;  // since start
  std::uint64_t events = 0;         // since start
};

class BasePyQARCollectorThread {
 public:
  struct Options {
    std::string server_schema{};  // "opc.da://host/server" or "opc.tcp://host:port"
    TagsFunc get_tags_func{};     // used when set; else `tags`
    std::optional<std::vector<std::string>> tags{};
    double sample_interval = 1.0;  // seconds
    int batch_size = 100;          // descriptors per read; <= 0 reads all tags in one batch
    StatusNotify status_notify{};
    // Told what each cycle read and how long it took; unset: nothing is measured.
    std::shared_ptr<CollectorMetrics> metrics{};
    // How an OPC UA server is connected to; a DA source ignores it.
    pyqar::UaSecurity ua_security{};
    // Read once per interval (the default) or subscribe; see AcquisitionOptions.
    AcquisitionOptions acquisition{};
    // Subscribing where the server lets a later process take the subscriptions over: where
    // they are kept for it (subscriptions.state, subscriptions.kept); relative to the working
    // directory unless absolute; created when first needed.
    std::filesystem::path subscription_state_dir = "state";
    // Seams for tests; empty means the real OPC library, clock and interruptible wait.
    pyqar::SourceFactory source_factory{};
    ClockFunc clock{};
    SleepFunc sleep{};
  };

  // Throws std::invalid_argument "Either 'get_tags_func' or 'tags' must be provided." when
  // neither is given.
  explicit BasePyQARCollectorThread(Options options);
  // Stops the thread and waits for it. A subclass must call shutdown() in its own destructor,
  // because the thread calls its handle_data().
  virtual ~BasePyQARCollectorThread();
  BasePyQARCollectorThread(const BasePyQARCollectorThread&) = delete;
  BasePyQARCollectorThread& operator=(const BasePyQARCollectorThread&) = delete;

  // An OPC UA tag of the list ("2:Demo.X", "ns=2;s=Demo.X") as the library reads it.
  static std::pair<int, std::string> parse_ua_tag(const std::string& tag);
  static pyqar::TagDescriptor ua_tag_descriptor(const std::string& tag);

  // Owner's thread. start() at most once; throws std::logic_error on a second call.
  virtual void start();
  void join();
  // Waits at most timeout_seconds; true when the thread has ended (or never started).
  bool join(double timeout_seconds);
  bool is_alive() const;
  // Asks the loop to end and wakes any pause or interval wait at once; returns at once.
  virtual void stop();

  // The thread body: connect, then cycle until stopped; never throws.
  void run();
  // Throws std::runtime_error "Create OPC DA Source failed", "OPC DA Source is invalid", ...
  void connect_source();
  void disconnect_source();
  void opc_error(const std::string& message = "");

  // The steps of one loop turn; single-step use calls _process_collection_cycle() alone.
  // Subscribing, a turn polls the source until the sample interval has passed; a single step
  // subscribes first if it must, then takes what has arrived (waiting briefly for it).
  void _process_collection_cycle();
  void _handle_error_retry();
  void _control_sampling_interval(double loop_start);

  const std::string& server_schema() const { return server_schema_; }
  const std::string& protocol_type() const { return protocol_type_; }
  double sample_interval() const { return sample_interval_; }
  int batch_size() const { return batch_size_; }
  bool opc_status() const { return opc_status_.load(); }
  int consecutive_errors() const { return consecutive_errors_.load(); }
  bool running() const { return _running.load(); }
  bool subscribing() const { return feed_ != nullptr; }
  // Zero while polling. Any thread.
  SubscriptionTotals subscription_totals() const;
  // How far the history backfill has come (nothing running without one). Any thread.
  BackfillProgress backfill_progress() const;

  // A single step waits this long at most for notifications, then takes what else is there.
  static constexpr double kStepWaitSeconds = 0.1;

 protected:
  // Called with each cycle's results unless every tag read bad. Errors it throws count as a
  // failed read.
  virtual void handle_data(ResultList& results) = 0;
  // Subscribing: called with what arrived during a pass (values at their own times, one per
  // result, in UTC microseconds, and the events that came with them; polling, with events
  // alone). Returns a ticket: the results are kept once kept_through()
  // reaches it (0: kept already). `covers`, when not empty, are the notification numbers the
  // results complete: they must be recorded (record_kept()) once the results are kept and
  // before kept_through() says so. Errors it throws count as a failed read. The default hands
  // the results to handle_data() and counts them kept.
  virtual std::uint64_t handle_changes(ResultList& results, std::vector<std::int64_t> row_time_us,
                                       std::vector<pyqar::KeptSequence> covers,
                                       std::vector<pyqar::EventRecord> events);
  // Records kept notification numbers for a later process; never throws. Any thread.
  void record_kept(const std::vector<pyqar::KeptSequence>& covers) const;
  // Every ticket handle_changes() returned up to this one is kept: it would survive a power
  // cut. Asked right before acknowledging to the source, once or more per pass.
  virtual std::uint64_t kept_through() const;
  // History backfill (see AcquisitionOptions::backfill). Hands a batch of one tag's history
  // values (oldest first, each at its own row time) to be stored under the identity
  // (history writer, seq); returns a ticket as handle_changes() does. The default stores them
  // through handle_changes() without the identity.
  virtual std::uint64_t store_history(const std::string& tag,
                                      std::vector<pyqar::ValueObject>& values,
                                      std::vector<std::int64_t> time_us, std::uint64_t seq);
  // Whether the store takes a batch of history now without making live values wait.
  virtual bool history_room() const { return true; }
  // kept_through() without forcing anything to disk: history progress waits for it.
  virtual std::uint64_t history_kept_through() const { return kept_through(); }
  // Passes the start edges the backfill asks for to the database and its answers back; once
  // per turn. Without a database there is nothing to ask.
  virtual void exchange_start_edges() {}
  // Null unless backfilling.
  BackfillRunner* backfill() const { return backfill_.get(); }
  // Stops and joins the thread; idempotent. Subclass destructors call it first.
  void shutdown();
  // Waits up to `seconds`, ending early when stop() is called.
  void wait_interruptible(double seconds);
  // Whether the caller is the collector thread itself (which must not wait for its own end).
  bool on_collector_thread() const;
  double now() const;
  // Wall-clock time in UTC microseconds, for the metrics' last-read time.
  virtual std::int64_t wall_now() const;
  CollectorMetrics* metrics() const { return metrics_.get(); }
  void notify_status(const std::string& text) const;
  spdlog::logger& log() const { return *log_; }

  void _check_and_reconnect();
  void _read_and_process_data();
  void _receive_and_process_data();
  // Polling values: takes the events that arrived since the last cycle and stores them.
  void _receive_events();
  // Counts a pass's events for the status line and tells the metrics about the event items.
  void note_events(std::size_t events, const SubscriptionActivity& activity,
                   const pyqar::RtSource& source);
  // The source behind the handle; it must be open.
  pyqar::RtSource& _source();
  // A batch of one tag's history values as results (not counted as read).
  ResultList _history_results(const std::string& tag, std::vector<pyqar::ValueObject>& values);
  // The reading as the owner gets it; its quality counted in `counts`, its oddities warned of.
  ResultTuple _to_result(const std::string& tag, pyqar::ValueObject& v, QualityCounts& counts);
  std::vector<pyqar::TagDescriptor> _build_tag_objects(const std::vector<std::string>& tags) const;
  // Takes the descriptors over batch by batch; adds the values' qualities up in `counts`.
  ResultList _batch_read_data(std::vector<pyqar::TagDescriptor>& tag_objs,
                              const std::vector<std::string>& tags, QualityCounts& counts);
  void _process_batch_results(std::vector<pyqar::ValueObject>& batch_value_objs,
                              const std::vector<std::string>& tags, std::size_t batch_start_idx,
                              ResultList& out, QualityCounts& counts);
  void _update_read_status(const ResultList& all_results, const QualityCounts& counts);
  // WARNING once per tag: a value whose text was cut, an integer stored as a rounded double.
  void warn_cut(const std::string& tag);
  void warn_rounded(const std::string& tag, const pyqar::Value& value);

 private:
  void thread_main();

  std::string server_schema_;
  std::string protocol_type_;
  double sample_interval_;
  int batch_size_;
  StatusNotify status_notify_;
  std::shared_ptr<CollectorMetrics> metrics_;
  const pyqar::UaSecurity ua_security_;
  std::atomic<bool> _running{true};
  std::unique_ptr<pyqar::QARLibrary> qar_;
  std::optional<pyqar::SourceHandle> source_;
  std::atomic<bool> opc_status_{false};
  std::atomic<int> consecutive_errors_{0};
  TagsFunc get_tags_func_;
  pyqar::SourceFactory source_factory_;
  ClockFunc clock_;
  SleepFunc sleep_;
  std::shared_ptr<spdlog::logger> log_;
  bool warned_batch_size_ = false;
  // Null when structures are stored as type id and body.
  std::shared_ptr<pyqar::StructureCache> structures_;
  // Set when subscribing (collector thread); turn_start_ is when the loop's turn began.
  std::unique_ptr<SubscriptionFeed> feed_;
  // Polling with events: the subscription that brings them; null otherwise.
  std::unique_ptr<SubscriptionFeed> event_feed_;
  // Set when subscribing; the feed writes it only where the source lets a later process take
  // the subscriptions over. Shared with the write stage, which records kept numbers in it.
  std::shared_ptr<SubscriptionStateFile> state_file_;
  double turn_start_ = 0.0;
  std::int64_t read_time_us_ = 0;  // when the current polling read began (UTC microseconds)
  // Set when backfilling; the collector thread's (or the single step's caller's).
  std::unique_ptr<BackfillRunner> backfill_;
  // Reads history in what is left of a turn, until `deadline`.
  void run_backfill(double deadline);
  std::atomic<std::size_t> items_ok_{0};
  std::atomic<std::size_t> items_failed_{0};
  std::atomic<std::uint64_t> notifications_{0};
  std::atomic<std::uint64_t> events_{0};  // events received since start
  // Tags already warned about, so that each warning comes once per tag (collector thread).
  std::unordered_set<std::string> warned_cut_;
  std::unordered_set<std::string> warned_rounded_;

  // Guards the thread's lifecycle and wakes interruptible waits.
  mutable std::mutex state_mutex_;
  std::condition_variable state_cv_;
  std::thread thread_;     // guarded by state_mutex_ for start/join
  bool started_ = false;   // guarded by state_mutex_
  bool finished_ = false;  // guarded by state_mutex_
};

}  // namespace quellin
