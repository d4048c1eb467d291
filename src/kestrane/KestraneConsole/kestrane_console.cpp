#include "KestraneConsole/kestrane_console.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "config/backfill_status.h"
#include "config/tag_monitoring.h"
#include "journel/log.h"
#include "tidewell/tidewell.h"

namespace kestrane_console {

using namespace kestrane_config;

namespace {

constexpr std::chrono::milliseconds kMainLoopTick{1000};

SignalWait sleeping_wait() {
  return [](std::chrono::milliseconds timeout) -> std::optional<int> {
    if (timeout.count() > 0) std::this_thread::sleep_for(timeout);
    return std::nullopt;
  };
}

double system_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string subscription_summary(const quellin::AcquisitionOptions& acquisition, std::size_t tags) {
  const pyqar::MonitorSettings& monitor = acquisition.monitor;
  std::string sampling = "the publishing interval";
  if (monitor.sampling_interval_ms == 0.0) {
    sampling = "the server's fastest";
  } else if (monitor.sampling_interval_ms > 0.0) {
    sampling = interval_text(monitor.sampling_interval_ms / 1000.0) + "s";
  }
  std::string deadband = "none";
  if (monitor.deadband_type != pyqar::DeadbandType::none) {
    deadband = fmt::format(
        "{} {}", monitor.deadband_type == pyqar::DeadbandType::absolute ? "absolute" : "percent",
        monitor.deadband);
  }
  const std::string queue =
      monitor.queue_size == 0 ? "automatic" : std::to_string(monitor.queue_size);
  const std::string heartbeat = acquisition.heartbeat_seconds > 0.0
                                    ? interval_text(acquisition.heartbeat_seconds) + "s"
                                    : "off";
  return fmt::format(
      "Acquisition: subscriptions (publishing every sample interval), sampling {}, queue size "
      "{}, deadband {}, heartbeat {}; {} of {} tags with settings of their own",
      sampling, queue, deadband, heartbeat, acquisition.tag_monitor.size(), tags);
}

std::string interval_text(double seconds) {
  std::string text = fmt::format("{}", seconds);
  if (std::isfinite(seconds) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string status_line_text(std::size_t tags, std::uint64_t collected, std::uint64_t written,
                             const std::optional<quellin::SubscriptionTotals>& subscriptions,
                             std::optional<std::uint64_t> events) {
  std::string text =
      fmt::format("Status - Tags: {}, Collected: {}, Written: {}", tags, collected, written);
  if (subscriptions) {
    text +=
        fmt::format(", Monitored items: {} ({} failed), Notifications: {}", subscriptions->items_ok,
                    subscriptions->items_failed, subscriptions->notifications);
  }
  if (events) text += fmt::format(", Events: {}", *events);
  return text;
}

std::filesystem::path default_base_dir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("Cannot find the program's own file: " + ec.message());
  return exe.parent_path().parent_path();
}

KestraneConsole::KestraneConsole(std::optional<std::filesystem::path> base_dir, ConsoleHooks hooks,
                                 std::optional<std::filesystem::path> config_file)
    : base_dir_(config_file ? std::filesystem::absolute(*config_file).parent_path()
                : base_dir  ? std::filesystem::absolute(*base_dir)
                            : default_base_dir()),
      config_path_(config_file ? std::filesystem::absolute(*config_file)
                               : base_dir_ / "config.ini"),
      hooks_(std::move(hooks)),
      caller_waits_for_signals_(static_cast<bool>(hooks_.signal_wait)) {
  journel::setup_loguru_from_ini(config_path().string());
  log_ = hooks_.logger ? hooks_.logger : journel::get_logger("KestraneConsole");
  if (!hooks_.signal_wait) hooks_.signal_wait = sleeping_wait();
  if (!hooks_.wall_clock) hooks_.wall_clock = system_seconds;
  last_status_time_ = now();
}

KestraneConsole::~KestraneConsole() = default;

double KestraneConsole::now() const { return hooks_.wall_clock(); }

bool KestraneConsole::load_config() {
  if (!load_console_config(config_path(), config_, *log_)) return false;
  metrics_listen_.reset();
  if (config_.metrics_listen) {
    try {
      metrics_listen_ = kestrane_monitoring::parse_listen_address(*config_.metrics_listen);
    } catch (const std::exception& e) {
      log_->error("Error loading config: [{}] listen: {}", kMetricsSection, e.what());
      return false;
    }
  }
  return true;
}

bool KestraneConsole::load_tags_from_csv() {
  tags_list_.clear();
  try {
    DecodedText decoded;
    try {
      decoded = read_tag_file(config_.tag_csv_path);
    } catch (const TagFileDecodeError& e) {
      log_->error("{}", e.what());
      return false;
    }
    log_->info("CSV file loaded with encoding: {}", decoded.encoding);
    try {
      parse_tag_csv(decoded.text, tags_list_);
    } catch (const TagCsvColumnsError& e) {
      log_->error("{}", e.what());
      return false;
    }
    log_->info("Loaded {} tags from CSV file", tags_list_.size());
    // The tags' own subscription settings, checked now so that a bad one stops the start.
    (void)acquisition_for_tags(config_.acquisition, tags_list_);
    return !tags_list_.empty();
  } catch (const std::exception& e) {
    log_->error("Error loading tags from CSV: {}", e.what());
    return false;
  }
}

bool KestraneConsole::setup_database_objects() {
  RegistrationRequest request{config_.tsdb_cfg, config_.opc_schema, config_.opc_type};
  const auto cancelled = [this] { return poll_signal().has_value(); };
  RegistrationOutcome outcome =
      register_source_and_tags(request, tags_list_, *log_, hooks_.tsdb_connect, cancelled);
  // The collector starts with every id cached, so its first cycle writes with no lookups.
  registered_tag_ids_ = std::move(outcome.tag_ids);
  registration_deferred_ = false;
  if (!outcome.ok && outcome.unreachable && !outcome.cancelled && config_.start_without_tsdb) {
    spool_start().warn_collecting_without_tsdb(*log_);
    registration_deferred_ = true;
    return true;
  }
  return outcome.ok;
}

bool KestraneConsole::test_connect_tsdb() {
  try {
    const auto& cfg = config_.tsdb_cfg;
    auto conn = tidewell::connect_with(hooks_.tsdb_connect, cfg);
    if (!conn) {
      log_->error("Failed to connect to TSDB");
      return false;
    }
    conn->close();
    log_->info("Test Connect to TSDB database: {}:{}/{} Successful.", cfg.host, cfg.port,
               cfg.dbname);
    return true;
  } catch (const std::exception& e) {
    log_->error("Failed to connect to TSDB: {}", e.what());
    return false;
  }
}

std::vector<std::string> KestraneConsole::get_current_tags() const {
  std::vector<std::string> names;
  names.reserve(tags_list_.size());
  for (const TagEntry& tag : tags_list_) names.push_back(tag.name);
  return names;
}

void KestraneConsole::status_callback(const std::string& status) {
  log_->debug("OPC Status: {}", status);
}

void KestraneConsole::db_status_callback(bool success, std::size_t count) {
  if (success) {
    total_written_ += count;
    log_->debug("Successfully wrote {} records to database", count);
  } else {
    log_->warn("Failed to write data to database");
  }
}

void KestraneConsole::make_collector() {
  quellin::OPCCollector::Options options;
  options.opc_schema = config_.opc_schema;
  // The tag list does not change while the collector runs, so the names are built once.
  options.get_tags_func = [names = get_current_tags()] { return names; };
  options.data_deque = &data_deque_;
  options.deque_lock = &deque_lock_;
  options.tsdb_cfg = config_.tsdb_cfg;
  options.status_notify = [this](const std::string& text) { status_callback(text); };
  options.db_status_notify = [this](bool ok, std::size_t n) { db_status_callback(ok, n); };
  options.sample_interval = config_.collection_interval;
  options.batch_size = config_.batch_size;
  options.tag_ids = std::move(registered_tag_ids_);
  registered_tag_ids_.clear();
  if (registration_deferred_) {
    // The same registration as at start, on the writer's first connection that answers;
    // the tag list does not change while the collector runs.
    options.prepare_connection =
        [this, request = RegistrationRequest{config_.tsdb_cfg, config_.opc_schema,
                                             config_.opc_type}](tidewell::Connection& conn)
        -> std::optional<std::unordered_map<std::string, std::int64_t>> {
      log_->info("The TSDB answers: registering the source and tags");
      RegistrationOutcome outcome = register_source_and_tags(conn, request, tags_list_, *log_);
      if (!outcome.ok) return std::nullopt;
      return std::move(outcome.tag_ids);
    };
  }
  options.ua_security = config_.opc_security;
  options.acquisition = acquisition_for_tags(config_.acquisition, tags_list_);
  if (hooks_.source_factory) options.source_factory = hooks_.source_factory;
  if (hooks_.tsdb_connect) options.tsdb_connect = hooks_.tsdb_connect;
  if (monitor_) options.metrics = monitor_->collector_metrics();
  collector_thread_ = spool_start().build_collector(
      [&options](std::optional<quellin::SpoolSettings> spool) {
        // A copy: a build refused for its spool is tried again without it.
        quellin::OPCCollector::Options attempt = options;
        attempt.spool = std::move(spool);
        return std::make_unique<quellin::OPCCollector>(std::move(attempt));
      },
      *log_);
}

kestrane_config::SpoolStart KestraneConsole::spool_start() const {
  return {config_.spool, config_.start_without_tsdb};
}

bool KestraneConsole::start_collection() {
  try {
    log_->info("Starting OPC data collection from: {}", config_.opc_schema);
    log_->info("Sample interval: {}s, Batch size: {}", interval_text(config_.collection_interval),
               config_.batch_size);
    if (config_.acquisition.mode == pyqar::Acquisition::subscribe) {
      log_->info("{}", subscription_summary(acquisition_for_tags(config_.acquisition, tags_list_),
                                            tags_list_.size()));
    }
    if (config_.opc_schema.starts_with("opc.tcp://")) {
      const pyqar::UaSecurity& security = config_.opc_security;
      log_->info("OPC UA security: policy {}, mode {}, user {}, PKI folder {}",
                 pyqar::to_string(security.policy), pyqar::to_string(security.mode),
                 security.username.empty() ? "anonymous" : security.username, security.pki_dir);
      pyqar::report_ua_security_at_start(security);
    }
    monitor_ = std::make_unique<ConsoleMonitor>(
        ConsoleMonitor::Options{.listen = metrics_listen_,
                                .sample_interval = config_.collection_interval,
                                .tags = tags_list_.size()});
    make_collector();
    collector_thread_->start();
    running_ = true;
    log_->info("Data collection started successfully");
    monitor_->collection_started();
    return true;
  } catch (const std::exception& e) {
    log_->error("Failed to start data collection: {}", e.what());
    return false;
  }
}

void KestraneConsole::process_data_queue() {
  std::vector<quellin::ResultList> taken;
  {
    std::lock_guard lock(deque_lock_);
    taken = data_deque_.take_all();
  }
  for (const auto& results : taken) total_collected_ += results.size();
}

void KestraneConsole::print_status() {
  const double current = now();
  if (current - last_status_time_ >= kStatusPeriodSeconds) {
    log_status_line();
    last_status_time_ = current;
  }
}

void KestraneConsole::log_status_line() {
  std::optional<quellin::SubscriptionTotals> subscriptions;
  if (collector_thread_ && collector_thread_->subscribing()) {
    subscriptions = collector_thread_->subscription_totals();
  }
  std::optional<std::uint64_t> events;
  if (collector_thread_ && config_.acquisition.events.enabled()) {
    events = collector_thread_->subscription_totals().events;
  }
  log_->info("{}", status_line_text(tags_list_.size(), total_collected_, total_written_.load(),
                                    subscriptions, events));
  if (collector_thread_) {
    const quellin::BackfillProgress backfill = collector_thread_->backfill_progress();
    if (backfill.running) log_->info("{}", backfill_status_text(backfill));
  }
}

std::optional<int> KestraneConsole::wait_for_signal(std::chrono::milliseconds timeout) {
  if (keyboard_) return keyboard_->wait(timeout);
  return hooks_.signal_wait(timeout);
}

std::optional<int> KestraneConsole::poll_signal() {
  if (!received_signal_) received_signal_ = wait_for_signal(std::chrono::milliseconds(0));
  return received_signal_;
}

bool KestraneConsole::takes_keyboard_interrupt() const {
  if (caller_waits_for_signals_) return false;
  // Someone else's handler, an ignored SIGINT or a mask that already holds it back for a wait of
  // its own: Ctrl+C is theirs.
  struct sigaction current {};
  if (::sigaction(SIGINT, nullptr, &current) != 0) return false;
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return false;
  sigset_t blocked;
  if (pthread_sigmask(SIG_SETMASK, nullptr, &blocked) != 0) return false;
  return sigismember(&blocked, SIGINT) == 0;
}

void KestraneConsole::shut_down_on_signal(int signo) {
  received_signal_ = signo;
  log_->info("Received signal {}, shutting down...", signo);
  stop();
}

bool KestraneConsole::shut_down_if_signalled() {
  const auto signo = poll_signal();
  if (!signo) return false;
  if (keyboard_) {
    log_->info("Received keyboard interrupt");
    stop();
    log_->info("KestraneConsole stopped");
  } else {
    shut_down_on_signal(*signo);
  }
  return true;
}

bool KestraneConsole::load_config_and_tags() {
  if (!load_config()) {
    log_->error("Failed to load configuration");
    return false;
  }
  if (!load_tags_from_csv()) {
    log_->error("Failed to load tags from CSV");
    return false;
  }
  return true;
}

bool KestraneConsole::run() {
  // Without main()'s wait for signals, Ctrl+C would end the process in the middle of a write.
  // Blocked from here on (the collector's threads, made later, inherit the mask), it waits for
  // the loop instead, which ends as after any other stop.
  if (takes_keyboard_interrupt()) keyboard_.emplace(std::initializer_list<int>{SIGINT});
  try {
    const bool ok = run_steps();
    keyboard_.reset();
    return ok;
  } catch (...) {
    keyboard_.reset();
    throw;
  }
}

bool KestraneConsole::run_steps() {
  log_->info("Starting KestraneConsole...");
  if (!load_config_and_tags()) return false;
  if (shut_down_if_signalled()) return true;
  if (!setup_database_objects()) {
    if (shut_down_if_signalled()) return true;
    log_->error("Failed to setup database objects");
    return false;
  }
  if (shut_down_if_signalled()) return true;
  if (!start_collection()) {
    log_->error("Failed to start data collection");
    return false;
  }
  log_->info("Data collection is running. Press Ctrl+C to stop.");
  bool collector_ended = false;
  bool failed = false;
  try {
    while (running_) {
      if (auto signo = wait_for_signal(kMainLoopTick)) {
        if (keyboard_) {
          received_signal_ = signo;
          log_->info("Received keyboard interrupt");
          break;
        }
        shut_down_on_signal(*signo);
        return true;
      }
      process_data_queue();
      print_status();
      if (monitor_) monitor_->tick();
      if (running_ && !collector_thread_->is_alive()) {
        // The first OPC connection failed, or the tag source threw: nothing is collected
        // any more, so say so and let the service manager restart the program.
        log_->error("Collector thread ended unexpectedly; no data is being collected");
        collector_ended = true;
        break;
      }
    }
  } catch (const std::exception& e) {
    log_->error("Unexpected error in main loop: {}", e.what());
    // A failure, so that a service manager restarts the program.
    failed = true;
  }
  stop();
  log_->info("KestraneConsole stopped");
  return !collector_ended && !failed;
}

void KestraneConsole::stop() {
  running_ = false;
  if (monitor_) monitor_->stopping();
  if (collector_thread_ && collector_thread_->is_alive()) {
    log_->info("Stopping data collection...");
    // One budget for the whole stop: the collector's own stop is bounded (its thread, then the
    // writer's), and the join below only gets what is left of it.
    const auto started = std::chrono::steady_clock::now();
    collector_thread_->stop();
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!collector_thread_->join(std::max(hooks_.stop_timeout_seconds - spent, 0.0))) {
      log_->warn("Collector thread did not stop gracefully");
    } else {
      log_->info("Data collection stopped");
      log_->info("Stopping took {:.1f} s",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      // The last cycles, counted: the final totals of the run.
      process_data_queue();
      log_status_line();
    }
  }
}

bool KestraneConsole::collector_alive() const {
  return collector_thread_ && (collector_thread_->is_alive() || collector_thread_->writer_alive());
}

bool KestraneConsole::initialize_for_single_step() {
  log_->info("Initializing for single-step collection mode...");
  if (!load_config_and_tags()) return false;
  if (!setup_database_objects()) {
    log_->error("Failed to setup database objects");
    return false;
  }
  try {
    log_->info("Creating OPC collector for single-step mode: {}", config_.opc_schema);
    make_collector();
    collector_thread_->connect_source();
    log_->info("Single-step collection mode initialized successfully");
    return true;
  } catch (const std::exception& e) {
    log_->error("Failed to initialize single-step collection mode: {}", e.what());
    return false;
  }
}

bool KestraneConsole::single_step_collection() {
  if (!collector_thread_) {
    log_->error("Collector not initialized. Call initialize_for_single_step() first.");
    return false;
  }
  try {
    collector_thread_->collection_step();
    process_data_queue();
    log_->debug("Single step collection completed");
    return true;
  } catch (const std::exception& e) {
    log_->error("Error during single step collection: {}", e.what());
    return false;
  }
}

CollectionStatistics KestraneConsole::get_collection_statistics() const {
  CollectionStatistics stats;
  stats.total_tags = tags_list_.size();
  stats.total_collected = total_collected_;
  stats.total_written = total_written_.load();
  {
    std::lock_guard lock(deque_lock_);
    stats.queue_size = data_deque_.size();
  }
  return stats;
}

void KestraneConsole::cleanup_single_step() {
  if (!collector_thread_) return;
  try {
    collector_thread_->disconnect_source();
    log_->info("OPC connection closed");
  } catch (const std::exception& e) {
    log_->error("Error closing OPC connection: {}", e.what());
  }
}

}  // namespace kestrane_console
