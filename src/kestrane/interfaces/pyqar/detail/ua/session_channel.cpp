#include "session_channel.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "call_timeout.h"
#include "status_code.h"
#include "subscription_services.h"

namespace pyqar::ua {
namespace {

constexpr std::uint32_t kBadRequestTooLarge = 0x80B80000;
constexpr std::uint32_t kBadSecureChannelClosed = 0x80860000;

// Results that say the session (or its channel) is gone: only a reconnect helps.
bool session_lost(std::uint32_t status) {
  switch (status) {
    case status::BadSessionIdInvalid:
    case status::BadSessionClosed:
    case status::BadSessionNotActivated:
    case status::BadSecureChannelIdInvalid:
    case kBadSecureChannelClosed:
      return true;
    default:
      return false;
  }
}

}  // namespace

SessionChannel::SessionChannel(const EndpointUrl& url, const ChannelOptions& options)
    : url_(url), options_(options), channel_(std::make_unique<SecureChannel>(url, options)) {}

SessionChannel::~SessionChannel() {
  usable_ = false;
  channel_->close();
}

void SessionChannel::check_usable() const {
  if (!usable()) {
    throw std::runtime_error(fmt::format("session on {} is closed", channel_->url().text));
  }
}

void SessionChannel::fail(std::string message) {
  usable_ = false;
  throw std::runtime_error(std::move(message));
}

void SessionChannel::reopen() {
  usable_ = false;
  auto fresh = std::make_unique<SecureChannel>(url_, options_);
  channel_->close();
  channel_ = std::move(fresh);
}

ServiceResponse SessionChannel::exchange(std::chrono::milliseconds timeout) {
  ServiceResponse response = channel_->call(request_.data(), timeout);
  last_used_ = channel_->now();
  return response;
}

void SessionChannel::check_call_result(const ServiceResponse& response, const char* service) {
  const std::uint32_t result = header_of(response).service_result;
  if (std::holds_alternative<ServiceFault>(response) || severity(result) == Severity::Bad) {
    fail(fmt::format("{} on {} failed: {}", service, channel_->url().text, status_text(result)));
  }
}

void SessionChannel::check_service_result(const ServiceResponse& response, const char* service) {
  const std::uint32_t result = header_of(response).service_result;
  if (!std::holds_alternative<ServiceFault>(response) && severity(result) != Severity::Bad) return;
  std::string message = fmt::format("{} on {} failed: {}", service, url_.text, status_text(result));
  if (session_lost(result) || severity(result) != Severity::Bad) fail(std::move(message));
  throw ServiceError(result, message);
}

void SessionChannel::check_request_size(const char* service) const {
  // Refused here, a request that is too large leaves the channel intact for a smaller one.
  if (request_.size() > channel_->max_request_size()) {
    throw ServiceError(kBadRequestTooLarge,
                       fmt::format("{} on {}: the request of {} bytes exceeds the {} the server "
                                   "accepts: {}",
                                   service, url_.text, request_.size(),
                                   channel_->max_request_size(), status_text(kBadRequestTooLarge)));
  }
}

std::chrono::milliseconds SessionChannel::timeout_for(std::size_t items) const {
  return scaled_timeout(options_.request_timeout, items);
}

std::uint32_t SessionChannel::hint(std::chrono::milliseconds timeout) {
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(timeout.count(), 0, std::numeric_limits<std::uint32_t>::max()));
}

void SessionChannel::wrong_service(const char* service, const std::string& url) {
  fail(fmt::format("{} on {}: the server sent a response of another service", service, url));
}

void SessionChannel::check_count(std::size_t results, std::size_t asked, const char* service) {
  if (results != asked) {
    fail(fmt::format("{} on {}: {} results for {} asked", service, url_.text, results, asked));
  }
}

void SessionChannel::send_encoded(std::chrono::milliseconds timeout) {
  channel_->send(request_.data(), timeout + options_.request_timeout);
  last_used_ = channel_->now();
}

std::optional<SecureChannel::Answer> SessionChannel::receive(
    std::chrono::steady_clock::time_point deadline) {
  auto answer = channel_->receive(deadline);
  if (answer) last_used_ = channel_->now();
  return answer;
}

}  // namespace pyqar::ua
