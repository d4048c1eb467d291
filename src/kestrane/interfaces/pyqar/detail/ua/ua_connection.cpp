#include "ua_connection.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "status_code.h"
#include "ua_limits.h"

namespace pyqar::ua {

UaConnection::UaConnection(const EndpointUrl& url, Deadline connect_deadline)
    : url_(url), socket_(TcpSocket::connect(url.host, url.port, connect_deadline)) {
  const TransportLimits ours{.protocol_version = 0,
                             .receive_buffer_size = kReceiveBufferSize,
                             .send_buffer_size = kSendBufferSize,
                             .max_message_size = kMaxMessageSize,
                             .max_chunk_count = kMaxChunkCount};
  socket_.send_all(encode_hello(ours, url.text), connect_deadline);
  const auto chunk = receive(connect_deadline);
  const MessageHeader header = decode_message_header(chunk);
  if (header.type != MessageType::Acknowledge) {
    throw std::runtime_error(fmt::format("server at {} did not acknowledge Hello", url.text));
  }
  server_limits_ = decode_acknowledge(chunk.subspan(kMessageHeaderSize));
  if (server_limits_.receive_buffer_size < kMinBufferSize) {
    throw std::runtime_error(
        fmt::format("server at {} offers a receive buffer of {} bytes, below {}", url.text,
                    server_limits_.receive_buffer_size, kMinBufferSize));
  }
  send_chunk_size_ = std::min(kSendBufferSize, server_limits_.receive_buffer_size);
}

std::uint32_t UaConnection::receive_chunk_size() const {
  const std::uint32_t theirs = server_limits_.send_buffer_size;
  return theirs == 0 ? kReceiveBufferSize : std::min(theirs, kReceiveBufferSize);
}

void UaConnection::send(std::span<const std::uint8_t> chunk, Deadline deadline) {
  socket_.send_all(chunk, deadline);
}

std::span<std::uint8_t> UaConnection::receive(Deadline deadline) {
  buffer_.resize(kMessageHeaderSize);
  socket_.receive_exact(buffer_, deadline);
  const MessageHeader header = decode_message_header(buffer_);
  if (header.size > kReceiveBufferSize) {
    throw std::runtime_error(
        fmt::format("server at {} sent a chunk of {} bytes, above the {} agreed", url_.text,
                    header.size, kReceiveBufferSize));
  }
  buffer_.resize(header.size);
  socket_.receive_exact(std::span(buffer_).subspan(kMessageHeaderSize), deadline);
  if (header.type == MessageType::Error) {
    const ErrorMessage error = decode_error(std::span(buffer_).subspan(kMessageHeaderSize));
    socket_.close();
    throw std::runtime_error(fmt::format("server at {} reported an error: {}{}{}", url_.text,
                                         status_text(error.error), error.reason.empty() ? "" : ": ",
                                         error.reason));
  }
  return buffer_;
}

}  // namespace pyqar::ua
