// Tag metadata through the OPC UA source against the node-opcua test server with its
// Structures folder: data types by name, units and ranges from the properties of the demo
// Doubles, enumeration value names from the type's definition, bad statuses for nodes that are
// not variables, and ten thousand tags in one call.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyqar/rt_source.h"
#include "ua/status_code.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::UaTestServer;
using pyqar::EnumName;
using pyqar::TagDescriptor;
using pyqar::VariableMetadata;
namespace status = pyqar::ua::status;

constexpr std::uint32_t kCurrentRead = 1;
constexpr std::uint32_t kHistoryRead = 4;
constexpr char kDemo[] = "nsu=urn:kestrane:demo;s=";

std::vector<TagDescriptor> tags_of(const std::vector<std::string>& names) {
  std::vector<TagDescriptor> tags;
  for (const auto& n : names) tags.push_back({.namespace_index = 2, .tag_name = n});
  return tags;
}

void expect_units(const VariableMetadata& m, const std::string& unit, std::int32_t unit_id,
                  double low, double high) {
  EXPECT_EQ(m.status, status::Good);
  EXPECT_EQ(m.data_type, "Double");
  EXPECT_EQ(m.unit, unit);
  EXPECT_EQ(m.unit_id, unit_id);
  EXPECT_EQ(m.eu_low, low);
  EXPECT_EQ(m.eu_high, high);
  EXPECT_TRUE(m.enum_names.empty());
}

class ReadsMetadata : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 2;
    options.structures = true;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
    source_ = pyqar::make_ua_source(server_->url(), 1000);
  }

  static inline std::unique_ptr<UaTestServer> server_;
  std::unique_ptr<pyqar::RtSource> source_;
};

TEST_F(ReadsMetadata, DoublesWithAndWithoutUnitsAndRange) {
  ASSERT_TRUE(source_->can_read_metadata());
  const auto m =
      source_->read_metadata(tags_of({"Demo.Double", "Demo.Tag2", "Demo.Count1", "Demo.Random1"}));
  ASSERT_EQ(m.size(), 4u);
  expect_units(m[0], "°C", 4408652, -40, 125);
  expect_units(m[1], "bar", 4342098, -1, 1);
  expect_units(m[3], "%", 20529, 0, 100);
  // Neither property: the type and access alone.
  EXPECT_EQ(m[2].status, status::Good);
  EXPECT_EQ(m[2].data_type, "Double");
  EXPECT_FALSE(m[2].unit || m[2].unit_id || m[2].eu_low || m[2].eu_high);
  for (const auto& each : m) {
    ASSERT_TRUE(each.access_level);
    EXPECT_EQ(*each.access_level & kCurrentRead, kCurrentRead);
    EXPECT_EQ(*each.access_level & kHistoryRead, 0u);
  }
}

TEST_F(ReadsMetadata, OtherTypesByNameAndEnumerationsWithTheirValueNames) {
  const auto m =
      source_->read_metadata(tags_of({"Structures.Mode", "Demo.String", "Structures.Drive",
                                      "Structures.Legacy", "Structures.Mode", "Demo.Int32"}));
  ASSERT_EQ(m.size(), 6u);
  EXPECT_EQ(m[0].data_type, std::string(kDemo) + "Structures.Types.Mode");
  EXPECT_EQ(m[0].enum_names, (std::vector<EnumName>{{0, "Off"}, {1, "Manual"}, {2, "Auto"}}));
  EXPECT_FALSE(m[0].unit);
  EXPECT_EQ(m[4], m[0]);
  EXPECT_EQ(m[1].data_type, "String");
  EXPECT_EQ(m[5].data_type, "Int32");
  // A structure's definition names no values; a type without a definition has none to read.
  EXPECT_EQ(m[2].data_type, std::string(kDemo) + "Structures.Types.DriveStatus");
  EXPECT_TRUE(m[2].enum_names.empty());
  EXPECT_EQ(m[3].data_type, std::string(kDemo) + "Structures.Types.LegacyPoint");
  EXPECT_TRUE(m[3].enum_names.empty());
  for (const auto& each : m) EXPECT_EQ(each.status, status::Good);
}

TEST_F(ReadsMetadata, NodesThatAreNoVariablesGetTheirStatusAlone) {
  const auto m = source_->read_metadata(
      {{.namespace_index = 2, .tag_name = "Demo.NoSuchNode"},
       {.namespace_index = 2, .tag_name = "Structures"},  // a folder: no DataType
       {.namespace_index = 2, .tag_name = "Demo.Double"},
       {.namespace_index = 2, .tag_name = "nsu=urn:not-on-this-server;s=X"},
       {.namespace_index = 2, .tag_name = "ns=2;i="}});  // does not parse
  ASSERT_EQ(m.size(), 5u);
  EXPECT_EQ(m[0], (VariableMetadata{.status = status::BadNodeIdUnknown}));
  EXPECT_EQ(pyqar::ua::severity(m[1].status), pyqar::ua::Severity::Bad);
  EXPECT_EQ(m[1], (VariableMetadata{.status = m[1].status}));
  EXPECT_EQ(m[2].unit, "°C");
  EXPECT_EQ(m[3], (VariableMetadata{.status = status::BadNodeIdUnknown}));
  EXPECT_EQ(m[4], (VariableMetadata{.status = status::BadNodeIdUnknown}));
  // The source reads on.
  EXPECT_TRUE(source_->valid());
  EXPECT_EQ(source_->read_metadata(tags_of({"Demo.Double"}))[0].unit, "°C");
}

TEST_F(ReadsMetadata, ASubscribedSourceReadsOverItsSubscriptionsSession) {
  source_->subscribe({{.tag = {.namespace_index = 2, .tag_name = "Demo.Double"}, .settings = {}}},
                     pyqar::SubscriptionSettings{});
  const auto m = source_->read_metadata(tags_of({"Demo.Double", "Structures.Mode"}));
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].unit, "°C");
  EXPECT_EQ(m[1].enum_names.size(), 3u);
  source_->unsubscribe();
}

TEST(ReadsMetadataWithoutServer, AGoneServerThrowsNamingItAndLeavesTheSourceInvalid) {
  if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  UaTestServer::Options options;
  options.tags = 1;
  UaTestServer server(options);
  auto source = pyqar::make_ua_source(server.url(), 1000);
  server.kill();
  try {
    source->read_metadata(tags_of({"Demo.Tag1"}));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(server.url()), std::string::npos) << e.what();
  }
  EXPECT_FALSE(source->valid());
  EXPECT_THROW(source->read_metadata(tags_of({"Demo.Tag1"})), std::runtime_error);
}

TEST(ReadsMetadataOfManyTags, TenThousandTagsInOneCallEachItsOwn) {
  if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  UaTestServer::Options options;
  options.tags = 3334;  // 10,002 variables, two thirds of them with units
  options.structures = true;
  options.max_nodes_per_read = 1000;
  UaTestServer server(options);
  auto source = pyqar::make_ua_source(server.url(), 1000);

  std::vector<TagDescriptor> tags;
  for (int n = 1; n <= 3334; ++n) {
    for (const char* kind : {"Tag", "Count", "Random"}) {
      tags.push_back(
          {.namespace_index = 2, .tag_name = "Demo." + std::string(kind) + std::to_string(n)});
    }
  }
  tags.resize(10'000);
  const auto started = std::chrono::steady_clock::now();
  const auto m = source->read_metadata(tags);
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(m.size(), tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i) {
    SCOPED_TRACE(tags[i].tag_name);
    ASSERT_EQ(m[i].status, status::Good);
    ASSERT_EQ(m[i].data_type, "Double");
    switch (i % 3) {
      case 0:
        ASSERT_EQ(m[i].unit, "bar");
        ASSERT_EQ(m[i].eu_low, -1);
        break;
      case 1:
        ASSERT_FALSE(m[i].unit || m[i].eu_low);
        break;
      default:
        ASSERT_EQ(m[i].unit, "%");
        ASSERT_EQ(m[i].eu_high, 100);
    }
  }
  // Reported, not asserted: the figure for the closing note.
  std::cout << "read_metadata of " << tags.size()
            << " tags: " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
            << " ms\n";
}

}  // namespace
