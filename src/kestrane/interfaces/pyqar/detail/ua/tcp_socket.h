#pragma once
// TcpSocket: one connected TCP socket with deadlines on every wait, so that a silent peer
// becomes an error instead of a hang. Owns the descriptor; not copyable; one thread at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pyqar::ua {

class TcpSocket {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // Resolves `host` and connects to the first address that answers before `deadline`.
  // Throws std::runtime_error naming host and port and the reason.
  static TcpSocket connect(const std::string& host, std::uint16_t port, Deadline deadline);

  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  ~TcpSocket();

  // Both throw std::runtime_error on a closed connection, an error, or a passed deadline.
  void send_all(std::span<const std::uint8_t> data, Deadline deadline);
  void receive_exact(std::span<std::uint8_t> out, Deadline deadline);
  // Whether bytes (or the end of the connection) can be read before `deadline`, without
  // taking any; false when the deadline passed first. Throws on a socket error.
  bool readable_by(Deadline deadline);

  bool is_open() const { return fd_ >= 0; }
  void close() noexcept;

 private:
  explicit TcpSocket(int fd) : fd_(fd) {}
  // Waits until the socket is ready for `events`; throws when the deadline passes first.
  void wait(short events, Deadline deadline, const char* what);

  int fd_ = -1;
};

}  // namespace pyqar::ua
