// Events written by the collector's write stage, against a real database of each driver: in
// the batch's transaction beside its rows and under the server's source row, alone, once
// however often a batch is replayed, refreshed condition states stored before left out (also
// by a writer that starts later), and a refused event kept in the rejected file.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "database_readback.h"
#include "log_capture.h"
#include "scratch_postgres_database.h"
#include "temp_dir.h"
#include "tidewell/tidewell.h"
#include "tsdb_writer.h"
#include "utc_text.h"

namespace {

namespace fs = std::filesystem;
using kestrane_test::Row;

const std::int64_t kTime = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
const std::string kEndpoint = "opc.tcp://plant:4840";

// Counts what the store reports; the rest is not looked at here.
class EventCounter : public quellin::CollectorMetrics {
 public:
  void cycle_read(std::size_t, const quellin::QualityCounts&, double, std::int64_t) override {}
  void cycle_done(double) override {}
  void pausing(double) override {}
  void opc_connected(bool) override {}
  void opc_reconnect() override {}
  void rows_written(const quellin::RowsWritten&, double, std::int64_t) override {}
  void events_written(std::size_t events) override {
    std::lock_guard lock(mutex_);
    written_ += events;
  }
  void rows_spooled(std::size_t) override {}
  void rows_dropped(std::size_t, std::string_view) override {}
  void spool_size(std::uint64_t, std::uint64_t) override {}
  void handoff_rows(std::uint64_t) override {}
  void tsdb_connected(bool) override {}
  void tsdb_reconnect() override {}
  std::size_t written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  mutable std::mutex mutex_;
  std::size_t written_ = 0;
};

pyqar::EventRecord plain_event(const std::string& id, std::int64_t time_us) {
  pyqar::EventRecord e;
  e.event_id = id;
  e.event_type = "i=2041";
  e.source_node = "ns=2;s=Events.Plant";
  e.source_name = "Plant";
  e.time = pyqar::Timestamp(std::chrono::microseconds(time_us));
  e.receive_time = pyqar::Timestamp(std::chrono::microseconds(time_us + 7));
  e.severity = 200;
  e.message = "tick " + id;
  e.fields_json = R"({"Message":"tick"})";
  return e;
}

pyqar::EventRecord condition_event(const std::string& condition, const std::string& id,
                                   std::int64_t time_us, bool refresh, bool active = true) {
  pyqar::EventRecord e = plain_event(id, time_us);
  e.event_type = "i=9482";
  e.source_name = "Level";
  e.message = "level high";
  e.severity = 700;
  e.condition_id = condition;
  e.condition_name = "LevelAlarm";
  e.retain = true;
  e.active = active;
  e.acked = false;
  e.refresh = refresh;
  return e;
}

class EventWrite : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (sqlite()) {
      settings_.driver = "sqlite";
      settings_.data_dir = (folder_ / "data").string();
      settings_.dbname = "plant";
    } else {
      const auto server = kestrane_test::postgres_server_settings();
      if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
      database_.emplace(*server, "event_write");
      settings_ = database_->settings();
    }
    auto conn = tidewell::get_conn(settings_);
    ASSERT_NE(conn, nullptr);
    tidewell::TagInfo tag;
    tag.tag_name = "a";
    ASSERT_TRUE(tidewell::insert_new_tag(*conn, tag).ok);
  }

  bool sqlite() const { return GetParam() == "sqlite"; }

  // Registers a source as the programs do before collecting; returns its id.
  std::int64_t register_source(const std::string& name, const std::string& endpoint) {
    auto conn = tidewell::get_conn(settings_);
    tidewell::SourceInfo source;
    source.source_name = name;
    source.endpoint = endpoint;
    source.protocol = tidewell::SourceProtocol::OPC_UA;
    EXPECT_TRUE(tidewell::insert_new_source(*conn, source).ok);
    return source.source_id.value_or(-1);
  }

  std::unique_ptr<quellin::TsdbWriter> make() {
    quellin::TsdbWriter::Options options{
        .tsdb_cfg = settings_,
        .tsdb_connect =
            [this](const tidewell::TsdbSettings& s) -> std::unique_ptr<tidewell::Connection> {
          if (outage_) return nullptr;
          return tidewell::get_conn(s);
        },
        .db_status_notify = [this](bool ok, std::size_t n) { statuses_.emplace_back(ok, n); },
        .spool = quellin::SpoolSettings{folder_ / "spool", 64 << 20},
        .log = log_.shared(),
        .metrics = metrics_,
        .event_source = {.endpoint = kEndpoint}};
    return std::make_unique<quellin::TsdbWriter>(std::move(options));
  }

  static quellin::WriteCycle cycle(std::int64_t time_us, std::vector<pyqar::EventRecord> events,
                                   bool with_row = true) {
    quellin::WriteCycle made{.time_us = time_us, .results = {}, .events = std::move(events)};
    if (with_row) made.results.push_back({"a", 1.5, "Good", {}});
    return made;
  }

  std::vector<Row> query(const std::string& sql) const {
    if (sqlite()) return kestrane_test::query_sqlite_rows(folder_ / "data" / "plant.db", sql);
    return kestrane_test::query_postgres_rows(settings_, sql);
  }
  std::string count(const std::string& table) const {
    return *query("SELECT count(*) FROM " + table)[0][0];
  }
  // A Boolean column as text alike on both drivers.
  static std::string flag(const std::string& column) {
    return "CASE WHEN " + column + " IS NULL THEN 'null' WHEN " + column +
           " THEN 'yes' ELSE 'no' END";
  }
  std::string hex(const std::string& column) const {
    return sqlite() ? "lower(hex(" + column + "))" : "encode(" + column + ", 'hex')";
  }

  kestrane_test::TempDir folder_{"event-write-"};
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  tidewell::TsdbSettings settings_;
  kestrane_test::LogCapture log_{"quellin"};
  std::shared_ptr<EventCounter> metrics_ = std::make_shared<EventCounter>();
  std::vector<std::pair<bool, std::size_t>> statuses_;
  bool outage_ = false;
};

TEST_P(EventWrite, RowsAndEventsOfABatchAreStoredTogetherUnderTheServersSource) {
  register_source("console_kestrane", "opc.tcp://elsewhere:4840");
  const std::int64_t source = register_source("console_kestrane", kEndpoint);
  // An EventId is bytes, zero bytes included.
  pyqar::EventRecord plain = plain_event(std::string("\x00\x01\xfe", 3), kTime - 50);
  plain.message = "tick 1";
  auto writer = make();
  writer->write_now(
      cycle(kTime, {plain, condition_event("ns=2;s=Events.LevelAlarm", "c1", kTime - 40, false)}));

  EXPECT_EQ(count("tsdata"), "1");
  EXPECT_EQ(count("write_batches"), "1");
  EXPECT_EQ(statuses_, (std::vector<std::pair<bool, std::size_t>>{{true, 1}}));
  EXPECT_EQ(metrics_->written(), 2u);
  const std::string s = std::to_string(source);
  const std::string yes = sqlite() ? "1" : "t";
  // jsonb gives its own spacing back.
  const std::string fields = sqlite() ? R"({"Message":"tick"})" : R"({"Message": "tick"})";
  EXPECT_EQ(query("SELECT source_id, " + hex("event_id") +
                  ", event_type, source_name, severity, message, condition_id, condition_name, " +
                  flag("retain") + ", " + flag("active") + ", " + flag("acked") + ", " +
                  flag("confirmed") + ", " + flag("refresh") +
                  ", receive_time IS NOT NULL, fields FROM events ORDER BY time"),
            (std::vector<Row>{
                {s, "0001fe", "i=2041", "Plant", "200", "tick 1", std::nullopt, std::nullopt,
                 "null", "null", "null", "null", "no", yes, fields},
                {s, "6331", "i=9482", "Level", "700", "level high", "ns=2;s=Events.LevelAlarm",
                 "LevelAlarm", "yes", "yes", "no", "null", "no", yes, fields}}));
  EXPECT_FALSE(log_.has_prefix("error", "")) << log_.dump();
}

TEST_P(EventWrite, EventsAloneAreWrittenAndASourceIsRegisteredWhenNoneHasTheEndpoint) {
  auto writer = make();
  writer->write_now(cycle(kTime, {plain_event("e1", kTime)}, false));

  EXPECT_EQ(count("events"), "1");
  EXPECT_EQ(count("tsdata"), "0");
  EXPECT_EQ(count("write_batches"), "1");
  EXPECT_EQ(writer->spooled_rows(), 0u);
  EXPECT_EQ(query("SELECT s.source_name, s.endpoint FROM events e JOIN sources s ON "
                  "s.source_id = e.source_id"),
            (std::vector<Row>{{"kestrane_events", kEndpoint}}));
  EXPECT_TRUE(log_.has_prefix("warning", "No source had the endpoint " + kEndpoint)) << log_.dump();
  // The next batch finds that source instead of registering another.
  writer->write_now(cycle(kTime + 10, {plain_event("e2", kTime + 10)}, false));
  EXPECT_EQ(count("sources"), "1");
  EXPECT_EQ(count("events"), "2");
}

TEST_P(EventWrite, ABatchSpooledInAnOutageIsStoredOnceHoweverOftenItIsWritten) {
  register_source("console_kestrane", kEndpoint);
  outage_ = true;
  {
    auto writer = make();
    quellin::WriteCycle c = cycle(kTime, {plain_event("e1", kTime), plain_event("e2", kTime)});
    c.batch_writer_id = "history-1";
    c.batch_seq = 5;
    writer->write_now(c);
    // Each event waits beside the row and counts as one.
    EXPECT_EQ(writer->spooled_rows(), 3u);
  }
  outage_ = false;
  auto writer = make();
  writer->write_now(cycle(kTime + 10, {}));  // the replay follows this cycle
  EXPECT_EQ(writer->spooled_rows(), 0u);
  EXPECT_EQ(count("events"), "2");
  EXPECT_EQ(count("tsdata"), "2");
  // Written again under the same identity: found stored, nothing written twice.
  quellin::WriteCycle again = cycle(kTime, {plain_event("e1", kTime), plain_event("e2", kTime)});
  again.batch_writer_id = "history-1";
  again.batch_seq = 5;
  writer->write_now(again);
  EXPECT_EQ(count("events"), "2");
  EXPECT_EQ(count("tsdata"), "2");
  EXPECT_EQ(metrics_->written(), 2u);
  EXPECT_EQ(query("SELECT DISTINCT source_name FROM events"), (std::vector<Row>{{"Plant"}}));
}

TEST_P(EventWrite, RefreshedStatesStoredBeforeAreLeftOutAndChangedOnesStored) {
  register_source("console_kestrane", kEndpoint);
  const std::string level = "ns=2;s=Events.LevelAlarm";
  const std::string pressure = "ns=2;s=Events.PressureAlarm";
  {
    auto writer = make();
    writer->write_now(cycle(kTime, {condition_event(level, "L1", kTime, false)}));
    // A refresh right after: the level alarm's state is the one stored, the pressure alarm's
    // is new; within the batch the same state twice is stored once.
    writer->write_now(cycle(kTime + 10, {condition_event(level, "L1", kTime, true),
                                         condition_event(pressure, "P1", kTime + 1, true),
                                         condition_event(pressure, "P1", kTime + 1, true)}));
    EXPECT_EQ(count("events"), "2");
    // A new event of the level alarm, then its refresh: the refresh repeats the latest.
    writer->write_now(cycle(kTime + 20, {condition_event(level, "L2", kTime + 20, false, false)}));
    writer->write_now(cycle(kTime + 30, {condition_event(level, "L2", kTime + 20, true, false)}));
    EXPECT_EQ(count("events"), "3");
  }
  // A writer that starts later reads the conditions' latest states from the database: a
  // restart with the alarms still active stores nothing again; a state that changed while it
  // was away is stored.
  auto writer = make();
  writer->write_now(cycle(kTime + 40, {condition_event(level, "L2", kTime + 20, true, false),
                                       condition_event(pressure, "P1", kTime + 1, true)}));
  EXPECT_EQ(count("events"), "3");
  writer->write_now(cycle(kTime + 50, {condition_event(pressure, "P2", kTime + 45, true)}));
  EXPECT_EQ(count("events"), "4");
  EXPECT_EQ(query("SELECT " + hex("event_id") + ", " + flag("refresh") +
                  " FROM events ORDER BY time, event_id"),
            (std::vector<Row>{{"4c31", "no"}, {"5031", "yes"}, {"4c32", "no"}, {"5032", "yes"}}));
  EXPECT_EQ(metrics_->written(), 4u);
}

TEST_P(EventWrite, ARefusedEventIsKeptInTheRejectedFileOnALineOfItsOwn) {
  register_source("console_kestrane", kEndpoint);
  auto writer = make();
  pyqar::EventRecord bad = plain_event(std::string("\x0a\xbc", 2), kTime - 5);
  bad.source_name = "Tank, 1";
  bad.message = "says \"hi\"";
  bad.fields_json = "no json";  // what the database refuses
  writer->write_now(cycle(kTime, {bad}));

  EXPECT_EQ(count("events"), "0");
  EXPECT_EQ(count("tsdata"), "0");
  std::vector<std::string> event_lines;
  for (const auto& entry : fs::directory_iterator(folder_ / "spool")) {
    if (!entry.path().filename().string().starts_with("rejected-")) continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("event,")) event_lines.push_back(line);
    }
  }
  EXPECT_EQ(event_lines,
            (std::vector<std::string>{
                "event," + quellin::utc_text(kTime - 5, quellin::UtcPrecision::kMicroseconds) +
                ",\"Tank, 1\",0abc,200,\"says \"\"hi\"\"\",no json"}));
  EXPECT_TRUE(log_.has_prefix("error", "1 rows and 1 events read at")) << log_.dump();
}

INSTANTIATE_TEST_SUITE_P(Drivers, EventWrite, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
