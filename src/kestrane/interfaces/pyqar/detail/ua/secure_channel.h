#pragma once
// SecureChannel: an OPC UA secure channel over one UaConnection, secured as its options say.
// Opens the channel, renews its token (and keys) before it expires, splits requests into
// chunks and reassembles responses, and closes the channel. Owns its connection; not copyable; one
// thread at a time. Any failure leaves the channel broken: later calls fail at once.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "binary_writer.h"
#include "channel_crypto.h"
#include "endpoint_url.h"
#include "ua_connection.h"
#include "ua_messages.h"

namespace pyqar::ua {

struct ChannelOptions {
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds request_timeout{5000};
  std::uint32_t requested_lifetime_ms = 3'600'000;
  // The clock that decides when the token is renewed; tests move it forward.
  std::function<std::chrono::steady_clock::time_point()> clock;
  ChannelSecurity security{};
};

class SecureChannel {
 public:
  // Connects and opens the channel; throws std::runtime_error naming the address.
  SecureChannel(const EndpointUrl& url, ChannelOptions options);
  ~SecureChannel();
  SecureChannel(const SecureChannel&) = delete;
  SecureChannel& operator=(const SecureChannel&) = delete;

  const EndpointUrl& url() const { return connection_.url(); }
  bool broken() const { return broken_; }
  std::uint32_t token_id() const { return token_id_; }
  std::uint32_t max_request_size() const;
  const ChannelCrypto& crypto() const { return crypto_; }
  // Whether the token's lifetime has run out: the server will have closed the channel.
  bool expired() const;
  // The renewal clock's current time.
  std::chrono::steady_clock::time_point now() const;

  // A header for the next request: fresh handle, timestamp and timeout hint.
  RequestHeader make_header(const NodeId& authentication_token = {});
  // Sends one encoded request (type id first) and returns the decoded response. Service
  // faults come back as responses; transport and decoding failures throw.
  ServiceResponse call(std::span<const std::uint8_t> request);
  // Sends CloseSecureChannel and closes the socket; never throws.
  void close() noexcept;

 private:
  void open(bool renew);
  void renew_if_due();
  void send_message(std::span<const std::uint8_t> body, std::uint32_t request_id,
                    UaConnection::Deadline deadline);
  std::vector<std::uint8_t> receive_response(std::uint32_t request_id,
                                             UaConnection::Deadline deadline);
  UaConnection::Deadline request_deadline() const;
  void check_sequence(std::uint32_t number);

  ChannelOptions options_;
  ChannelCrypto crypto_;
  UaConnection connection_;
  bool broken_ = false;
  std::uint32_t channel_id_ = 0;
  std::uint32_t token_id_ = 0;
  std::chrono::steady_clock::time_point token_created_;
  std::chrono::milliseconds token_lifetime_{0};
  std::uint32_t sequence_number_ = 0;
  std::optional<std::uint32_t> server_sequence_;
  std::uint32_t request_id_ = 0;
  std::uint32_t request_handle_ = 0;
  BinaryWriter chunk_;
};

}  // namespace pyqar::ua
