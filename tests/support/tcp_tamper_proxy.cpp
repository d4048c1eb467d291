#include "tcp_tamper_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestrane_test {
namespace {

constexpr std::size_t kHeaderSize = 8;
// A header claiming more than this is not an OPC UA chunk: the stream is passed on uncut.
constexpr std::uint32_t kMaxChunkSize = 16u << 20;
// A side stops reading while this much waits to be written to the other side.
constexpr std::size_t kMaxPending = 1u << 20;
constexpr std::size_t kReadSize = 64u << 10;

std::runtime_error system_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Request/response traffic in small chunks would otherwise wait for delayed ACKs.
void no_delay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

enum class Io { kProgress, kWouldBlock, kEof, kFailed };

Io read_into(int fd, std::string& buffer) {
  char chunk[kReadSize];
  const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n > 0) {
    buffer.append(chunk, static_cast<std::size_t>(n));
    return Io::kProgress;
  }
  if (n == 0) return Io::kEof;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::kWouldBlock : Io::kFailed;
}

Io write_from(int fd, std::string& buffer) {
  if (buffer.empty()) return Io::kWouldBlock;
  const ssize_t n = ::send(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) {
    buffer.erase(0, static_cast<std::size_t>(n));
    return Io::kProgress;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::kWouldBlock : Io::kFailed;
}

}  // namespace

struct TcpTamperProxy::Link {
  Fd client;
  Fd server;
  std::string to_server;    // from the client, not yet written
  std::string from_server;  // from the server, short of a whole chunk
  std::string to_client;    // whole chunks, not yet written
  bool client_eof = false;
  bool server_eof = false;
  bool server_shut = false;  // our write side towards the server is shut
  bool client_shut = false;
  bool framed = true;  // false once a header made no sense

  // What poll() should wait for; -1 as the descriptor when nothing.
  pollfd client_poll() const {
    const short events =
        static_cast<short>((!client_eof && to_server.size() < kMaxPending ? POLLIN : 0) |
                           (!to_client.empty() ? POLLOUT : 0));
    return {events != 0 ? client.get() : -1, events, 0};
  }
  pollfd server_poll() const {
    const short events =
        static_cast<short>((!server_eof && to_client.size() < kMaxPending ? POLLIN : 0) |
                           (!to_server.empty() ? POLLOUT : 0));
    return {events != 0 ? server.get() : -1, events, 0};
  }
};

TcpTamperProxy::Fd::Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpTamperProxy::Fd& TcpTamperProxy::Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

TcpTamperProxy::Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

TcpTamperProxy::TcpTamperProxy(int target_port) : target_port_(target_port) {
  listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (listener_.get() < 0) throw system_error("socket");
  sockaddr_in address = loopback(0);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw system_error("bind 127.0.0.1");
  }
  if (::listen(listener_.get(), 16) != 0) throw system_error("listen");
  socklen_t length = sizeof address;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw system_error("getsockname");
  }
  port_ = ntohs(address.sin_port);
  wake_ = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (wake_.get() < 0) throw system_error("eventfd");
  thread_ = std::thread(&TcpTamperProxy::run, this);
}

TcpTamperProxy::~TcpTamperProxy() {
  stopping_ = true;
  wake();
  thread_.join();
}

void TcpTamperProxy::wake() {
  const std::uint64_t one = 1;
  // An eventfd write of 1 fails only when the counter would overflow, which one write cannot do.
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void TcpTamperProxy::cut_connections() {
  const int before = cuts_.load();
  cut_requested_ = true;
  wake();
  // Returns once the thread has closed them, so the caller knows they are gone.
  while (cuts_.load() == before) std::this_thread::yield();
}

void TcpTamperProxy::flip_in_next_message(std::size_t offset_from_end) {
  const std::lock_guard lock(mutex_);
  armed_offset_ = offset_from_end;
}

void TcpTamperProxy::run() {
  std::vector<Link> links;  // closed with their sockets when the thread ends
  std::vector<pollfd> polled;
  for (;;) {
    polled.clear();
    polled.push_back({wake_.get(), POLLIN, 0});
    polled.push_back({listener_.get(), POLLIN, 0});
    for (const auto& link : links) {
      polled.push_back(link.client_poll());
      polled.push_back(link.server_poll());
    }
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polled[0].revents != 0) {
      if (stopping_) return;
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t taken = ::read(wake_.get(), &count, sizeof count);
      if (cut_requested_.exchange(false)) {
        links.clear();
        cuts_.fetch_add(1);
      }
      continue;
    }
    std::vector<Link> live;
    for (std::size_t i = 0; i < links.size(); ++i) {
      if (pump(links[i], polled[2 + 2 * i].revents, polled[3 + 2 * i].revents)) {
        live.push_back(std::move(links[i]));
      }
    }
    links = std::move(live);
    if (polled[1].revents != 0) accept_clients(links);
  }
}

void TcpTamperProxy::accept_clients(std::vector<Link>& links) {
  for (;;) {
    Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.get() < 0) return;  // none left (or one that died before we took it)
    connections_.fetch_add(1);
    if (refusing_) continue;  // closes the client
    // Blocking, since a loopback connect is answered at once; a refusal closes the client.
    Fd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (server.get() < 0) continue;
    const sockaddr_in target = loopback(target_port_);
    if (::connect(server.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      continue;
    }
    no_delay(client.get());
    no_delay(server.get());
    Link link;
    link.client = std::move(client);
    link.server = std::move(server);
    link.framed = !unframed_;
    links.push_back(std::move(link));
  }
}

bool TcpTamperProxy::pump(Link& link, short client_revents, short server_revents) {
  const short readable = POLLIN | POLLHUP | POLLERR;
  if (!link.client_eof && (client_revents & readable) != 0) {
    const Io io = read_into(link.client.get(), link.to_server);
    if (io == Io::kFailed) return false;
    link.client_eof = io == Io::kEof;
  }
  if (!link.server_eof && (server_revents & readable) != 0) {
    const Io io = read_into(link.server.get(), link.from_server);
    if (io == Io::kFailed) return false;
    link.server_eof = io == Io::kEof;
    frame_server_bytes(link);
  }
  if (write_from(link.server.get(), link.to_server) == Io::kFailed) return false;
  if (write_from(link.client.get(), link.to_client) == Io::kFailed) return false;
  // Pass each end's close on once everything it sent before has gone through.
  if (link.client_eof && link.to_server.empty() && !link.server_shut) {
    ::shutdown(link.server.get(), SHUT_WR);
    link.server_shut = true;
  }
  if (link.server_eof && link.to_client.empty() && !link.client_shut) {
    ::shutdown(link.client.get(), SHUT_WR);
    link.client_shut = true;
  }
  return !(link.server_shut && link.client_shut);
}

void TcpTamperProxy::frame_server_bytes(Link& link) {
  std::string& in = link.from_server;
  while (link.framed && in.size() >= kHeaderSize) {
    const auto byte = [&in](std::size_t i) {
      return static_cast<std::uint32_t>(static_cast<unsigned char>(in[i]));
    };
    const std::uint32_t size = byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24;
    if (size < kHeaderSize || size > kMaxChunkSize) {
      link.framed = false;
      break;
    }
    if (in.size() < size) break;
    if (in.compare(0, 3, "MSG") == 0) {
      const std::lock_guard lock(mutex_);
      if (armed_offset_ && *armed_offset_ < size) {
        in[size - 1 - *armed_offset_] ^= static_cast<char>(0xFF);
        armed_offset_.reset();
        tampered_.fetch_add(1);
      }
    }
    link.to_client.append(in, 0, size);
    in.erase(0, size);
  }
  // Past a senseless header, and at the server's end, the rest goes on as it is.
  if (!link.framed || link.server_eof) {
    link.to_client += in;
    in.clear();
  }
}

}  // namespace kestrane_test
