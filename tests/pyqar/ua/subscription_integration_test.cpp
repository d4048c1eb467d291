// The subscription services of the OPC UA session against the real node-opcua test server
// (tools/ua-test-server): every service round trip, pipelined Publish, Republish, transfer to
// a new session, reactivation on a new channel after the connection was cut, and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "tcp_tamper_proxy.h"
#include "temp_dir.h"
#include "ua/endpoint_url.h"
#include "ua/status_code.h"
#include "ua/ua_session.h"
#include "ua/ua_subscription_services.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::TcpTamperProxy;
using kestrane_test::TempDir;
using kestrane_test::UaTestServer;
using pyqar::UaSecurity;
using pyqar::UaSecurityMode;
using pyqar::UaSecurityPolicy;
using namespace pyqar::ua;
using namespace std::chrono_literals;

constexpr std::uint32_t kBadSubscriptionIdInvalid = 0x80280000;
constexpr std::uint32_t kBadMessageNotAvailable = 0x807B0000;
constexpr std::uint32_t kBadRequestTooLarge = 0x80B80000;
constexpr std::uint32_t kBadServiceUnsupported = 0x800B0000;
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

TEST_F(SubscribesOnTestServer, PublishRequestsQueueAndCallsGoOnMeanwhile) {
  auto session = open_session(server_->url());
  const auto created = session->create_subscription(fast_subscription());
  session->create_monitored_items(created.subscription_id, ramp_items(3));

  // Nothing outstanding: nothing to wait for.
  EXPECT_FALSE(session->receive_publish(std::chrono::steady_clock::now() + 30s));
  for (int i = 0; i < 4; ++i) session->send_publish({}, 30s);
  EXPECT_EQ(session->publishes_outstanding(), 4u);
  // A Read while the server holds the requests; the answers it sends meanwhile are kept.
  const std::array<NodeId, 1> nodes{ramp(1)};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(session->read(nodes)[0].value);
    std::this_thread::sleep_for(150ms);
  }
  EXPECT_EQ(session->publishes_outstanding(), 4u);

  // Nothing acknowledged: every message stays available, numbered one after the other.
  std::vector<std::uint32_t> numbers;
  while (session->publishes_outstanding() > 0) {
    auto answer = session->receive_publish(std::chrono::steady_clock::now() + 30s);
    ASSERT_TRUE(answer);
    if (answer->message.data_changes.empty()) continue;
    numbers.push_back(answer->message.sequence_number);
    for (std::uint32_t n : numbers) {
      EXPECT_NE(std::find(answer->available_sequence_numbers.begin(),
                          answer->available_sequence_numbers.end(), n),
                answer->available_sequence_numbers.end())
          << n;
    }
  }
  ASSERT_GE(numbers.size(), 2u);
  for (std::size_t k = 1; k < numbers.size(); ++k) EXPECT_EQ(numbers[k], numbers[k - 1] + 1);
  session->delete_subscriptions(std::array{created.subscription_id});
}

TEST_F(SubscribesOnTestServer, RepublishGivesBackWhatIsNotAcknowledged) {
  auto session = open_session(server_->url());
  const auto created = session->create_subscription(fast_subscription());
  session->create_monitored_items(created.subscription_id, ramp_items(2));
  const PublishResponse first = next_data(*session);
  drain(*session);
  const std::uint32_t number = first.message.sequence_number;

  const auto again = session->republish(created.subscription_id, number);
  EXPECT_EQ(again.message.sequence_number, number);
  ASSERT_EQ(again.message.data_changes.size(), first.message.data_changes.size());
  for (std::size_t k = 0; k < again.message.data_changes.size(); ++k) {
    EXPECT_EQ(again.message.data_changes[k].client_handle,
              first.message.data_changes[k].client_handle);
    EXPECT_EQ(again.message.data_changes[k].value.source_timestamp,
              first.message.data_changes[k].value.source_timestamp);
  }

  // Once acknowledged, the server lets it go; a number never sent was never there.
  const std::vector<SubscriptionAcknowledgement> ack{{created.subscription_id, number}};
  session->send_publish(ack, 30s);
  auto answer = session->receive_publish(std::chrono::steady_clock::now() + 30s);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->results.size(), 1u);
  EXPECT_EQ(answer->results[0], 0u);
  EXPECT_EQ(service_error_of([&] { session->republish(created.subscription_id, number); }),
            kBadMessageNotAvailable);
  EXPECT_EQ(service_error_of([&] { session->republish(created.subscription_id, number + 1000); }),
            kBadMessageNotAvailable);
  EXPECT_TRUE(session->usable());
}

TEST_F(SubscribesOnTestServer, RefusedCallsLeaveTheSessionUsable) {
  auto session = open_session(server_->url());
  const auto created = session->create_subscription(fast_subscription());
  const std::uint32_t unknown = created.subscription_id + 1000;
  EXPECT_EQ(service_error_of([&] { session->republish(unknown, 1); }), kBadSubscriptionIdInvalid);
  EXPECT_EQ(service_error_of([&] { session->create_monitored_items(unknown, ramp_items(1)); }),
            kBadSubscriptionIdInvalid);
  // Beyond the advertised MaxMonitoredItemsPerCall of 100 the whole call is refused...
  std::vector<MonitoredItemToCreate> items;
  for (std::uint32_t n = 0; n < 101; ++n) items.push_back(item(ramp(1 + n % 10), n));
  EXPECT_EQ(
      service_error_of([&] { session->create_monitored_items(created.subscription_id, items); }),
      status::BadTooManyOperations);
  EXPECT_TRUE(session->usable());
  // ...and at it, taken.
  items.pop_back();
  const auto made = session->create_monitored_items(created.subscription_id, items);
  EXPECT_TRUE(std::all_of(made.results.begin(), made.results.end(),
                          [](const auto& r) { return r.status == 0; }));
  const std::array<NodeId, 1> nodes{ramp(1)};
  EXPECT_TRUE(session->read(nodes)[0].value);
}

TEST_F(SubscribesOnTestServer, LimitsAndStartTimeAreRead) {
  UaSubscriptionServices services(open_session(server_->url()), parse_endpoint_url(server_->url()),
                                  quick_options());
  const ServerLimits limits = services.limits();
  EXPECT_EQ(limits.max_monitored_items_per_call, 100u);
  EXPECT_GT(limits.max_request_bytes, 0u);
  std::printf(
      "server limits: per call %u, subscriptions per session %u, items per subscription "
      "%u, request bytes %u\n",
      limits.max_monitored_items_per_call, limits.max_subscriptions_per_session,
      limits.max_monitored_items_per_subscription, limits.max_request_bytes);
  const auto started = services.server_start_time();
  ASSERT_TRUE(started);
  const auto age = std::chrono::system_clock::now() - from_date_time(*started);
  EXPECT_GT(age, 0s);
  EXPECT_LT(age, 1h);
  EXPECT_EQ(services.server_start_time(), started);
  EXPECT_FALSE(services.transfer_allowed());  // anonymous over security None
}

TEST_F(SubscribesOnTestServer, ServerDeletesTheLowestSubscriptionOnDemand) {
  auto session = open_session(server_->url());
  const auto first = session->create_subscription(fast_subscription());
  const auto second = session->create_subscription(fast_subscription());
  session->create_monitored_items(first.subscription_id, ramp_items(1));
  session->create_monitored_items(second.subscription_id, ramp_items(1));
  const PublishResponse seen = next_data(*session);
  drain(*session);
  // Subscriptions of the other tests are gone by now, so the first one here is the lowest.
  server_->delete_lowest_subscription();
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  std::uint32_t status = 0;
  while (status != kBadSubscriptionIdInvalid && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(100ms);
    try {
      session->republish(first.subscription_id, seen.message.sequence_number);
    } catch (const ServiceError& e) {
      status = e.status();
    }
  }
  EXPECT_EQ(status, kBadSubscriptionIdInvalid);
  // The other lives on.
  const auto deleted = session->delete_subscriptions(std::array{second.subscription_id});
  EXPECT_EQ(deleted.results[0], 0u);
}

// A server that refuses large CreateMonitoredItems calls without saying so, refuses transfers,
// and takes messages of 64 KiB at most, in 8 KiB chunks.
class SubscriptionsOnRefusingServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 200;
    options.reject_items_over = 500;
    options.no_transfer = true;
    options.max_message_size = 65536;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_NODE();
    ASSERT_TRUE(server_);
  }
  // Demo.Tag1.., Demo.Count1.., Demo.Random1..: 600 nodes.
  static std::vector<MonitoredItemToCreate> demo_items(std::size_t count) {
    std::vector<MonitoredItemToCreate> items;
    for (std::size_t k = 0; k < count; ++k) {
      const char* kind = k % 3 == 0 ? "Tag" : k % 3 == 1 ? "Count" : "Random";
      items.push_back(item(NodeId::string_id(kDemoNs, fmt::format("Demo.{}{}", kind, 1 + k / 3)),
                           static_cast<std::uint32_t>(k), 1));
    }
    return items;
  }
  static std::unique_ptr<UaTestServer> server_;
};
std::unique_ptr<UaTestServer> SubscriptionsOnRefusingServer::server_;

TEST_F(SubscriptionsOnRefusingServer, RefusesCallsBeyondAnUnstatedLimit) {
  UaSubscriptionServices services(open_session(server_->url()), parse_endpoint_url(server_->url()),
                                  quick_options());
  EXPECT_EQ(services.limits().max_monitored_items_per_call, 0u);
  const auto created = services.create_subscription(fast_subscription());
  const auto items = demo_items(501);
  EXPECT_EQ(
      service_error_of([&] { services.create_monitored_items(created.subscription_id, items); }),
      status::BadTooManyOperations);
  // 500 items travel in several chunks each way.
  const auto made =
      services.create_monitored_items(created.subscription_id, std::span(items).first(500));
  ASSERT_EQ(made.results.size(), 500u);
  EXPECT_TRUE(std::all_of(made.results.begin(), made.results.end(),
                          [](const auto& r) { return r.status == 0; }));
}

TEST_F(SubscriptionsOnRefusingServer, RefusesARequestTooLargeBeforeSendingIt) {
  UaSubscriptionServices services(open_session(server_->url()), parse_endpoint_url(server_->url()),
                                  quick_options());
  const ServerLimits limits = services.limits();
  EXPECT_LE(limits.max_request_bytes, 65536u);
  const auto created = services.create_subscription(fast_subscription());
  const auto items = demo_items(3000);
  EXPECT_EQ(
      service_error_of([&] { services.create_monitored_items(created.subscription_id, items); }),
      kBadRequestTooLarge);
  EXPECT_TRUE(services.session().usable());
  EXPECT_EQ(services.create_monitored_items(created.subscription_id, std::span(items).first(10))
                .results.size(),
            10u);
}

TEST_F(SubscriptionsOnRefusingServer, AnswersTransfersWithServiceUnsupported) {
  UaSubscriptionServices services(open_session(server_->url()), parse_endpoint_url(server_->url()),
                                  quick_options());
  const auto created = services.create_subscription(fast_subscription());
  EXPECT_EQ(service_error_of(
                [&] { services.transfer_subscriptions(std::array{created.subscription_id}); }),
            kBadServiceUnsupported);
  EXPECT_TRUE(services.session().usable());
}

// A server offering None and Basic256Sha256, to anonymous users and one named user.
class SubscriptionsAcrossReconnects : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 5;
    options.ramp = 5;
    options.policies = {"None", "Basic256Sha256"};
    options.users = {{"operator", "secret"}};
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_NODE();
    ASSERT_TRUE(server_);
  }
  // Anonymous over None, or the named user over a signed channel to a trusted server.
  SessionOptions options(bool signed_user) const {
    SessionOptions options = quick_options();
    if (!signed_user) return options;
    options.security.policy = UaSecurityPolicy::Basic256Sha256;
    options.security.mode = UaSecurityMode::Sign;
    options.security.username = "operator";
    options.security.password = "secret";
    options.security.pki_dir = (dir_.path() / "pki").string();
    const auto trusted = dir_.path() / "pki" / "trusted" / "certs";
    std::filesystem::create_directories(trusted);
    std::filesystem::copy_file(server_->certificate_der_path(), trusted / "server.der",
                               std::filesystem::copy_options::overwrite_existing);
    return options;
  }
  static std::unique_ptr<UaTestServer> server_;
  TempDir dir_{"kestrane-ua-subscriptions-"};
};
std::unique_ptr<UaTestServer> SubscriptionsAcrossReconnects::server_;

TEST_F(SubscriptionsAcrossReconnects, ActivatesTheSameSessionOnANewChannelAfterACut) {
  for (const bool signed_user : {false, true}) {
    SCOPED_TRACE(signed_user ? "signed user" : "anonymous over None");
    TcpTamperProxy proxy(server_->port());
    const auto url = parse_endpoint_url("opc.tcp://127.0.0.1:" + std::to_string(proxy.port()));
    UaSubscriptionServices services(nullptr, url, options(signed_user));
    const auto created = services.create_subscription(fast_subscription());
    services.create_monitored_items(created.subscription_id, ramp_items(2));
    const PublishResponse before = next_data(services.session(), 3);

    proxy.cut_connections();
    // The cut is a lost connection, not a refused service.
    try {
      while (services.publishes_outstanding() > 0) {
        (void)services.receive_publish(std::chrono::steady_clock::now() + 30s);
      }
      ADD_FAILURE() << "every answer arrived despite the cut";
    } catch (const ServiceError& e) {
      ADD_FAILURE() << "a service error: " << e.what();
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(services.session().usable());

    ASSERT_EQ(services.reconnect(), Reconnected::same_session);
    EXPECT_TRUE(services.session().usable());
    EXPECT_EQ(services.publishes_outstanding(), 0u);
    // What was not acknowledged is still there, and the numbers go on from where they were.
    EXPECT_EQ(services.republish(created.subscription_id, before.message.sequence_number)
                  .message.sequence_number,
              before.message.sequence_number);
    const PublishResponse after = next_data(services.session());
    EXPECT_EQ(after.subscription_id, created.subscription_id);
    EXPECT_GT(after.message.sequence_number, before.message.sequence_number);
    drain(services.session());
  }
}

TEST_F(SubscriptionsAcrossReconnects, RenewsTheTokenWhilePublishAnswersArrive) {
  // A clock that jumps past three quarters of the token's hour whenever the test says.
  auto skipped = std::make_shared<std::atomic<std::int64_t>>(0);
  SessionOptions encrypted = options(true);
  encrypted.security.mode = UaSecurityMode::SignAndEncrypt;
  encrypted.channel.clock = [skipped] {
    return std::chrono::steady_clock::now() + std::chrono::seconds(skipped->load());
  };
  auto session = open_session(server_->url(), encrypted);
  const std::uint32_t first_token = session->channel().token_id();
  const auto created = session->create_subscription(fast_subscription());
  session->create_monitored_items(created.subscription_id, ramp_items(3));
  std::uint32_t last = 0;
  for (int round = 0; round < 3; ++round) {
    // Answers to the requests still queued cross the renewal on the wire.
    const PublishResponse data = next_data(*session, 3);
    EXPECT_GT(data.message.sequence_number, last);
    last = data.message.sequence_number;
    skipped->fetch_add(3000);
    session->send_publish({}, 30s);
  }
  EXPECT_GE(session->channel().token_id(), first_token + 3);
  EXPECT_GT(next_data(*session, 3).message.sequence_number, last);
  EXPECT_TRUE(session->usable());
  drain(*session);
}

TEST_F(SubscriptionsAcrossReconnects, TransfersSubscriptionsToANewSessionOfTheSameUser) {
  const std::string url = server_->url();
  auto first = open_session(url, options(true));
  const auto created = first->create_subscription(fast_subscription());
  first->create_monitored_items(created.subscription_id, ramp_items(2));
  const PublishResponse before = next_data(*first);
  drain(*first);

  UaSubscriptionServices services(nullptr, parse_endpoint_url(url), options(true));
  EXPECT_TRUE(services.transfer_allowed());
  const auto moved = services.transfer_subscriptions(std::array{created.subscription_id});
  ASSERT_EQ(moved.results.size(), 1u);
  EXPECT_EQ(moved.results[0].status, 0u) << status_text(moved.results[0].status);
  const auto& available = moved.results[0].available_sequence_numbers;
  EXPECT_NE(std::find(available.begin(), available.end(), before.message.sequence_number),
            available.end());
  EXPECT_EQ(services.republish(created.subscription_id, before.message.sequence_number)
                .message.sequence_number,
            before.message.sequence_number);
  const PublishResponse after = next_data(services.session());
  EXPECT_EQ(after.subscription_id, created.subscription_id);
  EXPECT_GT(after.message.sequence_number, before.message.sequence_number);
  drain(services.session());
}

TEST_F(SubscriptionsAcrossReconnects, AnonymousSubscriptionsOverNoneStayWithTheirSession) {
  auto first = open_session(server_->url());
  const auto created = first->create_subscription(fast_subscription());
  UaSubscriptionServices services(nullptr, parse_endpoint_url(server_->url()), options(false));
  EXPECT_FALSE(services.transfer_allowed());
  // The server agrees: it refuses the subscription, not the call.
  const auto moved = services.transfer_subscriptions(std::array{created.subscription_id});
  ASSERT_EQ(moved.results.size(), 1u);
  EXPECT_EQ(severity(moved.results[0].status), Severity::Bad);
}

// A server that is killed and started again on the same port.
class SubscriptionsAcrossServerRestart : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_NODE(); }
};

TEST_F(SubscriptionsAcrossServerRestart, ReconnectOpensANewSessionWhenTheOldOneIsGone) {
  UaTestServer::Options options;
  options.tags = 5;
  options.ramp = 2;
  auto server = std::make_unique<UaTestServer>(options);
  const auto url = parse_endpoint_url(server->url());
  UaSubscriptionServices services(open_session(server->url()), url, quick_options());
  const auto started = services.server_start_time();
  const auto created = services.create_subscription(fast_subscription());
  services.create_monitored_items(created.subscription_id, ramp_items(1));
  (void)next_data(services.session());

  options.port = server->port();
  server->kill();
  EXPECT_THROW((void)services.receive_publish(std::chrono::steady_clock::now() + 30s),
               std::runtime_error);
  // While the server is down nothing can be reached.
  EXPECT_THROW(services.reconnect(), std::runtime_error);
  server = std::make_unique<UaTestServer>(options);
  ASSERT_EQ(services.reconnect(), Reconnected::new_session);
  EXPECT_NE(services.server_start_time(), started);
  // The new session starts afresh: the old subscription is not there, a new one works.
  EXPECT_EQ(service_error_of([&] { services.republish(created.subscription_id, 1); }),
            kBadSubscriptionIdInvalid);
  const auto again = services.create_subscription(fast_subscription());
  services.create_monitored_items(again.subscription_id, ramp_items(1));
  EXPECT_EQ(next_data(services.session()).subscription_id, again.subscription_id);
}

}  // namespace
