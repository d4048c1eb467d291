#include "ua_session.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include "journel/log.h"
#include "pki_store.h"
#include "status_code.h"

namespace pyqar::ua {
namespace {

// Deleting or moving a subscription is work for each of its items: for the time such a call
// may take, a subscription counts as this many.
constexpr std::size_t kItemsPerSubscription = 100;
// Paths per TranslateBrowsePathsToNodeIds where the server allows more: each answer stays
// small and quick whatever the server's limits.
constexpr std::size_t kMaxPathsPerTranslate = 1000;

}  // namespace

void report_security_at_start(const UaSecurity& security) {
  if (security.skip_hostname_check) {
    journel::get_logger("pyqar")->warn(
        "opc_skip_hostname_check is on: a server certificate need not name the host of the "
        "endpoint URL, so any server whose certificate is trusted (or issued by a trusted CA) "
        "can stand in for this one");
  }
  if (security.policy == UaSecurityPolicy::None) return;
  const PkiStore pki(security.pki_dir);
  pki.report_own_expiry(pki.own_identity(local_hostname()).certificate,
                        std::chrono::system_clock::now());
}

UaSession::UaSession(const EndpointUrl& url, SessionOptions options)
    : UaSession(prepare(url, std::move(options)), url) {}

UaSession::UaSession(Prepared prepared, const EndpointUrl& url)
    : options_(std::move(prepared.options)),
      link_(url, options_.channel),
      activation_(link_, {.requested_session_timeout_ms = options_.requested_session_timeout_ms,
                          .session_name = options_.session_name,
                          .security = options_.security,
                          .endpoint = std::move(prepared.endpoint),
                          .discovered = std::move(prepared.discovered)}),
      services_(link_),
      facts_(link_, services_) {
  activation_.create_and_activate();
  facts_.read_at_open();
}

UaSession::Prepared UaSession::prepare(const EndpointUrl& url, SessionOptions options) {
  const UaSecurity security = options.security;
  if (const std::string why = check_policy_and_mode(security.policy, security.mode); !why.empty()) {
    throw std::runtime_error(why);
  }
  Prepared prepared{.options = std::move(options), .endpoint = std::nullopt, .discovered = {}};
  if (security.policy == UaSecurityPolicy::None) return prepared;

  // The trust folders are read at every attempt, so a certificate the operator has just
  // trusted counts at the next reconnect.
  const PkiStore pki(security.pki_dir);
  auto own = std::make_shared<const ApplicationIdentity>(pki.own_identity(local_hostname()));
  const auto endpoints = get_endpoints(url, prepared.options.channel);
  const EndpointDescription& endpoint =
      choose_endpoint(endpoints, security.policy, security.mode, url.text);
  JudgedCertificate judged =
      judge_server_certificate(pki, endpoint.server_certificate, endpoint.server.application_uri,
                               expected_host(url, security));
  if (judged.verdict.kind != CertificateVerdict::Kind::Trusted) {
    throw std::runtime_error(judged.verdict.message);
  }
  prepared.options.channel.security = {
      .policy = security.policy,
      .mode = security.mode,
      .own = std::move(own),
      .server_certificate = std::move(judged.certificate),
      .own_certificate_path =
          (std::filesystem::path(security.pki_dir) / "own" / "certs" / "kestrane.der").string()};
  prepared.endpoint = endpoint;
  prepared.discovered = endpoints;
  return prepared;
}

UaSession::~UaSession() {
  if (usable()) {
    try {
      BinaryWriter w;
      encode_request(w, CloseSessionRequest{link_.header()});
      link_.channel().call(w.data());
    } catch (...) {
      // The channel is closed right after; a server that did not hear us drops the session
      // when it times out.
    }
  }
}

std::optional<std::uint16_t> UaSession::namespace_index(std::string_view uri) const {
  return facts_.namespace_index(uri);
}

bool UaSession::stale() const {
  return link_.channel().expired() ||
         link_.channel().now() >= link_.last_used() + activation_.session_timeout();
}

std::vector<DataValue> UaSession::read(std::span<const NodeId> nodes, std::uint32_t attribute_id) {
  return services_.read(nodes, attribute_id);
}

std::vector<BrowseResult> UaSession::browse(std::span<const NodeId> nodes,
                                            std::uint32_t max_references_per_node,
                                            const BrowseFilter& filter) {
  return services_.browse(nodes, max_references_per_node, filter);
}

std::vector<BrowseResult> UaSession::browse_next(std::span<const std::string> continuation_points,
                                                 bool release) {
  return services_.browse_next(continuation_points, release);
}

CreateSubscriptionResponse UaSession::create_subscription(
    const SubscriptionParameters& parameters) {
  return link_.call_service<CreateSubscriptionResponse>(
      CreateSubscriptionRequest{
          .header = link_.header(), .parameters = parameters, .publishing_enabled = true},
      "CreateSubscription");
}

ModifySubscriptionResponse UaSession::modify_subscription(
    std::uint32_t subscription_id, const SubscriptionParameters& parameters) {
  return link_.call_service<ModifySubscriptionResponse>(
      ModifySubscriptionRequest{
          .header = link_.header(), .subscription_id = subscription_id, .parameters = parameters},
      "ModifySubscription");
}

DeleteSubscriptionsResponse UaSession::delete_subscriptions(std::span<const std::uint32_t> ids) {
  auto response = link_.call_service<DeleteSubscriptionsResponse>(
      DeleteSubscriptionsRequest{.header = link_.header(), .subscription_ids = ids},
      "DeleteSubscriptions", ids.size() * kItemsPerSubscription);
  link_.check_count(response.results.size(), ids.size(), "DeleteSubscriptions");
  return response;
}

CreateMonitoredItemsResponse UaSession::create_monitored_items(
    std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) {
  auto response = link_.call_service<CreateMonitoredItemsResponse>(
      CreateMonitoredItemsRequest{
          .header = link_.header(), .subscription_id = subscription_id, .items = items},
      "CreateMonitoredItems", items.size());
  link_.check_count(response.results.size(), items.size(), "CreateMonitoredItems");
  return response;
}

DeleteMonitoredItemsResponse UaSession::delete_monitored_items(
    std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids) {
  auto response = link_.call_service<DeleteMonitoredItemsResponse>(
      DeleteMonitoredItemsRequest{.header = link_.header(),
                                  .subscription_id = subscription_id,
                                  .monitored_item_ids = monitored_item_ids},
      "DeleteMonitoredItems");
  link_.check_count(response.results.size(), monitored_item_ids.size(), "DeleteMonitoredItems");
  return response;
}

RepublishResponse UaSession::republish(std::uint32_t subscription_id,
                                       std::uint32_t sequence_number) {
  return link_.call_service<RepublishResponse>(
      RepublishRequest{.header = link_.header(),
                       .subscription_id = subscription_id,
                       .retransmit_sequence_number = sequence_number},
      "Republish");
}

TransferSubscriptionsResponse UaSession::transfer_subscriptions(std::span<const std::uint32_t> ids,
                                                                bool send_initial_values) {
  auto response = link_.call_service<TransferSubscriptionsResponse>(
      TransferSubscriptionsRequest{.header = link_.header(),
                                   .subscription_ids = ids,
                                   .send_initial_values = send_initial_values},
      "TransferSubscriptions", ids.size() * kItemsPerSubscription);
  link_.check_count(response.results.size(), ids.size(), "TransferSubscriptions");
  return response;
}

void UaSession::send_publish(std::span<const SubscriptionAcknowledgement> acknowledgements,
                             std::chrono::milliseconds timeout) {
  link_.check_usable();
  PublishRequest request{.header = link_.header(), .acknowledgements = acknowledgements};
  request.header.timeout_hint_ms = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(timeout.count(), 0, std::numeric_limits<std::uint32_t>::max()));
  link_.encode(request);
  link_.send_encoded(timeout);
}

std::optional<PublishResponse> UaSession::receive_publish(
    std::chrono::steady_clock::time_point deadline) {
  link_.check_usable();
  auto answer = link_.receive(deadline);
  if (!answer) return std::nullopt;
  return link_.checked<PublishResponse>(std::move(answer->response), "Publish");
}

CallOutcome UaSession::call(const CallMethodRequest& method, std::string_view name) {
  const auto response = link_.call_service<CallResponse>(
      CallRequest{.header = link_.header(),
                  .methods = std::span<const CallMethodRequest>(&method, 1)},
      "Call");
  return call_outcome(response, name);
}

std::vector<HistoryReadResult> UaSession::history_read(std::int64_t start_time,
                                                       std::int64_t end_time,
                                                       std::uint32_t values_per_node,
                                                       std::span<const HistoryNodeToRead> nodes,
                                                       bool release) {
  const auto call = [&] {
    auto response = link_.call_service<HistoryReadResponse>(
        HistoryReadRequest{.header = link_.header(),
                           .start_time = start_time,
                           .end_time = end_time,
                           .values_per_node = values_per_node,
                           .timestamps = history_timestamps_,
                           .release_continuation_points = release,
                           .nodes = nodes},
        "HistoryRead", nodes.size());
    // A release may come back without results.
    if (!(release && response.results.empty())) {
      link_.check_count(response.results.size(), nodes.size(), "HistoryRead");
    }
    return std::move(response.results);
  };
  const auto refused_both = [](const std::vector<HistoryReadResult>& results) {
    return !results.empty() &&
           std::all_of(results.begin(), results.end(), [](const HistoryReadResult& r) {
             return r.status == status::BadTimestampsToReturnInvalid;
           });
  };
  if (history_timestamps_ != kTimestampsBoth) return call();
  std::vector<HistoryReadResult> results;
  try {
    results = call();
    if (!refused_both(results)) return results;
  } catch (const ServiceError& e) {
    if (e.status() != status::BadTimestampsToReturnInvalid) throw;
  }
  journel::get_logger("pyqar")->info(
      "OPC UA server at {} refuses history with both source and server times: reading source "
      "times alone",
      link_.url().text);
  history_timestamps_ = kTimestampsSource;
  return call();
}

std::vector<BrowsePathResult> UaSession::translate_browse_paths(std::span<const BrowsePath> paths) {
  link_.check_usable();
  const std::uint32_t limit = facts_.max_nodes_per_translate();
  const std::size_t step =
      limit == 0 ? kMaxPathsPerTranslate : std::min<std::size_t>(limit, kMaxPathsPerTranslate);
  std::vector<BrowsePathResult> out;
  out.reserve(paths.size());
  for (std::size_t start = 0; start < paths.size(); start += step) {
    const auto chunk = paths.subspan(start, std::min(step, paths.size() - start));
    auto response = link_.call_service<TranslateBrowsePathsResponse>(
        TranslateBrowsePathsRequest{.header = link_.header(), .paths = chunk},
        "TranslateBrowsePathsToNodeIds", chunk.size());
    link_.check_count(response.results.size(), chunk.size(), "TranslateBrowsePathsToNodeIds");
    std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
  }
  return out;
}

ServerLimits UaSession::subscription_limits() { return facts_.subscription_limits(); }

std::optional<std::int64_t> UaSession::server_start_time() { return facts_.server_start_time(); }

void UaSession::reactivate() {
  link_.reopen();
  activation_.activate();
}

}  // namespace pyqar::ua
