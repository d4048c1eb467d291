// The subscription services of the OPC UA session against the real node-opcua test server
// (tools/ua-test-server): every service round trip, pipelined Publish, Republish, transfer to
// a new session, reactivation on a new channel after the connection was cut, and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tcp_tamper_proxy.h"
#include "ua/endpoint_url.h"
#include "ua/status_code.h"
#include "ua/ua_session.h"
#include "ua/ua_subscription_services.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::TcpTamperProxy;
using kestrane_test::UaTestServer;
using namespace pyqar::ua;
using namespace std::chrono_literals;

constexpr std::uint32_t kBadSubscriptionIdInvalid = 0x80280000;
constexpr std::uint32_t kBadMessageNotAvailable = 0x807B0000;
constexpr std::uint32_t kBadRequestTooLarge = 0x80B80000;
constexpr std::uint16_t kDemoNs = 2;

#define SKIP_WITHOUT_NODE()                                                        \
  do {                                                                             \
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason; \
  } while (0)

SessionOptions quick_options() {
  SessionOptions options;
  options.channel.request_timeout = 10s;
  return options;
}

std::unique_ptr<UaSession> open_session(const std::string& url,
                                        SessionOptions options = quick_options()) {
  return std::make_unique<UaSession>(parse_endpoint_url(url), std::move(options));
}

NodeId ramp(int n) { return NodeId::string_id(kDemoNs, "Ramp." + std::to_string(n)); }

// An item sampled as fast as the server can, with room for a publishing interval's changes.
MonitoredItemToCreate item(NodeId node, std::uint32_t handle, std::uint32_t queue_size = 10) {
  MonitoredItemToCreate item;
  item.node = std::move(node);
  item.client_handle = handle;
  item.sampling_interval_ms = 0;
  item.queue_size = queue_size;
  return item;
}

// Items for Ramp.1..count, client handle = n.
std::vector<MonitoredItemToCreate> ramp_items(int count, std::uint32_t queue_size = 10) {
  std::vector<MonitoredItemToCreate> items;
  for (int n = 1; n <= count; ++n) {
    items.push_back(item(ramp(n), static_cast<std::uint32_t>(n), queue_size));
  }
  return items;
}

SubscriptionParameters fast_subscription() {
  return {.publishing_interval_ms = 100, .lifetime_count = 300, .max_keep_alive_count = 10};
}

// The status a call threw as ServiceError; fails the test when it returned or threw otherwise.
template <typename Call>
std::uint32_t service_error_of(Call&& call) {
  try {
    call();
  } catch (const ServiceError& e) {
    return e.status();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a ServiceError: " << e.what();
    return 0;
  }
  ADD_FAILURE() << "the call succeeded";
  return 0;
}

// Publish answers until one carries data changes (keep-alives skipped), keeping `outstanding`
// requests queued; fails the test when none comes within a minute.
PublishResponse next_data(UaSession& session, std::size_t outstanding = 2,
                          std::vector<SubscriptionAcknowledgement> acks = {}) {
  const auto give_up = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < give_up) {
    while (session.publishes_outstanding() < outstanding) {
      session.send_publish(acks, 30s);
      acks.clear();
    }
    auto answer = session.receive_publish(std::chrono::steady_clock::now() + 5s);
    if (answer && !answer->message.data_changes.empty()) return std::move(*answer);
  }
  ADD_FAILURE() << "no data change arrived";
  return {};
}

// Drains the answers to the Publish requests still outstanding.
void drain(UaSession& session) {
  while (session.publishes_outstanding() > 0) {
    try {
      (void)session.receive_publish(std::chrono::steady_clock::now() + 30s);
    } catch (const ServiceError&) {
      // BadNoSubscription and the like answer a request too.
    }
  }
}

// One ramping server shared by a suite: starting node-opcua takes seconds.
class SubscribesOnTestServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 5;
    options.ramp = 10;
    options.max_monitored_items_per_call = 100;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_NODE();
    ASSERT_TRUE(server_);
  }
  static std::unique_ptr<UaTestServer> server_;
};
std::unique_ptr<UaTestServer> SubscribesOnTestServer::server_;

TEST_F(SubscribesOnTestServer, EveryServiceRoundTrips) {
  auto session = open_session(server_->url());
  const auto created = session->create_subscription(fast_subscription());
  ASSERT_NE(created.subscription_id, 0u);
  EXPECT_GT(created.revised_publishing_interval_ms, 0);
  EXPECT_GE(created.revised_lifetime_count, 3 * created.revised_max_keep_alive_count);

  auto items = ramp_items(3);
  items.push_back(item(NodeId::string_id(kDemoNs, "Ramp.Static"), 50));
  items.push_back(item(NodeId::string_id(kDemoNs, "No.Such.Node"), 60));
  items.push_back(item(ramp(4), 4));
  items.back().filter =
      DataChangeFilter{.deadband_type = kDeadbandAbsolute, .deadband_value = 1000};
  const auto made = session->create_monitored_items(created.subscription_id, items);
  ASSERT_EQ(made.results.size(), items.size());
  for (int i : {0, 1, 2, 3, 5}) EXPECT_EQ(made.results[i].status, 0u) << i;
  EXPECT_EQ(made.results[4].status, status::BadNodeIdUnknown);
  EXPECT_NE(made.results[0].monitored_item_id, made.results[1].monitored_item_id);

  // Each ramp steps by one per change, stamped at its source; the static variable and the
  // ramp behind a deadband larger than any step report their first value only.
  std::map<std::uint32_t, std::vector<double>> seen;
  std::vector<SubscriptionAcknowledgement> acks;
  while (seen[1].size() < 6) {
    auto answer = next_data(*session, 3, acks);
    ASSERT_EQ(answer.subscription_id, created.subscription_id);
    acks = {{created.subscription_id, answer.message.sequence_number}};
    for (const auto& change : answer.message.data_changes) {
      ASSERT_TRUE(change.value.value) << change.client_handle;
      EXPECT_TRUE(change.value.source_timestamp) << change.client_handle;
      seen[change.client_handle].push_back(std::get<double>(change.value.value->scalar));
    }
  }
  for (std::uint32_t handle : {1u, 2u, 3u}) {
    const auto& values = seen[handle];
    for (std::size_t k = 1; k < values.size(); ++k) {
      EXPECT_GT(values[k], values[k - 1]) << handle;
    }
  }
  EXPECT_EQ(seen[50], std::vector<double>{42});
  EXPECT_EQ(seen[4].size(), 1u);
  EXPECT_FALSE(seen.contains(60));

  const auto modified = session->modify_subscription(
      created.subscription_id, {.publishing_interval_ms = 250, .max_keep_alive_count = 5});
  EXPECT_GT(modified.revised_publishing_interval_ms, 0);

  drain(*session);
  const std::vector<std::uint32_t> ids{created.subscription_id, created.subscription_id + 1000};
  const auto deleted = session->delete_subscriptions(ids);
  ASSERT_EQ(deleted.results.size(), 2u);
  EXPECT_EQ(deleted.results[0], 0u);
  EXPECT_EQ(deleted.results[1], kBadSubscriptionIdInvalid);
  EXPECT_TRUE(session->usable());
}

}  // namespace
