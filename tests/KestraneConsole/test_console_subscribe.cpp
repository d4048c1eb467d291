// The built KestraneConsole program collecting through subscriptions from the node-opcua test
// server, as an operator runs it: rows read back from SQLite, metrics from the listener, faults
// made from outside (the server killed, the network cut, sessions and subscriptions dropped).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console_process.h"
#include "database_readback.h"
#include "scratch_postgres_database.h"
#include "tcp_tamper_proxy.h"
#include "temp_dir.h"
#include "ua_test_server.h"

namespace kestrane_console {
namespace {

using kestrane_test::TcpTamperProxy;
using kestrane_test::TempDir;
using kestrane_test::UaTestServer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Upper bound for events that normally take a second or two.
constexpr auto kEventLimit = std::chrono::seconds(30);

// The whole answer (status line, head, body) to GET `path` on 127.0.0.1:`port`, or "".
std::string http_answer(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
    }
  }
  ::close(fd);
  return answer;
}

// The body of GET `path` on 127.0.0.1:`port`, or nothing when it cannot be had.
std::optional<std::string> http_get(int port, const std::string& path) {
  const std::string answer = http_answer(port, path);
  const auto body = answer.find("\r\n\r\n");
  if (body == std::string::npos) return std::nullopt;
  return answer.substr(body + 4);
}

// The value of the metric line starting with `series` (name and labels as printed).
std::optional<double> metric_value(const std::string& metrics, const std::string& series) {
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
  }
  return std::nullopt;
}

// One stored row of a tag, times in microseconds.
struct StoredRow {
  std::int64_t time = 0;
  double value = 0;
  std::int64_t source_time = 0;
};

// One installation of the program in a temporary folder, collecting from a test server into
// SQLite (or PostgreSQL), with the metrics listener on a port the system picks.
class SubscribeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  }

  void start_server(UaTestServer::Options options) { server_.emplace(std::move(options)); }
  static UaTestServer::Options ramp_server(int ramp = 3) {
    UaTestServer::Options options;
    options.tags = 1;
    options.ramp = ramp;
    return options;
  }

  // config.ini for `url` with the [Kestrane] lines `extra`; the tag list holds `tags`.
  void configure(const std::string& url, const std::vector<std::string>& tags,
                 const std::string& extra, const std::string& tsdb = "",
                 const std::string& tag_header = "FullTagName,Description") {
    std::string csv = tag_header + "\n";
    for (const std::string& tag : tags) csv += tag + "\n";
    dir_.write("tags.csv", csv);
    dir_.write("config.ini",
               "[TSDBConnection]\n" +
                   (tsdb.empty() ? std::string("driver = sqlite\ndata_dir = data\ndbname = e2e\n")
                                 : tsdb) +
                   "\n[Kestrane]\ntag_csv_path = tags.csv\nopc_schema = " + url +
                   "\nopc_type = OPC UA\nopc_acquisition = subscribe\n" + extra +
                   "\n[KestraneMetrics]\nlisten = 127.0.0.1:0\n"
                   "\n[KestraneLogging]\nlog_dir = log\nprefix = console\nlevel = INFO\n");
  }

  // A second start appends to the first one's output.
  void start() { ASSERT_TRUE(console_.start(true)); }
  void kill_program() { console_.kill(); }
  // SIGINT, then the exit status (-1: not within the limit, or by a signal).
  int stop() {
    console_.signal(SIGINT);
    return console_.wait_exit(15s);
  }

  std::string output() const { return console_.output(); }
  // This run's metrics port (0, which nothing answers on, when the listener never said it).
  int metrics_port() const { return console_.metrics_port(kEventLimit).value_or(0); }
  bool wait_for(const std::function<bool()>& condition,
                std::chrono::seconds limit = kEventLimit) const {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  bool wait_for_output(const std::string& text, int times = 1,
                       std::chrono::seconds limit = kEventLimit) const {
    return console_.wait_for_output(text, times, limit);
  }
  std::optional<double> metric(const std::string& series) const {
    const auto body = http_get(metrics_port(), "/metrics");
    if (!body) return std::nullopt;
    return metric_value(*body, series);
  }
  double metric_or_zero(const std::string& series) const { return metric(series).value_or(0); }
  // Waits until `series` has grown by at least `more` over what it is now.
  bool wait_for_metric_growth(const std::string& series, double more,
                              std::chrono::seconds limit = kEventLimit) const {
    const double before = metric_or_zero(series);
    return wait_for([&] { return metric_or_zero(series) >= before + more; }, limit);
  }

  std::filesystem::path database() const { return dir_.path() / "data" / "e2e.db"; }
  // The rows of `tag` in time order, from the SQLite file (the program stopped).
  std::vector<StoredRow> rows_of(const std::string& tag) const {
    std::vector<StoredRow> rows;
    for (const auto& row : kestrane_test::query_sqlite_rows(
             database(),
             "SELECT d.time, d.value, d.source_time FROM tsdata d JOIN tags t USING (tag_id) "
             "WHERE t.tag_name = '" +
                 tag + "' ORDER BY d.time")) {
      rows.push_back({std::stoll(row.at(0).value()), std::stod(row.at(1).value_or("nan")),
                      std::stoll(row.at(2).value_or("0"))});
    }
    return rows;
  }
  // (tag, time) pairs stored more than once.
  std::string duplicates() const {
    return kestrane_test::query_sqlite(
               database(),
               "SELECT count(*) FROM (SELECT tag_id, time FROM tsdata GROUP BY tag_id, time "
               "HAVING count(*) > 1)")
        .at(0);
  }

  TempDir dir_;
  kestrane_test::ConsoleProcess console_{dir_.path(), KESTRANE_CONSOLE_EXE};
  std::optional<UaTestServer> server_;
};

// Every row of a ramp holds the value after the row before it, at its own source time:
// the first break in that, or nothing.
std::optional<std::string> break_in_ramp(const std::vector<StoredRow>& rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].time != rows[i].source_time)
      return "row " + std::to_string(i) + ": time is not the source time";
    if (i > 0 && rows[i].value != rows[i - 1].value + 1)
      return "row " + std::to_string(i) + ": " + std::to_string(rows[i - 1].value) + " then " +
             std::to_string(rows[i].value);
  }
  return std::nullopt;
}

class SubscribeEndToEnd : public SubscribeProgram {};

// Ramp.1 with no filter, Ramp.2 with an absolute deadband of 2.5 of its own, Ramp.Static.
TEST_F(SubscribeEndToEnd, EveryChangeOnceAtItsSourceTimeStaticOnceDeadbandFilters) {
  start_server(ramp_server());
  configure(server_->url(), {"ns=2;s=Ramp.1,,,", "ns=2;s=Ramp.2,,,2.5", "ns=2;s=Ramp.Static,,,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\nopc_deadband_type = "
            "absolute\n",
            "", "FullTagName,Description,SamplingInterval,Deadband");
  start();
  ASSERT_TRUE(wait_for_metric_growth("kestrane_notifications_total", 6)) << output();
  ASSERT_EQ(stop(), 0) << output();

  const auto ramp = rows_of("ns=2;s=Ramp.1");
  ASSERT_GE(ramp.size(), 40u) << output();
  const auto broken = break_in_ramp(ramp);
  EXPECT_FALSE(broken) << *broken;
  EXPECT_EQ(duplicates(), "0");

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
  start_server(ramp_server(1));
  configure(server_->url(), {"ns=2;s=Ramp.1,", "ns=2;s=Ramp.Static,"},
            "collection_interval = 0.2\nopc_sampling_interval = 0\nopc_heartbeat = 1\n");
  start();
  ASSERT_TRUE(wait_for_metric_growth("kestrane_notifications_total", 5)) << output();
  std::this_thread::sleep_for(3s);
  ASSERT_EQ(stop(), 0) << output();

  const auto steady = rows_of("ns=2;s=Ramp.Static");
  ASSERT_GE(steady.size(), 3u) << output();
  EXPECT_EQ(steady[0].time, steady[0].source_time);
  for (std::size_t i = 1; i < steady.size(); ++i) {
    EXPECT_EQ(steady[i].source_time, steady[0].source_time) << "row " << i;
    EXPECT_GT(steady[i].time, steady[i - 1].time) << "row " << i;
    EXPECT_EQ(steady[i].value, 42);
  }
  const auto broken = break_in_ramp(rows_of("ns=2;s=Ramp.1"));
  EXPECT_FALSE(broken) << *broken;
  EXPECT_EQ(duplicates(), "0");
}

// The queue holds two values while twenty arrive per publishing interval: the server marks
// what it had to discard, and that is counted.
TEST_F(SubscribeEndToEnd, ValuesTheServerDiscardedFromAFullQueueAreCounted) {
  start_server(ramp_server(1));
  configure(server_->url(), {"ns=2;s=Ramp.1,"},
            "collection_interval = 1\nopc_sampling_interval = 0.05\nopc_queue_size = 2\n");
  start();
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
  start_server(std::move(options));
  configure(server_->url(), {"ns=2;s=Quirks.StepsBack,", "ns=2;s=Quirks.SharedTime,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\n");
  start();
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
    start_server(std::move(options));
    std::vector<std::string> tags;
    for (int n = 1; n <= kTags; ++n)
      tags.push_back("nsu=urn:kestrane:plant;s=Flat." + std::to_string(n) + ",");
    configure(server_->url(), tags, "collection_interval = 0.5\n");
    start();
    ASSERT_TRUE(wait_for_output("OPC UA subscriptions: 1200 of 1200 tags monitored")) << output();
    EXPECT_TRUE(wait_for([&] {
      return metric_or_zero("kestrane_monitored_items{state=\"ok\"}") == kTags &&
             metric_or_zero("kestrane_rows_written_total{table=\"tsdata\"}") >= kTags;
    })) << output();
    EXPECT_EQ(metric_or_zero("kestrane_monitored_items{state=\"failed\"}"), 0);
    ASSERT_EQ(stop(), 0) << output();
    EXPECT_EQ(
        kestrane_test::query_sqlite(database(), "SELECT count(DISTINCT tag_id) FROM tsdata").at(0),
        "1200");
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
  // counts from 1 anew, while the program waits for it its values go by).
  static std::vector<std::vector<StoredRow>> runs_of(const std::vector<StoredRow>& rows) {
    std::vector<std::vector<StoredRow>> runs;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i == 0 || rows[i].value != rows[i - 1].value + 1) runs.emplace_back();
      runs.back().push_back(rows[i]);
    }
    return runs;
  }
  bool wait_for_notifications(double more = 4) {
    return wait_for_metric_growth("kestrane_notifications_total", more);
  }
};

TEST_F(SubscribeFaults, ServerKilledAndRestartedOnTheSamePortGivesOneSubscriptionSetAgain) {
  start_server(ramp_server(1));
  const int port = server_->port();
  configure(server_->url(), {"ns=2;s=Ramp.1,", "ns=2;s=Ramp.Static,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\n");
  start();
  ASSERT_TRUE(wait_for_notifications()) << output();
  server_->kill();
  server_.reset();
  std::this_thread::sleep_for(2s);
  auto options = ramp_server(1);
  options.port = port;
  start_server(options);
  ASSERT_TRUE(wait_for_output("OPC UA server restarted")) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
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
  start_server(ramp_server(1));
  TcpTamperProxy proxy(server_->port());
  configure("opc.tcp://127.0.0.1:" + std::to_string(proxy.port()), {"ns=2;s=Ramp.1,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\n");
  start();
  ASSERT_TRUE(wait_for_notifications()) << output();
  proxy.cut_connections();
  ASSERT_TRUE(wait_for_output("OPC UA session resumed on a new channel")) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
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
  start_server(ramp_server(1));
  TcpTamperProxy proxy(server_->port());
  configure("opc.tcp://127.0.0.1:" + std::to_string(proxy.port()), {"ns=2;s=Ramp.1,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\nopc_queue_size = 1000\n");
  start();
  ASSERT_TRUE(wait_for_notifications()) << output();
  proxy.flip_in_next_message(0);
  ASSERT_TRUE(wait_for_output("OPC UA session resumed on a new channel")) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  EXPECT_EQ(proxy.tampered(), 1);
  ASSERT_EQ(stop(), 0) << output();

  const auto broken = break_in_ramp(rows_of("ns=2;s=Ramp.1"));
  EXPECT_FALSE(broken) << *broken << "\n" << output();
  EXPECT_EQ(duplicates(), "0");
}

// The session ends on the server while the network is down (as after an outage longer than
// its timeout): an anonymous session's subscriptions cannot move, so they are made again.
TEST_F(SubscribeFaults, SessionLostDuringAnOutageIsReplacedAndItsSubscriptionsMadeAgain) {
  start_server(ramp_server(1));
  TcpTamperProxy proxy(server_->port());
  configure("opc.tcp://127.0.0.1:" + std::to_string(proxy.port()), {"ns=2;s=Ramp.1,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\n");
  start();
  ASSERT_TRUE(wait_for_notifications()) << output();
  proxy.set_refusing(true);
  proxy.cut_connections();
  server_->expire_sessions();
  std::this_thread::sleep_for(2s);
  proxy.set_refusing(false);
  ASSERT_TRUE(
      wait_for_output("OPC UA session replaced; subscriptions cannot move to a new "
                      "session of an anonymous user over security None: creating 1 "
                      "subscriptions again"))
      << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 1);
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_EQ(duplicates(), "0");
}

// Two subscriptions (the server takes two items in each); the server drops the first. Only it
// is made again: the tags of the other one go on without a hole.
TEST_F(SubscribeFaults, SubscriptionDeletedByTheServerIsTheOnlyOneMadeAgain) {
  auto options = ramp_server(3);
  options.max_monitored_items_per_subscription = 2;
  start_server(options);
  configure(server_->url(),
            {"ns=2;s=Ramp.1,", "ns=2;s=Ramp.2,", "ns=2;s=Ramp.3,", "ns=2;s=Ramp.Static,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\n");
  start();
  ASSERT_TRUE(wait_for_output("4 of 4 tags monitored in 2 subscriptions")) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  server_->delete_lowest_subscription();
  ASSERT_TRUE(wait_for([&] {
    return metric_or_zero("kestrane_subscription_recreations_total") >= 1;
  })) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  EXPECT_EQ(metric_or_zero("kestrane_subscription_recreations_total"), 1);
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 2);
  EXPECT_EQ(metric_or_zero("kestrane_monitored_items{state=\"ok\"}"), 4);
  ASSERT_EQ(stop(), 0) << output();

  const auto untouched = rows_of("ns=2;s=Ramp.3");
  const auto broken = break_in_ramp(untouched);
  EXPECT_FALSE(broken) << *broken << "\n" << output();
  // The dropped one's tags resumed after it was made again.
  const auto first = rows_of("ns=2;s=Ramp.1");
  ASSERT_FALSE(first.empty());
  EXPECT_GE(first.back().time, untouched.back().time - 2'000'000) << output();
  EXPECT_EQ(duplicates(), "0");
}

// The database goes away, the rows go to the spool and the program is killed; started again,
// it writes the spool back: every value stored before the kill is there, so the ramp has a
// hole only for the time the program was not running.
TEST_F(SubscribeFaults, KilledAfterSpoolingLosesNothingOnceStartedAgain) {
  const auto pg = kestrane_test::postgres_server_settings();
  if (!pg) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  const kestrane_test::ScratchPostgresDatabase scratch(*pg, "console_subscribe");
  const auto& db = scratch.settings();
  TcpTamperProxy database_link(db.port);
  database_link.pass_bytes_unframed();
  start_server(ramp_server(1));
  configure(
      server_->url(), {"ns=2;s=Ramp.1,"}, "collection_interval = 0.5\nopc_sampling_interval = 0\n",
      "host = 127.0.0.1\nport = " + std::to_string(database_link.port()) + "\nuser = " + db.user +
          "\npassword = " + db.password + "\ndbname = " + db.dbname + "\n");
  start();
  ASSERT_TRUE(wait_for_metric_growth("kestrane_rows_written_total{table=\"tsdata\"}", 20))
      << output();
  database_link.set_refusing(true);
  database_link.cut_connections();
  ASSERT_TRUE(wait_for_metric_growth("kestrane_rows_spooled_total", 40)) << output();
  // Rows kept before the kill: written, or synced in the spool.
  const double kept = metric_or_zero("kestrane_rows_written_total{table=\"tsdata\"}") +
                      metric_or_zero("kestrane_rows_spooled_total");
  kill_program();
  database_link.set_refusing(false);
  start();
  ASSERT_TRUE(wait_for_output("Spool replay finished")) << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  ASSERT_EQ(stop(), 0) << output();

  std::vector<double> values;
  for (const auto& value :
       kestrane_test::query_postgres(db,
                                     "SELECT d.value FROM tsdata d JOIN tags t USING (tag_id) "
                                     "WHERE t.tag_name = 'ns=2;s=Ramp.1' ORDER BY d.time"))
    values.push_back(std::stod(value));
  std::size_t first_run = 1;
  while (first_run < values.size() && values[first_run] == values[first_run - 1] + 1) ++first_run;
  EXPECT_GE(static_cast<double>(first_run), kept) << output();
  for (std::size_t i = first_run + 1; i < values.size(); ++i) {
    EXPECT_EQ(values[i], values[i - 1] + 1) << "a second hole at row " << i;
  }
  EXPECT_EQ(kestrane_test::query_postgres(
                db,
                "SELECT count(*) FROM (SELECT tag_id, time FROM tsdata GROUP BY tag_id, time "
                "HAVING count(*) > 1) AS twice")
                .at(0),
            "0");
}

// A server that stops answering (frozen, its sockets open): the health turns 503 once the
// subscriptions' watchdog runs out, and the stop still ends within its 10 s limit.
TEST_F(SubscribeFaults, FrozenServerTurnsTheHealthBadAndDoesNotHoldTheStop) {
  start_server(ramp_server(1));
  configure(server_->url(), {"ns=2;s=Ramp.1,"},
            "collection_interval = 0.5\nopc_sampling_interval = 0\n");
  start();
  ASSERT_TRUE(wait_for_notifications()) << output();
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
  void start_secured(bool transfer) {
    auto options = ramp_server(1);
    options.policies = {"Basic256Sha256"};
    options.modes = {"Sign"};
    options.users = {{"operator", "secret"}};
    options.no_transfer = !transfer;
    start_server(options);
    std::filesystem::create_directories(dir_.path() / "pki" / "trusted" / "certs");
    std::filesystem::copy_file(server_->certificate_der_path(),
                               dir_.path() / "pki" / "trusted" / "certs" / "server.der");
    configure(server_->url(), {"ns=2;s=Ramp.1,"},
              "collection_interval = 0.5\nopc_sampling_interval = 0\nopc_queue_size = 1000\n"
              "opc_security_policy = Basic256Sha256\nopc_security_mode = Sign\n"
              "opc_username = operator\nopc_password = secret\n");
    start();
    ASSERT_TRUE(wait_for_notifications()) << output();
    server_->expire_sessions();
  }
};

TEST_F(SubscribeTransfer, SubscriptionsMoveToTheNewSessionWithoutAGap) {
  start_secured(true);
  ASSERT_TRUE(wait_for_output(
      "OPC UA session replaced: 1 subscriptions transferred to it, 0 created again"))
      << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  EXPECT_EQ(metric_or_zero("kestrane_subscription_recreations_total"), 0);
  ASSERT_EQ(stop(), 0) << output();
  const auto broken = break_in_ramp(rows_of("ns=2;s=Ramp.1"));
  EXPECT_FALSE(broken) << *broken << "\n" << output();
  EXPECT_EQ(duplicates(), "0");
}

TEST_F(SubscribeTransfer, ServerRefusingTransfersGetsTheSubscriptionsMadeAgain) {
  start_secured(false);
  ASSERT_TRUE(
      wait_for_output("the server did not transfer the subscriptions "
                      "(BadServiceUnsupported"))
      << output();
  ASSERT_TRUE(wait_for_notifications()) << output();
  EXPECT_EQ(metric_or_zero("kestrane_subscriptions"), 1);
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_EQ(duplicates(), "0");
}

}  // namespace
}  // namespace kestrane_console
