// The spool against its own faults, through a file system that fails on purpose: segments that
// vanish or cannot be read during replay, a full disk, short writes, failed syncs, power cuts,
// and a second opener of the folder.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "fault_injection_env.h"
#include "log_capture.h"
#include "quellin/spool_in_use_error.h"
#include "spool/spool.h"
#include "spool_test_support.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kestrane_test::batch;
using kestrane_test::drain;
using kestrane_test::FaultInjectionEnv;
using kestrane_test::kBatchRows;
using kestrane_test::LogCapture;
using kestrane_test::TempDir;
using quellin::Spool;
using quellin::SpoolBatch;
using Op = FaultInjectionEnv::Op;

const std::uint64_t kRecord = quellin::encode_spool_record(batch(0)).size();

std::vector<std::uint64_t> seqs(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t seq = first; seq <= last; ++seq) out.push_back(seq);
  return out;
}

class SpoolFaultTest : public ::testing::Test {
 protected:
  // 16 records fill the spool; segments roll over every two records.
  static constexpr std::uint64_t kSmall = 16;

  std::unique_ptr<Spool> open(std::uint64_t max_records = kSmall, const fs::path& folder = {}) {
    return std::make_unique<Spool>(
        Spool::Options{.dir = folder.empty() ? dir() : folder,
                       .max_bytes = max_records * kRecord,
                       .log = log.shared(),
                       .clock = [this] { return now; },
                       .on_drop = {},
                       .on_lost = [this](std::uint64_t rows) { lost_rows += rows; },
                       .env = env});
  }
  fs::path dir() const { return temp / "spool"; }
  fs::path segment(int number, const fs::path& folder = {}) const {
    return kestrane_test::segment_path(folder.empty() ? dir() : folder, number);
  }
  std::vector<std::string> segment_files() const { return kestrane_test::segment_files(dir()); }
  static std::vector<std::uint64_t> drain_until(Spool& spool, std::size_t count) {
    std::vector<std::uint64_t> out;
    while (out.size() < count) {
      const auto b = spool.front();
      if (!b) break;
      out.push_back(b->seq);
      spool.pop_front();
    }
    return out;
  }
  // The spool as a crash leaves it: unsynced data gone, nothing synced on the way out.
  std::unique_ptr<Spool> cut_power_and_reopen(std::unique_ptr<Spool> spool,
                                              std::uint64_t keep_unsynced_bytes = 0,
                                              std::uint64_t max_records = kSmall) {
    env->cut_power(keep_unsynced_bytes);
    spool.reset();
    env->clear_faults();
    env->restore_power();
    log.clear();
    return open(max_records);
  }
  bool has_level(std::string_view level) const {
    for (const auto& r : log.records()) {
      if (r.level == level) return true;
    }
    return false;
  }

  TempDir temp{"spool-fault-test-"};
  LogCapture log;
  std::shared_ptr<FaultInjectionEnv> env = std::make_shared<FaultInjectionEnv>();
  double now = 0.0;
  std::uint64_t lost_rows = 0;
};

// ---- A segment lost during replay ----

class SpoolLostSegmentTest : public SpoolFaultTest {};

TEST_F(SpoolLostSegmentTest, ASegmentDeletedDuringAnOutageIsCountedAndTheNextOneReplays) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 6; ++seq) spool->append(batch(seq));
  fs::remove(segment(2));

  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 4, 5}));
  EXPECT_EQ(log.count("ERROR Spool file " + segment(2).string() +
                      " cannot be read (No such file or directory); 6 rows read between "
                      "2024-01-02T03:04:07.006Z and 2024-01-02T03:04:08.006Z are lost"),
            1)
      << log.dump();
  EXPECT_EQ(lost_rows, 6u);
  EXPECT_TRUE(spool->empty());
  EXPECT_EQ(spool->bytes(), 0u);

  // The spool goes on working, and a restart finds nothing of the lost segment.
  spool->append(batch(6));
  EXPECT_EQ(drain(*spool), std::vector<std::uint64_t>{6});
  spool.reset();
  EXPECT_TRUE(open()->empty());
}

struct ReadFault {
  const char* name;
  Op op;
  int error;
};

void PrintTo(const ReadFault& fault, std::ostream* out) { *out << fault.name; }

class SpoolUnreadableSegmentTest : public SpoolFaultTest,
                                   public ::testing::WithParamInterface<ReadFault> {};

TEST_P(SpoolUnreadableSegmentTest, IsGivenUpWithAnErrorAndReplayGoesOn) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 6; ++seq) spool->append(batch(seq));
  env->inject({.op = GetParam().op,
               .error = GetParam().error,
               .path_part = "0000000000000002",
               .times = -1});

  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 4, 5}));
  EXPECT_EQ(log.count("ERROR Spool file " + segment(2).string() + " cannot be read (" +
                      std::error_code(GetParam().error, std::generic_category()).message() +
                      "); 6 rows read between 2024-01-02T03:04:07.006Z and "
                      "2024-01-02T03:04:08.006Z are lost"),
            1)
      << log.dump();
  EXPECT_EQ(lost_rows, 6u);
  EXPECT_EQ(segment_files(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Fault, SpoolUnreadableSegmentTest,
                         ::testing::Values(ReadFault{"TooManyOpenFiles", Op::kOpen, EMFILE},
                                           ReadFault{"ReadError", Op::kRead, EIO}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolLostSegmentTest, AReadErrorPartWayLosesOnlyWhatWasNotWrittenYet) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 6; ++seq) spool->append(batch(seq));
  EXPECT_EQ(drain_until(*spool, 2), (std::vector<std::uint64_t>{0, 1}));
  // Segment 2's first batch is found and read; finding the second fails.
  env->inject({.op = Op::kRead, .path_part = "0000000000000002", .skip = 2, .times = -1});
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{2, 4, 5}));
  EXPECT_TRUE(log.has_prefix("error", "Spool file " + segment(2).string() +
                                          " cannot be read (Input/output error); 3 rows read "
                                          "between "))
      << log.dump();
  EXPECT_EQ(lost_rows, 3u);
}

TEST_F(SpoolLostSegmentTest, ASegmentUnreadableAtStartIsGivenUpAndTheRestReplays) {
  {
    auto spool = open();
    for (std::uint64_t seq = 0; seq < 6; ++seq) spool->append(batch(seq));
  }
  env->inject({.op = Op::kRead, .path_part = "0000000000000002", .times = -1});
  auto spool = open();
  EXPECT_TRUE(log.has("error", "Spool file " + segment(2).string() +
                                   " cannot be read (Input/output error); the rows in it (" +
                                   std::to_string(2 * kRecord) + " bytes) are lost"))
      << log.dump();
  EXPECT_FALSE(fs::exists(segment(2)));
  EXPECT_EQ(spool->batches(), 4u);
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 4, 5}));
}

// ---- A full disk, short writes ----

class SpoolFullDiskTest : public SpoolFaultTest {};

TEST_F(SpoolFullDiskTest, ARefusedWriteLeavesTheSpoolAsItWasAndLaterAppendsSucceed) {
  auto spool = open(1000);
  spool->append(batch(0));
  env->inject({.op = Op::kWrite, .error = ENOSPC});
  try {
    spool->append(batch(1));
    ADD_FAILURE() << "the append succeeded";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_space_on_device);
    EXPECT_NE(std::string(error.what()).find(segment(1).string()), std::string::npos);
  }
  EXPECT_EQ(spool->batches(), 1u);
  EXPECT_EQ(spool->rows(), 3u);
  EXPECT_EQ(spool->bytes(), kRecord);
  EXPECT_EQ(fs::file_size(segment(1)), kRecord);

  spool->append(batch(2));
  spool.reset();
  spool = open(1000);
  EXPECT_FALSE(has_level("warning") || has_level("error")) << log.dump();
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 2}));
}

TEST_F(SpoolFullDiskTest, AShortWriteIsCutBackBeforeTheNextRecord) {
  auto spool = open(1000);
  spool->append(batch(0));
  env->inject({.op = Op::kWrite, .error = ENOSPC, .write_bytes = kRecord / 2});
  EXPECT_THROW(spool->append(batch(1)), std::system_error);
  EXPECT_EQ(fs::file_size(segment(1)), kRecord);
  spool->append(batch(2));
  EXPECT_EQ(fs::file_size(segment(1)), 2 * kRecord);
  spool.reset();
  spool = open(1000);
  EXPECT_FALSE(has_level("warning") || has_level("error")) << log.dump();
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 2}));
}

TEST_F(SpoolFullDiskTest, AShortWriteThatCannotBeCutBackMovesAppendsToANewSegment) {
  auto spool = open(1000);
  spool->append(batch(0));
  env->inject({.op = Op::kWrite, .error = ENOSPC, .write_bytes = 20});
  env->inject({.op = Op::kTruncate, .error = EIO});
  EXPECT_THROW(spool->append(batch(1)), std::system_error);
  EXPECT_TRUE(log.has("error", "Spool file " + segment(1).string() +
                                   " cannot be cut back after a failed write (Input/output "
                                   "error); later batches go to a new segment"))
      << log.dump();
  spool->append(batch(2));
  EXPECT_EQ(spool->bytes(), 2 * kRecord);
  EXPECT_TRUE(fs::exists(segment(2)));
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 2}));
}

TEST_F(SpoolFullDiskTest, ASegmentThatCannotBeCreatedRefusesTheBatchAndTheNextTriesAgain) {
  auto spool = open();
  spool->append(batch(0));
  spool->append(batch(1));
  env->inject({.op = Op::kOpen, .error = ENOSPC, .path_part = "0000000000000002"});
  EXPECT_THROW(spool->append(batch(2)), std::system_error);
  EXPECT_EQ(spool->batches(), 2u);
  spool->append(batch(3));
  EXPECT_EQ(segment_files(),
            (std::vector<std::string>{"spool-0000000000000001.dat", "spool-0000000000000003.dat"}));
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 3}));
}

// ---- Syncs and power cuts ----

class SpoolPowerCutTest : public SpoolFaultTest {};

TEST_F(SpoolPowerCutTest, KeepsEverySyncedRecordAcrossSegmentsAndLosesAtMostTheLastSecond) {
  auto spool = open();
  // Two appends a second; segments roll over every two records.
  for (std::uint64_t seq = 0; seq < 8; ++seq) {
    now = 0.5 * static_cast<double>(seq);
    spool->append(batch(seq));
  }
  const double cut_at = now;
  spool = cut_power_and_reopen(std::move(spool));

  const std::vector<std::uint64_t> kept = drain(*spool);
  EXPECT_EQ(kept, seqs(0, 5));
  for (std::uint64_t seq = 0; seq < 8; ++seq) {
    if (0.5 * static_cast<double>(seq) <= cut_at - 1.0) {
      EXPECT_NE(std::find(kept.begin(), kept.end(), seq), kept.end())
          << "batch " << seq << " was appended more than a second before the cut";
    }
  }
  EXPECT_FALSE(has_level("error")) << log.dump();
}

TEST_F(SpoolPowerCutTest, ATornLastRecordIsCutAtReopenAndTheSyncedOnesKept) {
  auto spool = open(1000);
  spool->append(batch(0));  // synced: the first append finds no earlier sync
  spool->append(batch(1));
  now = 1.0;
  spool->append(batch(2));  // syncs 0..2
  spool->append(batch(3));
  spool = cut_power_and_reopen(std::move(spool), 7, 1000);
  EXPECT_TRUE(log.has("warning", "Spool file " + segment(1).string() + ": torn record at offset " +
                                     std::to_string(3 * kRecord) +
                                     "; cut back to the last good record"))
      << log.dump();
  EXPECT_EQ(fs::file_size(segment(1)), 3 * kRecord);
  spool->append(batch(4));
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 1, 2, 4}));
}

TEST_F(SpoolPowerCutTest, AFailedSyncIsLoggedAndLaterRecordsGoToANewSegment) {
  auto spool = open(1000);
  spool->append(batch(0));  // synced
  spool->append(batch(1));
  now = 1.0;
  env->inject({.op = Op::kSync, .error = EIO});
  spool->append(batch(2));  // its sync fails
  EXPECT_EQ(log.count("ERROR Spool file " + segment(1).string() +
                      " cannot be synced (Input/output error); 6 rows appended since its last "
                      "sync may not survive a power loss"),
            1)
      << log.dump();
  spool->append(batch(3));
  now = 2.0;
  spool->append(batch(4));  // synced, in the new segment
  EXPECT_EQ(segment_files(),
            (std::vector<std::string>{"spool-0000000000000001.dat", "spool-0000000000000002.dat"}));
  EXPECT_EQ(spool->batches(), 5u);

  spool = cut_power_and_reopen(std::move(spool), 0, 1000);
  EXPECT_EQ(drain(*spool), (std::vector<std::uint64_t>{0, 3, 4}));
}

TEST_F(SpoolPowerCutTest, AFailedFolderSyncIsTriedAgainSoANewSegmentSurvives) {
  auto spool = open();
  spool->append(batch(0));
  spool->append(batch(1));
  now = 1.0;
  spool->append(batch(2));  // starts segment 2
  env->inject({.op = Op::kSyncFolder, .error = EIO});
  now = 2.0;
  spool->append(batch(3));  // the sync that would make segment 2's entry durable fails
  EXPECT_EQ(log.count("ERROR Spool folder " + dir().string() +
                      " cannot be synced (Input/output error); new segments may not survive a "
                      "power loss"),
            1)
      << log.dump();
  now = 3.0;
  spool->sync_if_due();
  spool = cut_power_and_reopen(std::move(spool));
  EXPECT_EQ(drain(*spool), seqs(0, 3));
}

// ---- Position and clean-up ----

class SpoolHousekeepingTest : public SpoolFaultTest {};

TEST_F(SpoolHousekeepingTest, FailedPositionSavesAndDeletesAreLoggedAndReplayGoesOn) {
  auto spool = open();
  for (std::uint64_t seq = 0; seq < 4; ++seq) spool->append(batch(seq));
  env->inject({.op = Op::kRename, .times = -1});
  env->inject({.op = Op::kRemove, .path_part = ".dat", .times = -1});
  EXPECT_EQ(drain(*spool), seqs(0, 3));
  EXPECT_EQ(log.count("WARNING Spool read position cannot be saved (injected fault on " +
                      (dir() / "spool.pos").string() +
                      ": Input/output error); after a restart some batches are written again"),
            1)
      << log.dump();
  EXPECT_TRUE(log.has("warning", "Spool file " + segment(1).string() +
                                     " cannot be deleted (Input/output error), although nothing "
                                     "in it is left to write"))
      << log.dump();
  EXPECT_EQ(lost_rows, 0u);
  EXPECT_TRUE(spool->empty());

  // Without a saved position the next start writes them again; the database skips them.
  spool.reset();
  env->clear_faults();
  spool = open();
  EXPECT_EQ(drain(*spool), seqs(0, 3));
}

// ---- Any one call failing ----

class SpoolAnyFaultTest : public SpoolFaultTest {
 protected:
  struct Outcome {
    std::set<std::uint64_t> accepted;
    std::vector<std::uint64_t> popped;
  };
  // Appends ten batches, popping one after every third; what failed is left out.
  Outcome run_script(const fs::path& folder) {
    Outcome out;
    std::unique_ptr<Spool> spool;
    try {
      spool = open(kSmall, folder);
    } catch (const std::exception&) {
      return out;
    }
    for (std::uint64_t seq = 0; seq < 10; ++seq) {
      now = 0.5 * static_cast<double>(seq);
      try {
        spool->append(batch(seq));
        out.accepted.insert(seq);
      } catch (const std::system_error&) {
      }
      if (seq % 3 == 2) {
        if (auto b = spool->front()) {
          out.popped.push_back(b->seq);
          spool->pop_front();
        }
      }
    }
    return out;
  }
};

TEST_F(SpoolAnyFaultTest, NoSingleFailedCallLosesUnreportedRowsOrReordersBatches) {
  run_script(temp / "count");
  const int total = env->calls();
  ASSERT_GT(total, 30);
  for (int k = 0; k < total; ++k) {
    SCOPED_TRACE("call " + std::to_string(k) + " fails");
    const fs::path folder = temp / ("k" + std::to_string(k));
    env = std::make_shared<FaultInjectionEnv>();
    env->inject({.op = Op::kAny, .error = EIO, .skip = k});
    lost_rows = 0;
    const Outcome out = run_script(folder);
    EXPECT_EQ(env->failures(), 1);

    env = std::make_shared<FaultInjectionEnv>();
    std::vector<std::uint64_t> left;
    {
      auto spool = open(kSmall, folder);
      left = drain(*spool);
    }
    EXPECT_TRUE(std::is_sorted(out.popped.begin(), out.popped.end()));
    EXPECT_TRUE(std::adjacent_find(left.begin(), left.end(), std::greater_equal<>()) == left.end())
        << "out of order or twice after the restart";
    std::set<std::uint64_t> seen(out.popped.begin(), out.popped.end());
    seen.insert(left.begin(), left.end());
    for (const std::uint64_t seq : seen) {
      EXPECT_TRUE(out.accepted.contains(seq)) << "batch " << seq << " was refused yet came back";
    }
    std::uint64_t missing_rows = 0;
    for (const std::uint64_t seq : out.accepted) {
      if (!seen.contains(seq)) missing_rows += kBatchRows;
    }
    EXPECT_EQ(missing_rows, lost_rows) << "rows gone without a word, or counted but kept";
  }
}

// ---- The folder's lock ----

class SpoolLockTest : public SpoolFaultTest {};

TEST_F(SpoolLockTest, ASecondSpoolOnTheFolderIsRefusedByNameUntilTheFirstCloses) {
  auto first = open();
  first->append(batch(0));
  const std::string message = "spool folder '" + dir().string() + "' is in use by another process";
  // Its own file system: only the folder is shared.
  env = std::make_shared<FaultInjectionEnv>();
  try {
    open();
    ADD_FAILURE() << "a second spool opened the folder";
  } catch (const quellin::SpoolInUseError& error) {
    EXPECT_EQ(std::string(error.what()), message);
  }
  // The refused opener touched nothing.
  EXPECT_EQ(drain(*first), std::vector<std::uint64_t>{0});
  first->append(batch(1));
  first.reset();

  // The lock file stays behind and blocks no one.
  EXPECT_TRUE(fs::exists(dir() / "LOCK"));
  EXPECT_EQ(drain(*open()), std::vector<std::uint64_t>{1});
}

TEST_F(SpoolLockTest, AFileSystemWithoutLocksIsUsedWithAWarning) {
  env->inject({.op = Op::kLock, .error = ENOLCK});
  auto spool = open();
  EXPECT_TRUE(log.has("warning", "Spool folder " + dir().string() +
                                     " cannot be locked (No locks available); no other program "
                                     "may use it"))
      << log.dump();
  spool->append(batch(0));
  EXPECT_EQ(drain(*spool), std::vector<std::uint64_t>{0});
}

TEST_F(SpoolLockTest, AnotherProcessHoldsTheFolderUntilItDies) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    try {
      Spool held({.dir = dir(), .max_bytes = 1000, .log = log.shared()});
      (void)!::write(ready[1], "x", 1);
      ::pause();
    } catch (...) {
    }
    ::_exit(1);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_THROW(open(), quellin::SpoolInUseError);

  // Killed without a chance to clean up: the kernel drops its lock.
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_NO_THROW(open());
}

}  // namespace
