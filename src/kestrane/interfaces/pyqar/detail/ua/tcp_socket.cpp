#include "tcp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <fmt/format.h>

namespace pyqar::ua {
namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

int remaining_ms(TcpSocket::Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

std::string errno_text(int err) { return std::strerror(err); }

}  // namespace

TcpSocket TcpSocket::connect(const std::string& host, std::uint16_t port, Deadline deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    throw std::runtime_error(fmt::format("cannot resolve host '{}': {}", host, gai_strerror(rc)));
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);

  std::string last_error = "no address";
  for (addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    TcpSocket sock(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!sock.is_open()) {
      last_error = errno_text(errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(sock.fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(sock.fd_, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last_error = errno_text(errno);
        continue;
      }
      pollfd p{sock.fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, remaining_ms(deadline));
      if (ready == 0) {
        throw std::runtime_error(fmt::format("connecting to {}:{} timed out", host, port));
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (ready < 0) {
        err = errno;
      } else if (::getsockopt(sock.fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
      }
      if (err != 0) {
        last_error = errno_text(err);
        continue;
      }
    }
    return sock;
  }
  throw std::runtime_error(fmt::format("cannot connect to {}:{}: {}", host, port, last_error));
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

TcpSocket::~TcpSocket() { close(); }

void TcpSocket::close() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void TcpSocket::wait(short events, Deadline deadline, const char* what) {
  for (;;) {
    pollfd p{fd_, events, 0};
    const int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready > 0) return;
    if (ready == 0) throw std::runtime_error(fmt::format("timed out {}", what));
    if (errno != EINTR) throw std::runtime_error(fmt::format("{}: {}", what, errno_text(errno)));
  }
}

bool TcpSocket::readable_by(Deadline deadline) {
  if (!is_open()) throw std::runtime_error("connection is closed");
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) {
      throw std::runtime_error(
          fmt::format("waiting for the server's answer: {}", errno_text(errno)));
    }
  }
}

void TcpSocket::send_all(std::span<const std::uint8_t> data, Deadline deadline) {
  if (!is_open()) throw std::runtime_error("connection is closed");
  while (!data.empty()) {
    const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait(POLLOUT, deadline, "sending to the server");
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    throw std::runtime_error(fmt::format("connection lost while sending: {}", errno_text(errno)));
  }
}

void TcpSocket::receive_exact(std::span<std::uint8_t> out, Deadline deadline) {
  if (!is_open()) throw std::runtime_error("connection is closed");
  while (!out.empty()) {
    const ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
    if (n > 0) {
      out = out.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) throw std::runtime_error("connection closed by the server");
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait(POLLIN, deadline, "waiting for the server's answer");
      continue;
    }
    if (errno == EINTR) continue;
    throw std::runtime_error(fmt::format("connection lost: {}", errno_text(errno)));
  }
}

}  // namespace pyqar::ua
