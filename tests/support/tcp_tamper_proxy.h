#pragma once
// TcpTamperProxy: a loopback TCP proxy between an OPC UA client under test and its server that
// can corrupt one byte of a chosen server-to-client message on the way. Owned by the test;
// its own thread forwards the bytes, and every public member may be called from any thread.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kestrane_test {

class TcpTamperProxy {
 public:
  // Listens on a free 127.0.0.1 port and forwards every connection made to it, as long as it
  // lasts, to 127.0.0.1:target_port (a connection the target refuses is closed at once).
  // Throws std::runtime_error when it cannot listen.
  explicit TcpTamperProxy(int target_port);
  // Stops forwarding and closes every socket before it returns.
  ~TcpTamperProxy();
  TcpTamperProxy(const TcpTamperProxy&) = delete;
  TcpTamperProxy& operator=(const TcpTamperProxy&) = delete;

  int port() const { return port_; }

  // The next whole "MSG" chunk from the server longer than offset_from_end gets the byte
  // at (size - 1 - offset_from_end) inverted before the client sees it, once. The chunks
  // are cut by their 8-byte headers (type, chunk type, little-endian size).
  void flip_in_next_message(std::size_t offset_from_end);
  // Chunks corrupted so far; counted before the corrupted chunk is passed on.
  int tampered() const { return tampered_.load(); }
  // Client connections accepted so far.
  int connections() const { return connections_.load(); }
  // While set, every new client connection is closed at once, as if the target were down.
  void set_refusing(bool refusing) { refusing_ = refusing; }
  // Closes every connection made so far on both sides, as a broken network would; new ones
  // are forwarded as before. Returns once they are closed.
  void cut_connections();
  // New connections pass the server's bytes on as they come, without cutting them into OPC UA
  // chunks (for other protocols, PostgreSQL say); nothing is tampered with on them.
  void pass_bytes_unframed() { unframed_ = true; }

 private:
  // Sole owner of one file descriptor.
  class Fd {
   public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept;
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }

   private:
    int fd_ = -1;
  };
  struct Link;  // one client connection and the server connection made for it

  void run();
  void wake();
  void accept_clients(std::vector<Link>& links);
  // Moves what can move without blocking; false once the link is finished.
  bool pump(Link& link, short client_revents, short server_revents);
  // Passes the whole chunks received from the server on to the client side, tampering if armed.
  void frame_server_bytes(Link& link);

  const int target_port_;
  int port_ = 0;
  Fd listener_;
  Fd wake_;  // an eventfd: readable once the destructor wants the thread to end
  std::atomic<int> tampered_{0};
  std::atomic<int> connections_{0};
  std::atomic<bool> refusing_{false};
  std::atomic<bool> unframed_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> cut_requested_{false};
  std::atomic<int> cuts_{0};
  std::mutex mutex_;
  std::optional<std::size_t> armed_offset_;  // guarded by mutex_
  std::thread thread_;                       // the only thread that touches listener_ and the links
};

}  // namespace kestrane_test
