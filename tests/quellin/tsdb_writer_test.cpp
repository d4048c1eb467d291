#include "tsdb_writer.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "quellin/opc_collector.h"
#include "scripted_collector_test.h"
#include "scripted_opc.h"
#include "scripted_tsdb.h"
#include "temp_dir.h"

namespace {

using quellin::OPCCollector;
using quellin_test::ScriptedOpc;
using quellin_test::ScriptedTsdb;

// A collector in single-step use whose write stage spools into a temporary folder.
class SpoolingCollector : public quellin_test::ScriptedCollectorTest {
 protected:
  SpoolingCollector() {
    db->tags = {{"Demo.Tag1", 11}, {"Demo.Tag2", 12}};
    wall = 1'800'000'000'000'000;
  }

  std::unique_ptr<OPCCollector> make(std::uint64_t spool_bytes = 1 << 20,
                                     quellin::PrepareConnectionFunc prepare = {}) {
    OPCCollector::Options options = collector_options();
    options.db_status_notify = [this](bool ok, std::size_t n) { db_statuses.emplace_back(ok, n); };
    options.spool_notify = [this](std::uint64_t rows, bool replaying) {
      spool_reports.emplace_back(rows, replaying);
    };
    options.prepare_connection = std::move(prepare);
    if (spool_bytes > 0) options.spool = quellin::SpoolSettings{spool_dir(), spool_bytes};
    return std::make_unique<OPCCollector>(std::move(options));
  }

  std::filesystem::path spool_dir() const { return dir.path() / "spool"; }

  std::vector<std::int64_t> written_times() const {
    std::vector<std::int64_t> times;
    for (const auto& write : db->writes) times.push_back(write.at(0).time_us);
    return times;
  }

  std::vector<std::pair<bool, std::size_t>> db_statuses;
  std::vector<std::pair<std::uint64_t, bool>> spool_reports;
};

TEST_F(SpoolingCollector, RowsThatCannotBeWrittenWaitOnDiskAndReplayInOrderWithTheirOwnTime) {
  auto c = make();
  c->collection_step();  // written
  database_down();
  c->collection_step();  // the write fails: spooled
  c->collection_step();  // no connection: spooled
  EXPECT_EQ(c->spooled_rows(), 4u);
  EXPECT_EQ(spool_reports.back(), std::make_pair(std::uint64_t{4}, false));
  database_up();
  c->collection_step();  // reconnects, spools this cycle too, then replays all three
  EXPECT_EQ(c->spooled_rows(), 0u);
  const std::int64_t t0 = 1'800'000'001'000'000;
  EXPECT_EQ(written_times(),
            (std::vector<std::int64_t>{t0, t0 + 1'000'000, t0 + 2'000'000, t0 + 3'000'000}));
  EXPECT_EQ(log.count("INFO Replaying the spool: 6 rows read between 2027-01-15T08:00:02.000Z and "
                      "2027-01-15T08:00:04.000Z"),
            1)
      << log.dump();
  EXPECT_TRUE(log.has_prefix("info", "Spool replay finished: 6 rows read between ")) << log.dump();
  EXPECT_TRUE(std::filesystem::is_empty(spool_dir()) ||
              !std::filesystem::exists(spool_dir() / "spool-0000000000000001.dat"));
}

TEST_F(SpoolingCollector, RowsWaitUntilTheConnectionIsPreparedThenGoWithTheIdsItGave) {
  // The database knows no tag until the preparation registers them; it fails once first.
  db->tags.clear();
  database_down();
  int calls = 0;
  auto c = make(
      1 << 20,
      [&](tidewell::Connection&) -> std::optional<std::unordered_map<std::string, std::int64_t>> {
        if (++calls == 1) return std::nullopt;
        db->tags = {{"Demo.Tag1", 11}, {"Demo.Tag2", 12}};
        return std::unordered_map<std::string, std::int64_t>(db->tags.begin(), db->tags.end());
      });
  c->collection_step();  // no connection: spooled
  c->collection_step();
  EXPECT_EQ(calls, 0);
  database_up();
  c->collection_step();  // reconnects; the preparation fails: nothing is written
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(db->writes.empty());
  EXPECT_EQ(c->spooled_rows(), 6u);
  time.sleep(quellin::kPrepareRetrySeconds);
  c->collection_step();  // prepared: this cycle, then the three waiting
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(c->spooled_rows(), 0u);
  EXPECT_EQ(db->writes.size(), 4u);
  for (const auto& write : db->writes) {
    ASSERT_EQ(write.size(), 2u);
    EXPECT_EQ(write.at(0).tag_id, 11);
    EXPECT_EQ(write.at(1).tag_id, 12);
  }
  EXPECT_EQ(log.dump().find("not found in TSDB"), std::string::npos) << log.dump();
  EXPECT_TRUE(log.has("info",
                      "TSDB connection prepared: 2 tag ids known; spooled rows are "
                      "written next"))
      << log.dump();
  c->collection_step();
  EXPECT_EQ(calls, 2);  // once prepared, never again
}

TEST_F(SpoolingCollector, ABatchCommittedWhoseAcknowledgementWasLostIsNotWrittenTwice) {
  auto c = make();
  db->write_commits_then_throws = true;
  db->ping_answer = false;  // the connection broke after COMMIT
  c->collection_step();     // stored, reported lost, spooled, reconnected, replayed
  db->write_commits_then_throws = false;
  db->ping_answer = true;
  c->collection_step();
  EXPECT_EQ(db->writes.size(), 2u);  // the first cycle once, the second once
  EXPECT_EQ(db->duplicates, 1);
  EXPECT_EQ(c->spooled_rows(), 0u);
}

// Records of stored batches are pruned from the write path, once an hour, keeping
// batch_retention_days; rows read longer ago than that are written with a warning, since their
// batch's record may be gone.
TEST_F(SpoolingCollector, BatchRecordsArePrunedHourlyAndRowsPastTheRetentionAreWarnedAbout) {
  constexpr std::int64_t kDayUs = 86400LL * 1000000;
  const auto system_us = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  auto c = make();
  const std::int64_t before = system_us();
  c->collection_step();
  ASSERT_EQ(db->prune_cutoffs.size(), 1u);
  EXPECT_GE(db->prune_cutoffs[0], before - 30 * kDayUs);
  EXPECT_LE(db->prune_cutoffs[0], system_us() - 30 * kDayUs);
  c->collection_step();
  EXPECT_EQ(db->prune_cutoffs.size(), 1u);
  time.now += 3600;
  c->collection_step();
  EXPECT_EQ(db->prune_cutoffs.size(), 2u);
  EXPECT_FALSE(log.has_prefix("warning", "")) << log.dump();

  wall = system_us() - 31 * kDayUs;
  c->collection_step();
  EXPECT_TRUE(log.has_prefix("warning", "Writing 2 rows read at ")) << log.dump();
  EXPECT_EQ(db->writes.size(), 4u);
}

TEST_F(SpoolingCollector, TheSpoolOfAnEarlierRunIsReplayedAfterARestart) {
  {
    database_down();
    auto c = make();
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(c->spooled_rows(), 4u);
  }
  database_up();
  auto c = make();
  EXPECT_TRUE(log.has_prefix("info", "Spool holds 4 rows read between")) << log.dump();
  c->collection_step();
  EXPECT_EQ(c->spooled_rows(), 0u);
  // Live data first, then the earlier run's cycles, oldest first, each at its own time.
  const std::int64_t t0 = 1'800'000'001'000'000;
  EXPECT_EQ(written_times(), (std::vector<std::int64_t>{t0 + 2'000'000, t0, t0 + 1'000'000}));
}

TEST_F(SpoolingCollector, ARejectedWriteIsKeptWithTheServerTextAndNotRetried) {
  auto c = make();
  db->write_rejected = true;
  c->collection_step();
  EXPECT_EQ(c->spooled_rows(), 0u);
  std::vector<std::filesystem::path> rejected;
  for (const auto& entry : std::filesystem::directory_iterator(spool_dir())) {
    if (entry.path().filename().string().rfind("rejected-", 0) == 0) {
      rejected.push_back(entry.path());
    }
  }
  ASSERT_EQ(rejected.size(), 1u);
  std::ifstream in(rejected[0]);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("value out of range for type double precision"), std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find(",Demo.Tag2,"), std::string::npos) << text.str();
  db->write_rejected = false;
  c->collection_step();
  EXPECT_EQ(db->writes.size(), 1u);  // only the new cycle
}

// Readings with a text, a status and a source time: one row of each kind.
std::vector<pyqar::ValueObject> typed_readings(const std::vector<pyqar::TagDescriptor>&) {
  pyqar::ValueObject text{std::string("open, \"half\"\nü"), pyqar::QAR_QUALITY::QAR_HIGH_GOOD, {}};
  text.status = 0x00000000u;
  text.source_timestamp = pyqar::Timestamp(std::chrono::microseconds(1577934245678901));
  pyqar::ValueObject number{2.5, pyqar::QAR_QUALITY::QAR_HIGH_BAD, {}};
  number.status = 0x808A0000u;
  return {text, number};
}

TEST_F(SpoolingCollector, TextsStatusesAndSourceTimesSurviveTheSpool) {
  opc->responder = typed_readings;
  auto c = make();
  database_down();
  c->collection_step();
  EXPECT_EQ(c->spooled_rows(), 2u);
  database_up();
  opc->responder = ScriptedOpc::all_good;
  c->collection_step();
  EXPECT_EQ(c->spooled_rows(), 0u);
  ASSERT_EQ(db->writes.size(), 2u);
  // The spooled cycle is the older one: written first.
  const auto& replayed = db->writes[0];
  ASSERT_EQ(replayed.size(), 2u);
  EXPECT_EQ(replayed[0].text, "open, \"half\"\nü");
  EXPECT_EQ(replayed[0].quality, "Good");
  EXPECT_EQ(replayed[0].status, 0u);
  EXPECT_EQ(replayed[0].source_time_us, 1577934245678901);
  EXPECT_FALSE(replayed[1].text.has_value());
  EXPECT_EQ(replayed[1].value, 2.5);
  EXPECT_EQ(replayed[1].status, 0x808A0000u);
  EXPECT_FALSE(replayed[1].source_time_us.has_value());
}

TEST_F(SpoolingCollector, ARejectedRowKeepsItsOldColumnsFirstAndTheNewOnesAfter) {
  opc->responder = typed_readings;
  auto c = make();
  db->write_rejected = true;
  c->collection_step();
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(spool_dir())) {
    if (entry.path().filename().string().rfind("rejected-", 0) != 0) continue;
    std::ifstream in(entry.path());
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  // read time, tag, value, quality, then text, status and source time.
  EXPECT_NE(text.find("Z,Demo.Tag1,,Good,\"open, \"\"half\"\"\nü\",0x00000000,"
                      "2020-01-02T03:04:05.678901Z\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Z,Demo.Tag2,2.5,Bad,,0x808A0000,\n"), std::string::npos) << text;
}

// The write stage alone, for cycles the collector does not make yet.
class WriterAlone : public ::testing::Test {
 protected:
  WriterAlone() { db->tags = {{"a", 1}, {"b", 2}}; }
  std::unique_ptr<quellin::TsdbWriter> make() {
    return std::make_unique<quellin::TsdbWriter>(quellin::TsdbWriter::Options{
        .tsdb_cfg = {}, .tsdb_connect = db->connect_func(db), .log = log.shared()});
  }
  static quellin::ResultTuple result(std::string tag, pyqar::Value value) {
    return {std::move(tag), std::move(value), "Good", {}};
  }

  std::shared_ptr<ScriptedTsdb> db = std::make_shared<ScriptedTsdb>();
  kestrane_test::LogCapture log;
};

TEST_F(WriterAlone, ACycleWithATimePerRowStoresEachRowAtItsOwnTime) {
  auto writer = make();
  writer->write_now({.time_us = 1000,
                     .results = {result("a", 1.0), result("b", std::string("x"))},
                     .row_time_us = {10, 20}});
  ASSERT_EQ(db->writes.size(), 1u);
  EXPECT_EQ(db->writes[0].at(0).time_us, 10);
  EXPECT_EQ(db->writes[0].at(1).time_us, 20);
  EXPECT_EQ(db->writes[0].at(1).text, "x");
}

TEST_F(WriterAlone, RowTimesThatDoNotMatchTheResultsAreRefusedBeforeAnythingIsWritten) {
  auto writer = make();
  const quellin::WriteCycle cycle{
      .time_us = 1000, .results = {result("a", 1.0), result("b", 2.0)}, .row_time_us = {10}};
  EXPECT_THROW(writer->write_now(cycle), std::invalid_argument);
  writer->start();
  EXPECT_THROW(writer->submit(cycle), std::invalid_argument);
  writer->stop();
  EXPECT_TRUE(db->writes.empty());
}

TEST_F(SpoolingCollector, AFailureThatMayPassWhileTheDatabaseAnswersSpoolsTheRows) {
  auto c = make();
  db->write_throws = true;  // a statement timeout or a locked file: the ping still answers
  c->collection_step();
  EXPECT_EQ(log.count("WARNING The failure may pass; the rows wait in the spool"), 1) << log.dump();
  EXPECT_EQ(db->connects, 1);  // the connection is kept
  db->write_throws = false;
  c->collection_step();  // this cycle, then the waiting one
  EXPECT_EQ(c->spooled_rows(), 0u);
  EXPECT_EQ(db->writes.size(), 2u);
}

TEST_F(SpoolingCollector, AFailureThatMayPassWithoutASpoolSaysTheRowsAreDropped) {
  auto c = make(0);
  db->write_throws = true;
  c->collection_step();
  EXPECT_EQ(log.count("WARNING The failure may pass, but with no spool (spool_max_mb = 0) the "
                      "rows are dropped"),
            1)
      << log.dump();
  EXPECT_EQ(log.count("WARNING The failure may pass; the rows wait in the spool"), 0);
  EXPECT_EQ(c->spooled_rows(), 0u);
}

TEST_F(SpoolingCollector, WithoutASpoolRowsThatCannotBeWrittenAreDroppedWithAnError) {
  auto c = make(0);
  database_down();
  c->collection_step();
  EXPECT_EQ(c->spooled_rows(), 0u);
  const std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("rows read at") != std::string::npos &&
           line.find("dropped: the connection to the TSDB failed") != std::string::npos;
  })) << log.dump();
  EXPECT_FALSE(std::filesystem::exists(spool_dir()));
}

TEST_F(SpoolingCollector, AFolderThatCannotHoldTheSpoolFailsTheConstruction) {
  std::ofstream(dir.path() / "file") << "x";
  auto bad = quellin::SpoolSettings{dir.path() / "file" / "spool", 1 << 20};
  EXPECT_THROW(
      OPCCollector(OPCCollector::Options{.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                                         .get_tags_func = [this] { return tags; },
                                         .data_deque = &queue,
                                         .tsdb_cfg = tidewell::TsdbSettings{},
                                         .spool = bad,
                                         .source_factory = quellin_test::scripted_factory(opc),
                                         .tsdb_connect = db->connect_func(db)}),
      std::runtime_error);
}

}  // namespace
