#pragma once
// CallTimedOut: a call the server did not answer within its time. The channel counts as
// broken (an answer may still come, to a request we no longer wait for), so only a reconnect
// follows; a caller that sent many items may send fewer next time. scaled_timeout() gives a
// call carrying many items (CreateMonitoredItems, Read, ...) time that grows with them. Any
// thread.

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace pyqar::ua {

class CallTimedOut : public std::runtime_error {
 public:
  explicit CallTimedOut(const std::string& message) : std::runtime_error(message) {}
};

// `base` plus a little per item, at most two minutes (never less than `base`).
std::chrono::milliseconds scaled_timeout(std::chrono::milliseconds base, std::size_t items);

}  // namespace pyqar::ua
