#include <cstdint>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "pyqar/rt_source.h"

namespace {

using pyqar::TagDescriptor;
using pyqar::ValueObject;

std::vector<ValueObject> read(const std::vector<std::string>& names) {
  auto source = pyqar::make_da_source("opc.da://localhost/OstrevoV2.1.0", 1000);
  std::vector<TagDescriptor> batch;
  for (const auto& n : names) batch.push_back({.tag_name = n});
  return source->read(batch);
}

TEST(DaSimSource, ServesEachKindOfDemoItemWithGoodQuality) {
  const auto v =
      read({"Demo.Tag1", "Demo.Count4", "Demo.Random10", "Demo.CCCTag10", "Demo.Tag123456789"});
  ASSERT_EQ(v.size(), 5u);
  for (const auto& x : v) {
    EXPECT_EQ(x.get_quality(), pyqar::QAR_QUALITY::QAR_HIGH_GOOD);
    // The status follows the quality word; both times are the time of the read.
    EXPECT_EQ(x.status, pyqar::QAR_STATUS::QAR_STATUS_GOOD);
    EXPECT_EQ(x.source_timestamp, x.timestamp);
    EXPECT_EQ(x.server_timestamp, x.timestamp);
  }
  const double sine = std::get<double>(v[0].value);
  EXPECT_GE(sine, -100.0);
  EXPECT_LE(sine, 100.0);
  EXPECT_GE(std::get<std::int64_t>(v[1].value), 3);
  const double random = std::get<double>(v[2].value);
  EXPECT_GE(random, 0.0);
  EXPECT_LT(random, 100.0);
  const double ccc = std::get<double>(v[3].value);
  EXPECT_GE(ccc, 0.0);
  EXPECT_LE(ccc, 100.0);
  EXPECT_TRUE(std::holds_alternative<double>(v[4].value));
  EXPECT_EQ(v[0].get_timestamp(), v[4].get_timestamp());
  EXPECT_GT(v[0].get_timestamp().time_since_epoch().count(), 0);
}

TEST(DaSimSource, UnknownItemsReadBadWithoutAValue) {
  const std::vector<std::string> unknown{"Demo.Tag0",
                                         "Demo.Tag01",
                                         "Demo.Tag",
                                         "Demo.Tagx",
                                         "Demo.Tag1x",
                                         "demo.tag1",
                                         "Demo.CCCTag11",
                                         "Demo.Count-1",
                                         "Demo.Tag1 ",
                                         "",
                                         "Other.Tag1",
                                         "Demo.",
                                         "Demo.Random",
                                         "Demo.Counter1",
                                         "Demo.Random1234567890123456789"};
  const auto v = read(unknown);
  ASSERT_EQ(v.size(), unknown.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    EXPECT_EQ(v[i].get_quality(), pyqar::QAR_QUALITY::QAR_HIGH_BAD) << unknown[i];
    EXPECT_EQ(v[i].status, pyqar::QAR_STATUS::QAR_STATUS_BAD) << unknown[i];
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v[i].value)) << unknown[i];
  }
}

TEST(DaSimSource, CountersNeverGoBackAndRandomValuesVary) {
  auto source = pyqar::make_da_source("opc.da://localhost/OstrevoV2.1.0", 1);
  const std::vector<TagDescriptor> batch{{.tag_name = "Demo.Count1"}, {.tag_name = "Demo.Random1"}};
  std::int64_t last = -1;
  std::set<double> randoms;
  for (int i = 0; i < 50; ++i) {
    const auto v = source->read(batch);
    const auto count = std::get<std::int64_t>(v[0].value);
    EXPECT_GE(count, last);
    last = count;
    randoms.insert(std::get<double>(v[1].value));
  }
  EXPECT_GT(randoms.size(), 40u);
}

TEST(DaSimSource, DiscoveryKnowsOnlyTheLocalMachine) {
  const auto local = pyqar::discover_da("127.0.0.1");
  ASSERT_EQ(local.size(), 1u);
  EXPECT_EQ(local[0].schema, "opc.da://localhost/OstrevoV2.1.0");
  EXPECT_TRUE(pyqar::discover_da("192.0.2.1").empty());
}

}  // namespace
