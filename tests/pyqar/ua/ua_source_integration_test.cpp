// The OPC UA client against the real node-opcua test server (tools/ua-test-server).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
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

// Any numeric value as a double; throws for text and empty values.
double number(const ValueObject& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v.value)) return static_cast<double>(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&v.value)) return static_cast<double>(*u);
  return std::get<double>(v.value);
}

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
  EXPECT_EQ(std::get<std::int64_t>(values[2].value), -42);
  EXPECT_EQ(std::get<std::uint64_t>(values[3].value), 65535u);
  EXPECT_EQ(std::get<bool>(values[4].value), true);
  for (int i : {0, 1, 2, 3, 4, 5, 8}) EXPECT_EQ(values[i].get_quality(), Q::QAR_HIGH_GOOD) << i;
  // A Good text is Good; a bad status never carries a value.
  EXPECT_EQ(std::get<std::string>(values[5].value), "hello");
  EXPECT_EQ(values[6].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_EQ(values[6].status, 0x808C0000u);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(values[6].value));
  EXPECT_EQ(values[7].get_quality(), Q::QAR_HIGH_UNCERTAIN);
  EXPECT_EQ(values[7].status, 0x40900000u);
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

// Every kind of value in folder Types, read in one request as a collector would.
TEST_F(ReadsFromTestServer, WritesOutEveryBuiltinTypeArrayAndOddValue) {
  const std::vector<std::string> names = {
      "Boolean",       "SByte",         "Byte",        "Int16",       "UInt16", "Int32",
      "UInt32",        "Int64",         "UInt64",      "Float",       "Double", "String",
      "DateTime",      "Guid",          "ByteString",  "XmlElement",  "NodeId", "StatusCode",
      "QualifiedName", "LocalizedText", "DoubleArray", "StringArray", "Matrix", "VariantArray",
      "Bad",           "Uncertain",     "OldSource",   "Awkward",     "Nul",    "Huge",
      "Million",       "Opaque"};
  std::vector<TagDescriptor> batch;
  for (const auto& n : names) batch.push_back(tag(2, "Types." + n));
  const auto read = source_->read(batch);
  ASSERT_EQ(read.size(), names.size());
  std::map<std::string, ValueObject> v;
  for (std::size_t i = 0; i < names.size(); ++i) v[names[i]] = read[i];
  const auto text = [&](const std::string& n) { return std::get<std::string>(v.at(n).value); };

  EXPECT_EQ(std::get<bool>(v["Boolean"].value), true);
  EXPECT_EQ(std::get<std::int64_t>(v["SByte"].value), -8);
  EXPECT_EQ(std::get<std::uint64_t>(v["Byte"].value), 200u);
  EXPECT_EQ(std::get<std::int64_t>(v["Int16"].value), -16000);
  EXPECT_EQ(std::get<std::uint64_t>(v["UInt16"].value), 65535u);
  EXPECT_EQ(std::get<std::int64_t>(v["Int32"].value), -2000000000);
  EXPECT_EQ(std::get<std::uint64_t>(v["UInt32"].value), 4000000000u);
  EXPECT_EQ(std::get<std::int64_t>(v["Int64"].value), 9007199254740993);
  EXPECT_EQ(std::get<std::uint64_t>(v["UInt64"].value), 18446744073709551615u);
  EXPECT_EQ(number(v["Float"]), 1.5);
  EXPECT_EQ(number(v["Double"]), 2.25);
  EXPECT_EQ(text("String"), "text");
  EXPECT_EQ(text("DateTime"), "2025-06-07T08:09:10.123Z");
  EXPECT_EQ(text("Guid"), "72962b91-fa75-4ae6-8d28-b404dc7daf63");
  EXPECT_EQ(text("ByteString"), "AQID/w==");
  EXPECT_EQ(text("XmlElement"), "<a>x</a>");
  EXPECT_EQ(text("NodeId"), "nsu=urn:kestrane:demo;s=Demo.Tag1");
  EXPECT_EQ(text("StatusCode"), "BadSensorFailure");
  EXPECT_EQ(text("QualifiedName"), "Boiler");
  EXPECT_EQ(text("LocalizedText"), "Kessel");
  EXPECT_EQ(text("DoubleArray"), "[1.5,2.5,3.5]");
  EXPECT_EQ(text("StringArray"), R"(["a","b,c","d\"e"])");
  EXPECT_EQ(text("Matrix"), "[[1,2,3],[4,5,6]]");
  EXPECT_EQ(text("VariantArray"), R"([1,"s",true])");
  EXPECT_EQ(text("Awkward"), "a,b;\"quoted\" 'single'\nline two\ttab \\ ü € 😀");
  EXPECT_EQ(text("Nul"),
            "before\xEF\xBF\xBD"
            "after");
  EXPECT_EQ(text("Opaque"), R"({"typeId":"nsu=urn:kestrane:demo;i=99999","body":"AQIDBA=="})");
  for (const auto& n : names) {
    if (n == "Bad" || n == "Uncertain") continue;
    EXPECT_EQ(v[n].get_quality(), Q::QAR_HIGH_GOOD) << n;
    EXPECT_EQ(v[n].status, 0u) << n;
    EXPECT_TRUE(v[n].source_timestamp) << n;
    EXPECT_TRUE(v[n].server_timestamp) << n;
    EXPECT_EQ(v[n].cut, n == "Huge" || n == "Million") << n;
  }

  EXPECT_EQ(v["Bad"].get_quality(), Q::QAR_HIGH_BAD);
  EXPECT_EQ(v["Bad"].status, 0x808C0000u);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(v["Bad"].value));
  EXPECT_EQ(v["Uncertain"].get_quality(), Q::QAR_HIGH_UNCERTAIN);
  EXPECT_EQ(v["Uncertain"].status, 0x40900000u);
  EXPECT_EQ(number(v["Uncertain"]), 4.5);
  const auto old = std::chrono::sys_days{std::chrono::year{2020} / 1 / 2} + std::chrono::hours{3} +
                   std::chrono::minutes{4} + std::chrono::milliseconds{5678};
  EXPECT_EQ(v["OldSource"].source_timestamp, old);
  EXPECT_EQ(v["OldSource"].timestamp, old);
  EXPECT_NE(v["OldSource"].server_timestamp, old);
  EXPECT_EQ(number(v["OldSource"]), 7.0);

  // 10 MB and a million elements: cut at 64 KiB, the JSON at a whole element.
  EXPECT_EQ(text("Huge"), std::string(pyqar::QAR_MAX_VALUE_TEXT_BYTES, 'x'));
  const std::string million = text("Million");
  EXPECT_LE(million.size(), pyqar::QAR_MAX_VALUE_TEXT_BYTES);
  EXPECT_GT(million.size(), pyqar::QAR_MAX_VALUE_TEXT_BYTES - 16);
  EXPECT_TRUE(million.starts_with("[0,1,2,3,"));
  EXPECT_TRUE(million.ends_with("]"));
  EXPECT_TRUE(source_->valid());
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
