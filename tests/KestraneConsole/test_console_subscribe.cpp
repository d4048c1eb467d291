// The built KestraneConsole program collecting through subscriptions from the node-opcua test
// server, as an operator runs it: rows read back from SQLite, metrics from the listener, faults
// made from outside (the server killed, the network cut, sessions and subscriptions dropped).

#include "console_program_fixture.h"

namespace kestrane_console {
namespace {

class SubscribeEndToEnd : public SubscribeProgram {};

// Ramp.1 with no filter, Ramp.2 with an absolute deadband of 2.5 of its own, Ramp.Static.
TEST_F(SubscribeEndToEnd, EveryChangeOnceAtItsSourceTimeStaticOnceDeadbandFilters) {
  ASSERT_TRUE(launch({.server = ramp_server(3),
                      .tags = {"ns=2;s=Ramp.1,,,", "ns=2;s=Ramp.2,,,2.5", "ns=2;s=Ramp.Static,,,"},
                      .settings = std::string(kRampSettings) + "opc_deadband_type = absolute\n",
                      .tag_header = "FullTagName,Description,SamplingInterval,Deadband",
                      .notifications = 6}));
  ASSERT_EQ(stop(), 0) << output();

  const auto ramp = rows_of("ns=2;s=Ramp.1");
  ASSERT_GE(ramp.size(), 40u) << output();
  expect_whole_ramp(ramp);

  // The deadband lets a value through only once it moved more than 2.5 from the last one sent.
  const auto filtered = rows_of("ns=2;s=Ramp.2");
  ASSERT_GE(filtered.size(), 5u);
  for (std::size_t i = 1; i < filtered.size(); ++i) {
    EXPECT_EQ(filtered[i].value - filtered[i - 1].value, 3) << "row " << i;
  }

  const auto steady = rows_of("ns=2;s=Ramp.Static");
  ASSERT_EQ(steady.size(), 1u);
  EXPECT_EQ(steady[0].value, 42);
  EXPECT_EQ(steady[0].time, steady[0].source_time);
}

// A tag that does not change is stored again every heartbeat, at the time of storing, with the
// source time it had; a changing one never needs it.
TEST_F(SubscribeEndToEnd, HeartbeatStoresAnUnchangedValueAgainWithItsSourceTime) {
  ASSERT_TRUE(launch({.tags = {"ns=2;s=Ramp.1,", "ns=2;s=Ramp.Static,"},
                      .settings = "collection_interval = 0.2\nopc_sampling_interval = 0\n"
                                  "opc_heartbeat = 1\n",
                      .notifications = 5}));
  std::this_thread::sleep_for(3s);
  ASSERT_NO_FATAL_FAILURE(stop_and_expect_whole_ramp());

  const auto steady = rows_of("ns=2;s=Ramp.Static");
  ASSERT_GE(steady.size(), 3u) << output();
  EXPECT_EQ(steady[0].time, steady[0].source_time);
  for (std::size_t i = 1; i < steady.size(); ++i) {
    EXPECT_EQ(steady[i].source_time, steady[0].source_time) << "row " << i;
    EXPECT_GT(steady[i].time, steady[i - 1].time) << "row " << i;
    EXPECT_EQ(steady[i].value, 42);
  }
}

// The queue holds two values while twenty arrive per publishing interval: the server marks
// what it had to discard, and that is counted.
TEST_F(SubscribeEndToEnd, ValuesTheServerDiscardedFromAFullQueueAreCounted) {
  ASSERT_TRUE(launch(
      {.settings = "collection_interval = 1\nopc_sampling_interval = 0.05\nopc_queue_size = 2\n",
       .notifications = 0}));
  EXPECT_TRUE(wait_for([&] {
    return metric_or_zero("kestrane_values_lost_total{reason=\"overflow\"}") >= 2;
  })) << output();
  ASSERT_EQ(stop(), 0) << output();
}

// Counters whose source clock steps back an hour for 2 s of every 4 s, and whose five changes
// a second share one source time: every change is stored once, at the time the server gave.
TEST_F(SubscribeEndToEnd, EveryChangeOnceWhenSourceTimesStepBackOrRepeat) {
  UaTestServer::Options options;
  options.tags = 1;
  options.clock_quirks = 4;
  ASSERT_TRUE(launch({.server = std::move(options),
                      .tags = {"ns=2;s=Quirks.StepsBack,", "ns=2;s=Quirks.SharedTime,"},
                      .notifications = 0}));
  ASSERT_TRUE(wait_for([&] {
    return metric_or_zero("kestrane_source_time_steps_back_total") >= 2;
  })) << output();
  ASSERT_EQ(stop(), 0) << output();

  // In the order of the counter: one row per step, none twice; how often the source time went
  // back, or stayed.
  const auto check = [](std::vector<StoredRow> rows, int& back, int& same) {
    std::sort(rows.begin(), rows.end(),
              [](const StoredRow& a, const StoredRow& b) { return a.value < b.value; });
    EXPECT_GE(rows.size(), 20u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].time, rows[i].source_time) << "row " << i;
      if (i == 0) continue;
      EXPECT_EQ(rows[i].value, rows[i - 1].value + 1) << "row " << i;
      if (rows[i].source_time < rows[i - 1].source_time) ++back;
      if (rows[i].source_time == rows[i - 1].source_time) ++same;
    }
  };
  int back = 0;
  int same = 0;
  check(rows_of("ns=2;s=Quirks.StepsBack"), back, same);
  EXPECT_GE(back, 2);
  back = same = 0;
  check(rows_of("ns=2;s=Quirks.SharedTime"), back, same);
  EXPECT_EQ(back, 0);
  EXPECT_GE(same, 8);
  EXPECT_TRUE(wait_for_output("Quirks.StepsBack': its source time went back 3")) << output();
}

// Items created in calls the server takes: one that states a limit of 100 per call, one that
// refuses calls over 500 without saying so. Every item is monitored, every tag stored.
class SubscribeAtScale : public SubscribeProgram {
 protected:
  void run_with(UaTestServer::Options options) {
    constexpr int kTags = 1200;
    options.tags = 1;
    options.flat_tags = kTags;
    std::vector<std::string> tags;
    for (int n = 1; n <= kTags; ++n)
      tags.push_back("nsu=urn:kestrane:plant;s=Flat." + std::to_string(n) + ",");
    ASSERT_TRUE(launch({.server = std::move(options),
                        .tags = tags,
                        .settings = "collection_interval = 0.5\n",
                        .notifications = 0}));
    ASSERT_TRUE(wait_for_output("OPC UA subscriptions: 1200 of 1200 tags monitored")) << output();
    EXPECT_TRUE(wait_for([&] {
      return metric_or_zero("kestrane_monitored_items{state=\"ok\"}") == kTags &&
             metric_or_zero("kestrane_rows_written_total{table=\"tsdata\"}") >= kTags;
    })) << output();
    EXPECT_EQ(metric_or_zero("kestrane_monitored_items{state=\"failed\"}"), 0);
    ASSERT_EQ(stop(), 0) << output();
    EXPECT_EQ(query("SELECT count(DISTINCT tag_id) FROM tsdata").at(0), "1200");
    EXPECT_EQ(duplicates(), "0");
  }
};

TEST_F(SubscribeAtScale, ServerStatingOneHundredItemsPerCallGetsEveryItem) {
  UaTestServer::Options options;
  options.max_monitored_items_per_call = 100;
  run_with(options);
  EXPECT_EQ(output().find("refused"), std::string::npos) << output();
}

TEST_F(SubscribeAtScale, ServerRefusingCallsOverFiveHundredItemsGetsEveryItemInSmallerCalls) {
  UaTestServer::Options options;
  options.reject_items_over = 500;
  run_with(options);
  EXPECT_NE(output().find("OPC UA server refused"), std::string::npos) << output();
}

// Faults from outside while the program follows the ramp. Each waits for the healing,
// which the engine's watchdog and the collector's backoff bound to some seconds.
class SubscribeFaults : public SubscribeProgram {
 protected:
  // A ramp's rows split where a value is not the one after the last (a restarted server
  // counts from 1 anew, while the program waits for it its values go by) or where two seconds
  // passed without one (the new server's first value may happen to follow the old one's last).
  static std::vector<std::vector<StoredRow>> runs_of(const std::vector<StoredRow>& rows) {
    std::vector<std::vector<StoredRow>> runs;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i == 0 || rows[i].value != rows[i - 1].value + 1 ||
          rows[i].source_time - rows[i - 1].source_time > 2'000'000)
        runs.emplace_back();
      runs.back().push_back(rows[i]);
    }
    return runs;
  }
};

TEST_F(SubscribeFaults, ServerKilledAndRestartedOnTheSamePortGivesOneSubscriptionSetAgain) {
  ASSERT_TRUE(launch({.tags = {"ns=2;s=Ramp.1,", "ns=2;s=Ramp.Static,"}}));
  const int port = server_->port();
  server_->kill();
  server_.reset();
  std::this_thread::sleep_for(2s);
  auto options = ramp_server();
  options.port = port;
  server_.emplace(options);
  ASSERT_TRUE(wait_for_healing("OPC UA server restarted"));
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 1);
  EXPECT_EQ(metric_or_zero("kestrane_monitored_items{state=\"ok\"}"), 2);
  ASSERT_EQ(stop(), 0) << output();

  // One hole, while the server was down; each server's values at their source times.
  const auto runs = runs_of(rows_of("ns=2;s=Ramp.1"));
  ASSERT_EQ(runs.size(), 2u) << output();
  for (const auto& run : runs) {
    EXPECT_GE(run.size(), 10u);
    const auto broken = break_in_ramp(run);
    EXPECT_FALSE(broken) << *broken;
  }
  // The static value comes again from the new server, which gives it its own start as source
  // time: once from each.
  EXPECT_EQ(rows_of("ns=2;s=Ramp.Static").size(), 2u);
  EXPECT_EQ(duplicates(), "0");
}

// With the automatic queue (one publishing interval) the server cannot keep an outage's
// changes: what it discarded is counted, not silently missing.
TEST_F(SubscribeFaults, ShortCutWithTheAutomaticQueueCountsWhatTheServerDiscarded) {
  ASSERT_TRUE(launch({.through_proxy = true}));
  proxy_->cut_connections();
  ASSERT_TRUE(wait_for_healing("OPC UA session resumed on a new channel"));
  const double discarded = metric_or_zero("kestrane_values_lost_total{reason=\"overflow\"}");
  ASSERT_EQ(stop(), 0) << output();
  const auto runs = runs_of(rows_of("ns=2;s=Ramp.1"));
  ASSERT_EQ(runs.size(), 2u) << output();
  EXPECT_GE(discarded, 1) << output();
}

// A notification message spoilt on the way ends the connection, a cut shorter than the
// session's life: the same session goes on over a new connection, the server still has the
// message and it is asked for again, so it leaves no hole. The queue is long enough for the
// outage, so the server keeps every change meanwhile.
TEST_F(SubscribeFaults, NotificationLostWithTheConnectionIsPublishedAgain) {
  ASSERT_TRUE(launch(
      {.settings = std::string(kRampSettings) + "opc_queue_size = 1000\n", .through_proxy = true}));
  proxy_->flip_in_next_message(0);
  ASSERT_TRUE(wait_for_healing("OPC UA session resumed on a new channel"));
  EXPECT_EQ(proxy_->tampered(), 1);
  stop_and_expect_whole_ramp();
}

// The session ends on the server while the network is down (as after an outage longer than
// its timeout): an anonymous session's subscriptions cannot move, so they are made again.
TEST_F(SubscribeFaults, SessionLostDuringAnOutageIsReplacedAndItsSubscriptionsMadeAgain) {
  ASSERT_TRUE(launch({.through_proxy = true}));
  proxy_->set_refusing(true);
  proxy_->cut_connections();
  server_->expire_sessions();
  std::this_thread::sleep_for(2s);
  proxy_->set_refusing(false);
  ASSERT_TRUE(
      wait_for_healing("OPC UA session replaced; subscriptions cannot move to a new "
                       "session of an anonymous user over security None: creating 1 "
                       "subscriptions again"));
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 1);
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_EQ(duplicates(), "0");
}

// Two subscriptions (the server takes two items in each); the server drops the first. Only it
// is made again: the tags of the other one go on without a hole.
TEST_F(SubscribeFaults, SubscriptionDeletedByTheServerIsTheOnlyOneMadeAgain) {
  auto options = ramp_server(3);
  options.max_monitored_items_per_subscription = 2;
  ASSERT_TRUE(launch(
      {.server = options,
       .tags = {"ns=2;s=Ramp.1,", "ns=2;s=Ramp.2,", "ns=2;s=Ramp.3,", "ns=2;s=Ramp.Static,"}}));
  ASSERT_TRUE(wait_for_output("4 of 4 tags monitored in 2 subscriptions")) << output();
  server_->delete_lowest_subscription();
  ASSERT_TRUE(wait_for([&] {
    return metric_or_zero("kestrane_subscription_recreations_total") >= 1;
  })) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  EXPECT_EQ(metric_or_zero("kestrane_subscription_recreations_total"), 1);
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 2);
  EXPECT_EQ(metric_or_zero("kestrane_monitored_items{state=\"ok\"}"), 4);
  ASSERT_NO_FATAL_FAILURE(stop_and_expect_whole_ramp("ns=2;s=Ramp.3"));

  // The dropped one's tags resumed after it was made again.
  const auto untouched = rows_of("ns=2;s=Ramp.3");
  const auto first = rows_of("ns=2;s=Ramp.1");
  ASSERT_FALSE(first.empty());
  EXPECT_GE(first.back().time, untouched.back().time - 2'000'000) << output();
}

// The database goes away, the rows go to the spool and the program is killed; started again,
// it writes the spool back: every value stored before the kill is there, so the ramp has a
// hole only for the time the program was not running.
TEST_F(SubscribeFaults, KilledAfterSpoolingLosesNothingOnceStartedAgain) {
  const auto pg = kestrane_test::postgres_server_settings();
  if (!pg) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  const kestrane_test::ScratchPostgresDatabase scratch(*pg, "console_subscribe");
  const auto& db = scratch.settings();
  postgres_ = db;
  TcpTamperProxy database_link(db.port);
  database_link.pass_bytes_unframed();
  ASSERT_TRUE(launch({.tsdb = "host = 127.0.0.1\nport = " + std::to_string(database_link.port()) +
                              "\nuser = " + db.user + "\npassword = " + db.password +
                              "\ndbname = " + db.dbname + "\n",
                      .notifications = 0}));
  ASSERT_TRUE(wait_for_metric_growth("kestrane_rows_written_total{table=\"tsdata\"}", 20))
      << output();
  database_link.set_refusing(true);
  database_link.cut_connections();
  ASSERT_TRUE(wait_for_metric_growth("kestrane_rows_spooled_total", 40)) << output();
  // Rows kept before the kill: written, or synced in the spool.
  const double kept = metric_or_zero("kestrane_rows_written_total{table=\"tsdata\"}") +
                      metric_or_zero("kestrane_rows_spooled_total");
  console_.kill();
  database_link.set_refusing(false);
  ASSERT_TRUE(console_.start(true));
  ASSERT_TRUE(wait_for_healing("Spool replay finished"));
  ASSERT_EQ(stop(), 0) << output();

  const auto values = values_of("ns=2;s=Ramp.1");
  std::size_t first_run = 1;
  while (first_run < values.size() && values[first_run] == values[first_run - 1] + 1) ++first_run;
  EXPECT_GE(static_cast<double>(first_run), kept) << output();
  for (std::size_t i = first_run + 1; i < values.size(); ++i) {
    EXPECT_EQ(values[i], values[i - 1] + 1) << "a second hole at row " << i;
  }
  EXPECT_EQ(duplicates(), "0");
}

// An anonymous session over security None cannot hand its subscriptions to the next process:
// the log says so at start, and nothing is kept for it.
TEST_F(SubscribeFaults, AnonymousSessionOverNoneSaysACrashCannotBeReclaimed) {
  ASSERT_TRUE(launch({}));
  EXPECT_TRUE(wait_for_output(
      "the server's queue of the previous run cannot be reclaimed: an anonymous session over "
      "security None cannot take over subscriptions"))
      << output();
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "state" / "subscriptions.state"));
}

// A server that stops answering (frozen, its sockets open): the health turns 503 once the
// subscriptions' watchdog runs out, and the stop still ends within its 10 s limit.
TEST_F(SubscribeFaults, FrozenServerTurnsTheHealthBadAndDoesNotHoldTheStop) {
  ASSERT_TRUE(launch({}));
  EXPECT_NE(http_answer(metrics_port(), "/health").find(" 200 "), std::string::npos);
  server_->pause();
  EXPECT_TRUE(wait_for([&] {
    return http_answer(metrics_port(), "/health").find(" 503 ") != std::string::npos;
  })) << http_answer(metrics_port(), "/health")
      << output();
  const auto asked = Clock::now();
  console_.signal(SIGINT);
  const int status = console_.wait_exit(30s);
  const auto took = Clock::now() - asked;
  server_->resume();
  EXPECT_EQ(status, 0) << output();
  EXPECT_LT(took, 10s) << output();
}

// A secured session with a user, which may have its subscriptions moved to a new session:
// with a server that moves them the ramp has no hole; with one that refuses, they are made
// again and the log says why.
class SubscribeTransfer : public SubscribeFaults {
 protected:
  [[nodiscard]] bool start_secured(bool transfer) {
    auto options = ramp_server();
    options.policies = {"Basic256Sha256"};
    options.modes = {"Sign"};
    options.users = {{"operator", "secret"}};
    options.no_transfer = !transfer;
    if (!launch({.server = options,
                 .settings = std::string(kRampSettings) +
                             "opc_queue_size = 1000\n"
                             "opc_security_policy = Basic256Sha256\nopc_security_mode = Sign\n"
                             "opc_username = operator\nopc_password = secret\n",
                 .trust_server = true}))
      return false;
    server_->expire_sessions();
    return true;
  }
};

TEST_F(SubscribeTransfer, SubscriptionsMoveToTheNewSessionWithoutAGap) {
  ASSERT_TRUE(start_secured(true));
  ASSERT_TRUE(wait_for_healing(
      "OPC UA session replaced: 1 subscriptions transferred to it, 0 created again"));
  EXPECT_EQ(metric_or_zero("kestrane_subscription_recreations_total"), 0);
  stop_and_expect_whole_ramp();
}

// Killed (-9) while notifications arrive, with rows handed on and not yet acknowledged: the
// next start takes the subscription over, asks again for what the first run had not kept and
// gets the changes of the time between from the server's queue: every value of the ramp from
// the first run's first to the second run's last is stored once, none missing.
TEST_F(SubscribeTransfer, KilledProgramsSubscriptionIsTakenOverAndNothingStoredTwice) {
  ASSERT_TRUE(start_secured(true));
  ASSERT_TRUE(wait_for_healing("1 subscriptions transferred to it"));
  ASSERT_TRUE(wait_for_notifications(3));
  console_.kill();
  const std::size_t before = rows_of("ns=2;s=Ramp.1").size();
  ASSERT_GT(before, 0u) << output();
  ASSERT_TRUE(console_.start(true));
  ASSERT_TRUE(wait_for_healing("OPC UA reclaimed 1 of 1 subscriptions of the previous run"));
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 1);
  ASSERT_NO_FATAL_FAILURE(stop_and_expect_whole_ramp());
  EXPECT_GT(rows_of("ns=2;s=Ramp.1").size(), before + 5) << output();
}

TEST_F(SubscribeTransfer, ServerRefusingTransfersGetsTheSubscriptionsMadeAgain) {
  ASSERT_TRUE(start_secured(false));
  ASSERT_TRUE(
      wait_for_healing("the server did not transfer the subscriptions "
                       "(BadServiceUnsupported"));
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 1);
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_EQ(duplicates(), "0");
}

}  // namespace
}  // namespace kestrane_console
