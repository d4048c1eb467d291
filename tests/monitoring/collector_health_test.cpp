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
