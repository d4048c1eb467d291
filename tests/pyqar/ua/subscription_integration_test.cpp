// The subscription services of the OPC UA session against the real node-opcua test server
// (tools/ua-test-server): every service round trip, queued Publish requests, Republish,
// limits and refusals, reactivation after a cut connection, token renewal, transfer to a new
// session, and a new session after a server restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
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
#include "ua/ua_source.h"
#include "ua/ua_subscription_services.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::TcpTamperProxy;
using kestrane_test::TempDir;
using kestrane_test::UaTestServer;
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

// Takes the answers to the Publish requests still outstanding.
void drain(UaSession& session) {
  while (session.publishes_outstanding() > 0) {
    (void)session.receive_publish(std::chrono::steady_clock::now() + 30s);
  }
}

// One node-opcua server per suite (starting one takes seconds), set up by Configure.
template <typename Configure>
class WithServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 5;
    Configure{}(options);
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    SKIP_WITHOUT_NODE();
    ASSERT_TRUE(server_);
  }
  UaSubscriptionServices services(const SessionOptions& options = quick_options()) {
    return UaSubscriptionServices(nullptr, parse_endpoint_url(server_->url()), options);
  }
  static inline std::unique_ptr<UaTestServer> server_;
};

struct SubscribesOnTestServerSetup {
  void operator()(UaTestServer::Options& options) const {
    options.ramp = 10;
    options.max_monitored_items_per_call = 100;
  }
};
using SubscribesOnTestServer = WithServer<SubscribesOnTestServerSetup>;

TEST_F(SubscribesOnTestServer, EveryServiceRoundTrips) {
  auto session = open_session(server_->url());
  const auto created = session->create_subscription(fast_subscription());
  ASSERT_NE(created.subscription_id, 0u);
  EXPECT_GE(created.revised_lifetime_count, 3 * created.revised_max_keep_alive_count);

  // Three ramps, a static variable, an unknown node, a ramp behind a deadband no step crosses.
  auto items = ramp_items(3);
  items.push_back(item(NodeId::string_id(kDemoNs, "Ramp.Static"), 50));
  items.push_back(item(NodeId::string_id(kDemoNs, "No.Such.Node"), 60));
  items.push_back(item(ramp(4), 4));
  items.back().filter = DataChangeFilter{.deadband_type = kDeadbandAbsolute, .deadband_value = 1e6};
  const auto made = session->create_monitored_items(created.subscription_id, items);
  ASSERT_EQ(made.results.size(), items.size());
  for (int i : {0, 1, 2, 3, 5}) EXPECT_EQ(made.results[i].status, 0u) << i;
  EXPECT_EQ(made.results[4].status, status::BadNodeIdUnknown);

  std::map<std::uint32_t, std::vector<double>> seen;
  std::vector<SubscriptionAcknowledgement> acks;
  while (seen[1].size() < 6) {
    auto answer = next_data(*session, 3, acks);
    ASSERT_EQ(answer.subscription_id, created.subscription_id);
    acks = {{created.subscription_id, answer.message.sequence_number}};
    for (const auto& change : answer.message.data_changes) {
      ASSERT_TRUE(change.value.value && change.value.source_timestamp) << change.client_handle;
      seen[change.client_handle].push_back(std::get<double>(change.value.value->scalar));
    }
  }
  for (std::uint32_t handle : {1u, 2u, 3u}) {
    EXPECT_TRUE(std::is_sorted(seen[handle].begin(), seen[handle].end())) << handle;
  }
  EXPECT_EQ(seen[50], std::vector<double>{42});
  EXPECT_EQ(seen[4].size(), 1u);
  EXPECT_FALSE(seen.contains(60));

  EXPECT_GT(session->modify_subscription(created.subscription_id, {.publishing_interval_ms = 250})
                .revised_publishing_interval_ms,
            0);
  drain(*session);
  const auto deleted = session->delete_subscriptions(
      std::array{created.subscription_id, created.subscription_id + 1000});
  EXPECT_EQ(deleted.results, (std::vector<std::uint32_t>{0, kBadSubscriptionIdInvalid}));
}

TEST_F(SubscribesOnTestServer, QueuedPublishAnswersAndRepublishedMessages) {
  auto session = open_session(server_->url());
  const auto created = session->create_subscription(fast_subscription());
  session->create_monitored_items(created.subscription_id, ramp_items(3));
  // Nothing outstanding: nothing to wait for.
  EXPECT_FALSE(session->receive_publish(std::chrono::steady_clock::now() + 30s));
  for (int i = 0; i < 4; ++i) session->send_publish({}, 30s);
  // Reads while the server holds the requests; the answers it sends meanwhile are kept.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(session->read(std::array{ramp(1)})[0].value);
    std::this_thread::sleep_for(150ms);
  }
  EXPECT_EQ(session->publishes_outstanding(), 4u);

  // Nothing acknowledged: the messages are numbered one after the other and all kept.
  std::vector<PublishResponse> data;
  while (session->publishes_outstanding() > 0) {
    auto answer = session->receive_publish(std::chrono::steady_clock::now() + 30s);
    ASSERT_TRUE(answer);
    if (!answer->message.data_changes.empty()) data.push_back(std::move(*answer));
  }
  ASSERT_GE(data.size(), 2u);
  for (std::size_t k = 1; k < data.size(); ++k) {
    EXPECT_EQ(data[k].message.sequence_number, data[k - 1].message.sequence_number + 1);
  }
  const auto& kept = data.back().available_sequence_numbers;
  EXPECT_NE(std::find(kept.begin(), kept.end(), data[0].message.sequence_number), kept.end());

  const std::uint32_t number = data[0].message.sequence_number;
  const auto again = session->republish(created.subscription_id, number);
  EXPECT_EQ(again.message.sequence_number, number);
  ASSERT_EQ(again.message.data_changes.size(), data[0].message.data_changes.size());
  EXPECT_EQ(again.message.data_changes[0].value.source_timestamp,
            data[0].message.data_changes[0].value.source_timestamp);
  // Once acknowledged, the server lets it go; a number never sent was never there.
  session->send_publish(std::array{SubscriptionAcknowledgement{created.subscription_id, number}},
                        30s);
  const auto acked = session->receive_publish(std::chrono::steady_clock::now() + 30s);
  ASSERT_TRUE(acked);
  EXPECT_EQ(acked->results, std::vector<std::uint32_t>{0});
  for (std::uint32_t gone : {number, number + 1000}) {
    EXPECT_EQ(service_error_of([&] { session->republish(created.subscription_id, gone); }),
              kBadMessageNotAvailable);
  }
  EXPECT_TRUE(session->usable());
}

TEST_F(SubscribesOnTestServer, LimitsAreReadAndRefusalsLeaveTheSessionUsable) {
  auto services = this->services();
  const ServerLimits limits = services.limits();
  EXPECT_EQ(limits.max_monitored_items_per_call, 100u);
  // node-opcua's defaults, found by browsing ServerCapabilities.
  EXPECT_EQ(limits.max_subscriptions_per_session, 10u);
  EXPECT_EQ(limits.max_monitored_items_per_subscription, 100'000u);
  EXPECT_GT(limits.max_request_bytes, 0u);
  const auto started = services.server_start_time();
  ASSERT_TRUE(started);
  EXPECT_LT(std::chrono::system_clock::now() - from_date_time(*started), 1h);
  EXPECT_FALSE(services.transfer_allowed());  // anonymous over security None

  const auto created = services.create_subscription(fast_subscription());
  const std::uint32_t unknown = created.subscription_id + 1000;
  EXPECT_EQ(service_error_of([&] { services.republish(unknown, 1); }), kBadSubscriptionIdInvalid);
  EXPECT_EQ(service_error_of([&] { services.create_monitored_items(unknown, ramp_items(1)); }),
            kBadSubscriptionIdInvalid);
  // Beyond the advertised limit the whole call is refused; at it, taken.
  std::vector<MonitoredItemToCreate> items;
  for (std::uint32_t n = 0; n < 101; ++n) items.push_back(item(ramp(1 + n % 10), n));
  EXPECT_EQ(
      service_error_of([&] { services.create_monitored_items(created.subscription_id, items); }),
      status::BadTooManyOperations);
  EXPECT_EQ(services.create_monitored_items(created.subscription_id, std::span(items).first(100))
                .results.size(),
            100u);
  EXPECT_TRUE(services.session().usable());
}

TEST_F(SubscribesOnTestServer, ServerDeletesTheLowestSubscriptionOnDemand) {
  auto session = open_session(server_->url());
  const auto first = session->create_subscription(fast_subscription());
  const auto second = session->create_subscription(fast_subscription());
  // The other tests' sessions deleted theirs when they closed, so `first` is the lowest.
  server_->delete_lowest_subscription();
  std::uint32_t status = 0;
  for (int tries = 0; status != kBadSubscriptionIdInvalid && tries < 300; ++tries) {
    std::this_thread::sleep_for(100ms);
    try {
      session->republish(first.subscription_id, 1);
    } catch (const ServiceError& e) {
      status = e.status();
    }
  }
  EXPECT_EQ(status, kBadSubscriptionIdInvalid);
  EXPECT_EQ(session->delete_subscriptions(std::array{second.subscription_id}).results[0], 0u);
}

// Refuses CreateMonitoredItems calls of more than 500 items without saying so, refuses
// transfers, and takes messages of 64 KiB at most, in 8 KiB chunks.
// Ramp.K sampled as fast as the server can, with room for every change of an outage.
pyqar::MonitoredTag ramp_tag(int n) {
  return {
      .tag = {.data_type = 8, .namespace_index = kDemoNs, .tag_name = "Ramp." + std::to_string(n)},
      .settings = {.sampling_interval_ms = 0, .queue_size = 1000}};
}

// What a source delivers, by tag name, polled (and resumed after a failure) for `duration`.
struct Delivered {
  std::map<std::string, std::vector<double>> values;
  std::uint64_t recreations = 0;
  int failures = 0;
  // By tag name, the positions in `values` of the values marked after_gap.
  std::map<std::string, std::vector<std::size_t>> gaps;

  void poll_for(UaSource& source, const std::vector<std::string>& names,
                std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
      try {
        const pyqar::SubscriptionUpdate u = source.poll(100ms);
        for (const auto& c : u.changes) {
          std::vector<double>& ramp = values[names.at(c.tag_index)];
          if (c.after_gap) gaps[names.at(c.tag_index)].push_back(ramp.size());
          ramp.push_back(std::get<double>(c.value.value));
        }
        recreations += u.recreations;
        source.acknowledge(u.ack_token);
      } catch (const std::runtime_error&) {
        ++failures;
        std::this_thread::sleep_for(200ms);
      }
    }
  }
};

// Every change of a ramp, once: each value one more than the one before.
void expect_every_step(const std::vector<double>& ramp, const std::string& name) {
  ASSERT_GT(ramp.size(), 5u) << name;
  for (std::size_t k = 1; k < ramp.size(); ++k) {
    if (ramp[k] != ramp[k - 1] + 1) {
      ADD_FAILURE() << name << ": " << ramp[k - 1] << " followed by " << ramp[k];
      return;
    }
  }
}

// Anonymous over security None, with a session that asked to be kept only 2 s for reading:
// subscribing asks for the subscriptions' lifetime, so a cut of 5 s resumes the same session
// and every change of the outage arrives.
TEST_F(SubscribesOnTestServer, ASubscribingSessionOutlastsACut) {
  TcpTamperProxy proxy(server_->port());
  SessionOptions options = quick_options();
  options.requested_session_timeout_ms = 2000;
  UaSource source("opc.tcp://127.0.0.1:" + std::to_string(proxy.port()), options);
  source.subscribe({ramp_tag(1)}, {.publishing_interval_ms = 100});
  Delivered delivered;
  delivered.poll_for(source, {"Ramp.1"}, 1s);

  proxy.set_refusing(true);
  proxy.cut_connections();
  delivered.poll_for(source, {"Ramp.1"}, 5s);
  proxy.set_refusing(false);
  delivered.poll_for(source, {"Ramp.1"}, 3s);

  EXPECT_GT(delivered.failures, 0);
  EXPECT_EQ(delivered.recreations, 0u);
  EXPECT_TRUE(source.valid());
  // 9 s of a change every 50 ms, none missing.
  EXPECT_GT(delivered.values["Ramp.1"].size(), 150u);
  expect_every_step(delivered.values["Ramp.1"], "Ramp.1");
  EXPECT_TRUE(delivered.gaps.empty());  // nothing lost, nothing for history to fill
}

// A new tag list keeps the items of the tags that stay: their changes go on without a gap or
// a repeated initial value, the removed tag delivers nothing more, the new one starts.
TEST_F(SubscribesOnTestServer, ANewTagListKeepsTheItemsThatStay) {
  UaSource source(server_->url(), quick_options());
  const std::vector<std::string> before{"Ramp.1", "Ramp.2", "Ramp.3"};
  source.subscribe({ramp_tag(1), ramp_tag(2), ramp_tag(3)}, {.publishing_interval_ms = 100});
  Delivered delivered;
  delivered.poll_for(source, before, 1s);
  const std::size_t ramp1 = delivered.values["Ramp.1"].size();

  const std::vector<std::string> after{"Ramp.4", "Ramp.3", "Ramp.2"};
  source.subscribe({ramp_tag(4), ramp_tag(3), ramp_tag(2)}, {.publishing_interval_ms = 100});
  EXPECT_EQ(source.subscription_status().subscriptions, 1u);
  EXPECT_EQ(source.subscription_status().items_ok, 3u);
  delivered.poll_for(source, after, 1500ms);

  EXPECT_EQ(delivered.failures, 0);
  EXPECT_EQ(delivered.recreations, 0u);
  expect_every_step(delivered.values["Ramp.2"], "Ramp.2");
  expect_every_step(delivered.values["Ramp.3"], "Ramp.3");
  expect_every_step(delivered.values["Ramp.4"], "Ramp.4");
  EXPECT_EQ(delivered.values["Ramp.1"].size(), ramp1);
}

struct SubscriptionsOnRefusingServerSetup {
  void operator()(UaTestServer::Options& options) const {
    options.tags = 1000;
    options.reject_items_over = 500;
    options.no_transfer = true;
    options.max_message_size = 65536;
  }
};
using SubscriptionsOnRefusingServer = WithServer<SubscriptionsOnRefusingServerSetup>;

TEST_F(SubscriptionsOnRefusingServer, RefusalsAreServiceErrorsAndTheSessionGoesOn) {
  auto services = this->services();
  EXPECT_EQ(services.limits().max_monitored_items_per_call, 0u);
  EXPECT_LE(services.limits().max_request_bytes, 65536u);
  const auto created = services.create_subscription(fast_subscription());
  std::vector<MonitoredItemToCreate> items;
  for (std::uint32_t n = 1; n <= 3000; ++n) {
    items.push_back(item(NodeId::string_id(kDemoNs, fmt::format("Demo.Tag{}", n % 1000 + 1)), n));
  }
  const auto call = [&](std::size_t count) {
    return service_error_of([&] {
      services.create_monitored_items(created.subscription_id, std::span(items).first(count));
    });
  };
  EXPECT_EQ(call(3000), kBadRequestTooLarge);  // refused before it was sent
  EXPECT_EQ(call(501), status::BadTooManyOperations);
  EXPECT_EQ(service_error_of(
                [&] { services.transfer_subscriptions(std::array{created.subscription_id}); }),
            kBadServiceUnsupported);
  // 500 items travel in several chunks each way.
  const auto made =
      services.create_monitored_items(created.subscription_id, std::span(items).first(500));
  EXPECT_TRUE(std::all_of(made.results.begin(), made.results.end(),
                          [](const auto& r) { return r.status == 0; }));
}

// Offers None and Basic256Sha256, to anonymous users and one named user.
struct SubscriptionsAcrossReconnectsSetup {
  void operator()(UaTestServer::Options& options) const {
    options.ramp = 5;
    options.policies = {"None", "Basic256Sha256"};
    options.users = {{"operator", "secret"}};
  }
};
using SubscriptionsAcrossReconnects = WithServer<SubscriptionsAcrossReconnectsSetup>;

// Anonymous over None, or the named user over a signed channel to a trusted server.
SessionOptions options_for(bool signed_user, const TempDir& dir, const UaTestServer& server) {
  SessionOptions options = quick_options();
  if (!signed_user) return options;
  options.security = {.policy = UaSecurityPolicy::Basic256Sha256,
                      .mode = UaSecurityMode::Sign,
                      .username = "operator",
                      .password = "secret",
                      .pki_dir = (dir.path() / "pki").string()};
  const auto trusted = dir.path() / "pki" / "trusted" / "certs";
  std::filesystem::create_directories(trusted);
  std::filesystem::copy_file(server.certificate_der_path(), trusted / "server.der",
                             std::filesystem::copy_options::overwrite_existing);
  return options;
}

TEST_F(SubscriptionsAcrossReconnects, ActivatesTheSameSessionOnANewChannelAfterACut) {
  const TempDir dir("kestrane-ua-subscriptions-");
  for (const bool signed_user : {false, true}) {
    SCOPED_TRACE(signed_user ? "signed user" : "anonymous over None");
    TcpTamperProxy proxy(server_->port());
    UaSubscriptionServices services(
        nullptr, parse_endpoint_url("opc.tcp://127.0.0.1:" + std::to_string(proxy.port())),
        options_for(signed_user, dir, *server_));
    const auto created = services.create_subscription(fast_subscription());
    services.create_monitored_items(created.subscription_id, ramp_items(2));
    const PublishResponse before = next_data(services.session(), 3);

    proxy.cut_connections();
    // The cut is a lost connection, not a refused service.
    try {
      drain(services.session());
      ADD_FAILURE() << "every answer arrived despite the cut";
    } catch (const ServiceError& e) {
      ADD_FAILURE() << "a service error: " << e.what();
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(services.session().usable());
    ASSERT_EQ(services.reconnect(), Reconnected::same_session);
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
  const TempDir dir("kestrane-ua-subscriptions-");
  // A clock that jumps past three quarters of the token's hour whenever the test says.
  auto skipped = std::make_shared<std::atomic<std::int64_t>>(0);
  SessionOptions encrypted = options_for(true, dir, *server_);
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
    *skipped += 3000;
    session->send_publish({}, 30s);
  }
  EXPECT_GE(session->channel().token_id(), first_token + 3);
  EXPECT_GT(next_data(*session, 3).message.sequence_number, last);
  drain(*session);
}

TEST_F(SubscriptionsAcrossReconnects, TransfersOnlyToASessionOfTheSameSignedUser) {
  const TempDir dir("kestrane-ua-subscriptions-");
  for (const bool signed_user : {true, false}) {
    SCOPED_TRACE(signed_user ? "signed user" : "anonymous over None");
    const SessionOptions options = options_for(signed_user, dir, *server_);
    auto first = open_session(server_->url(), options);
    const auto created = first->create_subscription(fast_subscription());
    first->create_monitored_items(created.subscription_id, ramp_items(2));
    const PublishResponse before = next_data(*first);
    drain(*first);

    auto services = this->services(options);
    EXPECT_EQ(services.transfer_allowed(), signed_user);
    const auto moved = services.transfer_subscriptions(std::array{created.subscription_id});
    ASSERT_EQ(moved.results.size(), 1u);
    if (!signed_user) {
      // The server agrees: it refuses the subscription, not the call.
      EXPECT_EQ(severity(moved.results[0].status), Severity::Bad);
      continue;
    }
    EXPECT_EQ(moved.results[0].status, 0u) << status_text(moved.results[0].status);
    const auto& available = moved.results[0].available_sequence_numbers;
    EXPECT_NE(std::find(available.begin(), available.end(), before.message.sequence_number),
              available.end());
    const PublishResponse after = next_data(services.session());
    EXPECT_EQ(after.subscription_id, created.subscription_id);
    EXPECT_GT(after.message.sequence_number, before.message.sequence_number);
    drain(services.session());
  }
}

TEST(SubscriptionsAcrossServerRestart, ReconnectOpensANewSessionWhenTheOldOneIsGone) {
  SKIP_WITHOUT_NODE();
  UaTestServer::Options options;
  options.tags = 5;
  options.ramp = 2;
  auto server = std::make_unique<UaTestServer>(options);
  UaSubscriptionServices services(nullptr, parse_endpoint_url(server->url()), quick_options());
  const auto started = services.server_start_time();
  const auto created = services.create_subscription(fast_subscription());
  services.create_monitored_items(created.subscription_id, ramp_items(1));
  (void)next_data(services.session());

  options.port = server->port();
  server->kill();
  // Answers that came before the kill may still be read; one asked for now never comes.
  EXPECT_THROW(
      {
        services.session().send_publish({}, 30s);
        drain(services.session());
      },
      std::runtime_error);
  // While the server is down nothing can be reached; the old session is kept for later.
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

// What changed while the server was down is lost with it: each tag's first value from the
// recreated items is marked for history, and no other.
TEST(SubscriptionsAcrossServerRestart, EachTagsFirstValueAfterARestartIsMarkedAfterGap) {
  SKIP_WITHOUT_NODE();
  UaTestServer::Options options;
  options.ramp = 2;
  auto server = std::make_unique<UaTestServer>(options);
  UaSource source(server->url(), quick_options());
  const std::vector<std::string> names{"Ramp.1", "Ramp.2"};
  source.subscribe({ramp_tag(1), ramp_tag(2)}, {.publishing_interval_ms = 100});
  Delivered delivered;
  delivered.poll_for(source, names, 1s);
  std::map<std::string, std::size_t> before;
  for (const std::string& name : names) before[name] = delivered.values[name].size();
  ASSERT_GT(before["Ramp.1"], 0u);

  options.port = server->port();
  server->kill();
  delivered.poll_for(source, names, 1s);
  server = std::make_unique<UaTestServer>(options);
  delivered.poll_for(source, names, 3s);

  EXPECT_GT(delivered.failures, 0);
  EXPECT_GT(delivered.recreations, 0u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(delivered.gaps[name].size(), 1u);
    EXPECT_GE(delivered.gaps[name][0], before[name]);
    EXPECT_GT(delivered.values[name].size(), delivered.gaps[name][0] + 5);
  }
}

// Sets an environment variable for the servers started while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
  ~ScopedEnv() { ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

// A busy server answers a large CreateMonitoredItems call later than the usual request time:
// the call's time grows with its items, so every item is created and the session goes on.
TEST(SlowItemCreation, ALargeCallHasTimeForItsItems) {
  SKIP_WITHOUT_NODE();
  std::unique_ptr<UaTestServer> server;
  {
    const ScopedEnv slow("UA_TEST_SLOW_CREATE_ITEMS", "50:2500");
    UaTestServer::Options options;
    options.tags = 300;
    server = std::make_unique<UaTestServer>(options);
  }
  SessionOptions options;
  options.channel.request_timeout = 1s;
  UaSubscriptionServices services(nullptr, parse_endpoint_url(server->url()), options);
  const auto created = services.create_subscription(fast_subscription());
  std::vector<MonitoredItemToCreate> items;
  for (std::uint32_t n = 1; n <= 300; ++n)
    items.push_back(item(NodeId::string_id(kDemoNs, fmt::format("Demo.Tag{}", n)), n));
  const auto made = services.create_monitored_items(created.subscription_id, items);
  ASSERT_EQ(made.results.size(), 300u);
  EXPECT_TRUE(std::all_of(made.results.begin(), made.results.end(),
                          [](const auto& r) { return severity(r.status) == Severity::Good; }));
  EXPECT_EQ(services.delete_subscriptions(std::array{created.subscription_id}).results[0], 0u);
}

}  // namespace
