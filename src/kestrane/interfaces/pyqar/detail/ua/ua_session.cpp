#include "ua_session.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <utility>

#include <openssl/crypto.h>

#include <fmt/format.h>

#include "journel/log.h"
#include "status_code.h"

namespace pyqar::ua {
namespace {

// ServerCapabilities.OperationLimits.MaxNodesPerRead and MaxNodesPerBrowse.
constexpr std::uint32_t kMaxNodesPerReadNode = 11705;
constexpr std::uint32_t kMaxNodesPerBrowseNode = 11710;
// Server.NamespaceArray
constexpr std::uint32_t kNamespaceArrayNode = 2255;
// Server.ServerCapabilities, whose newer limits are found by name, and ServerStatus.StartTime.
constexpr std::uint32_t kServerCapabilitiesNode = 2268;
constexpr std::uint32_t kStartTimeNode = 2257;
constexpr char kMaxSubscriptionsPerSession[] = "MaxSubscriptionsPerSession";
constexpr char kMaxMonitoredItemsPerSubscription[] = "MaxMonitoredItemsPerSubscription";

constexpr std::uint32_t kBadRequestTooLarge = 0x80B80000;
constexpr std::uint32_t kBadSecureChannelClosed = 0x80860000;

// Results that say the session (or its channel) is gone: only a reconnect helps.
bool session_lost(std::uint32_t status) {
  switch (status) {
    case status::BadSessionIdInvalid:
    case status::BadSessionClosed:
    case status::BadSessionNotActivated:
    case status::BadSecureChannelIdInvalid:
    case kBadSecureChannelClosed:
      return true;
    default:
      return false;
  }
}

bool readable(const DataValue& v) {
  return v.value && severity(v.status.value_or(0)) != Severity::Bad;
}

std::uint32_t limit_of(const DataValue& v) {
  if (!readable(v)) return 0;
  if (const auto* n = std::get_if<std::uint64_t>(&v.value->scalar)) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(*n, UINT32_MAX));
  }
  return 0;
}

// The nonces of the session handshake, ours and (at least) the server's.
constexpr std::size_t kSessionNonceSize = 32;

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
      endpoint_(std::move(prepared.endpoint)),
      discovered_(std::move(prepared.discovered)),
      url_(url),
      channel_(std::make_unique<SecureChannel>(url, options_.channel)) {
  create_and_activate();
  read_server_facts();
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
      encode_request(w, CloseSessionRequest{channel_->make_header(authentication_token_)});
      channel_->call(w.data());
    } catch (...) {
      // The channel is closed right after; a server that did not hear us drops the session
      // when it times out.
    }
  }
  usable_ = false;
  channel_->close();
}

template <typename Response, typename Request>
Response UaSession::call(const Request& request, const char* service) {
  request_ = BinaryWriter();
  encode_request(request_, request);
  return call_encoded<Response>(service);
}

template <typename Response>
Response UaSession::call_encoded(const char* service) {
  ServiceResponse response = channel_->call(request_.data());
  last_used_ = channel_->now();
  const std::uint32_t result = header_of(response).service_result;
  if (std::holds_alternative<ServiceFault>(response) || severity(result) == Severity::Bad) {
    usable_ = false;
    throw std::runtime_error(
        fmt::format("{} on {} failed: {}", service, channel_->url().text, status_text(result)));
  }
  auto* typed = std::get_if<Response>(&response);
  if (typed == nullptr) {
    usable_ = false;
    throw std::runtime_error(fmt::format("{} on {}: the server sent a response of another service",
                                         service, channel_->url().text));
  }
  return std::move(*typed);
}

void UaSession::create_and_activate() {
  const std::string& url = channel_->url().text;
  const ChannelSecurity& security = channel_->crypto().security();
  const bool secured = channel_->crypto().secured();
  CreateSessionRequest request;
  request.header = channel_->make_header();
  request.endpoint_url = url;
  request.session_name = options_.session_name;
  request.client_nonce = random_bytes(kSessionNonceSize);
  request.requested_timeout_ms = options_.requested_session_timeout_ms;
  if (secured) {
    // The ApplicationUri must be the one in the certificate the channel was opened with.
    request.application_uri = security.own->application_uri;
    request.client_certificate = security.own->certificate.der();
  }
  auto created = call<CreateSessionResponse>(request, "CreateSession");
  authentication_token_ = created.authentication_token;
  session_timeout_ = std::chrono::milliseconds(static_cast<std::int64_t>(
      created.revised_timeout_ms > 0 ? created.revised_timeout_ms
                                     : options_.requested_session_timeout_ms));

  if (secured) {
    check_created(created);
    // The server proves it holds the key of the certificate we trusted.
    std::vector<std::uint8_t> signed_by_server = request.client_certificate;
    signed_by_server.insert(signed_by_server.end(), request.client_nonce.begin(),
                            request.client_nonce.end());
    if (!channel_->crypto().policy().verify(security.server_certificate->public_key(),
                                            signed_by_server, created.server_signature.signature)) {
      usable_ = false;
      throw std::runtime_error(fmt::format(
          "server at {} did not prove it holds its certificate's key (CreateSession signature "
          "is wrong)",
          url));
    }
  }
  created_ = std::move(created);
  activate();
}

void UaSession::activate() {
  const ChannelSecurity& security = channel_->crypto().security();
  ActivateSessionRequest activate;
  activate.header = channel_->make_header(authentication_token_);
  if (channel_->crypto().secured()) {
    // We prove we hold our key, over the server's newest nonce.
    const SecurityPolicy& policy = channel_->crypto().policy();
    std::vector<std::uint8_t> signed_by_us = security.server_certificate->der();
    signed_by_us.insert(signed_by_us.end(), created_.server_nonce.begin(),
                        created_.server_nonce.end());
    activate.client_signature = {
        .algorithm = std::string(policy.signature_algorithm_uri()),
        .signature = policy.sign(security.own->private_key.get(), signed_by_us)};
  }

  const std::vector<EndpointDescription> offered =
      endpoint_ ? std::vector<EndpointDescription>{*endpoint_} : created_.endpoints;
  if (options_.security.username.empty() && offered.empty()) {
    activate.policy_id = "anonymous";  // a server that lists no endpoints takes the usual id
  } else {
    const UserTokenPolicy& policy = token_policy(offered);
    activate.policy_id = policy.policy_id;
    if (!options_.security.username.empty()) fill_identity(activate, policy, created_);
  }
  try {
    auto activated = call<ActivateSessionResponse>(activate, "ActivateSession");
    // The next activation (on a new channel) signs the nonce this answer brought.
    if (!activated.server_nonce.empty()) created_.server_nonce = std::move(activated.server_nonce);
  } catch (const std::runtime_error& e) {
    if (options_.security.username.empty()) throw;
    throw std::runtime_error(
        fmt::format("user '{}' was not accepted: {}", options_.security.username, e.what()));
  }
  usable_ = true;
}

void UaSession::check_created(const CreateSessionResponse& created) {
  const std::string& url = channel_->url().text;
  const auto refuse = [this](std::string message) {
    usable_ = false;
    throw std::runtime_error(std::move(message));
  };
  // A short nonce makes the signature we send over it guessable, and so replayable.
  if (created.server_nonce.size() < kSessionNonceSize) {
    refuse(fmt::format(
        "server at {} sent a CreateSession nonce of {} bytes; at least {} are needed on a "
        "secured channel",
        url, created.server_nonce.size(), kSessionNonceSize));
  }
  const Certificate& certificate = *channel_->crypto().security().server_certificate;
  if (!created.server_certificate.empty() &&
      !same_certificate(created.server_certificate, certificate.der())) {
    refuse(
        fmt::format("server at {} answered CreateSession with another certificate than the one its "
                    "endpoint and secure channel use (thumbprint {})",
                    url, certificate.sha1_hex()));
  }
  // The endpoints GetEndpoints listed came over a channel without security: the same list in
  // the secured session answer shows nobody took the better ones away.
  if (const std::string change = compare_endpoints(discovered_, created.endpoints);
      !change.empty()) {
    refuse(fmt::format(
        "server at {} lists other endpoints in CreateSession than in GetEndpoints ({}); a "
        "security downgrade is possible, so the session is refused",
        url, change));
  }
  const std::string uri = certificate.application_uri();
  for (const auto& endpoint : created.endpoints) {
    const std::string& described = endpoint.server.application_uri;
    if (!described.empty() && described != uri) {
      refuse(fmt::format(
          "server at {} describes itself in CreateSession as \"{}\" but its certificate "
          "(thumbprint {}) names the application URI \"{}\"",
          url, described, certificate.sha1_hex(), uri));
    }
  }
}

const UserTokenPolicy& UaSession::token_policy(
    const std::vector<EndpointDescription>& endpoints) const {
  const std::string& url = channel_->url().text;
  const bool anonymous = options_.security.username.empty();
  const std::int32_t wanted = anonymous ? kUserTokenAnonymous : kUserTokenUserName;
  const auto policy_uri_wanted = policy_uri(options_.security.policy);
  const auto mode_wanted = static_cast<std::int32_t>(options_.security.mode);
  bool endpoint_offered = false;
  for (const auto& endpoint : endpoints) {
    if (endpoint.security_policy_uri != policy_uri_wanted ||
        endpoint.security_mode != mode_wanted) {
      continue;
    }
    endpoint_offered = true;
    for (const auto& policy : endpoint.user_identity_tokens) {
      if (policy.token_type == wanted) return policy;
    }
  }
  if (!endpoint_offered) {
    throw std::runtime_error(fmt::format(
        "server at {} offers no endpoint with security policy {} and mode {}; it offers: {}", url,
        to_string(options_.security.policy), to_string(options_.security.mode),
        describe_endpoints(endpoints)));
  }
  if (anonymous) {
    throw std::runtime_error(
        fmt::format("server at {} does not accept anonymous users; it offers: {}", url,
                    describe_endpoints(endpoints)));
  }
  throw std::runtime_error(
      fmt::format("server at {} does not accept user names on this endpoint; it offers: {}", url,
                  describe_endpoints(endpoints)));
}

void UaSession::fill_identity(ActivateSessionRequest& request, const UserTokenPolicy& policy,
                              const CreateSessionResponse& created) {
  const std::string& url = channel_->url().text;
  const UaSecurity& wanted = options_.security;
  const ChannelSecurity& security = channel_->crypto().security();
  request.user_name = wanted.username;
  // The token policy names how the password travels; without one, the endpoint's policy.
  const std::string token_uri = policy.security_policy_uri.empty()
                                    ? std::string(policy_uri(security.policy))
                                    : policy.security_policy_uri;
  const auto token_policy = policy_from_uri(token_uri);
  if (!token_policy) {
    throw std::runtime_error(fmt::format(
        "server at {} wants the password of user '{}' encrypted with '{}', which this client "
        "does not support",
        url, wanted.username, token_uri));
  }
  const std::vector<std::uint8_t> password(wanted.password.begin(), wanted.password.end());
  if (*token_policy == UaSecurityPolicy::None) {
    if (security.mode != UaSecurityMode::SignAndEncrypt) {
      throw std::runtime_error(fmt::format(
          "refusing to send the password of user '{}' to {} in clear: neither the endpoint "
          "({}, {}) nor its user token policy encrypts it",
          wanted.username, url, to_string(security.policy), to_string(security.mode)));
    }
    request.password = password;  // inside an encrypted channel
    return;
  }

  std::optional<Certificate> server_certificate = security.server_certificate;
  if (!server_certificate) {
    // Without channel security the password is encrypted for the certificate the server
    // sent, which must be as trusted as a secured channel's.
    std::string expected_uri;
    for (const auto& e : created.endpoints) {
      if (e.security_policy_uri == policy_uri(UaSecurityPolicy::None)) {
        expected_uri = e.server.application_uri;
      }
    }
    const PkiStore pki(wanted.pki_dir);
    JudgedCertificate judged = judge_server_certificate(
        pki, created.server_certificate, expected_uri, expected_host(channel_->url(), wanted));
    if (judged.verdict.kind != CertificateVerdict::Kind::Trusted) {
      throw std::runtime_error(judged.verdict.message);
    }
    server_certificate = std::move(judged.certificate);
  }
  if (created.server_nonce.empty()) {
    throw std::runtime_error(
        fmt::format("server at {} sent no nonce to encrypt the password of user '{}' with", url,
                    wanted.username));
  }
  // Length, password and the server's nonce, so that a captured token cannot be replayed.
  std::vector<std::uint8_t> plain;
  BinaryWriter length;
  length.u32(static_cast<std::uint32_t>(password.size() + created.server_nonce.size()));
  plain.insert(plain.end(), length.data().begin(), length.data().end());
  plain.insert(plain.end(), password.begin(), password.end());
  plain.insert(plain.end(), created.server_nonce.begin(), created.server_nonce.end());
  const SecurityPolicy encryption(*token_policy);
  request.password = encryption.encrypt(server_certificate->public_key(), plain);
  request.encryption_algorithm = std::string(encryption.encryption_algorithm_uri());
  OPENSSL_cleanse(plain.data(), plain.size());
}

void UaSession::read_server_facts() {
  // One request: a session opens often (after every reconnect) and each round trip counts.
  const std::array<NodeId, 3> nodes{NodeId::numeric_id(0, kMaxNodesPerReadNode),
                                    NodeId::numeric_id(0, kMaxNodesPerBrowseNode),
                                    NodeId::numeric_id(0, kNamespaceArrayNode)};
  std::vector<DataValue> values;
  read_chunk(nodes, kAttributeValue, values);
  max_nodes_per_read_ = limit_of(values[0]);
  max_nodes_per_browse_ = limit_of(values[1]);
  if (readable(values[2])) {
    if (auto* table = std::get_if<std::vector<std::string>>(&values[2].value->scalar)) {
      namespace_array_ = std::move(*table);
    }
  }
  journel::get_logger("pyqar")->debug(
      "OPC UA server at {}: MaxNodesPerRead {}, MaxNodesPerBrowse {}, {} namespaces",
      channel_->url().text, max_nodes_per_read_, max_nodes_per_browse_, namespace_array_.size());
}

std::optional<std::uint16_t> UaSession::namespace_index(std::string_view uri) const {
  const std::size_t count = std::min<std::size_t>(namespace_array_.size(), 0x10000);
  for (std::size_t i = 0; i < count; ++i) {
    if (namespace_array_[i] == uri) return static_cast<std::uint16_t>(i);
  }
  return std::nullopt;
}

bool UaSession::stale() const {
  return channel_->expired() || channel_->now() >= last_used_ + session_timeout_;
}

void UaSession::read_chunk(std::span<const NodeId> nodes, std::uint32_t attribute_id,
                           std::vector<DataValue>& out) {
  const ReadRequest request{.header = channel_->make_header(authentication_token_),
                            .nodes = nodes,
                            .attribute_id = attribute_id};
  request_ = BinaryWriter();
  encode_request(request_, request);
  // A server with a small message limit gets the nodes in halves rather than a refused read.
  if (request_.size() > channel_->max_request_size() && nodes.size() > 1) {
    const std::size_t half = nodes.size() / 2;
    read_chunk(nodes.first(half), attribute_id, out);
    read_chunk(nodes.subspan(half), attribute_id, out);
    return;
  }
  auto response = call_encoded<ReadResponse>("Read");
  if (response.results.size() != nodes.size()) {
    usable_ = false;
    throw std::runtime_error(fmt::format("Read on {}: {} results for {} nodes",
                                         channel_->url().text, response.results.size(),
                                         nodes.size()));
  }
  std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
}

void UaSession::check_usable() const {
  if (!usable()) {
    throw std::runtime_error(fmt::format("session on {} is closed", channel_->url().text));
  }
}

std::vector<DataValue> UaSession::read(std::span<const NodeId> nodes, std::uint32_t attribute_id) {
  check_usable();
  std::vector<DataValue> out;
  out.reserve(nodes.size());
  const std::size_t step = max_nodes_per_read_ == 0 ? nodes.size() : max_nodes_per_read_;
  for (std::size_t start = 0; start < nodes.size(); start += step) {
    read_chunk(nodes.subspan(start, std::min(step, nodes.size() - start)), attribute_id, out);
  }
  return out;
}

std::vector<BrowseResult> UaSession::browse(std::span<const NodeId> nodes,
                                            std::uint32_t max_references_per_node) {
  check_usable();
  std::vector<BrowseResult> out;
  out.reserve(nodes.size());
  const std::size_t step = max_nodes_per_browse_ == 0 ? nodes.size() : max_nodes_per_browse_;
  for (std::size_t start = 0; start < nodes.size(); start += step) {
    const auto chunk = nodes.subspan(start, std::min(step, nodes.size() - start));
    auto response =
        call<BrowseResponse>(BrowseRequest{.header = channel_->make_header(authentication_token_),
                                           .nodes = chunk,
                                           .max_references_per_node = max_references_per_node},
                             "Browse");
    if (response.results.size() != chunk.size()) {
      usable_ = false;
      throw std::runtime_error(fmt::format("Browse on {}: {} results for {} nodes",
                                           channel_->url().text, response.results.size(),
                                           chunk.size()));
    }
    std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
  }
  return out;
}

std::vector<BrowseResult> UaSession::browse_next(std::span<const std::string> continuation_points,
                                                 bool release) {
  check_usable();
  std::vector<BrowseResult> out;
  const std::size_t count = continuation_points.size();
  const std::size_t step = max_nodes_per_browse_ == 0 ? count : max_nodes_per_browse_;
  for (std::size_t start = 0; start < count; start += step) {
    const auto chunk = continuation_points.subspan(start, std::min(step, count - start));
    auto response = call<BrowseNextResponse>(
        BrowseNextRequest{.header = channel_->make_header(authentication_token_),
                          .release = release,
                          .continuation_points = chunk},
        "BrowseNext");
    if (release) continue;
    if (response.results.size() != chunk.size()) {
      usable_ = false;
      throw std::runtime_error(fmt::format("BrowseNext on {}: {} results for {} points",
                                           channel_->url().text, response.results.size(),
                                           chunk.size()));
    }
    std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
  }
  return out;
}

}  // namespace pyqar::ua

namespace pyqar::ua {

template <typename Response>
Response UaSession::checked(ServiceResponse response, const char* service) {
  const std::uint32_t result = header_of(response).service_result;
  if (std::holds_alternative<ServiceFault>(response) || severity(result) == Severity::Bad) {
    std::string message =
        fmt::format("{} on {} failed: {}", service, url_.text, status_text(result));
    if (session_lost(result) || severity(result) != Severity::Bad) {
      usable_ = false;
      throw std::runtime_error(std::move(message));
    }
    throw ServiceError(result, message);
  }
  auto* typed = std::get_if<Response>(&response);
  if (typed == nullptr) {
    usable_ = false;
    throw std::runtime_error(
        fmt::format("{} on {}: the server sent a response of another service", service, url_.text));
  }
  return std::move(*typed);
}

template <typename Response, typename Request>
Response UaSession::call_service(const Request& request, const char* service) {
  check_usable();
  request_ = BinaryWriter();
  encode_request(request_, request);
  // Refused here, a request that is too large leaves the channel intact for a smaller one.
  if (request_.size() > channel_->max_request_size()) {
    throw ServiceError(kBadRequestTooLarge,
                       fmt::format("{} on {}: the request of {} bytes exceeds the {} the server "
                                   "accepts: {}",
                                   service, url_.text, request_.size(),
                                   channel_->max_request_size(), status_text(kBadRequestTooLarge)));
  }
  ServiceResponse response = channel_->call(request_.data());
  last_used_ = channel_->now();
  return checked<Response>(std::move(response), service);
}

void UaSession::check_count(std::size_t results, std::size_t asked, const char* service) {
  if (results != asked) {
    usable_ = false;
    throw std::runtime_error(
        fmt::format("{} on {}: {} results for {} asked", service, url_.text, results, asked));
  }
}

CreateSubscriptionResponse UaSession::create_subscription(
    const SubscriptionParameters& parameters) {
  return call_service<CreateSubscriptionResponse>(
      CreateSubscriptionRequest{.header = channel_->make_header(authentication_token_),
                                .parameters = parameters,
                                .publishing_enabled = true},
      "CreateSubscription");
}

ModifySubscriptionResponse UaSession::modify_subscription(
    std::uint32_t subscription_id, const SubscriptionParameters& parameters) {
  return call_service<ModifySubscriptionResponse>(
      ModifySubscriptionRequest{.header = channel_->make_header(authentication_token_),
                                .subscription_id = subscription_id,
                                .parameters = parameters},
      "ModifySubscription");
}

DeleteSubscriptionsResponse UaSession::delete_subscriptions(std::span<const std::uint32_t> ids) {
  auto response = call_service<DeleteSubscriptionsResponse>(
      DeleteSubscriptionsRequest{.header = channel_->make_header(authentication_token_),
                                 .subscription_ids = ids},
      "DeleteSubscriptions");
  check_count(response.results.size(), ids.size(), "DeleteSubscriptions");
  return response;
}

CreateMonitoredItemsResponse UaSession::create_monitored_items(
    std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) {
  auto response = call_service<CreateMonitoredItemsResponse>(
      CreateMonitoredItemsRequest{.header = channel_->make_header(authentication_token_),
                                  .subscription_id = subscription_id,
                                  .items = items},
      "CreateMonitoredItems");
  check_count(response.results.size(), items.size(), "CreateMonitoredItems");
  return response;
}

RepublishResponse UaSession::republish(std::uint32_t subscription_id,
                                       std::uint32_t sequence_number) {
  return call_service<RepublishResponse>(
      RepublishRequest{.header = channel_->make_header(authentication_token_),
                       .subscription_id = subscription_id,
                       .retransmit_sequence_number = sequence_number},
      "Republish");
}

TransferSubscriptionsResponse UaSession::transfer_subscriptions(std::span<const std::uint32_t> ids,
                                                                bool send_initial_values) {
  auto response = call_service<TransferSubscriptionsResponse>(
      TransferSubscriptionsRequest{.header = channel_->make_header(authentication_token_),
                                   .subscription_ids = ids,
                                   .send_initial_values = send_initial_values},
      "TransferSubscriptions");
  check_count(response.results.size(), ids.size(), "TransferSubscriptions");
  return response;
}

void UaSession::send_publish(std::span<const SubscriptionAcknowledgement> acknowledgements,
                             std::chrono::milliseconds timeout) {
  check_usable();
  PublishRequest request{.header = channel_->make_header(authentication_token_),
                         .acknowledgements = acknowledgements};
  request.header.timeout_hint_ms = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(timeout.count(), 0, std::numeric_limits<std::uint32_t>::max()));
  request_ = BinaryWriter();
  encode_request(request_, request);
  channel_->send(request_.data(), timeout + options_.channel.request_timeout);
  last_used_ = channel_->now();
}

std::optional<PublishResponse> UaSession::receive_publish(
    std::chrono::steady_clock::time_point deadline) {
  check_usable();
  auto answer = channel_->receive(deadline);
  if (!answer) return std::nullopt;
  last_used_ = channel_->now();
  return checked<PublishResponse>(std::move(answer->response), "Publish");
}

ServerLimits UaSession::subscription_limits() {
  check_usable();
  if (!subscription_limits_) {
    // Newer servers list these under ServerCapabilities with ids of their own: found by name.
    std::vector<NodeId> nodes{NodeId::numeric_id(0, kMaxMonitoredItemsPerCallNode)};
    std::optional<std::size_t> per_session;
    std::optional<std::size_t> per_subscription;
    const std::array<NodeId, 1> capabilities{NodeId::numeric_id(0, kServerCapabilitiesNode)};
    const auto browsed = browse(capabilities, 0);
    for (const auto& reference : browsed[0].references) {
      if (reference.browse_name.namespace_index != 0 || reference.node_id.server_index != 0 ||
          !reference.node_id.namespace_uri.empty()) {
        continue;
      }
      if (reference.browse_name.name == kMaxSubscriptionsPerSession && !per_session) {
        per_session = nodes.size();
        nodes.push_back(reference.node_id.id);
      } else if (reference.browse_name.name == kMaxMonitoredItemsPerSubscription &&
                 !per_subscription) {
        per_subscription = nodes.size();
        nodes.push_back(reference.node_id.id);
      }
    }
    const std::vector<DataValue> values = read(nodes);
    ServerLimits limits;
    limits.max_monitored_items_per_call = limit_of(values[0]);
    if (per_session) limits.max_subscriptions_per_session = limit_of(values[*per_session]);
    if (per_subscription) {
      limits.max_monitored_items_per_subscription = limit_of(values[*per_subscription]);
    }
    journel::get_logger("pyqar")->debug(
        "OPC UA server at {}: MaxMonitoredItemsPerCall {}, MaxSubscriptionsPerSession {}, "
        "MaxMonitoredItemsPerSubscription {} (0: not stated)",
        url_.text, limits.max_monitored_items_per_call, limits.max_subscriptions_per_session,
        limits.max_monitored_items_per_subscription);
    subscription_limits_ = limits;
  }
  ServerLimits limits = *subscription_limits_;
  limits.max_request_bytes = channel_->max_request_size();
  return limits;
}

std::optional<std::int64_t> UaSession::server_start_time() {
  const std::array<NodeId, 1> nodes{NodeId::numeric_id(0, kStartTimeNode)};
  const std::vector<DataValue> values = read(nodes);
  if (!readable(values[0])) return std::nullopt;
  if (const auto* ticks = std::get_if<std::int64_t>(&values[0].value->scalar)) return *ticks;
  return std::nullopt;
}

void UaSession::reactivate() {
  usable_ = false;
  // The old channel stays (broken) until a new one opens, so the session always has one.
  auto fresh = std::make_unique<SecureChannel>(url_, options_.channel);
  channel_->close();
  channel_ = std::move(fresh);
  activate();
}

}  // namespace pyqar::ua
