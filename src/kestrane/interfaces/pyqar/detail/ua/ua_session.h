#pragma once
// UaSession: an activated, anonymous session on its own secure channel, and the Read
// service split to the server's MaxNodesPerRead. Owns the channel; not copyable; one thread
// at a time. Any failure leaves the session unusable; make a new one to recover.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "endpoint_url.h"
#include "secure_channel.h"
#include "ua_codec.h"

namespace pyqar::ua {

struct SessionOptions {
  ChannelOptions channel;
  double requested_session_timeout_ms = 60'000;
  std::string session_name = "Kestrane";
};

class UaSession {
 public:
  // Opens the channel, creates and activates the session, and reads MaxNodesPerRead.
  // Throws std::runtime_error naming the address and the step that failed.
  UaSession(const EndpointUrl& url, SessionOptions options);
  // Closes session and channel; never throws.
  ~UaSession();
  UaSession(const UaSession&) = delete;
  UaSession& operator=(const UaSession&) = delete;

  bool usable() const { return usable_ && !channel_.broken(); }
  // Whether the server has dropped channel or session by now for lack of use: the token's
  // lifetime or the session's timeout has passed since the last request.
  bool stale() const;
  // 0 when the server sets no limit.
  std::uint32_t max_nodes_per_read() const { return max_nodes_per_read_; }
  const SecureChannel& channel() const { return channel_; }

  // Reads the Value attribute of each node; one result per node, in order. Throws
  // std::runtime_error on a service fault, a bad service result, a wrong result count, a
  // timeout or a lost connection; the session is then unusable.
  std::vector<DataValue> read(std::span<const NodeId> nodes);

 private:
  void create_and_activate();
  void read_limits();
  void read_chunk(std::span<const NodeId> nodes, std::vector<DataValue>& out);
  template <typename Response, typename Request>
  Response call(const Request& request, const char* service);
  // Sends the request already encoded in request_.
  template <typename Response>
  Response call_encoded(const char* service);

  SessionOptions options_;
  SecureChannel channel_;
  NodeId authentication_token_;
  std::chrono::milliseconds session_timeout_{0};
  std::chrono::steady_clock::time_point last_used_;
  bool usable_ = false;
  std::uint32_t max_nodes_per_read_ = 0;
  BinaryWriter request_;
};

}  // namespace pyqar::ua
