// A spool segment written by the first record format (tests/quellin/fixtures) still scans,
// reads and replays: what an earlier run left on disk survives an upgrade, row for row, and
// new records appended after it read back in order.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "scripted_tsdb.h"
#include "spool/spool.h"
#include "spool/spool_record.h"
#include "temp_dir.h"
#include "tsdb_writer.h"

namespace {

namespace fs = std::filesystem;
using quellin::SpoolBatch;

const fs::path kFixture = fs::path(KESTRANE_QUELLIN_FIXTURES) / "spool-v1-0000000000000001.dat";
constexpr std::int64_t kT0 = 1704164645006123;  // 2024-01-02T03:04:05.006123Z
const std::string kWriter = "0123456789abcdef0123456789abcdef";
const std::string kOddTag =
    "Line 2, Motor \"\xC3\x9C\" Temp \xC2\xB0"
    "C";
const double kInf = std::numeric_limits<double>::infinity();

std::string fixture_bytes() {
  std::ifstream in(kFixture, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Row {
  std::string tag;
  double value;  // NaN: a NaN is expected
  std::string quality;
};

// Every row of both batches in the fixture, as they were spooled.
const std::vector<Row> kSeven = {{"Area1.Flow", 12.5, "Good"},
                                 {kOddTag, 21.75, "Uncertain"},
                                 {"Area1.Name", std::numeric_limits<double>::quiet_NaN(), "Bad"},
                                 {"Area1.Overflow", kInf, "Good"},
                                 {"Area1.Underflow", -kInf, "Good"}};
const std::vector<Row> kEight = {
    {"Area1.Flow", 0.0, "Bad"}, {kOddTag, -3.0, "Uncertain"}, {"Area1.Switch", 1.0, "Good"}};

void expect_batch(const SpoolBatch& batch, std::uint64_t seq, std::int64_t time_us,
                  const std::vector<Row>& rows) {
  EXPECT_EQ(batch.writer_id, kWriter);
  EXPECT_EQ(batch.seq, seq);
  EXPECT_EQ(batch.time_us, time_us);
  ASSERT_EQ(batch.rows.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const quellin::SpoolRow& got = batch.rows[i];
    EXPECT_EQ(got.tag, rows[i].tag) << i;
    if (std::isnan(rows[i].value)) {
      EXPECT_TRUE(std::isnan(got.value)) << i;
    } else {
      EXPECT_EQ(got.value, rows[i].value) << i;
    }
    EXPECT_EQ(got.quality, rows[i].quality) << i;
    // The first format knew none of these: they stay absent, never made up.
    EXPECT_FALSE(got.text || got.status || got.source_time_us || got.time_us) << i;
  }
}

TEST(SpoolVersionOneFixture, ScansAsTwoVersionOneRecordsAndDecodesEveryRow) {
  const std::string bytes = fixture_bytes();
  ASSERT_FALSE(bytes.empty()) << kFixture;
  EXPECT_EQ(quellin::spool_record_version(quellin::parse_spool_record_header(bytes).magic), 1);

  const quellin::SpoolScan scan = quellin::scan_spool_records(bytes);
  EXPECT_EQ(scan.batches, 2u);
  EXPECT_EQ(scan.rows, 8u);
  EXPECT_EQ(scan.oldest_us, kT0);
  EXPECT_EQ(scan.newest_us, kT0 + 1'000'000);
  EXPECT_TRUE(scan.corrupt.empty());
  EXPECT_EQ(scan.good_end, bytes.size());

  const std::size_t first = quellin::valid_spool_record_at(bytes, 0);
  ASSERT_GT(first, 0u);
  EXPECT_EQ(quellin::find_spool_record(bytes, 1), first);
  const auto one = quellin::decode_spool_payload(
      std::string_view(bytes).substr(quellin::kSpoolRecordHeaderBytes,
                                     first - quellin::kSpoolRecordHeaderBytes),
      1);
  ASSERT_TRUE(one.has_value());
  expect_batch(*one, 7, kT0, kSeven);
}

class SpoolVersionOneFolder : public ::testing::Test {
 protected:
  SpoolVersionOneFolder() {
    fs::create_directories(spool_dir());
    fs::copy_file(kFixture, spool_dir() / "spool-0000000000000001.dat");
  }
  fs::path spool_dir() const { return dir.path() / "spool"; }

  kestrane_test::TempDir dir;
  kestrane_test::LogCapture log{"quellin"};
};

TEST_F(SpoolVersionOneFolder, AnUpgradedSpoolReadsTheOldRecordsThenNewOnesAppendedAfterThem) {
  SpoolBatch fresh{.writer_id = "new-writer", .seq = 1, .time_us = kT0 + 5'000'000, .rows = {}};
  fresh.rows.push_back({.tag = "Area1.Name",
                        .value = 0.0,
                        .quality = "Good",
                        .text = "pump, \"main\"",
                        .status = 0u,
                        .source_time_us = kT0 - 1,
                        .time_us = kT0 + 4'000'000});
  {
    quellin::Spool spool({.dir = spool_dir(), .max_bytes = 1 << 20, .log = log.shared()});
    EXPECT_EQ(spool.rows(), 8u);
    EXPECT_EQ(spool.batches(), 2u);
    ASSERT_TRUE(spool.span().has_value());
    EXPECT_EQ(spool.span()->first, kT0);
    spool.append(fresh);
  }
  // Reopened: the scan at start-up meets both formats in the same folder.
  quellin::Spool spool({.dir = spool_dir(), .max_bytes = 1 << 20, .log = log.shared()});
  EXPECT_EQ(spool.rows(), 9u);
  auto batch = spool.front();
  ASSERT_TRUE(batch.has_value());
  expect_batch(*batch, 7, kT0, kSeven);
  spool.pop_front();
  batch = spool.front();
  ASSERT_TRUE(batch.has_value());
  expect_batch(*batch, 8, kT0 + 1'000'000, kEight);
  spool.pop_front();
  batch = spool.front();
  ASSERT_TRUE(batch.has_value());
  EXPECT_EQ(batch->writer_id, "new-writer");
  ASSERT_EQ(batch->rows.size(), 1u);
  EXPECT_EQ(batch->rows[0].text, "pump, \"main\"");
  EXPECT_EQ(batch->rows[0].status, 0u);
  EXPECT_EQ(batch->rows[0].source_time_us, kT0 - 1);
  EXPECT_EQ(batch->rows[0].time_us, kT0 + 4'000'000);
  spool.pop_front();
  EXPECT_TRUE(spool.empty());
  for (const kestrane_test::LogRecord& record : log.records()) {
    EXPECT_NE(record.level, "error") << record.message;
  }
}

TEST_F(SpoolVersionOneFolder, TheWriterReplaysEveryOldRowAtItsBatchTimeUnderItsBatchId) {
  auto db = std::make_shared<quellin_test::ScriptedTsdb>();
  db->tags = {{"Area1.Flow", 1},     {kOddTag, 2},           {"Area1.Name", 3},
              {"Area1.Overflow", 4}, {"Area1.Underflow", 5}, {"Area1.Switch", 6}};
  quellin::TsdbWriter writer({.tsdb_cfg = {},
                              .tsdb_connect = db->connect_func(db),
                              .spool = quellin::SpoolSettings{spool_dir(), 1 << 20},
                              .log = log.shared()});
  writer.write_now(quellin::WriteCycle{.time_us = kT0 + 9'000'000, .results = {}});
  EXPECT_EQ(writer.spooled_rows(), 0u);
  EXPECT_EQ(db->batches.count({kWriter, 7}), 1u);
  EXPECT_EQ(db->batches.count({kWriter, 8}), 1u);
  // The live cycle had no rows to write; then both old batches, oldest first.
  ASSERT_EQ(db->writes.size(), 2u);
  const std::vector<std::int64_t> ids7 = {1, 2, 3, 4, 5}, ids8 = {1, 2, 6};
  for (std::size_t w = 0; w < 2; ++w) {
    const auto& rows = w == 0 ? kSeven : kEight;
    const auto& ids = w == 0 ? ids7 : ids8;
    const auto& written = db->writes[w];
    ASSERT_EQ(written.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(written[i].tag_id, ids[i]);
      EXPECT_EQ(written[i].time_us, kT0 + static_cast<std::int64_t>(w) * 1'000'000);
      EXPECT_EQ(written[i].quality, rows[i].quality);
      if (std::isnan(rows[i].value)) {
        EXPECT_TRUE(std::isnan(written[i].value));
      } else {
        EXPECT_EQ(written[i].value, rows[i].value);
      }
      EXPECT_FALSE(written[i].text || written[i].status || written[i].source_time_us);
    }
  }
}

}  // namespace
