#include "ua_messages.h"

#include <fmt/format.h>

#include "ua_limits.h"

namespace pyqar::ua {
namespace {

void encode_type(BinaryWriter& w, std::uint32_t id) {
  encode_node_id(w, NodeId::numeric_id(0, id));
}

void encode_header(BinaryWriter& w, const RequestHeader& h) {
  encode_node_id(w, h.authentication_token);
  w.i64(h.timestamp);
  w.u32(h.request_handle);
  w.u32(0);         // no diagnostics wanted
  w.null_string();  // audit entry id
  w.u32(h.timeout_hint_ms);
  encode_extension_object(w, {});
}

void encode_null_array(BinaryWriter& w) { w.i32(-1); }

void encode_client_description(BinaryWriter& w, const std::string& application_uri) {
  w.string(application_uri);
  w.string("urn:kestrane");
  encode_localized_text(w, {.locale = {}, .text = "Kestrane"});
  w.i32(1);              // client
  w.null_string();       // gateway server
  w.null_string();       // discovery profile
  encode_null_array(w);  // discovery URLs
}

void encode_signature(BinaryWriter& w, const SignatureData& s) {
  if (s.algorithm.empty()) {
    w.null_string();
  } else {
    w.string(s.algorithm);
  }
  w.byte_string(s.signature);
}

SignatureData decode_signature(BinaryReader& r) {
  SignatureData s;
  s.algorithm = r.string();
  s.signature = r.byte_string(kMaxSignatureSize);
  return s;
}

ResponseHeader decode_header(BinaryReader& r) {
  ResponseHeader h;
  h.timestamp = r.i64();
  h.request_handle = r.u32();
  h.service_result = r.u32();
  skip_diagnostic_info(r);
  skip_array(r, 4, [](BinaryReader& in) { in.skip_string(); });
  skip_extension_object(r);
  return h;
}

std::vector<std::string> decode_strings(BinaryReader& r) {
  return decode_array<std::string>(r, 4, [](BinaryReader& in) { return in.string(); });
}

ApplicationDescription decode_application(BinaryReader& r) {
  ApplicationDescription a;
  a.application_uri = r.string();
  a.product_uri = r.string();
  a.application_name = decode_localized_text(r);
  a.application_type = r.i32();
  r.skip_string();  // gateway server URI
  r.skip_string();  // discovery profile URI
  a.discovery_urls = decode_strings(r);
  return a;
}

UserTokenPolicy decode_token_policy(BinaryReader& r) {
  UserTokenPolicy p;
  p.policy_id = r.string();
  p.token_type = r.i32();
  r.skip_string();  // issued token type
  r.skip_string();  // issuer endpoint URL
  p.security_policy_uri = r.string();
  return p;
}

EndpointDescription decode_endpoint(BinaryReader& r) {
  EndpointDescription e;
  e.endpoint_url = r.string();
  e.server = decode_application(r);
  e.server_certificate = r.byte_string(kMaxCertificateSize);
  e.security_mode = r.i32();
  e.security_policy_uri = r.string();
  e.user_identity_tokens = decode_array<UserTokenPolicy>(r, 20, decode_token_policy);
  r.skip_string();  // transport profile URI
  e.security_level = r.u8();
  return e;
}

ReferenceDescription decode_reference(BinaryReader& r) {
  ReferenceDescription d;
  decode_node_id(r);  // reference type
  r.boolean();        // is forward
  d.node_id = decode_expanded_node_id_in_full(r);
  d.browse_name = decode_qualified_name(r);
  d.display_name = decode_localized_text(r);
  d.node_class = r.u32();
  decode_expanded_node_id(r);  // type definition
  return d;
}

// NodeId(2) + Boolean + ExpandedNodeId(2) + QualifiedName(6) + LocalizedText(1) + UInt32 +
// ExpandedNodeId(2).
constexpr std::size_t kMinReferenceSize = 2 + 1 + 2 + 6 + 1 + 4 + 2;

BrowseResult decode_browse_result(BinaryReader& r) {
  BrowseResult b;
  b.status = r.u32();
  b.continuation_point = r.string();
  b.references = decode_array<ReferenceDescription>(r, kMinReferenceSize, decode_reference);
  return b;
}

std::vector<BrowseResult> decode_browse_results(BinaryReader& r) {
  auto results = decode_array<BrowseResult>(r, 4 + 4 + 4, decode_browse_result);
  skip_array(r, 1, skip_diagnostic_info);
  return results;
}

// Minimum encoded sizes, so array counts are checked against the bytes that are left.
constexpr std::size_t kMinApplicationSize = 4 + 4 + 1 + 4 + 4 + 4 + 4;
constexpr std::size_t kMinEndpointSize = 4 + kMinApplicationSize + 4 + 4 + 4 + 4 + 4 + 1;

}  // namespace

void encode_request_header(BinaryWriter& w, const RequestHeader& h) { encode_header(w, h); }

ResponseHeader decode_response_header(BinaryReader& r) { return decode_header(r); }

void encode_request(BinaryWriter& w, const OpenSecureChannelRequest& req) {
  encode_type(w, type_id::OpenSecureChannelRequest);
  encode_header(w, req.header);
  w.u32(0);  // protocol version
  w.u32(req.renew ? 1 : 0);
  w.u32(static_cast<std::uint32_t>(req.security_mode));
  w.byte_string(req.client_nonce);
  w.u32(req.requested_lifetime_ms);
}

void encode_request(BinaryWriter& w, const CloseSecureChannelRequest& req) {
  encode_type(w, type_id::CloseSecureChannelRequest);
  encode_header(w, req.header);
}

void encode_request(BinaryWriter& w, const CreateSessionRequest& req) {
  encode_type(w, type_id::CreateSessionRequest);
  encode_header(w, req.header);
  encode_client_description(w, req.application_uri);
  w.null_string();  // server URI
  w.string(req.endpoint_url);
  w.string(req.session_name);
  w.byte_string(req.client_nonce);
  w.byte_string(req.client_certificate);
  w.f64(req.requested_timeout_ms);
  w.u32(0);  // no limit on the response size beyond the transport's
}

void encode_request(BinaryWriter& w, const ActivateSessionRequest& req) {
  encode_type(w, type_id::ActivateSessionRequest);
  encode_header(w, req.header);
  encode_signature(w, req.client_signature);
  encode_null_array(w);  // software certificates
  encode_null_array(w);  // locale ids
  BinaryWriter token;
  token.string(req.policy_id);
  std::uint32_t token_type = type_id::AnonymousIdentityToken;
  if (!req.user_name.empty()) {
    token_type = type_id::UserNameIdentityToken;
    token.string(req.user_name);
    token.byte_string(req.password);
    if (req.encryption_algorithm.empty()) {
      token.null_string();
    } else {
      token.string(req.encryption_algorithm);
    }
  }
  encode_extension_object(w, {.type_id = NodeId::numeric_id(0, token_type), .body = token.take()});
  encode_signature(w, {});  // user token signature
}

void encode_request(BinaryWriter& w, const CloseSessionRequest& req) {
  encode_type(w, type_id::CloseSessionRequest);
  encode_header(w, req.header);
  w.boolean(true);  // delete subscriptions
}

void encode_request(BinaryWriter& w, const ReadRequest& req) {
  encode_type(w, type_id::ReadRequest);
  encode_header(w, req.header);
  w.f64(0.0);  // max age: current values
  w.i32(kTimestampsBoth);
  w.i32(static_cast<std::int32_t>(req.nodes.size()));
  for (const NodeId& node : req.nodes) {
    encode_node_id(w, node);
    w.u32(req.attribute_id);
    w.null_string();  // index range
    w.u16(0);         // data encoding: default
    w.null_string();
  }
}

void encode_request(BinaryWriter& w, const BrowseRequest& req) {
  encode_type(w, type_id::BrowseRequest);
  encode_header(w, req.header);
  encode_node_id(w, NodeId());  // view: the whole address space
  w.i64(0);                     // view timestamp
  w.u32(0);                     // view version
  w.u32(req.max_references_per_node);
  w.i32(static_cast<std::int32_t>(req.nodes.size()));
  for (const NodeId& node : req.nodes) {
    encode_node_id(w, node);
    w.i32(req.filter.inverse ? 1 : 0);
    encode_node_id(w, NodeId::numeric_id(0, req.filter.reference_type));
    w.boolean(true);  // and its subtypes
    w.u32(req.filter.node_classes);
    w.u32(0x3F);  // every field of the reference description
  }
}

void encode_request(BinaryWriter& w, const BrowseNextRequest& req) {
  encode_type(w, type_id::BrowseNextRequest);
  encode_header(w, req.header);
  w.boolean(req.release);
  w.i32(static_cast<std::int32_t>(req.continuation_points.size()));
  for (const std::string& point : req.continuation_points) w.string(point);
}

void encode_request(BinaryWriter& w, const FindServersRequest& req) {
  encode_type(w, type_id::FindServersRequest);
  encode_header(w, req.header);
  w.string(req.endpoint_url);
  encode_null_array(w);  // locale ids
  encode_null_array(w);  // server URIs
}

void encode_request(BinaryWriter& w, const GetEndpointsRequest& req) {
  encode_type(w, type_id::GetEndpointsRequest);
  encode_header(w, req.header);
  w.string(req.endpoint_url);
  encode_null_array(w);  // locale ids
  encode_null_array(w);  // profile URIs
}

ServiceResponse decode_response(std::span<const std::uint8_t> body) {
  BinaryReader r(body);
  const NodeId type = decode_expanded_node_id(r);
  if (type.kind != NodeId::Kind::Numeric || type.namespace_index != 0) {
    throw DecodeError(fmt::format("unexpected response type {}", to_string(type)));
  }
  switch (type.numeric) {
    case type_id::ServiceFault:
      return ServiceFault{decode_header(r)};
    case type_id::OpenSecureChannelResponse: {
      OpenSecureChannelResponse res;
      res.header = decode_header(r);
      r.u32();  // server protocol version
      res.channel_id = r.u32();
      res.token_id = r.u32();
      res.created_at = r.i64();
      res.revised_lifetime_ms = r.u32();
      res.server_nonce = r.byte_string(kMaxNonceSize);
      return res;
    }
    case type_id::CreateSessionResponse: {
      CreateSessionResponse res;
      res.header = decode_header(r);
      res.session_id = decode_node_id(r);
      res.authentication_token = decode_node_id(r);
      res.revised_timeout_ms = r.f64();
      res.server_nonce = r.byte_string(kMaxNonceSize);
      res.server_certificate = r.byte_string(kMaxCertificateSize);
      res.endpoints = decode_array<EndpointDescription>(r, kMinEndpointSize, decode_endpoint);
      skip_array(r, 8, [](BinaryReader& in) {
        in.skip_string();
        in.skip_string();
      });
      res.server_signature = decode_signature(r);
      res.max_request_message_size = r.u32();
      return res;
    }
    case type_id::ActivateSessionResponse: {
      ActivateSessionResponse res;
      res.header = decode_header(r);
      res.server_nonce = r.byte_string(kMaxNonceSize);
      skip_array(r, 4, [](BinaryReader& in) { in.u32(); });
      skip_array(r, 1, skip_diagnostic_info);
      return res;
    }
    case type_id::CloseSessionResponse:
      return CloseSessionResponse{decode_header(r)};
    case type_id::ReadResponse: {
      ReadResponse res;
      res.header = decode_header(r);
      res.results = decode_array<DataValue>(r, 1, decode_data_value);
      skip_array(r, 1, skip_diagnostic_info);
      return res;
    }
    case type_id::BrowseResponse: {
      BrowseResponse res;
      res.header = decode_header(r);
      res.results = decode_browse_results(r);
      return res;
    }
    case type_id::BrowseNextResponse: {
      BrowseNextResponse res;
      res.header = decode_header(r);
      res.results = decode_browse_results(r);
      return res;
    }
    case type_id::FindServersResponse: {
      FindServersResponse res;
      res.header = decode_header(r);
      res.servers =
          decode_array<ApplicationDescription>(r, kMinApplicationSize, decode_application);
      return res;
    }
    case type_id::GetEndpointsResponse: {
      GetEndpointsResponse res;
      res.header = decode_header(r);
      res.endpoints = decode_array<EndpointDescription>(r, kMinEndpointSize, decode_endpoint);
      return res;
    }
    case type_id::HistoryReadResponse:
      return decode_history_read_response(decode_header(r), r);
    case type_id::CallResponse:
      return decode_call_response(decode_header(r), r);
    case type_id::TranslateBrowsePathsResponse:
      return decode_translate_response(decode_header(r), r);
    default:
      if (is_subscription_response(type.numeric)) {
        const ResponseHeader header = decode_header(r);
        return std::visit([](auto&& res) -> ServiceResponse { return std::move(res); },
                          decode_subscription_response(type.numeric, header, r));
      }
      throw DecodeError(fmt::format("unexpected response type i={}", type.numeric));
  }
}

const ResponseHeader& header_of(const ServiceResponse& response) {
  return std::visit([](const auto& r) -> const ResponseHeader& { return r.header; }, response);
}

}  // namespace pyqar::ua
