// The on-disk spool against real files: order across segments and restarts, damage left by a
// crash or a bad disk, a full spool, and folders it cannot use.

#include "spool/spool.h"

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "spool_test_support.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kestrane_test::batch;
using kestrane_test::drain;
using kestrane_test::kSecond;
using kestrane_test::kT0;
using kestrane_test::LogCapture;
using kestrane_test::TempDir;
using quellin::Spool;
using quellin::SpoolBatch;

const std::uint64_t kRecord = quellin::encode_spool_record(batch(0)).size();

class SpoolTest : public ::testing::Test {
 protected:
  // 16 records fill the spool; segments roll over every two records.
  static constexpr std::uint64_t kSmall = 16;

  std::unique_ptr<Spool> open(std::uint64_t max_records = kSmall) {
    return std::make_unique<Spool>(
        Spool::Options{.dir = dir(), .max_bytes = max_records * kRecord, .log = log.shared()});
  }
  fs::path dir() const { return temp / "spool"; }
  fs::path segment(int number) const { return kestrane_test::segment_path(dir(), number); }
  std::vector<std::string> segment_files() const { return kestrane_test::segment_files(dir()); }
  static void patch(const fs::path& file, std::uint64_t offset, std::string_view bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good());
  }
  bool no_errors_or_warnings() const {
    for (const auto& r : log.records()) {
      if (r.level == "error" || r.level == "warning") return false;
    }
    return true;
  }

  TempDir temp{"spool-test-"};
  LogCapture log;
};

TEST_F(SpoolTest, RoundTripsAwkwardBatchesOldestFirst) {
  auto spool = open(1000);
  EXPECT_TRUE(spool->empty());
  EXPECT_FALSE(spool->front().has_value());
  EXPECT_FALSE(spool->span().has_value());
  spool->pop_front();  // nothing to pop: no effect

  SpoolBatch odd{.writer_id = "", .seq = 7, .time_us = -5, .rows = {}};
  odd.rows.push_back({"", std::numeric_limits<double>::quiet_NaN(), "Bad"});
  odd.rows.push_back({"温度 'x'\n\"y\"", std::numeric_limits<double>::infinity(), ""});
  odd.rows.push_back({std::string("a\0b", 3), -std::numeric_limits<double>::infinity(), "Good"});
  const SpoolBatch no_rows{.writer_id = "w", .seq = 8, .time_us = 9, .rows = {}};
  spool->append(odd);
  spool->append(no_rows);
  spool->append(batch(9));
  EXPECT_EQ(spool->batches(), 3u);
  EXPECT_EQ(spool->rows(), 6u);
  EXPECT_EQ(spool->span(), std::make_pair(std::int64_t{-5}, kT0 + 9 * kSecond));

  // front() reads the same batch again until it is popped.
  ASSERT_EQ(spool->front()->seq, 7u);
  const auto got = spool->front();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->writer_id, "");
  EXPECT_EQ(got->time_us, -5);
  ASSERT_EQ(got->rows.size(), 3u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got->rows[0].value),
            std::bit_cast<std::uint64_t>(odd.rows[0].value));
  EXPECT_EQ(got->rows[1].tag, odd.rows[1].tag);
  EXPECT_EQ(got->rows[1].value, std::numeric_limits<double>::infinity());
  EXPECT_EQ(got->rows[1].quality, "");
  EXPECT_EQ(got->rows[2].tag, std::string("a\0b", 3));
  EXPECT_EQ(got->rows[2].value, -std::numeric_limits<double>::infinity());
  spool->pop_front();

  const auto empty_batch = spool->front();
  ASSERT_TRUE(empty_batch.has_value());
  EXPECT_EQ(empty_batch->seq, 8u);
  EXPECT_TRUE(empty_batch->rows.empty());
  EXPECT_EQ(spool->batches(), 2u);
  EXPECT_EQ(spool->rows(), 3u);
  spool->pop_front();

  EXPECT_EQ(spool->front()->rows[2].value, 11.0);
  spool->pop_front();
  EXPECT_TRUE(spool->empty());
  EXPECT_EQ(spool->rows(), 0u);
  EXPECT_EQ(spool->bytes(), 0u);
  EXPECT_TRUE(no_errors_or_warnings()) << log.dump();
}

TEST_F(SpoolTest, RefusesTextsTooLongForTheRecordAndKeepsWhatItHas) {
  auto spool = open();
  spool->append(batch(1));
  SpoolBatch bad = batch(2);
  bad.rows[1].tag = std::string(70000, 't');
  EXPECT_THROW(spool->append(bad), std::invalid_argument);
  bad = batch(2);
  bad.rows[0].quality = std::string(300, 'q');
  EXPECT_THROW(spool->append(bad), std::invalid_argument);
  EXPECT_EQ(spool->batches(), 1u);
  EXPECT_EQ(drain(*spool), std::vector<std::uint64_t>{1});
}

TEST_F(SpoolTest, KeepsOrderAcrossSegmentsAndDeletesEachOnceRead) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 5; ++seq) spool->append(batch(seq));
  EXPECT_EQ(segment_files(),
            (std::vector<std::string>{"spool-0000000000000001.dat", "spool-0000000000000002.dat",
                                      "spool-0000000000000003.dat"}));
  EXPECT_EQ(spool->bytes(), 5 * kRecord);
  EXPECT_EQ(fs::file_size(segment(1)), 2 * kRecord);

  EXPECT_EQ(spool->front()->seq, 0u);
  spool->pop_front();
  EXPECT_TRUE(fs::exists(segment(1))) << "one batch of segment 1 is still unread";
  EXPECT_EQ(spool->span(), std::make_pair(kT0 + 1 * kSecond, kT0 + 4 * kSecond));
  EXPECT_EQ(spool->front()->seq, 1u);
  spool->pop_front();
  EXPECT_FALSE(fs::exists(segment(1)));
  EXPECT_EQ(spool->bytes(), 3 * kRecord);

  // Appends go on while the reader works through older segments.
  spool->append(batch(5));
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{2, 3, 4, 5}));
  EXPECT_TRUE(segment_files().empty());
  EXPECT_EQ(spool->bytes(), 0u);

  spool->append(batch(6));
  EXPECT_EQ(segment_files(), std::vector<std::string>{"spool-0000000000000004.dat"});
  EXPECT_EQ(drain(*spool), std::vector<std::uint64_t>{6});
  EXPECT_TRUE(no_errors_or_warnings()) << log.dump();
}

TEST_F(SpoolTest, RestartResumesAfterTheLastPoppedBatch) {
  {
    auto spool = open();
    for (std::uint64_t seq = 0; seq < 7; ++seq) spool->append(batch(seq));
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(spool->front().has_value());
      spool->pop_front();
    }
  }
  {
    auto spool = open();
    EXPECT_EQ(spool->batches(), 4u);
    EXPECT_EQ(spool->rows(), 12u);
    EXPECT_EQ(spool->span(), std::make_pair(kT0 + 3 * kSecond, kT0 + 6 * kSecond));
    EXPECT_TRUE(log.has("info", "Spool " + dir().string() + ": 4 batches (12 rows, " +
                                    std::to_string(5 * kRecord) + " bytes on disk) left to write"))
        << log.dump();
    spool->append(batch(7));
    EXPECT_EQ(spool->front()->seq, 3u);
    spool->pop_front();
  }
  {
    auto spool = open();
    EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{4, 5, 6, 7}));
  }
  {
    // Everything was read: numbering goes on past the last segment the position names.
    auto spool = open();
    EXPECT_TRUE(spool->empty());
    spool->append(batch(8));
    EXPECT_EQ(segment_files(), std::vector<std::string>{"spool-0000000000000006.dat"});
    EXPECT_EQ(drain(*spool), std::vector<std::uint64_t>{8});
  }
  EXPECT_TRUE(no_errors_or_warnings()) << log.dump();
}

TEST_F(SpoolTest, ASegmentBeforeTheSavedPositionWasReadAndIsDeletedAtOpen) {
  {
    auto spool = open();
    for (std::uint64_t seq = 0; seq < 4; ++seq) spool->append(batch(seq));
  }
  // As if a run saved the position past segment 1 and stopped before deleting it.
  temp.write("spool/spool.pos", "2 0\n");
  auto spool = open();
  EXPECT_FALSE(fs::exists(segment(1)));
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{2, 3}));
}

TEST_F(SpoolTest, AMalformedSavedPositionReplaysFromTheOldest) {
  {
    auto spool = open();
    for (std::uint64_t seq = 0; seq < 3; ++seq) spool->append(batch(seq));
  }
  const fs::path pos = temp.write("spool/spool.pos", "2 x\n");
  auto spool = open();
  EXPECT_TRUE(log.has("warning", "Spool read position " + pos.string() +
                                     " is malformed; replaying from the oldest batch"))
      << log.dump();
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 2}));
}

// What a crash or a stray write can leave after the last whole record of the newest segment.
struct TailDamage {
  const char* name;
  std::uint64_t kept_records;  // whole records before the damage
  void (*apply)(const fs::path& file);
};

void PrintTo(const TailDamage& damage, std::ostream* out) { *out << damage.name; }

class SpoolTornTailTest : public SpoolTest, public ::testing::WithParamInterface<TailDamage> {};

TEST_P(SpoolTornTailTest, IsLoggedAndCutOffKeepingEverythingBefore) {
  {
    auto spool = open(1000);
    for (std::uint64_t seq = 0; seq < 3; ++seq) spool->append(batch(seq));
  }
  GetParam().apply(segment(1));
  const std::uint64_t cut = GetParam().kept_records * kRecord;
  {
    auto spool = open(1000);
    EXPECT_TRUE(log.has("warning", "Spool file " + segment(1).string() +
                                       ": torn record at offset " + std::to_string(cut) +
                                       "; cut back to the last good record"))
        << log.dump();
    EXPECT_EQ(fs::file_size(segment(1)), cut);
    EXPECT_EQ(spool->batches(), GetParam().kept_records);
    spool->append(batch(3));
  }
  log.clear();
  auto spool = open(1000);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t seq = 0; seq < GetParam().kept_records; ++seq) expected.push_back(seq);
  expected.push_back(3);
  EXPECT_EQ(drain(*spool), expected);
  EXPECT_TRUE(no_errors_or_warnings()) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Damage, SpoolTornTailTest,
    ::testing::Values(
        TailDamage{"CutInsideTheHeader", 2,
                   [](const fs::path& f) { fs::resize_file(f, 2 * kRecord + 5); }},
        TailDamage{"CutInsideThePayload", 2,
                   [](const fs::path& f) { fs::resize_file(f, 2 * kRecord + kRecord / 2); }},
        TailDamage{"LastByteMissing", 2,
                   [](const fs::path& f) { fs::resize_file(f, 3 * kRecord - 1); }},
        TailDamage{"CrcMismatchAtTheVeryEnd", 2,
                   [](const fs::path& f) {
                     std::fstream s(f, std::ios::in | std::ios::out | std::ios::binary);
                     s.seekp(static_cast<std::streamoff>(3 * kRecord - 1));
                     s.put('\x7f');
                   }},
        TailDamage{"GarbageAfterTheLastRecord", 3,
                   [](const fs::path& f) {
                     std::ofstream(f, std::ios::app | std::ios::binary) << "half a rec";
                   }}),
    [](const ::testing::TestParamInfo<TailDamage>& info) { return info.param.name; });

class SpoolCorruptMiddleTest : public SpoolTest, public ::testing::WithParamInterface<int> {};

TEST_P(SpoolCorruptMiddleTest, IsSkippedWithAnErrorAndTheNextRecordsAreRead) {
  {
    auto spool = open(1000);
    for (std::uint64_t seq = 0; seq < 4; ++seq) spool->append(batch(seq));
  }
  patch(segment(1), kRecord + static_cast<std::uint64_t>(GetParam()), "\xee");
  auto spool = open(1000);
  EXPECT_EQ(log.count("ERROR Spool file " + segment(1).string() + ": corrupt record at offset " +
                      std::to_string(kRecord) + " skipped (" + std::to_string(kRecord) + " bytes)"),
            1)
      << log.dump();
  EXPECT_FALSE(log.has_prefix("warning", "")) << log.dump();
  EXPECT_EQ(fs::file_size(segment(1)), 4 * kRecord);
  EXPECT_EQ(spool->batches(), 3u);
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 2, 3}));
}

// The damaged byte: in the magic, the length, the CRC, the payload.
INSTANTIATE_TEST_SUITE_P(Byte, SpoolCorruptMiddleTest, ::testing::Values(0, 5, 8, 20));

TEST_F(SpoolTest, GarbageAtTheEndOfAnOlderSegmentIsAnErrorNotATornTail) {
  {
    auto spool = open();
    for (std::uint64_t seq = 0; seq < 3; ++seq) spool->append(batch(seq));
  }
  std::ofstream(segment(1), std::ios::app | std::ios::binary) << "stray";
  auto spool = open();
  EXPECT_TRUE(log.has("error", "Spool file " + segment(1).string() + ": corrupt record at offset " +
                                   std::to_string(2 * kRecord) + " skipped (5 bytes)"))
      << log.dump();
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 2}));
}

TEST_F(SpoolTest, DamageFoundWhileReadingIsSkippedWithAnError) {
  auto spool = open(1000);
  for (std::uint64_t seq = 0; seq < 3; ++seq) spool->append(batch(seq));
  patch(segment(1), kRecord + 30, "\xee");
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 2}));
  EXPECT_TRUE(log.has("error", "Spool file " + segment(1).string() + ": corrupt record at offset " +
                                   std::to_string(kRecord) + " skipped (" +
                                   std::to_string(kRecord) + " bytes)"))
      << log.dump();
  EXPECT_TRUE(spool->empty());
}

TEST_F(SpoolTest, AFullSpoolDropsTheOldestSegmentWithOneErrorLine) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 16; ++seq) spool->append(batch(seq));
  EXPECT_EQ(spool->bytes(), 16 * kRecord);
  EXPECT_TRUE(no_errors_or_warnings()) << log.dump();

  spool->append(batch(16));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR Spool full: dropped 6 rows read between "
                                                  "2024-01-02T03:04:05.006Z and "
                                                  "2024-01-02T03:04:06.006Z"});
  EXPECT_FALSE(fs::exists(segment(1)));
  EXPECT_EQ(spool->bytes(), 15 * kRecord);
  EXPECT_EQ(spool->batches(), 15u);

  // A partly read segment drops only what was not read yet.
  EXPECT_EQ(spool->front()->seq, 2u);
  spool->pop_front();
  log.clear();
  spool->append(batch(17));
  spool->append(batch(18));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR Spool full: dropped 3 rows read between "
                                                  "2024-01-02T03:04:08.006Z and "
                                                  "2024-01-02T03:04:08.006Z"});
  std::vector<std::uint64_t> expected;
  for (std::uint64_t seq = 4; seq <= 18; ++seq) expected.push_back(seq);
  EXPECT_EQ(drain(*spool), expected);
}

TEST_F(SpoolTest, ABatchLargerThanTheWholeSpoolIsDroppedAlone) {
  auto spool = open();
  spool->append(batch(0));
  spool->append(batch(1, 500));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR Spool full: dropped 500 rows read between "
                                                  "2024-01-02T03:04:06.006Z and "
                                                  "2024-01-02T03:04:06.006Z"});
  EXPECT_EQ(drain(*spool), std::vector<std::uint64_t>{0});
}

TEST_F(SpoolTest, PopAfterTheReadBatchWasDroppedLeavesTheNewFront) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 16; ++seq) spool->append(batch(seq));
  ASSERT_EQ(spool->front()->seq, 0u);
  spool->append(batch(16));  // drops seq 0 and 1 while the writer holds seq 0
  spool->pop_front();
  EXPECT_EQ(spool->batches(), 15u);
  EXPECT_EQ(spool->front()->seq, 2u);
  spool->pop_front();
  EXPECT_EQ(spool->front()->seq, 3u);
}

TEST_F(SpoolTest, AFolderItCannotUseIsReportedByName) {
  const fs::path file = temp.write("plain-file", "x");
  // Tests run as root, who writes into read-only folders; /proc takes no new files from anyone.
  const std::vector<std::pair<fs::path, std::string>> cases{
      {file / "spool", "cannot be created: Not a directory"},
      {file, "cannot be created: "},
      {"/proc", "cannot be written: "}};
  for (const auto& [bad, reason] : cases) {
    try {
      Spool spool({.dir = bad, .max_bytes = 1000, .log = log.shared()});
      ADD_FAILURE() << "opened " << bad;
    } catch (const std::runtime_error& error) {
      const std::string text = error.what();
      EXPECT_EQ(text.rfind("Spool folder " + bad.string() + " " + reason, 0), 0u) << text;
    }
  }
  EXPECT_THROW(Spool({.dir = dir(), .max_bytes = 0, .log = log.shared()}), std::invalid_argument);
}

TEST_F(SpoolTest, MakesItsFolderWithParents) {
  Spool spool({.dir = temp / "a" / "b" / "spool", .max_bytes = 1000, .log = log.shared()});
  spool.append(batch(0));
  EXPECT_TRUE(fs::is_regular_file(temp / "a" / "b" / "spool" / "spool-0000000000000001.dat"));
}

}  // namespace
