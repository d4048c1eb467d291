// What each tag has stored last, over tsdata and tsdata_text, read back for a list of tags:
// the latest time, the source time at it and every row at that edge. Run against both drivers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "driver_test.h"
#include "queries.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::DriverTest;
using testing::Row;

// 2024-03-05 06:07:08.123457 UTC.
constexpr std::int64_t kTime = 1709618828123457;

TsdataRow number(std::int64_t tag_id, std::int64_t time_us, double value,
                 std::optional<std::int64_t> source_us, std::optional<std::uint32_t> status = 0u) {
  return {time_us, tag_id, value, {}, "Good", status, source_us};
}

TsdataRow text(std::int64_t tag_id, std::int64_t time_us, std::string value,
               std::optional<std::int64_t> source_us) {
  return {time_us, tag_id, 0.0, std::move(value), "Good", 0u, source_us};
}

// A stored row as comparable text: table, value, quality, status, source time.
std::string describe(const TsdataRow& row) {
  std::string value = row.text ? "text " + *row.text : "number " + std::to_string(row.value);
  return value + " " + row.quality + " status " +
         (row.status ? std::to_string(*row.status) : "NULL") + " source " +
         (row.source_time_us ? std::to_string(*row.source_time_us) : "NULL");
}

std::vector<std::string> described(const LastStored& last) {
  std::vector<std::string> rows;
  for (const TsdataRow& row : last.rows_at_edge) {
    EXPECT_EQ(row.tag_id, last.tag_id);
    EXPECT_EQ(row.time_us, last.time_us);
    EXPECT_EQ(row.source_time_us, last.source_time_us);
    rows.push_back(describe(row));
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

class LastStoredTest : public DriverTest {
 protected:
  void store(const std::vector<TsdataRow>& rows) {
    ASSERT_TRUE(write_tsdata(*conn_, {"test", ++seq_}, rows).success);
  }

  std::vector<LastStored> read(const std::vector<std::int64_t>& ids) {
    return last_stored(*conn_, ids);
  }

  std::uint64_t seq_ = 0;
};

TEST_P(LastStoredTest, TagsWithoutRowsAreAbsent) {
  EXPECT_TRUE(read({}).empty());
  EXPECT_TRUE(read({1, 2, 3}).empty());
  store({number(7, kTime, 1.0, kTime)});
  const auto found = read({1, 7, 2});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].tag_id, 7);
}

TEST_P(LastStoredTest, NumbersOnlyGiveTheLatestRowInListOrder) {
  // Written out of time order: the latest time wins, not the last row written.
  store({number(1, kTime + 30, 3.5, kTime + 29), number(1, kTime + 10, 1.5, kTime + 9),
         number(2, kTime + 5, -2.0, kTime + 4), number(1, kTime + 20, 2.5, kTime + 19)});
  const auto found = read({2, 1, 2});
  ASSERT_EQ(found.size(), 2u);  // listed twice, reported once
  EXPECT_EQ(found[0].tag_id, 2);
  EXPECT_EQ(found[0].time_us, kTime + 5);
  EXPECT_EQ(found[0].source_time_us, kTime + 4);
  EXPECT_EQ(described(found[0]),
            (std::vector<std::string>{describe(number(2, 0, -2.0, kTime + 4))}));
  EXPECT_EQ(found[1].tag_id, 1);
  EXPECT_EQ(found[1].time_us, kTime + 30);
  EXPECT_EQ(found[1].source_time_us, kTime + 29);
  EXPECT_EQ(described(found[1]),
            (std::vector<std::string>{describe(number(1, 0, 3.5, kTime + 29))}));
}

TEST_P(LastStoredTest, TextsOnly) {
  store({text(4, kTime, "old", kTime), text(4, kTime + 1, "new, \"quoted\" 锅炉", kTime + 1)});
  const auto found = read({4});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].time_us, kTime + 1);
  EXPECT_EQ(found[0].source_time_us, kTime + 1);
  EXPECT_EQ(described(found[0]),
            (std::vector<std::string>{describe(text(4, 0, "new, \"quoted\" 锅炉", kTime + 1))}));
}

TEST_P(LastStoredTest, TheLaterTableWinsAndBothCountAtOneInstant) {
  store({
      number(1, kTime + 2, 1.0, kTime + 2),
      text(1, kTime + 1, "older text", kTime + 1),
      number(2, kTime + 1, 2.0, kTime + 1),
      text(2, kTime + 2, "newer text", kTime + 2),
      // A structure changed into a number at one source time: both are the edge.
      number(3, kTime, 3.0, kTime),
      text(3, kTime, "[1,2]", kTime),
  });
  const auto found = read({1, 2, 3});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].time_us, kTime + 2);
  EXPECT_EQ(described(found[0]),
            (std::vector<std::string>{describe(number(1, 0, 1.0, kTime + 2))}));
  EXPECT_EQ(found[1].time_us, kTime + 2);
  EXPECT_EQ(described(found[1]),
            (std::vector<std::string>{describe(text(2, 0, "newer text", kTime + 2))}));
  EXPECT_EQ(found[2].time_us, kTime);
  EXPECT_EQ(described(found[2]), (std::vector<std::string>{describe(number(3, 0, 3.0, kTime)),
                                                           describe(text(3, 0, "[1,2]", kTime))}));
}

TEST_P(LastStoredTest, SeveralRowsAtTheLatestTimeKeepOnlyTheGreatestSourceTime) {
  // Several changes the server gave one source time, all stored at it; beside them, at the
  // same row time, a value with an older source time (a polled row re-reading an old value)
  // and one without a source time: neither is what a history value at the edge repeats.
  store({number(5, kTime - 1, 9.0, kTime - 1), number(5, kTime, 1.0, kTime),
         number(5, kTime, 2.0, kTime), number(5, kTime, 2.0, kTime, std::nullopt),
         text(5, kTime, "x", kTime), number(5, kTime, 4.0, kTime - 5),
         number(5, kTime, 5.0, std::nullopt)});
  const auto found = read({5});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].time_us, kTime);
  EXPECT_EQ(found[0].source_time_us, kTime);
  EXPECT_EQ(
      described(found[0]),
      (std::vector<std::string>{
          describe(number(5, 0, 1.0, kTime)), describe(number(5, 0, 2.0, kTime)),
          describe(number(5, 0, 2.0, kTime, std::nullopt)), describe(text(5, 0, "x", kTime))}));
}

TEST_P(LastStoredTest, NullSourceTimeIsTheEdgeOnlyWhenNoRowAtThatTimeHasOne) {
  store({number(6, kTime, 1.0, kTime), number(6, kTime + 1, 2.0, std::nullopt),
         text(6, kTime + 1, "t", std::nullopt),
         number(8, kTime + 1, std::numeric_limits<double>::quiet_NaN(), std::nullopt)});
  const auto found = read({6, 8});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].time_us, kTime + 1);
  EXPECT_FALSE(found[0].source_time_us);
  EXPECT_EQ(described(found[0]),
            (std::vector<std::string>{describe(number(6, 0, 2.0, std::nullopt)),
                                      describe(text(6, 0, "t", std::nullopt))}));
  ASSERT_EQ(found[1].rows_at_edge.size(), 1u);
  EXPECT_TRUE(std::isnan(found[1].rows_at_edge[0].value));
  EXPECT_FALSE(found[1].rows_at_edge[0].text);
}

TEST_P(LastStoredTest, MoreTagsThanOneRoundTripTakes) {
  // Every third tag has no row; the rest one row each at a time of their own.
  const std::int64_t tags = static_cast<std::int64_t>(kLastStoredChunk) * 2 + 500;
  std::vector<TsdataRow> rows;
  std::vector<std::int64_t> ids;
  for (std::int64_t id = 1; id <= tags; ++id) {
    ids.push_back(id);
    if (id % 3 == 0) continue;
    rows.push_back(id % 2 == 0 ? number(id, kTime + id, static_cast<double>(id), kTime - id)
                               : text(id, kTime + id, std::to_string(id), kTime - id));
  }
  store(rows);
  for (int call = 0; call < 2; ++call) {  // the statement prepared once serves later calls
    const auto found = read(ids);
    ASSERT_EQ(found.size(), rows.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      const TsdataRow& want = rows[i];
      ASSERT_EQ(found[i].tag_id, want.tag_id);
      EXPECT_EQ(found[i].time_us, want.time_us);
      EXPECT_EQ(found[i].source_time_us, want.source_time_us);
      EXPECT_EQ(described(found[i]), (std::vector<std::string>{describe(want)}));
    }
  }
}

TEST_P(LastStoredTest, FindsTheEdgeThroughTheIndexWithoutReadingHistory) {
  // Tags with a long history in both tables, and the statement's plan on one of them: no table
  // is read in full and no tag's rows are scanned, every table is searched by (tag_id, time).
  for (const std::string table : {"tsdata", "tsdata_text"}) {
    if (sqlite()) {
      db_->execute(
          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
          " INSERT INTO " +
          table +
          " (time, tag_id, value, quality, status, source_time)"
          " SELECT i, 1 + i % 4, i, 'Good', 0, i FROM n");
    } else {
      db_->execute(
          "INSERT INTO " + table +
          " (time, tag_id, value, quality, status, source_time)"
          " SELECT 'epoch'::timestamptz + i * interval '1 s', 1 + i % 4, i, 'Good', 0,"
          " 'epoch'::timestamptz + i * interval '1 s' FROM generate_series(1, 20000) AS i");
    }
  }
  db_->execute("ANALYZE");
  // Without a bound, and with one (rows before a time only).
  const std::int64_t bound = sqlite() ? 15000 : std::int64_t{15000} * 1000000;
  for (const std::string& before : {std::string("NULL"), std::to_string(bound)}) {
    std::string sql = last_stored_sql(sqlite() ? SqlDialect::sqlite : SqlDialect::postgres);
    for (const auto& [placeholder, value] :
         {std::pair<std::string, std::string>{sqlite() ? "?1" : "$1", "2"},
          {sqlite() ? "?2" : "$2", before}}) {
      for (auto at = sql.find(placeholder); at != std::string::npos; at = sql.find(placeholder)) {
        sql.replace(at, placeholder.size(), value);
      }
    }
    std::string plan;
    for (const Row& row : db_->query((sqlite() ? "EXPLAIN QUERY PLAN " : "EXPLAIN ") + sql)) {
      plan += *row.back() + "\n";
    }
    if (sqlite()) {
      EXPECT_FALSE(std::regex_search(plan, std::regex(R"(SCAN (tsdata|tsdata_text|d)\b)"))) << plan;
      EXPECT_TRUE(std::regex_search(plan, std::regex(R"(SEARCH tsdata USING .*INDEX)"))) << plan;
    } else {
      EXPECT_EQ(plan.find("Seq Scan"), std::string::npos) << plan;
      EXPECT_EQ(plan.find("Bitmap"), std::string::npos) << plan;
      EXPECT_NE(plan.find("Index Only Scan Backward using tsdata_tag_id_time_idx"),
                std::string::npos)
          << plan;
    }
  }
  // Bounded: the last row of the tag before the time.
  const tidewell::LastStoredQuery bounded[] = {{.tag_id = 2, .before_us = bound}};
  const auto below = tidewell::last_stored(*conn_, bounded);
  ASSERT_EQ(below.size(), 1u);
  EXPECT_EQ(below[0].source_time_us, sqlite() ? 14997 : 14997 * std::int64_t{1000000});
  const auto found = read({2});
  ASSERT_EQ(found.size(), 1u);
  // The last i with i % 4 == 1, once in each table.
  const std::int64_t source = sqlite() ? 19997 : 19997 * std::int64_t{1000000};
  EXPECT_EQ(described(found[0]), (std::vector<std::string>{describe(number(2, 0, 19997.0, source)),
                                                           describe(text(2, 0, "19997", source))}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, LastStoredTest, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
