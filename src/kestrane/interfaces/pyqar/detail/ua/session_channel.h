#pragma once
// SessionChannel: the secure channel a session's services travel over, and the rules every
// call on it follows: one reused request buffer, the answer checked for a fault and for its
// type, and the session marked unusable when the channel or the session is gone. Owned by a
// UaSession and used by its parts; one thread at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "binary_writer.h"
#include "endpoint_url.h"
#include "secure_channel.h"
#include "ua_codec.h"

namespace pyqar::ua {

class SessionChannel {
 public:
  // Opens the channel; throws as SecureChannel's constructor does.
  SessionChannel(const EndpointUrl& url, const ChannelOptions& options);
  // Closes the channel; never throws.
  ~SessionChannel();
  SessionChannel(const SessionChannel&) = delete;
  SessionChannel& operator=(const SessionChannel&) = delete;

  bool usable() const { return usable_ && !channel_->broken(); }
  void set_usable(bool usable) { usable_ = usable; }
  // Throws std::runtime_error unless usable.
  void check_usable() const;
  // Marks the session unusable and throws std::runtime_error with `message`.
  [[noreturn]] void fail(std::string message);

  SecureChannel& channel() { return *channel_; }
  const SecureChannel& channel() const { return *channel_; }
  const EndpointUrl& url() const { return url_; }
  // A header for the next request of this session.
  RequestHeader header() { return channel_->make_header(authentication_token_); }
  const NodeId& authentication_token() const { return authentication_token_; }
  void set_authentication_token(NodeId token) { authentication_token_ = std::move(token); }
  std::chrono::steady_clock::time_point last_used() const { return last_used_; }
  // Opens a new channel in place of the broken one; the old one stays until the new one is
  // open, so there is always a channel. The session is unusable until activated on it.
  void reopen();

  // Encodes `request` into the request buffer; returns its size in bytes.
  template <typename Request>
  std::size_t encode(const Request& request) {
    request_ = BinaryWriter();
    encode_request(request_, request);
    return request_.size();
  }
  // Sends `request`; any bad answer (fault, bad result, another service) marks the session
  // unusable and throws std::runtime_error.
  template <typename Response, typename Request>
  Response call(const Request& request, const char* service) {
    encode(request);
    return call_encoded<Response>(service);
  }
  // As call(), for the request encode() left in the buffer; with `timeout` for its answer
  // (0: the channel's request timeout).
  template <typename Response>
  Response call_encoded(const char* service,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds::zero()) {
    ServiceResponse response =
        exchange(timeout == std::chrono::milliseconds::zero() ? options_.request_timeout : timeout);
    check_call_result(response, service);
    return typed<Response>(std::move(response), service, channel_->url().text);
  }
  // For the subscription services: a bad service result throws ServiceError and leaves the
  // session usable (so does a request too large for the channel, refused before it is sent);
  // a lost session or channel, or an answer of another service, throws std::runtime_error and
  // marks the session unusable.
  template <typename Response, typename Request>
  Response call_service(const Request& request, const char* service) {
    return call_service_within<Response>(request, service, options_.request_timeout);
  }
  // As above, for a call carrying `items` items: its timeout (and the hint the server gets)
  // grows with them. A call not answered in time throws CallTimedOut.
  template <typename Response, typename Request>
  Response call_service(Request request, const char* service, std::size_t items) {
    const std::chrono::milliseconds timeout = timeout_for(items);
    request.header.timeout_hint_ms = hint(timeout);
    return call_service_within<Response>(request, service, timeout);
  }
  // The time a call carrying `items` items may take.
  std::chrono::milliseconds timeout_for(std::size_t items) const;
  static std::uint32_t hint(std::chrono::milliseconds timeout);
  template <typename Response>
  Response checked(ServiceResponse response, const char* service) {
    check_service_result(response, service);
    return typed<Response>(std::move(response), service, url_.text);
  }
  // Throws (the session unusable) for an answer whose result count differs from the request's.
  void check_count(std::size_t results, std::size_t asked, const char* service);

  // Sends the request in the buffer without waiting; the answer may take `timeout`.
  void send_encoded(std::chrono::milliseconds timeout);
  // The next answer to a request from send_encoded(), waiting until `deadline`.
  std::optional<SecureChannel::Answer> receive(std::chrono::steady_clock::time_point deadline);

 private:
  ServiceResponse exchange(std::chrono::milliseconds timeout);
  template <typename Response, typename Request>
  Response call_service_within(const Request& request, const char* service,
                               std::chrono::milliseconds timeout) {
    check_usable();
    encode(request);
    check_request_size(service);
    return checked<Response>(exchange(timeout), service);
  }
  void check_call_result(const ServiceResponse& response, const char* service);
  void check_service_result(const ServiceResponse& response, const char* service);
  void check_request_size(const char* service) const;
  template <typename Response>
  Response typed(ServiceResponse response, const char* service, const std::string& url) {
    auto* answer = std::get_if<Response>(&response);
    if (answer == nullptr) wrong_service(service, url);
    return std::move(*answer);
  }
  [[noreturn]] void wrong_service(const char* service, const std::string& url);

  EndpointUrl url_;
  ChannelOptions options_;
  std::unique_ptr<SecureChannel> channel_;
  NodeId authentication_token_;
  std::chrono::steady_clock::time_point last_used_;
  bool usable_ = false;
  BinaryWriter request_;
};

}  // namespace pyqar::ua
