// libFuzzer target: everything a server can send goes through the decoders here. A decoder
// may refuse its input with an exception; it must never crash, hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>

#include "ua/binary_reader.h"
#include "ua/endpoint_url.h"
#include "ua/node_id.h"
#include "ua/tcp_messages.h"
#include "ua/ua_codec.h"
#include "ua/ua_messages.h"

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

void decode_values(std::span<const std::uint8_t> data) {
  BinaryReader r(data);
  while (r.remaining() > 0) {
    decode_data_value(r);
    decode_variant(r);
    skip_diagnostic_info(r);
    decode_expanded_node_id(r);
  }
}

void parse_texts(std::span<const std::uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  try {
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  try {
    switch (data[0] % 4) {
      case 0:
        decode_transport_chunk(input);
        break;
      case 1:
        decode_response(input);
        break;
      case 2:
        decode_values(input);
        break;
      default:
        parse_texts(input);
        break;
    }
  } catch (const DecodeError&) {
    // Refusing malformed input is the expected outcome.
  }
  return 0;
}
