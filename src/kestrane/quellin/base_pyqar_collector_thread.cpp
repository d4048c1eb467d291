#include "quellin/base_pyqar_collector_thread.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <variant>

#include <spdlog/spdlog.h>

#include "history/backfill_runner.h"
#include "journel/log.h"
#include "subscription_feed.h"

namespace quellin {

namespace {

constexpr std::string_view kUaPrefix = "opc.tcp://";
constexpr int kMaxErrorsBeforeLongPause = 5;
constexpr double kShortPauseSeconds = 5.0;
constexpr double kLongPauseSeconds = 60.0;

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string error_text(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// The whole text is an optional sign and decimal digits, with blanks around it.
std::optional<int> parse_namespace(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

// Integers whose magnitude passes 2^53 may not be exact as the double the TSDB stores.
constexpr std::uint64_t kExactDoubleLimit = std::uint64_t{1} << 53;

bool beyond_exact_double(const pyqar::Value& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    const std::uint64_t magnitude =
        *i < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(*i) : static_cast<std::uint64_t>(*i);
    return magnitude > kExactDoubleLimit;
  }
  if (const auto* u = std::get_if<std::uint64_t>(&value)) return *u > kExactDoubleLimit;
  return false;
}

// The status, unless its severity contradicts the quality: then the source never set it (the
// field's default) and it is left absent rather than stored wrong.
std::optional<std::uint32_t> known_status(const pyqar::ValueObject& v) {
  const std::uint32_t severity = v.status >> 30;  // 0 Good, 1 Uncertain, 2 and 3 Bad
  switch (v.get_quality() & pyqar::QAR_QUALITY::QAR_HIGH_MASK) {
    case pyqar::QAR_QUALITY::QAR_HIGH_GOOD:
      if (severity != 0) return std::nullopt;
      break;
    case pyqar::QAR_QUALITY::QAR_HIGH_UNCERTAIN:
      if (severity != 1) return std::nullopt;
      break;
    case pyqar::QAR_QUALITY::QAR_HIGH_BAD:
      if (severity < 2) return std::nullopt;
      break;
    default:
      break;
  }
  return v.status;
}

double to_double(const pyqar::Value& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&value)) return static_cast<double>(*u);
  return 0.0;
}

}  // namespace

std::string quality_to_str(int quality) {
  const int high = quality & pyqar::QAR_QUALITY::QAR_HIGH_MASK;
  if (high == pyqar::QAR_QUALITY::QAR_HIGH_GOOD) return "Good";
  if (high == pyqar::QAR_QUALITY::QAR_HIGH_UNCERTAIN) return "Uncertain";
  if (high == pyqar::QAR_QUALITY::QAR_HIGH_BAD) return "Bad";
  return "Invalid";
}

BasePyQARCollectorThread::BasePyQARCollectorThread(Options options)
    : server_schema_(std::move(options.server_schema)),
      protocol_type_(std::string_view(server_schema_).starts_with(kUaPrefix) ? "UA" : "DA"),
      sample_interval_(options.sample_interval),
      batch_size_(options.batch_size),
      status_notify_(std::move(options.status_notify)),
      metrics_(std::move(options.metrics)),
      ua_security_(std::move(options.ua_security)),
      source_factory_(std::move(options.source_factory)),
      clock_(std::move(options.clock)),
      sleep_(std::move(options.sleep)),
      log_(journel::get_logger("quellin")) {
  if (!std::isfinite(sample_interval_) || sample_interval_ < 0.0) {
    throw std::invalid_argument("sample_interval must be a finite number of seconds >= 0, got " +
                                std::to_string(sample_interval_));
  }
  if (options.get_tags_func) {
    get_tags_func_ = std::move(options.get_tags_func);
  } else if (options.tags) {
    auto fixed = std::make_shared<const std::vector<std::string>>(std::move(*options.tags));
    get_tags_func_ = [fixed] { return *fixed; };
  } else {
    throw std::invalid_argument("Either 'get_tags_func' or 'tags' must be provided.");
  }
  if (!clock_) clock_ = steady_seconds;
  if (!sleep_) sleep_ = [this](double seconds) { wait_interruptible(seconds); };
  // What is learned of the server's structure types outlives each source, so a reconnect
  // does not read their definitions again.
  if (options.acquisition.decode_structures) structures_ = pyqar::make_structure_cache();
  if (options.acquisition.mode == pyqar::Acquisition::subscribe) {
    state_file_ = std::make_shared<SubscriptionStateFile>(
        options.subscription_state_dir,
        SubscriptionStateFile::Owner{.endpoint = server_schema_, .user = ua_security_.username});
    feed_ = std::make_unique<SubscriptionFeed>(
        SubscriptionFeed::Options{.acquisition = options.acquisition,
                                  .publishing_interval_seconds = sample_interval_,
                                  .clock = [this] { return now(); },
                                  .wall_clock = [this] { return wall_now(); },
                                  .state_file = state_file_});
  } else if (options.acquisition.events.enabled()) {
    // Polling values, events still come by subscription: a feed of events alone, without
    // heartbeats or a state for a later process.
    AcquisitionOptions events_only{.events = options.acquisition.events};
    event_feed_ = std::make_unique<SubscriptionFeed>(
        SubscriptionFeed::Options{.acquisition = std::move(events_only),
                                  .publishing_interval_seconds = sample_interval_,
                                  .clock = [this] { return now(); },
                                  .wall_clock = [this] { return wall_now(); },
                                  .state_file = nullptr});
  }
  if (options.acquisition.backfill.enabled) {
    backfill_ = std::make_unique<BackfillRunner>(BackfillRunner::Options{
        .settings = options.acquisition.backfill,
        .polling = feed_ == nullptr,
        .state_dir = options.subscription_state_dir,
        .endpoint = server_schema_,
        .describe = [this](const std::string& tag) { return _build_tag_objects({tag}).front(); },
        .metrics = metrics_,
        .clock = [this] { return now(); },
        .wall_clock_us = [this] { return wall_now(); }});
  }
}

BackfillProgress BasePyQARCollectorThread::backfill_progress() const {
  return backfill_ ? backfill_->progress() : BackfillProgress{};
}

std::uint64_t BasePyQARCollectorThread::store_history(const std::string& tag,
                                                      std::vector<pyqar::ValueObject>& values,
                                                      std::vector<std::int64_t> time_us,
                                                      std::uint64_t) {
  ResultList results = _history_results(tag, values);
  return handle_changes(results, std::move(time_us), {}, {});
}

ResultList BasePyQARCollectorThread::_history_results(const std::string& tag,
                                                      std::vector<pyqar::ValueObject>& values) {
  QualityCounts counts;  // history is not counted as read now
  ResultList results;
  results.reserve(values.size());
  for (pyqar::ValueObject& value : values) results.push_back(_to_result(tag, value, counts));
  return results;
}

void BasePyQARCollectorThread::run_backfill(double deadline) {
  if (!backfill_ || !opc_status_ || !source_ || !qar_) return;
  exchange_start_edges();
  backfill_->kept(history_kept_through());
  if (!backfill_->has_work(now())) return;
  try {
    backfill_->run(
        _source(), deadline,
        [this](const std::string& tag, std::vector<pyqar::ValueObject>& values,
               std::vector<std::int64_t> time_us,
               std::uint64_t seq) { return store_history(tag, values, std::move(time_us), seq); },
        [this] { return history_room(); }, [this](double seconds) { sleep_(seconds); });
  } catch (...) {
    opc_error("History read " + protocol_type_ + " error: " + error_text(std::current_exception()));
  }
}

SubscriptionTotals BasePyQARCollectorThread::subscription_totals() const {
  return {items_ok_.load(), items_failed_.load(), notifications_.load(), events_.load()};
}

std::uint64_t BasePyQARCollectorThread::handle_changes(ResultList& results,
                                                       std::vector<std::int64_t>,
                                                       std::vector<pyqar::KeptSequence> covers,
                                                       std::vector<pyqar::EventRecord>) {
  // Without a store of their own, events go nowhere.
  if (!results.empty()) handle_data(results);
  record_kept(covers);
  return 0;
}

void BasePyQARCollectorThread::record_kept(const std::vector<pyqar::KeptSequence>& covers) const {
  if (state_file_ && !covers.empty()) state_file_->record_kept(covers);
}

std::uint64_t BasePyQARCollectorThread::kept_through() const {
  return std::numeric_limits<std::uint64_t>::max();
}

BasePyQARCollectorThread::~BasePyQARCollectorThread() { shutdown(); }

void BasePyQARCollectorThread::start() {
  std::lock_guard lock(state_mutex_);
  if (started_) throw std::logic_error("the collector thread can only be started once");
  started_ = true;
  thread_ = std::thread(&BasePyQARCollectorThread::thread_main, this);
}

void BasePyQARCollectorThread::thread_main() {
  run();
  std::lock_guard lock(state_mutex_);
  finished_ = true;
  state_cv_.notify_all();
}

void BasePyQARCollectorThread::join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool BasePyQARCollectorThread::join(double timeout_seconds) {
  {
    std::unique_lock lock(state_mutex_);
    if (!started_) return true;
    const auto timeout = std::chrono::duration<double>(std::max(0.0, timeout_seconds));
    if (!state_cv_.wait_for(lock, timeout, [this] { return finished_; })) return false;
  }
  join();
  return true;
}

bool BasePyQARCollectorThread::on_collector_thread() const {
  std::lock_guard lock(state_mutex_);
  return started_ && thread_.get_id() == std::this_thread::get_id();
}

bool BasePyQARCollectorThread::is_alive() const {
  std::lock_guard lock(state_mutex_);
  return started_ && !finished_;
}

void BasePyQARCollectorThread::stop() {
  log_->info("Stopping OPC collector thread...");
  notify_status("Stopping OPC collector thread...");
  {
    std::lock_guard lock(state_mutex_);
    _running = false;
  }
  state_cv_.notify_all();
}

void BasePyQARCollectorThread::shutdown() {
  {
    std::lock_guard lock(state_mutex_);
    _running = false;
  }
  state_cv_.notify_all();
  join();
}

void BasePyQARCollectorThread::wait_interruptible(double seconds) {
  if (!(seconds > 0.0)) return;
  std::unique_lock lock(state_mutex_);
  state_cv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return !_running; });
}

double BasePyQARCollectorThread::now() const { return clock_(); }

std::int64_t BasePyQARCollectorThread::wall_now() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void BasePyQARCollectorThread::notify_status(const std::string& text) const {
  if (!status_notify_) return;
  // A failing owner callback must not take the collector down with it.
  try {
    status_notify_(text);
  } catch (...) {
    log_->error("status_notify failed: {}", error_text(std::current_exception()));
  }
}

void BasePyQARCollectorThread::run() {
  // Nothing may leave the thread function: an escaping exception would end the process.
  try {
    connect_source();
    while (_running) {
      const double loop_start = now();
      turn_start_ = loop_start;
      _process_collection_cycle();
      if (metrics_) {
        metrics_->opc_connected(opc_status_);
        metrics_->cycle_done(now() - loop_start);
      }
      _handle_error_retry();
      _control_sampling_interval(loop_start);
    }
  } catch (...) {
    log_->error("OPC collector thread ended by an error: {}", error_text(std::current_exception()));
  }
  if (backfill_) {
    backfill_->kept(history_kept_through());
    backfill_->stop(opc_status_ && source_ && qar_ ? &_source() : nullptr);
  }
  disconnect_source();
  log_->info("OPC collector thread stopped.");
}

void BasePyQARCollectorThread::connect_source() {
  if (!qar_) {
    qar_ = std::make_unique<pyqar::QARLibrary>(source_factory_);
    qar_->set_log_level(pyqar::QAR_LOG_LEVEL::QAR_LOG_LEVEL_INFO);
  }
  if (source_) {
    qar_->destroy_source(*source_);
    source_.reset();
  }
  // A new source has no subscriptions yet.
  if (feed_) feed_->reset();
  if (event_feed_) event_feed_->reset();
  const bool ua = protocol_type_ == "UA";
  const auto type =
      ua ? pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA : pyqar::QAR_RTSOURCE::QAR_RTSOURCE_DA;
  const std::string protocol_name = ua ? "OPC UA" : "OPC DA";
  const double msec = std::trunc(sample_interval_ * 1000.0);
  const int timespan = msec >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(msec);
  source_ = qar_->create_source({.source_type = static_cast<int>(type),
                                 .source_schema = server_schema_,
                                 .sample_timespan_msec = timespan,
                                 .source_flag = 0,
                                 .ua_security = ua_security_,
                                 .ua_decode_structures = structures_ != nullptr,
                                 .ua_structures = structures_});
  if (*source_ == pyqar::QAR_INVALID_HANDLE) {
    throw std::runtime_error("Create " + protocol_name + " Source failed");
  }
  opc_status_ = qar_->is_source_valid(*source_);
  if (!opc_status_) throw std::runtime_error(protocol_name + " Source is invalid");
}

void BasePyQARCollectorThread::disconnect_source() {
  if (feed_ && feed_->subscribed() && source_ && qar_) {
    log_->info("Deleting the subscriptions");
    try {
      _source().unsubscribe();
      feed_->forget_state();
    } catch (...) {
      // unsubscribe() never throws; a handle already gone has nothing to delete.
    }
  }
  if (feed_) feed_->reset();
  if (event_feed_ && event_feed_->subscribed() && source_ && qar_) _source().unsubscribe();
  if (event_feed_) event_feed_->reset();
  try {
    if (source_) {
      if (qar_) qar_->destroy_source(*source_);
      source_.reset();
    }
  } catch (...) {
    source_.reset();
  }
  try {
    if (qar_) qar_->destroy();
  } catch (...) {
  }
  qar_.reset();
  opc_status_ = false;
  notify_status(protocol_type_ + " source disconnected");
}

void BasePyQARCollectorThread::opc_error(const std::string& message) {
  opc_status_ = false;
  if (backfill_) {
    // Polling, every read lost now is a gap in each tag; subscriptions say themselves which
    // values they lost.
    if (!feed_) backfill_->tracker().lost_all();
    backfill_->connection_lost();
  }
  ++consecutive_errors_;
  log_->error("{}", message);
  notify_status(message);
}

// The only place a numeric namespace prefix is split off a UA tag: the library takes the
// (namespace, name) pair as given and reads only the name, as NodeId text or a string id.
std::pair<int, std::string> BasePyQARCollectorThread::parse_ua_tag(const std::string& tag) {
  const std::size_t colon = tag.find(':');
  if (colon == std::string::npos) return {0, tag};
  const std::optional<int> ns = parse_namespace(std::string_view(tag).substr(0, colon));
  if (!ns) return {0, tag};
  return {*ns, tag.substr(colon + 1)};
}

pyqar::TagDescriptor BasePyQARCollectorThread::ua_tag_descriptor(const std::string& tag) {
  auto [ns, name] = parse_ua_tag(tag);
  return {static_cast<int>(pyqar::QAR_DATATYPE::QAR_DATATYPE_REAL), ns, std::move(name)};
}

void BasePyQARCollectorThread::_process_collection_cycle() {
  _check_and_reconnect();
  if (!opc_status_) return;
  if (feed_) {
    _receive_and_process_data();
  } else {
    _read_and_process_data();
  }
  // A single step reads some history too; the thread does it in the rest of its turn.
  if (backfill_ && !on_collector_thread()) run_backfill(now() + kStepWaitSeconds);
}

pyqar::RtSource& BasePyQARCollectorThread::_source() { return qar_->source(*source_); }

void BasePyQARCollectorThread::_check_and_reconnect() {
  if (opc_status_) return;
  // Polling beside subscribed events, the reads share the events' session: resumed alike.
  const bool subscribed =
      (feed_ && feed_->subscribed()) || (event_feed_ && event_feed_->subscribed());
  if (subscribed && source_ && qar_) {
    // The source keeps its subscriptions across a broken connection where the server allows
    // it, and reports what it missed meanwhile: it is resumed rather than replaced.
    log_->info("{} resuming the subscriptions...", protocol_type_);
    try {
      _source().resume();
      opc_status_ = true;
      if (metrics_) metrics_->opc_reconnect();
    } catch (...) {
      opc_error("Resume " + protocol_type_ +
                " subscriptions error: " + error_text(std::current_exception()));
    }
    return;
  }
  log_->info("{} reconnecting...", protocol_type_);
  try {
    disconnect_source();
    connect_source();
    if (metrics_) metrics_->opc_reconnect();
  } catch (...) {
    opc_error("Reconnect " + protocol_type_ + " error: " + error_text(std::current_exception()));
  }
}

void BasePyQARCollectorThread::_read_and_process_data() {
  // The tag provider's errors are the owner's and end the thread.
  const std::vector<std::string> tags = get_tags_func_();
  if (tags.empty()) return;
  try {
    std::vector<pyqar::TagDescriptor> tag_objs = _build_tag_objects(tags);
    const double read_start = now();
    if (backfill_) read_time_us_ = wall_now();
    QualityCounts counts;
    ResultList results = _batch_read_data(tag_objs, tags, counts);
    if (metrics_) metrics_->cycle_read(tags.size(), counts, now() - read_start, wall_now());
    _update_read_status(results, counts);
    // The gaps found go to disk before the values that close them are stored.
    if (backfill_) backfill_->take_found();
    if (opc_status_) handle_data(results);
  } catch (...) {
    opc_error("Read " + protocol_type_ + " error: " + error_text(std::current_exception()));
  }
  if (event_feed_ && opc_status_) _receive_events();
}

void BasePyQARCollectorThread::_receive_events() {
  pyqar::RtSource& source = _source();
  SubscriptionFeed::Received received;
  try {
    if (event_feed_->needs_subscription({})) event_feed_->subscribe(source, {}, {});
    event_feed_->drain(source, std::chrono::milliseconds(0), kept_through(), received);
    note_events(received.events.size(), received.activity, source);
    std::uint64_t ticket = 0;
    if (!received.events.empty()) {
      ResultList none;
      ticket = handle_changes(none, {}, {}, std::move(received.events));
    }
    event_feed_->handed_over(ticket, received.ack_token);
    event_feed_->acknowledge_kept(source, kept_through());
  } catch (...) {
    opc_error("Events " + protocol_type_ + " error: " + error_text(std::current_exception()));
  }
}

void BasePyQARCollectorThread::note_events(std::size_t events, const SubscriptionActivity& activity,
                                           const pyqar::RtSource& source) {
  events_ += events;
  if (!metrics_) return;
  if (activity.condition_refreshes_ok > 0)
    metrics_->condition_refreshes(activity.condition_refreshes_ok, "ok");
  if (activity.condition_refreshes_failed > 0)
    metrics_->condition_refreshes(activity.condition_refreshes_failed, "failed");
  try {
    const pyqar::SubscriptionStatus status = source.subscription_status();
    metrics_->event_items(status.event_items_ok, status.event_items_failed);
  } catch (...) {
    // Only the figures are missing.
  }
}

void BasePyQARCollectorThread::_receive_and_process_data() {
  // The tag provider's errors are the owner's and end the thread.
  const std::vector<std::string> tags = get_tags_func_();
  if (tags.empty()) return;
  pyqar::RtSource& source = _source();
  if (!source.can_subscribe()) {
    // Not an OPC error that a reconnect mends: the thread (or the step) ends with it, rather
    // than polling behind the configuration's back.
    throw std::invalid_argument("opc_acquisition = subscribe, but the " + protocol_type_ +
                                " source " + server_schema_ +
                                " has no subscriptions; set opc_acquisition = read to poll it");
  }
  const double started = now();
  try {
    if (feed_->needs_subscription(tags)) feed_->subscribe(source, tags, _build_tag_objects(tags));
  } catch (...) {
    opc_error("Subscribe " + protocol_type_ + " error: " + error_text(std::current_exception()));
    return;
  }

  // What arrived before a failure is stored all the same: the source has handed it over and
  // will not give it again.
  SubscriptionFeed::Received received;
  std::exception_ptr failure;
  try {
    if (on_collector_thread()) {
      // History waiting takes the second half of the turn; live values wait in the session
      // meanwhile and come with the next turn.
      const bool history_waits = backfill_ && backfill_->has_work(now());
      feed_->receive_until(
          source, turn_start_ + sample_interval_ * (history_waits ? 0.5 : 1.0),
          [this] { return _running.load(); }, [this] { return kept_through(); }, received);
    } else {
      const double wait_ms = std::min(sample_interval_, kStepWaitSeconds) * 1000.0;
      feed_->drain(source, std::chrono::milliseconds(static_cast<std::int64_t>(wait_ms)),
                   kept_through(), received);
    }
  } catch (...) {
    failure = std::current_exception();
  }

  const std::size_t values = received.changes.size() - received.heartbeats;
  feed_->add_heartbeats(received);
  QualityCounts counts;
  QualityCounts repeated;  // heartbeat rows: stored, but not read again
  ResultList results;
  results.reserve(received.changes.size());
  const std::vector<std::string>& names = feed_->tags();
  for (std::size_t i = 0; i < received.changes.size(); ++i) {
    auto& change = received.changes[i];
    if (backfill_ && i < values) {
      backfill_->tracker().saw(names[change.tag_index], change.value, received.row_time_us[i],
                               change.after_gap);
    }
    results.push_back(
        _to_result(names[change.tag_index], change.value, i < values ? counts : repeated));
  }
  pyqar::SubscriptionStatus status;
  try {
    status = source.subscription_status();
  } catch (...) {
    // Only the figures are missing; the failure that matters is reported below.
  }
  items_ok_ = status.items_ok;
  items_failed_ = status.items_failed;
  notifications_ += received.activity.notifications;
  if (metrics_) {
    metrics_->cycle_read(tags.size(), counts, now() - started, wall_now());
    metrics_->subscription_activity(received.activity);
    metrics_->subscription_state(status);
  }
  if (feed_->events_enabled()) note_events(received.events.size(), received.activity, source);
  if (backfill_) backfill_->take_found();
  try {
    std::uint64_t ticket = 0;
    if (!results.empty() || !received.events.empty()) {
      ticket =
          handle_changes(results, std::move(received.row_time_us),
                         feed_->covers(source, received.ack_token), std::move(received.events));
    }
    feed_->handed_over(ticket, received.ack_token);
    if (!failure) feed_->acknowledge_kept(source, kept_through());
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) {
    opc_error("Read " + protocol_type_ + " error: " + error_text(failure));
    return;
  }
  opc_status_ = true;
  consecutive_errors_ = 0;
  notify_status("Received " + std::to_string(values) + " values (" +
                std::to_string(values - counts.good) + " bad) from " +
                std::to_string(status.items_ok) + " monitored items.");
}

std::vector<pyqar::TagDescriptor> BasePyQARCollectorThread::_build_tag_objects(
    const std::vector<std::string>& tags) const {
  std::vector<pyqar::TagDescriptor> objs;
  objs.reserve(tags.size());
  const bool ua = protocol_type_ == "UA";
  constexpr int kReal = static_cast<int>(pyqar::QAR_DATATYPE::QAR_DATATYPE_REAL);
  for (const std::string& tag : tags) {
    if (ua) {
      objs.push_back(ua_tag_descriptor(tag));
    } else {
      objs.push_back({kReal, 0, tag});
    }
  }
  return objs;
}

ResultList BasePyQARCollectorThread::_batch_read_data(std::vector<pyqar::TagDescriptor>& tag_objs,
                                                      const std::vector<std::string>& tags,
                                                      QualityCounts& counts) {
  std::size_t step = static_cast<std::size_t>(batch_size_);
  if (batch_size_ <= 0) {
    // A non-positive step would never advance; read everything at once instead.
    step = tag_objs.size();
    if (!warned_batch_size_) {
      log_->warn("Batch size {} is not positive; reading all tags in one batch", batch_size_);
      warned_batch_size_ = true;
    }
  }
  ResultList results;
  results.reserve(tag_objs.size());
  std::vector<pyqar::TagDescriptor> slice;
  slice.reserve(std::min(step, tag_objs.size()));
  for (std::size_t start = 0; start < tag_objs.size(); start += step) {
    const std::size_t end = std::min(start + step, tag_objs.size());
    // The descriptors are rebuilt every cycle, so each batch may take them over.
    slice.assign(std::make_move_iterator(tag_objs.begin() + static_cast<std::ptrdiff_t>(start)),
                 std::make_move_iterator(tag_objs.begin() + static_cast<std::ptrdiff_t>(end)));
    if (slice.empty()) continue;
    auto read = qar_->read_values(*source_, slice);
    _process_batch_results(read.second, tags, start, results, counts);
  }
  return results;
}

void BasePyQARCollectorThread::_process_batch_results(
    std::vector<pyqar::ValueObject>& batch_value_objs, const std::vector<std::string>& tags,
    std::size_t batch_start_idx, ResultList& out, QualityCounts& counts) {
  for (std::size_t k = 0; k < batch_value_objs.size(); ++k) {
    const std::size_t index = batch_start_idx + k;
    if (index >= tags.size()) {
      throw std::out_of_range("the library returned more values than tags were asked for (" +
                              std::to_string(index + 1) + " of " + std::to_string(tags.size()) +
                              ")");
    }
    if (backfill_) backfill_->tracker().saw(tags[index], batch_value_objs[k], read_time_us_, false);
    out.push_back(_to_result(tags[index], batch_value_objs[k], counts));
  }
}

ResultTuple BasePyQARCollectorThread::_to_result(const std::string& tag, pyqar::ValueObject& v,
                                                 QualityCounts& counts) {
  // Counted here, while the value is at hand, rather than in another pass over the cycle.
  switch (v.get_quality() & pyqar::QAR_QUALITY::QAR_HIGH_MASK) {
    case pyqar::QAR_QUALITY::QAR_HIGH_GOOD:
      ++counts.good;
      break;
    case pyqar::QAR_QUALITY::QAR_HIGH_UNCERTAIN:
      ++counts.uncertain;
      break;
    case pyqar::QAR_QUALITY::QAR_HIGH_BAD:
      ++counts.bad;
      break;
    default:
      ++counts.invalid;
      break;
  }
  if (v.cut) warn_cut(tag);
  if (beyond_exact_double(v.value)) warn_rounded(tag, v.value);
  return ResultTuple{tag,
                     std::move(v.value),
                     quality_to_str(v.get_quality()),
                     v.get_timestamp(),
                     v.source_timestamp,
                     known_status(v)};
}

void BasePyQARCollectorThread::warn_cut(const std::string& tag) {
  if (!warned_cut_.insert(tag).second) return;
  log_->warn("Tag '{}': its value is longer than {} bytes of text and is stored cut at that length",
             tag, pyqar::QAR_MAX_VALUE_TEXT_BYTES);
}

void BasePyQARCollectorThread::warn_rounded(const std::string& tag, const pyqar::Value& value) {
  if (!warned_rounded_.insert(tag).second) return;
  const std::string exact = std::holds_alternative<std::int64_t>(value)
                                ? std::to_string(std::get<std::int64_t>(value))
                                : std::to_string(std::get<std::uint64_t>(value));
  log_->warn(
      "Tag '{}': the integer {} is beyond 2^53 and is stored as the nearest double, {:.17g}; "
      "its later values are not reported again",
      tag, exact, to_double(value));
}

void BasePyQARCollectorThread::_update_read_status(const ResultList& all_results,
                                                   const QualityCounts& counts) {
  const std::size_t n = all_results.size();
  const std::size_t bad = n - counts.good;
  if (n > 0 && bad == n) {
    opc_status_ = false;
    ++consecutive_errors_;
    const std::string text =
        "All " + std::to_string(n) + " tags read failed. Waiting for next cycle...";
    log_->error("{}", text);
    notify_status(text);
    return;
  }
  opc_status_ = true;
  consecutive_errors_ = 0;
  notify_status("Read " + std::to_string(n) + " tags, " + std::to_string(bad) + " bad.");
}

void BasePyQARCollectorThread::_handle_error_retry() {
  const int errors = consecutive_errors_;
  if (errors > kMaxErrorsBeforeLongPause) {
    const std::string text = "Too many consecutive errors, sleeping 60 seconds before retrying...";
    log_->error("{}", text);
    notify_status(text);
    if (metrics_) metrics_->pausing(kLongPauseSeconds);
    sleep_(kLongPauseSeconds);
    consecutive_errors_ = 0;
  } else if (errors > 0) {
    const std::string text = "Retrying in 5 seconds...";
    log_->warn("{}", text);
    notify_status(text);
    if (metrics_) metrics_->pausing(kShortPauseSeconds);
    sleep_(kShortPauseSeconds);
  }
}

void BasePyQARCollectorThread::_control_sampling_interval(double loop_start) {
  // History fills what is left of the turn, leaving a margin for the next read to start on time.
  if (backfill_) run_backfill(loop_start + sample_interval_ * 0.9);
  const double remaining = sample_interval_ - (now() - loop_start);
  if (remaining > 0.0) sleep_(remaining);
}

}  // namespace quellin
