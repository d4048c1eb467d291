#include "secure_channel.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "call_timeout.h"
#include "status_code.h"
#include "ua_limits.h"

namespace pyqar::ua {
namespace {

// The token is renewed once this share of its lifetime has passed.
constexpr double kRenewAt = 0.75;

std::span<const std::uint8_t> tag(const char (&text)[5]) {
  return {reinterpret_cast<const std::uint8_t*>(text), 4};
}

// Marks the channel broken unless the guarded scope completes.
class BreakOnThrow {
 public:
  explicit BreakOnThrow(bool& broken) : broken_(broken) {}
  ~BreakOnThrow() {
    if (!done_) broken_ = true;
  }
  void done() { done_ = true; }

 private:
  bool& broken_;
  bool done_ = false;
};

}  // namespace

SecureChannel::SecureChannel(const EndpointUrl& url, ChannelOptions options)
    : options_(std::move(options)),
      crypto_(options_.security),
      connection_(url, std::chrono::steady_clock::now() + options_.connect_timeout) {
  try {
    open(false);
  } catch (const std::runtime_error& e) {
    if (!crypto_.secured()) throw;
    // The usual cause of a refused secured channel is a server that does not trust us yet.
    const ChannelSecurity& security = crypto_.security();
    throw std::runtime_error(fmt::format(
        "{} (if the server does not trust this client yet, have its administrator trust our "
        "certificate {}, thumbprint {})",
        e.what(), security.own_certificate_path, security.own->certificate.sha1_hex()));
  }
}

SecureChannel::~SecureChannel() { close(); }

std::chrono::steady_clock::time_point SecureChannel::now() const {
  return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

UaConnection::Deadline SecureChannel::request_deadline() const {
  return std::chrono::steady_clock::now() + options_.request_timeout;
}

std::uint32_t SecureChannel::max_request_size() const {
  const std::uint32_t by_size = connection_.server_max_message_size();
  const auto chunk_body =
      static_cast<std::uint32_t>(crypto_.max_body_size(connection_.send_chunk_size()));
  const std::uint32_t chunks = connection_.server_max_chunk_count();
  std::uint32_t limit = by_size == 0 ? kMaxMessageSize : std::min(by_size, kMaxMessageSize);
  if (chunks != 0 && static_cast<std::uint64_t>(chunks) * chunk_body < limit)
    limit = chunks * chunk_body;
  return limit;
}

std::uint32_t SecureChannel::max_response_size() const {
  const auto chunk_body =
      static_cast<std::uint64_t>(crypto_.max_body_size(connection_.receive_chunk_size()));
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(kMaxMessageSize, kMaxChunkCount * chunk_body));
}

RequestHeader SecureChannel::make_header(const NodeId& authentication_token) {
  return {.authentication_token = authentication_token,
          .timestamp = to_date_time(std::chrono::system_clock::now()),
          .request_handle = ++request_handle_,
          .timeout_hint_ms = static_cast<std::uint32_t>(options_.request_timeout.count())};
}

void SecureChannel::open(bool renew) {
  BreakOnThrow guard(broken_);
  const auto deadline = request_deadline();
  BinaryWriter body;
  OpenSecureChannelRequest request;
  request.header = make_header();
  request.renew = renew;
  request.security_mode = static_cast<std::int32_t>(crypto_.mode());
  request.requested_lifetime_ms = options_.requested_lifetime_ms;
  if (crypto_.secured()) request.client_nonce = crypto_.new_client_nonce();
  encode_request(body, request);
  const std::uint32_t request_id = ++request_id_;
  chunk_ = BinaryWriter();
  chunk_.bytes(tag("OPNF"));
  chunk_.u32(0);
  chunk_.u32(channel_id_);
  crypto_.write_asymmetric_header(chunk_);
  const std::size_t sequence_at = chunk_.size();
  chunk_.u32(++sequence_number_);
  chunk_.u32(request_id);
  chunk_.bytes(body.data());
  crypto_.seal_asymmetric(chunk_, sequence_at);
  if (chunk_.size() > connection_.send_chunk_size()) {
    throw std::runtime_error("OpenSecureChannel request does not fit one chunk");
  }
  connection_.send(chunk_.data(), deadline);

  auto raw = connection_.receive(deadline);
  // Answers to outstanding requests may still be on their way before the renewal's.
  while (renew && decode_message_header(raw).type == MessageType::Message) {
    if (const auto id = file_chunk(raw)) keep_answer(*id);
    raw = connection_.receive(deadline);
  }
  if (decode_message_header(raw).type != MessageType::Open) {
    throw std::runtime_error(
        fmt::format("server at {} did not answer OpenSecureChannel", url().text));
  }
  Bytes opened_chunk;
  try {
    opened_chunk = crypto_.open_asymmetric(raw, kMessageHeaderSize + 4);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(fmt::format(
        "server at {} sent an OpenSecureChannel answer that fails its security check: {}",
        url().text, e.what()));
  }
  const SecureChunk chunk = decode_secure_chunk(opened_chunk);
  if (chunk.header.chunk != 'F') {
    throw std::runtime_error(
        fmt::format("server at {} did not answer OpenSecureChannel", url().text));
  }
  if (chunk.request_id != request_id) {
    throw std::runtime_error(fmt::format("server at {} answered request {} instead of {}",
                                         url().text, chunk.request_id, request_id));
  }
  check_sequence(chunk.sequence_number);
  const ServiceResponse response = decode_response(chunk.body);
  const auto* opened = std::get_if<OpenSecureChannelResponse>(&response);
  const std::uint32_t result = header_of(response).service_result;
  if (opened == nullptr || severity(result) == Severity::Bad) {
    throw std::runtime_error(fmt::format("server at {} refused the secure channel: {}", url().text,
                                         status_text(result)));
  }
  if (renew && opened->channel_id != channel_id_) {
    throw std::runtime_error(
        fmt::format("server at {} changed the channel id on renewal", url().text));
  }
  crypto_.add_token(opened->token_id, opened->server_nonce);
  channel_id_ = opened->channel_id;
  token_id_ = opened->token_id;
  token_created_ = now();
  token_lifetime_ = std::chrono::milliseconds(
      opened->revised_lifetime_ms ? opened->revised_lifetime_ms : options_.requested_lifetime_ms);
  guard.done();
}

void SecureChannel::check_sequence(std::uint32_t number) {
  // On a secured channel a replayed or dropped chunk shows as a gap; the counter may wrap
  // to a small number once it nears its end.
  if (crypto_.secured() && server_sequence_) {
    const bool next = number == *server_sequence_ + 1;
    const bool wrapped = *server_sequence_ > UINT32_MAX - 1024 && number < 1024;
    if (!next && !wrapped) {
      throw std::runtime_error(fmt::format("server at {} sent sequence number {} after {}",
                                           url().text, number, *server_sequence_));
    }
  }
  server_sequence_ = number;
}

bool SecureChannel::expired() const { return now() >= token_created_ + token_lifetime_; }

void SecureChannel::renew_if_due() {
  const auto due = token_created_ + std::chrono::duration_cast<std::chrono::milliseconds>(
                                        token_lifetime_ * kRenewAt);
  if (now() >= due) open(true);
}

void SecureChannel::send_message(std::span<const std::uint8_t> body, std::uint32_t request_id,
                                 UaConnection::Deadline deadline) {
  if (body.size() > max_request_size()) {
    throw std::runtime_error(
        fmt::format("request of {} bytes exceeds the {} bytes server at {} accepts", body.size(),
                    max_request_size(), url().text));
  }
  const std::size_t per_chunk = crypto_.max_body_size(connection_.send_chunk_size());
  std::size_t offset = 0;
  do {
    const std::size_t n = std::min(per_chunk, body.size() - offset);
    const bool last = offset + n == body.size();
    chunk_ = BinaryWriter();
    chunk_.reserve(connection_.send_chunk_size());
    chunk_.bytes(tag(last ? "MSGF" : "MSGC"));
    chunk_.u32(0);
    chunk_.u32(channel_id_);
    chunk_.u32(token_id_);
    chunk_.u32(++sequence_number_);
    chunk_.u32(request_id);
    chunk_.bytes(body.subspan(offset, n));
    crypto_.seal_symmetric(chunk_, token_id_);
    connection_.send(chunk_.data(), deadline);
    offset += n;
  } while (offset < body.size());
}

std::optional<std::uint32_t> SecureChannel::file_chunk(std::span<std::uint8_t> raw) {
  if (decode_message_header(raw).type != MessageType::Message) {
    throw std::runtime_error(fmt::format("server at {} sent an unexpected chunk", url().text));
  }
  std::size_t clear = 0;
  try {
    clear = crypto_.open_symmetric(raw, older_token_outstanding());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(fmt::format(
        "server at {} sent a chunk that fails its security check ({}); the channel is closed",
        url().text, e.what()));
  }
  const SecureChunk chunk = decode_secure_chunk(raw.first(clear));
  if (chunk.channel_id != channel_id_) {
    throw std::runtime_error(fmt::format("server at {} answered on channel {} instead of {}",
                                         url().text, chunk.channel_id, channel_id_));
  }
  const auto found = pending_.find(chunk.request_id);
  if (found == pending_.end()) {
    throw std::runtime_error(fmt::format("server at {} answered request {}, which is not open",
                                         url().text, chunk.request_id));
  }
  check_sequence(chunk.sequence_number);
  Pending& pending = found->second;
  if (chunk.header.chunk == 'A') {
    const ErrorMessage error = decode_error(chunk.body);
    throw std::runtime_error(fmt::format("server at {} aborted the response: {} {}", url().text,
                                         status_text(error.error), error.reason));
  }
  if (++pending.chunks > kMaxChunkCount) {
    throw std::runtime_error(
        fmt::format("server at {} sent more than {} chunks", url().text, kMaxChunkCount));
  }
  if (pending.body.size() + chunk.body.size() > kMaxMessageSize) {
    throw std::runtime_error(
        fmt::format("response from {} exceeds {} bytes", url().text, kMaxMessageSize));
  }
  pending.body.insert(pending.body.end(), chunk.body.begin(), chunk.body.end());
  if (chunk.header.chunk != 'F') return std::nullopt;
  completed_ = std::move(pending.body);
  pending_.erase(found);
  return chunk.request_id;
}

std::optional<std::uint32_t> SecureChannel::receive_chunk(UaConnection::Deadline deadline) {
  return file_chunk(connection_.receive(deadline));
}

void SecureChannel::keep_answer(std::uint32_t request_id) {
  answered_.push_back({.request_id = request_id, .response = decode_response(completed_)});
  --waiting_;
}

bool SecureChannel::older_token_outstanding() const {
  return std::any_of(pending_.begin(), pending_.end(),
                     [this](const auto& entry) { return entry.second.token_id != token_id_; });
}

void SecureChannel::check_overdue() {
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [id, pending] : pending_) {
    if (!pending.awaited_by_call && pending.deadline <= now) {
      throw std::runtime_error(
          fmt::format("timed out waiting for the server's answer to request {}", id));
    }
  }
}

std::uint32_t SecureChannel::start_request(std::span<const std::uint8_t> request,
                                           UaConnection::Deadline deadline, bool awaited_by_call) {
  renew_if_due();
  const std::uint32_t request_id = ++request_id_;
  send_message(request, request_id, deadline);
  pending_[request_id] = Pending{.deadline = deadline,
                                 .token_id = token_id_,
                                 .awaited_by_call = awaited_by_call,
                                 .chunks = 0,
                                 .body = {}};
  return request_id;
}

ServiceResponse SecureChannel::call(std::span<const std::uint8_t> request) {
  return call(request, options_.request_timeout);
}

ServiceResponse SecureChannel::call(std::span<const std::uint8_t> request,
                                    std::chrono::milliseconds timeout) {
  if (broken_) throw std::runtime_error(fmt::format("secure channel to {} is closed", url().text));
  BreakOnThrow guard(broken_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::uint32_t request_id = start_request(request, deadline, true);
  try {
    for (;;) {
      const auto id = receive_chunk(deadline);
      if (!id) continue;
      if (*id == request_id) break;
      keep_answer(*id);
    }
  } catch (const std::runtime_error& e) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw CallTimedOut(fmt::format("timed out waiting {} ms for an answer from {}",
                                     timeout.count(), url().text));
    }
    throw std::runtime_error(fmt::format("{} ({})", e.what(), url().text));
  }
  ServiceResponse response = decode_response(completed_);
  guard.done();
  return response;
}

std::uint32_t SecureChannel::send(std::span<const std::uint8_t> request,
                                  std::chrono::milliseconds timeout) {
  if (broken_) throw std::runtime_error(fmt::format("secure channel to {} is closed", url().text));
  BreakOnThrow guard(broken_);
  const std::uint32_t id =
      start_request(request, std::chrono::steady_clock::now() + timeout, false);
  ++waiting_;
  guard.done();
  return id;
}

std::optional<SecureChannel::Answer> SecureChannel::receive(
    std::chrono::steady_clock::time_point deadline) {
  if (broken_) throw std::runtime_error(fmt::format("secure channel to {} is closed", url().text));
  BreakOnThrow guard(broken_);
  try {
    while (answered_.empty() && waiting_ > 0) {
      check_overdue();
      auto until = deadline;
      for (const auto& [id, pending] : pending_) until = std::min(until, pending.deadline);
      if (!connection_.readable_by(until)) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        continue;
      }
      // A chunk has begun: the rest of it follows within the usual request time.
      if (const auto id = receive_chunk(request_deadline())) keep_answer(*id);
    }
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(fmt::format("{} ({})", e.what(), url().text));
  }
  guard.done();
  if (answered_.empty()) return std::nullopt;
  Answer answer = std::move(answered_.front());
  answered_.pop_front();
  return answer;
}

void SecureChannel::close() noexcept {
  if (!broken_) {
    broken_ = true;
    try {
      BinaryWriter body;
      encode_request(body, CloseSecureChannelRequest{make_header()});
      chunk_ = BinaryWriter();
      chunk_.bytes(tag("CLOF"));
      chunk_.u32(0);
      chunk_.u32(channel_id_);
      chunk_.u32(token_id_);
      chunk_.u32(++sequence_number_);
      chunk_.u32(++request_id_);
      chunk_.bytes(body.data());
      crypto_.seal_symmetric(chunk_, token_id_);
      connection_.send(chunk_.data(), std::chrono::steady_clock::now() + std::chrono::seconds(1));
    } catch (...) {
      // The server may already be gone; closing the socket is all that is left to do.
    }
  }
  connection_.close();
}

}  // namespace pyqar::ua
