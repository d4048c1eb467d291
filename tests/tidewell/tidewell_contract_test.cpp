// The whole client contract, run against both drivers: a real PostgreSQL server and a real
// SQLite file.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>

#include "driver_test.h"
#include "log_capture.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::DriverTest;
using testing::Row;
using testing::TestDatabase;

constexpr const char* kVersions = "SELECT version FROM schema_version ORDER BY version";
// Every version a new database passes through, each recorded.
const std::vector<Row> kCurrentVersions = {{"1"}, {"2"}, {"3"}, {"4"}, {"5"}};

// Texts that break naive quoting or escaping, and text outside ASCII.
const std::vector<std::string> kHostileTexts = {
    "O'Brien \"quoted\"",    "back\\slash \\N \\. end\\", "tab\there\nnew line\r\ncarriage",
    "semi;colon; SELECT 1;", "'); DROP TABLE tags; --",   "锅炉温度.测点1 中文描述",
    "$1 ?1 :name %s {}",
};

class TidewellContract : public DriverTest {
 protected:
  SourceInfo make_source(const std::string& name, const std::string& endpoint,
                         SourceProtocol protocol = SourceProtocol::OPC_DA) {
    SourceInfo source;
    source.source_name = name;
    source.endpoint = endpoint;
    source.protocol = protocol;
    source.description = {{"created_by", "tests"}, {"endpoint", endpoint}};
    return source;
  }

  std::int64_t stored_source(const std::string& name, const std::string& endpoint) {
    auto source = make_source(name, endpoint);
    const auto result = insert_new_source(*conn_, source);
    EXPECT_TRUE(result.ok) << result.error;
    return source.source_id.value_or(-1);
  }

  TagInfo stored_tag(const std::string& name, std::optional<std::int64_t> source_id = {}) {
    const auto result =
        insert_new_tag(*conn_, TagInfo{name, {{"desc", name}}, source_id, name, {}});
    EXPECT_TRUE(result.ok) << result.error;
    return result.data.value_or(TagInfo{});
  }

  // (tag id, value, quality) of every stored row, in the order written.
  struct StoredRow {
    std::int64_t tag_id;
    double value;
    std::string quality;
  };
  std::vector<StoredRow> stored_rows() {
    const auto rows =
        db_->query(sqlite() ? "SELECT tag_id, value, quality FROM tsdata ORDER BY rowid"
                            : "SELECT tag_id, value::text, quality FROM tsdata ORDER BY ctid");
    std::vector<StoredRow> out;
    for (const auto& row : rows) {
      const double value =
          row[1] ? std::strtod(row[1]->c_str(), nullptr) : std::numeric_limits<double>::quiet_NaN();
      out.push_back({std::stoll(*row[0]), value, *row[2]});
    }
    return out;
  }

  std::size_t count(const std::string& table) {
    return std::stoul(*db_->query("SELECT count(*) FROM " + table)[0][0]);
  }

  // The time of every stored row in microseconds since 1970-01-01 UTC, in the order written.
  std::vector<std::int64_t> stored_times() {
    const auto rows = db_->query(
        sqlite() ? "SELECT time FROM tsdata ORDER BY rowid"
                 : "SELECT (extract(epoch FROM time) * 1000000)::bigint FROM tsdata ORDER BY ctid");
    std::vector<std::int64_t> out;
    for (const auto& row : rows) out.push_back(std::stoll(*row[0]));
    return out;
  }

  // (writer id, seq, row count) of every recorded batch.
  std::vector<Row> recorded_batches() {
    return db_->query(
        "SELECT writer_id, seq, row_count FROM write_batches ORDER BY writer_id, seq");
  }

  // A batch of `rows` rows, tag ids 1..rows, values and qualities that differ per row.
  struct Batch {
    std::vector<std::int64_t> ids;
    std::vector<double> values;
    std::vector<std::string> qualities;
  };
  static Batch make_batch(std::size_t rows, double offset = 0) {
    Batch batch;
    for (std::size_t i = 0; i < rows; ++i) {
      batch.ids.push_back(static_cast<std::int64_t>(i + 1));
      batch.values.push_back(offset + static_cast<double>(i) / 3.0);
      batch.qualities.push_back(i % 3 == 2 ? "Bad" : "Good");
    }
    return batch;
  }
  static WriteResult write(Connection& conn, const BatchId& id, std::int64_t time_us,
                           const Batch& batch) {
    return write_tsdata(conn, id, time_us, batch.ids, batch.values, batch.qualities);
  }

  // Makes the database refuse any row of tag id -1, as it would refuse a value it cannot
  // store, until allow_all_rows().
  void refuse_tag_minus_one() {
    db_->execute(sqlite() ? "CREATE TRIGGER tsdata_refuse BEFORE INSERT ON tsdata"
                            " WHEN NEW.tag_id = -1 BEGIN SELECT RAISE(ABORT, 'refused'); END"
                          : "ALTER TABLE tsdata ADD CONSTRAINT tsdata_refuse CHECK (tag_id <> -1)");
  }
  void allow_all_rows() {
    db_->execute(sqlite() ? "DROP TRIGGER tsdata_refuse"
                          : "ALTER TABLE tsdata DROP CONSTRAINT tsdata_refuse");
  }
};

TEST_P(TidewellContract, CreatesVersionedSchemaOnFirstConnectAndKeepsItOnLaterOnes) {
  EXPECT_EQ(db_->query(kVersions), kCurrentVersions);
  const auto tag = stored_tag("Demo.Tag1");
  auto again = get_conn(db_->settings());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(db_->query(kVersions), kCurrentVersions);
  EXPECT_EQ(get_tag(*again, "Demo.Tag1")->tag_id, tag.tag_id);
}

TEST_P(TidewellContract, SchemaNewerThanThisProgramIsRefused) {
  db_->execute("INSERT INTO schema_version (version) VALUES (99)");
  try {
    get_conn(db_->settings());
    FAIL() << "expected DatabaseError";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
  }
}

TEST_P(TidewellContract, ConcurrentFirstConnectsAllSucceed) {
  // A fresh database that nobody has connected to yet.
  TestDatabase fresh(GetParam());
  constexpr int kConnections = 4;
  std::vector<std::unique_ptr<Connection>> conns(kConnections);
  std::vector<std::string> errors(kConnections);
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnections; ++i) {
    threads.emplace_back([&, i] {
      try {
        conns[i] = get_conn(fresh.settings());
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_NE(conns[i], nullptr) << errors[i];
    EXPECT_EQ(errors[i], "");
  }
  EXPECT_EQ(fresh.query(kVersions), kCurrentVersions);
}

TEST_P(TidewellContract, PingIsTrueWhileOpenAndFalseAfterClose) {
  EXPECT_TRUE(ping(*conn_));
  conn_->close();
  EXPECT_FALSE(ping(*conn_));
  conn_->close();
  EXPECT_THROW(get_tag(*conn_, "x"), DatabaseError);
  const std::vector<std::int64_t> ids{1};
  const std::vector<double> values{1.0};
  const std::vector<std::string> qualities{"Good"};
  EXPECT_THROW(write_tsdata(*conn_, ids, values, qualities), DatabaseError);
  EXPECT_THROW(write_tsdata(*conn_, BatchId{"w", 1}, 0, ids, values, qualities), DatabaseError);
}

TEST_P(TidewellContract, InsertNewSourceFillsIdAndStoresEveryField) {
  auto source =
      make_source("console_kestrane", "opc.tcp://localhost:46011", SourceProtocol::OPC_UA);
  source.interval_msec = 250;
  source.source_type = "opc-ua";
  const auto result = insert_new_source(*conn_, source);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_TRUE(source.source_id.has_value());
  EXPECT_EQ(result.data->source_id, source.source_id);

  const auto found = get_sources(*conn_, {});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].source_id, source.source_id);
  EXPECT_EQ(found[0].source_name, "console_kestrane");
  EXPECT_EQ(found[0].endpoint, "opc.tcp://localhost:46011");
  EXPECT_EQ(found[0].status, SourceStatus::ACTIVE);
  EXPECT_EQ(found[0].protocol, SourceProtocol::OPC_UA);
  EXPECT_EQ(found[0].interval_msec, 250);
  EXPECT_EQ(found[0].description, source.description);
  EXPECT_EQ(found[0].source_type, "opc-ua");

  auto second = make_source("console_kestrane", "opc.tcp://other:4840");
  ASSERT_TRUE(insert_new_source(*conn_, second).ok);
  EXPECT_NE(second.source_id, source.source_id);
}

TEST_P(TidewellContract, GetSourcesMatchesEveryListOfTheFilter) {
  auto da = make_source("console_kestrane", "opc.da://localhost/OstrevoV2.1.0");
  auto ua = make_source("console_kestrane", "opc.tcp://localhost:46011", SourceProtocol::OPC_UA);
  auto other = make_source("desktop", "opc.da://localhost/OstrevoV2.1.0");
  other.status = SourceStatus::INACTIVE;
  for (auto* source : {&da, &ua, &other}) ASSERT_TRUE(insert_new_source(*conn_, *source).ok);

  auto ids = [](const std::vector<SourceInfo>& sources) {
    std::vector<std::int64_t> out;
    for (const auto& s : sources) out.push_back(*s.source_id);
    return out;
  };
  EXPECT_EQ(ids(get_sources(*conn_, {})),
            (std::vector{*da.source_id, *ua.source_id, *other.source_id}));
  EXPECT_EQ(ids(get_sources(
                *conn_, {{"console_kestrane"}, {SourceStatus::ACTIVE}, {SourceProtocol::OPC_DA}})),
            (std::vector{*da.source_id}));
  EXPECT_EQ(ids(get_sources(*conn_, {{"console_kestrane", "desktop"}, {}, {}})),
            (std::vector{*da.source_id, *ua.source_id, *other.source_id}));
  EXPECT_EQ(ids(get_sources(*conn_, {{}, {SourceStatus::INACTIVE}, {}})),
            (std::vector{*other.source_id}));
  EXPECT_TRUE(get_sources(*conn_, {{"'); DROP TABLE sources; --"}, {}, {}}).empty());
  EXPECT_EQ(count("sources"), 3u);
}

TEST_P(TidewellContract, InsertNewTagReturnsTheStoredRecord) {
  const auto source_id = stored_source("s", "opc.tcp://h:1");
  const auto result = insert_new_tag(
      *conn_, TagInfo{"Demo.Tag1", {{"desc", "Boiler"}}, source_id, "Demo.Tag1", {}});
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_TRUE(result.data->tag_id.has_value());
  EXPECT_EQ(result.data->tag_name, "Demo.Tag1");
  EXPECT_EQ(result.data->description, (Description{{"desc", "Boiler"}}));
  EXPECT_EQ(result.data->source_id, source_id);
  EXPECT_EQ(result.data->source_tagname, "Demo.Tag1");

  const auto found = get_tag(*conn_, "Demo.Tag1");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->tag_id, result.data->tag_id);
  EXPECT_EQ(found->description, result.data->description);
}

TEST_P(TidewellContract, GetTagIsEmptyForAnUnknownName) {
  stored_tag("Demo.Tag1");
  EXPECT_FALSE(get_tag(*conn_, "Demo.Tag2").has_value());
  EXPECT_FALSE(get_tag(*conn_, "demo.tag1").has_value());
  EXPECT_FALSE(get_tag(*conn_, "").has_value());
}

TEST_P(TidewellContract, RefusedTagsGiveNotOkAndLeaveTheConnectionUsable) {
  const auto first = stored_tag("Demo.Tag1");
  const auto duplicate = insert_new_tag(*conn_, TagInfo{"Demo.Tag1", {}, std::nullopt, "x", {}});
  EXPECT_FALSE(duplicate.ok);
  EXPECT_FALSE(duplicate.error.empty());

  const auto unknown_source = insert_new_tag(*conn_, TagInfo{"Demo.Tag2", {}, 987654, "x", {}});
  EXPECT_FALSE(unknown_source.ok);
  EXPECT_FALSE(get_tag(*conn_, "Demo.Tag2").has_value());

  const auto nul =
      insert_new_tag(*conn_, TagInfo{std::string("a\0b", 3), {}, std::nullopt, "", {}});
  EXPECT_FALSE(nul.ok);
  EXPECT_NE(nul.error.find("NUL"), std::string::npos) << nul.error;

  EXPECT_TRUE(ping(*conn_));
  EXPECT_EQ(get_tag(*conn_, "Demo.Tag1")->tag_id, first.tag_id);
  EXPECT_EQ(count("tags"), 1u);
}

TEST_P(TidewellContract, UpdateTagFieldsChangesOnlyTheGivenFields) {
  const auto old_source = stored_source("old", "opc.da://localhost/A");
  const auto new_source = stored_source("new", "opc.da://localhost/B");
  const auto tag = stored_tag("Demo.Tag1", old_source);

  auto moved =
      update_tag_fields(*conn_, "Demo.Tag1", TagFields{new_source, std::nullopt, std::nullopt});
  ASSERT_TRUE(moved.ok) << moved.error;
  EXPECT_EQ(moved.data->source_id, new_source);
  EXPECT_EQ(moved.data->description, (Description{{"desc", "Demo.Tag1"}}));
  EXPECT_EQ(moved.data->tag_id, tag.tag_id);

  auto cleared =
      update_tag_fields(*conn_, "Demo.Tag1", TagFields{std::nullopt, "Renamed", Description{}});
  ASSERT_TRUE(cleared.ok) << cleared.error;
  const auto found = get_tag(*conn_, "Demo.Tag1");
  EXPECT_EQ(found->source_id, new_source);
  EXPECT_EQ(found->source_tagname, "Renamed");
  EXPECT_TRUE(found->description.empty());

  const auto nothing = update_tag_fields(*conn_, "Demo.Tag1", TagFields{});
  EXPECT_TRUE(nothing.ok);
  EXPECT_EQ(nothing.data->source_tagname, "Renamed");
}

TEST_P(TidewellContract, UpdateTagFieldsIsNotOkForAMissingTagOrSource) {
  const auto tag = stored_tag("Demo.Tag1");
  const auto missing =
      update_tag_fields(*conn_, "Demo.Nope", TagFields{std::nullopt, "x", std::nullopt});
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("Demo.Nope"), std::string::npos) << missing.error;

  const auto bad_source =
      update_tag_fields(*conn_, "Demo.Tag1", TagFields{424242, "changed", std::nullopt});
  EXPECT_FALSE(bad_source.ok);
  // All or nothing: the valid field of the refused update was not applied either.
  EXPECT_EQ(get_tag(*conn_, "Demo.Tag1")->source_tagname, "Demo.Tag1");
  EXPECT_EQ(count("tags"), 1u);
}

TEST_P(TidewellContract, HostileTextIsStoredAndReadBackByteForByte) {
  for (const auto& text : kHostileTexts) {
    SCOPED_TRACE(text);
    auto source = make_source(text, text);
    source.description = {{text, text}, {"desc", text}};
    ASSERT_TRUE(insert_new_source(*conn_, source).ok);
    const auto sources = get_sources(*conn_, {{text}, {}, {}});
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].source_name, text);
    EXPECT_EQ(sources[0].endpoint, text);
    EXPECT_EQ(sources[0].description, source.description);

    const auto inserted =
        insert_new_tag(*conn_, TagInfo{text, {{"desc", text}}, source.source_id, text, {}});
    ASSERT_TRUE(inserted.ok) << inserted.error;
    EXPECT_EQ(inserted.data->tag_name, text);
    const auto found = get_tag(*conn_, text);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->tag_name, text);
    EXPECT_EQ(found->source_tagname, text);
    EXPECT_EQ(found->description, (Description{{"desc", text}}));
    EXPECT_TRUE(
        update_tag_fields(*conn_, text, TagFields{std::nullopt, text + "!", std::nullopt}).ok);
    EXPECT_EQ(get_tag(*conn_, text)->source_tagname, text + "!");
  }
  EXPECT_EQ(count("tags"), kHostileTexts.size());
  EXPECT_EQ(count("sources"), kHostileTexts.size());
}

TEST_P(TidewellContract, WriteTsdataStoresEveryRowWithItsValueAndQuality) {
  const std::vector<std::int64_t> ids{1, 2, 3, 1};
  const std::vector<double> values{1.5, -2.25e-300, 0.1 + 0.2, std::numeric_limits<double>::max()};
  const std::vector<std::string> qualities{"Good", "Bad", "Uncertain", "Invalid"};
  const auto result = write_tsdata(*conn_, ids, values, qualities);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.count, 4u);
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].tag_id, ids[i]);
    EXPECT_EQ(rows[i].value, values[i]) << "exact bits, row " << i;
    EXPECT_EQ(rows[i].quality, qualities[i]);
  }
}

TEST_P(TidewellContract, WriteTsdataKeepsNanAndInfinities) {
  const std::vector<std::int64_t> ids{7, 7, 7, 7};
  const std::vector<double> values{std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(), -0.0};
  const std::vector<std::string> qualities{"Bad", "Good", "Good", "Good"};
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 4u);
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(std::isnan(rows[0].value));
  EXPECT_EQ(rows[1].value, std::numeric_limits<double>::infinity());
  EXPECT_EQ(rows[2].value, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(rows[3].value, 0.0);
}

TEST_P(TidewellContract, WriteTsdataQualityTextSurvivesEscaping) {
  std::vector<std::int64_t> ids;
  std::vector<double> values;
  for (std::size_t i = 0; i < kHostileTexts.size(); ++i) {
    ids.push_back(static_cast<std::int64_t>(i));
    values.push_back(static_cast<double>(i));
  }
  const std::vector<std::string> qualities(kHostileTexts.begin(), kHostileTexts.end());
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, kHostileTexts.size());
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), kHostileTexts.size());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].quality, kHostileTexts[i]);
}

TEST_P(TidewellContract, WriteTsdataStampsTheClientClockAndRecordsNoBatch) {
  const std::vector<std::int64_t> ids{1, 2};
  const std::vector<double> values{1, 2};
  const std::vector<std::string> qualities{"Good", "Good"};
  const auto before = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 2u);
  const auto after = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  const auto times = stored_times();
  ASSERT_EQ(times.size(), 2u);
  EXPECT_EQ(times[0], times[1]) << "one write, one time";
  EXPECT_GE(times[0], before);
  EXPECT_LE(times[0], after);
  EXPECT_TRUE(recorded_batches().empty());
}

TEST_P(TidewellContract, WriteTsdataOfNothingWritesNothing) {
  const auto result = write_tsdata(*conn_, {}, {}, {});
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(count("tsdata"), 0u);
}

TEST_P(TidewellContract, WriteTsdataRefusesBadInputAndWritesNothing) {
  const std::vector<std::int64_t> ids{1, 2, 3};
  const std::vector<double> two_values{1, 2};
  const std::vector<std::string> qualities{"Good", "Good", "Good"};
  EXPECT_THROW(write_tsdata(*conn_, ids, two_values, qualities), DatabaseError);

  const std::vector<double> values{1, 2, 3};
  const std::vector<std::string> with_nul{"Good", std::string("Go\0od", 5), "Good"};
  EXPECT_THROW(write_tsdata(*conn_, ids, values, with_nul), DatabaseError);

  EXPECT_EQ(count("tsdata"), 0u);
  EXPECT_TRUE(ping(*conn_));
  EXPECT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 3u);
}

TEST_P(TidewellContract, WriteTsdataOfManyRowsIsOneCall) {
  constexpr std::size_t kRows = 25000;
  std::vector<std::int64_t> ids(kRows);
  std::vector<double> values(kRows);
  std::vector<std::string> qualities(kRows, "Good");
  for (std::size_t i = 0; i < kRows; ++i) {
    ids[i] = static_cast<std::int64_t>(i % 500);
    values[i] = static_cast<double>(i) / 7.0;
  }
  EXPECT_EQ(write_tsdata(*conn_, ids, values, qualities).count, kRows);
  EXPECT_EQ(count("tsdata"), kRows);
}

TEST_P(TidewellContract, BatchRowsKeepTheGivenTimeToTheMicrosecond) {
  constexpr std::int64_t kRead = 1709618828123457;  // 2024-03-05 06:07:08.123457 UTC
  constexpr std::int64_t kHour = 3600LL * 1000000;
  constexpr std::int64_t kBefore2000 = 946684799999999;    // 1999-12-31 23:59:59.999999 UTC
  constexpr std::int64_t kEarliest = -210866803200000000;  // 4714-11-24 00:00:00 UTC BC
  const auto batch = make_batch(3);
  EXPECT_EQ(write(*conn_, {"console", 1}, kRead, batch).count, 3u);
  // A cycle replayed an hour after it was read lands at the hour it was read.
  EXPECT_EQ(write(*conn_, {"console", 2}, kRead - kHour + 1, batch).count, 3u);
  EXPECT_EQ(write(*conn_, {"console", 3}, kBefore2000, batch).count, 3u);
  EXPECT_EQ(write(*conn_, {"console", 4}, kEarliest, batch).count, 3u);

  std::vector<std::int64_t> expected;
  for (const std::int64_t time : {kRead, kRead - kHour + 1, kBefore2000, kEarliest}) {
    expected.insert(expected.end(), 3, time);
  }
  EXPECT_EQ(stored_times(), expected);
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), 12u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].tag_id, batch.ids[i % 3]);
    EXPECT_EQ(rows[i].value, batch.values[i % 3]);
    EXPECT_EQ(rows[i].quality, batch.qualities[i % 3]);
  }
  if (!sqlite()) {
    // The server reads the time as the same instant, not one shifted by its own epoch or zone.
    EXPECT_EQ(
        db_->query("SELECT count(*) FROM tsdata WHERE time = '2024-03-05 06:07:08.123457+00'"),
        (std::vector<Row>{{"3"}}));
  }
  EXPECT_EQ(recorded_batches(), (std::vector<Row>{{"console", "1", "3"},
                                                  {"console", "2", "3"},
                                                  {"console", "3", "3"},
                                                  {"console", "4", "3"}}));
}

TEST_P(TidewellContract, BatchWrittenTwiceIsStoredOnce) {
  const auto batch = make_batch(50);
  const BatchId id{"console@plant-1", 41};
  const auto first = write(*conn_, id, 1000, batch);
  EXPECT_TRUE(first.success);
  EXPECT_EQ(first.count, 50u);
  EXPECT_FALSE(first.duplicate);

  // The replay of a batch whose acknowledgement was lost, on this or a new connection, with
  // whatever rows the replay carries.
  auto replayer = get_conn(db_->settings());
  ASSERT_NE(replayer, nullptr);
  for (Connection* conn : {conn_.get(), replayer.get()}) {
    const auto again = write(*conn, id, 2000, make_batch(7, 0.5));
    EXPECT_TRUE(again.success);
    EXPECT_EQ(again.count, 0u);
    EXPECT_TRUE(again.duplicate);
  }
  EXPECT_EQ(count("tsdata"), 50u);
  EXPECT_EQ(stored_times(), std::vector<std::int64_t>(50, 1000));
  EXPECT_EQ(recorded_batches(), (std::vector<Row>{{"console@plant-1", "41", "50"}}));

  // The next batch of the writer is new, and an empty batch is recorded like any other.
  EXPECT_FALSE(write(*conn_, {id.writer_id, 42}, 3000, batch).duplicate);
  EXPECT_EQ(write(*conn_, {id.writer_id, 43}, 4000, {}).count, 0u);
  EXPECT_TRUE(write(*conn_, {id.writer_id, 43}, 4000, {}).duplicate);
  EXPECT_EQ(count("tsdata"), 100u);
  EXPECT_EQ(count("write_batches"), 3u);
}

// Records of batches written before the cutoff go, younger ones and every row stay; a backlog
// larger than one chunk goes in one call.
TEST_P(TidewellContract, PruneDeletesExactlyTheBatchRecordsWrittenBeforeTheCutoff) {
  constexpr std::int64_t kDayUs = 86400LL * 1000000;
  const auto batch = make_batch(3);
  for (std::uint64_t seq = 1; seq <= 4; ++seq) write(*conn_, {"console", seq}, 1000, batch);
  // Batches 1 and 2 were written 40 days ago, batch 3 29 days ago.
  const auto age = [&](const std::string& days, const std::string& seqs) {
    db_->execute(sqlite() ? "UPDATE write_batches SET written_at = written_at - " + days +
                                " * 86400000000 WHERE seq IN (" + seqs + ")"
                          : "UPDATE write_batches SET written_at = written_at - interval '" + days +
                                " days' WHERE seq IN (" + seqs + ")");
  };
  age("40", "1, 2");
  age("29", "3");
  const std::int64_t cutoff = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count() -
                              30 * kDayUs;
  auto pruned = prune_write_batches(*conn_, cutoff);
  EXPECT_EQ(pruned.deleted, 2u);
  EXPECT_TRUE(pruned.finished);
  EXPECT_EQ(recorded_batches(), (std::vector<Row>{{"console", "3", "3"}, {"console", "4", "3"}}));
  EXPECT_EQ(count("tsdata"), 12u);
  EXPECT_EQ(prune_write_batches(*conn_, cutoff).deleted, 0u);
  // The rule's price: a pruned batch is no longer recognised, so writing it again stores it.
  EXPECT_FALSE(write(*conn_, {"console", 1}, 1000, batch).duplicate);
  EXPECT_TRUE(write(*conn_, {"console", 3}, 1000, batch).duplicate);

  // 25,000 old records of an earlier run: more than one chunk.
  const std::int64_t old_us = cutoff - kDayUs;
  db_->execute(sqlite() ? "WITH RECURSIVE g (n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g"
                          " WHERE n < 25000) INSERT INTO write_batches"
                          " SELECT 'earlier run', n, " +
                              std::to_string(old_us) + ", 1 FROM g"
                        : "INSERT INTO write_batches SELECT 'earlier run', n,"
                          " now() - interval '31 days', 1 FROM generate_series(1, 25000) AS n");
  pruned = prune_write_batches(*conn_, cutoff);
  EXPECT_EQ(pruned.deleted, 25000u);
  EXPECT_TRUE(pruned.finished);
  EXPECT_EQ(count("write_batches"), 3u);

  conn_->close();
  EXPECT_THROW(prune_write_batches(*conn_, cutoff), DatabaseError);
}

TEST_P(TidewellContract, SameSeqFromTwoWritersIsStoredForEach) {
  const auto batch = make_batch(4);
  const std::uint64_t kLargestSeq = std::numeric_limits<std::int64_t>::max();
  for (const std::string& writer :
       std::vector<std::string>{"console@plant-1", "console@plant-2", "", kHostileTexts[5]}) {
    SCOPED_TRACE(writer);
    EXPECT_FALSE(write(*conn_, {writer, 7}, 1000, batch).duplicate);
    EXPECT_FALSE(write(*conn_, {writer, kLargestSeq}, 1000, batch).duplicate);
    EXPECT_TRUE(write(*conn_, {writer, 7}, 1000, batch).duplicate);
  }
  EXPECT_EQ(count("tsdata"), 32u);
  const auto batches = recorded_batches();
  ASSERT_EQ(batches.size(), 8u);
  EXPECT_EQ(batches[0], (Row{"", "7", "4"}));
  EXPECT_EQ(batches[1], (Row{"", std::to_string(kLargestSeq), "4"}));
}

TEST_P(TidewellContract, BatchWhoseRowsAreRefusedLeavesNoRecordSoItsReplayIsStored) {
  auto batch = make_batch(200);
  batch.ids.back() = -1;
  refuse_tag_minus_one();
  EXPECT_THROW(write(*conn_, {"console", 9}, 5000, batch), DatabaseError);
  EXPECT_EQ(count("tsdata"), 0u);
  EXPECT_TRUE(recorded_batches().empty());
  EXPECT_TRUE(ping(*conn_));

  allow_all_rows();
  const auto replay = write(*conn_, {"console", 9}, 5000, batch);
  EXPECT_FALSE(replay.duplicate);
  EXPECT_EQ(replay.count, 200u);
  EXPECT_EQ(count("tsdata"), 200u);
  EXPECT_EQ(recorded_batches(), (std::vector<Row>{{"console", "9", "200"}}));
}

TEST_P(TidewellContract, BatchTheDatabaseCannotHoldIsRefusedBeforeAnythingIsWritten) {
  const auto batch = make_batch(3);
  const std::vector<double> two_values{1, 2};
  EXPECT_THROW(write_tsdata(*conn_, {"console", 1}, 0, batch.ids, two_values, batch.qualities),
               DatabaseError);
  EXPECT_THROW(write(*conn_, {"console", std::uint64_t{1} << 63}, 0, batch), DatabaseError);
  EXPECT_THROW(write(*conn_, {std::string("con\0sole", 8), 1}, 0, batch), DatabaseError);
  EXPECT_THROW(write(*conn_, {"console", 1}, std::numeric_limits<std::int64_t>::min(), batch),
               DatabaseError);
  auto with_nul = batch;
  with_nul.qualities[1] = std::string("Go\0od", 5);
  EXPECT_THROW(write(*conn_, {"console", 1}, 0, with_nul), DatabaseError);
  if (!sqlite()) {
    // Refused by the server rather than the client: text that is not UTF-8.
    EXPECT_THROW(write(*conn_, {"console\xff", 1}, 0, batch), DatabaseError);
    auto not_utf8 = batch;
    not_utf8.qualities[2] = "Go\xffod";
    EXPECT_THROW(write(*conn_, {"console", 1}, 0, not_utf8), DatabaseError);
  }
  EXPECT_EQ(count("tsdata"), 0u);
  EXPECT_TRUE(recorded_batches().empty());
  EXPECT_TRUE(ping(*conn_));
  EXPECT_EQ(write(*conn_, {"console", 1}, 0, batch).count, 3u);
}

TEST_P(TidewellContract, ConcurrentWritersOfOneBatchStoreItOnce) {
  // Each write gives up on its own (a busy or statement timeout), so none can wait forever.
  constexpr int kWriters = 4;
  const auto batch = make_batch(2000);
  std::vector<std::unique_ptr<Connection>> conns;
  for (int i = 0; i < kWriters; ++i) {
    conns.push_back(get_conn(db_->settings()));
    ASSERT_NE(conns.back(), nullptr);
  }
  std::vector<WriteResult> results(kWriters);
  std::vector<std::string> errors(kWriters);
  std::vector<std::thread> threads;
  for (int i = 0; i < kWriters; ++i) {
    threads.emplace_back([&, i] {
      try {
        results[i] = write(*conns[i], {"console", 77}, 8000, batch);
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  int stored = 0;
  for (int i = 0; i < kWriters; ++i) {
    EXPECT_EQ(errors[i], "");
    EXPECT_TRUE(results[i].success);
    if (!results[i].duplicate) ++stored;
  }
  EXPECT_EQ(stored, 1);
  EXPECT_EQ(count("tsdata"), 2000u);
  EXPECT_EQ(count("write_batches"), 1u);
}

TEST_P(TidewellContract, AutocommitSettingChangesNothingVisible) {
  for (bool autocommit : {false, true}) {
    auto settings = db_->settings();
    settings.autocommit = autocommit;
    auto conn = get_conn(settings);
    ASSERT_NE(conn, nullptr);
    const std::string name = autocommit ? "auto" : "manual";
    ASSERT_TRUE(insert_new_tag(*conn, TagInfo{name, {}, std::nullopt, name, {}}).ok);
    const std::vector<std::int64_t> ids{1};
    const std::vector<double> values{1};
    const std::vector<std::string> qualities{"Good"};
    write_tsdata(*conn, ids, values, qualities);
    // Visible to another connection at once: each call committed its own work.
    EXPECT_TRUE(get_tag(*conn_, name).has_value());
  }
  EXPECT_EQ(count("tsdata"), 2u);
}

TEST_P(TidewellContract, FetchAvailableTsdbsListsThisDatabase) {
  const auto names = fetch_available_tsdbs(db_->settings());
  EXPECT_NE(std::find(names.begin(), names.end(), db_->settings().dbname), names.end());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  for (const auto& name : names) {
    EXPECT_NE(name, "postgres");
    EXPECT_NE(name, "template0");
    EXPECT_NE(name, "template1");
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, TidewellContract, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

// Registration as a walk of the list in order, one tag at a time with the per-tag calls: the
// yardstick that register_tags must match in counts, failures and stored rows.
TagRegistrationResult walk_registration(Connection& conn, std::int64_t source_id,
                                        const std::vector<TagRegistration>& tags) {
  TagRegistrationResult result;
  for (const auto& tag : tags) {
    std::optional<TagInfo> found;
    try {
      found = get_tag(conn, tag.tag_name);
    } catch (const DatabaseError& e) {
      result.failed.push_back({tag.tag_name, false, e.what()});
      result.outcomes.push_back(TagOutcome::create_failed);
      continue;
    }
    if (found) {
      const auto updated = update_tag_fields(conn, tag.tag_name,
                                             TagFields{source_id, tag.tag_name, tag.description});
      if (updated.ok) {
        ++result.updated;
        result.outcomes.push_back(TagOutcome::updated);
        result.tag_ids[tag.tag_name] = *found->tag_id;
      } else {
        result.failed.push_back({tag.tag_name, true, updated.error});
        result.outcomes.push_back(TagOutcome::update_failed);
      }
    } else {
      const auto inserted =
          insert_new_tag(conn, TagInfo{tag.tag_name, tag.description, source_id, tag.tag_name, {}});
      if (inserted.ok) {
        ++result.created;
        result.outcomes.push_back(TagOutcome::created);
        result.tag_ids[tag.tag_name] = *inserted.data->tag_id;
      } else {
        result.failed.push_back({tag.tag_name, false, inserted.error});
        result.outcomes.push_back(TagOutcome::create_failed);
      }
    }
  }
  return result;
}

std::vector<std::pair<std::string, bool>> failures(const TagRegistrationResult& result) {
  std::vector<std::pair<std::string, bool>> out;
  for (const auto& failure : result.failed) {
    EXPECT_FALSE(failure.error.empty()) << failure.tag_name;
    out.emplace_back(failure.tag_name, failure.existed);
  }
  return out;
}

// Not valid UTF-8; PostgreSQL refuses it as text, SQLite keeps the bytes.
const std::string kNotUtf8 = "Demo.\xff\xfe";
// An index entry this long exceeds what PostgreSQL's unique index on tag names can hold.
std::string incompressible_name(std::size_t length) {
  std::string name = "Long.";
  std::uint32_t x = 12345;
  while (name.size() < length) {
    x = x * 1103515245 + 12345;
    name += static_cast<char>('!' + (x >> 16) % 90);
  }
  return name;
}

// register_tags on the database under test, the walk on a second database of the same driver,
// and the same sources in both; every step compares results and full table contents.
class TagRegistrationContract : public TidewellContract {
 protected:
  void SetUp() override {
    TidewellContract::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    reference_db_ = std::make_unique<TestDatabase>(GetParam());
    reference_ = get_conn(reference_db_->settings());
    ASSERT_NE(reference_, nullptr);
  }

  // The id of the source `name` in the database under test; made in both when new.
  std::int64_t source(const std::string& name) {
    if (const auto it = sources_.find(name); it != sources_.end()) return it->second;
    auto mine = make_source(name, "opc.da://localhost/" + name);
    auto theirs = mine;
    EXPECT_TRUE(insert_new_source(*conn_, mine).ok);
    EXPECT_TRUE(insert_new_source(*reference_, theirs).ok);
    reference_sources_[*mine.source_id] = *theirs.source_id;
    return sources_[name] = *mine.source_id;
  }

  TagRegistrationResult register_both(std::int64_t source_id,
                                      const std::vector<TagRegistration>& tags) {
    const auto it = reference_sources_.find(source_id);
    const std::int64_t reference_source = it == reference_sources_.end() ? source_id : it->second;
    const auto expected = walk_registration(*reference_, reference_source, tags);
    kestrane_test::LogCapture log("tidewell");
    const auto result = register_tags(*conn_, source_id, tags);
    // A list the database takes whole is registered set-based, never walked.
    const bool walked = log.dump().find("could not be registered at once") != std::string::npos;
    EXPECT_EQ(walked, !expected.failed.empty()) << log.dump();
    EXPECT_EQ(result.created, expected.created);
    EXPECT_EQ(result.updated, expected.updated);
    EXPECT_EQ(failures(result), failures(expected));
    // What happened to each listing, in list order, as the walk reports it.
    EXPECT_EQ(result.outcomes, expected.outcomes);
    EXPECT_EQ(tags_by_name(*db_), tags_by_name(*reference_db_));
    EXPECT_EQ(db_->query(kSourcesDump), reference_db_->query(kSourcesDump));

    // tag_ids: the stored id of exactly the names the walk registered.
    std::set<std::string> names, expected_names;
    for (const auto& [name, id] : result.tag_ids) names.insert(name);
    for (const auto& [name, id] : expected.tag_ids) expected_names.insert(name);
    EXPECT_EQ(names, expected_names);
    const auto stored = stored_ids();
    for (const auto& [name, id] : result.tag_ids) {
      const auto at = stored.find(name);
      EXPECT_TRUE(at != stored.end() && at->second == id) << name;
    }
    return result;
  }

  // Every column of every tag but its id, by name; the source as its name and endpoint.
  std::map<std::string, Row> tags_by_name(const TestDatabase& db) {
    const auto rows =
        db.query(std::string("SELECT t.tag_name, t.description") + (sqlite() ? "" : "::text") +
                 ", s.source_name, s.endpoint, t.source_tagname FROM tags t"
                 " LEFT JOIN sources s ON s.source_id = t.source_id");
    std::map<std::string, Row> out;
    for (const auto& row : rows) out[*row[0]] = Row(row.begin() + 1, row.end());
    return out;
  }

  std::map<std::string, std::int64_t> stored_ids() {
    std::map<std::string, std::int64_t> out;
    for (const auto& row : db_->query("SELECT tag_name, tag_id FROM tags")) {
      out[*row[0]] = std::stoll(*row[1]);
    }
    return out;
  }

  static constexpr const char* kSourcesDump =
      "SELECT source_name, endpoint, status, protocol, interval_msec, description, source_type"
      " FROM sources ORDER BY source_id";

  std::unique_ptr<TestDatabase> reference_db_;
  std::unique_ptr<Connection> reference_;
  std::map<std::string, std::int64_t> sources_;
  std::map<std::int64_t, std::int64_t> reference_sources_;  // ours -> the reference's
};

std::vector<TagRegistration> numbered_tags(const std::string& prefix, int first, int last,
                                           const std::string& note = "") {
  std::vector<TagRegistration> tags;
  for (int i = first; i <= last; ++i) {
    const std::string name = prefix + std::to_string(i);
    // Every fifth has no description at all, as a tag list with an empty column gives.
    tags.push_back({name, i % 5 == 0 ? Description{} : Description{{"desc", name + note}}});
  }
  return tags;
}

TEST_P(TagRegistrationContract, FreshListThenTheSameAgainThenChangedMatchTheWalk) {
  const auto plant = source("plant");
  const auto tags = numbered_tags("Demo.Tag", 1, 40);
  const auto fresh = register_both(plant, tags);
  EXPECT_EQ(fresh.created, 40u);
  EXPECT_EQ(fresh.updated, 0u);
  EXPECT_TRUE(fresh.failed.empty());

  const auto again = register_both(plant, tags);
  EXPECT_EQ(again.created, 0u);
  EXPECT_EQ(again.updated, 40u);
  EXPECT_EQ(again.tag_ids, fresh.tag_ids);

  // New descriptions for half, descriptions dropped and added, five new tags.
  auto changed = numbered_tags("Demo.Tag", 1, 20, " (moved to line 2)");
  for (auto& tag : numbered_tags("Demo.Tag", 21, 45)) changed.push_back(tag);
  changed[3].description = {};
  changed[4].description = {{"desc", "now described"}, {"unit", "degC"}};
  const auto result = register_both(plant, changed);
  EXPECT_EQ(result.created, 5u);
  EXPECT_EQ(result.updated, 40u);
  EXPECT_EQ(get_tag(*conn_, "Demo.Tag5")->description,
            (Description{{"desc", "now described"}, {"unit", "degC"}}));
}

TEST_P(TagRegistrationContract, NameListedTwiceIsCreatedOnceAndTheLastListingWins) {
  const auto plant = source("plant");
  register_both(plant, {{"Stored", {{"desc", "before"}}}});
  const auto result = register_both(plant, {{"X", {{"desc", "first"}}},
                                            {"Y", {{"desc", "y"}}},
                                            {"X", {{"desc", "second"}}},
                                            {"Stored", {{"desc", "one"}}},
                                            {"X", {{"desc", "third"}}},
                                            {"Stored", {{"desc", "two"}}},
                                            {"Y", {}}});
  EXPECT_EQ(result.created, 2u);
  EXPECT_EQ(result.updated, 5u);
  using enum TagOutcome;
  EXPECT_EQ(result.outcomes, (std::vector<TagOutcome>{created, created, updated, updated, updated,
                                                      updated, updated}));
  EXPECT_EQ(get_tag(*conn_, "X")->description, (Description{{"desc", "third"}}));
  EXPECT_EQ(get_tag(*conn_, "Stored")->description, (Description{{"desc", "two"}}));
  EXPECT_TRUE(get_tag(*conn_, "Y")->description.empty());
}

TEST_P(TagRegistrationContract, ListedTagsMoveFromAnotherSourceAndOthersStay) {
  const auto first = source("first");
  const auto second = source("second");
  register_both(first, numbered_tags("T", 1, 6));
  const auto moved = register_both(second, numbered_tags("T", 4, 9));
  EXPECT_EQ(moved.created, 3u);
  EXPECT_EQ(moved.updated, 3u);
  EXPECT_EQ(get_tag(*conn_, "T3")->source_id, first);
  EXPECT_EQ(get_tag(*conn_, "T4")->source_id, second);
  // A tag moved out of a source by hand comes back to the listed one.
  ASSERT_TRUE(update_tag_fields(*conn_, "T9", TagFields{first, "elsewhere", Description{}}).ok);
  ASSERT_TRUE(update_tag_fields(*reference_, "T9",
                                TagFields{reference_sources_[first], "elsewhere", Description{}})
                  .ok);
  register_both(second, numbered_tags("T", 9, 9));
  EXPECT_EQ(get_tag(*conn_, "T9")->source_tagname, "T9");
}

TEST_P(TagRegistrationContract, AwkwardNamesAndDescriptionsAreStoredByteForByte) {
  std::vector<std::string> names(kHostileTexts.begin(), kHostileTexts.end());
  for (const std::string& name :
       {std::string(), std::string("with,comma"), std::string("trailing space "),
        std::string("\\N"), std::string("\\."), std::string("a\\tb"), std::string("\"\t\"\n\\"),
        std::string("only\ttab"), std::string("锅炉") + std::string(300, 'x') + "温度",
        std::string("Demo.Tag1"), std::string("demo.tag1")}) {
    names.push_back(name);
  }
  std::vector<TagRegistration> tags;
  for (const auto& name : names) {
    tags.push_back({name, {{"desc", name}, {name.empty() ? "empty" : name, "\t\\\"\n"}}});
  }
  tags.push_back({"no description", {}});
  const auto result = register_both(source("plant"), tags);
  ASSERT_EQ(result.created, tags.size());
  for (const auto& tag : tags) {
    const auto stored = get_tag(*conn_, tag.tag_name);
    ASSERT_TRUE(stored.has_value()) << tag.tag_name;
    EXPECT_EQ(stored->tag_name, tag.tag_name);
    EXPECT_EQ(stored->source_tagname, tag.tag_name);
    EXPECT_EQ(stored->description, tag.description);
  }
  // The same list again finds every name it stored.
  EXPECT_EQ(register_both(source("plant"), tags).updated, tags.size());
}

TEST_P(TagRegistrationContract, EmptyListRegistersNothing) {
  const auto result = register_both(source("plant"), {});
  EXPECT_EQ(result.created, 0u);
  EXPECT_EQ(result.updated, 0u);
  EXPECT_TRUE(result.failed.empty());
  EXPECT_TRUE(result.tag_ids.empty());
  EXPECT_EQ(count("tags"), 0u);
}

TEST_P(TagRegistrationContract, RefusedListingsFallBackToTheWalkAndTheRestRegister) {
  const auto plant = source("plant");
  register_both(plant, numbered_tags("Demo.Tag", 1, 3));
  std::vector<TagRegistration> tags = numbered_tags("Demo.Tag", 1, 6);
  tags.insert(tags.begin() + 1, {std::string("Demo.\0Nul", 9), {}});
  tags.insert(tags.begin() + 3, {"Demo.Tag2", {{"desc", "not \xc3 UTF-8"}}});  // stored: update
  tags.insert(tags.begin() + 5, {"Demo.Tag5", {{"desc", "\xff"}}});  // before its good listing
  tags.push_back({kNotUtf8, {{"desc", "bytes"}}});
  tags.push_back({incompressible_name(3200), {}});
  tags.push_back({"Demo.Tag6", {{std::string("k\0ey", 4), "NUL in a key"}}});  // after create
  const auto result = register_both(plant, tags);

  std::vector<std::pair<std::string, bool>> expected = {
      {std::string("Demo.\0Nul", 9), false}, {"Demo.Tag2", true}, {"Demo.Tag5", false}};
  if (!sqlite()) {
    expected.emplace_back(kNotUtf8, false);
    expected.emplace_back(incompressible_name(3200), false);
  }
  expected.emplace_back("Demo.Tag6", true);
  EXPECT_EQ(failures(result), expected);
  // The refused listings keep their places among the registered ones.
  using enum TagOutcome;
  EXPECT_EQ(result.outcomes,
            (std::vector<TagOutcome>{updated, create_failed, updated, update_failed, updated,
                                     create_failed, created, created, created,
                                     sqlite() ? created : create_failed,
                                     sqlite() ? created : create_failed, update_failed}));
  for (int i = 1; i <= 6; ++i) {
    EXPECT_TRUE(result.tag_ids.contains("Demo.Tag" + std::to_string(i))) << i;
  }
  EXPECT_EQ(get_tag(*conn_, "Demo.Tag2")->description, (Description{{"desc", "Demo.Tag2"}}));
  EXPECT_TRUE(ping(*conn_));
}

TEST_P(TagRegistrationContract, UnknownSourceRefusesEveryListing) {
  register_both(source("plant"), numbered_tags("Demo.Tag", 1, 2));
  const auto result = register_both(987654, numbered_tags("Demo.Tag", 1, 4));
  EXPECT_EQ(result.created + result.updated, 0u);
  EXPECT_EQ(result.failed.size(), 4u);
  EXPECT_EQ(count("tags"), 2u);
}

TEST_P(TagRegistrationContract, LongListWithRefusedTagsMatchesTheWalkAcrossBlocks) {
  const auto plant = source("plant");
  const auto other = source("other");
  register_both(other, numbered_tags("Line.Tag", 900, 1300));
  auto tags = numbered_tags("Line.Tag", 1, 2600);
  // Repeats that cross the registration's block boundaries, each with a new description.
  for (int i : {5, 1200, 999, 1001}) {
    tags.insert(tags.begin() + 1500 + i % 7,
                {"Line.Tag" + std::to_string(i), {{"desc", "again " + std::to_string(i)}}});
  }
  tags.insert(tags.begin() + 1700, {std::string("Line.\0Bad", 9), {}});
  tags.insert(tags.begin() + 2300, {kNotUtf8, {}});
  tags.push_back({"Line.Tag1201", {{"desc", "last word"}}});
  const auto result = register_both(plant, tags);
  EXPECT_EQ(result.created + result.updated + result.failed.size(), tags.size());
  EXPECT_EQ(get_tag(*conn_, "Line.Tag1201")->description, (Description{{"desc", "last word"}}));
  EXPECT_EQ(get_tag(*conn_, "Line.Tag999")->source_id, plant);
}

TEST_P(TagRegistrationContract, GetTagIdsFindsExactlyTheStoredNames) {
  const auto registered = register_both(source("plant"), numbered_tags("Demo.Tag", 1, 1200));
  std::vector<std::string> names = {"Demo.Tag7", "Demo.Tag7", "demo.tag7",         "Demo.Tag",
                                    "",          "Nope",      "Demo.Tag1200",      kNotUtf8,
                                    "Demo.Tag1", "Demo.Tag1", std::string("\0", 1)};
  const auto found = get_tag_ids(*conn_, names);
  const std::unordered_map<std::string, std::int64_t> expected = {
      {"Demo.Tag7", registered.tag_ids.at("Demo.Tag7")},
      {"Demo.Tag1200", registered.tag_ids.at("Demo.Tag1200")},
      {"Demo.Tag1", registered.tag_ids.at("Demo.Tag1")}};
  EXPECT_EQ(found, expected);
  EXPECT_TRUE(get_tag_ids(*conn_, {}).empty());

  // Many names at once, most of them stored.
  std::vector<std::string> many;
  for (const auto& tag : numbered_tags("Demo.Tag", 1, 1300)) many.push_back(tag.tag_name);
  EXPECT_EQ(get_tag_ids(*conn_, many), registered.tag_ids);
}

TEST_P(TagRegistrationContract, ClosedOrLostConnectionThrowsRatherThanReportingFailures) {
  const auto plant = source("plant");
  const auto tags = numbered_tags("Demo.Tag", 1, 3);
  if (!sqlite()) {
    // The server ends the session, as a restart or an administrator would.
    db_->execute(
        "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity"
        " WHERE datname = current_database() AND application_name = 'kestrane'");
    EXPECT_THROW(register_tags(*conn_, plant, tags), DatabaseError);
    EXPECT_FALSE(ping(*conn_));
    conn_ = get_conn(db_->settings());
    ASSERT_NE(conn_, nullptr);
  }
  EXPECT_EQ(register_tags(*conn_, plant, tags).created, 3u);
  conn_->close();
  EXPECT_THROW(register_tags(*conn_, plant, tags), DatabaseError);
  EXPECT_THROW(register_tags(*conn_, plant, {}), DatabaseError);
  const std::vector<std::string> names = {"Demo.Tag1"};
  EXPECT_THROW(get_tag_ids(*conn_, names), DatabaseError);
  EXPECT_EQ(count("tags"), 3u);
}

INSTANTIATE_TEST_SUITE_P(Drivers, TagRegistrationContract,
                         ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
