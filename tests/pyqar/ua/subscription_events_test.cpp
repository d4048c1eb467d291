// Event items in the subscription engine against a scripted server: one item per notifier in
// the same subscriptions as the tags, records marked between RefreshStart and RefreshEnd, an
// EventId delivered once across Republish and transfer, ConditionRefresh after every
// creation, recreation and transfer, and refusals that leave the tags' values alone.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "fake_subscription_services.h"
#include "log_capture.h"
#include "ua/binary_writer.h"
#include "ua/status_code.h"
#include "ua/subscription_engine.h"
#include "ua/ua_attribute_ids.h"

namespace {

using namespace pyqar::ua;
using pyqar::MonitoredTag;
using pyqar::SubscriptionSettings;
using pyqar::SubscriptionUpdate;
using pyqar::ua::testing::FakeSubscriptionServices;
using namespace std::chrono_literals;

constexpr std::int64_t kT = 133'000'000'000'000'000;

std::vector<MonitoredTag> tags(std::size_t n) {
  std::vector<MonitoredTag> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i].tag.namespace_index = 2;
    out[i].tag.tag_name = "T" + std::to_string(i);
  }
  return out;
}

// (message, refresh) of every event, in order.
std::vector<std::pair<std::string, bool>> events(const SubscriptionUpdate& u) {
  std::vector<std::pair<std::string, bool>> out;
  for (const auto& e : u.events) out.emplace_back(e.message, e.refresh);
  return out;
}
using Events = std::vector<std::pair<std::string, bool>>;

class SubscriptionEventsTest : public ::testing::Test {
 protected:
  std::chrono::steady_clock::time_point now{};
  FakeSubscriptionServices server;
  SubscriptionEngine engine{
      server,
      {.clock = [this] { return now; },
       .wall_clock = [] { return pyqar::Timestamp(std::chrono::seconds(1'700'000'000)); }}};

  static SubscriptionSettings with_events(std::vector<std::string> notifiers) {
    SubscriptionSettings s;
    s.events.notifiers = std::move(notifiers);
    return s;
  }
  SubscriptionUpdate poll() { return engine.poll(0ms); }
  std::size_t event_items_asked() const {
    std::size_t n = 0;
    for (const auto& call : server.item_calls) {
      for (const auto& item : call.items) n += item.attribute_id == kAttributeEventNotifier;
    }
    return n;
  }
};

TEST_F(SubscriptionEventsTest, EventsAloneMakeOneItemPerNotifierAndRefreshItsSubscription) {
  engine.subscribe({}, with_events({"i=2253", "ns=2;s=Plant"}));
  ASSERT_EQ(server.item_calls.size(), 1u);
  ASSERT_EQ(server.item_calls[0].items.size(), 2u);
  for (const auto& item : server.item_calls[0].items) {
    EXPECT_EQ(item.attribute_id, kAttributeEventNotifier);
    EXPECT_FALSE(item.event_filter.type_id.is_null());
    EXPECT_FALSE(item.filter);
    EXPECT_EQ(item.sampling_interval_ms, 0.0);
    EXPECT_EQ(item.queue_size, 1000u);
    EXPECT_TRUE(item.discard_oldest);
  }
  const auto status = engine.status();
  EXPECT_EQ(status.items_ok + status.items_failed, 0u);
  EXPECT_EQ(status.event_items_ok, 2u);

  const SubscriptionUpdate u = poll();
  EXPECT_EQ(server.refreshes, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(u.condition_refreshes_ok, 1u);
  EXPECT_EQ(poll().condition_refreshes_ok, 0u);  // once per creation
  EXPECT_EQ(server.refreshes.size(), 1u);
}

TEST_F(SubscriptionEventsTest, RefreshedStatesAreMarkedAndEventSlotsNeverGiveValues) {
  engine.subscribe(tags(2), with_events({"i=2253"}));
  const std::uint32_t events_handle = 2;  // the slot after the two tags
  NotificationMessage m =
      FakeSubscriptionServices::message(1, {{1, 5.0}, {events_handle, 9.0}}, kT);
  NotificationMessage e =
      FakeSubscriptionServices::event_message(1, {{events_handle, "a", "before"},
                                                  {events_handle, "b", "active alarm"},
                                                  {events_handle, "c", "after"}});
  m.events = {e.events[0], FakeSubscriptionServices::refresh_marker(events_handle, true),
              e.events[1], FakeSubscriptionServices::refresh_marker(events_handle, false),
              e.events[2]};
  server.queue(FakeSubscriptionServices::answer(1, m));
  const SubscriptionUpdate u = poll();
  ASSERT_EQ(u.changes.size(), 1u);
  EXPECT_EQ(u.changes[0].tag_index, 1u);
  EXPECT_EQ(events(u), (Events{{"before", false}, {"active alarm", true}, {"after", false}}));
  EXPECT_EQ(u.events[0].severity, 500);
  EXPECT_EQ(u.events[0].source_name, "Plant");
  EXPECT_NE(u.ack_token, 0u);

  // A message of events alone is kept before it is acknowledged, as values are.
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::event_message(2, {{events_handle, "d", "later"}})));
  const SubscriptionUpdate v = poll();
  EXPECT_TRUE(v.changes.empty());
  EXPECT_EQ(events(v), (Events{{"later", false}}));
  ASSERT_NE(v.ack_token, 0u);
  engine.acknowledge(v.ack_token);
  server.queue(FakeSubscriptionServices::keep_alive(1, 3));
  poll();
  bool acked = false;
  for (const auto& a : server.acknowledged())
    acked |= a.subscription_id == 1 && a.sequence_number == 2;
  EXPECT_TRUE(acked);
}

TEST_F(SubscriptionEventsTest, AnEventIsDeliveredOnceAcrossRepublishAndTransfer) {
  engine.subscribe(tags(1), with_events({"i=2253"}));
  const std::uint32_t handle = 1;
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::event_message(1, {{handle, "x", "first"}})));
  EXPECT_EQ(events(poll()), (Events{{"first", false}}));
  ASSERT_EQ(server.refreshes.size(), 1u);

  // A new session takes the subscription over; the server sends the same event again in a
  // new message, beside a new one, and the refresh repeats an EventId on purpose.
  server.reconnect_result = Reconnected::new_session;
  server.transfer_available[1] = {2};
  NotificationMessage again =
      FakeSubscriptionServices::event_message(2, {{handle, "x", "first"}, {handle, "y", "second"}});
  server.retained[{1, 2}] = again;
  engine.resume();
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(events(u), (Events{{"second", false}}));
  EXPECT_EQ(server.refreshes, (std::vector<std::uint32_t>{1, 1}));  // after the transfer
  EXPECT_EQ(u.condition_refreshes_ok, 1u);

  NotificationMessage refresh =
      FakeSubscriptionServices::event_message(3, {{handle, "x", "first"}});
  refresh.events.insert(refresh.events.begin(),
                        FakeSubscriptionServices::refresh_marker(handle, true));
  refresh.events.push_back(FakeSubscriptionServices::refresh_marker(handle, false));
  server.queue(FakeSubscriptionServices::answer(1, refresh));
  EXPECT_EQ(events(poll()), (Events{{"first", true}}));
}

TEST_F(SubscriptionEventsTest, ARestartedServerMayRepeatEventIdsOfItsEarlierRun) {
  engine.subscribe({}, with_events({"i=2253"}));
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::event_message(1, {{0, "1", "tick 1"}})));
  EXPECT_EQ(events(poll()), (Events{{"tick 1", false}}));

  // Counted from 1 again by the new run.
  server.start_time = 2;
  server.reconnect_result = Reconnected::new_session;
  engine.resume();
  ASSERT_EQ(server.created.size(), 2u);
  const std::uint32_t handle = server.item_calls.back().items.at(0).client_handle;
  server.queue(FakeSubscriptionServices::answer(
      2, FakeSubscriptionServices::event_message(1, {{handle, "1", "tick 1"}})));
  EXPECT_EQ(events(poll()), (Events{{"tick 1", false}}));
  EXPECT_EQ(server.refreshes, (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(SubscriptionEventsTest, RecreatedSubscriptionsAreRefreshedAgain) {
  engine.subscribe(tags(1), with_events({"i=2253"}));
  poll();
  server.queue(FakeSubscriptionServices::status_change(1, 1, status::BadTimeout));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.recreations, 1u);
  ASSERT_EQ(server.created.size(), 2u);
  poll();
  EXPECT_EQ(server.refreshes, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(engine.status().event_items_ok, 1u);
}

TEST_F(SubscriptionEventsTest, MessagesTheServerNoLongerHasRefreshTheConditions) {
  engine.subscribe(tags(1), with_events({"i=2253"}));
  poll();
  ASSERT_EQ(server.refreshes.size(), 1u);
  // Message 1 never came and the server no longer has it: alarm states it held are asked for
  // again; the tag is read once, the event item is not.
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::event_message(2, {{1, "z", "after the loss"}})));
  const SubscriptionUpdate u = poll();
  EXPECT_EQ(u.lost_not_available, 1u);
  EXPECT_EQ(events(u), (Events{{"after the loss", false}}));
  ASSERT_EQ(server.reads.size(), 1u);
  EXPECT_EQ(server.reads[0].size(), 1u);
  poll();
  EXPECT_EQ(server.refreshes.size(), 2u);
}

TEST_F(SubscriptionEventsTest, ARefusedNotifierIsNamedAndLeavesTheValuesAlone) {
  kestrane_test::LogCapture log("pyqar");
  server.item_status[NodeId::string_id(2, "ns=2;s=Nope").text] = status::BadNodeIdUnknown;
  engine.subscribe(tags(2), with_events({"ns=2;s=Nope"}));
  auto status = engine.status();
  EXPECT_EQ(status.items_ok, 2u);
  EXPECT_EQ(status.event_items_ok, 0u);
  EXPECT_EQ(status.event_items_failed, 1u);
  EXPECT_EQ(log.count("ERROR OPC UA event notifier 'ns=2;s=Nope' refused: BadNodeIdUnknown "
                      "(0x80340000); its events are not collected, trying again every minute"),
            1)
      << log.dump();
  server.queue(FakeSubscriptionServices::answer(
      1, FakeSubscriptionServices::message(1, {{0, 1.0}, {1, 2.0}}, kT)));
  EXPECT_EQ(poll().changes.size(), 2u);
  EXPECT_TRUE(server.refreshes.empty());  // nothing to refresh

  // Retried with refused tags, once a minute, and logged once.
  now += std::chrono::minutes(2);
  poll();
  EXPECT_EQ(event_items_asked(), 2u);
  EXPECT_EQ(log.count("ERROR OPC UA event notifier 'ns=2;s=Nope' refused: BadNodeIdUnknown "
                      "(0x80340000); its events are not collected, trying again every minute"),
            1);
  server.item_status.clear();
  now += std::chrono::minutes(2);
  poll();
  EXPECT_EQ(engine.status().event_items_ok, 1u);
  poll();
  EXPECT_EQ(server.refreshes.size(), 1u);
}

TEST_F(SubscriptionEventsTest, FilterRefusalsAreLoggedOncePerNotifier) {
  kestrane_test::LogCapture log("pyqar");
  BinaryWriter w;
  // SourceNode refused; ActiveState/Id too, as servers that check every clause against the
  // base event type do while filling it for conditions: not worth a warning.
  w.i32(14);
  for (int k = 0; k < 14; ++k) w.u32(k == 2 || k == 13 ? status::BadNodeIdUnknown : 0);
  w.i32(-1);
  w.i32(-1);
  w.i32(-1);
  server.event_filter_result = {.type_id = NodeId::numeric_id(0, 736), .body = w.take()};
  engine.subscribe({}, with_events({"i=2253"}));
  EXPECT_TRUE(log.has_prefix("warning",
                             "OPC UA event notifier 'i=2253': the server refused field "
                             "'SourceNode' (BadNodeIdUnknown (0x80340000)); those fields"))
      << log.dump();
  EXPECT_EQ(engine.status().event_items_ok, 1u);
  // Once per notifier, also when its item is made again.
  server.queue(FakeSubscriptionServices::status_change(1, 1, status::BadTimeout));
  poll();
  EXPECT_EQ(server.created.size(), 2u);
  int warnings = 0;
  for (const auto& r : log.records())
    warnings += r.level == "warning" && r.message.starts_with("OPC UA event notifier");
  EXPECT_EQ(warnings, 1) << log.dump();
}

TEST_F(SubscriptionEventsTest, AServerWithoutConditionsIsAskedOncePerSession) {
  kestrane_test::LogCapture log("pyqar");
  server.refresh_answers = {status::BadRefreshInProgress, status::BadMethodInvalid};
  engine.subscribe({}, with_events({"i=2253", "i=2254"}));
  EXPECT_EQ(server.created.size(), 1u);
  SubscriptionUpdate u = poll();
  EXPECT_EQ(u.condition_refreshes_ok + u.condition_refreshes_failed, 0u);  // busy: next poll
  u = poll();
  EXPECT_EQ(u.condition_refreshes_failed, 1u);
  EXPECT_TRUE(
      log.has_prefix("warning", "OPC UA server offers no ConditionRefresh (BadMethodInvalid"));
  server.queue(FakeSubscriptionServices::status_change(1, 1, status::BadTimeout));
  poll();
  poll();
  EXPECT_EQ(server.refreshes.size(), 2u);

  // A new session (the server may have been replaced) asks again.
  server.reconnect_result = Reconnected::new_session;
  server.allow_transfer = false;
  engine.resume();
  poll();
  EXPECT_EQ(server.refreshes.size(), 3u);
}

TEST_F(SubscriptionEventsTest, ChangedEventSettingsRemakeTheEventItemsOnly) {
  engine.subscribe(tags(3), with_events({"i=2253"}));
  ASSERT_EQ(server.item_calls.size(), 1u);
  const auto list = engine.subscribe(tags(3), with_events({"ns=2;s=Plant"}));
  EXPECT_EQ(list.kept, 3u);
  EXPECT_EQ(list.added + list.removed, 0u);
  ASSERT_EQ(server.deleted_items.size(), 1u);
  EXPECT_EQ(server.deleted_items[0].monitored_item_ids, (std::vector<std::uint32_t>{4}));
  ASSERT_EQ(server.item_calls.size(), 2u);
  ASSERT_EQ(server.item_calls[1].items.size(), 1u);
  EXPECT_EQ(server.item_calls[1].items[0].attribute_id, kAttributeEventNotifier);
  EXPECT_EQ(engine.status().event_items_ok, 1u);

  // The same settings again change nothing; none at all delete the event item.
  engine.subscribe(tags(3), with_events({"ns=2;s=Plant"}));
  EXPECT_EQ(server.item_calls.size(), 2u);
  engine.subscribe(tags(3), {});
  EXPECT_EQ(server.deleted_items.size(), 2u);
  EXPECT_EQ(engine.status().event_items_ok, 0u);
  EXPECT_EQ(engine.status().items_ok, 3u);
}

TEST_F(SubscriptionEventsTest, ReclaimedSubscriptionsGetNewEventItems) {
  engine.subscribe(tags(2), with_events({"i=2253"}));
  const pyqar::ReclaimableSubscriptions previous = engine.reclaimable();
  ASSERT_EQ(previous.subscriptions.size(), 1u);
  ASSERT_EQ(previous.subscriptions[0].items.size(), 3u);
  EXPECT_EQ(previous.subscriptions[0].items[2].tag_key, "event:i=2253");

  FakeSubscriptionServices later;
  later.next_item_id = 10;
  SubscriptionEngine next(later, {.clock = [this] { return now; }});
  next.reclaim_at_subscribe(previous);
  next.subscribe(tags(2), with_events({"i=2253"}));
  ASSERT_EQ(later.deleted_items.size(), 1u);
  EXPECT_EQ(later.deleted_items[0].monitored_item_ids, (std::vector<std::uint32_t>{3}));
  ASSERT_EQ(later.item_calls.size(), 1u);
  ASSERT_EQ(later.item_calls[0].items.size(), 1u);
  EXPECT_EQ(later.item_calls[0].items[0].attribute_id, kAttributeEventNotifier);
  // The old event item's handle is not the new one's: its late events are not taken.
  EXPECT_NE(later.item_calls[0].items[0].client_handle,
            previous.subscriptions[0].items[2].client_handle);
  next.poll(0ms);
  EXPECT_EQ(later.refreshes.size(), 1u);
  EXPECT_EQ(next.status().items_ok, 2u);
  EXPECT_EQ(next.status().event_items_ok, 1u);
}

}  // namespace
