// Batches of rows with their own times, status codes and source times, numbers into tsdata and
// texts into tsdata_text, exactly once over both tables. Run against both drivers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "driver_test.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::DriverTest;
using testing::Row;

// 2024-03-05 06:07:08.123457 UTC and a source time 250 ms before it.
constexpr std::int64_t kTime = 1709618828123457;
constexpr std::int64_t kSourceTime = 1709618827873457;
// The earliest time both drivers store (4714-11-24 BC), and one microsecond before it.
constexpr std::int64_t kEarliest = -210866803200000000;

TsdataRow number(std::int64_t tag_id, double value, std::int64_t time_us = kTime) {
  return {time_us, tag_id, value, {}, "Good", 0u, kSourceTime};
}

TsdataRow text(std::int64_t tag_id, std::string value, std::int64_t time_us = kTime) {
  return {time_us, tag_id, 0.0, std::move(value), "Good", 0u, kSourceTime};
}

class WriteRows : public DriverTest {
 protected:
  // (time, tag_id, value, quality, status, source_time) of every row of `table` in the order
  // written, times in microseconds since 1970-01-01 UTC, NULL as nullopt.
  std::vector<Row> stored(const std::string& table) {
    if (sqlite()) {
      return db_->query("SELECT time, tag_id, value, quality, status, source_time FROM " + table +
                        " ORDER BY rowid");
    }
    const auto micros = [](const char* column) {
      return std::string("(extract(epoch FROM ") + column + ") * 1000000)::bigint";
    };
    return db_->query("SELECT " + micros("time") + ", tag_id, value::text, quality, status, " +
                      micros("source_time") + " FROM " + table + " ORDER BY ctid");
  }

  std::string count(const std::string& table) {
    return *db_->query("SELECT count(*) FROM " + table)[0][0];
  }
};

TEST_P(WriteRows, MixedBatchStoresEveryFieldInItsTable) {
  // Texts as the reader renders them: plain text with everything that breaks naive escaping,
  // JSON of an array and of a structure, a date, and a text of 64 KiB.
  const std::string awkward = "a,b;\"quoted\" 'single'\ttab\nnew line\r\\N \\. 锅炉 ✓";
  const std::string json_array = "[1.5,2.5,3.5]";
  const std::string json_object = R"({"name":"pump \"A\"","limits":[0,100],"on":true})";
  const std::string long_text(64 * 1024, 'x');
  std::vector<TsdataRow> rows = {
      number(1, 21.5),
      text(2, awkward),
      {kTime + 1, 3, -0.25, {}, "Bad", 0x808B0000u, {}},  // BadSensorFailure, no source time
      {kTime + 2, 4, 1.0, {}, "Good", {}, {}},            // a Boolean, no status given
      {kTime + 3, 5, 0.0, json_array, "Uncertain", 0x40890000u, kSourceTime - 1},
      {kTime + 3, 6, 0.0, json_object, "Good", {}, {}},
      {kTime + 4, 7, 7.0, {}, "Bad", 0xFFFFFFFFu, kEarliest},  // every status bit set
      {kTime, 8, 0.0, "2025-06-07T08:09:10.123Z", "Good", 0u, kEarliest},
      text(9, long_text),
      text(10, ""),
  };
  const auto result = write_tsdata(*conn_, {"console", 1}, rows);
  EXPECT_TRUE(result.success);
  EXPECT_FALSE(result.duplicate);
  EXPECT_EQ(result.count, rows.size());
  EXPECT_EQ(result.text_count, 6u);

  const std::string t = std::to_string(kTime);
  const std::string s = std::to_string(kSourceTime);
  const std::string earliest = std::to_string(kEarliest);
  EXPECT_EQ(stored("tsdata"),
            (std::vector<Row>{
                {t, "1", "21.5", "Good", "0", s},
                {std::to_string(kTime + 1), "3", "-0.25", "Bad", "2156593152", std::nullopt},
                {std::to_string(kTime + 2), "4", "1", "Good", std::nullopt, std::nullopt},
                {std::to_string(kTime + 4), "7", "7", "Bad", "4294967295", earliest},
            }));
  EXPECT_EQ(stored("tsdata_text"),
            (std::vector<Row>{
                {t, "2", awkward, "Good", "0", s},
                {std::to_string(kTime + 3), "5", json_array, "Uncertain", "1082720256",
                 std::to_string(kSourceTime - 1)},
                {std::to_string(kTime + 3), "6", json_object, "Good", std::nullopt, std::nullopt},
                {std::to_string(kTime), "8", "2025-06-07T08:09:10.123Z", "Good", "0", earliest},
                {t, "9", long_text, "Good", "0", s},
                {t, "10", "", "Good", "0", s},
            }));
  EXPECT_EQ(db_->query("SELECT writer_id, seq, row_count FROM write_batches"),
            (std::vector<Row>{{"console", "1", "10"}}));
  if (!sqlite()) {
    // Arrays and structures are JSON the server reads as such.
    EXPECT_EQ(db_->query("SELECT value::jsonb ->> 1 FROM tsdata_text WHERE tag_id = 5"),
              (std::vector<Row>{{"2.5"}}));
    EXPECT_EQ(db_->query("SELECT value::jsonb ->> 'name' FROM tsdata_text WHERE tag_id = 6"),
              (std::vector<Row>{{"pump \"A\""}}));
  }
}

TEST_P(WriteRows, NanAndInfinitiesKeepTheirMeaning) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<TsdataRow> rows = {number(1, std::numeric_limits<double>::quiet_NaN()),
                                       number(2, inf), number(3, -inf)};
  ASSERT_EQ(write_tsdata(*conn_, {"console", 1}, rows).count, 3u);
  const auto values = db_->query("SELECT value FROM tsdata ORDER BY tag_id");
  // SQLite keeps NaN as NULL, as the older writes do.
  EXPECT_EQ(values[0][0], sqlite() ? std::nullopt : std::optional<std::string>("NaN"));
  EXPECT_EQ(values[1][0], sqlite() ? "inf" : "Infinity");
  EXPECT_EQ(values[2][0], sqlite() ? "-inf" : "-Infinity");
}

TEST_P(WriteRows, ReplayIsStoredOnceOverBothTables) {
  const std::vector<TsdataRow> rows = {number(1, 1.0), text(2, "on"), number(3, 3.0)};
  ASSERT_FALSE(write_tsdata(*conn_, {"console", 5}, rows).duplicate);
  for (int replay = 0; replay < 2; ++replay) {
    const auto again = write_tsdata(*conn_, {"console", 5}, rows);
    EXPECT_TRUE(again.success);
    EXPECT_TRUE(again.duplicate);
    EXPECT_EQ(again.count, 0u);
    EXPECT_EQ(again.text_count, 0u);
  }
  // Another connection replaying it is recognised too, and the old write's identity is the
  // same record: a batch written through write_batch is not written again through write_rows.
  auto other = get_conn(db_->settings());
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(write_tsdata(*other, {"console", 5}, rows).duplicate);
  const std::vector<std::int64_t> ids{1};
  const std::vector<double> values{1.0};
  const std::vector<std::string> qualities{"Good"};
  ASSERT_FALSE(write_tsdata(*conn_, {"console", 6}, kTime, ids, values, qualities).duplicate);
  EXPECT_TRUE(write_tsdata(*other, {"console", 6}, rows).duplicate);
  EXPECT_EQ(count("tsdata"), "3");
  EXPECT_EQ(count("tsdata_text"), "1");
  EXPECT_EQ(count("write_batches"), "2");
}

// The identity of a batch is stored as given, whatever its characters, and is the same record
// the write of one time per batch finds.
TEST_P(WriteRows, AwkwardWriterIdsAreStoredAsGiven) {
  const std::vector<std::string> writers = {"o'brien'); DROP TABLE tags; --", "back\\slash \"q\"",
                                            "锅炉.writer", "", "$1 ?1 %s"};
  std::uint64_t seq = 0;
  for (const auto& writer : writers) {
    ASSERT_FALSE(write_tsdata(*conn_, {writer, ++seq}, std::vector{number(1, 1.0)}).duplicate);
    const std::vector<std::int64_t> ids{1};
    const std::vector<double> values{1.0};
    const std::vector<std::string> qualities{"Good"};
    EXPECT_TRUE(write_tsdata(*conn_, {writer, seq}, kTime, ids, values, qualities).duplicate)
        << writer;
  }
  std::vector<Row> expected;
  for (const auto& writer : writers) expected.push_back({writer});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(db_->query("SELECT writer_id FROM write_batches ORDER BY writer_id"), expected);
  EXPECT_EQ(count("tags"), "0");
  if (!sqlite()) {
    EXPECT_THROW(write_tsdata(*conn_, {"\xff", 1}, std::vector{number(1, 1.0)}), RequestRejected);
    EXPECT_EQ(count("write_batches"), std::to_string(writers.size()));
  }
}

TEST_P(WriteRows, BatchesOfOneKindOrOfNone) {
  const auto empty = write_tsdata(*conn_, {"console", 1}, std::vector<TsdataRow>{});
  EXPECT_TRUE(empty.success);
  EXPECT_EQ(empty.count, 0u);
  EXPECT_TRUE(write_tsdata(*conn_, {"console", 1}, std::vector<TsdataRow>{}).duplicate);

  const auto texts = write_tsdata(*conn_, {"console", 2}, std::vector{text(1, "a"), text(2, "b")});
  EXPECT_EQ(texts.count, 2u);
  EXPECT_EQ(texts.text_count, 2u);
  const auto numbers = write_tsdata(*conn_, {"console", 3}, std::vector{number(1, 1.0)});
  EXPECT_EQ(numbers.count, 1u);
  EXPECT_EQ(numbers.text_count, 0u);
  EXPECT_EQ(count("tsdata"), "1");
  EXPECT_EQ(count("tsdata_text"), "2");
  EXPECT_EQ(db_->query("SELECT seq, row_count FROM write_batches ORDER BY seq"),
            (std::vector<Row>{{"1", "0"}, {"2", "2"}, {"3", "1"}}));
}

TEST_P(WriteRows, LargeMixedBatchIsStoredWhole) {
  // Each table's stream well beyond one chunk of the COPY.
  std::vector<TsdataRow> rows;
  for (std::int64_t i = 0; i < 40000; ++i) {
    if (i % 2 == 0) {
      rows.push_back(number(i, static_cast<double>(i), kTime + i));
    } else {
      rows.push_back(text(i, "value " + std::to_string(i) + std::string(60, '.'), kTime + i));
    }
  }
  const auto result = write_tsdata(*conn_, {"console", 1}, rows);
  EXPECT_EQ(result.count, 40000u);
  EXPECT_EQ(result.text_count, 20000u);
  EXPECT_EQ(db_->query("SELECT count(*), min(tag_id), max(tag_id) FROM tsdata"),
            (std::vector<Row>{{"20000", "0", "39998"}}));
  EXPECT_EQ(db_->query("SELECT count(*), min(tag_id), max(tag_id) FROM tsdata_text"),
            (std::vector<Row>{{"20000", "1", "39999"}}));
}

// A row the database cannot store refuses the whole batch as the request's fault, leaves no
// row and no record, and the connection stays usable: the writer sets the rows aside and a
// later batch of the same identity is stored.
TEST_P(WriteRows, RefusedRowsWriteNothingAndLeaveNoRecord) {
  struct Case {
    const char* what;
    TsdataRow bad;
  };
  const std::vector<Case> cases = {
      {"NUL in a text", text(9, std::string("a\0b", 3))},
      {"NUL in a quality", {kTime, 9, 1.0, {}, std::string("Go\0od", 5), 0u, {}}},
      {"NUL in a text's quality", {kTime, 9, 0.0, "x", std::string("\0", 1), 0u, {}}},
      {"time before the earliest", number(9, 1.0, kEarliest - 1)},
      {"source time before the earliest", {kTime, 9, 1.0, {}, "Good", 0u, kEarliest - 1}},
      {"lowest time", number(9, 1.0, std::numeric_limits<std::int64_t>::min())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<TsdataRow> rows = {number(1, 1.0), text(2, "fine"), c.bad};
    try {
      write_tsdata(*conn_, {"console", 1}, rows);
      ADD_FAILURE() << "expected RequestRejected";
    } catch (const RequestRejected& e) {
      EXPECT_NE(std::string(e.what()).find("row 3 of 3 (tag id 9)"), std::string::npos) << e.what();
    }
    EXPECT_EQ(count("tsdata"), "0");
    EXPECT_EQ(count("tsdata_text"), "0");
    EXPECT_EQ(count("write_batches"), "0");
  }
  if (!sqlite()) {
    // Text that is no UTF-8 reaches the server, which refuses it after the numbers went in:
    // the numbers go again with it.
    try {
      write_tsdata(*conn_, {"console", 1}, std::vector{number(1, 1.0), text(2, "\xff\xfe")});
      ADD_FAILURE() << "expected RequestRejected";
    } catch (const RequestRejected&) {
    }
    EXPECT_EQ(count("tsdata"), "0");
    EXPECT_EQ(count("write_batches"), "0");
  }
  ASSERT_TRUE(ping(*conn_));
  const auto stored = write_tsdata(*conn_, {"console", 1}, std::vector{number(1, 1.0)});
  EXPECT_EQ(stored.count, 1u);
  EXPECT_FALSE(stored.duplicate);
}

TEST_P(WriteRows, OlderWritesLeaveStatusAndSourceTimeEmpty) {
  const std::vector<std::int64_t> ids{1, 2};
  const std::vector<double> values{1.0, 2.0};
  const std::vector<std::string> qualities{"Good", "Bad"};
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 2u);
  ASSERT_EQ(write_tsdata(*conn_, {"console", 1}, kTime, ids, values, qualities).count, 2u);
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata WHERE status IS NULL AND source_time IS NULL"),
            (std::vector<Row>{{"4"}}));
  EXPECT_EQ(count("tsdata_text"), "0");
}

// The latest value and status of every tag, numbers and texts together, as the README shows.
TEST_P(WriteRows, LatestValueOfEveryTagReadsAcrossBothTables) {
  for (const char* name : {"Pump.Speed", "Pump.State", "Pump.Mode"}) {
    ASSERT_TRUE(insert_new_tag(*conn_, TagInfo{name, {}, {}, name, {}}).ok);
  }
  ASSERT_EQ(
      write_tsdata(*conn_, {"console", 1},
                   std::vector{number(1, 1.0, kTime), text(2, "old", kTime), number(3, 3.0, kTime)})
          .count,
      3u);
  // Tag 3 turned from a number into a text.
  ASSERT_EQ(
      write_tsdata(*conn_, {"console", 2},
                   std::vector{number(1, 2.0, kTime + 1000000),
                               TsdataRow{kTime + 1000000, 2, 0.0, "new", "Bad", 0x808B0000u, {}},
                               text(3, "manual", kTime + 1000000)})
          .count,
      3u);
  const std::string latest =
      sqlite() ? "SELECT t.tag_name, v.value, v.quality, v.status FROM tags AS t JOIN ("
                 " SELECT *, row_number() OVER (PARTITION BY tag_id ORDER BY time DESC) AS n"
                 " FROM (SELECT time, tag_id, value, quality, status, source_time FROM tsdata"
                 "  UNION ALL"
                 "  SELECT time, tag_id, value, quality, status, source_time FROM tsdata_text))"
                 " AS v ON v.tag_id = t.tag_id AND v.n = 1 ORDER BY t.tag_name"
               : "SELECT t.tag_name, v.value, v.quality, v.status FROM tags AS t"
                 " CROSS JOIN LATERAL ("
                 " (SELECT time, value::text AS value, quality, status, source_time FROM tsdata"
                 "  WHERE tag_id = t.tag_id ORDER BY time DESC LIMIT 1)"
                 " UNION ALL"
                 " (SELECT time, value, quality, status, source_time FROM tsdata_text"
                 "  WHERE tag_id = t.tag_id ORDER BY time DESC LIMIT 1)"
                 " ORDER BY time DESC LIMIT 1) AS v ORDER BY t.tag_name";
  EXPECT_EQ(db_->query(latest), (std::vector<Row>{
                                    {"Pump.Mode", "manual", "Good", "0"},
                                    {"Pump.Speed", "2", "Good", "0"},
                                    {"Pump.State", "new", "Bad", "2156593152"},
                                }));
}

INSTANTIATE_TEST_SUITE_P(Drivers, WriteRows, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
