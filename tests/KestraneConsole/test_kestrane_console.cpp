#include "KestraneConsole/kestrane_console.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/tag_monitoring.h"
#include "database_readback.h"
#include "journel/log.h"
#include "log_capture.h"
#include "pyqar/rt_source.h"
#include "scratch_postgres_database.h"
#include "temp_dir.h"
#include "ua_test_server.h"

namespace kestrane_console {
namespace {

using kestrane_test::LogCapture;
using kestrane_test::TempDir;

constexpr char kDaSchema[] = "opc.da://localhost/OstrevoV2.1.0";
constexpr char kDemoTags[] =
    "FullTagName,Description\nDemo.Tag1,Sine\nDemo.Count1,Counter\nDemo.Random1,\n";

// Logging of the whole test process goes to one folder beside the test, set up once.
void set_up_process_logging() {
  const auto dir = std::filesystem::current_path() / "console-test-logging";
  std::filesystem::create_directories(dir);
  const auto ini = dir / "config.ini";
  TempDir scratch;
  std::filesystem::copy_file(
      scratch.write("config.ini", "[KestraneLogging]\nlog_dir = " + (dir / "log").string() +
                                      "\nlevel = DEBUG\nconsole = false\n"),
      ini, std::filesystem::copy_options::overwrite_existing);
  journel::setup_loguru_from_ini(ini.string());
}

// A base directory with config.ini and a tag file, and a console object over it whose log
// records are kept for inspection.
class ConsoleFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { set_up_process_logging(); }

  void write_setup(const tidewell::TsdbSettings& tsdb, const std::string& schema = kDaSchema,
                   const std::string& type = "OPC DA", const std::string& tags = kDemoTags,
                   const std::string& extra = "collection_interval = 0.05\n") {
    const auto tag_file = dir_.write("tags.csv", tags);
    std::string ini = "[TSDBConnection]\ndriver = " + tsdb.driver +
                      "\ndata_dir = " + tsdb.data_dir + "\nhost = " + tsdb.host +
                      "\nport = " + std::to_string(tsdb.port) + "\nuser = " + tsdb.user +
                      "\npassword = " + tsdb.password + "\ndbname = " + tsdb.dbname +
                      "\n\n[Kestrane]\n" + "tag_csv_path = " + tag_file.string() +
                      "\nopc_schema = " + schema + "\nopc_type = " + type +
                      // Tests run side by side: rows one spools must not be replayed by another.
                      "\nspool_dir = " + (dir_.path() / "spool").string() + "\n" + extra;
    dir_.write("config.ini", ini);
  }

  tidewell::TsdbSettings sqlite_settings() {
    tidewell::TsdbSettings s;
    s.driver = "sqlite";
    s.data_dir = (dir_.path() / "data").string();
    s.dbname = "console";
    return s;
  }

  std::vector<std::string> sqlite_query(const std::string& sql) {
    return kestrane_test::query_sqlite(dir_.path() / "data" / "console.db", sql);
  }

  KestraneConsole& make_console(ConsoleHooks hooks = {}) {
    hooks.logger = log_.shared();
    console_ = std::make_unique<KestraneConsole>(dir_.path(), std::move(hooks));
    return *console_;
  }

  TempDir dir_;
  // Outlives the console, which may still be connected to it.
  std::optional<kestrane_test::ScratchPostgresDatabase> scratch_database_;
  LogCapture log_;
  std::unique_ptr<KestraneConsole> console_;
};

class ConsoleConstruction : public ConsoleFixture {};

TEST_F(ConsoleConstruction, BaseDirectoryIsMadeAbsolute) {
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path().parent_path());
  KestraneConsole console(dir_.path().filename(), {.logger = log_.shared()});
  std::filesystem::current_path(old_cwd);
  EXPECT_EQ(console.base_dir(), dir_.path());
  EXPECT_EQ(console.config_path(), dir_.path() / "config.ini");
}

TEST_F(ConsoleConstruction, DefaultBaseDirectoryIsTheParentOfTheProgramsFolder) {
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(default_base_dir(), exe.parent_path().parent_path());
}

TEST(StatusLine, PollingKeepsItsWordsSubscribingAddsItemsAndNotifications) {
  EXPECT_EQ(status_line_text(3, 30, 27, std::nullopt),
            "Status - Tags: 3, Collected: 30, Written: 27");
  EXPECT_EQ(status_line_text(3000, 120000, 119000,
                             quellin::SubscriptionTotals{
                                 .items_ok = 2998, .items_failed = 2, .notifications = 61}),
            "Status - Tags: 3000, Collected: 120000, Written: 119000, Monitored items: 2998 (2 "
            "failed), Notifications: 61");
  // Events come in either mode, after what the values say.
  EXPECT_EQ(status_line_text(3, 30, 27, std::nullopt, 0),
            "Status - Tags: 3, Collected: 30, Written: 27, Events: 0");
}

TEST_F(ConsoleConstruction, IntervalIsShownAsTheConfigurationWouldWriteIt) {
  EXPECT_EQ(interval_text(1.0), "1.0");
  EXPECT_EQ(interval_text(0.05), "0.05");
  EXPECT_EQ(interval_text(30), "30.0");
  EXPECT_EQ(interval_text(1e-05), "1e-05");
}

class ConsoleTagLoading : public ConsoleFixture {
 protected:
  bool load(const std::string& bytes) {
    write_setup(sqlite_settings(), kDaSchema, "OPC DA", bytes);
    auto& console = make_console();
    EXPECT_TRUE(console.load_config()) << log_.dump();
    return console.load_tags_from_csv();
  }
};

TEST_F(ConsoleTagLoading, LogsTheEncodingAndTheCount) {
  EXPECT_TRUE(load(kDemoTags));
  EXPECT_TRUE(log_.has("info", "CSV file loaded with encoding: utf-8")) << log_.dump();
  EXPECT_TRUE(log_.has("info", "Loaded 3 tags from CSV file"));
  EXPECT_EQ(console_->get_current_tags(),
            (std::vector<std::string>{"Demo.Tag1", "Demo.Count1", "Demo.Random1"}));
}

TEST_F(ConsoleTagLoading, GbkFileIsNamedAsSuch) {
  EXPECT_TRUE(load("FullTagName,Description\nDemo.Tag1,\xCE\xC2\xB6\xC8\n"));
  EXPECT_TRUE(log_.has("info", "CSV file loaded with encoding: gbk")) << log_.dump();
  EXPECT_EQ(console_->tags_list().at(0).description, "\xE6\xB8\xA9\xE5\xBA\xA6");
}

TEST_F(ConsoleTagLoading, HeaderOnlyLoadsZeroAndFails) {
  EXPECT_FALSE(load("FullTagName,Description\n"));
  EXPECT_TRUE(log_.has("info", "Loaded 0 tags from CSV file")) << log_.dump();
}

TEST_F(ConsoleTagLoading, EmptyFileFailsWithTheErrorPrefix) {
  EXPECT_FALSE(load(""));
  EXPECT_TRUE(log_.has("error", "Error loading tags from CSV: the file is empty: no header row"))
      << log_.dump();
}

TEST_F(ConsoleTagLoading, MissingColumnsAndUndecodableBytes) {
  EXPECT_FALSE(load("FullTagName;Description\nA;b\n"));
  EXPECT_TRUE(log_.has("error", "CSV file missing required columns: FullTagName, Description"))
      << log_.dump();
  log_.clear();
  EXPECT_FALSE(load("FullTagName,Description\nA,\xFF\n"));
  EXPECT_TRUE(
      log_.has("error", "Failed to decode CSV file: " + (dir_.path() / "tags.csv").string()))
      << log_.dump();
  EXPECT_TRUE(console_->tags_list().empty());
}

TEST_F(ConsoleTagLoading, ShortRowFailsNamingLineAndColumnAndKeepsEarlierRows) {
  EXPECT_FALSE(load("FullTagName,Description\nA,1\nB\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading tags from CSV: line 3 has no value for column "
                       "'Description' (1 of 2 fields)"))
      << log_.dump();
  EXPECT_EQ(console_->tags_list().size(), 1u);
}

TEST_F(ConsoleTagLoading, TheTagsOwnSubscriptionSettingsAreCheckedAtLoad) {
  const auto load_with = [this](const std::string& extra, const std::string& tags) {
    log_.clear();
    write_setup(sqlite_settings(), "opc.tcp://localhost:4840", "OPC UA", tags,
                "opc_acquisition = subscribe\n" + extra);
    auto& console = make_console();
    EXPECT_TRUE(console.load_config()) << log_.dump();
    return console.load_tags_from_csv();
  };
  EXPECT_FALSE(load_with("", "FullTagName,Description,Deadband\nA,,0.5\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading tags from CSV: tag 'A': Deadband 0.5 needs a deadband "
                       "type, absolute or percent, and opc_deadband_type is none"))
      << log_.dump();
  EXPECT_FALSE(load_with("", "FullTagName,Description,SamplingInterval\nA,,soon\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading tags from CSV: line 2, column 'SamplingInterval': 'soon' "
                       "is no number between 0 and 86400"))
      << log_.dump();
  EXPECT_TRUE(load_with("opc_deadband_type = percent\nopc_sampling_interval = 0\n",
                        "FullTagName,Description,Deadband\nA,,5\nB,,\n"))
      << log_.dump();
  // What the start logs: a configured deadband of 0 filters nothing, the tag's own does.
  EXPECT_EQ(subscription_summary(kestrane_config::acquisition_for_tags(
                                     console_->config().acquisition, console_->tags_list()),
                                 console_->tags_list().size()),
            "Acquisition: subscriptions (publishing every sample interval), sampling the "
            "server's fastest, queue size automatic, deadband none, heartbeat off; 1 of 2 tags "
            "with settings of their own");
}

// Single-step mode against the built-in DA simulation, writing into SQLite or PostgreSQL.
class SingleStep : public ConsoleFixture, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") {
      const auto server = kestrane_test::postgres_server_settings();
      if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
      tsdb_ = scratch_database_.emplace(*server, "console_step").settings();
    } else {
      tsdb_ = sqlite_settings();
    }
  }
  std::string rows_written() {
    const std::string sql = "SELECT count(*) FROM tsdata";
    if (GetParam() == "postgresql") return kestrane_test::query_postgres(tsdb_, sql).at(0);
    return sqlite_query(sql).at(0);
  }

  tidewell::TsdbSettings tsdb_;
};

TEST_P(SingleStep, EachStepCollectsAndWritesEveryTag) {
  write_setup(tsdb_);
  auto& console = make_console();
  ASSERT_TRUE(console.initialize_for_single_step()) << log_.dump();
  EXPECT_TRUE(log_.has("info", "Initializing for single-step collection mode..."));
  EXPECT_TRUE(
      log_.has("info", std::string("Creating OPC collector for single-step mode: ") + kDaSchema));
  EXPECT_TRUE(log_.has("info", "Single-step collection mode initialized successfully"));

  for (int step = 1; step <= 3; ++step) {
    ASSERT_TRUE(console.single_step_collection()) << log_.dump();
    const auto stats = console.get_collection_statistics();
    EXPECT_EQ(stats.total_tags, 3u);
    EXPECT_EQ(stats.queue_size, 0u);
    EXPECT_EQ(stats.total_collected, 3u * step);
    EXPECT_EQ(stats.total_written, 3u * step);
  }
  EXPECT_TRUE(log_.has("debug", "Single step collection completed"));
  EXPECT_TRUE(log_.has("debug", "Successfully wrote 3 records to database"));
  EXPECT_TRUE(log_.has("debug", "OPC Status: Read 3 tags, 0 bad."));
  EXPECT_EQ(rows_written(), "9");

  console.cleanup_single_step();
  EXPECT_TRUE(log_.has("info", "OPC connection closed"));
  EXPECT_FALSE(console.running());
}

TEST_P(SingleStep, AllBadReadPutsNothingOnTheQueue) {
  write_setup(tsdb_, kDaSchema, "OPC DA", "FullTagName,Description\nNo.Such.Item,\n");
  auto& console = make_console();
  ASSERT_TRUE(console.initialize_for_single_step()) << log_.dump();
  ASSERT_TRUE(console.single_step_collection());
  const auto stats = console.get_collection_statistics();
  EXPECT_EQ(stats.total_collected, 0u);
  EXPECT_EQ(stats.total_written, 0u);
  EXPECT_EQ(rows_written(), "0");
  console.cleanup_single_step();
}

TEST_P(SingleStep, BadTagsAmongGoodOnesAreCountedAndWritten) {
  write_setup(tsdb_, kDaSchema, "OPC DA", "FullTagName,Description\nDemo.Tag1,\nNo.Such.Item,\n");
  auto& console = make_console();
  ASSERT_TRUE(console.initialize_for_single_step()) << log_.dump();
  ASSERT_TRUE(console.single_step_collection());
  const auto stats = console.get_collection_statistics();
  EXPECT_EQ(stats.total_collected, 2u);
  EXPECT_TRUE(log_.has("debug", "OPC Status: Read 2 tags, 1 bad.")) << log_.dump();
  console.cleanup_single_step();
}

TEST_P(SingleStep, TagDeletedWhileCollectingIsReportedEveryCycleAndWrittenOnceCreatedAgain) {
  if (GetParam() != "postgresql") GTEST_SKIP() << "one driver is enough for the lookup";
  write_setup(tsdb_);
  LogCapture writer_log("quellin");  // the collector's writer logs the missing tag
  auto& console = make_console();
  ASSERT_TRUE(console.initialize_for_single_step()) << log_.dump();
  ASSERT_TRUE(console.single_step_collection()) << log_.dump();
  const auto sql = [this](const std::string& text) {
    return kestrane_test::query_postgres(tsdb_, text);
  };
  const std::string source = sql("SELECT source_id FROM tags WHERE tag_name = 'Demo.Tag1'").at(0);
  sql("DELETE FROM tags WHERE tag_name = 'Demo.Tag1'");
  // The collector's connection breaks, so it connects again and forgets every cached id.
  sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
      " WHERE datname = current_database() AND pid <> pg_backend_pid()");
  console.single_step_collection();
  const std::string missing = "ERROR Tag 'Demo.Tag1' not found in TSDB";
  int reported = writer_log.count(missing);
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_TRUE(console.single_step_collection()) << log_.dump();
    EXPECT_GT(writer_log.count(missing), reported) << "cycle " << cycle << "\n"
                                                   << writer_log.dump();
    reported = writer_log.count(missing);
  }

  // Created again: the very next cycle stores its row.
  const std::string id =
      sql("INSERT INTO tags (tag_name, source_id, source_tagname) VALUES ('Demo.Tag1', " + source +
          ", 'Demo.Tag1') RETURNING tag_id")
          .at(0);
  ASSERT_TRUE(console.single_step_collection()) << log_.dump();
  EXPECT_EQ(writer_log.count(missing), reported) << writer_log.dump();
  EXPECT_NE(sql("SELECT count(*) FROM tsdata WHERE tag_id = " + id).at(0), "0");
  console.cleanup_single_step();
}

INSTANTIATE_TEST_SUITE_P(Drivers, SingleStep, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

class SingleStepMisuse : public ConsoleFixture {};

TEST_F(SingleStepMisuse, StepBeforeInitialisationFailsAndTouchesNothing) {
  write_setup(sqlite_settings());
  auto& console = make_console();
  EXPECT_FALSE(console.single_step_collection());
  EXPECT_TRUE(
      log_.has("error", "Collector not initialized. Call initialize_for_single_step() first."));
  EXPECT_EQ(console.get_collection_statistics().total_collected, 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "data"));
}

TEST_F(SingleStepMisuse, CleanupWithoutInitialisationLogsNothing) {
  write_setup(sqlite_settings());
  auto& console = make_console();
  log_.clear();
  console.cleanup_single_step();
  EXPECT_TRUE(log_.records().empty()) << log_.dump();
}

TEST_F(SingleStepMisuse, FailingRegistrationMakesNoCollector) {
  tidewell::TsdbSettings unreachable;
  unreachable.host = "127.0.0.1";
  unreachable.port = 1;
  write_setup(unreachable);
  auto& console = make_console();
  EXPECT_FALSE(console.initialize_for_single_step());
  EXPECT_TRUE(log_.has("error", "Failed to connect to TSDB")) << log_.dump();
  EXPECT_TRUE(log_.has("error", "Failed to setup database objects"));
  EXPECT_FALSE(console.single_step_collection());
  EXPECT_TRUE(
      log_.has("error", "Collector not initialized. Call initialize_for_single_step() first."));
}

TEST_F(SingleStepMisuse, UnknownDaServerFailsTheInitialisation) {
  write_setup(sqlite_settings(), "opc.da://localhost/NoSuchServer");
  auto& console = make_console();
  EXPECT_FALSE(console.initialize_for_single_step());
  EXPECT_TRUE(log_.has("error",
                       "Failed to initialize single-step collection mode: Create OPC DA Source "
                       "failed"))
      << log_.dump();
}

TEST_F(SingleStepMisuse, BadSchemaPrefixFailsAtTheConfigurationBeforeAnyConnection) {
  write_setup(sqlite_settings(), "http://localhost/x");
  auto& console = make_console();
  EXPECT_FALSE(console.initialize_for_single_step());
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_schema = http://localhost/x: must "
                       "start with 'opc.da://' or 'opc.tcp://'"))
      << log_.dump();
  EXPECT_TRUE(log_.has("error", "Failed to load configuration"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "data"));
}

// Single-step mode against the node-opcua test server.
class SingleStepUa : public ConsoleFixture {};

TEST_F(SingleStepUa, ReadsNamespacedTagsFromTheTestServer) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    GTEST_SKIP() << "no OPC UA test server: " << *reason;
  }
  kestrane_test::UaTestServer server;
  write_setup(sqlite_settings(), server.url(), "OPC UA",
              "FullTagName,Description\n2:Demo.Tag1,Sine\n2:Demo.Count1,Counter\n");
  auto& console = make_console();
  ASSERT_TRUE(console.initialize_for_single_step()) << log_.dump();
  ASSERT_TRUE(console.single_step_collection()) << log_.dump();
  ASSERT_TRUE(console.single_step_collection()) << log_.dump();
  const auto stats = console.get_collection_statistics();
  EXPECT_EQ(stats.total_collected, 4u) << log_.dump();
  EXPECT_EQ(stats.total_written, 4u);
  EXPECT_EQ(sqlite_query("SELECT count(*) FROM tsdata WHERE quality = 'Good'").at(0), "4");
  EXPECT_EQ(sqlite_query("SELECT protocol FROM sources").at(0), "OPC_UA");
  console.cleanup_single_step();
}

// Every kind of value the test server offers, read once and stored: numbers and Booleans in
// tsdata, everything else as text in tsdata_text, each with its status and source time.
class SingleStepUaValues : public ConsoleFixture,
                           public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
      GTEST_SKIP() << "no OPC UA test server: " << *reason;
    }
    if (GetParam() == "postgresql") {
      const auto server = kestrane_test::postgres_server_settings();
      if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
      tsdb_ = scratch_database_.emplace(*server, "console_values").settings();
    } else {
      tsdb_ = sqlite_settings();
    }
  }

  bool postgres() const { return GetParam() == "postgresql"; }

  // One stored row: value, quality, status and source time in ms, as text ("NULL" for NULL).
  struct Stored {
    std::string value, quality, status, source_ms;
  };

  // The rows of `table` by tag name.
  std::map<std::string, Stored> stored(const std::string& table) {
    const std::string source_ms =
        postgres() ? "(extract(epoch FROM d.source_time) * 1000)::bigint" : "d.source_time / 1000";
    // Every digit of a double, on both drivers.
    const std::string value =
        postgres()
            ? "d.value::text"
            : "CASE typeof(d.value) WHEN 'real' THEN printf('%.17g', d.value) ELSE d.value END";
    const std::string sql = "SELECT t.tag_name, " + value + ", d.quality, d.status, " + source_ms +
                            " FROM " + table + " d JOIN tags t USING (tag_id)";
    const auto rows =
        postgres() ? kestrane_test::query_postgres_rows(tsdb_, sql)
                   : kestrane_test::query_sqlite_rows(dir_.path() / "data" / "console.db", sql);
    std::map<std::string, Stored> out;
    for (const auto& row : rows) {
      const auto at = [&row](std::size_t i) { return row.at(i).value_or("NULL"); };
      out[at(0)] = Stored{at(1), at(2), at(3), at(4)};
    }
    return out;
  }

  std::string scalar(const std::string& sql) {
    return postgres() ? kestrane_test::query_postgres(tsdb_, sql).at(0) : sqlite_query(sql).at(0);
  }

  tidewell::TsdbSettings tsdb_;
};

TEST_P(SingleStepUaValues, NumbersTextsStatusesAndSourceTimesAreStoredAsTheServerGaveThem) {
  kestrane_test::UaTestServer server;
  const std::vector<std::string> names = {
      "Boolean",     "Int32",  "UInt64",      "Int64",  "Double", "Bad",     "Uncertain",
      "OldSource",   "String", "DateTime",    "Guid",   "NodeId", "Awkward", "Nul",
      "DoubleArray", "Matrix", "StringArray", "Opaque", "Huge",   "Million", "LocalizedText"};
  std::string tags = "FullTagName,Description\n";
  for (const auto& name : names) tags += "2:Types." + name + ",\n";
  write_setup(tsdb_, server.url(), "OPC UA", tags);
  LogCapture writer_log("quellin");
  auto& console = make_console();
  ASSERT_TRUE(console.initialize_for_single_step()) << log_.dump();
  ASSERT_TRUE(console.single_step_collection()) << log_.dump();
  console.cleanup_single_step();

  const auto numbers = stored("tsdata");
  const auto texts = stored("tsdata_text");
  EXPECT_EQ(numbers.size() + texts.size(), names.size()) << writer_log.dump();
  const auto row = [](const std::map<std::string, Stored>& rows, const std::string& name) {
    const auto it = rows.find("2:Types." + name);
    return it == rows.end() ? Stored{"(none)", "", "", ""} : it->second;
  };
  const auto number = [&](const std::string& name) { return row(numbers, name); };
  const auto text = [&](const std::string& name) { return row(texts, name).value; };
  const auto quality_status = [](const Stored& r) { return r.quality + "|" + r.status; };

  EXPECT_EQ(number("Boolean").value, "1");
  EXPECT_EQ(number("Int32").value, "-2000000000");
  EXPECT_EQ(quality_status(number("Double")), "Good|0");
  EXPECT_EQ(std::stod(number("Double").value), 2.25);
  EXPECT_NE(number("Double").source_ms, "NULL");
  // Compared in the database, as a readback in text may show fewer digits.
  const auto stored_as = [this](const std::string& name, const std::string& number) {
    return scalar(
               "SELECT count(*) FROM tsdata d JOIN tags t USING (tag_id) WHERE t.tag_name = "
               "'2:Types." +
               name + "' AND d.value = CAST('" + number + "' AS double precision)") == "1";
  };
  EXPECT_TRUE(stored_as("UInt64", "18446744073709551616"));
  // 2^53 + 1 has no double: stored as the nearest one, and said once for the tag.
  EXPECT_TRUE(stored_as("Int64", "9007199254740992"));
  const auto said_once = [&writer_log](const std::string& line) {
    EXPECT_EQ(writer_log.count("WARNING Tag '2:Types." + line), 1) << writer_log.dump();
  };
  said_once(
      "Int64': the integer 9007199254740993 is beyond 2^53 and is stored as the nearest "
      "double, 9007199254740992; its later values are not reported again");
  EXPECT_EQ(quality_status(number("Bad")), "Bad|" + std::to_string(0x808C0000u));
  EXPECT_EQ(quality_status(number("Uncertain")), "Uncertain|" + std::to_string(0x40900000u));
  EXPECT_EQ(std::stod(number("Uncertain").value), 4.5);
  EXPECT_EQ(number("OldSource").source_ms, "1577934245678");

  EXPECT_EQ(quality_status(row(texts, "String")), "Good|0");
  EXPECT_EQ(text("String"), "text");
  EXPECT_EQ(text("NodeId"), "nsu=urn:kestrane:demo;s=Demo.Tag1");
  EXPECT_EQ(text("Awkward"),
            "a,b;\"quoted\" 'single'\nline two\ttab \\ \xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(text("Nul"),
            "before\xEF\xBF\xBD"
            "after");
  EXPECT_EQ(text("DoubleArray"), "[1.5,2.5,3.5]");
  EXPECT_EQ(text("Opaque"), "{\"typeId\":\"nsu=urn:kestrane:demo;i=99999\",\"body\":\"AQIDBA==\"}");
  // Cut at 64 KiB, each said once for its tag; the cut array stays valid JSON.
  EXPECT_EQ(text("Huge").size(), 65536u);
  for (const std::string name : {"Huge", "Million"}) {
    said_once(name +
              "': its value is longer than 65536 bytes of text and is stored cut at that "
              "length");
  }
  if (postgres()) {
    // Materialized first, so that no other tag's text meets the cast.
    EXPECT_EQ(
        scalar("WITH j AS MATERIALIZED (SELECT d.value FROM tsdata_text d"
               " JOIN tags t USING (tag_id) WHERE t.tag_name IN ('2:Types.DoubleArray',"
               " '2:Types.Opaque', '2:Types.Million'))"
               " SELECT count(*) FROM j WHERE jsonb_typeof(value::jsonb) IN ('array', 'object')"),
        "3");
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, SingleStepUaValues, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

// The free-running loop with a scripted signal source and clock.
class ConsoleRun : public ConsoleFixture {
 protected:
  // Lets `ticks` main-loop passes go by (each a short real wait so the collector works),
  // then reports `signo`. Polls during the start steps see no signal.
  ConsoleHooks hooks_until_signal(int ticks, int signo) {
    ConsoleHooks hooks;
    hooks.signal_wait = [this, ticks,
                         signo](std::chrono::milliseconds timeout) -> std::optional<int> {
      if (timeout.count() == 0) return std::nullopt;
      if (++ticks_ > ticks) return signo;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return std::nullopt;
    };
    hooks.wall_clock = [this] { return clock_.load(); };
    return hooks;
  }

  std::atomic<int> ticks_{0};
  std::atomic<double> clock_{1000.0};
};

TEST_F(ConsoleRun, CollectsUntilASignalThenStopsWithTheShutdownLines) {
  write_setup(sqlite_settings());
  auto& console = make_console(hooks_until_signal(5, 2));
  EXPECT_TRUE(console.run()) << log_.dump();
  EXPECT_EQ(console.received_signal(), 2);
  for (const char* line :
       {"Starting KestraneConsole...", "Database setup complete: 3 tags created, 0 tags updated",
        "Starting OPC data collection from: opc.da://localhost/OstrevoV2.1.0",
        "Sample interval: 0.05s, Batch size: 200", "Data collection started successfully",
        "Data collection is running. Press Ctrl+C to stop.", "Received signal 2, shutting down...",
        "Stopping data collection...", "Data collection stopped"}) {
    EXPECT_TRUE(log_.has("info", line)) << line << "\n" << log_.dump();
  }
  EXPECT_FALSE(log_.has("info", "KestraneConsole stopped"));
  EXPECT_FALSE(console.running());
  EXPECT_FALSE(console.collector_alive());
  const auto stats = console.get_collection_statistics();
  EXPECT_GT(stats.total_collected, 0u);
  EXPECT_GT(stats.total_written, 0u);
  // The run's totals close the log.
  EXPECT_TRUE(log_.has("info", fmt::format("Status - Tags: 3, Collected: {}, Written: {}",
                                           stats.total_collected, stats.total_written)))
      << log_.dump();
  EXPECT_NE(sqlite_query("SELECT count(*) FROM tsdata").at(0), "0");
}

TEST_F(ConsoleRun, ConfiguredUaSecurityReachesEverySourceAndNoLogShowsThePassword) {
  const auto pki = dir_.path() / "certs";
  write_setup(sqlite_settings(), "opc.tcp://127.0.0.1:4840", "OPC UA", kDemoTags,
              "collection_interval = 0.05\nopc_security_policy = Aes256_Sha256_RsaPss\n"
              "opc_security_mode = SignAndEncrypt\nopc_username = operator\n"
              "opc_password = Hunter2Secret\nopc_skip_hostname_check = true\nopc_pki_dir = " +
                  pki.string() + "\n");
  LogCapture engine_log("quellin");
  LogCapture client_log("pyqar");
  // The collector's thread opens the sources; the simulation answers in the server's place.
  auto opened = std::make_shared<std::vector<pyqar::CreateSourceArgs>>();
  auto opened_mutex = std::make_shared<std::mutex>();
  ConsoleHooks hooks = hooks_until_signal(5, 15);
  hooks.source_factory = [opened, opened_mutex](const pyqar::CreateSourceArgs& args) {
    {
      const std::lock_guard lock(*opened_mutex);
      opened->push_back(args);
    }
    return pyqar::make_da_source(kDaSchema, args.sample_timespan_msec);
  };
  auto& console = make_console(std::move(hooks));
  EXPECT_TRUE(console.run()) << log_.dump();
  EXPECT_TRUE(log_.has("info",
                       "OPC UA security: policy Aes256_Sha256_RsaPss, mode "
                       "SignAndEncrypt, user operator, PKI folder " +
                           pki.string()))
      << log_.dump();
  {
    const std::lock_guard lock(*opened_mutex);
    ASSERT_FALSE(opened->empty());
    for (const pyqar::CreateSourceArgs& args : *opened) {
      EXPECT_EQ(args.source_schema, "opc.tcp://127.0.0.1:4840");
      EXPECT_EQ(args.ua_security.policy, pyqar::UaSecurityPolicy::Aes256_Sha256_RsaPss);
      EXPECT_EQ(args.ua_security.mode, pyqar::UaSecurityMode::SignAndEncrypt);
      EXPECT_EQ(args.ua_security.username, "operator");
      EXPECT_EQ(args.ua_security.password, "Hunter2Secret");
      EXPECT_EQ(args.ua_security.pki_dir, pki.string());
      EXPECT_TRUE(args.ua_security.skip_hostname_check);
    }
  }
  // The start says the host name check is off.
  EXPECT_TRUE(client_log.has_prefix("warning", "opc_skip_hostname_check is on"))
      << client_log.dump();
  EXPECT_GT(console.get_collection_statistics().total_written, 0u);
  EXPECT_EQ(log_.dump().find("Hunter2Secret"), std::string::npos) << log_.dump();
  EXPECT_EQ(engine_log.dump().find("Hunter2Secret"), std::string::npos) << engine_log.dump();
}

TEST_F(ConsoleRun, AnUnexpectedErrorInTheMainLoopIsAFailure) {
  write_setup(sqlite_settings());
  ConsoleHooks hooks = hooks_until_signal(100, 2);
  hooks.signal_wait = [](std::chrono::milliseconds timeout) -> std::optional<int> {
    if (timeout.count() == 0) return std::nullopt;
    throw std::runtime_error("the signal pipe broke");
  };
  auto& console = make_console(std::move(hooks));
  // A failure, so that systemd's Restart=on-failure starts the program again.
  EXPECT_FALSE(console.run());
  EXPECT_TRUE(log_.has("error", "Unexpected error in main loop: the signal pipe broke"))
      << log_.dump();
  EXPECT_TRUE(log_.has("info", "KestraneConsole stopped"));
  EXPECT_FALSE(console.collector_alive());
}

TEST_F(ConsoleRun, StatusLineComesOnceThirtySecondsHavePassed) {
  write_setup(sqlite_settings());
  ConsoleHooks hooks = hooks_until_signal(4, 15);
  auto inner = hooks.signal_wait;
  hooks.signal_wait = [this, inner](std::chrono::milliseconds timeout) {
    if (timeout.count() > 0) clock_ = clock_.load() + 10.0;
    return inner(timeout);
  };
  auto& console = make_console(std::move(hooks));
  EXPECT_TRUE(console.run());
  int status_lines = 0;
  for (const auto& r : log_.records()) {
    if (r.message.rfind("Status - Tags: 3, Collected: ", 0) == 0) ++status_lines;
  }
  // Four passes at +10 s each: the line at 30 s, then the run's totals at the stop.
  EXPECT_EQ(status_lines, 2) << log_.dump();
  EXPECT_TRUE(log_.has("info", "Received signal 15, shutting down..."));
}

TEST_F(ConsoleRun, SignalDuringTheStartStepsEndsBeforeCollecting) {
  write_setup(sqlite_settings());
  ConsoleHooks hooks;
  hooks.signal_wait = [](std::chrono::milliseconds) -> std::optional<int> { return 15; };
  auto& console = make_console(std::move(hooks));
  EXPECT_TRUE(console.run());
  EXPECT_TRUE(log_.has("info", "Received signal 15, shutting down...")) << log_.dump();
  EXPECT_FALSE(log_.has("info", "Data collection started successfully"));
}

// run() without main()'s signal wait, as a program embedding the console would call it.
class ConsoleKeyboardInterrupt : public ConsoleRun {
 protected:
  void SetUp() override {
    struct sigaction current {};
    ::sigaction(SIGINT, nullptr, &current);
    if (current.sa_handler != SIG_DFL) GTEST_SKIP() << "the test runner handles SIGINT itself";
  }
  static bool sigint_blocked() {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, SIGINT) == 1;
  }
};

TEST_F(ConsoleKeyboardInterrupt, CtrlCInTheLoopStopsTheRunInsteadOfTheProcess) {
  write_setup(sqlite_settings());
  ConsoleHooks hooks;
  // The loop reads the clock once per pass for the status line, on run()'s own thread; the
  // construction reads it first. Ctrl+C comes in the second pass.
  hooks.wall_clock = [calls = 0]() mutable {
    if (++calls == 3) pthread_kill(pthread_self(), SIGINT);
    return 1000.0;
  };
  auto& console = make_console(std::move(hooks));
  EXPECT_TRUE(console.run()) << log_.dump();
  EXPECT_EQ(console.received_signal(), SIGINT);
  const std::vector<std::string> lines = log_.lines();
  const auto at = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto interrupt = at("INFO Received keyboard interrupt");
  ASSERT_LT(interrupt, static_cast<long>(lines.size())) << log_.dump();
  EXPECT_LT(at("INFO Data collection started successfully"), interrupt);
  EXPECT_LT(interrupt, at("INFO Stopping data collection..."));
  EXPECT_LT(at("INFO Data collection stopped"), at("INFO KestraneConsole stopped"));
  EXPECT_LT(at("INFO KestraneConsole stopped"), static_cast<long>(lines.size()));
  EXPECT_FALSE(log_.has_prefix("info", "Received signal")) << log_.dump();
  EXPECT_FALSE(console.collector_alive());
  EXPECT_FALSE(sigint_blocked());
}

TEST_F(ConsoleKeyboardInterrupt, CtrlCDuringRegistrationEndsBeforeCollecting) {
  write_setup(sqlite_settings());
  ConsoleHooks hooks;
  hooks.tsdb_connect = [](const tidewell::TsdbSettings& settings) {
    pthread_kill(pthread_self(), SIGINT);
    return tidewell::get_conn(settings);
  };
  auto& console = make_console(std::move(hooks));
  EXPECT_TRUE(console.run()) << log_.dump();
  EXPECT_TRUE(log_.has("info", "Received keyboard interrupt")) << log_.dump();
  EXPECT_TRUE(log_.has("info", "KestraneConsole stopped"));
  EXPECT_FALSE(log_.has("info", "Data collection started successfully"));
  EXPECT_FALSE(sigint_blocked());
}

// A caller that waits for signals itself keeps Ctrl+C: run() leaves the mask as it was.
TEST_F(ConsoleKeyboardInterrupt, ACallersSignalWaitKeepsCtrlC) {
  write_setup(sqlite_settings());
  bool blocked_in_run = true;
  ConsoleHooks hooks = hooks_until_signal(1, SIGTERM);
  hooks.wall_clock = [&blocked_in_run] {
    blocked_in_run = sigint_blocked();
    return 1000.0;
  };
  auto& console = make_console(std::move(hooks));
  EXPECT_TRUE(console.run());
  EXPECT_FALSE(blocked_in_run);
  EXPECT_TRUE(log_.has("info", "Received signal 15, shutting down...")) << log_.dump();
}

TEST_F(ConsoleRun, StartStepFailuresReturnFalseWithTheirSummary) {
  // No config.ini in the base directory (logging is already set up for the process).
  auto& console = make_console();
  EXPECT_FALSE(console.run());
  EXPECT_TRUE(
      log_.has("error", "Configuration file not found: " + (dir_.path() / "config.ini").string()));
  EXPECT_TRUE(log_.has("error", "Failed to load configuration")) << log_.dump();

  log_.clear();
  write_setup(sqlite_settings(), kDaSchema, "OPC DA", "FullTagName,Description\n");
  EXPECT_FALSE(make_console().run());
  EXPECT_TRUE(log_.has("error", "Failed to load tags from CSV")) << log_.dump();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "data"));  // no connection was opened

  log_.clear();
  tidewell::TsdbSettings unreachable;
  unreachable.host = "127.0.0.1";
  unreachable.port = 1;
  write_setup(unreachable);
  EXPECT_FALSE(make_console().run());
  EXPECT_TRUE(log_.has("error", "Failed to setup database objects")) << log_.dump();
}

TEST_F(ConsoleRun, CollectorThatEndsOnItsOwnEndsTheRunWithFailure) {
  write_setup(sqlite_settings(), "opc.da://localhost/NoSuchServer");
  auto& console = make_console(hooks_until_signal(50, 2));
  EXPECT_FALSE(console.run());
  EXPECT_TRUE(log_.has("error", "Collector thread ended unexpectedly; no data is being collected"))
      << log_.dump();
  EXPECT_TRUE(log_.has("info", "KestraneConsole stopped"));
}

TEST_F(ConsoleRun, TestConnectReportsBothOutcomes) {
  write_setup(sqlite_settings());
  auto& console = make_console();
  ASSERT_TRUE(console.load_config());
  EXPECT_TRUE(console.test_connect_tsdb());
  EXPECT_TRUE(log_.has("info", "Test Connect to TSDB database: localhost:5432/console Successful."))
      << log_.dump();

  tidewell::TsdbSettings unreachable;
  unreachable.host = "127.0.0.1";
  unreachable.port = 1;
  write_setup(unreachable);
  auto& other = make_console();
  ASSERT_TRUE(other.load_config());
  EXPECT_FALSE(other.test_connect_tsdb());
  EXPECT_TRUE(log_.has("error", "Failed to connect to TSDB")) << log_.dump();
}

TEST_F(ConsoleRun, WriteOutcomesAreCountedAndLogged) {
  write_setup(sqlite_settings());
  auto& console = make_console();
  console.db_status_callback(true, 7);
  console.db_status_callback(false, 0);
  console.status_callback("Read 3 tags, 0 bad.");
  EXPECT_EQ(console.get_collection_statistics().total_written, 7u);
  EXPECT_TRUE(log_.has("debug", "Successfully wrote 7 records to database"));
  EXPECT_TRUE(log_.has("warning", "Failed to write data to database"));
  EXPECT_TRUE(log_.has("debug", "OPC Status: Read 3 tags, 0 bad."));
}

}  // namespace
}  // namespace kestrane_console
