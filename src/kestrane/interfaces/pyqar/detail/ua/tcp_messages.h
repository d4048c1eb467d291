#pragma once
// Framing of the OPC UA TCP transport: the 8-byte message header, Hello, Acknowledge, Error,
// and the security and sequence headers of OPN/MSG/CLO chunks.
// Plain data and free functions; any thread.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pyqar::ua {

inline constexpr std::size_t kMessageHeaderSize = 8;
// Header, channel id, token id and sequence header of a MSG or CLO chunk.
inline constexpr std::size_t kSymmetricHeaderSize = kMessageHeaderSize + 4 + 4 + 8;

enum class MessageType { Hello, Acknowledge, Error, ReverseHello, Open, Message, Close };

struct MessageHeader {
  MessageType type = MessageType::Hello;
  char chunk = 'F';        // 'F' final, 'C' intermediate, 'A' abort
  std::uint32_t size = 0;  // Whole chunk, header included.
};

struct TransportLimits {
  std::uint32_t protocol_version = 0;
  std::uint32_t receive_buffer_size = 0;
  std::uint32_t send_buffer_size = 0;
  std::uint32_t max_message_size = 0;  // 0: no limit
  std::uint32_t max_chunk_count = 0;   // 0: no limit
};

struct ErrorMessage {
  std::uint32_t error = 0;
  std::string reason;
};

struct SecureChunk {
  MessageHeader header;
  std::uint32_t channel_id = 0;
  std::uint32_t token_id = 0;       // MSG and CLO
  std::string security_policy_uri;  // OPN
  std::uint32_t sequence_number = 0;
  std::uint32_t request_id = 0;
  std::span<const std::uint8_t> body;
};

// Throws DecodeError for an unknown type, chunk letter, or a size below the header's own.
MessageHeader decode_message_header(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> encode_hello(const TransportLimits& limits,
                                       const std::string& endpoint_url);
TransportLimits decode_acknowledge(std::span<const std::uint8_t> body);
// The body of an ERR message or an abort chunk.
ErrorMessage decode_error(std::span<const std::uint8_t> body);
// A whole OPN, MSG or CLO chunk as sent in clear (a secured one after ChannelCrypto opened it).
SecureChunk decode_secure_chunk(std::span<const std::uint8_t> chunk);

}  // namespace pyqar::ua
