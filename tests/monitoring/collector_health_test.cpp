// The health verdict and the watchdog's notion of progress, on a clock the test moves.

#include "monitoring/collector_health.h"

#include <gtest/gtest.h>

#include <memory>

namespace kestrane_monitoring {
namespace {

class HealthTest : public ::testing::Test {
 protected:
  std::shared_ptr<double> clock_ = std::make_shared<double>(100.0);
  CollectorHealth health_{1.0, [clock = clock_] { return *clock; }};

  void advance(double seconds) { *clock_ += seconds; }
  // One ordinary cycle: read, rows kept, pass done.
  void cycle() {
    health_.cycle_read();
    health_.rows_kept();
    health_.cycle_done(0.01);
  }
};

TEST_F(HealthTest, HealthyFromTheStartUntilThreeIntervalsPassWithoutARead) {
  EXPECT_TRUE(health_.verdict().healthy);
  EXPECT_EQ(health_.verdict().reason, "ok");
  advance(2.9);
  EXPECT_TRUE(health_.verdict().healthy);
  advance(9.2);
  const auto verdict = health_.verdict();
  EXPECT_FALSE(verdict.healthy);
  EXPECT_EQ(verdict.reason, "no cycle read for 12 s");
  cycle();
  EXPECT_TRUE(health_.verdict().healthy);
}

TEST_F(HealthTest, LostRowsAreUnhealthyUntilRowsAreKeptAgain) {
  cycle();
  health_.rows_lost();
  EXPECT_FALSE(health_.verdict().healthy);
  EXPECT_EQ(health_.verdict().reason, "TSDB unreachable, rows dropped");
  advance(1);
  health_.cycle_read();  // read, but the write still fails
  health_.rows_lost();
  EXPECT_FALSE(health_.verdict().healthy);
  health_.rows_kept();  // written or spooled
  EXPECT_TRUE(health_.verdict().healthy);
}

TEST_F(HealthTest, SlowPassesWidenTheAllowance) {
  // A cycle of 100,000 tags may take longer than the interval: it is slow, not missing.
  health_.cycle_read();
  health_.cycle_done(5.0);
  advance(14.0);
  EXPECT_TRUE(health_.verdict().healthy);
  EXPECT_TRUE(health_.making_progress());
  advance(2.0);
  EXPECT_FALSE(health_.verdict().healthy);
  EXPECT_FALSE(health_.making_progress());
}

TEST_F(HealthTest, PausesAfterErrorsAreProgressButNotHealth) {
  cycle();
  health_.pausing(60.0);
  advance(50.0);
  EXPECT_TRUE(health_.making_progress());   // the watchdog must not kill a planned pause
  EXPECT_FALSE(health_.verdict().healthy);  // yet nothing is being collected
  advance(13.5);
  EXPECT_FALSE(health_.making_progress());  // the pause ended long ago and no pass came
  health_.cycle_done(0.01);
  EXPECT_TRUE(health_.making_progress());
}

TEST_F(HealthTest, AHungPassStopsProgress) {
  cycle();
  advance(3.0);
  EXPECT_TRUE(health_.making_progress());
  advance(0.5);
  EXPECT_FALSE(health_.making_progress());
}

// The writer stuck while the database is connected: rows wait, none is written. Reading goes
// on, so only the writer's own progress can tell.
TEST_F(HealthTest, RowsWaitingWithoutProgressWhileConnectedTurnUnhealthyAndStopTheWatchdog) {
  health_.tsdb_connected(true);
  health_.spool_rows(1000);
  health_.handoff_rows(200);
  for (int i = 0; i < 30; ++i) {
    advance(1.0);
    cycle();
  }
  EXPECT_TRUE(health_.verdict().healthy);  // 30 s: still within the allowance
  EXPECT_TRUE(health_.making_progress());
  for (int i = 0; i < 15; ++i) {
    advance(1.0);
    cycle();
  }
  const auto verdict = health_.verdict();
  EXPECT_FALSE(verdict.healthy);
  EXPECT_EQ(verdict.reason, "no rows written for 45 s while 1200 rows wait");
  EXPECT_FALSE(health_.making_progress());
  // One write is progress again.
  health_.rows_written();
  EXPECT_TRUE(health_.verdict().healthy);
  EXPECT_TRUE(health_.making_progress());
  // So is a spool that shrinks (a replay, or batches found stored already).
  advance(31.0);
  cycle();
  EXPECT_FALSE(health_.verdict().healthy);
  health_.spool_rows(900);
  EXPECT_TRUE(health_.verdict().healthy);
}

TEST_F(HealthTest, WaitingRowsAreNoStallWhileTheDatabaseIsAwayOrJustBack) {
  // During an outage the spool grows: the rows are kept, the writer is not stuck.
  health_.spool_rows(5000);
  for (int i = 0; i < 60; ++i) {
    advance(1.0);
    cycle();
  }
  EXPECT_TRUE(health_.verdict().healthy);
  EXPECT_TRUE(health_.making_progress());
  // The database answers again: the stall counts from then, not from the last write.
  health_.tsdb_connected(true);
  advance(20.0);
  cycle();
  EXPECT_TRUE(health_.verdict().healthy);
  advance(11.0);
  cycle();
  EXPECT_EQ(health_.verdict().reason, "no rows written for 31 s while 5000 rows wait");
  // Nothing waits any more: healthy whatever the last write.
  health_.spool_rows(0);
  health_.rows_written();
  advance(100.0);
  cycle();
  EXPECT_TRUE(health_.verdict().healthy);
}

TEST(HealthWriteAllowance, ThreeIntervalsAtLeastThirtySeconds) {
  EXPECT_EQ(CollectorHealth(1.0).write_allowance(), 30.0);
  EXPECT_EQ(CollectorHealth(20.0).write_allowance(), 60.0);
}

TEST(HealthZeroInterval, AZeroIntervalStillAllowsASecond) {
  double now = 0;
  CollectorHealth health(0.0, [&now] { return now; });
  now = 0.9;
  EXPECT_TRUE(health.verdict().healthy);
  now = 1.1;
  EXPECT_FALSE(health.verdict().healthy);
}

}  // namespace
}  // namespace kestrane_monitoring
