// Settings that cannot work: each gives one clear error (or a logged reason and no
// connection) that names the server and database but never the password.

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <sqlite3.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "journel/log.h"
#include "opened_sqlite_handles.h"
#include "pg_handles.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

// Collects what tidewell logs while a test runs.
class TidewellLog {
 public:
  TidewellLog() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64)) {
    logger_->sinks().push_back(sink_);
  }
  ~TidewellLog() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
  std::string text() {
    logger_->flush();
    std::string all;
    for (const auto& line : sink_->last_formatted()) all += line;
    return all;
  }

 private:
  std::shared_ptr<spdlog::logger> logger_ = journel::get_logger("tidewell");
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

class TemporaryFolder {
 public:
  TemporaryFolder()
      : path_(fs::temp_directory_path() /
              ("tidewell-settings-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TemporaryFolder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const DatabaseError& e) {
    return e.what();
  }
  return "";
}

TEST(UnknownSettings, UnknownDriverIsAClearError) {
  TsdbSettings settings;
  settings.driver = "oracle";
  const auto message = message_of([&] { get_conn(settings); });
  EXPECT_NE(message.find("'oracle'"), std::string::npos) << message;
  EXPECT_NE(message_of([&] { fetch_available_tsdbs(settings); }), "");
}

TEST(UnknownSettings, PortOutOfRangeIsAClearError) {
  TsdbSettings settings;
  settings.port = 70000;
  const auto message = message_of([&] { get_conn(settings); });
  EXPECT_NE(message.find("70000"), std::string::npos) << message;
}

TEST(SqliteSettings, CreatesDataDirAndAppendsDbExtension) {
  TemporaryFolder folder;
  TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = (folder.path() / "nested" / "data").string();
  settings.dbname = "plant";
  ASSERT_NE(get_conn(settings), nullptr);
  EXPECT_TRUE(fs::is_regular_file(folder.path() / "nested" / "data" / "plant.db"));

  settings.dbname = "archive.sqlite";
  ASSERT_NE(get_conn(settings), nullptr);
  EXPECT_TRUE(fs::is_regular_file(folder.path() / "nested" / "data" / "archive.sqlite"));
}

TEST(SqliteSettings, ListsDatabaseFilesUnderTheNamesThatOpenThem) {
  TemporaryFolder folder;
  TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = folder.path().string();
  EXPECT_EQ(fetch_available_tsdbs(settings), std::vector<std::string>{"tsdb_default"})
      << "a fresh data_dir offers the configured database, which connecting creates";
  for (const char* name : {"zeta", "alpha", "v.2.db"}) {
    settings.dbname = name;
    ASSERT_NE(get_conn(settings), nullptr);
  }
  std::ofstream(folder.path() / "notes.txt") << "not a database";
  fs::create_directories(folder.path() / "folder.db");
  const auto names = fetch_available_tsdbs(settings);
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "v.2.db", "zeta"}));
  for (const auto& name : names) {
    settings.dbname = name;
    auto conn = get_conn(settings);
    ASSERT_NE(conn, nullptr);
  }
  EXPECT_EQ(fetch_available_tsdbs(settings), names) << "opening a listed name made no new file";

  settings.data_dir = (folder.path() / "missing").string();
  EXPECT_EQ(fetch_available_tsdbs(settings), std::vector<std::string>{settings.dbname});
  settings.dbname = "../escape";
  EXPECT_TRUE(fetch_available_tsdbs(settings).empty());
}

using kestrane_test::OpenedSqliteHandles;

std::string pragma(sqlite3* db, const char* name) {
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &stmt, nullptr),
            SQLITE_OK);
  std::string value;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  sqlite3_finalize(stmt);
  return value;
}

// A commit that has returned survives a power cut: the WAL is synced at every commit
// (synchronous = FULL, 2), on a new file and on one opened again alike.
TEST(SqliteSettings, EveryConnectionSyncsTheLogAtEachCommit) {
  TemporaryFolder folder;
  TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = folder.path().string();
  const OpenedSqliteHandles opened;
  auto fresh = get_conn(settings);
  auto again = get_conn(settings);
  settings.dbname = "other";
  auto other = get_conn(settings);
  ASSERT_TRUE(fresh && again && other);
  ASSERT_EQ(opened.handles().size(), 3u);
  for (sqlite3* db : opened.handles()) {
    EXPECT_EQ(pragma(db, "synchronous"), "2");
    EXPECT_EQ(pragma(db, "journal_mode"), "wal");
  }
}

TEST(SqliteSettings, DataDirThatCannotBeCreatedIsAClearError) {
  TemporaryFolder folder;
  std::ofstream(folder.path() / "file") << "in the way";
  TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = (folder.path() / "file" / "data").string();
  const auto message = message_of([&] { get_conn(settings); });
  EXPECT_NE(message.find("data_dir"), std::string::npos) << message;
  EXPECT_NE(message.find(settings.data_dir), std::string::npos) << message;
}

TEST(SqliteSettings, DbnameThatLeavesDataDirIsRefused) {
  TemporaryFolder folder;
  TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = (folder.path() / "data").string();
  for (const char* name : {"../escape", "a/b", "..", "", "x\\y"}) {
    settings.dbname = name;
    EXPECT_NE(message_of([&] { get_conn(settings); }).find("dbname"), std::string::npos) << name;
  }
  EXPECT_FALSE(fs::exists(folder.path() / "escape.db"));
}

TEST(SqliteSettings, FileThatIsNoDatabaseGivesNoConnection) {
  TemporaryFolder folder;
  std::ofstream(folder.path() / "broken.db") << std::string(4096, 'x');
  TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = folder.path().string();
  settings.dbname = "broken";
  TidewellLog log;
  EXPECT_EQ(get_conn(settings), nullptr);
  EXPECT_NE(log.text().find("broken.db"), std::string::npos) << log.text();
}

class ServerSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto server = kestrane_test::postgres_server_settings();
    if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
    settings_ = *server;
    settings_.dbname = "postgres";
  }
  TsdbSettings settings_;
};

TEST_F(ServerSettings, WrongPasswordGivesNoConnectionAndALogLineWithoutThePassword) {
  settings_.password = "not-the-password-xyzzy";
  settings_.dbname = "tsdb_wrong_password";
  TidewellLog log;
  EXPECT_EQ(get_conn(settings_), nullptr);
  const auto text = log.text();
  EXPECT_NE(text.find("tsdb_wrong_password"), std::string::npos) << text;
  EXPECT_NE(text.find(settings_.host + ":" + std::to_string(settings_.port)), std::string::npos)
      << text;
  EXPECT_NE(text.find("password authentication failed"), std::string::npos) << text;
  EXPECT_EQ(text.find("xyzzy"), std::string::npos) << text;

  const auto message = message_of([&] { fetch_available_tsdbs(settings_); });
  EXPECT_NE(message.find("password authentication failed"), std::string::npos) << message;
  EXPECT_EQ(message.find("xyzzy"), std::string::npos) << message;
}

TEST_F(ServerSettings, MissingDatabaseGivesNoConnection) {
  settings_.dbname = "tsdb_that_does_not_exist";
  TidewellLog log;
  EXPECT_EQ(get_conn(settings_), nullptr);
  EXPECT_NE(log.text().find("tsdb_that_does_not_exist"), std::string::npos) << log.text();
}

TEST_F(ServerSettings, DbnameIsNeverReadAsAConnectionString) {
  settings_.dbname = "dbname=postgres host=127.0.0.1";
  EXPECT_EQ(get_conn(settings_), nullptr);
  settings_.dbname = "postgresql://postgres@127.0.0.1/postgres";
  EXPECT_EQ(get_conn(settings_), nullptr);
}

TEST_F(ServerSettings, UnreachablePortGivesNoConnection) {
  // A loopback port nobody listens on: refused at once.
  settings_.port = 9;
  settings_.dbname = "tsdb_default";
  TidewellLog log;
  EXPECT_EQ(get_conn(settings_), nullptr);
  EXPECT_NE(log.text().find(settings_.host + ":9"), std::string::npos) << log.text();
  EXPECT_THROW(fetch_available_tsdbs(settings_), DatabaseError);
}

// A role created for one test, dropped after the databases it was granted on.
class TestRole {
 public:
  TestRole(const testing::TestDatabase& admin, std::string name)
      : admin_(admin), name_(std::move(name)) {
    admin_.execute("CREATE ROLE " + name_ + " LOGIN PASSWORD 'role-password'");
  }
  ~TestRole() {
    try {
      admin_.execute("DROP ROLE IF EXISTS " + name_);
    } catch (const std::exception&) {
    }
  }
  const std::string& name() const { return name_; }

 private:
  const testing::TestDatabase& admin_;
  std::string name_;
};

TEST_F(ServerSettings, UserWithoutCreateRightsUsesAPreparedDatabaseAndSeesOnlyItsDatabases) {
  testing::TestDatabase admin("postgresql");
  const TestRole role(admin, "tidewell_writer_" + std::to_string(getpid()));
  {
    testing::TestDatabase granted("postgresql");
    testing::TestDatabase hidden("postgresql");
    ASSERT_NE(get_conn(granted.settings()), nullptr);  // sets the schema up as its owner
    granted.execute("GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA public TO " +
                    role.name());
    granted.execute("GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO " + role.name());
    hidden.execute("REVOKE CONNECT ON DATABASE " + hidden.settings().dbname + " FROM PUBLIC");

    auto settings = granted.settings();
    settings.user = role.name();
    settings.password = "role-password";
    const auto names = fetch_available_tsdbs(settings);
    EXPECT_NE(std::find(names.begin(), names.end(), granted.settings().dbname), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), hidden.settings().dbname), names.end());

    auto conn = get_conn(settings);
    ASSERT_NE(conn, nullptr);
    EXPECT_TRUE(insert_new_tag(*conn, TagInfo{"Demo.Tag1", {}, std::nullopt, "Demo.Tag1", {}}).ok);
    const std::vector<std::int64_t> ids{1};
    const std::vector<double> values{1.0};
    const std::vector<std::string> qualities{"Good"};
    EXPECT_EQ(write_tsdata(*conn, ids, values, qualities).count, 1u);
    conn.reset();
  }
}

// Registration creates no table of its own, not even a temporary one: it runs for a user who
// may not create any, as it must where tags is a table that a distributed engine keeps on
// every node (such an engine refuses to join it with a temporary table).
TEST_F(ServerSettings, UserWithoutTemporaryTablesRegistersTagLists) {
  testing::TestDatabase admin("postgresql");
  const TestRole role(admin, "tidewell_no_temp_" + std::to_string(getpid()));
  {
    testing::TestDatabase db("postgresql");
    ASSERT_NE(get_conn(db.settings()), nullptr);  // sets the schema up as its owner
    db.execute("REVOKE TEMPORARY ON DATABASE " + db.settings().dbname + " FROM PUBLIC");
    db.execute("GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA public TO " + role.name());
    db.execute("GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO " + role.name());
    auto settings = db.settings();
    settings.user = role.name();
    settings.password = "role-password";
    {
      const auto raw = kestrane_test::connect_postgres(settings);
      const PgResultPtr refused(PQexec(raw.get(), "CREATE TEMPORARY TABLE t (a int)"));
      ASSERT_EQ(PQresultStatus(refused.get()), PGRES_FATAL_ERROR) << "the role may make one";
    }
    auto conn = get_conn(settings);
    ASSERT_NE(conn, nullptr);
    SourceInfo source;
    source.source_name = "plant";
    source.endpoint = "opc.da://localhost/plant";
    ASSERT_TRUE(insert_new_source(*conn, source).ok);
    std::vector<TagRegistration> tags;
    for (int i = 1; i <= 1200; ++i) tags.push_back({"Demo.Tag" + std::to_string(i), {}});
    const auto fresh = register_tags(*conn, *source.source_id, tags);
    EXPECT_EQ(fresh.created, 1200u);
    EXPECT_TRUE(fresh.failed.empty());
    // Again with changes and a name the server refuses: the parts and the walk make none either.
    tags[7].description = {{"desc", "changed"}};
    tags.push_back({"Demo.New", {}});
    tags.push_back({"Demo.\xff", {}});
    const auto again = register_tags(*conn, *source.source_id, tags);
    EXPECT_EQ(again.created, 1u);
    EXPECT_EQ(again.updated, 1200u);
    ASSERT_EQ(again.failed.size(), 1u);
    EXPECT_EQ(again.failed[0].tag_name, "Demo.\xff");
    EXPECT_EQ(get_tag(*conn, "Demo.Tag8")->description, (Description{{"desc", "changed"}}));
    conn.reset();
  }
}

// A server that accepts the TCP connection and never answers: the connect gives up on its
// own within the connect timeout instead of hanging.
TEST_F(ServerSettings, SilentServerGivesNoConnectionAfterTheConnectTimeout) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  settings_.host = "127.0.0.1";
  settings_.port = ntohs(address.sin_port);
  settings_.dbname = "tsdb_silent";
  TidewellLog log;
  EXPECT_EQ(get_conn(settings_), nullptr);
  EXPECT_NE(log.text().find("tsdb_silent"), std::string::npos) << log.text();
  close(listener);
}

}  // namespace
}  // namespace tidewell
