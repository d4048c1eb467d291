#pragma once
// The built KestraneConsole program as an operator runs it against the node-opcua test server,
// for the end-to-end tests: one installation in a temporary folder, rows read back from SQLite
// or PostgreSQL, metrics from the listener, faults made from outside (the server killed, the
// network cut).

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console_process.h"
#include "database_readback.h"
#include "http_probe.h"
#include "scratch_postgres_database.h"
#include "tcp_tamper_proxy.h"
#include "temp_dir.h"
#include "ua_test_server.h"

namespace kestrane_console {

using kestrane_test::http_answer;
using kestrane_test::TcpTamperProxy;
using kestrane_test::TempDir;
using kestrane_test::UaTestServer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Upper bound for events that normally take a second or two.
inline constexpr auto kEventLimit = std::chrono::seconds(30);

// One stored row of a tag, times in microseconds.
struct StoredRow {
  std::int64_t time = 0;
  double value = 0;
  std::int64_t source_time = 0;
};

// The [Kestrane] lines most cases run with: the ramp's every change, stored twice a second.
inline constexpr const char* kRampSettings =
    "collection_interval = 0.5\nopc_sampling_interval = 0\n";

// A server with `ramp` ramps (Ramp.1..N) and Ramp.Static.
inline UaTestServer::Options ramp_server(int ramp = 1) {
  UaTestServer::Options options;
  options.tags = 1;
  options.ramp = ramp;
  return options;
}

// One run of the program against a test server: what the server offers, what the program is
// told, and how far it must have come before the case goes on.
struct ProgramRun {
  UaTestServer::Options server = ramp_server();
  std::vector<std::string> tags = {"ns=2;s=Ramp.1,"};
  std::string settings = kRampSettings;  // the [Kestrane] lines after the connection's
  std::string tag_header = "FullTagName,Description";
  // The [TSDBConnection] lines; SQLite in the installation folder when empty.
  std::string tsdb = {};
  // The program reaches the server through proxy_, which can cut the line.
  bool through_proxy = false;
  // The server's certificate goes into the program's trust list.
  bool trust_server = false;
  // Notifications to wait for once the program runs; 0 to go on at once.
  double notifications = 4;
  // opc_acquisition: subscribe, or read (then notifications must be 0).
  std::string acquisition = "subscribe";
};

// One installation of the program in a temporary folder, collecting from a test server into
// SQLite (or PostgreSQL), with the metrics listener on a port the system picks.
class SubscribeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  }

  // Starts the server (and proxy), writes config.ini and the tag list, starts the program (a
  // second start appends to the first one's output) and waits for its first notifications.
  // False, with the failure recorded, when it did not get that far.
  [[nodiscard]] bool launch(ProgramRun run) {
    server_.emplace(std::move(run.server));
    std::string url = server_->url();
    if (run.through_proxy) {
      proxy_.emplace(server_->port());
      url = "opc.tcp://127.0.0.1:" + std::to_string(proxy_->port());
    }
    if (run.trust_server) {
      const auto trusted = dir_.path() / "pki" / "trusted" / "certs";
      std::filesystem::create_directories(trusted);
      std::filesystem::copy_file(server_->certificate_der_path(), trusted / "server.der");
    }
    std::string csv = run.tag_header + "\n";
    for (const std::string& tag : run.tags) csv += tag + "\n";
    dir_.write("tags.csv", csv);
    dir_.write(
        "config.ini",
        "[TSDBConnection]\n" +
            (run.tsdb.empty() ? "driver = sqlite\ndata_dir = data\ndbname = e2e\n" : run.tsdb) +
            "\n[Kestrane]\ntag_csv_path = tags.csv\nopc_schema = " + url +
            "\nopc_type = OPC UA\nopc_acquisition = " + run.acquisition + "\n" + run.settings +
            "\n[KestraneMetrics]\nlisten = 127.0.0.1:0\n"
            "\n[KestraneLogging]\nlog_dir = log\nprefix = console\nlevel = INFO\n");
    if (!console_.start(true)) {
      ADD_FAILURE() << "the program did not start";
      return false;
    }
    if (run.notifications > 0 && !wait_for_notifications(run.notifications)) {
      ADD_FAILURE() << "no notifications\n" << output();
      return false;
    }
    return true;
  }

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
    const auto body = kestrane_test::http_get(metrics_port(), "/metrics");
    if (!body) return std::nullopt;
    return kestrane_test::metric_value(*body, series);
  }
  double metric_or_zero(const std::string& series) const { return metric(series).value_or(0); }
  // Waits until `series` has grown by at least `more` over what it is now.
  bool wait_for_metric_growth(const std::string& series, double more,
                              std::chrono::seconds limit = kEventLimit) const {
    const double before = metric_or_zero(series);
    return wait_for([&] { return metric_or_zero(series) >= before + more; }, limit);
  }
  bool wait_for_notifications(double more = 4) {
    return wait_for_metric_growth("kestrane_notifications_total", more);
  }

  // Waits for the log line `text`, then for new notifications (the program healed and
  // collects again). False, with the failure and the output recorded, when either did not come.
  [[nodiscard]] bool wait_for_healing(const std::string& text) {
    if (wait_for_output(text) && wait_for_notifications()) return true;
    ADD_FAILURE() << "not healed: \"" << text << "\" and notifications after it\n" << output();
    return false;
  }

  std::filesystem::path database() const { return dir_.path() / "data" / "e2e.db"; }
  // The first column of `sql` on the database the program writes to: PostgreSQL once
  // postgres_ is set, else the SQLite file (the program stopped).
  std::vector<std::string> query(const std::string& sql) const {
    return postgres_ ? kestrane_test::query_postgres(*postgres_, sql)
                     : kestrane_test::query_sqlite(database(), sql);
  }
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
  // The values of `tag` in time order, from either database.
  std::vector<double> values_of(const std::string& tag) const {
    std::vector<double> values;
    for (const auto& value : query("SELECT d.value FROM tsdata d JOIN tags t USING (tag_id) "
                                   "WHERE t.tag_name = '" +
                                   tag + "' ORDER BY d.time"))
      values.push_back(std::stod(value));
    return values;
  }
  // (tag, time) pairs stored more than once.
  std::string duplicates() const {
    return query(
               "SELECT count(*) FROM (SELECT tag_id, time FROM tsdata GROUP BY tag_id, time "
               "HAVING count(*) > 1) AS twice")
        .at(0);
  }
  // The program stops cleanly, and `tag` holds an unbroken ramp with no row stored twice.
  void stop_and_expect_whole_ramp(const std::string& tag = "ns=2;s=Ramp.1") {
    ASSERT_EQ(stop(), 0) << output();
    expect_whole_ramp(rows_of(tag));
  }
  void expect_whole_ramp(const std::vector<StoredRow>& rows) const {
    const auto broken = break_in_ramp(rows);
    EXPECT_FALSE(broken) << *broken << "\n" << output();
    EXPECT_EQ(duplicates(), "0");
  }

  // Every row of a ramp holds the value after the row before it, at its own source time:
  // the first break in that, or nothing.
  static std::optional<std::string> break_in_ramp(const std::vector<StoredRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].time != rows[i].source_time)
        return "row " + std::to_string(i) + ": time is not the source time";
      if (i > 0 && rows[i].value != rows[i - 1].value + 1)
        return "row " + std::to_string(i) + ": " + std::to_string(rows[i - 1].value) + " then " +
               std::to_string(rows[i].value);
    }
    return std::nullopt;
  }

  TempDir dir_;
  kestrane_test::ConsoleProcess console_{dir_.path(), KESTRANE_CONSOLE_EXE};
  std::optional<UaTestServer> server_;
  std::optional<TcpTamperProxy> proxy_;
  std::optional<tidewell::TsdbSettings> postgres_;
};

}  // namespace kestrane_console
