// The OPC UA client against the real node-opcua test server (tools/ua-test-server).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <numeric>
#include <stdexcept>

#include "pyqar/rt_source.h"
#include "ua/ua_source.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::UaTestServer;
using pyqar::TagDescriptor;
using pyqar::ValueObject;
namespace Q = pyqar::QAR_QUALITY;

TagDescriptor tag(int ns, std::string name) {
  return TagDescriptor{.namespace_index = ns, .tag_name = std::move(name)};
}

double number(const ValueObject& v) { return std::get<double>(v.value); }

// Demo.CountN reads whole seconds since the server started plus N, evaluated in request order.
// So value - N never decreases along a batch, and grows by at most the seconds the read took.
void expect_counts_in_order(const std::vector<ValueObject>& values, const std::vector<int>& ns,
                            std::chrono::steady_clock::duration took) {
  ASSERT_EQ(values.size(), ns.size());
  const double seconds = std::chrono::duration<double>(took).count();
  double first = 0;
  double previous = 0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    ASSERT_EQ(values[k].get_quality(), Q::QAR_HIGH_GOOD) << k;
    const double offset = number(values[k]) - ns[k];
    if (k == 0) first = previous = offset;
    ASSERT_GE(offset, previous) << "out of order at " << k;
    ASSERT_LE(offset - first, std::ceil(seconds) + 1) << k;
    previous = offset;
  }
}

// Reads the batch, timing it for expect_counts_in_order.
std::vector<ValueObject> timed_read(pyqar::RtSource& source,
                                    const std::vector<TagDescriptor>& batch,
                                    std::chrono::steady_clock::duration& took) {
  const auto start = std::chrono::steady_clock::now();
  auto values = source.read(batch);
  took = std::chrono::steady_clock::now() - start;
  return values;
}

#define SKIP_WITHOUT_NODE()                                                        \
  do {                                                                             \
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason; \
  } while (0)

// One server shared by the read tests of a suite: starting node-opcua takes seconds.
template <int Tags, int MaxNodesPerRead, int MaxMessageSize = -1>
class WithServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = Tags;
    if (MaxNodesPerRead >= 0) options.max_nodes_per_read = MaxNodesPerRead;
    if (MaxMessageSize >= 0) options.max_message_size = MaxMessageSize;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_NODE();
    source_ = pyqar::make_ua_source(server_->url(), 1000);
  }

  static inline std::unique_ptr<UaTestServer> server_;
  std::unique_ptr<pyqar::RtSource> source_;
};

class ReadsFromTestServer : public WithServer<100, -1> {};

TEST_F(ReadsFromTestServer, ConvertsEveryVariableTypeWithItsQuality) {
  const auto values =
      source_->read({tag(2, "Demo.Double"), tag(2, "Demo.Float"), tag(2, "Demo.Int32"),
                     tag(2, "Demo.UInt16"), tag(2, "Demo.Boolean"), tag(2, "Demo.String"),
                     tag(2, "Demo.BadStatus"), tag(2, "Demo.Uncertain"), tag(2, "Demo.Tag1")});
  ASSERT_EQ(values.size(), 9u);
  EXPECT_EQ(number(values[0]), 3.25);
  EXPECT_EQ(number(values[1]), 1.5);
  EXPECT_EQ(number(values[2]), -42.0);
  EXPECT_EQ(number(values[3]), 65535.0);
  EXPECT_EQ(number(values[4]), 1.0);
  for (int i : {0, 1, 2, 3, 4, 8}) EXPECT_EQ(values[i].get_quality(), Q::QAR_HIGH_GOOD) << i;
  // Text is not a process value; a bad status never carries one.
  EXPECT_EQ(values[5].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_EQ(values[6].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(values[6].value));
  EXPECT_EQ(values[7].get_quality(), Q::QAR_HIGH_UNCERTAIN);
  EXPECT_EQ(number(values[7]), 4.5);
  EXPECT_LE(std::abs(number(values[8])), 1.0);
  EXPECT_TRUE(source_->valid());
}

TEST_F(ReadsFromTestServer, ReadsNodeIdTextAsWritten) {
  const auto values = source_->read(
      {tag(0, "ns=2;s=Demo.Double"), tag(2, "s=Demo.Float"), tag(0, "i=2259"), tag(0, "i=11705")});
  EXPECT_EQ(number(values[0]), 3.25);
  EXPECT_EQ(number(values[1]), 1.5);
  EXPECT_EQ(number(values[2]), 0.0);  // ServerState Running
  EXPECT_EQ(values[2].get_quality(), Q::QAR_HIGH_GOOD);
  EXPECT_EQ(values[3].get_quality(), Q::QAR_HIGH_GOOD);
}

TEST_F(ReadsFromTestServer, UnknownNodeReadsBadAndTheRestGood) {
  const auto values = source_->read({tag(2, "Demo.Double"), tag(2, "Demo.NoSuchTag"),
                                     tag(0, "Demo.Double"), tag(2, "Demo.Int32")});
  EXPECT_EQ(values[0].get_quality(), Q::QAR_HIGH_GOOD);
  EXPECT_EQ(values[1].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_EQ(values[2].get_quality(), Q::QAR_HIGH_BAD);  // wrong namespace
  EXPECT_EQ(number(values[3]), -42.0);
  EXPECT_TRUE(source_->valid());
}

TEST_F(ReadsFromTestServer, UnparsableNodeIdTextReadsBadWithoutStoppingTheBatch) {
  const auto values =
      source_->read({tag(0, "i=abc"), tag(2, "Demo.Double"), tag(0, "ns=x;s=y"), tag(2, "")});
  EXPECT_EQ(values[0].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_EQ(number(values[1]), 3.25);
  EXPECT_EQ(values[2].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_EQ(values[3].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_TRUE(source_->valid());
}

TEST_F(ReadsFromTestServer, ReportsTheSourceTimestamp) {
  const auto values = source_->read({tag(2, "Demo.Stamped")});
  const auto expected = std::chrono::sys_days{std::chrono::year{2020} / 1 / 2} +
                        std::chrono::hours{3} + std::chrono::minutes{4} + std::chrono::seconds{5};
  EXPECT_EQ(std::chrono::time_point_cast<std::chrono::seconds>(values[0].get_timestamp()),
            expected);
}

TEST_F(ReadsFromTestServer, KeepsTheOrderOfTheBatch) {
  std::vector<TagDescriptor> batch;
  std::vector<int> ns;
  for (int n = 100; n >= 1; --n) {
    batch.push_back(tag(2, "Demo.Count" + std::to_string(n)));
    ns.push_back(n);
  }
  std::chrono::steady_clock::duration took{};
  const auto values = timed_read(*source_, batch, took);
  expect_counts_in_order(values, ns, took);
}

TEST_F(ReadsFromTestServer, UsesTheServersDefaultReadLimit) {
  auto* ua = dynamic_cast<pyqar::ua::UaSource*>(source_.get());
  ASSERT_NE(ua, nullptr);
  EXPECT_EQ(ua->max_nodes_per_read(), 10000u);
}

TEST_F(ReadsFromTestServer, DiscoveryListsTheServerWithAUsableSchema) {
  const auto found = pyqar::discover_ua("127.0.0.1", server_->port());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].source_type, pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA);
  EXPECT_EQ(found[0].name, "Kestrane UA test server");
  EXPECT_EQ(found[0].schema, server_->url());
  auto again = pyqar::make_ua_source(found[0].schema, 1000);
  EXPECT_EQ(number(again->read({tag(2, "Demo.Double")})[0]), 3.25);
}

TEST_F(ReadsFromTestServer, RenewsTheChannelTokenBeforeItExpires) {
  auto fake_now = std::chrono::steady_clock::now();
  pyqar::ua::SessionOptions options;
  options.channel.clock = [&fake_now] { return fake_now; };
  options.channel.requested_lifetime_ms = 600'000;
  pyqar::ua::UaSession session(pyqar::ua::parse_endpoint_url(server_->url()), options);
  const std::uint32_t first_token = session.channel().token_id();
  const auto node = pyqar::ua::NodeId::string_id(2, "Demo.Double");
  EXPECT_FALSE(session.stale());

  fake_now += std::chrono::seconds(400);  // two thirds of the lifetime: not yet
  EXPECT_TRUE(session.stale());           // idle longer than the 60 s session timeout
  session.read({&node, 1});
  EXPECT_EQ(session.channel().token_id(), first_token);
  EXPECT_FALSE(session.stale());

  fake_now += std::chrono::seconds(60);  // past three quarters
  const auto values = session.read({&node, 1});
  EXPECT_NE(session.channel().token_id(), first_token);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_TRUE(session.usable());
}

TEST_F(ReadsFromTestServer, FrozenServerTurnsReadIntoATimeoutError) {
  UaTestServer& server = *server_;
  pyqar::ua::SessionOptions options;
  options.channel.request_timeout = std::chrono::milliseconds(300);
  pyqar::ua::UaSource source(server.url(), options);
  ASSERT_EQ(number(source.read({tag(2, "Demo.Double")})[0]), 3.25);

  server.pause();
  try {
    source.read({tag(2, "Demo.Double")});
    ADD_FAILURE() << "read of a frozen server returned";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(server.url()), std::string::npos) << e.what();
  }
  EXPECT_FALSE(source.valid());
  server.resume();
}

TEST_F(ReadsFromTestServer, ReopensASessionIdleLongerThanTheServerKeepsIt) {
  auto fake_now = std::chrono::steady_clock::now();
  pyqar::ua::SessionOptions options;
  options.channel.clock = [&fake_now] { return fake_now; };
  pyqar::ua::UaSource source(server_->url(), options);
  fake_now += std::chrono::hours(2);  // past the session timeout and the token lifetime
  const auto values = source.read({tag(2, "Demo.Double")});
  EXPECT_EQ(number(values[0]), 3.25);
  EXPECT_TRUE(source.valid());
}

class ReadsFromServerWithLimit100 : public WithServer<150, 100> {};

TEST_F(ReadsFromServerWithLimit100, SplitsABatchLargerThanMaxNodesPerRead) {
  auto* ua = dynamic_cast<pyqar::ua::UaSource*>(source_.get());
  ASSERT_NE(ua, nullptr);
  EXPECT_EQ(ua->max_nodes_per_read(), 100u);
  std::vector<TagDescriptor> batch;
  for (int n = 1; n <= 150; ++n) batch.push_back(tag(2, "Demo.Count" + std::to_string(n)));
  for (int n = 1; n <= 50; ++n) batch.push_back(tag(2, "Demo.Tag" + std::to_string(n)));
  std::chrono::steady_clock::duration took{};
  const auto values = timed_read(*source_, batch, took);
  ASSERT_EQ(values.size(), 200u);
  std::vector<int> ns(150);
  std::iota(ns.begin(), ns.end(), 1);
  expect_counts_in_order({values.begin(), values.begin() + 150}, ns, took);
  for (int k = 150; k < 200; ++k) EXPECT_LE(std::abs(number(values[k])), 1.0) << k;
}

class ReadsFromServerWithSmallMessages : public WithServer<2000, 0, 32768> {};

TEST_F(ReadsFromServerWithSmallMessages, SplitsReadsThatExceedTheMessageLimitAndChunksBothWays) {
  pyqar::ua::UaSession session(pyqar::ua::parse_endpoint_url(server_->url()), {});
  ASSERT_EQ(session.channel().max_request_size(), 32768u);  // the limit is in force
  std::vector<TagDescriptor> batch;
  for (int n = 1; n <= 2000; ++n) batch.push_back(tag(2, "Demo.Count" + std::to_string(n)));
  std::chrono::steady_clock::duration took{};
  const auto values = timed_read(*source_, batch, took);
  std::vector<int> ns(2000);
  std::iota(ns.begin(), ns.end(), 1);
  expect_counts_in_order(values, ns, took);
  EXPECT_TRUE(source_->valid());
}

class ReadsTwentyThousandTags : public WithServer<20000, 20000> {
 protected:
  static std::vector<TagDescriptor> all_tags() {
    std::vector<TagDescriptor> tags;
    for (int n = 1; n <= 20000; ++n) tags.push_back(tag(2, "Demo.Count" + std::to_string(n)));
    return tags;
  }
  static std::vector<int> numbers(int first, int count) {
    std::vector<int> ns(count);
    std::iota(ns.begin(), ns.end(), first);
    return ns;
  }
};

TEST_F(ReadsTwentyThousandTags, InBatchesOf200) {
  const auto tags = all_tags();
  for (std::size_t start = 0; start < tags.size(); start += 200) {
    std::vector<TagDescriptor> batch(tags.begin() + start, tags.begin() + start + 200);
    std::chrono::steady_clock::duration took{};
    const auto values = timed_read(*source_, batch, took);
    expect_counts_in_order(values, numbers(static_cast<int>(start) + 1, 200), took);
  }
}

TEST_F(ReadsTwentyThousandTags, InOneBatchSpreadOverManyChunks) {
  std::chrono::steady_clock::duration took{};
  const auto values = timed_read(*source_, all_tags(), took);
  expect_counts_in_order(values, numbers(1, 20000), took);
}

// Each test here owns its server, because it stops it.
class SurvivesServerFailures : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_NODE(); }
};

TEST_F(SurvivesServerFailures, KilledServerMakesReadRaiseAndARestartedOneServesANewSource) {
  auto server = std::make_unique<UaTestServer>();
  const int port = server->port();
  auto source = pyqar::make_ua_source(server->url(), 1000);
  ASSERT_EQ(number(source->read({tag(2, "Demo.Double")})[0]), 3.25);

  server->kill();
  EXPECT_THROW(source->read({tag(2, "Demo.Double")}), std::runtime_error);
  EXPECT_FALSE(source->valid());
  EXPECT_THROW(source->read({tag(2, "Demo.Double")}), std::runtime_error);
  EXPECT_THROW(pyqar::make_ua_source("opc.tcp://127.0.0.1:" + std::to_string(port), 1000),
               std::runtime_error);

  UaTestServer::Options same_port;
  same_port.port = port;
  server = std::make_unique<UaTestServer>(same_port);
  auto fresh = pyqar::make_ua_source(server->url(), 1000);
  EXPECT_EQ(number(fresh->read({tag(2, "Demo.Double")})[0]), 3.25);
}

}  // namespace
