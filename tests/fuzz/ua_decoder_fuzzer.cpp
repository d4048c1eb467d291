// libFuzzer target: everything a server can send goes through the decoders here. A decoder
// may refuse its input with an exception; it must never crash, hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "ua/binary_reader.h"
#include "ua/certificate.h"
#include "ua/channel_crypto.h"
#include "ua/data_type_definition.h"
#include "ua/endpoint_url.h"
#include "ua/node_id.h"
#include "ua/structure_decoder.h"
#include "ua/tcp_messages.h"
#include "ua/ua_codec.h"
#include "ua/ua_event_filter.h"
#include "ua/ua_event_messages.h"
#include "ua/ua_event_record.h"
#include "ua/ua_messages.h"
#include "ua/ua_subscription_messages.h"
#include "ua/value_conversion.h"
#include "ua/value_text.h"

namespace {

using namespace pyqar::ua;

void decode_transport_chunk(std::span<const std::uint8_t> data) {
  const MessageHeader header = decode_message_header(data);
  const auto body = data.subspan(kMessageHeaderSize);
  switch (header.type) {
    case MessageType::Acknowledge:
      decode_acknowledge(body);
      break;
    case MessageType::Error:
      decode_error(body);
      break;
    case MessageType::Open:
    case MessageType::Message:
    case MessageType::Close: {
      const SecureChunk chunk = decode_secure_chunk(data);
      if (chunk.header.chunk == 'A') {
        decode_error(chunk.body);
      } else {
        decode_response(chunk.body);
      }
      break;
    }
    default:
      break;
  }
}

// A subscription response body, its type picked by the first byte, so that the fuzzer need
// not find the type ids itself; its notifications are decoded where they lie.
void decode_subscription_body(std::span<const std::uint8_t> data) {
  static constexpr std::uint32_t kTypes[] = {type_id::CreateSubscriptionResponse,
                                             type_id::ModifySubscriptionResponse,
                                             type_id::DeleteSubscriptionsResponse,
                                             type_id::SetPublishingModeResponse,
                                             type_id::CreateMonitoredItemsResponse,
                                             type_id::DeleteMonitoredItemsResponse,
                                             type_id::PublishResponse,
                                             type_id::RepublishResponse,
                                             type_id::TransferSubscriptionsResponse};
  if (data.empty()) return;
  BinaryReader r(data.subspan(1));
  const ResponseHeader header = decode_response_header(r);
  decode_subscription_response(kTypes[data[0] % std::size(kTypes)], header, r);
}

// A value as the collector gets it: decoded, written out at the full limit and at a small
// one (so that every cut path runs), and turned into a reading.
void decode_values(std::span<const std::uint8_t> data) {
  BinaryReader r(data);
  while (r.remaining() > 0) {
    const DataValue value = decode_data_value(r);
    to_value_object(value, pyqar::Timestamp{});
    if (value.source_timestamp) date_time_text(*value.source_timestamp);
    const Variant v = decode_variant(r);
    render_variant(v);
    render_variant(v, {}, 16);
    skip_diagnostic_info(r);
    decode_expanded_node_id(r);
  }
}

// Event lists as an event item gets them, each event mapped to its record through the
// standard selection with one extra field, and an EventFilterResult body.
void decode_events(std::span<const std::uint8_t> data) {
  static const EventSelection selection = [] {
    const std::string extra[] = {"2:Line/2:Speed"};
    return event_selection(extra);
  }();
  static const std::string namespaces[] = {"http://opcfoundation.org/UA/", "urn:fuzz"};
  if (data.empty()) return;
  const std::size_t split = data[0] % data.size();
  BinaryReader r(data.subspan(1, split));
  std::vector<EventFieldList> events;
  decode_event_notification_list(r, events);
  for (const EventFieldList& event : events) {
    refresh_mark(to_event_record(event, selection, namespaces));
  }
  const auto rest = data.subspan(1 + split);
  decode_event_filter_result({.type_id = NodeId::numeric_id(0, type_id::EventFilterResult),
                              .body = std::vector<std::uint8_t>(rest.begin(), rest.end())});
}

// Structure bodies against a small set of definitions the input makes up: the first bytes
// define up to four data types in ns=1 (structures of each kind and enumerations, whose fields
// may name built-in types, each other, themselves or types never defined), the next byte picks
// the encoding of the body, and the rest is the body. The rest is also read as a definition.
void decode_structures(std::span<const std::uint8_t> data) {
  BinaryReader r(data);
  const std::uint32_t types = r.u8() % 4 + 1;
  StructureDecoder decoder;
  for (std::uint32_t t = 0; t < types; ++t) {
    const std::uint8_t kind = r.u8() % 4;
    const std::size_t fields = r.u8() % 6;
    if (kind == 3) {
      EnumDefinition e;
      for (std::size_t i = 0; i < fields; ++i) e.fields.push_back({r.i8(), fmt::format("E{}", i)});
      decoder.add(NodeId::numeric_id(1, 100 + t), std::move(e));
      continue;
    }
    StructureDefinition s{.default_encoding_id = NodeId::numeric_id(1, 200 + t),
                          .base_data_type = NodeId::numeric_id(0, 22),
                          .structure_type = static_cast<StructureType>(kind),
                          .fields = {}};
    for (std::size_t i = 0; i < fields; ++i) {
      const std::uint8_t type = r.u8();
      const std::uint8_t flags = r.u8();
      s.fields.push_back({.name = fmt::format("F{}", i),
                          .data_type = type < 0xC0 ? NodeId::numeric_id(0, 1 + type % 29)
                                                   : NodeId::numeric_id(1, 100 + type % 6),
                          .value_rank = (flags & 3) == 0 ? 1 : ((flags & 3) == 3 ? 2 : -1),
                          .max_string_length = 0,
                          .is_optional = (flags & 4) != 0});
    }
    decoder.add(NodeId::numeric_id(1, 100 + t), std::move(s));
  }
  (void)decoder.missing_types();
  const std::uint32_t encoding = 200 + r.u8() % types;
  const auto rest = data.subspan(r.position());
  const ExtensionObject body{.type_id = NodeId::numeric_id(1, encoding),
                             .body = std::vector<std::uint8_t>(rest.begin(), rest.end())};
  for (const std::size_t limit : {pyqar::QAR_MAX_VALUE_TEXT_BYTES, std::size_t{64}}) {
    const DecodedStructure d = decoder.decode(body, {}, limit);
    if (d.ok && d.text.size() > limit) __builtin_trap();
  }
  for (const std::uint32_t id : {kStructureDefinitionBinary, kEnumDefinitionBinary}) {
    try {
      decode_data_type_definition({.type_id = NodeId::numeric_id(0, id), .body = body.body});
    } catch (const DecodeError&) {
    }
  }
}

void parse_texts(std::span<const std::uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  try {
    safe_text(text);
    to_string(parse_node_id(text));
  } catch (const std::invalid_argument&) {
  }
  try {
    node_id_for_tag(2, text);
  } catch (const std::invalid_argument&) {
  }
  try {
    parse_endpoint_url(text);
  } catch (const std::invalid_argument&) {
  }
  try {
    browse_path_text(parse_browse_path(text));
  } catch (const std::invalid_argument&) {
  }
}

// A secured channel whose own and server certificates are one throwaway pair, made once.
const ChannelCrypto& secured_channel() {
  static const ChannelCrypto crypto = [] {
    std::shared_ptr<EVP_PKEY> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    X509Ptr x509(X509_new());
    X509_set_version(x509.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), 86400);
    X509_set_pubkey(x509.get(), key.get());
    X509_sign(x509.get(), key.get(), EVP_sha256());
    Certificate certificate(std::move(x509));
    auto own = std::make_shared<ApplicationIdentity>(
        ApplicationIdentity{certificate, key, "urn:kestrane:fuzz"});
    return ChannelCrypto(ChannelSecurity{.policy = pyqar::UaSecurityPolicy::Basic256Sha256,
                                         .mode = pyqar::UaSecurityMode::SignAndEncrypt,
                                         .own = own,
                                         .server_certificate = certificate,
                                         .own_certificate_path = {}});
  }();
  return crypto;
}

// An OPN chunk as a secured channel meets it: the asymmetric security header is parsed and
// checked, and only then is anything decrypted.
void open_secured_chunk(std::span<const std::uint8_t> data) {
  try {
    if (data.size() >= kMessageHeaderSize + 4) {
      secured_channel().open_asymmetric(data, kMessageHeaderSize + 4);
    }
  } catch (const std::runtime_error&) {
  }
}

void parse_certificate(std::span<const std::uint8_t> data) {
  try {
    const Certificate c = Certificate::from_der(data);
    (void)c.subject();
    (void)c.issuer();
    (void)c.application_uri();
    (void)c.sha1_hex();
    (void)c.not_after();
  } catch (const std::invalid_argument&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  try {
    switch (data[0] % 9) {
      case 0:
        decode_transport_chunk(input);
        break;
      case 1:
        decode_response(input);
        break;
      case 2:
        decode_values(input);
        break;
      case 3:
        parse_texts(input);
        break;
      case 4:
        open_secured_chunk(input);
        break;
      case 6:
        decode_subscription_body(input);
        break;
      case 7:
        decode_events(input);
        break;
      case 8:
        decode_structures(input);
        break;
      default:
        parse_certificate(input);
        break;
    }
  } catch (const DecodeError&) {
    // Refusing malformed input is the expected outcome.
  }
  return 0;
}
