// Tags that name their namespace by URI, read from the node-opcua test server, whose demo
// and plant namespaces both hold a node s=Demo.Double (3.25 and -3.25).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "log_capture.h"
#include "pyqar/rt_source.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::LogCapture;
using kestrane_test::UaTestServer;
using pyqar::TagDescriptor;
namespace Q = pyqar::QAR_QUALITY;

TagDescriptor tag(std::string name, int ns = 0) {
  return TagDescriptor{.namespace_index = ns, .tag_name = std::move(name)};
}

// Integers arrive typed; every value these tests read is a number.
double number(const pyqar::ValueObject& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v.value)) return static_cast<double>(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&v.value)) return static_cast<double>(*u);
  return std::get<double>(v.value);
}

const std::vector<TagDescriptor> kBatch = {
    tag("nsu=urn:kestrane:demo;s=Demo.Double"),            // 3.25
    tag("nsu=urn:kestrane:plant;s=Demo.Double"),           // -3.25
    tag("nsu=urn:kestrane:plant;s=Plant.Types.Int32", 5),  // the descriptor's index is ignored
    tag("Demo.Double", 2),                                 // by index: whichever sits at 2
};

class ReadsByNamespaceUri : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  }
  static UaTestServer::Options plant(int port, bool swapped) {
    UaTestServer::Options options;
    options.port = port;
    options.tags = 1;
    options.browse_tree = true;
    options.wide = 1;
    options.swap_namespaces = swapped;
    return options;
  }
};

TEST_F(ReadsByNamespaceUri, EachUriReadsItsOwnNodeAndRenumberingIsFollowedAfterRestart) {
  auto server = std::make_unique<UaTestServer>(plant(0, false));
  const int port = server->port();
  auto source = pyqar::make_ua_source(server->url(), 1000);
  auto values = source->read(kBatch);
  ASSERT_EQ(values.size(), kBatch.size());
  for (const auto& v : values) ASSERT_EQ(v.get_quality(), Q::QAR_HIGH_GOOD);
  EXPECT_EQ(number(values[0]), 3.25);
  EXPECT_EQ(number(values[1]), -3.25);
  EXPECT_EQ(number(values[2]), -32);
  EXPECT_EQ(number(values[3]), 3.25);

  // The server comes back with its namespaces registered the other way round.
  server.reset();
  server = std::make_unique<UaTestServer>(plant(port, true));
  EXPECT_ANY_THROW(source->read(kBatch));
  EXPECT_FALSE(source->valid());
  source = pyqar::make_ua_source(server->url(), 1000);  // the collector's reconnect
  values = source->read(kBatch);
  for (const auto& v : values) ASSERT_EQ(v.get_quality(), Q::QAR_HIGH_GOOD);
  EXPECT_EQ(number(values[0]), 3.25);
  EXPECT_EQ(number(values[1]), -3.25);
  EXPECT_EQ(number(values[2]), -32);
  EXPECT_EQ(number(values[3]), -3.25) << "the index form now names the plant namespace";
}

TEST_F(ReadsByNamespaceUri, UnknownUriReadsBadForItsTagsOnlyWithOneErrorPerSession) {
  UaTestServer server(plant(0, false));
  LogCapture log("pyqar");
  const std::vector<TagDescriptor> batch = {
      tag("nsu=urn:nowhere;s=A"), tag("nsu=urn:kestrane:demo;s=Demo.Double"),
      tag("nsu=urn:nowhere;i=7"), tag("nsu=urn:elsewhere;s=B")};
  auto source = pyqar::make_ua_source(server.url(), 1000);
  for (int cycle = 0; cycle < 3; ++cycle) {
    const auto values = source->read(batch);
    EXPECT_EQ(values[0].get_quality(), Q::QAR_HIGH_BAD);
    EXPECT_EQ(values[2].get_quality(), Q::QAR_HIGH_BAD);
    EXPECT_EQ(values[3].get_quality(), Q::QAR_HIGH_BAD);
    ASSERT_EQ(values[1].get_quality(), Q::QAR_HIGH_GOOD);
    EXPECT_EQ(number(values[1]), 3.25);
  }
  int errors = 0;
  for (const auto& line : log.lines()) errors += line.starts_with("ERROR");
  EXPECT_EQ(errors, 2) << log.dump();
  EXPECT_TRUE(
      log.has_prefix("error", "OPC UA server " + server.url() + " has no namespace 'urn:nowhere'"))
      << log.dump();

  // A new session reports again: the server may have gained or lost namespaces meanwhile.
  source = pyqar::make_ua_source(server.url(), 1000);
  source->read(batch);
  errors = 0;
  for (const auto& line : log.lines()) errors += line.starts_with("ERROR");
  EXPECT_EQ(errors, 4) << log.dump();
}

}  // namespace
