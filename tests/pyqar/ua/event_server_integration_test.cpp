// The node-opcua test server with events: what its alarms watch, read as plain values, so that
// event tests can rely on the alarm being active from the start and the level cycling.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "pyqar/rt_source.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::UaTestServer;
using pyqar::TagDescriptor;
namespace Q = pyqar::QAR_QUALITY;

class TestServerEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  }
};

TEST_F(TestServerEvents, PressureAlarmIsActiveFromTheStartAndTheLevelCycles) {
  UaTestServer::Options options;
  options.tags = 1;
  options.events = true;
  options.events_rate = 0;
  UaTestServer server(options);
  auto source = pyqar::make_ua_source(server.url(), 1000);
  const std::vector<TagDescriptor> batch = {
      {.namespace_index = 2, .tag_name = "Events.Pressure"},
      {.namespace_index = 2, .tag_name = "Events.PressureAlarm-ActiveState-Id"},
      {.namespace_index = 2, .tag_name = "Events.Level"},
  };
  const std::set<double> steps = {40, 55, 70, 85, 95};
  std::set<double> levels;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (levels.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    const auto values = source->read(batch);
    ASSERT_EQ(values.size(), batch.size());
    for (const auto& v : values) ASSERT_EQ(v.get_quality(), Q::QAR_HIGH_GOOD);
    EXPECT_EQ(std::get<double>(values[0].value), 120);
    EXPECT_EQ(std::get<bool>(values[1].value), true);
    const double level = std::get<double>(values[2].value);
    EXPECT_TRUE(steps.contains(level)) << level;
    levels.insert(level);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_GE(levels.size(), 2u) << "Events.Level did not change within 10 s";
}

}  // namespace
