// Taking over the subscriptions an earlier process left on the server: transferred to the new
// session, the messages after the last kept one asked for again (and stored once), the client
// handles mapped to the new tag list, the items of tags that left deleted; what the server
// will not transfer is created as on a first start. Against the scripted server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_subscription_services.h"
#include "ua/acknowledgement_ledger.h"
#include "ua/status_code.h"
#include "ua/subscription_engine.h"

namespace {

using namespace pyqar::ua;
using pyqar::KeptSequence;
using pyqar::MonitoredTag;
using pyqar::ReclaimableSubscriptions;
using pyqar::SubscriptionUpdate;
using pyqar::ua::testing::FakeSubscriptionServices;
using namespace std::chrono_literals;

constexpr std::int64_t kT = 133'000'000'000'000'000;

std::vector<MonitoredTag> named(const std::vector<std::string>& names) {
  std::vector<MonitoredTag> out(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    out[i].tag.namespace_index = 2;
    out[i].tag.tag_name = names[i];
  }
  return out;
}

using Values = std::vector<std::pair<std::size_t, double>>;
Values values(const SubscriptionUpdate& u) {
  Values out;
  for (const auto& c : u.changes) out.emplace_back(c.tag_index, std::get<double>(c.value.value));
  return out;
}

class SubscriptionReclaimerTest : public ::testing::Test {
 protected:
  // The earlier process: T0, T1, T2 in subscription 1 (handles 0..2, item ids 1..3), its
  // first message kept and acknowledged; then killed.
  ReclaimableSubscriptions earlier_run() {
    FakeSubscriptionServices first;
    SubscriptionEngine engine(first, {});
    engine.subscribe(named({"T0", "T1", "T2"}), {});
    first.queue(
        FakeSubscriptionServices::answer(1, FakeSubscriptionServices::message(1, {{0, 1.0}}, kT)));
    engine.acknowledge(engine.poll(0ms).ack_token);
    EXPECT_EQ(engine.kept_sequences(), (std::vector<KeptSequence>{{1, 1}}));
    return engine.reclaimable();
  }

  FakeSubscriptionServices server;
  SubscriptionEngine engine{server, {}};
};

TEST_F(SubscriptionReclaimerTest, MessagesAfterTheLastKeptAreAskedForAgainAndStoredOnce) {
  const ReclaimableSubscriptions previous = earlier_run();
  ASSERT_EQ(previous.subscriptions.size(), 1u);
  EXPECT_EQ(previous.subscriptions[0].last_kept, 1u);

  // Message 1's acknowledgement was lost with the process; 2 and 3 were never kept.
  server.transfer_available[1] = {1, 2, 3};
  server.retained[{1, 1}] = FakeSubscriptionServices::message(1, {{0, 1.0}}, kT);
  server.retained[{1, 2}] = FakeSubscriptionServices::message(2, {{0, 2.0}, {2, 20.0}}, kT + 1);
  server.retained[{1, 3}] = FakeSubscriptionServices::message(3, {{1, 30.0}}, kT + 2);
  engine.reclaim_at_subscribe(previous);
  // Reordered; T1 left, T9 is new.
  const auto change = engine.subscribe(named({"T2", "T0", "T9"}), {});
  EXPECT_EQ(change.kept, 2u);
  EXPECT_EQ(change.removed, 1u);
  EXPECT_EQ(change.added, 1u);

  EXPECT_EQ(server.transfers, (std::vector<std::vector<std::uint32_t>>{{1}}));
  EXPECT_TRUE(server.created.empty());
  EXPECT_EQ(server.republished,
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 2}, {1, 3}, {1, 4}}));
  ASSERT_EQ(server.deleted_items.size(), 1u);
  EXPECT_EQ(server.deleted_items[0].subscription_id, 1u);
  EXPECT_EQ(server.deleted_items[0].monitored_item_ids, (std::vector<std::uint32_t>{2}));
  // Only the new tag's item is made, in the subscription taken over.
  ASSERT_EQ(server.item_calls.size(), 1u);
  EXPECT_EQ(server.item_calls[0].subscription_id, 1u);
  ASSERT_EQ(server.item_calls[0].items.size(), 1u);
  EXPECT_EQ(server.item_calls[0].items[0].node.text, "T9");

  // T0's value 2 and T2's 20 by their places in the new list; the left tag's 30 is dropped.
  const SubscriptionUpdate u = engine.poll(0ms);
  EXPECT_EQ(values(u), (Values{{1, 2.0}, {0, 20.0}}));
  // The lost acknowledgement goes out at once; nothing is kept past 1 until the rows are.
  const auto acks = server.acknowledged();
  ASSERT_FALSE(acks.empty());
  EXPECT_EQ(acks[0].subscription_id, 1u);
  EXPECT_EQ(acks[0].sequence_number, 1u);
  EXPECT_EQ(engine.kept_sequences(), (std::vector<KeptSequence>{{1, 1}}));
  // What the write stage records for these rows before they count as kept.
  EXPECT_EQ(engine.kept_sequences(u.ack_token), (std::vector<KeptSequence>{{1, 3}}));
  engine.acknowledge(u.ack_token);
  EXPECT_EQ(engine.kept_sequences(), (std::vector<KeptSequence>{{1, 3}}));

  // What a later process would need now maps the tags that stay to their old handles.
  const ReclaimableSubscriptions now = engine.reclaimable();
  ASSERT_EQ(now.subscriptions.size(), 1u);
  std::vector<std::pair<std::string, std::uint32_t>> handles;
  for (const auto& item : now.subscriptions[0].items)
    handles.emplace_back(item.tag_key, item.client_handle);
  std::sort(handles.begin(), handles.end());
  ASSERT_EQ(handles.size(), 3u);
  EXPECT_EQ(handles[0], (std::pair<std::string, std::uint32_t>{"2:T0", 0}));
  EXPECT_EQ(handles[1], (std::pair<std::string, std::uint32_t>{"2:T2", 2}));
  // T9 took T1's slot, a generation on: a late value of T1 is not taken for it.
  EXPECT_EQ(handles[2].first, "2:T9");
  EXPECT_EQ(handles[2].second & 0xFFFFFFu, 1u);
  EXPECT_NE(handles[2].second, 1u);
}

TEST_F(SubscriptionReclaimerTest, WhatTheServerWillNotTransferIsCreatedAsOnAFirstStart) {
  const ReclaimableSubscriptions previous = earlier_run();
  server.transfer_status[1] = status::BadSubscriptionIdInvalid;
  engine.reclaim_at_subscribe(previous);
  EXPECT_EQ(engine.subscribe(named({"T0", "T1", "T2"}), {}).added, 3u);
  EXPECT_EQ(server.transfers.size(), 1u);
  EXPECT_EQ(server.created, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(server.item_calls.at(0).items.size(), 3u);
  EXPECT_TRUE(server.republished.empty());
  EXPECT_TRUE(server.deleted_items.empty());

  // Not tried at all for an anonymous session over security None, nor for another
  // publishing interval.
  for (const bool anonymous : {true, false}) {
    FakeSubscriptionServices other;
    other.allow_transfer = !anonymous;
    SubscriptionEngine fresh(other, {});
    fresh.reclaim_at_subscribe(previous);
    fresh.subscribe(named({"T0"}), {.publishing_interval_ms = anonymous ? 1000.0 : 250.0});
    EXPECT_TRUE(other.transfers.empty());
    EXPECT_EQ(other.created.size(), 1u);
  }
}

TEST_F(SubscriptionReclaimerTest, ASubscriptionAllOfWhoseTagsLeftIsDeleted) {
  const ReclaimableSubscriptions previous = earlier_run();
  engine.reclaim_at_subscribe(previous);
  engine.subscribe(named({"T7"}), {});
  EXPECT_EQ(server.deleted, (std::vector<std::vector<std::uint32_t>>{{1}}));
  EXPECT_EQ(server.created.size(), 1u);
  EXPECT_EQ(engine.status().subscriptions, 1u);
  EXPECT_EQ(engine.status().items_ok, 1u);
}

// A message without rows is acknowledged at once; one waiting for its rows before it still
// bounds what counts as kept.
TEST(AcknowledgementLedger, KeptThroughStopsBeforeTheFirstMessageStillWaiting) {
  AcknowledgementLedger ledger;
  ledger.gather(1, 5);
  const std::uint64_t token = ledger.seal(true);
  ledger.gather(1, 6);
  ledger.gather(2, 9);
  EXPECT_EQ(ledger.seal(false), 0u);
  using Kept = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(ledger.kept_through(), (Kept{{1, 4}, {2, 9}}));
  ledger.kept(token);
  EXPECT_EQ(ledger.kept_through(), (Kept{{1, 6}, {2, 9}}));
  ledger.forget(2);
  EXPECT_EQ(ledger.kept_through(), (Kept{{1, 6}}));
}

}  // namespace
