// The subscription engine against a scripted server: how it splits item creation, keeps
// Publish requests going, orders and de-duplicates notifications, fills gaps, acknowledges
// only what is kept, and heals dead, ended and lost subscriptions. The clocks are injected.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_subscription_services.h"
#include "log_capture.h"
#include "ua/binary_writer.h"
#include "ua/call_timeout.h"
#include "ua/notification_sequence.h"
#include "ua/status_code.h"
#include "ua/subscription_engine.h"

namespace {

using namespace pyqar::ua;
using pyqar::DeadbandType;
using pyqar::MonitoredTag;
using pyqar::MonitorSettings;
using pyqar::SubscriptionUpdate;
using pyqar::ua::testing::FakeSubscriptionServices;
using namespace std::chrono_literals;

// A source time (2022) that the values of a test count on from.
constexpr std::int64_t kT = 133'000'000'000'000'000;
constexpr std::uint32_t kOverflowBits = 0x0480;

std::vector<MonitoredTag> tags(std::size_t n, MonitorSettings settings = {}) {
  std::vector<MonitoredTag> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i].tag.namespace_index = 2;
    out[i].tag.tag_name = "T" + std::to_string(i);
    out[i].settings = settings;
  }
  return out;
}

// (tag index, value) of every change, in order.
std::vector<std::pair<std::size_t, double>> values(const SubscriptionUpdate& u) {
  std::vector<std::pair<std::size_t, double>> out;
  for (const auto& c : u.changes) out.emplace_back(c.tag_index, std::get<double>(c.value.value));
  return out;
}

using Values = std::vector<std::pair<std::size_t, double>>;

// (tag index, value) of the changes after which history is to be read.
Values after_gap(const SubscriptionUpdate& u) {
  Values out;
  for (const auto& c : u.changes) {
    if (c.after_gap) out.emplace_back(c.tag_index, std::get<double>(c.value.value));
  }
  return out;
}

class SubscriptionEngineTest : public ::testing::Test {
 protected:
  std::chrono::steady_clock::time_point now{};
  FakeSubscriptionServices server;
  SubscriptionEngine engine{
      server,
      {.clock = [this] { return now; },
       .wall_clock = [] { return pyqar::Timestamp(std::chrono::seconds(1'700'000'000)); }}};

  // A list the engine holds already, subscribed again, changes nothing: a new publishing
  // interval makes every item anew.
  double publishing_ms = 1000.0;
  void subscribe(std::size_t n, MonitorSettings settings = {}) {
    engine.subscribe(tags(n, settings), {.publishing_interval_ms = publishing_ms});
  }
  SubscriptionUpdate poll() { return engine.poll(0ms); }
  std::vector<std::size_t> call_sizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& call : server.item_calls) sizes.push_back(call.items.size());
    return sizes;
  }
};

// ---- Creation within the server's limits ----

TEST_F(SubscriptionEngineTest, CallsCarryAtMostAThousandItemsOrTheServersLimit) {
  subscribe(2500);
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{1000, 1000, 500}));
  EXPECT_EQ(server.created.size(), 1u);
  EXPECT_EQ(engine.status().items_ok, 2500u);

  FakeSubscriptionServices limited;
  limited.server_limits.max_monitored_items_per_call = 100;
  SubscriptionEngine other(limited, {.clock = [this] { return now; }});
  other.subscribe(tags(250), {});
  ASSERT_EQ(limited.item_calls.size(), 3u);
  EXPECT_EQ(limited.item_calls[2].items.size(), 50u);
}

TEST_F(SubscriptionEngineTest, CallsFitTheLargestRequest) {
  server.server_limits.max_request_bytes = 8192;
  auto list = tags(300);
  for (auto& t : list) t.tag.tag_name += std::string(200, 'x');
  engine.subscribe(list, {});
  EXPECT_GT(server.item_calls.size(), 5u);
  for (const auto& call : server.item_calls) {
    std::size_t bytes = 0;
    for (const auto& item : call.items) bytes += ItemBatchPlanner::encoded_size(item);
    EXPECT_LE(bytes, 8192u);
  }
  EXPECT_EQ(engine.status().items_ok, 300u);
}

TEST_F(SubscriptionEngineTest, RefusedCallsAreHalvedAndTheSmallerSizeKept) {
  server.reject_calls_over = 300;  // without saying so in its limits
  subscribe(1000);
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{1000, 500, 250, 250, 250, 250}));
  EXPECT_EQ(engine.status().items_ok, 1000u);

  // An item refused on its own is refused; its call was not too large.
  server.item_calls.clear();
  server.reject_calls_over = 0;
  server.item_status["T0"] = status::BadTooManyOperations;
  engine.subscribe(tags(1), {.publishing_interval_ms = 500.0});  // made anew
  EXPECT_EQ(engine.status().items_failed, 1u);
}

TEST_F(SubscriptionEngineTest, ItemsAreSpreadOverSubscriptionsWhenOneIsFull) {
  server.server_limits.max_monitored_items_per_subscription = 400;
  subscribe(1000);
  EXPECT_EQ(server.created.size(), 3u);
  EXPECT_EQ(server.items_in[1], 400u);
  EXPECT_EQ(server.items_in[3], 200u);

  // A server that only says so by refusing items: the refused ones move on.
  FakeSubscriptionServices silent;
  silent.items_per_subscription = 300;
  SubscriptionEngine other(silent, {.clock = [this] { return now; }});
  other.subscribe(tags(1000), {});
  EXPECT_EQ(other.status().items_ok, 1000u);
  EXPECT_EQ(other.status().subscriptions, 4u);
  for (const auto& [id, count] : silent.items_in) EXPECT_LE(count, 300u);
}

TEST_F(SubscriptionEngineTest, RefusedItemsHoldUpNoOtherAndAreTriedOnceAMinute) {
  server.item_status["T1"] = status::BadNodeIdUnknown;
  server.unknown_namespace.insert("T2");
  auto list = tags(4);
  list[3].tag.tag_name = "!unparseable";
  engine.subscribe(list, {});
  EXPECT_EQ(engine.status().items_ok, 1u);
  EXPECT_EQ(engine.status().items_failed, 3u);

  // Keep-alives keep the watchdog quiet over the minutes this test spans.
  const auto heard = [&] { server.queue(FakeSubscriptionServices::keep_alive(1, 1)); };
  const std::size_t calls = server.item_calls.size();
  now += 59s;
  heard();
  poll();
  EXPECT_EQ(server.item_calls.size(), calls);

  server.item_status.clear();
  server.unknown_namespace.clear();
  now += 2s;
  heard();
  poll();
  ASSERT_EQ(server.item_calls.size(), calls + 1);
  const auto& retry = server.item_calls.back().items;
  ASSERT_EQ(retry.size(), 2u);  // the unparseable name is never sent
  EXPECT_EQ(retry[0].client_handle, 1u);
  EXPECT_EQ(retry[1].client_handle, 2u);
  EXPECT_EQ(engine.status().items_ok, 3u);
  EXPECT_EQ(server.created.size(), 1u);  // into the subscription that has room

  now += 61s;
  heard();
  poll();
  EXPECT_EQ(server.item_calls.size(), calls + 1);  // nothing left to retry but the bad name
}

TEST_F(SubscriptionEngineTest, ItemsAskForTheirSamplingQueueAndDeadband) {
  std::vector<MonitoredTag> list = tags(5);
  list[0].settings = {.sampling_interval_ms = 250.0};
  list[1].settings = {};  // as often as it publishes
  list[2].settings = {.sampling_interval_ms = 0.0};
  list[3].settings = {.sampling_interval_ms = 100.0, .queue_size = 7};
  list[4].settings = {.deadband_type = DeadbandType::percent, .deadband = 2.5};
  engine.subscribe(list, {.publishing_interval_ms = 1000.0});
  const auto& items = server.item_calls.at(0).items;
  EXPECT_EQ(items[0].queue_size, 5u);  // ceil(1000 / 250) + 1
  EXPECT_EQ(items[0].sampling_interval_ms, 250.0);
  EXPECT_EQ(items[1].queue_size, 2u);
  EXPECT_EQ(items[1].sampling_interval_ms, -1.0);
  EXPECT_EQ(items[2].queue_size, 101u);
  EXPECT_EQ(items[3].queue_size, 7u);
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(items[i].client_handle, i);
    EXPECT_FALSE(items[i].filter);
  }
  ASSERT_TRUE(items[4].filter);
  EXPECT_EQ(items[4].filter->deadband_type, kDeadbandPercent);
  EXPECT_EQ(items[4].filter->deadband_value, 2.5);
  const SubscriptionParameters& p = server.subscription_parameters.at(0);
  EXPECT_GE(p.lifetime_count, 3 * p.max_keep_alive_count);
}

TEST_F(SubscriptionEngineTest, ARefusedFilterIsDroppedForThatTagOnly) {
  server.refuse_filters = true;
  subscribe(3, {.deadband_type = DeadbandType::absolute, .deadband = 0.5});
  ASSERT_EQ(server.item_calls.size(), 2u);
  EXPECT_EQ(server.item_calls[1].items.size(), 3u);
  for (const auto& item : server.item_calls[1].items) EXPECT_FALSE(item.filter);
  EXPECT_EQ(engine.status().items_ok, 3u);
}

// ---- What the server granted and what it holds ----

TEST_F(SubscriptionEngineTest, QueuesFollowTheGrantedIntervalAndShortfallsAreReportedOnce) {
  kestrane_test::LogCapture log("pyqar");
  const auto warnings = [&](std::string_view prefix) {
    int n = 0;
    for (const auto& r : log.records()) n += r.level == "warning" && r.message.starts_with(prefix);
    return n;
  };
  server.granted_publishing_ms = 2000.0;  // asked: 1000
  server.server_limits.max_monitored_items_per_call = 2;
  subscribe(3, {.sampling_interval_ms = 100.0});
  EXPECT_EQ(server.item_calls.at(0).items[0].queue_size, 21u);  // ceil(2000 / 100) + 1
  EXPECT_EQ(engine.status().items_queue_below_need, 0u);
  EXPECT_EQ(warnings("OPC UA subscription 1"), 0) << log.dump();

  // A queue of 1: one warning for the subscription, over both calls, and the gauge.
  server.granted_queue_size = 1;
  publishing_ms = 1001.0;
  subscribe(3, {.sampling_interval_ms = 100.0});
  EXPECT_EQ(engine.status().items_queue_below_need, 3u);
  EXPECT_TRUE(log.has("warning",
                      "OPC UA subscription 2: the server gave 3 tags a queue smaller than one "
                      "publishing interval of 2000 ms needs (e.g. 1 where 21 were asked for): "
                      "changes of those tags between two publishes beyond their queue are lost, "
                      "flagged as overflows"))
      << log.dump();
  EXPECT_EQ(warnings("OPC UA subscription 2"), 1);

  // Slower sampling: the need is counted at the granted rate, and warned of once.
  server.granted_queue_size = 5;
  server.granted_sampling_ms = 500.0;
  publishing_ms = 1002.0;
  subscribe(3, {.sampling_interval_ms = 100.0});
  EXPECT_EQ(engine.status().items_queue_below_need, 0u);  // ceil(2000 / 500) + 1
  EXPECT_TRUE(log.has("warning",
                      "OPC UA subscription 3: the server samples 3 tags slower than asked (e.g. "
                      "every 500 ms where 100 ms was asked for): changes shorter than that may "
                      "not be seen"))
      << log.dump();
  EXPECT_EQ(warnings("OPC UA subscription 3"), 1);
}

TEST_F(SubscriptionEngineTest, AFullServerIsAskedAgainLaterWithoutShrinkingAnything) {
  kestrane_test::LogCapture log("pyqar");
  const auto heard = [&] { server.queue(FakeSubscriptionServices::keep_alive(1, 1)); };
  server.capacity = 1500;
  server.full_as_service_result = true;
  subscribe(2500);
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{1000, 1000}));  // not halved
  EXPECT_EQ(engine.status().items_ok, 1000u);
  EXPECT_EQ(engine.status().items_failed, 1500u);
  EXPECT_TRUE(log.has("warning",
                      "OPC UA server holds no more monitored items (BadTooManyMonitoredItems): "
                      "1500 tags left unmonitored for now, trying again every minute"))
      << log.dump();
  heard();
  EXPECT_EQ(poll().server_full, 1u);

  server.capacity = 0;  // room again
  now += 61s;
  heard();
  poll();
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{1000, 1000, 1000, 500}));
  EXPECT_EQ(engine.status().items_ok, 2500u);
  EXPECT_EQ(engine.status().subscriptions, 1u);

  // Refused item by item: the subscription the server filled first is no size to keep.
  FakeSubscriptionServices other_server;
  other_server.capacity = 1500;
  SubscriptionEngine other(other_server, {.clock = [this] { return now; }});
  other.subscribe(tags(2500), {});
  EXPECT_EQ(other.status().items_ok, 1500u);
  EXPECT_EQ(other.status().subscriptions, 1u);  // the empty second one is deleted
  other_server.capacity = 0;
  other.subscribe(tags(2500), {.publishing_interval_ms = 1001.0});
  EXPECT_EQ(other.status().items_ok, 2500u);
  EXPECT_EQ(other.status().subscriptions, 1u);
}

TEST_F(SubscriptionEngineTest, ANewSessionStartsFromTheStatedLimitsButATimeoutIsRemembered) {
  server.reject_calls_over = 300;
  subscribe(1000);
  server.reject_calls_over = 0;
  server.item_calls.clear();
  server.reconnect_result = Reconnected::new_session;
  server.allow_transfer = false;
  engine.resume();
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{1000}));

  // A call the server did not answer in time is halved until one is answered.
  server.time_out_calls_over = 300;
  server.reconnect_result = Reconnected::same_session;
  server.item_calls.clear();
  publishing_ms = 1001.0;
  EXPECT_THROW(subscribe(1000), CallTimedOut);
  EXPECT_THROW(engine.resume(), CallTimedOut);  // its subscription replaced, in calls of 500
  engine.resume();
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{1000, 500, 250, 250, 250, 250}));
  EXPECT_EQ(engine.status().items_ok, 1000u);
  server.reconnect_result = Reconnected::new_session;
  server.item_calls.clear();
  engine.resume();
  EXPECT_EQ(call_sizes(), (std::vector<std::size_t>{250, 250, 250, 250}));
}

TEST_F(SubscriptionEngineTest, NotificationsPerPublishFitTheLargestAnswer) {
  subscribe(1);
  const std::uint32_t unlimited =
      server.subscription_parameters.at(0).max_notifications_per_publish;
  EXPECT_GT(unlimited, 0u);
  FakeSubscriptionServices small;
  small.server_limits.max_response_bytes = 1 << 20;
  SubscriptionEngine other(small, {.clock = [this] { return now; }});
  other.subscribe(tags(1), {});
  const std::uint32_t capped = small.subscription_parameters.at(0).max_notifications_per_publish;
  EXPECT_GT(capped, 1000u);
  EXPECT_LT(capped, unlimited);
  // Even values of a hundred bytes each fit.
  EXPECT_LT(capped * 100u, 1u << 20);
}

// ---- Publishing, order and de-duplication ----

TEST_F(SubscriptionEngineTest, KeepsSeveralPublishesOutstandingAndBacksOff) {
  server.server_limits.max_monitored_items_per_subscription = 2;
  subscribe(6);  // three subscriptions
  poll();
  EXPECT_EQ(server.outstanding, 4u);

  FakeSubscriptionServices strict;
  strict.publish_limit = 1;
  SubscriptionEngine other(strict, {.clock = [this] { return now; }});
  other.subscribe(tags(1), {});
  other.poll(0ms);  // the second request is refused
  EXPECT_EQ(strict.outstanding, 1u);
  other.poll(0ms);
  EXPECT_EQ(strict.publishes.size(), 2u);  // no more are sent while one is outstanding
}

TEST_F(SubscriptionEngineTest, PublishRefusedForNowIsNotAskedAgainUntilThePollEnds) {
  subscribe(1);
  server.queue_fault(status::BadNoSubscription);
  server.queue_fault(status::BadNoSubscription);
  poll();
  // Two sent, both refused, none sent while the poll lasted; the pipeline is filled again for
  // the next one.
  EXPECT_EQ(server.publishes.size(), 4u);
  EXPECT_EQ(server.outstanding, 2u);
  EXPECT_EQ(engine.status().subscriptions, 1u);  // the watchdog decides, not one answer
}

TEST_F(SubscriptionEngineTest, AnswersOutOfOrderAreDeliveredInSequenceOrder) {
  subscribe(2);
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 10)));
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1, {{0, 1.0}, {1, 1.5}}, kT)));
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(3, {{1, 3.0}}, kT + 20)));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 1.0}, {1, 1.5}, {0, 2.0}, {1, 3.0}}));
  EXPECT_EQ(u.notifications, 3u);
  EXPECT_EQ(u.publish_gaps, 0u);
  EXPECT_TRUE(server.republished.empty());
}

TEST_F(SubscriptionEngineTest, AGapIsFilledByRepublish) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(3, {{0, 3.0}}, kT + 2)));
  server.retained[{1, 2}] = FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 1);
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 1.0}, {0, 2.0}, {0, 3.0}}));
  EXPECT_EQ(u.publish_gaps, 1u);
  EXPECT_EQ(u.lost_not_available, 0u);
  EXPECT_EQ(server.republished, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 2}}));
  EXPECT_TRUE(server.reads.empty());

  // A keep-alive announcing a later number shows a gap too.
  server.retained[{1, 4}] = FakeSubscriptionServices::message(4, {{0, 4.0}}, kT + 3);
  server.queue(FakeSubscriptionServices::keep_alive(1, 5));
  EXPECT_EQ(values(poll()), (Values{{0, 4.0}}));
}

TEST_F(SubscriptionEngineTest, WhatTheServerNoLongerHasIsCountedLostAndReadOnce) {
  subscribe(2);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  PublishResponse later =
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(5, {{0, 5.0}}, kT + 5));
  later.available_sequence_numbers = {4, 5};  // 2 and 3 are gone already
  server.queue(later);
  server.retained[{1, 4}] = FakeSubscriptionServices::message(4, {{1, 4.0}}, kT + 4);
  server.read_values["T0"] = 5.0;
  server.read_values["T1"] = 7.0;
  server.read_source_time = kT + 5;
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.publish_gaps, 3u);
  EXPECT_EQ(u.lost_not_available, 2u);
  EXPECT_EQ(server.republished, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 4}}));
  ASSERT_EQ(server.reads.size(), 1u);
  EXPECT_EQ(server.reads[0].size(), 2u);
  // T0's read value repeats what it delivered; T1's does not.
  EXPECT_EQ(values(u), (Values{{0, 1.0}, {1, 4.0}, {0, 5.0}, {1, 7.0}}));
}

TEST_F(SubscriptionEngineTest, AHugeGapIsAskedForOnlyInPart) {
  subscribe(1);
  // The Read after the loss finds the value already delivered.
  server.read_values["T0"] = 2.0;
  server.read_source_time = kT;
  // A server that jumps far ahead (a billion numbers) must not hold the engine for long.
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1'000'000'001, {{0, 2.0}}, kT)));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.publish_gaps, 1'000'000'000u);
  EXPECT_EQ(u.lost_not_available, 1'000'000'000u);
  EXPECT_EQ(server.republished.size(), 1000u);
  EXPECT_EQ(values(u), (Values{{0, 2.0}}));
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1'000'000'002, {{0, 3.0}}, kT + 1)));
  EXPECT_EQ(values(poll()), (Values{{0, 3.0}}));
}

TEST_F(SubscriptionEngineTest, SequenceNumbersRollOverToOneNeverZero) {
  EXPECT_EQ(NotificationSequence::after(0xFFFFFFFFu), 1u);
  EXPECT_EQ(NotificationSequence::advance(0xFFFFFFFEu, 3), 2u);
  NotificationSequence seq(0xFFFFFFFEu);
  NotificationMessage m;
  m.sequence_number = 1;
  EXPECT_TRUE(seq.accept(m).empty());  // early: held
  EXPECT_EQ(seq.gap().count, 2u);      // 0xFFFFFFFE and 0xFFFFFFFF, never 0
  m.sequence_number = 0xFFFFFFFEu;
  EXPECT_EQ(seq.accept(m).size(), 1u);
  m.sequence_number = 0xFFFFFFFFu;
  EXPECT_EQ(seq.accept(m).size(), 2u);  // it and the held 1
  EXPECT_EQ(seq.next(), 2u);
  m.sequence_number = 0xFFFFFFFFu;
  EXPECT_TRUE(seq.accept(m).empty());  // seen before
  m.sequence_number = 0;
  EXPECT_TRUE(seq.accept(m).empty());
  seq.keep_alive(1);  // an old keep-alive shows no gap
  EXPECT_EQ(seq.gap().count, 0u);
  seq.keep_alive(4);
  EXPECT_EQ(seq.gap().first, 2u);
  EXPECT_EQ(seq.gap().count, 2u);
  EXPECT_TRUE(seq.skip().empty());
  EXPECT_EQ(seq.gap().count, 1u);
}

TEST_F(SubscriptionEngineTest, EveryValueOfAMessageComesOnceWhateverItsTime) {
  subscribe(2);
  const auto at = [](std::uint32_t seq, std::vector<std::pair<std::uint32_t, double>> v,
                     std::int64_t t) {
    NotificationMessage m = FakeSubscriptionServices::message(seq, std::move(v), t);
    for (auto& change : m.data_changes) change.value.source_timestamp = t;
    return FakeSubscriptionServices::answer(1, std::move(m));
  };
  // Five changes sharing one source time; the same message answered twice.
  server.queue(at(1, {{0, 1.0}, {0, 2.0}, {0, 3.0}, {0, 2.0}, {0, 5.0}}, kT));
  server.queue(at(1, {{0, 1.0}}, kT));
  // The source clock steps back an hour and comes forward again.
  constexpr std::int64_t kHour = 36'000'000'000;
  server.queue(at(2, {{0, 6.0}, {1, 1.0}}, kT + 10));
  server.queue(at(3, {{0, 7.0}, {1, 1.0}}, kT - kHour));
  server.queue(at(4, {{0, 8.0}}, kT - kHour + 10));
  server.queue(at(5, {{0, 9.0}}, kT + 20));
  SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 1.0},
                               {0, 2.0},
                               {0, 3.0},
                               {0, 2.0},
                               {0, 5.0},
                               {0, 6.0},
                               {1, 1.0},
                               {0, 7.0},
                               {1, 1.0},
                               {0, 8.0},
                               {0, 9.0}}));
  EXPECT_EQ(u.source_time_steps_back, 2u);

  // A message asked for again, then answered late to Publish: delivered once.
  server.queue(at(7, {{0, 11.0}}, kT + 40));
  server.retained[{1, 6}] = at(6, {{0, 10.0}}, kT + 30).message;
  EXPECT_EQ(values(poll()), (Values{{0, 10.0}, {0, 11.0}}));
  server.queue(at(6, {{0, 10.0}}, kT + 30));
  EXPECT_TRUE(poll().changes.empty());
  // The same after a resume, and after a transfer to a new session.
  server.retained[{1, 8}] = at(8, {{0, 12.0}}, kT + 50).message;
  engine.resume();
  server.queue(at(8, {{0, 12.0}}, kT + 50));
  EXPECT_EQ(values(poll()), (Values{{0, 12.0}}));
  server.retained[{1, 9}] = at(9, {{0, 13.0}}, kT + 60).message;
  server.reconnect_result = Reconnected::new_session;
  engine.resume();
  server.queue(at(9, {{0, 13.0}}, kT + 60));
  server.queue(at(8, {{0, 12.0}}, kT + 50));
  EXPECT_EQ(values(poll()), (Values{{0, 13.0}}));

  // A value the server gave no time (stamped on arrival, by a clock ahead of the server's)
  // does not hide the next one the server stamps.
  NotificationMessage unstamped = FakeSubscriptionServices::message(10, {{0, 4.0}}, kT);
  unstamped.data_changes[0].value.source_timestamp.reset();
  server.queue(FakeSubscriptionServices::answer(1, unstamped));
  server.queue(at(11, {{0, 5.0}}, kT + 70));
  EXPECT_EQ(values(poll()), (Values{{0, 4.0}, {0, 5.0}}));
}

TEST_F(SubscriptionEngineTest, AStepBackIsCountedAndLoggedOnceAnHourPerTag) {
  kestrane_test::LogCapture log("pyqar");
  subscribe(2);
  std::uint32_t seq = 0;
  const auto change = [&](std::uint32_t tag, std::int64_t t) {
    server.queue(FakeSubscriptionServices::answer(
        1, FakeSubscriptionServices::message(++seq, {{tag, static_cast<double>(seq)}}, t)));
    server.queue(FakeSubscriptionServices::keep_alive(1, seq + 1));  // for the watchdog
    return poll().source_time_steps_back;
  };
  change(0, kT);
  EXPECT_EQ(change(0, kT - 36'000'000'000), 1u);
  const std::string warning =
      "WARNING OPC UA tag '2:T0': its source time went back 3600.000 s; the value is stored at "
      "the time the server gave (steps back of this tag are logged at most once an hour, all "
      "counted)";
  EXPECT_EQ(log.count(warning), 1) << log.dump();
  change(0, kT);
  now += 59min;
  EXPECT_EQ(change(0, kT - 36'000'000'000), 1u);
  EXPECT_EQ(log.count(warning), 1);
  change(1, kT);  // another tag is logged on its own
  change(1, kT - 10'000'000);
  EXPECT_TRUE(log.has_prefix("warning", "OPC UA tag '2:T1': its source time went back 1.000 s"));
  change(0, kT);
  now += 2min;
  change(0, kT - 36'000'000'000);
  EXPECT_EQ(log.count(warning), 2);
}

TEST_F(SubscriptionEngineTest, AnInitialValueIsLeftOutOnlyWhenItRepeatsTheLastOne) {
  subscribe(2);
  const auto one = [](std::uint32_t sub, std::uint32_t seq, std::uint32_t tag, double v) {
    return FakeSubscriptionServices::answer(sub,
                                            FakeSubscriptionServices::message(seq, {{tag, v}}, kT));
  };
  server.queue(one(1, 1, 0, 1.0));
  server.queue(one(1, 2, 1, 2.0));
  EXPECT_EQ(values(poll()), (Values{{0, 1.0}, {1, 2.0}}));

  // Created again without a transfer: the Read and the new items' first values repeat T0;
  // T1 changed meanwhile.
  server.reconnect_result = Reconnected::new_session;
  server.transfer_fault = status::BadServiceUnsupported;
  server.read_values = {{"T0", 1.0}, {"T1", 3.0}};
  server.read_source_time = kT;
  engine.resume();
  server.queue(one(2, 1, 0, 1.0));
  server.queue(one(2, 2, 1, 3.0));
  EXPECT_EQ(values(poll()), (Values{{1, 3.0}}));
  // Once an item's first value has come, an equal one is a change like any other.
  server.queue(one(2, 3, 1, 3.0));
  EXPECT_EQ(values(poll()), (Values{{1, 3.0}}));

  // The same tags in a new list, in another order, with a new publishing interval (so that
  // every item is made anew; each keeps its client handle): their initial values are not
  // stored again, nor is one the Read after a lost message repeats.
  auto list = tags(2);
  std::swap(list[0], list[1]);
  engine.subscribe(list, {.publishing_interval_ms = 500.0});
  server.queue(one(3, 1, 0, 1.0));
  server.queue(one(3, 2, 1, 4.0));
  EXPECT_EQ(values(poll()), (Values{{0, 4.0}}));
  server.read_values = {{"T0", 1.0}, {"T1", 4.0}};
  server.queue(one(3, 4, 1, 5.0));  // 3 is lost
  EXPECT_EQ(values(poll()), (Values{{0, 5.0}, {0, 4.0}}));
}

// After a recreation the Read can overtake the new items' first values: the older changes the
// server queued are stored, and its queued copy of the value read is not stored twice.
TEST_F(SubscriptionEngineTest, TheQueuedCopyOfAValueReadOnceIsNotStoredTwice) {
  subscribe(1);
  const auto at = [](std::uint32_t seq, double v, std::int64_t time) {
    return FakeSubscriptionServices::answer(2,
                                            FakeSubscriptionServices::message(seq, {{0, v}}, time));
  };
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  EXPECT_EQ(values(poll()), (Values{{0, 1.0}}));
  server.reconnect_result = Reconnected::new_session;
  server.transfer_fault = status::BadServiceUnsupported;
  server.read_values = {{"T0", 4.0}};
  server.read_source_time = kT + 30;
  engine.resume();
  server.queue(at(1, 2.0, kT + 10));  // the new item's first value, sampled before the Read
  server.queue(at(2, 3.0, kT + 20));
  server.queue(at(3, 4.0, kT + 30));  // the value read, as the server queued it
  server.queue(at(4, 4.0, kT + 40));  // the same value at a later time: a change
  EXPECT_EQ(values(poll()), (Values{{0, 4.0}, {0, 2.0}, {0, 3.0}, {0, 4.0}}));
}

TEST_F(SubscriptionEngineTest, AcknowledgesOnlyWhatTheCallerKept) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 1)));
  const SubscriptionUpdate first = poll();
  ASSERT_NE(first.ack_token, 0u);
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(3, {{0, 3.0}}, kT + 2)));
  const SubscriptionUpdate second = poll();
  EXPECT_GT(second.ack_token, first.ack_token);
  EXPECT_TRUE(server.acknowledged().empty());

  engine.acknowledge(first.ack_token);
  server.queue(FakeSubscriptionServices::keep_alive(1, 4));
  EXPECT_EQ(poll().ack_token, 0u);  // a keep-alive is not acknowledged
  auto acks = server.acknowledged();
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_EQ(acks[0].sequence_number, 1u);
  EXPECT_EQ(acks[1].sequence_number, 2u);

  engine.acknowledge(second.ack_token);
  // A message without values (a status change) holds nothing to keep: acknowledged at once.
  server.queue(FakeSubscriptionServices::status_change(1, 4, status::Good));
  EXPECT_EQ(poll().ack_token, 0u);
  server.queue(FakeSubscriptionServices::keep_alive(1, 5));
  poll();
  acks = server.acknowledged();
  ASSERT_EQ(acks.size(), 4u);
  EXPECT_EQ(acks[2].sequence_number, 3u);
  EXPECT_EQ(acks[3].sequence_number, 4u);
}

TEST_F(SubscriptionEngineTest, OverflowedValuesAreCountedAndKept) {
  subscribe(1);
  NotificationMessage m = FakeSubscriptionServices::message(1, {{0, 1.0}, {0, 2.0}}, kT);
  m.data_changes[1].value.status = kOverflowBits;
  server.queue(FakeSubscriptionServices::answer(1, m));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.lost_overflow, 1u);
  EXPECT_EQ(u.changes.size(), 2u);
  // Values were discarded just before the flagged one: history is read up to it.
  EXPECT_EQ(after_gap(u), (Values{{0, 2.0}}));
}

TEST_F(SubscriptionEngineTest, ValuesTakenBeforeAFailureComeWithTheNextPoll) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  server.queue_fault(status::BadSessionIdInvalid);
  EXPECT_THROW(poll(), std::runtime_error);
  engine.resume();
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 1.0}}));
  EXPECT_NE(u.ack_token, 0u);
}

// ---- Healing ----

TEST_F(SubscriptionEngineTest, TheWatchdogRecreatesOnlyTheSilentSubscription) {
  server.server_limits.max_monitored_items_per_subscription = 2;
  subscribe(4);  // subscriptions 1 and 2
  EXPECT_TRUE(engine.status().alive);
  const double limit = engine.status().watchdog_seconds;
  EXPECT_GT(limit, 10.0);
  now += std::chrono::seconds(static_cast<int>(limit) + 1);
  EXPECT_FALSE(engine.status().alive);
  server.queue(FakeSubscriptionServices::keep_alive(1, 1));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.recreations, 1u);
  ASSERT_EQ(server.deleted.size(), 1u);
  EXPECT_EQ(server.deleted[0], std::vector<std::uint32_t>{2});
  EXPECT_EQ(server.created, (std::vector<std::uint32_t>{1, 2, 3}));
  const auto& moved = server.item_calls.back();
  EXPECT_EQ(moved.subscription_id, 3u);
  EXPECT_EQ(moved.items.size(), 2u);
  EXPECT_EQ(moved.items[0].client_handle, 2u);
  EXPECT_TRUE(engine.status().alive);
}

TEST_F(SubscriptionEngineTest, TheWatchdogCountsFromTheFirstAnswer) {
  subscribe(1);
  const double before = engine.status().watchdog_seconds;
  EXPECT_GE(before, 300.0);  // the subscription's lifetime, until it has answered
  now += 60s;
  poll();
  EXPECT_EQ(server.created.size(), 1u);
  server.queue(FakeSubscriptionServices::keep_alive(1, 1));
  poll();
  const double after = engine.status().watchdog_seconds;
  EXPECT_LT(after, 60.0);
  now += std::chrono::seconds(static_cast<int>(after) + 1);
  EXPECT_EQ(poll().recreations, 1u);

  // One that never answers is still found, once its lifetime has passed.
  now += std::chrono::seconds(static_cast<int>(before) + 1);
  EXPECT_EQ(poll().recreations, 1u);
  EXPECT_EQ(server.created.size(), 3u);
}

TEST_F(SubscriptionEngineTest, ASubscriptionWeDoNotHoldIsDeletedOnce) {
  subscribe(1);
  // Left by a CreateSubscription whose answer was lost; our Publish requests feed it.
  server.queue(
      FakeSubscriptionServices::answer(7, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  server.queue(FakeSubscriptionServices::keep_alive(7, 2));
  const SubscriptionUpdate u = poll();
  EXPECT_TRUE(u.changes.empty());
  EXPECT_EQ(u.ack_token, 0u);
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{7}}));
  EXPECT_EQ(engine.status().subscriptions, 1u);
}

TEST_F(SubscriptionEngineTest, ASubscriptionTheServerEndedIsCreatedAgainAlone) {
  server.server_limits.max_monitored_items_per_subscription = 1;
  subscribe(2);
  server.queue(FakeSubscriptionServices::status_change(2, 1, status::BadTimeout));
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.recreations, 1u);
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{2}}));
  EXPECT_EQ(server.item_calls.back().subscription_id, 3u);
  EXPECT_EQ(engine.status().subscriptions, 2u);

  // Its old acknowledgement must not reach a subscription that may get its number again.
  engine.acknowledge(u.ack_token);
  server.queue(FakeSubscriptionServices::keep_alive(1, 2));
  poll();
  for (const auto& ack : server.acknowledged()) EXPECT_NE(ack.subscription_id, 2u);
}

TEST_F(SubscriptionEngineTest, ASubscriptionGoneWhenAGapIsFilledIsCreatedAgain) {
  subscribe(1);
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 1)));
  server.republish_fault = status::BadSubscriptionIdInvalid;
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.recreations, 1u);
  EXPECT_EQ(u.lost_not_available, 0u);
  EXPECT_EQ(server.created.size(), 2u);
}

TEST_F(SubscriptionEngineTest, ResumingTheSameSessionAsksForWhatWasMissed) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  poll();
  server.retained[{1, 2}] = FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 1);
  server.retained[{1, 3}] = FakeSubscriptionServices::message(3, {{0, 3.0}}, kT + 2);
  now += 1h;  // a long outage is not the server's silence
  engine.resume();
  EXPECT_EQ(server.republished,
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 2}, {1, 3}, {1, 4}}));
  EXPECT_EQ(server.created.size(), 1u);
  EXPECT_TRUE(engine.status().alive);
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 2.0}, {0, 3.0}}));
  EXPECT_EQ(u.recreations, 0u);
}

TEST_F(SubscriptionEngineTest, ANewSessionTakesTheSubscriptionsOver) {
  subscribe(1);
  server.reconnect_result = Reconnected::new_session;
  server.retained[{1, 1}] = FakeSubscriptionServices::message(1, {{0, 1.0}}, kT);
  engine.resume();
  EXPECT_EQ(server.transfers, (std::vector<std::vector<std::uint32_t>>{{1}}));
  EXPECT_EQ(server.created.size(), 1u);
  EXPECT_EQ(values(poll()), (Values{{0, 1.0}}));

  // One the server would not transfer is created again alone, and its tags read once.
  server.server_limits.max_monitored_items_per_subscription = 1;
  engine.subscribe(tags(2), {.publishing_interval_ms = 500.0});  // subscriptions 2 and 3
  server.transfer_status[3] = status::BadSubscriptionIdInvalid;
  engine.resume();
  EXPECT_EQ(server.created.back(), 4u);
  ASSERT_EQ(server.reads.size(), 1u);
  EXPECT_EQ(server.reads[0].size(), 1u);
  EXPECT_EQ(server.reads[0][0].text, "T1");
}

TEST_F(SubscriptionEngineTest, WithoutATransferEverythingIsCreatedAgainAndReadOnce) {
  subscribe(3);
  server.reconnect_result = Reconnected::new_session;
  server.transfer_fault = status::BadServiceUnsupported;
  engine.resume();
  EXPECT_EQ(server.created, (std::vector<std::uint32_t>{1, 2}));
  ASSERT_EQ(server.reads.size(), 1u);
  EXPECT_EQ(server.reads[0].size(), 3u);
  EXPECT_EQ(poll().recreations, 1u);

  // Many tags are read in parts the server accepts.
  subscribe(2500);
  server.reads.clear();
  server.reject_reads_over = 400;
  server.read_source_time = kT;
  engine.resume();
  std::vector<std::size_t> sizes;
  for (const auto& r : server.reads) sizes.push_back(r.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1000, 500, 250, 250, 250, 250, 250, 250, 250, 250, 250,
                                             250}));
  EXPECT_EQ(poll().changes.size(), 2500u);

  // Anonymous over security None: no transfer is tried.
  server.allow_transfer = false;
  const std::size_t transfers = server.transfers.size();
  const std::size_t created = server.created.size();
  engine.resume();
  EXPECT_EQ(server.transfers.size(), transfers);
  EXPECT_EQ(server.created.size(), created + 1);
}

TEST_F(SubscriptionEngineTest, AServerRestartRecreatesEverythingAndResolvesNamesAgain) {
  server.unknown_namespace.insert("T1");  // its namespace appears only after the restart
  subscribe(2);
  EXPECT_EQ(engine.status().items_ok, 1u);
  server.unknown_namespace.clear();
  server.start_time = 2;
  engine.resume();  // even on what looks like the same session
  EXPECT_TRUE(server.republished.empty());
  EXPECT_TRUE(server.reads.empty());  // the new items report the current values themselves
  EXPECT_EQ(server.created.size(), 2u);
  EXPECT_EQ(engine.status().items_ok, 2u);
  EXPECT_EQ(engine.status().subscriptions, 1u);
}

TEST_F(SubscriptionEngineTest, ACreationCutShortIsCompletedAfterResume) {
  server.limits_fail = true;  // the connection drops before anything is created
  EXPECT_THROW(subscribe(3), std::runtime_error);
  server.limits_fail = false;
  engine.resume();  // the same session: nothing to recreate, but the items were never made
  EXPECT_EQ(engine.status().items_ok, 3u);
  EXPECT_EQ(server.created.size(), 1u);
}

TEST_F(SubscriptionEngineTest, ItemsWhoseCreationWentUnansweredAreNotCreatedTwice) {
  server.server_limits.max_monitored_items_per_call = 2;
  server.lose_answer_of_item_call = 1;  // the server makes T2 and T3, the answer is lost
  EXPECT_THROW(subscribe(4), std::runtime_error);
  server.lose_answer_of_item_call.reset();
  engine.resume();  // the same session: subscription 1 holds T2 and T3 unknown to the engine
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{1}}));
  EXPECT_EQ(server.created, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(server.items_in[2], 4u);
  EXPECT_EQ(engine.status().items_ok, 4u);
  EXPECT_EQ(poll().recreations, 1u);

  // The same after a transfer to a new session; a subscription the server refused to
  // transfer is created again too, and no item is left uncreated.
  server.server_limits.max_monitored_items_per_call = 1;
  server.server_limits.max_monitored_items_per_subscription = 2;
  server.items_per_subscription = 2;
  server.lose_answer_of_item_call = server.item_calls.size() + 2;  // T2 into subscription 4
  // Another publishing interval: everything is made anew, in subscriptions 3 and 4.
  EXPECT_THROW(engine.subscribe(tags(4), {.publishing_interval_ms = 500.0}), std::runtime_error);
  server.lose_answer_of_item_call.reset();
  server.reconnect_result = Reconnected::new_session;
  server.transfer_status[3] = status::BadSubscriptionIdInvalid;
  server.deleted.clear();
  engine.resume();
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{3}, {4}}));
  EXPECT_EQ(engine.status().items_ok, 4u);
  std::size_t held = 0;
  for (const std::uint32_t id : server.created) {
    if (id > 4) held += server.items_in[id];
  }
  EXPECT_EQ(held, 4u);
}

// ---- A changed tag list ----

TEST_F(SubscriptionEngineTest, ANewTagListKeepsTheItemsThatStay) {
  server.server_limits.max_monitored_items_per_subscription = 1000;
  subscribe(2000);  // T0..T999 in subscription 1 (item ids 1..1000), the rest in 2
  server.queue(
      FakeSubscriptionServices::answer(2, FakeSubscriptionServices::message(1, {{1500, 7.0}}, kT)));
  const SubscriptionUpdate before = poll();
  ASSERT_EQ(values(before), (Values{{1500, 7.0}}));

  // T0..T9 leave, N0..N9 come at the end: every index moves, no kept item does.
  auto list = tags(2000);
  list.erase(list.begin(), list.begin() + 10);
  for (int k = 0; k < 10; ++k)
    list.push_back({{.namespace_index = 2, .tag_name = "N" + std::to_string(k)}, {}});
  // A message the server sent before the change: for a kept tag, a removed one and, with the
  // handle that slot has now, a new one.
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1, {{15, 1.0}, {3, 2.0}, {(1u << 24) | 3, 3.0}}, kT)));
  const std::size_t calls = server.item_calls.size();
  const auto change = engine.subscribe(list, {.publishing_interval_ms = 1000.0});
  EXPECT_EQ(change.kept, 1990u);
  EXPECT_EQ(change.added, 10u);
  EXPECT_EQ(change.removed, 10u);
  EXPECT_EQ(server.created.size(), 2u);
  EXPECT_TRUE(server.deleted.empty());
  ASSERT_EQ(server.deleted_items.size(), 1u);
  EXPECT_EQ(server.deleted_items[0].subscription_id, 1u);
  auto ids = server.deleted_items[0].monitored_item_ids;
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  // Only the new ones are created, into the room the removed ones left.
  ASSERT_EQ(server.item_calls.size(), calls + 1);
  EXPECT_EQ(server.item_calls.back().subscription_id, 1u);
  EXPECT_EQ(server.item_calls.back().items.size(), 10u);
  EXPECT_EQ(server.item_calls.back().items[0].node.text, "N0");
  EXPECT_EQ(engine.status().items_ok, 2000u);

  // The kept subscription's acknowledgement still goes out; its values arrive under the new
  // indices, and the removed tag's value is dropped.
  engine.acknowledge(before.ack_token);
  const SubscriptionUpdate after = poll();
  EXPECT_EQ(values(after), (Values{{5, 1.0}, {1993, 3.0}}));
  EXPECT_EQ(after.recreations, 0u);
  const auto acks = server.acknowledged();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].subscription_id, 2u);
  EXPECT_EQ(acks[0].sequence_number, 1u);
}

TEST_F(SubscriptionEngineTest, ASubscriptionLeftEmptyIsDeletedAndRefusalsToDeleteAreHarmless) {
  server.server_limits.max_monitored_items_per_subscription = 2;
  subscribe(4);  // T0, T1 in 1; T2, T3 in 2
  server.delete_items_fault = status::BadSubscriptionIdInvalid;
  auto list = tags(4);
  list.erase(list.begin() + 1, list.end());  // T0 only
  engine.subscribe(list, {.publishing_interval_ms = 1000.0});
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{2}}));
  ASSERT_EQ(server.deleted_items.size(), 1u);
  EXPECT_EQ(server.deleted_items[0].subscription_id, 1u);
  EXPECT_EQ(engine.status().items_ok, 1u);
  EXPECT_EQ(engine.status().subscriptions, 1u);

  // Changed monitor settings make another item; a tag named twice is monitored twice.
  list = tags(2, {.sampling_interval_ms = 250});
  list[1] = list[0];
  const auto change = engine.subscribe(list, {.publishing_interval_ms = 1000.0});
  EXPECT_EQ(change.kept, 0u);
  EXPECT_EQ(change.added, 2u);
  EXPECT_EQ(engine.status().items_ok, 2u);
}

// ---- Acknowledgements across a reconnect ----

TEST_F(SubscriptionEngineTest, AcknowledgementsLostWithTheChannelAreSentAgain) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  engine.acknowledge(poll().ack_token);
  // The acknowledgement leaves with the Publish sent after the next answer.
  server.queue(FakeSubscriptionServices::keep_alive(1, 2));
  poll();
  ASSERT_EQ(server.acknowledged().size(), 1u);

  // The channel breaks before that request is answered: the new one carries it again, and a
  // server that had it answers BadSequenceNumberUnknown, which changes nothing.
  engine.resume();
  PublishResponse unknown =
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 1));
  unknown.results = {status::BadSequenceNumberUnknown};
  server.queue(unknown);
  server.queue(FakeSubscriptionServices::keep_alive(1, 3));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 2.0}}));
  auto acks = server.acknowledged();
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_EQ(acks[1].sequence_number, 1u);
  EXPECT_EQ(u.recreations, 0u);

  // Once answered, it is not sent again; nor to a subscription created anew.
  engine.acknowledge(u.ack_token);
  server.queue(FakeSubscriptionServices::keep_alive(1, 3));
  server.queue(FakeSubscriptionServices::keep_alive(1, 3));
  poll();
  server.reconnect_result = Reconnected::new_session;
  server.allow_transfer = false;
  engine.resume();
  poll();
  acks = server.acknowledged();
  EXPECT_EQ(
      std::count_if(acks.begin(), acks.end(), [](const auto& a) { return a.sequence_number == 1; }),
      2);
  for (const auto& ack : acks) EXPECT_EQ(ack.subscription_id, 1u);
  EXPECT_EQ(acks.back().sequence_number, 2u);
}

TEST_F(SubscriptionEngineTest, AFailedResumeCanBeTriedAgainAndUnsubscribeCloses) {
  subscribe(1);
  server.reconnect_fails = true;
  EXPECT_THROW(engine.resume(), std::runtime_error);
  server.reconnect_fails = false;
  engine.resume();
  EXPECT_EQ(server.reconnects, 2);
  EXPECT_EQ(engine.status().subscriptions, 1u);

  engine.unsubscribe();
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{1}}));
  EXPECT_TRUE(server.closed);
  EXPECT_EQ(engine.status().subscriptions, 0u);
  EXPECT_TRUE(poll().changes.empty());
}

// ---- Marking where values may be missing ----

TEST_F(SubscriptionEngineTest, TheFirstValueOfEachTagAfterLostMessagesIsMarked) {
  subscribe(3);
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1, {{0, 1.0}, {1, 1.0}}, kT)));
  const SubscriptionUpdate first = poll();
  EXPECT_EQ(first.changes.size(), 2u);
  EXPECT_TRUE(after_gap(first).empty());  // first values: the collector has what it stored

  // 2 and 3 are gone; 4 brings T1's first value after them, 5 T0's; the Read finds T0's
  // again and T2's first value at all.
  PublishResponse later =
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(5, {{0, 5.0}}, kT + 5));
  later.available_sequence_numbers = {4, 5};
  server.queue(later);
  server.retained[{1, 4}] = FakeSubscriptionServices::message(4, {{1, 4.0}}, kT + 4);
  server.read_values = {{"T0", 5.0}, {"T1", 7.0}, {"T2", 9.0}};
  server.read_source_time = kT + 5;
  SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{1, 4.0}, {0, 5.0}, {1, 7.0}, {2, 9.0}}));
  EXPECT_EQ(after_gap(u), (Values{{1, 4.0}, {0, 5.0}}));

  // Lost, recovered, lost: a tag marked by the recovered message is marked again after the
  // next loss; the Read brings the first value of the others.
  later = FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(10, {{2, 10.0}}, kT + 20));
  later.available_sequence_numbers = {7, 10};
  server.queue(later);
  server.retained[{1, 7}] = FakeSubscriptionServices::message(7, {{0, 7.0}}, kT + 10);
  server.read_values = {{"T0", 8.0}, {"T1", 7.0}, {"T2", 10.0}};
  server.read_source_time = kT + 20;
  u = poll();
  EXPECT_EQ(u.lost_not_available, 3u);
  EXPECT_EQ(values(u), (Values{{0, 7.0}, {2, 10.0}, {0, 8.0}, {1, 7.0}}));
  EXPECT_EQ(after_gap(u), values(u));

  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(11, {{0, 9.0}, {1, 9.0}, {2, 9.0}}, kT + 30)));
  u = poll();
  EXPECT_EQ(u.changes.size(), 3u);
  EXPECT_TRUE(after_gap(u).empty());
}

TEST_F(SubscriptionEngineTest, ARecreatedItemsFirstValueIsMarkedAndARepeatPassesTheMarkOn) {
  subscribe(3);
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1, {{0, 1.0}, {1, 2.0}}, kT)));
  poll();
  // A new session without transfer: T0 did not change (its Read and first value repeat the
  // last one and are left out), T1 did, T2 had delivered nothing before.
  server.reconnect_result = Reconnected::new_session;
  server.transfer_fault = status::BadServiceUnsupported;
  server.read_values = {{"T0", 1.0}, {"T1", 3.0}, {"T2", 4.0}};
  server.read_source_time = kT;
  engine.resume();
  const auto one = [](std::uint32_t seq, std::uint32_t tag, double v, std::int64_t time) {
    return FakeSubscriptionServices::answer(
        2, FakeSubscriptionServices::message(seq, {{tag, v}}, time));
  };
  server.queue(one(1, 0, 1.0, kT));
  server.queue(one(2, 1, 3.0, kT));
  server.queue(one(3, 2, 4.0, kT));
  server.queue(FakeSubscriptionServices::answer(
      2, FakeSubscriptionServices::message(4, {{0, 2.0}, {1, 5.0}}, kT + 10)));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.recreations, 1u);
  EXPECT_EQ(values(u), (Values{{1, 3.0}, {2, 4.0}, {0, 2.0}, {1, 5.0}}));
  // T0's mark waited for its next change.
  EXPECT_EQ(after_gap(u), (Values{{1, 3.0}, {0, 2.0}}));
}

TEST_F(SubscriptionEngineTest, ATagNewToTheListIsNotMarkedButANewPublishingIntervalMarksAll) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  poll();
  subscribe(2);  // T1 joins subscription 1; T0's item stays
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(2, {{0, 2.0}, {1, 2.0}}, kT + 1)));
  SubscriptionUpdate u = poll();
  EXPECT_EQ(u.changes.size(), 2u);
  EXPECT_TRUE(after_gap(u).empty());

  engine.subscribe(tags(2), {.publishing_interval_ms = 500.0});  // both made anew
  server.queue(FakeSubscriptionServices::answer(
      2, FakeSubscriptionServices::message(1, {{0, 3.0}, {1, 3.0}}, kT + 10)));
  u = poll();
  EXPECT_EQ(after_gap(u), (Values{{0, 3.0}, {1, 3.0}}));
}

TEST_F(SubscriptionEngineTest, ASubscriptionEndedMarksItsTagsAlsoWhenTheirItemsComeBackLater) {
  subscribe(1);
  server.queue(
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
  poll();
  // Ended by the server; its item is refused for a while on recreation.
  server.item_status["T0"] = status::BadTooManyOperations;
  server.queue(FakeSubscriptionServices::status_change(1, 2, status::BadTimeout));
  EXPECT_EQ(poll().recreations, 1u);
  EXPECT_EQ(engine.status().items_failed, 1u);
  server.item_status.clear();
  now += 61s;
  poll();
  ASSERT_EQ(engine.status().items_ok, 1u);
  const std::uint32_t id = server.created.back();
  server.queue(FakeSubscriptionServices::answer(
      id, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT + 60)));
  server.queue(FakeSubscriptionServices::answer(
      id, FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 61)));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 1.0}, {0, 2.0}}));
  EXPECT_EQ(after_gap(u), (Values{{0, 1.0}}));
}

TEST_F(SubscriptionEngineTest, OnlyAResumeOrTransferThatLostMessagesMarksValues) {
  subscribe(2);
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1, {{0, 1.0}, {1, 1.0}}, kT)));
  poll();
  // The same session, everything asked for again.
  server.retained[{1, 2}] = FakeSubscriptionServices::message(2, {{0, 2.0}}, kT + 2);
  engine.resume();
  SubscriptionUpdate u = poll();
  EXPECT_EQ(values(u), (Values{{0, 2.0}}));
  EXPECT_TRUE(after_gap(u).empty());

  // A new session: the transfer and Republish recover everything.
  server.reconnect_result = Reconnected::new_session;
  server.transfer_available[1] = {3};
  server.retained[{1, 3}] = FakeSubscriptionServices::message(3, {{1, 3.0}}, kT + 3);
  engine.resume();
  u = poll();
  EXPECT_EQ(values(u), (Values{{1, 3.0}}));
  EXPECT_TRUE(after_gap(u).empty());

  // Transferred, but 4 is gone: each tag's first value after it is marked.
  server.transfer_available[1] = {5};
  server.retained[{1, 5}] = FakeSubscriptionServices::message(5, {{0, 5.0}}, kT + 5);
  engine.resume();
  PublishResponse next =
      FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(6, {{1, 6.0}}, kT + 6));
  next.available_sequence_numbers = {5, 6};
  server.queue(next);
  server.read_values = {{"T0", 5.0}, {"T1", 6.0}};
  server.read_source_time = kT + 7;
  u = poll();
  EXPECT_EQ(u.lost_not_available, 1u);
  EXPECT_EQ(after_gap(u), (Values{{0, 5.0}, {1, 6.0}}));
  EXPECT_EQ(u.changes.size(), 4u);  // the Read's values at their later time, unmarked
}

}  // namespace

namespace {

// The planner's estimate of an item's size is what the encoder writes, so calls planned to fit
// a server's message size do fit.
TEST(ItemBatchPlanner, ItemSizesAreWhatTheEncoderWrites) {
  const auto encoded = [](const std::vector<MonitoredItemToCreate>& items) {
    BinaryWriter w;
    encode_request(w,
                   CreateMonitoredItemsRequest{.header = {}, .subscription_id = 1, .items = items});
    return w.size();
  };
  MonitoredItemToCreate first;
  first.node = NodeId::numeric_id(0, 2258);
  std::vector<MonitoredItemToCreate> samples(5, first);
  samples[1].node = NodeId::string_id(2, "Plant.Line4.Temperature");
  samples[2].node = NodeId::numeric_id(3, 70'000);
  samples[3].node = NodeId::numeric_id(1, 1000);
  samples[4].node = NodeId::string_id(300, "x");
  samples[4].filter = DataChangeFilter{.deadband_type = kDeadbandAbsolute, .deadband_value = 1};
  for (const MonitoredItemToCreate& item : samples) {
    EXPECT_EQ(encoded({first, item}) - encoded({first}), ItemBatchPlanner::encoded_size(item))
        << to_string(item.node);
  }
}

TEST(ItemBatchPlanner, TakesAtLeastOneAndNoMoreThanTheLimits) {
  ItemBatchPlanner planner;
  std::vector<MonitoredItemToCreate> items(1500);
  EXPECT_EQ(planner.take(items), 1000u);
  planner.set_limits({.max_monitored_items_per_call = 10});
  EXPECT_EQ(planner.take(items), 10u);
  planner.set_limits({.max_request_bytes = 100});  // smaller than one item and the headers
  EXPECT_EQ(planner.take(items), 1u);
  EXPECT_EQ(planner.take({}), 0u);
  planner.set_limits({});
  EXPECT_TRUE(planner.halve(7));
  EXPECT_EQ(planner.take(items), 3u);
  EXPECT_FALSE(planner.halve(1));
  EXPECT_TRUE(planner.halve(900));  // a larger refusal never raises the cap
  EXPECT_EQ(planner.take(items), 3u);
}

}  // namespace
