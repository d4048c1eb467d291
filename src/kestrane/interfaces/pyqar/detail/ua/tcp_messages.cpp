#include "tcp_messages.h"

#include <cstring>

#include <fmt/format.h>

#include "binary_reader.h"
#include "binary_writer.h"
#include "ua_messages.h"

namespace pyqar::ua {
namespace {

struct TypeName {
  const char* text;
  MessageType type;
};
constexpr TypeName kTypes[] = {
    {"HEL", MessageType::Hello}, {"ACK", MessageType::Acknowledge},
    {"ERR", MessageType::Error}, {"RHE", MessageType::ReverseHello},
    {"OPN", MessageType::Open},  {"MSG", MessageType::Message},
    {"CLO", MessageType::Close},
};

}  // namespace

MessageHeader decode_message_header(std::span<const std::uint8_t> bytes) {
  BinaryReader r(bytes);
  auto name = r.bytes(3);
  MessageHeader h;
  bool known = false;
  for (const auto& t : kTypes) {
    if (std::memcmp(name.data(), t.text, 3) == 0) {
      h.type = t.type;
      known = true;
    }
  }
  if (!known) {
    throw DecodeError(
        fmt::format("unknown message type 0x{:02x}{:02x}{:02x}", name[0], name[1], name[2]));
  }
  h.chunk = static_cast<char>(r.u8());
  if (h.chunk != 'F' && h.chunk != 'C' && h.chunk != 'A') {
    throw DecodeError(fmt::format("unknown chunk type 0x{:02x}", static_cast<unsigned>(h.chunk)));
  }
  h.size = r.u32();
  if (h.size < kMessageHeaderSize)
    throw DecodeError(fmt::format("message size {} too small", h.size));
  return h;
}

std::vector<std::uint8_t> encode_hello(const TransportLimits& limits,
                                       const std::string& endpoint_url) {
  BinaryWriter w;
  w.bytes(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("HELF"), 4));
  w.u32(0);
  w.u32(limits.protocol_version);
  w.u32(limits.receive_buffer_size);
  w.u32(limits.send_buffer_size);
  w.u32(limits.max_message_size);
  w.u32(limits.max_chunk_count);
  w.string(endpoint_url);
  w.patch_u32(4, static_cast<std::uint32_t>(w.size()));
  return w.take();
}

TransportLimits decode_acknowledge(std::span<const std::uint8_t> body) {
  BinaryReader r(body);
  TransportLimits l;
  l.protocol_version = r.u32();
  l.receive_buffer_size = r.u32();
  l.send_buffer_size = r.u32();
  l.max_message_size = r.u32();
  l.max_chunk_count = r.u32();
  return l;
}

ErrorMessage decode_error(std::span<const std::uint8_t> body) {
  BinaryReader r(body);
  ErrorMessage e;
  e.error = r.u32();
  e.reason = r.string();
  return e;
}

SecureChunk decode_secure_chunk(std::span<const std::uint8_t> chunk) {
  BinaryReader r(chunk);
  SecureChunk c;
  c.header = decode_message_header(r.bytes(kMessageHeaderSize));
  if (c.header.size != chunk.size()) {
    throw DecodeError(fmt::format("chunk size {} does not match the {} bytes received",
                                  c.header.size, chunk.size()));
  }
  if (c.header.type != MessageType::Open && c.header.type != MessageType::Message &&
      c.header.type != MessageType::Close) {
    throw DecodeError("expected an OPN, MSG or CLO chunk");
  }
  c.channel_id = r.u32();
  if (c.header.type == MessageType::Open) {
    c.security_policy_uri = r.string();
    r.skip_string();  // sender certificate
    r.skip_string();  // receiver certificate thumbprint
  } else {
    c.token_id = r.u32();
  }
  c.sequence_number = r.u32();
  c.request_id = r.u32();
  c.body = r.bytes(r.remaining());
  return c;
}

}  // namespace pyqar::ua
