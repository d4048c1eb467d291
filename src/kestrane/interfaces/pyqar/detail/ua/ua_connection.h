#pragma once
// UaConnection: the transport under a secure channel. Connects, exchanges Hello and
// Acknowledge, then moves whole chunks with the negotiated limits enforced.
// Owns its socket; not copyable; used by one thread at a time.

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "endpoint_url.h"
#include "tcp_messages.h"
#include "tcp_socket.h"

namespace pyqar::ua {

class UaConnection {
 public:
  using Deadline = TcpSocket::Deadline;

  // Throws std::runtime_error naming the address when the server cannot be reached, answers
  // with an ERR message, or negotiates limits below the protocol's minimum.
  UaConnection(const EndpointUrl& url, Deadline connect_deadline);

  const EndpointUrl& url() const { return url_; }
  // What the server accepts from us.
  std::uint32_t send_chunk_size() const { return send_chunk_size_; }
  std::uint32_t server_max_message_size() const { return server_limits_.max_message_size; }
  std::uint32_t server_max_chunk_count() const { return server_limits_.max_chunk_count; }
  // The chunks the server sends us: its send buffer, within the receive buffer we offered.
  std::uint32_t receive_chunk_size() const;

  void send(std::span<const std::uint8_t> chunk, Deadline deadline);
  // The next whole chunk; valid until the next call, and the caller may decrypt it in place.
  // ERR messages become exceptions.
  std::span<std::uint8_t> receive(Deadline deadline);
  // Whether a chunk has begun to arrive by `deadline` (nothing is taken).
  bool readable_by(Deadline deadline) { return socket_.readable_by(deadline); }
  void close() noexcept { socket_.close(); }

 private:
  EndpointUrl url_;
  TcpSocket socket_;
  TransportLimits server_limits_;
  std::uint32_t send_chunk_size_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace pyqar::ua
