// Cycles that carry their own batch identity (rows made again the same, such as a page of
// history): written twice, or spooled during an outage and written again, their rows are
// stored once, and the writer's own numbering goes on as before. Against a real database of
// each driver.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database_readback.h"
#include "log_capture.h"
#include "scratch_postgres_database.h"
#include "temp_dir.h"
#include "tidewell/tidewell.h"
#include "tsdb_writer.h"

namespace {

using kestrane_test::Row;
using Statuses = std::vector<std::pair<bool, std::size_t>>;

// The time of the first cycle: now, as rows read longer ago than the batch records are kept
// are written with a warning.
const std::int64_t kTime = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();

class BatchIdentity : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (sqlite()) {
      settings_.driver = "sqlite";
      settings_.data_dir = (folder_ / "data").string();
      settings_.dbname = "plant";
    } else {
      const auto server = kestrane_test::postgres_server_settings();
      if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
      database_.emplace(*server, "batch_identity");
      settings_ = database_->settings();
    }
    auto conn = tidewell::get_conn(settings_);
    ASSERT_NE(conn, nullptr);
    for (const char* name : {"a", "b"}) {
      tidewell::TagInfo tag;
      tag.tag_name = name;
      ASSERT_TRUE(tidewell::insert_new_tag(*conn, tag).ok);
    }
  }

  bool sqlite() const { return GetParam() == "sqlite"; }

  std::unique_ptr<quellin::TsdbWriter> make(bool with_spool = true) {
    quellin::TsdbWriter::Options options{
        .tsdb_cfg = settings_,
        .tsdb_connect =
            [this](const tidewell::TsdbSettings& s) -> std::unique_ptr<tidewell::Connection> {
          if (outage_) return nullptr;
          return tidewell::get_conn(s);
        },
        .db_status_notify = [this](bool ok, std::size_t n) { statuses_.emplace_back(ok, n); },
        .log = log_.shared()};
    if (with_spool) options.spool = quellin::SpoolSettings{folder_ / "spool", 64 << 20};
    return std::make_unique<quellin::TsdbWriter>(std::move(options));
  }

  // A number for "a" and a text for "b", each at its own source time; with `writer_id` set, under
  // that identity.
  static quellin::WriteCycle cycle(std::int64_t time_us, const std::string& writer_id = {},
                                   std::uint64_t seq = 0) {
    const auto source = pyqar::Timestamp(std::chrono::microseconds(time_us - 100));
    quellin::WriteCycle made{
        .time_us = time_us,
        .results = {{"a", 1.5, "Good", {}}, {"b", std::string("x"), "Good", {}}},
        .batch_writer_id = writer_id,
        .batch_seq = seq};
    for (auto& result : made.results) {
      result.status = 0;
      result.source_time = source;
    }
    return made;
  }

  std::vector<Row> query(const std::string& sql) const {
    if (sqlite()) {
      return kestrane_test::query_sqlite_rows(folder_ / "data" / "plant.db", sql);
    }
    return kestrane_test::query_postgres_rows(settings_, sql);
  }

  std::string count(const std::string& table) const {
    return *query("SELECT count(*) FROM " + table)[0][0];
  }

  kestrane_test::TempDir folder_{"batch-identity-"};
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  tidewell::TsdbSettings settings_;
  kestrane_test::LogCapture log_{"quellin"};
  Statuses statuses_;
  bool outage_ = false;
};

TEST_P(BatchIdentity, TheSameIdentityTwiceStoresOnceAndTheWritersOwnNumbersGoOn) {
  auto writer = make();
  writer->write_now(cycle(kTime));
  writer->write_now(cycle(kTime + 10, "history-7", 41));
  const std::uint64_t again = writer->write_now(cycle(kTime + 10, "history-7", 41));
  writer->write_now(cycle(kTime + 20));

  EXPECT_EQ(count("tsdata"), "3");
  EXPECT_EQ(count("tsdata_text"), "3");
  // The second write of the identity is no failure and writes nothing; its cycle is kept.
  EXPECT_EQ(statuses_, (Statuses{{true, 2}, {true, 2}, {true, 0}, {true, 2}}));
  EXPECT_GE(writer->sync_kept(), again);
  EXPECT_EQ(writer->spooled_rows(), 0u);
  EXPECT_FALSE(log_.has_prefix("error", "")) << log_.dump();
  EXPECT_FALSE(log_.has_prefix("warning", "")) << log_.dump();
  // The writer's own batches are numbered 1 and 2, as if the other had not come between.
  const auto batches = query(
      "SELECT writer_id = 'history-7', seq, row_count FROM write_batches ORDER BY writer_id = "
      "'history-7', seq");
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0][1], "1");
  EXPECT_EQ(batches[1][1], "2");
  EXPECT_EQ(batches[2][1], "41");
  EXPECT_EQ(batches[2][2], "2");
}

TEST_P(BatchIdentity, ACycleSpooledInAnOutageAndWrittenAgainLaterIsStoredOnce) {
  outage_ = true;
  {
    auto writer = make();
    writer->write_now(cycle(kTime, "history-7", 41));
    EXPECT_EQ(writer->spooled_rows(), 2u);
  }
  outage_ = false;
  auto writer = make();
  // Made again after the restart, under the same identity: written live first, then the
  // spooled copy is replayed and found stored.
  writer->write_now(cycle(kTime, "history-7", 41));
  EXPECT_EQ(writer->spooled_rows(), 0u);
  EXPECT_EQ(count("tsdata"), "1");
  EXPECT_EQ(count("tsdata_text"), "1");

  // And once more, in the other order: spooled while the database is away, replayed, then
  // written again.
  outage_ = true;
  writer.reset();
  {
    auto away = make();
    away->write_now(cycle(kTime + 10, "history-7", 42));
  }
  outage_ = false;
  writer = make();
  writer->write_now(cycle(kTime + 20));  // the replay follows this cycle
  EXPECT_EQ(writer->spooled_rows(), 0u);
  const std::uint64_t again = writer->write_now(cycle(kTime + 10, "history-7", 42));
  EXPECT_GE(writer->sync_kept(), again);
  writer.reset();

  EXPECT_EQ(count("tsdata"), "3");
  EXPECT_EQ(count("tsdata_text"), "3");
  EXPECT_EQ(query("SELECT seq, row_count FROM write_batches WHERE writer_id = 'history-7'"
                  " ORDER BY seq"),
            (std::vector<Row>{{"41", "2"}, {"42", "2"}}));
  // The rows keep their source time through the spool.
  EXPECT_EQ(count("tsdata WHERE source_time IS NULL"), "0");
  EXPECT_EQ(statuses_.back(), std::make_pair(true, std::size_t{0}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, BatchIdentity, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
