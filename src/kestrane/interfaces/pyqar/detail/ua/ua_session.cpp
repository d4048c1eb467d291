#include "ua_session.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <stdexcept>

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
      channel_(url, options_.channel) {
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
      encode_request(w, CloseSessionRequest{channel_.make_header(authentication_token_)});
      channel_.call(w.data());
    } catch (...) {
      // The channel is closed right after; a server that did not hear us drops the session
      // when it times out.
    }
  }
  usable_ = false;
  channel_.close();
}

template <typename Response, typename Request>
Response UaSession::call(const Request& request, const char* service) {
  request_ = BinaryWriter();
  encode_request(request_, request);
  return call_encoded<Response>(service);
}

template <typename Response>
Response UaSession::call_encoded(const char* service) {
  ServiceResponse response = channel_.call(request_.data());
  last_used_ = channel_.now();
  const std::uint32_t result = header_of(response).service_result;
  if (std::holds_alternative<ServiceFault>(response) || severity(result) == Severity::Bad) {
    usable_ = false;
    throw std::runtime_error(
        fmt::format("{} on {} failed: {}", service, channel_.url().text, status_text(result)));
  }
  auto* typed = std::get_if<Response>(&response);
  if (typed == nullptr) {
    usable_ = false;
    throw std::runtime_error(fmt::format("{} on {}: the server sent a response of another service",
                                         service, channel_.url().text));
  }
  return std::move(*typed);
}

void UaSession::create_and_activate() {
  const std::string& url = channel_.url().text;
  const ChannelSecurity& security = channel_.crypto().security();
  const bool secured = channel_.crypto().secured();
  CreateSessionRequest request;
  request.header = channel_.make_header();
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

  if (secured) check_created(created);

  ActivateSessionRequest activate;
  activate.header = channel_.make_header(authentication_token_);
  if (secured) {
    const SecurityPolicy& policy = channel_.crypto().policy();
    const auto& server_der = security.server_certificate->der();
    // The server proves it holds the key of the certificate we trusted...
    std::vector<std::uint8_t> signed_by_server = request.client_certificate;
    signed_by_server.insert(signed_by_server.end(), request.client_nonce.begin(),
                            request.client_nonce.end());
    if (!policy.verify(security.server_certificate->public_key(), signed_by_server,
                       created.server_signature.signature)) {
      usable_ = false;
      throw std::runtime_error(fmt::format(
          "server at {} did not prove it holds its certificate's key (CreateSession signature "
          "is wrong)",
          url));
    }
    // ...and we prove we hold ours.
    std::vector<std::uint8_t> signed_by_us = server_der;
    signed_by_us.insert(signed_by_us.end(), created.server_nonce.begin(),
                        created.server_nonce.end());
    activate.client_signature = {
        .algorithm = std::string(policy.signature_algorithm_uri()),
        .signature = policy.sign(security.own->private_key.get(), signed_by_us)};
  }

  const std::vector<EndpointDescription> offered =
      endpoint_ ? std::vector<EndpointDescription>{*endpoint_} : created.endpoints;
  if (options_.security.username.empty() && offered.empty()) {
    activate.policy_id = "anonymous";  // a server that lists no endpoints takes the usual id
  } else {
    const UserTokenPolicy& policy = token_policy(offered);
    activate.policy_id = policy.policy_id;
    if (!options_.security.username.empty()) fill_identity(activate, policy, created);
  }
  try {
    call<ActivateSessionResponse>(activate, "ActivateSession");
  } catch (const std::runtime_error& e) {
    if (options_.security.username.empty()) throw;
    throw std::runtime_error(
        fmt::format("user '{}' was not accepted: {}", options_.security.username, e.what()));
  }
  usable_ = true;
}

void UaSession::check_created(const CreateSessionResponse& created) {
  const std::string& url = channel_.url().text;
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
  const Certificate& certificate = *channel_.crypto().security().server_certificate;
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
  const std::string& url = channel_.url().text;
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
  const std::string& url = channel_.url().text;
  const UaSecurity& wanted = options_.security;
  const ChannelSecurity& security = channel_.crypto().security();
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
        pki, created.server_certificate, expected_uri, expected_host(channel_.url(), wanted));
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
      channel_.url().text, max_nodes_per_read_, max_nodes_per_browse_, namespace_array_.size());
}

std::optional<std::uint16_t> UaSession::namespace_index(std::string_view uri) const {
  const std::size_t count = std::min<std::size_t>(namespace_array_.size(), 0x10000);
  for (std::size_t i = 0; i < count; ++i) {
    if (namespace_array_[i] == uri) return static_cast<std::uint16_t>(i);
  }
  return std::nullopt;
}

bool UaSession::stale() const {
  return channel_.expired() || channel_.now() >= last_used_ + session_timeout_;
}

void UaSession::read_chunk(std::span<const NodeId> nodes, std::uint32_t attribute_id,
                           std::vector<DataValue>& out) {
  const ReadRequest request{.header = channel_.make_header(authentication_token_),
                            .nodes = nodes,
                            .attribute_id = attribute_id};
  request_ = BinaryWriter();
  encode_request(request_, request);
  // A server with a small message limit gets the nodes in halves rather than a refused read.
  if (request_.size() > channel_.max_request_size() && nodes.size() > 1) {
    const std::size_t half = nodes.size() / 2;
    read_chunk(nodes.first(half), attribute_id, out);
    read_chunk(nodes.subspan(half), attribute_id, out);
    return;
  }
  auto response = call_encoded<ReadResponse>("Read");
  if (response.results.size() != nodes.size()) {
    usable_ = false;
    throw std::runtime_error(fmt::format("Read on {}: {} results for {} nodes", channel_.url().text,
                                         response.results.size(), nodes.size()));
  }
  std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
}

void UaSession::check_usable() const {
  if (!usable()) {
    throw std::runtime_error(fmt::format("session on {} is closed", channel_.url().text));
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
        call<BrowseResponse>(BrowseRequest{.header = channel_.make_header(authentication_token_),
                                           .nodes = chunk,
                                           .max_references_per_node = max_references_per_node},
                             "Browse");
    if (response.results.size() != chunk.size()) {
      usable_ = false;
      throw std::runtime_error(fmt::format("Browse on {}: {} results for {} nodes",
                                           channel_.url().text, response.results.size(),
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
        BrowseNextRequest{.header = channel_.make_header(authentication_token_),
                          .release = release,
                          .continuation_points = chunk},
        "BrowseNext");
    if (release) continue;
    if (response.results.size() != chunk.size()) {
      usable_ = false;
      throw std::runtime_error(fmt::format("BrowseNext on {}: {} results for {} points",
                                           channel_.url().text, response.results.size(),
                                           chunk.size()));
    }
    std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
  }
  return out;
}

}  // namespace pyqar::ua
