// Runs the built KestraneConsole program as an operator would: a base directory with bin/ and
// config.ini, signals from outside, exit statuses and log lines checked from outside.

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "console_process.h"
#include "database_readback.h"
#include "log_capture.h"
#include "scratch_postgres_database.h"
#include "tcp_tamper_proxy.h"
#include "temp_dir.h"

namespace kestrane_console {
namespace {

using kestrane_test::TempDir;

constexpr char kDaSchema[] = "opc.da://localhost/OstrevoV2.1.0";
constexpr char kDemoTags[] =
    "FullTagName,Description\nDemo.Tag1,Sine\nDemo.Count1,Counter\nDemo.Random1,\n";
// Upper bounds for events that normally take well under a second.
constexpr auto kEventLimit = std::chrono::seconds(20);

using kestrane_test::ConsoleProcess;
using kestrane_test::read_file;

// One installation in a temporary folder: <dir>/bin/KestraneConsole and <dir>/config.ini.
class ProgramFixture : public ::testing::Test {
 protected:
  void write_config(const std::string& tsdb_section, const std::string& tags_path,
                    const std::string& extra = "", const std::string& name = "config.ini") {
    dir_.write(name, "[TSDBConnection]\n" + tsdb_section + "\n[Kestrane]\ntag_csv_path = " +
                         tags_path + "\nopc_schema = " + kDaSchema +
                         "\nopc_type = OPC DA\ncollection_interval = 0.2\n" + extra +
                         "\n[KestraneLogging]\nlog_dir = log\nprefix = console\n"
                         "level = DEBUG\n");
  }
  std::string sqlite_section() const { return "driver = sqlite\ndata_dir = data\ndbname = e2e\n"; }

  // Starts the program in the base directory as its working directory.
  void start() { ASSERT_TRUE(console_.start()); }
  std::string output() const { return console_.output(); }
  std::string log_files() const {
    std::string all;
    if (!std::filesystem::exists(dir_.path() / "log")) return all;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path() / "log")) {
      all += read_file(entry.path());
    }
    return all;
  }
  // Waits until the program's output holds `text` `times` times.
  bool wait_for_output(const std::string& text, int times = 1) const {
    return console_.wait_for_output(text, times, kEventLimit);
  }
  // The exit status, or -1 when it did not end in time or ended by a signal.
  int wait_exit() { return console_.wait_exit(kEventLimit); }

  TempDir dir_;
  ConsoleProcess console_{dir_.path(), KESTRANE_CONSOLE_EXE};
};

class ProgramFailureExits : public ProgramFixture {};

TEST_F(ProgramFailureExits, NoConfigIniEndsWithStatusOne) {
  start();
  EXPECT_EQ(wait_exit(), 1);
  EXPECT_NE(output().find("KestraneConsole - ERROR - Error occurred: "), std::string::npos)
      << output();
}

TEST_F(ProgramFailureExits, MissingTagFileEndsWithStatusOneBeforeAnyConnection) {
  write_config(sqlite_section(), "no-such-tags.csv");
  start();
  EXPECT_EQ(wait_exit(), 1);
  const std::string log = log_files();
  EXPECT_NE(log.find("ERROR - Invalid 'tag_csv_path': no-such-tags.csv"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR - Failed to load configuration"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "data"));
}

TEST_F(ProgramFailureExits, EmptyTagFileEndsWithStatusOneBeforeAnyConnection) {
  dir_.write("tags.csv", "FullTagName,Description\n");
  write_config(sqlite_section(), "tags.csv");
  start();
  EXPECT_EQ(wait_exit(), 1);
  const std::string log = log_files();
  EXPECT_NE(log.find("INFO - Loaded 0 tags from CSV file"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR - Failed to load tags from CSV"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "data"));
}

TEST_F(ProgramFailureExits, ConfigThatIsNotUtf8EndsWithStatusOne) {
  dir_.write("config.ini", "[TSDBConnection]\nuser = \xC9\xCF\n");
  start();
  EXPECT_EQ(wait_exit(), 1);
  EXPECT_NE(output().find("ERROR - "), std::string::npos) << output();
}

TEST_F(ProgramFailureExits, RefusedRegistrationEndsWithStatusOne) {
  const auto pg = kestrane_test::postgres_server_settings();
  if (!pg) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  dir_.write("tags.csv", kDemoTags);
  write_config("host = " + pg->host + "\nport = " + std::to_string(pg->port) +
                   "\nuser = postgres\npassword = wrong-password\n",
               "tags.csv");
  start();
  EXPECT_EQ(wait_exit(), 1);
  const std::string log = log_files();
  EXPECT_NE(log.find("ERROR - Failed to connect to TSDB"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR - Failed to setup database objects"), std::string::npos);
}

class ProgramEndToEnd : public ProgramFixture {};

TEST_F(ProgramEndToEnd, CollectsIntoPostgresUntilSigintThenExitsCleanly) {
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  const kestrane_test::ScratchPostgresDatabase scratch(*server, "console_e2e");
  const auto& db = scratch.settings();
  dir_.write("tags.csv", kDemoTags);
  write_config("host = " + db.host + "\nport = " + std::to_string(db.port) + "\nuser = " + db.user +
                   "\npassword = " + db.password + "\ndbname = " + db.dbname + "\n",
               "tags.csv");
  start();
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 3)) << output();
  console_.signal(SIGINT);
  EXPECT_EQ(wait_exit(), 0) << output();

  const std::string log = log_files();
  for (const char* line :
       {"INFO - Data collection is running. Press Ctrl+C to stop.",
        "INFO - Received signal 2, shutting down...", "INFO - Stopping data collection...",
        "INFO - Data collection stopped"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(log.find("KestraneConsole stopped"), std::string::npos);

  const auto rows = kestrane_test::query_postgres(
      db,
      "SELECT count(*) FROM tsdata d JOIN tags t USING (tag_id) WHERE d.quality = 'Good' "
      "AND t.tag_name IN ('Demo.Tag1', 'Demo.Count1', 'Demo.Random1')");
  EXPECT_GE(std::stoi(rows.at(0)), 9);
}

TEST_F(ProgramEndToEnd, CollectsIntoSqliteUntilSigtermThenExitsCleanly) {
  dir_.write("tags.csv", kDemoTags);
  write_config(sqlite_section(), "tags.csv");
  start();
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 2)) << output();
  console_.signal(SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << output();
  EXPECT_NE(log_files().find("INFO - Received signal 15, shutting down..."), std::string::npos);
  const auto rows =
      kestrane_test::query_sqlite(dir_.path() / "data" / "e2e.db", "SELECT count(*) FROM tsdata");
  EXPECT_GE(std::stoi(rows.at(0)), 6);
}

// The default spool folder ("spool" in the working directory) where it cannot be made: a file
// of that name stands in for a read-only working directory, which root would write anyway.
TEST_F(ProgramEndToEnd, DefaultSpoolFolderThatCannotBeMadeLeavesTheSpoolOffAndCollects) {
  dir_.write("tags.csv", kDemoTags);
  dir_.write("spool", "not a folder");
  write_config(sqlite_section(), "tags.csv");
  start();
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 2)) << output();
  console_.signal(SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << output();
  const std::string log = log_files();
  const std::string warning = "WARNING - spool folder 'spool' cannot be created: ";
  const auto first = log.find(warning);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;
  EXPECT_EQ(log.find("Error loading config"), std::string::npos) << log;
}

// Another program holding the lock of a spool folder the user named, or of the default one that
// start_without_tsdb needs, is a second collector on the same folder: the start fails. (Without
// either, the default folder is left out; see ProgramSharedSpool.)
TEST_F(ProgramFailureExits, NamedOrNeededSpoolFolderHeldByAnotherProcessEndsWithStatusOne) {
  dir_.write("tags.csv", kDemoTags);
  const auto lock_path = dir_.write("spool/LOCK", "");
  const int fd = ::open(lock_path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  for (const char* extra : {"spool_dir = spool\n", "start_without_tsdb = true\n"}) {
    write_config(sqlite_section(), "tags.csv", extra);
    start();
    EXPECT_EQ(wait_exit(), 1) << extra << output();
    EXPECT_NE(output().find("KestraneConsole - ERROR - Failed to start data collection: spool "
                            "folder 'spool' is in use by another process"),
              std::string::npos)
        << extra << output();
  }
  ::close(fd);
}

// start_without_tsdb: a database that cannot be reached at start. A proxy in front of the test
// PostgreSQL closes every connection while "down" and forwards them once "up".
class ProgramWithoutTsdbAtStart : public ProgramFixture {
 protected:
  void write_proxied_config(const tidewell::TsdbSettings& db, int port, const std::string& extra) {
    dir_.write("tags.csv", kDemoTags);
    write_config("host = 127.0.0.1\nport = " + std::to_string(port) + "\nuser = " + db.user +
                     "\npassword = " + db.password + "\ndbname = " + db.dbname + "\n",
                 "tags.csv", extra);
  }
};

TEST_F(ProgramWithoutTsdbAtStart, CollectsIntoTheSpoolAndStoresEveryCycleOnceTheDatabaseAnswers) {
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  const kestrane_test::ScratchPostgresDatabase scratch(*server, "console_late_db");
  const auto& db = scratch.settings();
  kestrane_test::TcpTamperProxy proxy(db.port);
  proxy.pass_bytes_unframed();
  proxy.set_refusing(true);
  write_proxied_config(db, proxy.port(), "start_without_tsdb = true\n");
  start();
  ASSERT_TRUE(wait_for_output("WARNING - The TSDB cannot be reached; collecting anyway"))
      << output();
  // Every cycle while the database is down tries a connection, then spools its rows.
  ASSERT_TRUE(wait_for_output("No database connection present; attempting to connect...", 5))
      << output();
  const auto up_at = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  proxy.set_refusing(false);
  ASSERT_TRUE(wait_for_output("Spool replay finished")) << output();
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 2)) << output();
  console_.signal(SIGINT);
  ASSERT_EQ(wait_exit(), 0) << output();

  const std::string log = log_files();
  for (const char* line : {"INFO - The TSDB answers: registering the source and tags",
                           "INFO - Database setup complete: 3 tags created, 0 tags updated",
                           "INFO - TSDB connection prepared: 3 tag ids known"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(log.find("not found in TSDB"), std::string::npos) << log;
  EXPECT_EQ(log.find("dropped"), std::string::npos) << log;

  // Every row names a registered tag of the list, three rows per cycle, cycles from before the
  // database answered included.
  const auto counts = kestrane_test::query_postgres_rows(
      db,
      "SELECT count(*), count(DISTINCT d.time), "
      "count(*) FILTER (WHERE t.tag_name IN ('Demo.Tag1', 'Demo.Count1', 'Demo.Random1')), "
      "count(*) FILTER (WHERE extract(epoch FROM d.time) * 1000000 < " +
          std::to_string(up_at) + ") FROM tsdata d LEFT JOIN tags t USING (tag_id)");
  ASSERT_EQ(counts.size(), 1u);
  const long long rows = std::stoll(counts[0][0].value_or("0"));
  EXPECT_EQ(std::stoll(counts[0][1].value_or("0")) * 3, rows);
  EXPECT_EQ(std::stoll(counts[0][2].value_or("0")), rows);
  EXPECT_GE(std::stoll(counts[0][3].value_or("0")), 15);
  // What the program counted as collected is stored, but for the last cycles a stop may leave
  // in the spool (two waiting for the writer).
  const std::string status_line = "Status - Tags: 3, Collected: ";
  const auto status = log.rfind(status_line);
  ASSERT_NE(status, std::string::npos) << log;
  const long long collected = std::stoll(log.substr(status + status_line.size()));
  EXPECT_LE(rows, collected);
  EXPECT_GE(rows, collected - 6) << log;
}

TEST_F(ProgramWithoutTsdbAtStart, WithoutTheKeyAnUnreachableDatabaseStillEndsWithStatusOne) {
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  kestrane_test::TcpTamperProxy proxy(server->port);
  proxy.set_refusing(true);
  write_proxied_config(*server, proxy.port(), "");
  start();
  EXPECT_EQ(wait_exit(), 1) << output();
  const std::string log = log_files();
  EXPECT_NE(log.find("ERROR - Failed to setup database objects"), std::string::npos) << log;
  EXPECT_EQ(log.find("collecting anyway"), std::string::npos) << log;
}

// The program as a notify service of systemd: a datagram socket of the test's own stands in
// for NOTIFY_SOCKET, with a one-second watchdog.
TEST_F(ProgramEndToEnd, TellsTheServiceManagerItIsReadyFeedsTheWatchdogAndSaysItStops) {
  const std::string socket_path = (dir_.path() / "notify").string();
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof(addr.sun_path));
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  const auto next_message = [fd](int timeout_ms) -> std::string {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return "";
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  };

  dir_.write("tags.csv", kDemoTags);
  write_config(sqlite_section(), "tags.csv");
  ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "1000000", 1);
  start();
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");

  EXPECT_EQ(next_message(20000), "READY=1") << output();
  int pings = 0;
  for (int i = 0; i < 3; ++i) pings += next_message(5000) == "WATCHDOG=1" ? 1 : 0;
  EXPECT_EQ(pings, 3) << output();
  console_.signal(SIGTERM);
  std::string last = next_message(5000);
  while (last == "WATCHDOG=1") last = next_message(5000);
  EXPECT_EQ(last, "STOPPING=1");
  EXPECT_EQ(wait_exit(), 0) << output();
  ::close(fd);
}

// Two programs on one spool folder would overwrite each other's segments: the second is refused.
class ProgramSharedSpool : public ProgramFixture {
 protected:
  // Another installation, in `base`, started like the first.
  void start_second(const std::filesystem::path& base) {
    second_.emplace(base, KESTRANE_CONSOLE_EXE);
    ASSERT_TRUE(second_->start());
  }
  int wait_second_exit() { return second_->wait_exit(kEventLimit); }

  std::optional<ConsoleProcess> second_;
};

TEST_F(ProgramSharedSpool, ASecondProgramOnTheSameSpoolFolderExitsWithStatusOne) {
  const std::string spool = (dir_.path() / "spool").string();
  dir_.write("tags.csv", kDemoTags);
  write_config(sqlite_section(), "tags.csv", "spool_dir = " + spool + "\n");
  start();
  ASSERT_TRUE(wait_for_output("Data collection is running")) << output();

  // Its own database and log folder; only the spool folder is shared.
  TempDir other;
  std::filesystem::copy_file(dir_.path() / "tags.csv", other.path() / "tags.csv");
  std::filesystem::copy_file(dir_.path() / "config.ini", other.path() / "config.ini");
  start_second(other.path());
  EXPECT_EQ(wait_second_exit(), 1);
  const std::string second_output = second_->output();
  EXPECT_NE(second_output.find("KestraneConsole - ERROR - Failed to start data collection: "
                               "spool folder '" +
                               spool + "' is in use by another process"),
            std::string::npos)
      << second_output;

  // The first goes on undisturbed.
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 2)) << output();
  console_.signal(SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << output();
}

// Two programs started in one working directory without spool_dir share the default folder: the
// second, which never asked for a spool, runs without it rather than not at all.
TEST_F(ProgramSharedSpool, ASecondProgramOnTheDefaultSpoolFolderRunsWithoutTheSpool) {
  dir_.write("tags.csv", kDemoTags);
  write_config(sqlite_section(), "tags.csv");
  start();
  ASSERT_TRUE(wait_for_output("Data collection is running")) << output();

  // The same installation and working directory; both write into the one output file.
  second_.emplace(dir_.path(), KESTRANE_CONSOLE_EXE);
  ASSERT_TRUE(second_->start(true));
  const std::string warning =
      "KestraneConsole - WARNING - spool folder 'spool' is in use by another process: another "
      "program holds its lock; running without the spool: rows that cannot be written are "
      "dropped (set spool_dir in [Kestrane] to a folder of this program's own to keep them)";
  ASSERT_TRUE(wait_for_output("Data collection is running", 2)) << output();
  const std::string both = output();
  const auto first_warning = both.find(warning);
  EXPECT_NE(first_warning, std::string::npos) << both;
  EXPECT_EQ(both.find(warning, first_warning + 1), std::string::npos) << both;

  second_->signal(SIGTERM);
  EXPECT_EQ(wait_second_exit(), 0) << output();
  console_.signal(SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << output();
}

// The packaged layout: the program in a private folder reached through a link in a folder on
// PATH, its config.ini a link to a file elsewhere, and a working directory of its own.
class ProgramLayout : public ProgramFixture {
 protected:
  void start_with(const std::filesystem::path& exe, const std::vector<std::string>& args,
                  const std::filesystem::path& cwd) {
    std::filesystem::create_directories(cwd);
    ASSERT_TRUE(console_.start_with(exe, args, cwd));
  }
  // Rows stored in the SQLite file, or -1 when it cannot be read.
  static int stored_rows(const std::filesystem::path& db) {
    if (!std::filesystem::exists(db)) return -1;
    return std::stoi(kestrane_test::query_sqlite(db, "SELECT count(*) FROM tsdata").at(0));
  }
};

TEST_F(ProgramLayout, StartedThroughALinkItReadsConfigIniBesideItsOwnFolder) {
  const auto private_dir = dir_ / "usr/lib/kestrane";
  kestrane_test::install_console(private_dir, KESTRANE_CONSOLE_EXE);
  std::filesystem::create_directories(dir_ / "usr/bin");
  std::filesystem::create_symlink(private_dir / "bin/KestraneConsole",
                                  dir_ / "usr/bin/kestrane-console");
  dir_.write("etc/tags.csv", kDemoTags);
  write_config(sqlite_section(), (dir_ / "etc/tags.csv").string(), "", "etc/config.ini");
  std::filesystem::create_symlink(dir_ / "etc/config.ini", private_dir / "config.ini");

  start_with(dir_ / "usr/bin/kestrane-console", {}, dir_ / "var");
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 2)) << output();
  console_.signal(SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << output();
  // Relative paths are still taken from the working directory.
  EXPECT_GE(stored_rows(dir_ / "var/data/e2e.db"), 6);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "var/log"));
}

TEST_F(ProgramLayout, ConfigOptionReadsTheNamedFileInsteadOfTheBaseDirectorysOne) {
  // A config.ini in the base directory that would fail the start if it were read.
  dir_.write("config.ini", "[TSDBConnection]\nuser = \xC9\xCF\n");
  dir_.write("site/tags.csv", kDemoTags);
  write_config(sqlite_section(), "tags.csv", "", "site/plant1.ini");

  start_with(dir_ / "bin/KestraneConsole", {"--config", (dir_ / "site/plant1.ini").string()},
             dir_ / "site");
  ASSERT_TRUE(wait_for_output("Successfully wrote 3 records to database", 2)) << output();
  console_.signal(SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << output();
  EXPECT_GE(stored_rows(dir_ / "site/data/e2e.db"), 6);
}

TEST_F(ProgramLayout, ABadCommandLineEndsWithStatusOneBeforeAnythingIsMade) {
  const std::string missing = (dir_ / "nowhere/config.ini").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--config", missing}, "KestraneConsole: --config " + missing + ": no such file\n"},
      {{"--verbose"}, "KestraneConsole: unknown argument '--verbose'\n"},
  };
  for (const auto& [args, error] : cases) {
    start_with(dir_ / "bin/KestraneConsole", args, dir_ / "work");
    EXPECT_EQ(wait_exit(), 1) << args[0];
    EXPECT_EQ(output().rfind(error + "usage: KestraneConsole [--config FILE]", 0), 0u) << output();
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "work")) << args[0];
  }
}

}  // namespace
}  // namespace kestrane_console
