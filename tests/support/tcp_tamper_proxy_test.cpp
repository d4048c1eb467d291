#include "tcp_tamper_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "refusing_port.h"

namespace kestrane_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(5);

// A socket the test owns.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {
    if (fd_ < 0) throw std::runtime_error("socket failed");
  }
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&&) = delete;
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Socket listen_on_free_port() {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s.get(), 4) != 0) {
    throw std::runtime_error("cannot listen");
  }
  return s;
}

int port_of(const Socket& s) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

Socket connect_to(int port) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = loopback(port);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to the proxy");
  }
  return s;
}

bool send_all(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Up to `count` bytes: fewer when the peer closes or the deadline passes first.
std::string receive(int fd, std::size_t count) {
  std::string bytes;
  const auto deadline = Clock::now() + kDeadline;
  while (bytes.size() < count && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  return bytes;
}

// True when the peer ends the connection within the deadline and sends nothing more.
bool closed_by_peer(int fd) {
  const auto deadline = Clock::now() + kDeadline;
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    return ::recv(fd, &c, 1, 0) <= 0;
  }
  return false;
}

// One chunk: a 4-byte type and chunk type ("MSGF"), the little-endian size, then a body whose
// bytes all differ from their neighbours, so that a moved or flipped byte shows.
std::string chunk(const std::string& type, std::uint32_t size) {
  std::string bytes = type;
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(size >> shift));
  for (std::uint32_t i = 8; i < size; ++i) bytes.push_back(static_cast<char>(i % 251));
  return bytes;
}

std::string flipped(std::string bytes, std::size_t at) {
  bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0xFF);
  return bytes;
}

// A server that writes `pieces` (one send each) to every client it accepts, then echoes what
// the client sends until the client closes (or, with hang_up, closes at once), for `clients`
// clients in turn. Its thread ends at the latest when the object goes.
class ScriptedServer {
 public:
  ScriptedServer(std::vector<std::string> pieces, int clients, bool hang_up = false)
      : listener_(listen_on_free_port()),
        pieces_(std::move(pieces)),
        clients_(clients),
        hang_up_(hang_up),
        thread_([this] { run(); }) {}
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_of(listener_); }

 private:
  bool wait_readable(int fd) const {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  void run() {
    for (int served = 0; served < clients_; ++served) {
      if (!wait_readable(listener_.get())) return;
      const Socket client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      bool open = true;
      for (const auto& piece : pieces_) open = open && send_all(client.get(), piece);
      if (hang_up_) continue;
      char buffer[4096];
      while (open && wait_readable(client.get())) {
        const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
        open = n > 0 && send_all(client.get(), std::string(buffer, static_cast<std::size_t>(n)));
      }
    }
  }

  const Socket listener_;
  const std::vector<std::string> pieces_;
  const int clients_;
  const bool hang_up_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(TcpTamperProxyTest, FlipsOneByteOfTheNextMessageChunkOnly) {
  const std::string ack = chunk("ACKF", 28);
  const std::string first = chunk("MSGF", 40);
  const std::string second = chunk("MSGF", 40);
  // The first message arrives cut inside its header and again inside its body.
  ScriptedServer server({ack + first.substr(0, 5), first.substr(5, 20), first.substr(25) + second},
                        1);
  TcpTamperProxy proxy(server.port());
  proxy.flip_in_next_message(3);

  const Socket client = connect_to(proxy.port());
  const std::string received = receive(client.get(), ack.size() + first.size() + second.size());

  EXPECT_EQ(received, ack + flipped(first, first.size() - 1 - 3) + second);
  EXPECT_EQ(proxy.tampered(), 1);
  EXPECT_EQ(proxy.connections(), 1);
}

TEST(TcpTamperProxyTest, WaitsForAMessageChunkLongerThanTheOffset) {
  const std::string short_one = chunk("MSGF", 16);
  const std::string long_one = chunk("MSGC", 64);
  ScriptedServer server({short_one + long_one}, 1);
  TcpTamperProxy proxy(server.port());
  proxy.flip_in_next_message(20);

  const Socket client = connect_to(proxy.port());
  const std::string received = receive(client.get(), short_one.size() + long_one.size());

  EXPECT_EQ(received, short_one + flipped(long_one, long_one.size() - 1 - 20));
  EXPECT_EQ(proxy.tampered(), 1);
}

TEST(TcpTamperProxyTest, ForwardsBothWaysAndServesTheNextConnectionAfterOneCloses) {
  const std::string message = chunk("MSGF", 32);
  ScriptedServer server({message}, 2);
  TcpTamperProxy proxy(server.port());
  proxy.flip_in_next_message(0);
  {
    const Socket client = connect_to(proxy.port());
    EXPECT_EQ(receive(client.get(), message.size()), flipped(message, message.size() - 1));
    const std::string request = chunk("HELF", 20);  // comes back as the server echoes it
    ASSERT_TRUE(send_all(client.get(), request));
    EXPECT_EQ(receive(client.get(), request.size()), request);
  }
  const Socket again = connect_to(proxy.port());
  EXPECT_EQ(receive(again.get(), message.size()), message);  // the flip was spent
  EXPECT_EQ(proxy.tampered(), 1);
  EXPECT_EQ(proxy.connections(), 2);
}

TEST(TcpTamperProxyTest, PassesOnWhatIsLeftWhenTheServerHangsUp) {
  // A stream that is no chunk at all, then a chunk cut short by the server's close.
  const std::string text = "hello, no chunk here";
  ScriptedServer unframed({text}, 1, true);
  TcpTamperProxy proxy_one(unframed.port());
  proxy_one.flip_in_next_message(0);
  const Socket one = connect_to(proxy_one.port());
  EXPECT_EQ(receive(one.get(), text.size()), text);
  EXPECT_TRUE(closed_by_peer(one.get()));

  const std::string cut = chunk("MSGF", 64).substr(0, 30);
  ScriptedServer cut_short({cut}, 1, true);
  TcpTamperProxy proxy_two(cut_short.port());
  proxy_two.flip_in_next_message(0);
  const Socket two = connect_to(proxy_two.port());
  EXPECT_EQ(receive(two.get(), cut.size()), cut);
  EXPECT_TRUE(closed_by_peer(two.get()));
  EXPECT_EQ(proxy_one.tampered() + proxy_two.tampered(), 0);
}

TEST(TcpTamperProxyTest, ClosesTheClientWhenTheServerRefuses) {
  const RefusingPort closed;
  TcpTamperProxy proxy(closed.port());
  const Socket client = connect_to(proxy.port());
  EXPECT_TRUE(closed_by_peer(client.get()));
  EXPECT_EQ(proxy.connections(), 1);
}

// The port a refusing test points at stays refused, and nobody else's, for the whole test.
TEST(RefusingPortTest, RefusesConnectionsAndCannotBeTakenWhileHeld) {
  const RefusingPort held;
  EXPECT_THROW(connect_to(held.port()), std::runtime_error);
  Socket other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(other.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = loopback(held.port());
  EXPECT_NE(::bind(other.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

TEST(TcpTamperProxyTest, DestructionClosesOpenConnections) {
  const std::string message = chunk("MSGF", 16);
  ScriptedServer server({message}, 1);
  std::optional<TcpTamperProxy> proxy(std::in_place, server.port());
  const Socket client = connect_to(proxy->port());
  ASSERT_EQ(receive(client.get(), message.size()), message);
  proxy.reset();
  EXPECT_TRUE(closed_by_peer(client.get()));
}

}  // namespace
}  // namespace kestrane_test
