#pragma once
// The service requests the client sends and the responses it understands, with their
// binary encoders and one decoder for every response body. Plain data and free functions;
// any thread.

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"
#include "ua_attribute_ids.h"
#include "ua_call_messages.h"
#include "ua_codec.h"
#include "ua_history_messages.h"
#include "ua_service_header.h"
#include "ua_subscription_messages.h"
#include "ua_translate_messages.h"

namespace pyqar::ua {

// DefaultBinary encoding ids (namespace 0) of the structures below.
namespace type_id {
inline constexpr std::uint32_t ServiceFault = 397;
inline constexpr std::uint32_t FindServersRequest = 422;
inline constexpr std::uint32_t FindServersResponse = 425;
inline constexpr std::uint32_t GetEndpointsRequest = 428;
inline constexpr std::uint32_t GetEndpointsResponse = 431;
inline constexpr std::uint32_t OpenSecureChannelRequest = 446;
inline constexpr std::uint32_t OpenSecureChannelResponse = 449;
inline constexpr std::uint32_t CloseSecureChannelRequest = 452;
inline constexpr std::uint32_t CreateSessionRequest = 461;
inline constexpr std::uint32_t CreateSessionResponse = 464;
inline constexpr std::uint32_t ActivateSessionRequest = 467;
inline constexpr std::uint32_t ActivateSessionResponse = 470;
inline constexpr std::uint32_t CloseSessionRequest = 473;
inline constexpr std::uint32_t CloseSessionResponse = 476;
inline constexpr std::uint32_t BrowseRequest = 527;
inline constexpr std::uint32_t BrowseResponse = 530;
inline constexpr std::uint32_t BrowseNextRequest = 533;
inline constexpr std::uint32_t BrowseNextResponse = 536;
inline constexpr std::uint32_t ReadRequest = 631;
inline constexpr std::uint32_t ReadResponse = 634;
inline constexpr std::uint32_t AnonymousIdentityToken = 321;
inline constexpr std::uint32_t UserNameIdentityToken = 324;
}  // namespace type_id

inline constexpr char kSecurityPolicyNone[] = "http://opcfoundation.org/UA/SecurityPolicy#None";
inline constexpr std::int32_t kMessageSecurityModeNone = 1;
inline constexpr std::int32_t kUserTokenAnonymous = 0;
inline constexpr std::int32_t kUserTokenUserName = 1;
inline constexpr std::uint32_t kNodeClassObject = 1;
inline constexpr std::uint32_t kNodeClassVariable = 2;
// HierarchicalReferences, the supertype of Organizes, HasComponent, HasProperty and the rest.
inline constexpr std::uint32_t kHierarchicalReferences = 33;
inline constexpr std::int32_t kTimestampsBoth = 2;

struct ApplicationDescription {
  std::string application_uri;
  std::string product_uri;
  LocalizedText application_name;
  std::int32_t application_type = 0;
  std::vector<std::string> discovery_urls;
};

struct UserTokenPolicy {
  std::string policy_id;
  std::int32_t token_type = 0;
  std::string security_policy_uri;
};

struct EndpointDescription {
  std::string endpoint_url;
  ApplicationDescription server;
  std::int32_t security_mode = 0;
  std::string security_policy_uri;
  std::vector<UserTokenPolicy> user_identity_tokens;
  std::uint8_t security_level = 0;
  std::vector<std::uint8_t> server_certificate;
};

// A signature with the URI of its algorithm.
struct SignatureData {
  std::string algorithm;
  std::vector<std::uint8_t> signature;
};

struct OpenSecureChannelRequest {
  RequestHeader header;
  bool renew = false;
  std::int32_t security_mode = kMessageSecurityModeNone;
  std::vector<std::uint8_t> client_nonce;
  std::uint32_t requested_lifetime_ms = 0;
};
struct CloseSecureChannelRequest {
  RequestHeader header;
};
struct CreateSessionRequest {
  RequestHeader header;
  std::string endpoint_url;
  std::string session_name;
  std::vector<std::uint8_t> client_nonce;
  double requested_timeout_ms = 0;
  std::string application_uri = "urn:kestrane:pyqar";
  std::vector<std::uint8_t> client_certificate;
};
// The user a session is activated for: anonymous when `user_name` is empty. `password` is
// as sent: encrypted when `encryption_algorithm` names how.
struct ActivateSessionRequest {
  RequestHeader header;
  std::string policy_id;
  SignatureData client_signature;
  std::string user_name;
  std::vector<std::uint8_t> password;
  std::string encryption_algorithm;
};
struct CloseSessionRequest {
  RequestHeader header;
};
struct ReadRequest {
  RequestHeader header;
  std::span<const NodeId> nodes;
  std::uint32_t attribute_id = kAttributeValue;
};
// Which references of a node a Browse follows (a reference type of namespace 0 and its
// subtypes): by default forward hierarchical ones to Objects and Variables.
struct BrowseFilter {
  std::uint32_t reference_type = kHierarchicalReferences;
  bool inverse = false;
  std::uint32_t node_classes = kNodeClassObject | kNodeClassVariable;
};
struct BrowseRequest {
  RequestHeader header;
  std::span<const NodeId> nodes;
  std::uint32_t max_references_per_node = 0;
  BrowseFilter filter{};
};
struct BrowseNextRequest {
  RequestHeader header;
  bool release = false;
  std::span<const std::string> continuation_points;
};
struct FindServersRequest {
  RequestHeader header;
  std::string endpoint_url;
};
struct GetEndpointsRequest {
  RequestHeader header;
  std::string endpoint_url;
};

struct ServiceFault {
  ResponseHeader header;
};
struct OpenSecureChannelResponse {
  ResponseHeader header;
  std::uint32_t channel_id = 0;
  std::uint32_t token_id = 0;
  std::int64_t created_at = 0;
  std::uint32_t revised_lifetime_ms = 0;
  std::vector<std::uint8_t> server_nonce;
};
struct CreateSessionResponse {
  ResponseHeader header;
  NodeId session_id;
  NodeId authentication_token;
  double revised_timeout_ms = 0;
  std::vector<EndpointDescription> endpoints;
  std::uint32_t max_request_message_size = 0;
  std::vector<std::uint8_t> server_nonce;
  std::vector<std::uint8_t> server_certificate;
  SignatureData server_signature;
};
struct ActivateSessionResponse {
  ResponseHeader header;
  std::vector<std::uint8_t> server_nonce;
};
struct CloseSessionResponse {
  ResponseHeader header;
};
struct ReadResponse {
  ResponseHeader header;
  std::vector<DataValue> results;
};
struct ReferenceDescription {
  ExpandedNodeId node_id;
  QualifiedName browse_name;
  LocalizedText display_name;
  std::uint32_t node_class = 0;
};
struct BrowseResult {
  std::uint32_t status = 0;
  std::string continuation_point;  // empty when every reference was returned
  std::vector<ReferenceDescription> references;
};
struct BrowseResponse {
  ResponseHeader header;
  std::vector<BrowseResult> results;
};
struct BrowseNextResponse {
  ResponseHeader header;
  std::vector<BrowseResult> results;
};
struct FindServersResponse {
  ResponseHeader header;
  std::vector<ApplicationDescription> servers;
};
struct GetEndpointsResponse {
  ResponseHeader header;
  std::vector<EndpointDescription> endpoints;
};

using ServiceResponse = std::variant<
    ServiceFault, OpenSecureChannelResponse, CreateSessionResponse, ActivateSessionResponse,
    CloseSessionResponse, ReadResponse, FindServersResponse, GetEndpointsResponse, BrowseResponse,
    BrowseNextResponse, CreateSubscriptionResponse, ModifySubscriptionResponse,
    DeleteSubscriptionsResponse, SetPublishingModeResponse, CreateMonitoredItemsResponse,
    DeleteMonitoredItemsResponse, PublishResponse, RepublishResponse, TransferSubscriptionsResponse,
    HistoryReadResponse, CallResponse, TranslateBrowsePathsResponse>;

// Each encoder writes the type id and then the request.
void encode_request(BinaryWriter& w, const OpenSecureChannelRequest& req);
void encode_request(BinaryWriter& w, const CloseSecureChannelRequest& req);
void encode_request(BinaryWriter& w, const CreateSessionRequest& req);
void encode_request(BinaryWriter& w, const ActivateSessionRequest& req);
void encode_request(BinaryWriter& w, const CloseSessionRequest& req);
void encode_request(BinaryWriter& w, const ReadRequest& req);
void encode_request(BinaryWriter& w, const BrowseRequest& req);
void encode_request(BinaryWriter& w, const BrowseNextRequest& req);
void encode_request(BinaryWriter& w, const FindServersRequest& req);
void encode_request(BinaryWriter& w, const GetEndpointsRequest& req);

// Decodes a whole service response body (type id first). Throws DecodeError for a body that
// is malformed, exceeds a limit, or carries a type the client does not know.
ServiceResponse decode_response(std::span<const std::uint8_t> body);

const ResponseHeader& header_of(const ServiceResponse& response);

}  // namespace pyqar::ua
