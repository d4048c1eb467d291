#pragma once
// SecureChannel: an OPC UA secure channel over one UaConnection, secured as its options say.
// Opens the channel, renews its token (and keys) before it expires, splits requests into
// chunks and reassembles responses (several may be outstanding, their chunks interleaved), and
// closes the channel. Owns its connection; not copyable; one thread at a time. Any failure
// leaves the channel broken: later calls fail at once.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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
  // The largest answer we accept: our message limit, or fewer chunks of the server's size.
  std::uint32_t max_response_size() const;
  const ChannelCrypto& crypto() const { return crypto_; }
  // Whether the token's lifetime has run out: the server will have closed the channel.
  bool expired() const;
  // The renewal clock's current time.
  std::chrono::steady_clock::time_point now() const;

  // A header for the next request: fresh handle, timestamp and timeout hint.
  RequestHeader make_header(const NodeId& authentication_token = {});
  // Sends one encoded request (type id first) and returns the decoded response. Service
  // faults come back as responses; transport and decoding failures throw. Answers to requests
  // sent with send() that arrive meanwhile are kept for receive().
  ServiceResponse call(std::span<const std::uint8_t> request);
  // As above, with `timeout` for the answer instead of the channel's request timeout; an
  // answer that does not come in time throws CallTimedOut.
  ServiceResponse call(std::span<const std::uint8_t> request, std::chrono::milliseconds timeout);

  // An answer to a request sent with send().
  struct Answer {
    std::uint32_t request_id = 0;
    ServiceResponse response;
  };
  // Sends one encoded request without waiting and returns its request id. The server has
  // `timeout` to answer it; after that the channel counts as broken.
  std::uint32_t send(std::span<const std::uint8_t> request, std::chrono::milliseconds timeout);
  // The next answer to a request from send(), in the order the answers completed, waiting
  // until `deadline`; nothing when none completed by then (at once when none is outstanding).
  // Throws as call() does, and when an outstanding request's time has run out.
  std::optional<Answer> receive(std::chrono::steady_clock::time_point deadline);
  // Requests from send() whose answers receive() has not returned yet.
  std::size_t outstanding() const { return waiting_ + answered_.size(); }
  // Sends CloseSecureChannel and closes the socket; never throws.
  void close() noexcept;

 private:
  void open(bool renew);
  void renew_if_due();
  void send_message(std::span<const std::uint8_t> body, std::uint32_t request_id,
                    UaConnection::Deadline deadline);
  // A request whose answer has not (wholly) arrived: the chunks so far and its time limit.
  struct Pending {
    UaConnection::Deadline deadline;
    std::uint32_t token_id = 0;  // the token it was sent under
    bool awaited_by_call = false;
    std::uint32_t chunks = 0;
    std::vector<std::uint8_t> body;
  };
  // Files one received MSG chunk under its request; the request id once its answer is whole
  // (its body then in completed_).
  std::optional<std::uint32_t> file_chunk(std::span<std::uint8_t> raw);
  // Reads and files one chunk; waits for it until `deadline`.
  std::optional<std::uint32_t> receive_chunk(UaConnection::Deadline deadline);
  // Decodes a whole answer to a request from send() and keeps it for receive().
  void keep_answer(std::uint32_t request_id);
  // Whether a request sent under an older token than the newest still awaits its answer.
  bool older_token_outstanding() const;
  // Throws when an outstanding request has waited past its time.
  void check_overdue();
  std::uint32_t start_request(std::span<const std::uint8_t> request,
                              UaConnection::Deadline deadline, bool awaited_by_call);
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
  std::map<std::uint32_t, Pending> pending_;
  std::vector<std::uint8_t> completed_;  // the body of the answer file_chunk completed last
  std::deque<Answer> answered_;
  std::size_t waiting_ = 0;  // requests from send() not answered yet
};

}  // namespace pyqar::ua
