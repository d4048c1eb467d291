// The whole way from an OPC UA server's answers into PostgreSQL, subscribing against polling:
// 100,000 tags that all change once a second, stored by an OPCCollector through its TSDB
// writer: one collection step per second (single-step use, so the writer's rows are in the
// database when the step returns), and in the *Threaded variants the collector and the writer
// on their own threads as the console runs them. The server is recorded: its answers are
// encoded with the client's own encoders ahead, outside the time measured, and decoded again
// by the client inside it, so that decoding counts but no socket or secure channel does.
//   - BM_Subscribe: Publish answers of 1,000 data changes each (a double, source and server
//     time), through the subscription engine, the collector's feed, tickets and
//     acknowledgements, the writer;
//   - BM_Poll: Read answers of 200 values each (the console's batch size), through the same
//     conversion a real Read takes, the collector's polling cycle, the writer;
//   - BM_Events: 10,000 events a second from one event notifier (every fourth an alarm with its
//     condition fields), in messages of 1,000 events with the 19 standard fields, through the
//     engine's event items, the feed, the writer into the `events` table;
//   - BM_SubscribeWithEvents: BM_Subscribe with 1,000 events a second beside the values.
// Both report this process's CPU (every thread: the collector and the writer) per stored
// value; PostgreSQL's own CPU is not counted. Reads KESTRANE_TEST_PG_* like the tests.
//   bench_subscribe_store [--benchmark_filter=Subscribe|Poll|Threaded|Events]
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "database_readback.h"
#include "pyqar/qar_library.h"
#include "pyqar/rt_source.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"
#include "scratch_postgres_database.h"
#include "tidewell/tidewell.h"
#include "ua/binary_writer.h"
#include "ua/node_id.h"
#include "ua/status_code.h"
#include "ua/subscription_engine.h"
#include "ua/subscription_services.h"
#include "ua/ua_event_filter.h"
#include "ua/ua_messages.h"
#include "ua/value_conversion.h"

namespace {

namespace ua = pyqar::ua;

constexpr std::size_t kTags = 100'000;
constexpr std::size_t kChangesPerMessage = 1'000;
constexpr std::size_t kEventsPerMessage = 1'000;
constexpr int kReadBatch = 200;
constexpr int kSeconds = 10;  // measured steps, after two that warm up
constexpr std::int64_t kTicksPerSecond = 10'000'000;

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string tag_name(std::size_t n) { return "ns=2;s=Bench." + std::to_string(n); }

void write_response_start(ua::BinaryWriter& w, std::uint32_t type) {
  ua::encode_node_id(w, ua::NodeId::numeric_id(0, type));
  w.i64(0);   // timestamp
  w.u32(1);   // request handle
  w.u32(0);   // service result
  w.u8(0);    // no diagnostic info
  w.i32(-1);  // no string table
  w.u8(0);    // no additional header: null NodeId ...
  w.u8(0);
  w.u8(0);  // ... with no body
}

ua::DataValue changed_value(std::size_t tag, std::int64_t ticks) {
  ua::DataValue v;
  v.value = ua::Variant(ua::BuiltinType::Double, false,
                        static_cast<double>(ticks / kTicksPerSecond) + static_cast<double>(tag));
  v.source_timestamp = ticks;
  v.server_timestamp = ticks;
  return v;
}

// Event `n` of one second at `ticks`, its fields in the order of the event item's filter:
// every fourth an alarm of one of 50 conditions, the rest plain events.
std::vector<ua::Variant> event_fields(const std::vector<std::string>& names, std::uint64_t n,
                                      std::int64_t ticks) {
  using ua::BuiltinType;
  const bool alarm = n % 4 == 0;
  std::string id(16, '\0');
  for (int k = 0; k < 8; ++k) id[static_cast<std::size_t>(k)] = static_cast<char>(n >> (8 * k));
  const std::string condition = "Line.Alarm" + std::to_string(n % 50);
  std::vector<ua::Variant> fields;
  fields.reserve(names.size());
  for (const std::string& name : names) {
    ua::Variant v;
    if (name == "EventId") {
      v = {BuiltinType::ByteString, false, id};
    } else if (name == "EventType") {
      v = {BuiltinType::NodeId, false, ua::NodeId::numeric_id(0, alarm ? 9341 : 2041)};
    } else if (name == "SourceNode") {
      v = {BuiltinType::NodeId, false,
           ua::NodeId::string_id(2, "Line.Tank" + std::to_string(n % 50))};
    } else if (name == "SourceName") {
      v = {BuiltinType::String, false, "Tank" + std::to_string(n % 50)};
    } else if (name == "Time" || name == "ReceiveTime") {
      v = {BuiltinType::DateTime, false,
           static_cast<std::int64_t>(ticks + static_cast<std::int64_t>(n % 10'000) * 1'000)};
    } else if (name == "Message") {
      v = {BuiltinType::LocalizedText, false,
           ua::LocalizedText{"en", alarm ? "Level above its high limit: 85.5"
                                         : "Batch step " + std::to_string(n) + " started"}};
    } else if (name == "Severity") {
      v = {BuiltinType::UInt16, false, static_cast<std::uint64_t>(alarm ? 700 : 200)};
    } else if (!alarm) {
      // Conditions' fields of a plain event: null.
    } else if (name == "ConditionId") {
      v = {BuiltinType::NodeId, false, ua::NodeId::string_id(2, condition)};
    } else if (name == "ConditionName") {
      v = {BuiltinType::String, false, condition};
    } else if (name == "BranchId") {
      v = {BuiltinType::NodeId, false, ua::NodeId::numeric_id(0, 0)};
    } else if (name == "Quality") {
      v = {BuiltinType::StatusCode, false, static_cast<std::uint64_t>(0)};
    } else if (name == "Comment" || name == "ClientUserId") {
      v = {name == "Comment" ? BuiltinType::LocalizedText : BuiltinType::String, false,
           name == "Comment" ? ua::Variant::Scalar(ua::LocalizedText{"", ""})
                             : ua::Variant::Scalar(std::string())};
    } else {
      // Retain and the states' Ids.
      v = {BuiltinType::Boolean, false, name != "AckedState/Id" && name != "ConfirmedState/Id"};
    }
    fields.push_back(std::move(v));
  }
  return fields;
}

// A server whose answers are recorded ahead: the subscription services the engine calls, and
// the Read answers a polling source takes. Everything it is asked to create, it creates. The
// engine may run on the collector thread while the benchmark records and releases answers.
class RecordedServer : public ua::SubscriptionServices {
 public:
  // The Publish answers of one second in which every monitored item changed at `ticks`, kept
  // back until release_second() when `held`.
  void record_second(std::int64_t ticks, bool held = false) {
    std::lock_guard lock(mutex_);
    std::deque<std::vector<std::uint8_t>>& into = held ? held_ : publishes_;
    for (auto& [id, sub] : subscriptions_) {
      for (std::size_t pos = 0; pos < sub.handles.size(); pos += kChangesPerMessage) {
        const std::size_t end = std::min(pos + kChangesPerMessage, sub.handles.size());
        ua::BinaryWriter body;
        body.i32(static_cast<std::int32_t>(end - pos));
        for (std::size_t k = pos; k < end; ++k) {
          body.u32(sub.handles[k]);
          ua::encode_data_value(body, changed_value(sub.handles[k], ticks));
        }
        body.i32(-1);  // no diagnostic infos
        ua::BinaryWriter w;
        write_response_start(w, ua::type_id::PublishResponse);
        w.u32(id);
        w.i32(-1);  // available sequence numbers: not stated
        w.boolean(false);
        w.u32(++sub.sequence);
        w.i64(ticks);
        w.i32(1);
        ua::encode_node_id(w, ua::NodeId::numeric_id(0, ua::type_id::DataChangeNotification));
        w.u8(0x01);
        w.i32(static_cast<std::int32_t>(body.size()));
        w.bytes(body.data());
        w.i32(0);   // results of the acknowledgements
        w.i32(-1);  // diagnostic infos
        into.push_back(w.take());
      }
    }
    if (held) held_seconds_.push_back(released_ + into.size());
  }
  // The Publish answers of `count` events of one second at `ticks`, for the first event item.
  void record_events(std::int64_t ticks, std::size_t count) {
    std::lock_guard lock(mutex_);
    if (event_items_.empty()) return;
    const auto [subscription_id, handle] = event_items_.front();
    Subscription& sub = subscriptions_[subscription_id];
    const std::vector<std::string> names = ua::event_selection({}).names;
    for (std::size_t pos = 0; pos < count; pos += kEventsPerMessage) {
      const std::size_t end = std::min(pos + kEventsPerMessage, count);
      ua::BinaryWriter body;
      body.i32(static_cast<std::int32_t>(end - pos));
      for (std::size_t k = pos; k < end; ++k) {
        body.u32(handle);
        const std::vector<ua::Variant> fields = event_fields(names, ++events_, ticks);
        body.i32(static_cast<std::int32_t>(fields.size()));
        for (const ua::Variant& field : fields) ua::encode_variant(body, field);
      }
      ua::BinaryWriter w;
      write_response_start(w, ua::type_id::PublishResponse);
      w.u32(subscription_id);
      w.i32(-1);
      w.boolean(false);
      w.u32(++sub.sequence);
      w.i64(ticks);
      w.i32(1);
      ua::encode_node_id(w, ua::NodeId::numeric_id(0, ua::type_id::EventNotificationList));
      w.u8(0x01);
      w.i32(static_cast<std::int32_t>(body.size()));
      w.bytes(body.data());
      w.i32(0);
      w.i32(-1);
      publishes_.push_back(w.take());
    }
  }
  // Hands the next held second to the engine, as a server publishes it.
  void release_second() {
    std::lock_guard lock(mutex_);
    if (held_seconds_.empty()) return;
    const std::size_t count = held_seconds_.front() - released_;
    for (std::size_t k = 0; k < count; ++k) {
      publishes_.push_back(std::move(held_.front()));
      held_.pop_front();
    }
    released_ += count;
    held_seconds_.pop_front();
    arrived_.notify_all();
  }
  std::size_t items() const {
    std::lock_guard lock(mutex_);
    return last_item_;
  }

  // The Read answers of one polling cycle over every tag at `ticks`, in batches.
  void record_reads(std::int64_t ticks) {
    std::lock_guard lock(mutex_);
    for (std::size_t pos = 0; pos < kTags; pos += kReadBatch) {
      const std::size_t end = std::min(pos + kReadBatch, kTags);
      ua::BinaryWriter w;
      write_response_start(w, ua::type_id::ReadResponse);
      w.i32(static_cast<std::int32_t>(end - pos));
      for (std::size_t k = pos; k < end; ++k) ua::encode_data_value(w, changed_value(k, ticks));
      w.i32(-1);
      reads_.push_back(w.take());
    }
  }
  std::size_t acknowledged() const {
    std::lock_guard lock(mutex_);
    return acknowledged_;
  }

  ua::ServerLimits limits() const override { return {}; }
  std::optional<ua::NodeId> node_for(const pyqar::TagDescriptor& tag) override {
    return ua::node_id_for_tag(tag.namespace_index, tag.tag_name);
  }
  std::optional<std::int64_t> server_start_time() override { return 1; }
  std::vector<ua::DataValue> read(std::span<const ua::NodeId> nodes) override {
    std::unique_lock lock(mutex_);
    if (reads_.empty()) return std::vector<ua::DataValue>(nodes.size());
    const std::vector<std::uint8_t> bytes = std::move(reads_.front());
    reads_.pop_front();
    lock.unlock();
    return std::get<ua::ReadResponse>(ua::decode_response(bytes)).results;
  }
  ua::CreateSubscriptionResponse create_subscription(const ua::SubscriptionParameters& p) override {
    std::lock_guard lock(mutex_);
    ua::CreateSubscriptionResponse res;
    res.subscription_id = ++last_subscription_;
    res.revised_publishing_interval_ms = p.publishing_interval_ms;
    res.revised_lifetime_count = p.lifetime_count;
    res.revised_max_keep_alive_count = p.max_keep_alive_count;
    subscriptions_[res.subscription_id];
    return res;
  }
  ua::CreateMonitoredItemsResponse create_monitored_items(
      std::uint32_t subscription_id, std::span<const ua::MonitoredItemToCreate> items) override {
    std::lock_guard lock(mutex_);
    ua::CreateMonitoredItemsResponse res;
    Subscription& sub = subscriptions_[subscription_id];
    for (const ua::MonitoredItemToCreate& item : items) {
      if (item.attribute_id == kEventNotifierAttribute) {
        event_items_.emplace_back(subscription_id, item.client_handle);
      } else {
        sub.handles.push_back(item.client_handle);
      }
      res.results.push_back({.status = 0,
                             .monitored_item_id = ++last_item_,
                             .revised_sampling_interval_ms = item.sampling_interval_ms,
                             .revised_queue_size = item.queue_size});
    }
    return res;
  }
  ua::DeleteSubscriptionsResponse delete_subscriptions(
      std::span<const std::uint32_t> ids) override {
    std::lock_guard lock(mutex_);
    for (const std::uint32_t id : ids) subscriptions_.erase(id);
    return {.header = {}, .results = std::vector<std::uint32_t>(ids.size(), 0)};
  }
  ua::DeleteMonitoredItemsResponse delete_monitored_items(
      std::uint32_t, std::span<const std::uint32_t> item_ids) override {
    return {.header = {}, .results = std::vector<std::uint32_t>(item_ids.size(), 0)};
  }
  ua::RepublishResponse republish(std::uint32_t, std::uint32_t) override {
    throw ua::ServiceError(ua::status::BadMessageNotAvailable, "Republish: not recorded");
  }
  ua::TransferSubscriptionsResponse transfer_subscriptions(
      std::span<const std::uint32_t>) override {
    throw ua::ServiceError(ua::status::BadServiceUnsupported, "TransferSubscriptions");
  }
  void send_publish(std::span<const ua::SubscriptionAcknowledgement> acks) override {
    std::lock_guard lock(mutex_);
    ++outstanding_;
    acknowledged_ += acks.size();
  }
  std::size_t publishes_outstanding() const override {
    std::lock_guard lock(mutex_);
    return outstanding_;
  }
  // What is released is there at once; else waits for a second to be released, at most until
  // `deadline`.
  std::optional<ua::PublishResponse> receive_publish(
      std::chrono::steady_clock::time_point deadline) override {
    std::unique_lock lock(mutex_);
    arrived_.wait_until(lock, deadline, [this] { return !publishes_.empty(); });
    if (publishes_.empty() || outstanding_ == 0) return std::nullopt;
    const std::vector<std::uint8_t> bytes = std::move(publishes_.front());
    publishes_.pop_front();
    --outstanding_;
    lock.unlock();
    return std::get<ua::PublishResponse>(ua::decode_response(bytes));
  }
  std::uint32_t condition_refresh(std::uint32_t) override { return 0; }
  ua::Reconnected reconnect() override { return ua::Reconnected::same_session; }
  bool transfer_allowed() const override { return false; }
  void close() noexcept override {}

 private:
  struct Subscription {
    std::vector<std::uint32_t> handles;
    std::uint32_t sequence = 0;
  };
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::uint32_t, Subscription> subscriptions_;
  std::uint32_t last_subscription_ = 0;
  std::uint32_t last_item_ = 0;
  std::size_t outstanding_ = 0;
  std::size_t acknowledged_ = 0;
  std::deque<std::vector<std::uint8_t>> publishes_;
  std::deque<std::vector<std::uint8_t>> reads_;
  // Recorded seconds not yet released: the messages, and the count of messages ever held up to
  // the end of each second.
  std::deque<std::vector<std::uint8_t>> held_;
  std::deque<std::size_t> held_seconds_;
  std::size_t released_ = 0;
  // Event items: (subscription, client handle).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> event_items_;
  std::uint64_t events_ = 0;
  static constexpr std::uint32_t kEventNotifierAttribute = 12;
};

// The OPC UA source over the recorded server: reads as the real source converts them, and the
// real subscription engine.
class RecordedSource : public pyqar::RtSource {
 public:
  explicit RecordedSource(RecordedServer& server)
      : server_(server), engine_(server, ua::SubscriptionEngine::Options{}) {}

  bool valid() const override { return true; }
  std::vector<pyqar::ValueObject> read(const std::vector<pyqar::TagDescriptor>& batch) override {
    const pyqar::Timestamp now = std::chrono::system_clock::now();
    std::vector<ua::NodeId> nodes;
    nodes.reserve(batch.size());
    for (const pyqar::TagDescriptor& tag : batch) nodes.push_back(*server_.node_for(tag));
    const std::vector<ua::DataValue> values = server_.read(nodes);
    std::vector<pyqar::ValueObject> out(batch.size());
    for (std::size_t k = 0; k < values.size() && k < out.size(); ++k)
      out[k] = ua::to_value_object(values[k], now, server_.namespace_array());
    return out;
  }
  bool can_subscribe() const override { return true; }
  void subscribe(std::vector<pyqar::MonitoredTag> tags,
                 const pyqar::SubscriptionSettings& settings) override {
    engine_.subscribe(std::move(tags), settings);
  }
  pyqar::SubscriptionUpdate poll(std::chrono::milliseconds wait) override {
    return engine_.poll(wait);
  }
  void acknowledge(std::uint64_t ack_token) override { engine_.acknowledge(ack_token); }
  void resume() override { engine_.resume(); }
  pyqar::SubscriptionStatus subscription_status() const override { return engine_.status(); }
  void unsubscribe() noexcept override { engine_.unsubscribe(); }

 private:
  RecordedServer& server_;
  ua::SubscriptionEngine engine_;
};

// A scratch database with the tags registered, and a collector storing into it from the
// recorded server.
class Rig {
 public:
  Rig(benchmark::State& state, pyqar::Acquisition mode, std::size_t tags = kTags,
      bool events = false) {
    const auto server = kestrane_test::postgres_server_settings();
    if (!server) {
      state.SkipWithError("KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL");
      return;
    }
    database_.emplace(*server, "bench_subscribe_store");
    std::vector<tidewell::TagRegistration> listing;
    for (std::size_t n = 0; n < tags; ++n) {
      tags_.push_back(tag_name(n));
      listing.push_back({.tag_name = tags_.back(), .description = {}});
    }
    auto conn = tidewell::get_conn(database_->settings());
    tidewell::SourceInfo source;
    source.source_name = "bench";
    source.endpoint = "opc.tcp://recorded:4840";
    if (!conn || !tidewell::insert_new_source(*conn, source).ok) {
      state.SkipWithError("the scratch database cannot be prepared");
      return;
    }
    auto ids = tidewell::register_tags(*conn, source.source_id.value_or(-1), listing).tag_ids;
    collector_.emplace(quellin::OPCCollector::Options{
        .opc_schema = "opc.tcp://recorded:4840",
        .get_tags_func = [this] { return tags_; },
        .data_deque = &queue_,
        .deque_lock = &lock_,
        .tsdb_cfg = database_->settings(),
        .batch_size = kReadBatch,
        .tag_ids = std::move(ids),
        .acquisition = {.mode = mode,
                        .events = {.notifiers = events ? std::vector<std::string>{"i=2253"}
                                                       : std::vector<std::string>{}}},
        .source_factory =
            [this](const pyqar::CreateSourceArgs&) -> std::unique_ptr<pyqar::RtSource> {
          return std::make_unique<RecordedSource>(recorded_);
        }});
  }

  bool ready() const { return collector_.has_value(); }
  RecordedServer& server() { return recorded_; }
  quellin::OPCCollector& collector() { return *collector_; }
  // One step; the values the owner got from it.
  std::size_t step() {
    collector_->collection_step();
    return take();
  }
  // The values the owner got since the last call.
  std::size_t take() {
    std::lock_guard g(lock_);
    std::size_t values = 0;
    for (const quellin::ResultList& list : queue_.take_all()) values += list.size();
    return values;
  }
  // Takes what the owner gets until `values` have come or `limit` passed; how many came.
  std::size_t take_until(std::size_t values, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t got = 0;
    while (got < values && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      got += take();
    }
    return got;
  }
  // Waits until the database holds `rows` rows, or `limit` passed.
  void wait_for_rows(std::int64_t rows, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (stored_rows() < rows && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::int64_t stored_events() {
    return std::stoll(
        kestrane_test::query_postgres(database_->settings(), "SELECT count(*) FROM events").at(0));
  }
  std::int64_t stored_rows() {
    return std::stoll(
        kestrane_test::query_postgres(database_->settings(), "SELECT count(*) FROM tsdata").at(0));
  }

 private:
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  std::vector<std::string> tags_;
  RecordedServer recorded_;
  quellin::ResultQueue queue_{300};
  std::mutex lock_;
  std::optional<quellin::OPCCollector> collector_;
};

std::int64_t ticks_of_second(int second) {
  return ua::to_date_time(std::chrono::system_clock::now()) + second * kTicksPerSecond;
}

void report(benchmark::State& state, double cpu, std::size_t values, std::int64_t stored) {
  state.counters["values"] = static_cast<double>(values);
  state.counters["rows_in_database"] = static_cast<double>(stored);
  state.counters["cpu_us_per_stored_value"] =
      values > 0 ? cpu * 1e6 / static_cast<double>(values) : 0;
}

void BM_Subscribe(benchmark::State& state) {
  Rig rig(state, pyqar::Acquisition::subscribe);
  if (!rig.ready()) return;
  rig.step();  // subscribes
  for (int second = 0; second < 2; ++second) {
    rig.server().record_second(ticks_of_second(second));
    rig.step();
  }
  for (auto _ : state) {
    double cpu = 0;
    std::size_t values = 0;
    for (int second = 2; second < 2 + kSeconds; ++second) {
      rig.server().record_second(ticks_of_second(second));
      const double cpu0 = process_cpu_seconds();
      values += rig.step();
      cpu += process_cpu_seconds() - cpu0;
    }
    report(state, cpu, values, rig.stored_rows());
    state.counters["acknowledgements"] = static_cast<double>(rig.server().acknowledged());
  }
}
BENCHMARK(BM_Subscribe)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_Poll(benchmark::State& state) {
  Rig rig(state, pyqar::Acquisition::read);
  if (!rig.ready()) return;
  for (int second = 0; second < 2; ++second) {
    rig.server().record_reads(ticks_of_second(second));
    rig.step();
  }
  for (auto _ : state) {
    double cpu = 0;
    std::size_t values = 0;
    for (int second = 2; second < 2 + kSeconds; ++second) {
      rig.server().record_reads(ticks_of_second(second));
      const double cpu0 = process_cpu_seconds();
      values += rig.step();
      cpu += process_cpu_seconds() - cpu0;
    }
    report(state, cpu, values, rig.stored_rows());
  }
}
BENCHMARK(BM_Poll)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// 10,000 events a second beside 10 tags' values, in single steps as BM_Subscribe.
void BM_Events(benchmark::State& state) {
  constexpr std::size_t kEventsPerSecond = 10'000;
  Rig rig(state, pyqar::Acquisition::subscribe, 10, true);
  if (!rig.ready()) return;
  rig.step();  // subscribes
  for (int second = 0; second < 2; ++second) {
    rig.server().record_events(ticks_of_second(second), kEventsPerSecond);
    rig.step();
  }
  for (auto _ : state) {
    const std::int64_t before = rig.stored_events();
    double cpu = 0;
    for (int second = 2; second < 2 + kSeconds; ++second) {
      rig.server().record_events(ticks_of_second(second), kEventsPerSecond);
      const double cpu0 = process_cpu_seconds();
      rig.step();
      cpu += process_cpu_seconds() - cpu0;
    }
    const std::int64_t stored = rig.stored_events() - before;
    state.counters["events_stored"] = static_cast<double>(stored);
    state.counters["cpu_us_per_event"] = stored > 0 ? cpu * 1e6 / static_cast<double>(stored) : 0;
  }
}
BENCHMARK(BM_Events)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// BM_Subscribe with 1,000 events a second beside the 100,000 values.
void BM_SubscribeWithEvents(benchmark::State& state) {
  Rig rig(state, pyqar::Acquisition::subscribe, kTags, true);
  if (!rig.ready()) return;
  rig.step();
  for (int second = 0; second < 2; ++second) {
    rig.server().record_second(ticks_of_second(second));
    rig.server().record_events(ticks_of_second(second), 1'000);
    rig.step();
  }
  for (auto _ : state) {
    double cpu = 0;
    std::size_t values = 0;
    for (int second = 2; second < 2 + kSeconds; ++second) {
      rig.server().record_second(ticks_of_second(second));
      rig.server().record_events(ticks_of_second(second), 1'000);
      const double cpu0 = process_cpu_seconds();
      values += rig.step();
      cpu += process_cpu_seconds() - cpu0;
    }
    report(state, cpu, values, rig.stored_rows());
    state.counters["events_stored"] = static_cast<double>(rig.stored_events());
  }
}
BENCHMARK(BM_SubscribeWithEvents)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The collector on its own thread and the writer on another, as the console runs them: the
// recorded seconds released one a second (subscribing), or read once a second (polling). The
// CPU counted runs from the first second's rows in the database until the last second's are.
void threaded(benchmark::State& state, pyqar::Acquisition mode) {
  const bool subscribing = mode == pyqar::Acquisition::subscribe;
  Rig rig(state, mode);
  if (!rig.ready()) return;
  if (!subscribing) {
    for (int second = 0; second < 1 + kSeconds; ++second)
      rig.server().record_reads(ticks_of_second(second));
  }
  rig.collector().start();
  if (subscribing) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (rig.server().items() < kTags && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int second = 0; second < 1 + kSeconds; ++second)
      rig.server().record_second(ticks_of_second(second), true);
    rig.server().release_second();
  }
  for (auto _ : state) {
    if (rig.take_until(kTags, std::chrono::seconds(60)) < kTags) {
      state.SkipWithError("the first second did not arrive");
      return;
    }
    rig.wait_for_rows(static_cast<std::int64_t>(kTags), std::chrono::seconds(60));
    const double cpu0 = process_cpu_seconds();
    std::size_t values = 0;
    for (int second = 0; second < kSeconds; ++second) {
      if (subscribing) rig.server().release_second();
      values += rig.take_until(kTags, std::chrono::seconds(30));
    }
    rig.wait_for_rows(static_cast<std::int64_t>(kTags) * (1 + kSeconds), std::chrono::seconds(60));
    const double cpu = process_cpu_seconds() - cpu0;
    report(state, cpu, values, rig.stored_rows());
  }
  rig.collector().stop();
  rig.collector().join();
}
void BM_SubscribeThreaded(benchmark::State& state) {
  threaded(state, pyqar::Acquisition::subscribe);
}
BENCHMARK(BM_SubscribeThreaded)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
void BM_PollThreaded(benchmark::State& state) { threaded(state, pyqar::Acquisition::read); }
BENCHMARK(BM_PollThreaded)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
