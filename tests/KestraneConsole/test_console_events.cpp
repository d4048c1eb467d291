// The built KestraneConsole program collecting the event journal of the node-opcua test server
// (`--events`: a tick event every second, a level alarm that comes and goes, a pressure alarm
// active from the start) as an operator meets it: the alarms active before the start, an
// acknowledgement, restarts of the program and of the server, a database outage, a notifier
// that does not exist.

#include <cstdio>
#include <regex>
#include <set>

#include "console_program_fixture.h"

namespace kestrane_console {
namespace {

UaTestServer::Options events_server(int port = 0) {
  UaTestServer::Options options = ramp_server(1);
  options.events = true;
  if (port != 0) options.port = port;
  return options;
}

constexpr const char* kEventSettings = "collection_interval = 0.5\nopc_events = i=2253\n";

// One stored event, as the tests look at it.
struct StoredEvent {
  std::string event_id;  // hex
  std::string source_name;
  std::string message;
  std::string condition;  // empty for plain events
  std::string active;     // "1", "0" or "" (NULL)
  std::string acked;
  std::string refresh;
};

class EventsProgram : public SubscribeProgram {
 protected:
  std::vector<StoredEvent> events() const {
    std::vector<StoredEvent> out;
    const std::string sql =
        "SELECT hex(event_id), source_name, message, coalesce(condition_name, ''), "
        "coalesce(CAST(active AS TEXT), ''), coalesce(CAST(acked AS TEXT), ''), "
        "CAST(refresh AS TEXT) FROM events ORDER BY time, receive_time";
    for (const auto& row : kestrane_test::query_sqlite_rows(database(), sql)) {
      out.push_back({row.at(0).value_or(""), row.at(1).value_or(""), row.at(2).value_or(""),
                     row.at(3).value_or(""), row.at(4).value_or(""), row.at(5).value_or(""),
                     row.at(6).value_or("")});
    }
    return out;
  }
  static std::vector<StoredEvent> of_condition(const std::vector<StoredEvent>& all,
                                               const std::string& name) {
    std::vector<StoredEvent> out;
    for (const auto& e : all) {
      if (e.condition == name) out.push_back(e);
    }
    return out;
  }
  // The tick numbers stored, in order; each must come once and none may be missing.
  static void expect_every_tick_once(const std::vector<std::string>& messages) {
    static const std::regex tick("tick ([0-9]+)");
    std::vector<long> ticks;
    for (const auto& m : messages) {
      std::smatch match;
      if (std::regex_match(m, match, tick)) ticks.push_back(std::stol(match[1]));
    }
    ASSERT_GE(ticks.size(), 3u);
    std::sort(ticks.begin(), ticks.end());
    for (std::size_t i = 1; i < ticks.size(); ++i) {
      EXPECT_EQ(ticks[i], ticks[i - 1] + 1) << "tick " << ticks[i - 1] << " then " << ticks[i];
    }
  }
  // Calls Acknowledge on `condition` for the state `event_id_hex`, as an operator's client.
  bool acknowledge(const std::string& condition, const std::string& event_id_hex) const {
    const std::string command = "node '" KESTRANE_UA_TEST_SERVER_DIR "/acknowledge.js' --url " +
                                server_->url() + " --condition '" + condition + "' --event-id " +
                                event_id_hex + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    const int status = pclose(pipe);
    if (status != 0) ADD_FAILURE() << "acknowledge.js: " << out;
    return status == 0;
  }
};

// Subscribing: every tick once; the pressure alarm, active before the start, stored through
// ConditionRefresh and flagged so; its acknowledgement by an operator and the level alarm's
// comings and goings stored in order. Started again with the alarm still active, the refresh
// stores nothing twice.
TEST_F(EventsProgram, TheEventJournalWithTheAlarmsActiveBeforeTheStartIsStoredOnce) {
  ASSERT_TRUE(launch({.server = events_server(), .settings = kEventSettings}));
  ASSERT_TRUE(wait_for([&] { return metric_or_zero("kestrane_events_total") >= 3; })) << output();
  EXPECT_GE(metric_or_zero("kestrane_condition_refreshes_total{result=\"ok\"}"), 1) << output();
  EXPECT_EQ(metric_or_zero("kestrane_event_items{state=\"ok\"}"), 1) << output();

  // The refreshed state of the pressure alarm is in the database: acknowledge it.
  std::string pressure_id;
  ASSERT_TRUE(wait_for([&] {
    const auto ids = query(
        "SELECT hex(event_id) FROM events WHERE condition_name = "
        "'PressureAlarm' AND refresh = 1");
    if (!ids.empty()) pressure_id = ids.front();
    return !ids.empty();
  })) << output();
  ASSERT_TRUE(acknowledge("ns=2;s=Events.PressureAlarm", pressure_id));
  // The level alarm goes active and back within eight seconds.
  ASSERT_TRUE(wait_for(
      [&] {
        return query(
                   "SELECT count(*) FROM events WHERE condition_name = 'LevelAlarm' AND active "
                   "= 0 AND time > (SELECT min(time) FROM events WHERE condition_name = "
                   "'LevelAlarm' AND active = 1)")
                   .at(0) != "0";
      },
      20s))
      << output();
  EXPECT_TRUE(wait_for_output("Events: ")) << output();
  ASSERT_EQ(stop(), 0) << output();

  auto all = events();
  std::vector<std::string> messages;
  for (const auto& e : all) messages.push_back(e.message);
  expect_every_tick_once(messages);
  std::set<std::string> ids;
  for (const auto& e : all) EXPECT_TRUE(ids.insert(e.event_id).second) << e.message << " twice";

  const auto pressure = of_condition(all, "PressureAlarm");
  ASSERT_GE(pressure.size(), 2u);
  EXPECT_EQ(pressure[0].refresh, "1");
  EXPECT_EQ(pressure[0].active, "1");
  EXPECT_EQ(pressure[0].acked, "0");
  EXPECT_EQ(pressure.back().active, "1");
  EXPECT_EQ(pressure.back().acked, "1");
  EXPECT_EQ(pressure.back().refresh, "0");
  for (const auto& e : all) {
    if (e.condition.empty()) {
      EXPECT_EQ(e.refresh, "0") << e.message;
    }
  }

  // Started again, the alarm still active and acknowledged: its refreshed state is the one
  // stored last, so nothing of it is stored again.
  const std::size_t pressure_before = pressure.size();
  ASSERT_TRUE(console_.start(true));
  ASSERT_TRUE(wait_for_metric_growth("kestrane_condition_refreshes_total{result=\"ok\"}", 1))
      << output();
  ASSERT_TRUE(wait_for([&] { return metric_or_zero("kestrane_events_total") >= 3; })) << output();
  ASSERT_EQ(stop(), 0) << output();
  all = events();
  EXPECT_EQ(of_condition(all, "PressureAlarm").size(), pressure_before) << output();
  ids.clear();
  for (const auto& e : all) EXPECT_TRUE(ids.insert(e.event_id).second) << e.message << " twice";
}

// Polling values, events come by a subscription of their own; a notifier that does not exist
// is refused by name and neither values nor the other notifier's events suffer.
TEST_F(EventsProgram, PollingCollectsEventsAndAnUnknownNotifierIsNamed) {
  ASSERT_TRUE(launch({.server = events_server(),
                      .settings = "collection_interval = 0.5\n"
                                  "opc_events = ns=2;s=Events.Nowhere, i=2253\n",
                      .notifications = 0,
                      .acquisition = "read"}));
  ASSERT_TRUE(wait_for([&] { return metric_or_zero("kestrane_events_total") >= 4; })) << output();
  EXPECT_TRUE(wait_for_output("ns=2;s=Events.Nowhere")) << output();
  EXPECT_EQ(metric_or_zero("kestrane_event_items{state=\"failed\"}"), 1) << output();
  ASSERT_TRUE(wait_for_metric_growth("kestrane_cycles_total", 3)) << output();
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_GE(values_of("ns=2;s=Ramp.1").size(), 3u);
  const auto all = events();
  EXPECT_FALSE(of_condition(all, "PressureAlarm").empty()) << output();
  std::vector<std::string> messages;
  for (const auto& e : all) messages.push_back(e.message);
  expect_every_tick_once(messages);
}

// Into PostgreSQL: the server killed and started again (a new server: its alarms have new
// EventIds, so the refreshed pressure alarm is stored again), then the database cut off for
// ten seconds: the events of the outage wait in the spool and are written once.
TEST_F(EventsProgram, ServerRestartAndDatabaseOutageLoseAndRepeatNothing) {
  const auto pg = kestrane_test::postgres_server_settings();
  if (!pg) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  const kestrane_test::ScratchPostgresDatabase scratch(*pg, "console_events");
  const auto& db = scratch.settings();
  postgres_ = db;
  TcpTamperProxy database_link(db.port);
  database_link.pass_bytes_unframed();
  ASSERT_TRUE(launch({.server = events_server(),
                      .settings = kEventSettings,
                      .tsdb = "host = 127.0.0.1\nport = " + std::to_string(database_link.port()) +
                              "\nuser = " + db.user + "\npassword = " + db.password +
                              "\ndbname = " + db.dbname + "\n"}));
  ASSERT_TRUE(wait_for([&] { return metric_or_zero("kestrane_events_total") >= 3; })) << output();

  const int port = server_->port();
  server_->kill();
  server_.reset();
  std::this_thread::sleep_for(2s);
  server_.emplace(events_server(port));
  ASSERT_TRUE(wait_for_healing("OPC UA server restarted"));
  ASSERT_TRUE(wait_for([&] {
    return query("SELECT count(*) FROM events WHERE condition_name = 'PressureAlarm'").at(0) == "2";
  })) << output();

  database_link.set_refusing(true);
  database_link.cut_connections();
  const double before = metric_or_zero("kestrane_events_total");
  std::this_thread::sleep_for(10s);
  database_link.set_refusing(false);
  ASSERT_TRUE(wait_for_healing("Spool replay finished"));
  ASSERT_TRUE(wait_for([&] { return metric_or_zero("kestrane_events_total") >= before + 12; }))
      << output();
  ASSERT_EQ(stop(), 0) << output();

  EXPECT_EQ(query("SELECT count(*) - count(DISTINCT event_id) FROM events").at(0), "0");
  EXPECT_EQ(query("SELECT count(*) FROM events WHERE condition_name = 'PressureAlarm' AND "
                  "refresh")
                .at(0),
            "2");
  // The second server counts its ticks from 1 again (its first ones may come before the event
  // item is made again): from where the count starts over, no tick is missing, the outage
  // included.
  const auto rows = kestrane_test::query_postgres(
      db, "SELECT substr(message, 6) FROM events WHERE message LIKE 'tick %' ORDER BY time");
  std::vector<std::string> second_run;
  bool restarted = false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0 && std::stol(rows[i]) <= std::stol(rows[i - 1])) restarted = true;
    if (restarted) second_run.push_back("tick " + rows[i]);
  }
  std::string stored;
  for (const auto& row : rows) stored += row + " ";
  EXPECT_TRUE(restarted) << stored << "\n" << output();
  expect_every_tick_once(second_run);
  EXPECT_GE(second_run.size(), 12u);
}

}  // namespace
}  // namespace kestrane_console
