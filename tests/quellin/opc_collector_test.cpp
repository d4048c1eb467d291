#include "quellin/opc_collector.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "scripted_opc.h"
#include "scripted_tsdb.h"

namespace {

using kestrane_test::LogCapture;
using quellin::OPCCollector;
using quellin::ResultQueue;
using quellin_test::FakeTime;
using quellin_test::ScriptedOpc;
using quellin_test::ScriptedTsdb;

pyqar::ValueObject good(pyqar::Value v) {
  return {std::move(v), pyqar::QAR_QUALITY::QAR_HIGH_GOOD, {}};
}
pyqar::ValueObject with_quality(pyqar::Value v, int quality) { return {std::move(v), quality, {}}; }

class OPCCollectorTest : public ::testing::Test {
 protected:
  OPCCollectorTest() {
    db->tags = {{"Demo.Tag1", 11}, {"Demo.Tag2", 12}, {"Demo.Tag3", 13}, {"Demo.Tag4", 14}};
  }

  std::unique_ptr<OPCCollector> make(bool with_tsdb = true,
                                     std::string schema = "opc.da://localhost/OstrevoV2.1.0",
                                     std::unordered_map<std::string, std::int64_t> known_ids = {},
                                     quellin::WallClockFunc wall_clock = {}) {
    std::optional<tidewell::TsdbSettings> cfg;
    if (with_tsdb) cfg = tidewell::TsdbSettings{};
    return std::make_unique<OPCCollector>(OPCCollector::Options{
        .opc_schema = std::move(schema),
        .get_tags_func = [this] { return tags; },
        .data_deque = &queue,
        .deque_lock = &lock,
        .tsdb_cfg = cfg,
        .status_notify = [this](const std::string& text) { statuses.push_back(text); },
        .db_status_notify = [this](bool ok, std::size_t n) { db_statuses.emplace_back(ok, n); },
        .tag_ids = std::move(known_ids),
        .source_factory = quellin_test::scripted_factory(opc),
        .tsdb_connect = db->connect_func(db),
        .clock = [this] { return time.clock(); },
        .sleep = [this](double s) { time.sleep(s); },
        .wall_clock = std::move(wall_clock)});
  }

  // Answers every read with `values`, in order.
  void serve(std::vector<pyqar::ValueObject> values) {
    opc->responder = [values](const std::vector<pyqar::TagDescriptor>&) { return values; };
  }

  std::vector<quellin_test::WrittenRow> last_write() const {
    return db->writes.empty() ? std::vector<quellin_test::WrittenRow>{} : db->writes.back();
  }

  std::shared_ptr<ScriptedOpc> opc = std::make_shared<ScriptedOpc>();
  std::shared_ptr<ScriptedTsdb> db = std::make_shared<ScriptedTsdb>();
  std::vector<std::string> tags{"Demo.Tag1", "Demo.Tag2"};
  ResultQueue queue{300};
  std::mutex lock;
  FakeTime time;
  std::vector<std::string> statuses;
  std::vector<std::pair<bool, std::size_t>> db_statuses;
  LogCapture log{"quellin"};
};

using DbStatuses = std::vector<std::pair<bool, std::size_t>>;

TEST_F(OPCCollectorTest, RejectsASchemaWithNeitherPrefixBeforeDoingAnything) {
  try {
    make(true, "http://localhost/OstrevoV2.1.0");
    FAIL() << "accepted a bad schema";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid OPC schema format: http://localhost/OstrevoV2.1.0. Must start with "
                 "'opc.da://' or 'opc.tcp://'");
  }
  EXPECT_EQ(db->connects, 0);
}

TEST_F(OPCCollectorTest, RejectsAMissingTagSourceOrQueue) {
  try {
    OPCCollector c({.opc_schema = "opc.da://localhost/OstrevoV2.1.0", .data_deque = &queue});
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Either 'get_tags_func' or 'tags' must be provided.");
  }
  EXPECT_THROW(OPCCollector({.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                             .get_tags_func = [] { return std::vector<std::string>{}; }}),
               std::invalid_argument);
}

TEST_F(OPCCollectorTest, ConnectsToTheTsdbAtConstructionOnlyWhenConfigured) {
  make(false);
  EXPECT_EQ(db->connects, 0);
  auto c = make(true);
  EXPECT_EQ(db->connects, 1);
  EXPECT_TRUE(c->has_tsdb_conn());
  db->connect_throws = true;
  EXPECT_THROW(make(true), tidewell::DatabaseError);
}

TEST_F(OPCCollectorTest, CollectionStepOnAFreshCollectorConnectsThenReadsOnce) {
  auto c = make(false);
  c->collection_step();
  EXPECT_EQ(opc->creates, 1);
  EXPECT_EQ(opc->batches.size(), 1u);
  EXPECT_EQ(log.count("INFO DA reconnecting..."), 1);
  EXPECT_EQ(statuses, (std::vector<std::string>{"DA source disconnected", "Read 2 tags, 0 bad."}));
  std::lock_guard g(lock);
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.front()[1].tag, "Demo.Tag2");
  EXPECT_TRUE(time.sleeps.empty());
}

TEST_F(OPCCollectorTest, HandsItsUaSecurityToEverySourceItOpens) {
  const pyqar::UaSecurity security{.policy = pyqar::UaSecurityPolicy::Aes256_Sha256_RsaPss,
                                   .mode = pyqar::UaSecurityMode::SignAndEncrypt,
                                   .username = "operator",
                                   .password = "s3cret",
                                   .pki_dir = "/etc/kestrane/pki",
                                   .skip_hostname_check = false};
  OPCCollector c({.opc_schema = "opc.tcp://127.0.0.1:4840",
                  .get_tags_func = [this] { return tags; },
                  .data_deque = &queue,
                  .ua_security = security,
                  .acquisition = {.decode_structures = false},
                  .source_factory = quellin_test::scripted_factory(opc),
                  .clock = [this] { return time.clock(); },
                  .sleep = [this](double s) { time.sleep(s); }});
  c.collection_step();
  // A reconnect after a lost source must not fall back to an anonymous, unsecured channel.
  c.disconnect_source();
  c.collection_step();
  ASSERT_EQ(opc->create_args.size(), 2u);
  for (const pyqar::CreateSourceArgs& args : opc->create_args) {
    EXPECT_EQ(args.source_type, static_cast<int>(pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA));
    EXPECT_EQ(args.ua_security.policy, security.policy);
    EXPECT_EQ(args.ua_security.mode, security.mode);
    EXPECT_EQ(args.ua_security.username, security.username);
    EXPECT_EQ(args.ua_security.password, security.password);
    EXPECT_EQ(args.ua_security.pki_dir, security.pki_dir);
    EXPECT_FALSE(args.ua_decode_structures);
  }
}

TEST_F(OPCCollectorTest, WithoutTsdbResultsOnlyGoToTheQueue) {
  auto c = make(false);
  c->collection_step();
  c->collection_step();
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(db->connects + db->get_tag_calls + db->write_calls + db->pings, 0);
  EXPECT_TRUE(db_statuses.empty());
}

TEST_F(OPCCollectorTest, WorksWithoutADequeLock) {
  auto c = std::make_unique<OPCCollector>(
      OPCCollector::Options{.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                            .get_tags_func = [this] { return tags; },
                            .data_deque = &queue,
                            .source_factory = quellin_test::scripted_factory(opc)});
  c->collection_step();
  EXPECT_EQ(queue.size(), 1u);
}

TEST_F(OPCCollectorTest, WritesEveryRowBadOnesIncludedWithTheirQuality) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3"};
  serve({good(1.5), with_quality(std::monostate{}, 0x00), with_quality(7.0, 0x40)});
  auto c = make();
  c->collection_step();
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].tag_id, 11);
  EXPECT_EQ(rows[0].value, 1.5);
  EXPECT_EQ(rows[0].quality, "Good");
  EXPECT_EQ(rows[1].quality, "Bad");
  EXPECT_TRUE(std::isnan(rows[1].value));
  EXPECT_EQ(rows[2].quality, "Uncertain");
  EXPECT_EQ(db_statuses, (DbStatuses{{true, 3}}));
}

TEST_F(OPCCollectorTest, NaNAndOutOfRangeGoodFloatsFollowTheStorageRules) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3", "Demo.Tag4"};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  serve({good(nan), good(5e38), good(-5e38), good(3.4e38)});
  auto c = make();
  c->collection_step();
  EXPECT_EQ(log.count("WARNING Skipping NaN value for tag Demo.Tag1"), 1);
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].tag_id, 12);
  EXPECT_EQ(rows[0].value, std::numeric_limits<double>::infinity());
  EXPECT_EQ(rows[1].value, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(rows[2].value, 3.4e38);
  EXPECT_EQ(db_statuses, (DbStatuses{{true, 3}}));
  // The queue keeps the values as read.
  EXPECT_TRUE(std::isnan(std::get<double>(queue.back()[0].value)));
}

TEST_F(OPCCollectorTest, OnlyGoodFloatsAreChangedOthersPassAsNumbers) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3", "Demo.Tag4"};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  serve({good(std::int64_t{5}), with_quality(nan, 0x40), with_quality(5e38, 0x40), good(true)});
  auto c = make();
  c->collection_step();
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].value, 5.0);
  EXPECT_TRUE(std::isnan(rows[1].value));
  EXPECT_EQ(rows[2].value, 5e38);
  EXPECT_EQ(rows[3].value, 1.0);
  EXPECT_EQ(log.count("WARNING Skipping NaN value for tag Demo.Tag2"), 0);
}

TEST_F(OPCCollectorTest, AGoodReadingWithNoValueIsSkippedLikeAGoodNaNOthersAreStoredAsNaN) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3"};
  serve({good(std::monostate{}), with_quality(std::monostate{}, 0x40), good(2.0)});
  auto c = make();
  c->collection_step();
  EXPECT_EQ(log.count("WARNING Skipping NaN value for tag Demo.Tag1"), 1);
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].tag_id, 12);
  EXPECT_EQ(rows[0].quality, "Uncertain");
  EXPECT_TRUE(std::isnan(rows[0].value));
  EXPECT_EQ(rows[1].value, 2.0);
  EXPECT_EQ(log.count("Skipping NaN value for tag Demo.Tag2"), 0);
}

TEST_F(OPCCollectorTest, AReconnectWithoutTsdbSettingsSaysSoAndConnectsNothing) {
  auto c = make(false);
  EXPECT_FALSE(c->_handle_db_error());
  EXPECT_EQ(log.count("ERROR tsdb_cfg not provided; cannot perform database reconnection"), 1);
  EXPECT_EQ(db->connects, 0);
}

// A reading as an OPC UA server gives it: value, quality and status, and a source time.
pyqar::ValueObject reading(pyqar::Value v, std::uint32_t status,
                           std::optional<pyqar::Timestamp> source = std::nullopt) {
  const int quality = (status & 0xC0000000u) == 0 ? pyqar::QAR_QUALITY::QAR_HIGH_GOOD
                      : (status & 0xC0000000u) == 0x40000000u
                          ? pyqar::QAR_QUALITY::QAR_HIGH_UNCERTAIN
                          : pyqar::QAR_QUALITY::QAR_HIGH_BAD;
  pyqar::ValueObject o{std::move(v), quality, {}};
  o.status = status;
  o.source_timestamp = source;
  return o;
}

pyqar::Timestamp at_us(std::int64_t us) { return pyqar::Timestamp(std::chrono::microseconds(us)); }

TEST_F(OPCCollectorTest, TextsStatusesAndSourceTimesAreWrittenAsTheServerGaveThem) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3", "Demo.Tag4"};
  // 2020-01-02T03:04:05.678901Z, and a time before 1970.
  const std::int64_t old = 1577934245678901;
  serve({reading(std::string("pump, \"main\"\nü"), 0x00000000u, at_us(old)),
         reading(2.5, 0x808A0000u),  // Bad with a number: stays a number, with its status
         reading(std::string("[1.5,2.5]"), 0x40A40000u, at_us(-1'500'000)),
         reading(std::uint64_t{7}, 0x00000000u, at_us(old))});
  auto c = make();
  c->collection_step();
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 4u);
  // A Good text is Good, stored as text, no longer NaN and Bad.
  EXPECT_EQ(rows[0].text, "pump, \"main\"\nü");
  EXPECT_EQ(rows[0].quality, "Good");
  EXPECT_EQ(rows[0].status, 0u);
  EXPECT_EQ(rows[0].source_time_us, old);
  EXPECT_FALSE(rows[1].text.has_value());
  EXPECT_EQ(rows[1].value, 2.5);
  EXPECT_EQ(rows[1].quality, "Bad");
  EXPECT_EQ(rows[1].status, 0x808A0000u);
  EXPECT_FALSE(rows[1].source_time_us.has_value());
  EXPECT_EQ(rows[2].text, "[1.5,2.5]");
  EXPECT_EQ(rows[2].quality, "Uncertain");
  EXPECT_EQ(rows[2].source_time_us, -1'500'000);
  EXPECT_EQ(rows[3].value, 7.0);
  // Polling: every row at the cycle's time.
  for (const auto& row : rows) EXPECT_EQ(row.time_us, rows[0].time_us);
  // The queue holds the reading as read, status and source time included.
  const quellin::ResultTuple& queued = queue.back()[0];
  EXPECT_EQ(std::get<std::string>(queued.value), "pump, \"main\"\nü");
  EXPECT_EQ(queued.status, 0u);
  EXPECT_EQ(queued.source_time, at_us(old));
  EXPECT_EQ(db_statuses, (DbStatuses{{true, 4}}));
}

TEST_F(OPCCollectorTest, AStatusThatContradictsTheQualityWasNeverSetAndIsLeftOut) {
  // A source that fills only the quality leaves the status at its default (Bad).
  serve({good(1.5), with_quality(2.5, 0x00)});
  auto c = make();
  c->collection_step();
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].status.has_value());
  EXPECT_EQ(rows[1].status, pyqar::QAR_STATUS::QAR_STATUS_BAD);
  EXPECT_FALSE(queue.back()[0].status.has_value());
}

TEST_F(OPCCollectorTest, ACutTextAndAnIntegerBeyondTwoToThe53AreEachReportedOncePerTag) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3", "Demo.Tag4"};
  pyqar::ValueObject cut = reading(std::string(pyqar::QAR_MAX_VALUE_TEXT_BYTES, 'x'), 0u);
  cut.cut = true;
  const std::int64_t exact = std::int64_t{1} << 53;  // the last one stored exactly
  serve({cut, reading(std::uint64_t{18446744073709551615u}, 0u), reading(-exact - 1, 0u),
         reading(exact, 0u)});
  auto c = make();
  c->collection_step();
  c->collection_step();
  const std::string limit = std::to_string(pyqar::QAR_MAX_VALUE_TEXT_BYTES);
  EXPECT_EQ(log.count("WARNING Tag 'Demo.Tag1': its value is longer than " + limit +
                      " bytes of text and is stored cut at that length"),
            1)
      << log.dump();
  EXPECT_EQ(log.count("WARNING Tag 'Demo.Tag2': the integer 18446744073709551615 is beyond 2^53 "
                      "and is stored as the nearest double, 1.8446744073709552e+19; its later "
                      "values are not reported again"),
            1)
      << log.dump();
  EXPECT_EQ(log.count("WARNING Tag 'Demo.Tag3': the integer -9007199254740993 is beyond 2^53 and "
                      "is stored as the nearest double, -9007199254740992; its later values are "
                      "not reported again"),
            1)
      << log.dump();
  for (const std::string& line : log.lines()) {
    EXPECT_EQ(line.find("Demo.Tag4"), std::string::npos) << line;
  }
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].text->size(), pyqar::QAR_MAX_VALUE_TEXT_BYTES);
  EXPECT_EQ(rows[1].value, 18446744073709551615.0);
  EXPECT_EQ(rows[3].value, 9007199254740992.0);
}

TEST_F(OPCCollectorTest, MissingTagIsSkippedAndLookedUpAgainEveryCycle) {
  tags = {"Demo.Tag1", "Demo.Missing"};
  auto c = make();
  c->collection_step();
  time.now += 1;
  c->collection_step();
  time.now += 1;
  c->collection_step();
  EXPECT_EQ(log.count("ERROR Tag 'Demo.Missing' not found in TSDB"), 3);
  EXPECT_EQ(db->get_tag_calls, 4);  // Demo.Tag1 once (cached), Demo.Missing every cycle
  // Once the tag exists, the next cycle finds it and it is written from then on.
  db->tags["Demo.Missing"] = 99;
  time.now += 1;
  c->collection_step();
  time.now += 1;
  c->collection_step();
  EXPECT_EQ(db->get_tag_calls, 5);
  EXPECT_EQ(log.count("ERROR Tag 'Demo.Missing' not found in TSDB"), 3);
  ASSERT_EQ(db->writes.size(), 5u);
  EXPECT_EQ(db->writes[0].size(), 1u);
  EXPECT_EQ(db->writes[3].size(), 2u);
  EXPECT_EQ(last_write().size(), 2u);
  EXPECT_EQ(db_statuses, (DbStatuses{{true, 1}, {true, 1}, {true, 1}, {true, 2}, {true, 2}}));
}

TEST_F(OPCCollectorTest, TagIdsKnownAtStartAreWrittenWithNoLookup) {
  tags = {"Demo.Tag1", "Demo.Tag2"};
  auto c = make(true, "opc.da://localhost/OstrevoV2.1.0", {{"Demo.Tag1", 11}, {"Demo.Tag2", 12}});
  c->collection_step();
  EXPECT_EQ(db->get_tag_calls, 0);
  ASSERT_EQ(last_write().size(), 2u);
  EXPECT_EQ(last_write()[1].tag_id, 12);
}

// Tags known at start around one that must be looked up: each row keeps its own tag's id, in
// the order read, with one lookup for the unknown tag alone.
TEST_F(OPCCollectorTest, ATagLookedUpAmongKnownOnesKeepsEveryRowWithItsOwnId) {
  tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3", "Demo.Missing"};
  auto c = make(true, "opc.da://localhost/OstrevoV2.1.0", {{"Demo.Tag1", 11}, {"Demo.Tag3", 13}});
  c->collection_step();
  EXPECT_EQ(db->get_tag_calls, 2);  // Demo.Tag2 and Demo.Missing
  const auto rows = last_write();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].tag_id, 11);
  EXPECT_EQ(rows[1].tag_id, 12);
  EXPECT_EQ(rows[2].tag_id, 13);
}

TEST_F(OPCCollectorTest, ATagCreatedDuringAnOutageIsWrittenRightAfterTheReconnect) {
  tags = {"Demo.Tag1", "Demo.Missing"};
  auto c = make();
  c->collection_step();
  db->write_throws = true;
  db->ping_answer = false;
  c->collection_step();  // write fails, reconnect succeeds
  db->write_throws = false;
  db->ping_answer = true;
  db->tags["Demo.Missing"] = 99;
  c->collection_step();
  EXPECT_EQ(last_write().size(), 2u);
  // Reported on both cycles it was missing, the failed one included.
  EXPECT_EQ(log.count("ERROR Tag 'Demo.Missing' not found in TSDB"), 2);
}

TEST_F(OPCCollectorTest, AllTagsMissingMeansNoWriteReportedAsNotWritten) {
  tags = {"X.1", "X.2"};
  auto c = make();
  c->collection_step();
  EXPECT_EQ(db->write_calls, 0);
  // Nothing stored is no success, whatever the database said about the lookups.
  EXPECT_EQ(db_statuses, (DbStatuses{{false, 0}}));
}

TEST_F(OPCCollectorTest, AReadWithNoValuesQueuesAnEmptyListAndWritesNothing) {
  serve({});
  auto c = make();
  c->collection_step();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_TRUE(queue.front().empty());
  EXPECT_EQ(db->write_calls, 0);
  EXPECT_TRUE(db_statuses.empty());
}

TEST_F(OPCCollectorTest, AllBadCyclesNeverReachQueueOrDatabase) {
  opc->responder = ScriptedOpc::all_bad;
  auto c = make();
  c->collection_step();
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(db->write_calls + db->get_tag_calls, 0);
  EXPECT_TRUE(db_statuses.empty());
}

TEST_F(OPCCollectorTest, UnsuccessfulWriteIsOnlyReported) {
  db->write_success = false;
  auto c = make();
  c->collection_step();
  EXPECT_EQ(db_statuses, (DbStatuses{{false, 0}}));
  EXPECT_EQ(db->pings, 0);
  EXPECT_EQ(db->connects, 1);
}

TEST_F(OPCCollectorTest, FailedWriteWithALiveDatabaseKeepsConnectionAndCache) {
  auto c = make();
  c->collection_step();
  db->write_throws = true;
  c->collection_step();
  EXPECT_EQ(log.count("ERROR Write DB failed: server closed the connection"), 1);
  EXPECT_EQ(log.count("INFO Database write failed, trying to ping database..."), 1);
  EXPECT_EQ(
      log.count("INFO Database ping successful; not retrying write (likely business logic issue)"),
      1);
  EXPECT_EQ(db->connects, 1);
  EXPECT_EQ(db_statuses, (DbStatuses{{true, 2}, {false, 0}}));
  db->write_throws = false;
  c->collection_step();
  EXPECT_EQ(db->get_tag_calls, 2);   // still cached
  EXPECT_EQ(db->writes.size(), 2u);  // the failed cycle is not written again
}

TEST_F(OPCCollectorTest, FailedWriteAndPingReconnectOnceAndEmptyTheTagCache) {
  auto c = make();
  c->collection_step();
  db->write_throws = true;
  db->ping_answer = false;
  c->collection_step();
  EXPECT_EQ(log.count("WARNING Database ping failed or connection missing, attempting single "
                      "reconnect..."),
            1);
  EXPECT_EQ(log.count("INFO Database reconnection successful"), 1);
  EXPECT_EQ(db->connects, 2);
  EXPECT_EQ(db->closes, 1);
  EXPECT_EQ(db->write_calls, 2);  // no retry of the write
  EXPECT_EQ(db_statuses.back(), std::make_pair(false, std::size_t{0}));

  db->write_throws = false;
  c->collection_step();
  EXPECT_EQ(db->get_tag_calls, 4);  // every tag looked up again after the reconnect
  EXPECT_EQ(db_statuses.back(), std::make_pair(true, std::size_t{2}));
}

TEST_F(OPCCollectorTest, PingErrorCountsAsAFailedPing) {
  auto c = make();
  db->write_throws = true;
  db->ping_throws = true;
  c->collection_step();
  EXPECT_EQ(db->connects, 2);
  EXPECT_EQ(log.count("INFO Database reconnection successful"), 1);
}

TEST_F(OPCCollectorTest, FailedReconnectLeavesNoConnectionAndNextCycleTriesOnceWithoutWriting) {
  auto c = make();
  db->write_throws = true;
  db->ping_answer = false;
  db->connect_results = {false};
  c->collection_step();
  EXPECT_EQ(log.count("ERROR Database reconnection failed"), 1);
  EXPECT_FALSE(c->has_tsdb_conn());

  db->write_throws = false;
  c->collection_step();
  EXPECT_EQ(log.count("WARNING No database connection present; attempting to connect..."), 1);
  EXPECT_EQ(log.count("INFO Database reconnection successful"), 1);
  EXPECT_EQ(db->connects, 3);
  EXPECT_EQ(db->write_calls, 1);      // only the failed one: this cycle's results are not written
  EXPECT_EQ(db_statuses.size(), 1u);  // nothing reported for the cycle without a connection
  EXPECT_EQ(queue.size(), 2u);

  c->collection_step();
  EXPECT_EQ(db->writes.size(), 1u);
  EXPECT_EQ(db_statuses.back(), std::make_pair(true, std::size_t{2}));
}

TEST_F(OPCCollectorTest, ErrorsInsideDatabaseRecoveryAreLoggedNotRaised) {
  auto c = make();
  db->write_throws = true;
  db->ping_answer = false;
  db->close_throws = true;  // ignored
  db->connect_throws = true;
  c->collection_step();
  EXPECT_EQ(log.count("ERROR Database error handling failed: cannot reach 127.0.0.1:5432"), 1);
  EXPECT_FALSE(c->has_tsdb_conn());
  EXPECT_EQ(c->consecutive_errors(), 0);  // the OPC side is healthy
  EXPECT_EQ(db_statuses.back(), std::make_pair(false, std::size_t{0}));
}

TEST_F(OPCCollectorTest, TagLookupErrorIsADatabaseFailureNotAFailedRead) {
  db->get_tag_throws = true;
  db->ping_answer = false;
  auto c = make();
  c->collection_step();
  // The OPC side read well and goes on; the database side reconnects.
  EXPECT_EQ(statuses.back(), "Read 2 tags, 0 bad.");
  EXPECT_EQ(c->consecutive_errors(), 0);
  EXPECT_TRUE(c->opc_status());
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(log.count("ERROR Write DB failed: tag lookup failed"), 1);
  EXPECT_EQ(log.count("INFO Database reconnection successful"), 1);
  EXPECT_EQ(db_statuses, (DbStatuses{{false, 0}}));
}

TEST_F(OPCCollectorTest, RowsCarryTheTimeTheirCycleWasRead) {
  std::int64_t wall = 1'700'000'000'123'456;
  auto c = make(true, "opc.da://localhost/OstrevoV2.1.0", {}, [&wall] { return wall; });
  c->collection_step();
  wall += 1'000'000;
  c->collection_step();
  ASSERT_EQ(db->writes.size(), 2u);
  EXPECT_EQ(db->writes[0][0].time_us, 1'700'000'000'123'456);
  EXPECT_EQ(db->writes[1][1].time_us, 1'700'000'001'123'456);
}

TEST_F(OPCCollectorTest, StopClosesTheConnectionAndNoNewOneIsOpened) {
  auto c = make();
  c->stop();
  EXPECT_EQ(db->closes, 1);
  EXPECT_FALSE(c->has_tsdb_conn());
  EXPECT_FALSE(c->running());
  EXPECT_EQ(statuses.back(), "Stopping OPC collector thread...");
  c->collection_step();  // a cycle already under way when stop() came
  EXPECT_EQ(db->connects, 1);
  EXPECT_FALSE(db->used_after_close);
  EXPECT_EQ(queue.size(), 1u);
}

TEST_F(OPCCollectorTest, StopStillStopsWhenClosingFails) {
  auto c = make();
  db->close_throws = true;
  c->stop();
  EXPECT_FALSE(c->running());
  EXPECT_FALSE(c->has_tsdb_conn());
  EXPECT_EQ(log.count("ERROR Closing the TSDB connection failed: close failed"), 1);
}

TEST_F(OPCCollectorTest, UaCollectorWritesUnderThePrefixedTagText) {
  tags = {"2:Demo.Tag1"};
  db->tags["2:Demo.Tag1"] = 21;
  auto c = make(true, "opc.tcp://localhost:46011");
  c->collection_step();
  EXPECT_EQ(opc->batches.at(0)[0].namespace_index, 2);
  ASSERT_EQ(last_write().size(), 1u);
  EXPECT_EQ(last_write()[0].tag_id, 21);
}

}  // namespace
