#pragma once
// KestraneConsole: the headless collector. It reads config.ini from its base directory,
// loads the CSV tag list, registers source and tags in the TSDB and runs one collector
// thread, draining its queue once per second; or, in single-step mode, runs one collection
// cycle per call on the caller's thread. main() owns the one object; every operation is
// called from the main thread, except the callbacks, which the collector thread calls.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

#include "KestraneConsole/console_monitor.h"
#include "KestraneConsole/signal_waiter.h"
#include "config/console_config.h"
#include "config/spool_start.h"
#include "config/tag_csv.h"
#include "config/tag_registration.h"
#include "monitoring/listen_address.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"

namespace kestrane_console {

using kestrane_config::ConnectFunc;
using kestrane_config::ConsoleConfig;
using kestrane_config::TagEntry;

// Waits up to the given time for SIGINT or SIGTERM and returns its number; a zero time only
// looks. The default waits the time out and never reports a signal; run() then takes Ctrl+C
// itself (see run()).
using SignalWait = std::function<std::optional<int>(std::chrono::milliseconds)>;
// Seconds of wall-clock time, for the 30-second status line.
using WallClock = std::function<double()>;

// Seams for main() and for tests; every member may stay empty.
struct ConsoleHooks {
  std::shared_ptr<spdlog::logger> logger{};  // default: the process logger "KestraneConsole"
  SignalWait signal_wait{};
  WallClock wall_clock{};
  ConnectFunc tsdb_connect{};             // default: tidewell::get_conn
  pyqar::SourceFactory source_factory{};  // default: the OPC library's own sources
  double stop_timeout_seconds = 10.0;
};

struct CollectionStatistics {
  std::size_t total_tags = 0;
  std::uint64_t total_collected = 0;
  std::uint64_t total_written = 0;
  std::size_t queue_size = 0;
};

class KestraneConsole {
 public:
  static constexpr std::size_t kQueueCapacity = 300;
  static constexpr double kStatusPeriodSeconds = 30.0;

  // The base directory is `base_dir` made absolute, else the parent of the folder holding
  // the program itself (build/<preset>/ in a build tree, <prefix>/ once installed). The
  // configuration is <base>/config.ini, or `config_file` (--config) when given, whose folder
  // is then the base directory. Sets up logging from the configuration; throws what that
  // setup throws.
  explicit KestraneConsole(std::optional<std::filesystem::path> base_dir = std::nullopt,
                           ConsoleHooks hooks = {},
                           std::optional<std::filesystem::path> config_file = std::nullopt);
  ~KestraneConsole();
  KestraneConsole(const KestraneConsole&) = delete;
  KestraneConsole& operator=(const KestraneConsole&) = delete;

  bool load_config();
  bool load_tags_from_csv();
  bool setup_database_objects();
  bool test_connect_tsdb();
  std::vector<std::string> get_current_tags() const;
  void status_callback(const std::string& status);
  void db_status_callback(bool success, std::size_t count);
  bool start_collection();
  void process_data_queue();
  void print_status();
  void log_status_line();
  // Start steps, then the main loop until stop() or a signal. False when a start step
  // failed or the collector thread ended on its own. Without a signal_wait hook, and while
  // nothing else handles SIGINT, a Ctrl+C (SIGINT) during the run ends it with the info
  // "Received keyboard interrupt", the stop and "KestraneConsole stopped" (result true) rather
  // than the process; run() blocks SIGINT on its thread meanwhile and gives the mask back.
  bool run();
  void stop();

  bool initialize_for_single_step();
  bool single_step_collection();
  CollectionStatistics get_collection_statistics() const;
  void cleanup_single_step();

  const std::filesystem::path& base_dir() const { return base_dir_; }
  const std::filesystem::path& config_path() const { return config_path_; }
  const ConsoleConfig& config() const { return config_; }
  const std::vector<TagEntry>& tags_list() const { return tags_list_; }
  bool running() const { return running_.load(); }
  // The signal that ended run(), if one did.
  std::optional<int> received_signal() const { return received_signal_; }
  // Whether a collector thread or its writer thread is still running (it did not stop in
  // time); the program then ends without destroying them.
  bool collector_alive() const;

 private:
  // run() between taking and giving back Ctrl+C.
  bool run_steps();
  // Whether run() takes Ctrl+C itself: no signal wait was given, and nothing else handles it.
  bool takes_keyboard_interrupt() const;
  // From the caller's wait, or while run() takes Ctrl+C, from its own.
  std::optional<int> wait_for_signal(std::chrono::milliseconds timeout);
  std::optional<int> poll_signal();
  void shut_down_on_signal(int signo);
  // A signal between the start steps ends the program as one during collection would.
  bool shut_down_if_signalled();
  // The first start steps of both modes, each failure logged.
  bool load_config_and_tags();
  void make_collector();
  kestrane_config::SpoolStart spool_start() const;
  double now() const;

  std::filesystem::path base_dir_;
  std::filesystem::path config_path_;
  ConsoleHooks hooks_;
  // The caller (main()) waits for SIGINT and SIGTERM itself, with hooks_.signal_wait.
  bool caller_waits_for_signals_;
  // Holds SIGINT back for run()'s loop while run() takes Ctrl+C; made and dropped on its thread.
  std::optional<SignalWaiter> keyboard_;
  std::shared_ptr<spdlog::logger> log_;
  ConsoleConfig config_;
  std::vector<TagEntry> tags_list_;  // not changed while a collector runs
  // Filled by setup_database_objects(), handed to the next collector.
  std::unordered_map<std::string, std::int64_t> registered_tag_ids_;
  // The TSDB could not be reached at start and start_without_tsdb allowed collecting: the
  // collector registers source and tags once it answers.
  bool registration_deferred_ = false;

  mutable std::mutex deque_lock_;
  quellin::ResultQueue data_deque_{kQueueCapacity};  // guarded by deque_lock_
  std::unique_ptr<quellin::OPCCollector> collector_thread_;
  // Metrics, health and service notifications; made when collection starts.
  std::optional<kestrane_monitoring::ListenAddress> metrics_listen_;
  std::unique_ptr<ConsoleMonitor> monitor_;

  std::atomic<bool> running_{false};
  std::uint64_t total_collected_ = 0;            // main thread only
  std::atomic<std::uint64_t> total_written_{0};  // written by the collector thread
  double last_status_time_ = 0.0;
  std::optional<int> received_signal_;
};

// One line on how subscriptions monitor the tags, for the log at start: sampling, queue size,
// deadband, heartbeat, and how many of the `tags` have settings of their own.
std::string subscription_summary(const quellin::AcquisitionOptions& acquisition, std::size_t tags);

// "1.0", "0.25", "1e-05": a real number as the configuration file would show it.
std::string interval_text(double seconds);

// The periodic status line; a subscribing collector's line adds its monitored items and the
// notifications received; one collecting events adds how many arrived since start. A running
// history backfill adds a line of its own after it (kestrane_config::backfill_status_text).
std::string status_line_text(std::size_t tags, std::uint64_t collected, std::uint64_t written,
                             const std::optional<quellin::SubscriptionTotals>& subscriptions,
                             std::optional<std::uint64_t> events = std::nullopt);

// The parent of the folder that holds the running program.
std::filesystem::path default_base_dir();

}  // namespace kestrane_console
