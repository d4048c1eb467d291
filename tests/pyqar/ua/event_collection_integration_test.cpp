// Events through the OPC UA source against node-opcua's events (--events): plain events with
// their fields, the alarm active before the subscription reported by ConditionRefresh, a
// notifier the server does not have named in the log while values still arrive, and events
// alone without tags.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "pyqar/rt_source.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::UaTestServer;
using namespace std::chrono_literals;

pyqar::MonitoredTag level_tag() {
  return {.tag = {.data_type = 8, .namespace_index = 2, .tag_name = "Events.Level"},
          .settings = {}};
}

pyqar::SubscriptionSettings with_events(std::vector<std::string> notifiers) {
  pyqar::SubscriptionSettings s;
  s.publishing_interval_ms = 200;
  s.events.notifiers = std::move(notifiers);
  return s;
}

// What a source delivered until `done` held or `limit` passed.
struct Collected {
  std::vector<pyqar::EventRecord> events;
  std::size_t changes = 0;
  std::uint64_t refreshes_ok = 0;
  std::uint64_t recreations = 0;

  template <typename Done>
  void poll_until(pyqar::RtSource& source, Done done, std::chrono::seconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done(*this) && std::chrono::steady_clock::now() < end) {
      pyqar::SubscriptionUpdate u;
      try {
        u = source.poll(200ms);
      } catch (const std::runtime_error&) {
        // The server went away: resumed as a collector does, once it is back.
        std::this_thread::sleep_for(300ms);
        try {
          source.resume();
        } catch (const std::runtime_error&) {
        }
        continue;
      }
      events.insert(events.end(), u.events.begin(), u.events.end());
      changes += u.changes.size();
      refreshes_ok += u.condition_refreshes_ok;
      recreations += u.recreations;
      source.acknowledge(u.ack_token);
    }
  }
  const pyqar::EventRecord* find(std::string_view message_prefix) const {
    for (const auto& e : events) {
      if (e.message.starts_with(message_prefix)) return &e;
    }
    return nullptr;
  }
  const pyqar::EventRecord* condition(std::string_view id_part, bool refreshed) const {
    for (const auto& e : events) {
      if (e.condition_id && e.condition_id->find(id_part) != std::string::npos &&
          e.refresh == refreshed)
        return &e;
    }
    return nullptr;
  }
};

class EventsOnTestServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 1;
    options.events = true;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
    source_ = pyqar::make_ua_source(server_->url(), 1000);
  }
  void TearDown() override {
    if (source_) source_->unsubscribe();
  }

  static inline std::unique_ptr<UaTestServer> server_;
  std::unique_ptr<pyqar::RtSource> source_;
};

TEST_F(EventsOnTestServer, TheServerObjectGivesPlainEventsAndTheAlarmActiveBeforeIt) {
  kestrane_test::LogCapture log("pyqar");
  source_->subscribe({level_tag()}, with_events({"i=2253"}));
  Collected got;
  got.poll_until(*source_, [](const Collected& c) {
    return c.find("tick ") && c.condition("Events.PressureAlarm", true) && c.changes > 0;
  });
  const pyqar::SubscriptionStatus status = source_->subscription_status();
  EXPECT_EQ(status.event_items_ok, 1u);
  EXPECT_EQ(status.items_ok, 1u);
  EXPECT_GE(got.refreshes_ok, 1u);
  // node-opcua refuses the condition clauses in its filter result and fills them all the same.
  EXPECT_FALSE(log.has_prefix("warning", "OPC UA event notifier 'i=2253'")) << log.dump();
  EXPECT_GT(got.changes, 0u);

  const pyqar::EventRecord* tick = got.find("tick ");
  ASSERT_NE(tick, nullptr) << "no plain event within 15 s";
  EXPECT_FALSE(tick->refresh);
  EXPECT_FALSE(tick->event_id.empty());
  EXPECT_GE(tick->severity, 100);
  EXPECT_NE(tick->source_node.find("Events.Plant"), std::string::npos) << tick->source_node;
  EXPECT_FALSE(tick->condition_id);
  EXPECT_NE(tick->fields_json.find("\"Message\""), std::string::npos) << tick->fields_json;

  const pyqar::EventRecord* alarm = got.condition("Events.PressureAlarm", true);
  ASSERT_NE(alarm, nullptr) << "the active alarm was not refreshed within 15 s";
  EXPECT_EQ(alarm->active, true);
  EXPECT_EQ(alarm->acked, false);
  EXPECT_EQ(alarm->severity, 900);

  // Every EventId once, refreshed states aside.
  std::set<std::string> ids;
  for (const auto& e : got.events) {
    if (!e.refresh) {
      EXPECT_TRUE(ids.insert(e.event_id).second) << e.message;
    }
  }
}

TEST_F(EventsOnTestServer, ANotifierTheServerLacksIsNamedWhileValuesArrive) {
  kestrane_test::LogCapture log("pyqar");
  source_->subscribe({level_tag()}, with_events({"ns=2;s=Nope"}));
  Collected got;
  got.poll_until(*source_, [](const Collected& c) { return c.changes > 1; });
  EXPECT_GT(got.changes, 1u);
  EXPECT_TRUE(got.events.empty());
  const pyqar::SubscriptionStatus status = source_->subscription_status();
  EXPECT_EQ(status.items_ok, 1u);
  EXPECT_EQ(status.event_items_failed, 1u);
  EXPECT_TRUE(log.has_prefix("error", "OPC UA event notifier 'ns=2;s=Nope' refused: Bad"))
      << log.dump();
}

TEST_F(EventsOnTestServer, EventsAloneNeedNoTags) {
  // The notifier named by its namespace URI.
  source_->subscribe({}, with_events({"nsu=urn:kestrane:demo;s=Events.Plant"}));
  Collected got;
  got.poll_until(*source_, [](const Collected& c) { return c.events.size() >= 2; });
  EXPECT_GE(got.events.size(), 2u);
  EXPECT_EQ(got.changes, 0u);
  const pyqar::SubscriptionStatus status = source_->subscription_status();
  EXPECT_EQ(status.event_items_ok, 1u);
  EXPECT_EQ(status.items_ok + status.items_failed, 0u);
}

TEST(EventsAcrossServerRestart, TheAlarmStillActiveIsRefreshedAgain) {
  if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  UaTestServer::Options options;
  options.tags = 1;
  options.events = true;
  auto server = std::make_unique<UaTestServer>(options);
  auto source = pyqar::make_ua_source(server->url(), 1000);
  source->subscribe({level_tag()}, with_events({"i=2253"}));
  const auto refreshed_alarm = [](const Collected& c) {
    return c.condition("Events.PressureAlarm", true) != nullptr;
  };
  Collected before;
  before.poll_until(*source, refreshed_alarm);
  ASSERT_TRUE(refreshed_alarm(before)) << "the active alarm was not refreshed within 15 s";

  options.port = server->port();
  server->kill();
  server = std::make_unique<UaTestServer>(options);
  Collected after;
  after.poll_until(*source, refreshed_alarm, 60s);
  EXPECT_TRUE(refreshed_alarm(after)) << "the alarm was not refreshed after the restart";
  EXPECT_GE(after.refreshes_ok, 1u);
  EXPECT_EQ(source->subscription_status().event_items_ok, 1u);
  source->unsubscribe();
}

}  // namespace
