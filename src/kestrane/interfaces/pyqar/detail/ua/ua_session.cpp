#include "ua_session.h"

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>

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

std::vector<std::uint8_t> make_nonce() {
  std::random_device device;
  std::vector<std::uint8_t> nonce(32);
  for (auto& b : nonce) b = static_cast<std::uint8_t>(device());
  return nonce;
}

}  // namespace

UaSession::UaSession(const EndpointUrl& url, SessionOptions options)
    : options_(std::move(options)), channel_(url, options_.channel) {
  create_and_activate();
  read_server_facts();
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
  auto created = call<CreateSessionResponse>(
      CreateSessionRequest{.header = channel_.make_header(),
                           .endpoint_url = url,
                           .session_name = options_.session_name,
                           .client_nonce = make_nonce(),
                           .requested_timeout_ms = options_.requested_session_timeout_ms},
      "CreateSession");
  authentication_token_ = created.authentication_token;
  session_timeout_ = std::chrono::milliseconds(static_cast<std::int64_t>(
      created.revised_timeout_ms > 0 ? created.revised_timeout_ms
                                     : options_.requested_session_timeout_ms));

  // The anonymous policy id is the server's choice; take it from an endpoint without
  // security, the only kind this client speaks.
  const UserTokenPolicy* anonymous = nullptr;
  bool none_offered = false;
  for (const auto& endpoint : created.endpoints) {
    if (endpoint.security_policy_uri != kSecurityPolicyNone ||
        endpoint.security_mode != kMessageSecurityModeNone) {
      continue;
    }
    none_offered = true;
    for (const auto& policy : endpoint.user_identity_tokens) {
      if (policy.token_type == kUserTokenAnonymous) {
        anonymous = &policy;
        break;
      }
    }
    if (anonymous) break;
  }
  if (!created.endpoints.empty() && !none_offered) {
    throw std::runtime_error(
        fmt::format("server at {} offers no endpoint with security None", url));
  }
  if (!created.endpoints.empty() && anonymous == nullptr) {
    throw std::runtime_error(fmt::format("server at {} does not accept anonymous users", url));
  }
  const std::string policy_id = anonymous ? anonymous->policy_id : std::string("anonymous");
  call<ActivateSessionResponse>(
      ActivateSessionRequest{.header = channel_.make_header(authentication_token_),
                             .policy_id = policy_id},
      "ActivateSession");
  usable_ = true;
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
