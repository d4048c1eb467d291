// The write stage on its own thread: it survives errors it did not expect, and its stop is
// bounded however long a write hangs, with nothing of a hanging write lost. Run under
// ThreadSanitizer in CI.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "scripted_tsdb.h"
#include "spool/spool.h"
#include "temp_dir.h"
#include "tsdb_writer.h"

namespace {

using quellin::TsdbWriter;
using quellin::WriteCycle;
using quellin_test::ScriptedTsdb;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(30);
// The stop's own bound, and a generous margin for a busy machine on top of it.
constexpr double kStopBound = quellin::kStopWriteGraceSeconds + quellin::kStopAbortWaitSeconds;
constexpr double kStopMargin = 3.0;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A write that hangs until released (by the test, or by an abort when told so).
class Gate {
 public:
  void hang() {
    std::unique_lock lock(mutex_);
    ++entered_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool wait_entered(int times) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return entered_ >= times; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  int entered_ = 0;
};

class WriterThreadTest : public ::testing::Test {
 protected:
  WriterThreadTest() { db->tags = {{"Demo.Tag1", 11}, {"Demo.Tag2", 12}}; }

  std::unique_ptr<TsdbWriter> make(bool with_spool = true) {
    std::optional<quellin::SpoolSettings> spool;
    if (with_spool) spool = quellin::SpoolSettings{dir.path() / "spool", 1 << 20};
    return std::make_unique<TsdbWriter>(TsdbWriter::Options{.tsdb_cfg = {},
                                                            .tsdb_connect = db->connect_func(db),
                                                            .db_status_notify =
                                                                [this](bool ok, std::size_t rows) {
                                                                  if (status_hook) status_hook();
                                                                  std::lock_guard lock(mutex);
                                                                  if (ok) written_rows += rows;
                                                                },
                                                            .spool = spool,
                                                            .log = {}});
  }

  WriteCycle cycle() {
    WriteCycle c{.time_us = next_time += 1'000'000, .results = {}};
    c.results.push_back({"Demo.Tag1", 1.5, "Good", {}});
    c.results.push_back({"Demo.Tag2", 2.5, "Good", {}});
    return c;
  }

  // Waits until `done` holds; false after the deadline.
  bool eventually(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + kDeadline;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::size_t rows_reported() {
    std::lock_guard lock(mutex);
    return written_rows;
  }

  // The rows the database holds, each (time, tag id) once: fails on a row stored twice.
  std::size_t stored_rows() {
    std::set<std::pair<std::int64_t, std::int64_t>> stored;
    std::size_t rows = 0;
    for (const auto& write : db->writes) {
      for (const auto& row : write) {
        stored.insert({row.time_us, row.tag_id});
        ++rows;
      }
    }
    EXPECT_EQ(rows, stored.size()) << "a row was stored twice";
    return rows;
  }

  kestrane_test::TempDir dir;
  std::shared_ptr<ScriptedTsdb> db = std::make_shared<ScriptedTsdb>();
  std::function<void()> status_hook;
  std::mutex mutex;
  std::size_t written_rows = 0;  // guarded by mutex
  std::int64_t next_time = 1'800'000'000'000'000;
  kestrane_test::LogCapture log{"quellin"};
};

TEST_F(WriterThreadTest, AFaultInsideAWriteRestartsTheLoopAndTheBatchIsWrittenLater) {
  // The first write throws what no TSDB driver throws: before, it ended the writer thread
  // and every later cycle only went to the spool.
  int writes = 0;
  db->before_write = [&writes] {
    if (++writes == 1) throw 42;
  };
  auto writer = make();
  writer->start();
  writer->submit(cycle());
  ASSERT_TRUE(eventually([&] { return log.has_prefix("error", "TSDB writer failed: "); }))
      << log.dump();
  EXPECT_EQ(log.count("ERROR TSDB writer failed: unknown error; it starts again in 1 s"), 1)
      << log.dump();
  writer->submit(cycle());
  // The restarted loop writes the new cycle and replays the interrupted one.
  ASSERT_TRUE(eventually([&] { return rows_reported() == 2 && writer->spooled_rows() == 0; }))
      << log.dump();
  EXPECT_TRUE(writer->thread_alive());
  writer->stop();
  EXPECT_FALSE(writer->thread_alive());
  EXPECT_EQ(stored_rows(), 4u);
}

TEST_F(WriterThreadTest, AFaultAfterTheWriteRestartsTheLoopWithoutStoringTheBatchTwice) {
  int calls = 0;
  status_hook = [&calls] {
    if (++calls == 1) throw std::runtime_error("status display went away");
  };
  auto writer = make();
  writer->start();
  writer->submit(cycle());
  ASSERT_TRUE(eventually([&] { return log.has_prefix("error", "TSDB writer failed: "); }));
  EXPECT_EQ(log.count("ERROR TSDB writer failed: status display went away; it starts again in 1 s"),
            1)
      << log.dump();
  writer->submit(cycle());
  ASSERT_TRUE(eventually([&] { return rows_reported() == 2; })) << log.dump();
  writer->stop();
  EXPECT_EQ(writer->spooled_rows(), 0u);
  EXPECT_EQ(stored_rows(), 4u);
  EXPECT_EQ(db->duplicates, 0);
}

TEST_F(WriterThreadTest, AStopCancelsAHangingWriteWithinItsBoundAndSpoolsEveryWaitingCycle) {
  Gate gate;
  db->before_write = [&gate] { gate.hang(); };
  db->on_abort = [&gate] { gate.open(); };  // as shutting the socket down ends a blocked call
  auto writer = make();
  writer->start();
  writer->submit(cycle());  // hangs
  ASSERT_TRUE(gate.wait_entered(1));
  writer->submit(cycle());  // wait in the hand-off
  writer->submit(cycle());
  const auto started = Clock::now();
  writer->stop();
  const double took = seconds_since(started);
  EXPECT_GE(took, quellin::kStopWriteGraceSeconds - 0.1);
  EXPECT_LT(took, kStopBound + kStopMargin);
  EXPECT_FALSE(writer->thread_alive());
  EXPECT_EQ(writer->spooled_rows(), 6u);
  EXPECT_EQ(log.count("WARNING Stopping: the TSDB is not asked again"), 1) << log.dump();
  EXPECT_TRUE(log.has_prefix("warning", "Stopping: the TSDB writer is still busy after "))
      << log.dump();
  EXPECT_EQ(db->connects, 1);  // no reconnect to a database that hangs
  EXPECT_EQ(stored_rows(), 0u);
}

TEST_F(WriterThreadTest, AWriteThatIgnoresTheCancelIsLeftBehindAndCommitsAtMostOnce) {
  Gate gate;
  db->before_write = [&gate] { gate.hang(); };
  db->ignore_abort = true;
  {
    auto writer = make();
    writer->start();
    writer->submit(cycle());
    ASSERT_TRUE(gate.wait_entered(1));
    const auto started = Clock::now();
    writer->stop();
    EXPECT_LT(seconds_since(started), kStopBound + kStopMargin);
    EXPECT_TRUE(writer->thread_alive());
    EXPECT_TRUE(log.has_prefix("error", "Stopping: the TSDB writer did not end ")) << log.dump();
    // The hanging batch is on disk already, under its own id.
    EXPECT_EQ(writer->spooled_rows(), 2u);
    // The write goes through after all (the server got it before it hung).
    gate.open();
    ASSERT_TRUE(eventually([&] { return !writer->thread_alive(); }));
  }
  ASSERT_EQ(stored_rows(), 2u);
  // The next run replays the spool: the batch is known already and stored only once.
  db->before_write = nullptr;
  auto writer = make();
  writer->start();
  ASSERT_TRUE(eventually([&] { return writer->spooled_rows() == 0; })) << log.dump();
  writer->stop();
  EXPECT_EQ(db->duplicates, 1);
  EXPECT_EQ(stored_rows(), 2u);
}

TEST_F(WriterThreadTest, WithoutASpoolAStopWritesWhatWaitsUntilItsBoundThenDropsTheRest) {
  Gate gate;
  db->before_write = [&gate] { gate.hang(); };
  db->on_abort = [&gate] { gate.open(); };
  auto writer = make(false);
  writer->start();
  writer->submit(cycle());
  ASSERT_TRUE(gate.wait_entered(1));
  writer->submit(cycle());
  writer->submit(cycle());
  const auto started = Clock::now();
  writer->stop();
  EXPECT_LT(seconds_since(started), kStopBound + kStopMargin);
  EXPECT_FALSE(writer->thread_alive());
  EXPECT_EQ(log.count("ERROR Stopping: 4 rows of 2 cycles dropped: the TSDB did not take them "
                      "within 3.5 s"),
            1)
      << log.dump();
  EXPECT_TRUE(log.has_prefix("error", "2 rows read at ")) << log.dump();
}

TEST_F(WriterThreadTest, WithoutASpoolAStopStillWritesWhatWaitsWhenTheDatabaseAnswers) {
  auto writer = make(false);
  writer->start();
  for (int i = 0; i < 2; ++i) writer->submit(cycle());
  writer->stop();
  EXPECT_EQ(stored_rows(), 4u);
  EXPECT_FALSE(log.has_prefix("error", "Stopping: ")) << log.dump();
}

TEST_F(WriterThreadTest, ACycleCountsAsKeptOnlyOnceItsRowsAreWrittenOrSpooled) {
  // A subscribing collector acknowledges values to the server by these tickets: a ticket kept
  // too early would let the server forget rows that a crash then loses.
  Gate gate;
  db->before_write = [&gate] { gate.hang(); };
  auto writer = make();
  writer->start();
  EXPECT_EQ(writer->kept_through(), 0u);
  EXPECT_EQ(writer->submit(cycle()), 1u);  // hangs in its write
  ASSERT_TRUE(gate.wait_entered(1));
  EXPECT_EQ(writer->submit(cycle()), 2u);  // wait in the hand-off
  EXPECT_EQ(writer->submit(cycle()), 3u);
  EXPECT_EQ(writer->submit(cycle()), 4u);  // no room: straight to the spool
  EXPECT_EQ(writer->spooled_rows(), 2u);
  // The spooled one is safe, but the ones before it are not yet.
  EXPECT_EQ(writer->kept_through(), 0u);
  gate.open();
  ASSERT_TRUE(eventually([&] { return writer->kept_through() == 4u; })) << log.dump();
  writer->stop();
  EXPECT_EQ(stored_rows() + writer->spooled_rows(), 8u);
}

TEST_F(WriterThreadTest, AStopKeepsWhatWaitsAndSettlesItsTickets) {
  Gate gate;
  db->before_write = [&gate] { gate.hang(); };
  db->on_abort = [&gate] { gate.open(); };
  auto writer = make();
  writer->start();
  writer->submit(cycle());
  ASSERT_TRUE(gate.wait_entered(1));
  writer->submit(cycle());
  writer->stop();
  EXPECT_EQ(writer->kept_through(), 2u);
  EXPECT_EQ(writer->spooled_rows(), 4u);
}

}  // namespace
