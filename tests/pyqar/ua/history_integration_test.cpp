// History of the OPC UA source against the real node-opcua test server with --history: which
// variables keep it, the server's limits, newest-first reads that follow continuation points to
// the end, releases, unknown nodes, a refused call, the looping point and the
// BadNoContinuationPoints quirks, and history read while a subscription runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pyqar/history_types.h"
#include "pyqar/rt_source.h"
#include "ua/status_code.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::UaTestServer;
using pyqar::HistoryPage;
using pyqar::HistoryQuery;
using pyqar::TagDescriptor;
using pyqar::Timestamp;
using pyqar::ValueObject;
using namespace std::chrono_literals;
namespace status = pyqar::ua::status;

constexpr int kDemoNs = 2;
constexpr auto kStep = 200ms;

#define SKIP_WITHOUT_NODE()                                                        \
  do {                                                                             \
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason; \
  } while (0)

TagDescriptor tag(std::string name) {
  return TagDescriptor{.namespace_index = kDemoNs, .tag_name = std::move(name)};
}

// The newest past value at least `ago` old: past values sit on whole multiples of 200 ms.
Timestamp past_step(std::chrono::milliseconds ago) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      (std::chrono::system_clock::now() - ago).time_since_epoch());
  return Timestamp(ms - ms % kStep);
}

HistoryQuery query(const std::string& name, Timestamp newest, Timestamp oldest) {
  return HistoryQuery{.tag = tag(name), .newest = newest, .oldest = oldest};
}

// Follows every query's continuation points to the end; the pages of each query, in order.
std::vector<std::vector<HistoryPage>> read_all(pyqar::RtSource& source,
                                               std::vector<HistoryQuery> queries,
                                               std::uint32_t values_per_node) {
  std::vector<std::vector<HistoryPage>> pages(queries.size());
  std::vector<std::size_t> open(queries.size());
  for (std::size_t i = 0; i < open.size(); ++i) open[i] = i;
  for (int round = 0; !open.empty(); ++round) {
    if (round > 1000) throw std::runtime_error("continuation points never end");
    std::vector<HistoryQuery> batch;
    for (std::size_t i : open) batch.push_back(queries[i]);
    const std::vector<HistoryPage> answers = source.read_history(batch, values_per_node);
    EXPECT_EQ(answers.size(), batch.size());
    std::vector<std::size_t> still_open;
    for (std::size_t k = 0; k < open.size(); ++k) {
      pages[open[k]].push_back(answers[k]);
      if (!answers[k].continuation_point.empty()) {
        queries[open[k]].continuation_point = answers[k].continuation_point;
        still_open.push_back(open[k]);
      }
    }
    open = std::move(still_open);
  }
  return pages;
}

std::vector<ValueObject> values_of(const std::vector<HistoryPage>& pages) {
  std::vector<ValueObject> values;
  for (const HistoryPage& page : pages) {
    EXPECT_EQ(page.status & 0xC0000000u, 0u) << pyqar::ua::status_text(page.status);
    values.insert(values.end(), page.values.begin(), page.values.end());
  }
  return values;
}

// Checks that `values` are every 200 ms step from `newest` back to `oldest`, each once, newest
// first, counting down by one (History.K) or as "text-<n>" (History.Text).
void expect_every_step_once(const std::vector<ValueObject>& values, Timestamp newest,
                            Timestamp oldest, bool text) {
  const auto expected = static_cast<std::size_t>((newest - oldest) / kStep) + 1;
  ASSERT_EQ(values.size(), expected);
  for (std::size_t k = 0; k < values.size(); ++k) {
    const ValueObject& v = values[k];
    ASSERT_TRUE(v.source_timestamp) << k;
    ASSERT_TRUE(v.server_timestamp) << k;
    EXPECT_EQ(*v.source_timestamp, newest - k * kStep) << k;
    EXPECT_EQ(v.timestamp, *v.source_timestamp) << k;
    EXPECT_EQ(v.status, 0u) << k;
    if (k == 0) continue;
    if (text) {
      const auto n = [](const ValueObject& x) {
        return std::stol(std::get<std::string>(x.value).substr(5));
      };
      EXPECT_EQ(n(values[k - 1]) - n(v), 1) << k;
    } else {
      EXPECT_EQ(std::get<double>(values[k - 1].value) - std::get<double>(v.value), 1.0) << k;
    }
  }
}

std::unique_ptr<pyqar::RtSource> connect(const UaTestServer& server) {
  return pyqar::make_ua_source(server.url(), 1000);
}

class HistoryOnTestServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.ramp = 1;
    options.history = 2;
    options.history_past = 120;
    options.history_max_values = 100;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_NODE();
    source_ = connect(*server_);
  }

  static inline std::unique_ptr<UaTestServer> server_;
  std::unique_ptr<pyqar::RtSource> source_;
};

TEST_F(HistoryOnTestServer, KnowsWhichVariablesKeepHistoryAndTheServersLimits) {
  ASSERT_TRUE(source_->can_read_history());
  const auto keeps = source_->keeps_history(
      {tag("History.1"), tag("History.Text"), tag("Ramp.1"), tag("History.Nope"),
       TagDescriptor{.namespace_index = 0, .tag_name = "nsu=urn:nowhere;s=X"}});
  ASSERT_EQ(keeps.size(), 5u);
  EXPECT_EQ(keeps[0], std::optional<bool>(true));
  EXPECT_EQ(keeps[1], std::optional<bool>(true));
  EXPECT_EQ(keeps[2], std::optional<bool>(false));
  EXPECT_EQ(keeps[3], std::nullopt);
  EXPECT_EQ(keeps[4], std::nullopt);

  const pyqar::HistoryLimits limits = source_->history_limits();
  EXPECT_EQ(limits.max_return_values, 100u);
  EXPECT_GT(limits.max_nodes_per_call, 0u);
}

TEST_F(HistoryOnTestServer, ReadsAPastSpanNewestFirstFollowingPointsToTheEnd) {
  // Both edges fall on values: both are included.
  const Timestamp newest = past_step(30s);
  const Timestamp oldest = newest - 70s;
  const auto pages = read_all(
      *source_, {query("History.1", newest, oldest), query("History.Text", newest, oldest)}, 40);
  for (std::size_t q = 0; q < 2; ++q) {
    ASSERT_GT(pages[q].size(), 2u);
    for (const HistoryPage& page : pages[q]) EXPECT_LE(page.values.size(), 40u);
    EXPECT_TRUE(pages[q].back().continuation_point.empty());
    expect_every_step_once(values_of(pages[q]), newest, oldest, q == 1);
  }
  const auto first = values_of(pages[0]).front();
  EXPECT_EQ(
      std::get<double>(first.value),
      1'000'000.0 + std::stol(std::get<std::string>(values_of(pages[1]).front().value).substr(5)));
}

TEST_F(HistoryOnTestServer, TheServersLimitBoundsAReadOfEverything) {
  const Timestamp newest = past_step(10s);
  const Timestamp oldest = newest - 50s;
  const auto pages = read_all(*source_, {query("History.2", newest, oldest)}, 0);
  ASSERT_EQ(pages[0].size(), 3u);  // 251 values, 100 at a time
  for (const HistoryPage& page : pages[0]) EXPECT_LE(page.values.size(), 100u);
  expect_every_step_once(values_of(pages[0]), newest, oldest, false);
}

TEST_F(HistoryOnTestServer, AReleasedPointCannotBeContinued) {
  const Timestamp newest = past_step(20s);
  HistoryQuery q = query("History.1", newest, newest - 20s);
  const auto first = source_->read_history({q}, 10);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(first[0].values.size(), 10u);
  ASSERT_FALSE(first[0].continuation_point.empty());
  q.continuation_point = first[0].continuation_point;
  source_->release_history({q});
  const auto after = source_->read_history({q}, 10);
  EXPECT_EQ(after[0].status, status::BadContinuationPointInvalid);
  EXPECT_TRUE(after[0].values.empty());
  EXPECT_TRUE(source_->valid());
}

TEST_F(HistoryOnTestServer, UnknownNodesGetBadNodeIdUnknownBesideGoodOnes) {
  const Timestamp newest = past_step(20s);
  const auto pages = source_->read_history(
      {query("History.Nope", newest, newest - 1s), query("History.1", newest, newest - 1s),
       HistoryQuery{.tag = TagDescriptor{.namespace_index = 0, .tag_name = "nsu=urn:nowhere;s=X"},
                    .newest = newest,
                    .oldest = newest - 1s}},
      0);
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].status, status::BadNodeIdUnknown);
  EXPECT_EQ(pages[1].status, status::Good);
  EXPECT_EQ(pages[1].values.size(), 6u);
  EXPECT_EQ(pages[2].status, status::BadNodeIdUnknown);
  // A variable without history says so for itself.
  const auto ramp = source_->read_history({query("Ramp.1", newest, newest - 1s)}, 0);
  EXPECT_EQ(ramp[0].status, status::BadHistoryOperationUnsupported);
}

TEST_F(HistoryOnTestServer, ARefusedCallThrowsAndLeavesTheSourceUsable) {
  const Timestamp newest = past_step(20s);
  std::vector<HistoryQuery> too_many(source_->history_limits().max_nodes_per_call + 1,
                                     query("History.1", newest, newest - 1s));
  try {
    source_->read_history(too_many, 1);
    FAIL() << "a call over MaxNodesPerHistoryReadData was answered";
  } catch (const pyqar::HistoryServiceError& e) {
    EXPECT_EQ(e.status(), status::BadTooManyOperations) << e.what();
  }
  EXPECT_TRUE(source_->valid());
  EXPECT_EQ(source_->read_history({query("History.1", newest, newest - 1s)}, 0)[0].values.size(),
            6u);
}

TEST_F(HistoryOnTestServer, ReadsHistoryWhileASubscriptionRuns) {
  source_->subscribe({pyqar::MonitoredTag{.tag = tag("Ramp.1"), .settings = {}}},
                     pyqar::SubscriptionSettings{.publishing_interval_ms = 100});
  const auto changes_within = [&](std::chrono::seconds limit) {
    std::size_t changes = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (changes == 0 && std::chrono::steady_clock::now() < deadline) {
      const auto update = source_->poll(200ms);
      changes += update.changes.size();
      if (update.ack_token != 0) source_->acknowledge(update.ack_token);
    }
    return changes;
  };
  ASSERT_GT(changes_within(10s), 0u);
  const Timestamp newest = past_step(30s);
  const auto pages = read_all(*source_, {query("History.Text", newest, newest - 10s)}, 20);
  expect_every_step_once(values_of(pages[0]), newest, newest - 10s, true);
  EXPECT_EQ(source_->keeps_history({tag("History.1")})[0], std::optional<bool>(true));
  EXPECT_GT(changes_within(10s), 0u);
  EXPECT_TRUE(source_->valid());
  source_->unsubscribe();
}

class HistoryWithLoopingPoints : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.history = 1;
    options.history_past = 30;
    options.history_quirks = "loop";
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  static inline std::unique_ptr<UaTestServer> server_;
};

TEST_F(HistoryWithLoopingPoints, APointIsAnsweredWithNothingAndTheSamePoint) {
  SKIP_WITHOUT_NODE();
  auto source = connect(*server_);
  const Timestamp newest = past_step(5s);
  HistoryQuery q = query("History.1", newest, newest - 20s);
  const auto first = source->read_history({q}, 5);
  ASSERT_EQ(first[0].values.size(), 5u);
  ASSERT_FALSE(first[0].continuation_point.empty());
  q.continuation_point = first[0].continuation_point;
  const auto again = source->read_history({q}, 5);
  EXPECT_EQ(again[0].status, status::Good);
  EXPECT_TRUE(again[0].values.empty());
  EXPECT_EQ(again[0].continuation_point, q.continuation_point);
  source->release_history({q});
  EXPECT_TRUE(source->valid());
}

class HistoryWithFewPoints : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.history = 3;
    options.history_past = 30;
    options.history_quirks = "nocp";
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  static inline std::unique_ptr<UaTestServer> server_;
};

TEST_F(HistoryWithFewPoints, ANodeBeyondThePointsTheServerHoldsGetsBadNoContinuationPoints) {
  SKIP_WITHOUT_NODE();
  auto source = connect(*server_);
  const Timestamp newest = past_step(5s);
  std::vector<HistoryQuery> queries{query("History.1", newest, newest - 20s),
                                    query("History.2", newest, newest - 20s),
                                    query("History.3", newest, newest - 20s)};
  const auto pages = source->read_history(queries, 5);
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].values.size(), 5u);
  EXPECT_FALSE(pages[1].continuation_point.empty());
  EXPECT_EQ(pages[2].status, status::BadNoContinuationPoints);
  EXPECT_TRUE(pages[2].values.empty());
  EXPECT_TRUE(pages[2].continuation_point.empty());
  // Once the points are given back, the third node is read.
  queries[0].continuation_point = pages[0].continuation_point;
  queries[1].continuation_point = pages[1].continuation_point;
  source->release_history({queries[0], queries[1]});
  const auto third = source->read_history({queries[2]}, 5);
  EXPECT_EQ(third[0].status, status::Good);
  EXPECT_EQ(third[0].values.size(), 5u);
}

}  // namespace
