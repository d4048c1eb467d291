#pragma once
// RefusingPort: a loopback TCP port where a connection is refused, for as long as this object
// lives. The port is bound but never listened on, so nothing else can take it meanwhile (a
// port bound and given back at once may be taken by the next listener on the machine).
// Owns the socket; any thread.

namespace kestrane_test {

class RefusingPort {
 public:
  // Throws std::runtime_error when no loopback port can be bound.
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace kestrane_test
