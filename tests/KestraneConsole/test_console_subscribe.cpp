// The built KestraneConsole program collecting through subscriptions from the node-opcua test
// server, as an operator runs it: rows read back from SQLite, metrics from the listener, faults
// made from outside (the server killed, the network cut, sessions and subscriptions dropped).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int count_of(const std::string& text, const std::string& part) {
  int found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// A loopback port nobody listens on right now.
int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The body of GET `path` on 127.0.0.1:`port`, or nothing when it cannot be had.
std::optional<std::string> http_get(int port, const std::string& path) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return std::nullopt;
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
// SQLite (or PostgreSQL), with the metrics listener on a port of its own.
class SubscribeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
    std::filesystem::create_directories(dir_.path() / "bin");
    std::filesystem::copy_file(KESTRANE_CONSOLE_EXE, dir_.path() / "bin" / "KestraneConsole");
    metrics_port_ = free_port();
  }
  void TearDown() override { kill_program(); }

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
                   "\n[KestraneMetrics]\nlisten = 127.0.0.1:" + std::to_string(metrics_port_) +
                   "\n\n[KestraneLogging]\nlog_dir = log\nprefix = console\nlevel = INFO\n");
  }

  void start() {
    const std::string exe = (dir_.path() / "bin" / "KestraneConsole").string();
    const std::string out = (dir_.path() / "output.txt").string();
    const std::string cwd = dir_.path().string();
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(pid_, 0);
  }
  void kill_program() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // SIGINT, then the exit status (-1: not within the limit, or by a signal).
  int stop() {
    ::kill(pid_, SIGINT);
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  std::string output() const { return read_text(dir_.path() / "output.txt"); }
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
    return wait_for([&] { return count_of(output(), text) >= times; }, limit);
  }
  std::optional<double> metric(const std::string& series) const {
    const auto body = http_get(metrics_port_, "/metrics");
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
  std::optional<UaTestServer> server_;
  pid_t pid_ = -1;
  int metrics_port_ = 0;
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
            "collection_interval = 0.5\nopc_sampling_interval = 0.05\nopc_deadband_type = "
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
            "collection_interval = 0.2\nopc_sampling_interval = 0.05\nopc_heartbeat = 1\n");
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

}  // namespace
}  // namespace kestrane_console
