// A collector that subscribes instead of reading: rows at their own times, acknowledgement only
// of what is kept, heartbeat rows, a tag list that changes, failures resumed on the same source,
// and a source without subscriptions refused. Against a scripted source and database, one step
// at a time.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_subscription_test.h"

namespace {

using quellin::AcquisitionOptions;
using quellin::BasePyQARCollectorThread;
using quellin::ResultList;
using quellin_test::at_us;
using quellin_test::kT0;
using quellin_test::ScriptedOpc;

class SubscribingCollectorTest : public quellin_test::ScriptedSubscriptionTest {};

TEST_F(SubscribingCollectorTest, SubscribesEveryTagWithItsOwnSettingsOnceAndNeverReads) {
  AcquisitionOptions acquisition = subscribing();
  acquisition.monitor = {.sampling_interval_ms = 500.0, .queue_size = 0};
  acquisition.tag_monitor["2:Level"] = {.sampling_interval_ms = 100.0,
                                        .queue_size = 0,
                                        .deadband_type = pyqar::DeadbandType::absolute,
                                        .deadband = 0.5};
  auto c = make(true, acquisition);
  c->collection_step();
  c->collection_step();
  ASSERT_EQ(opc->subscribed.size(), 1u);
  const auto& monitored = opc->subscribed[0];
  ASSERT_EQ(monitored.size(), 3u);
  EXPECT_EQ(monitored[0].tag.namespace_index, 2);
  EXPECT_EQ(monitored[0].tag.tag_name, "Flow");
  EXPECT_EQ(monitored[0].settings, acquisition.monitor);
  EXPECT_EQ(monitored[1].settings, acquisition.tag_monitor["2:Level"]);
  EXPECT_EQ(monitored[2].settings, acquisition.monitor);
  EXPECT_EQ(opc->publishing_ms, std::vector<double>{2000.0});
  EXPECT_TRUE(opc->batches.empty());  // no Read behind the subscriptions' back
  EXPECT_EQ(log.count("INFO Subscribed 3 tags: 3 items monitored, 0 failed, in 1 subscriptions"),
            1);
  EXPECT_EQ(c->subscription_totals().items_ok, 3u);
}

TEST_F(SubscribingCollectorTest, AChangedTagListIsSubscribedAgainAndTheSameOneIsNot) {
  auto c = make_subscribed();
  tags = {"2:Flow", "2:Temp"};
  c->collection_step();
  c->collection_step();
  ASSERT_EQ(opc->subscribed.size(), 2u);
  EXPECT_EQ(opc->subscribed[1].size(), 2u);
  EXPECT_EQ(opc->subscribed[1][1].tag.tag_name, "Temp");
  EXPECT_EQ(
      log.count("INFO The tag list changed (2 tags now, 3 before): 2 kept, 0 added, 1 removed; "
                "subscribing the changes"),
      1);
  // Tag indexes now refer to the new list.
  arrives({{1, 0}}, 4);
  c->collection_step();
  ASSERT_EQ(db->writes.size(), 1u);
  EXPECT_EQ(db->writes[0][0].tag_id, 23);
}

TEST_F(SubscribingCollectorTest, EveryValueIsStoredOnceAtItsOwnTimeWithItsSourceTimeAndStatus) {
  auto c = make_subscribed();
  // Two changes of one tag within one interval, and a value without a source time, whose time
  // is the server's.
  pyqar::SubscriptionUpdate first =
      ScriptedOpc::changes({{0, at_us(kT0)}, {0, at_us(kT0 + 250'000)}}, 1);
  pyqar::SubscriptionUpdate second = ScriptedOpc::changes({{1, at_us(kT0 + 400'000)}}, 2);
  second.changes[0].value.source_timestamp.reset();
  second.changes[0].value.server_timestamp = at_us(kT0 + 400'000);
  second.changes[0].value.status = 0x40940000u;  // Uncertain, with its sub-code
  second.changes[0].value.quality = pyqar::QAR_QUALITY::QAR_HIGH_UNCERTAIN;
  opc->updates = {first, second};
  c->collection_step();

  ASSERT_EQ(db->writes.size(), 1u);  // one step, one write
  const auto& rows = db->writes[0];
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].tag_id, 21);
  EXPECT_EQ(rows[0].time_us, kT0);
  EXPECT_EQ(rows[0].source_time_us, kT0);
  EXPECT_EQ(rows[0].value, 1.0);
  EXPECT_EQ(rows[1].time_us, kT0 + 250'000);
  EXPECT_EQ(rows[1].value, 2.0);
  EXPECT_EQ(rows[2].tag_id, 22);
  EXPECT_EQ(rows[2].time_us, kT0 + 400'000);
  EXPECT_FALSE(rows[2].source_time_us.has_value());
  EXPECT_EQ(rows[2].status, 0x40940000u);
  EXPECT_EQ(rows[2].quality, "Uncertain");
  EXPECT_EQ(db_statuses, (std::vector<std::pair<bool, std::size_t>>{{true, 3}}));
  // The owner's queue gets the same values, as they arrived.
  std::lock_guard g(lock);
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.front().size(), 3u);
  EXPECT_EQ(queue.front()[2].tag, "2:Level");
  EXPECT_EQ(statuses.back(), "Received 3 values (1 bad) from 3 monitored items.");
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{2});
}

TEST_F(SubscribingCollectorTest, AQuietStepQueuesAndWritesNothingAndWaitsOnlyBriefly) {
  auto c = make_subscribed();
  c->collection_step();
  EXPECT_EQ(db->write_calls, 0);
  EXPECT_TRUE(queue.empty());
  EXPECT_TRUE(db_statuses.empty());
  // Each step waits at most kStepWaitSeconds for the first notification, never an interval.
  for (const std::int64_t wait : opc->poll_waits_ms) EXPECT_LE(wait, 100);
  EXPECT_TRUE(time.sleeps.empty());
  EXPECT_EQ(c->consecutive_errors(), 0);
}

TEST_F(SubscribingCollectorTest, WithoutATsdbAnUpdateIsAcknowledgedOnceQueued) {
  auto c = make_subscribed(false);
  arrives({{2, 0}}, 9);
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{9});
  EXPECT_EQ(queue.size(), 1u);
  // A keep-alive with nothing in it has nothing to acknowledge.
  opc->updates.push_back({});
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{9});
}

// A source whose subscriptions a later process could not take over gets no state written (a
// stale one would be offered to the next run), and the log says once what a crash costs.
TEST_F(SubscribingCollectorTest, NoStateIsKeptWhereASourceCannotHandItsSubscriptionsOver) {
  quellin::OPCCollector::Options options = subscribing_options();
  options.spool = quellin::SpoolSettings{.dir = dir.path() / "spool", .max_bytes = 1 << 20};
  quellin::OPCCollector c(std::move(options));
  for (const std::uint64_t token : {3, 4}) {
    c.collection_step();
    arrives({{0, 0}}, token);
  }
  c.collection_step();
  EXPECT_EQ(opc->acknowledged, (std::vector<std::uint64_t>{3, 4}));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "spool" / "subscriptions.state"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "spool" / "subscriptions.kept"));
  EXPECT_EQ(log.count("WARNING Subscriptions of opc.tcp://localhost:46011: the server's queue of "
                      "the previous run cannot be reclaimed: the scripted server keeps nothing "
                      "for later; after a crash (kill -9, power cut) the changes not yet stored "
                      "are lost"),
            1)
      << log.dump();
}

TEST_F(SubscribingCollectorTest, RowsTheDatabaseCannotTakeAreStillKeptAndAcknowledged) {
  // No spool: rows of a failed write are dropped on purpose, and holding the server's copy
  // would not bring them back; a tag the database does not know is dropped as ever.
  tags = {"2:Flow", "2:Unknown"};
  auto c = make_subscribed();
  arrives({{1, 0}}, 3);
  c->collection_step();
  db->write_throws = true;
  arrives({{0, 1}}, 4);
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, (std::vector<std::uint64_t>{3, 4}));
  EXPECT_EQ(db->writes.size(), 0u);
}

TEST_F(SubscribingCollectorTest, HeartbeatRepeatsASteadyValueAtNowWithItsOriginalSourceTime) {
  auto c = make(true, subscribing(10.0));
  c->collection_step();  // subscribes at 100.0 (+ its short wait)
  arrives({{0, 0}}, 1);
  c->collection_step();  // Flow arrives at 100.1
  const double arrived = time.now;
  time.now = arrived + 5.0;
  c->collection_step();
  EXPECT_EQ(db->writes.size(), 1u) << "a heartbeat before its time";

  time.now = arrived + 10.0;
  c->collection_step();
  ASSERT_EQ(db->writes.size(), 2u);
  ASSERT_EQ(db->writes[1].size(), 1u);  // Level and Temp never had a value to repeat
  const auto& beat = db->writes[1][0];
  EXPECT_EQ(beat.tag_id, 21);
  EXPECT_EQ(beat.value, 1.0);
  EXPECT_EQ(beat.source_time_us, kT0);
  EXPECT_EQ(beat.time_us, wall_at(arrived + 10.0 + 0.1));
  EXPECT_EQ(statuses.back(), "Received 0 values (0 bad) from 3 monitored items.");

  // The heartbeat counts as stored: the next comes another period later; a change restarts it.
  c->collection_step();
  EXPECT_EQ(db->writes.size(), 2u);
  time.now += 4.0;
  arrives({{0, 20'000'000}}, 2);
  c->collection_step();
  const double changed = time.now;
  time.now = changed + 9.0;
  c->collection_step();
  EXPECT_EQ(db->writes.size(), 3u);
  time.now = changed + 10.0;
  c->collection_step();
  ASSERT_EQ(db->writes.size(), 4u);
  EXPECT_EQ(db->writes[3][0].source_time_us, kT0 + 20'000'000);
}

// A server whose clock runs an hour behind ours: its heartbeat rows follow its clock, moved
// on by the time that passed here since the update that gave it.
TEST_F(SubscribingCollectorTest, HeartbeatRowsFollowTheServersClockWhenTheUpdateGivesIt) {
  auto c = make(true, subscribing(10.0));
  c->collection_step();
  pyqar::SubscriptionUpdate update = ScriptedOpc::changes({{0, at_us(kT0)}}, 1);
  update.server_time = at_us(kT0 + 500'000);
  opc->updates.push_back(update);
  c->collection_step();
  const double arrived = time.now;
  time.now = arrived + 10.0;
  c->collection_step();
  ASSERT_EQ(db->writes.size(), 2u);
  ASSERT_EQ(db->writes[1].size(), 1u);
  EXPECT_EQ(db->writes[1][0].source_time_us, kT0);
  EXPECT_EQ(db->writes[1][0].time_us, kT0 + 500'000 + 10'100'000);  // + 10 s and the 0.1 s wait
}

TEST_F(SubscribingCollectorTest, APollFailureKeepsWhatArrivedAndResumesTheSameSource) {
  auto c = make_subscribed();
  arrives({{0, 0}}, 5);
  int polls = 0;
  opc->before_poll = [&polls] {
    if (++polls == 2) throw std::runtime_error("connection reset by peer");
  };
  c->collection_step();
  // The value the source handed over before the failure is stored, not yet acknowledged.
  ASSERT_EQ(db->writes.size(), 1u);
  EXPECT_EQ(db->writes[0][0].time_us, kT0);
  EXPECT_TRUE(opc->acknowledged.empty());
  EXPECT_EQ(log.count("ERROR Read UA error: connection reset by peer"), 1);
  EXPECT_FALSE(c->opc_status());
  EXPECT_EQ(c->consecutive_errors(), 1);

  // Resuming fails while the server is away, then succeeds: same source, same subscriptions.
  opc->on_resume = [] { throw std::runtime_error("server not reachable"); };
  c->collection_step();
  EXPECT_EQ(log.count("ERROR Resume UA subscriptions error: server not reachable"), 1);
  EXPECT_EQ(c->consecutive_errors(), 2);
  opc->on_resume = nullptr;
  c->collection_step();
  EXPECT_EQ(opc->resumes, 2);
  EXPECT_EQ(log.count("INFO UA resuming the subscriptions..."), 2);
  EXPECT_EQ(opc->creates, 1);
  EXPECT_EQ(opc->subscribed.size(), 1u);
  EXPECT_TRUE(c->opc_status());
  EXPECT_EQ(c->consecutive_errors(), 0);
  // Kept before the failure, acknowledged with the first poll after it.
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{5});
}

TEST_F(SubscribingCollectorTest, AFailedSubscribeOpensANewSourceAndSubscribesOnIt) {
  auto c = make();
  int attempts = 0;
  opc->on_subscribe = [&attempts] {
    if (++attempts == 1) throw std::runtime_error("BadTooManySubscriptions");
  };
  c->collection_step();
  EXPECT_EQ(log.count("ERROR Subscribe UA error: BadTooManySubscriptions"), 1);
  c->collection_step();
  EXPECT_EQ(opc->creates, 2);
  EXPECT_EQ(opc->resumes, 0);
  EXPECT_EQ(opc->subscribed.size(), 1u);
  EXPECT_TRUE(c->opc_status());
}

TEST_F(SubscribingCollectorTest, ASourceWithoutSubscriptionsIsRefusedAndNeverPolled) {
  opc->subscribable = false;
  const std::string expected =
      "opc_acquisition = subscribe, but the DA source opc.da://localhost/OstrevoV2.1.0 has no "
      "subscriptions; set opc_acquisition = read to poll it";
  auto c = make(true, subscribing(), "opc.da://localhost/OstrevoV2.1.0");
  try {
    c->collection_step();
    FAIL() << "a step went ahead without subscriptions";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(e.what(), expected);
  }
  // The thread ends with the same words rather than falling back to reading.
  auto threaded = make(true, subscribing(), "opc.da://localhost/OstrevoV2.1.0");
  threaded->run();
  EXPECT_EQ(log.count("ERROR OPC collector thread ended by an error: " + expected), 1);
  EXPECT_TRUE(opc->batches.empty());
  EXPECT_TRUE(opc->subscribed.empty());
}

TEST_F(SubscribingCollectorTest, DisconnectingDeletesTheSubscriptionsOnlyWhenThereAreAny) {
  auto c = make();
  c->disconnect_source();
  EXPECT_EQ(opc->unsubscribes, 0);
  c->collection_step();
  c->disconnect_source();
  EXPECT_EQ(opc->unsubscribes, 1);
  EXPECT_EQ(log.count("INFO Deleting the subscriptions"), 1);
  // A new source is subscribed anew.
  c->collection_step();
  EXPECT_EQ(opc->subscribed.size(), 2u);
}

// Tickets the test hands out and keeps by hand.
class HoldingCollector : public BasePyQARCollectorThread {
 public:
  using BasePyQARCollectorThread::BasePyQARCollectorThread;
  ~HoldingCollector() override { shutdown(); }

  std::uint64_t kept = 0;
  std::uint64_t next_ticket = 1;
  std::vector<std::vector<std::int64_t>> row_times;

 protected:
  void handle_data(ResultList&) override { ADD_FAILURE() << "subscribing never polls"; }
  std::uint64_t handle_changes(ResultList&, std::vector<std::int64_t> times,
                               std::vector<pyqar::KeptSequence>,
                               std::vector<pyqar::EventRecord>) override {
    row_times.push_back(std::move(times));
    return next_ticket++;
  }
  std::uint64_t kept_through() const override { return kept; }
};

TEST_F(SubscribingCollectorTest, AnUpdateIsAcknowledgedOnlyOnceItsRowsAreKept) {
  HoldingCollector c(base_options());
  arrives({{0, 0}}, 5);
  c._process_collection_cycle();  // ticket 1
  arrives({{1, 0}}, 6);
  c._process_collection_cycle();  // ticket 2
  EXPECT_TRUE(opc->acknowledged.empty());
  c.kept = 1;
  c._process_collection_cycle();
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{5});
  // A token without rows waits behind the one still unkept: it would acknowledge that too.
  opc->updates.push_back({.changes = {}, .ack_token = 7});
  c._process_collection_cycle();
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{5});
  c.kept = 2;
  c._process_collection_cycle();
  EXPECT_EQ(opc->acknowledged, (std::vector<std::uint64_t>{5, 7}));
  ASSERT_EQ(c.row_times.size(), 2u);
  EXPECT_EQ(c.row_times[0], std::vector<std::int64_t>{kT0});
}

}  // namespace
