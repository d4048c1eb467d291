#include "monitoring/http_listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "journel/log.h"
#include "journel/unique_fd.h"
#include "monitoring/detail/http_request_head.h"

namespace kestrane_monitoring {

using journel::UniqueFd;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::size_t kReadChunk = 4096;
// Reads per wake-up for one connection, so that a fast sender cannot hold the thread.
constexpr int kReadsPerWake = 16;
// Connections accepted per wake-up, so that a flood of new ones cannot starve the open ones.
constexpr int kAcceptsPerWake = 32;
// After answering, the rest of what a client sends is read and discarded this long at most
// before closing, so that the close does not reset the connection before the client has read
// the answer (it would, with unread request bytes left).
constexpr auto kLingerLimit = std::chrono::milliseconds(1000);
// Out of descriptors: accepting pauses this long instead of spinning on the listening socket.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kDropSummaryInterval = std::chrono::minutes(1);

enum class Phase { reading, writing, lingering };

struct Connection {
  UniqueFd fd;
  Phase phase = Phase::reading;
  Clock::time_point deadline;
  std::string in;
  std::string out;
  std::size_t sent = 0;
};

// Clients disconnected for misbehaving, summed up in one warning a minute at most.
struct DropCounts {
  std::size_t timed_out = 0;
  std::size_t displaced = 0;
  std::size_t turned_away = 0;
  std::size_t oversized = 0;
  std::size_t malformed = 0;

  std::size_t total() const { return timed_out + displaced + turned_away + oversized + malformed; }
};

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "";  // the reason phrase is optional
  }
}

HttpResponse plain(int status, std::string body) {
  return HttpResponse{status, "text/plain; charset=utf-8", std::move(body)};
}

std::string render(const HttpResponse& response) {
  return fmt::format(
      "HTTP/1.1 {} {}\r\nContent-Type: {}\r\nContent-Length: {}\r\nConnection: close\r\n\r\n{}",
      response.status, reason_phrase(response.status), response.content_type, response.body.size(),
      response.body);
}

bool is_would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int poll_timeout_ms(std::optional<Clock::time_point> wake_at, Clock::time_point now) {
  if (!wake_at) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake_at - now).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void earliest(std::optional<Clock::time_point>& wake_at, Clock::time_point t) {
  if (!wake_at || t < *wake_at) {
    wake_at = t;
  }
}

// Closes with a reset: a client that stopped reading leaves data in the send buffer, which the
// system would otherwise keep trying to deliver after the descriptor is gone.
void abort_connection(Connection& c) {
  const linger reset{1, 0};
  ::setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  c.fd.reset();
}

}  // namespace

struct HttpListener::Impl {
  Impl(const ListenAddress& address, std::map<std::string, HttpHandler> get_routes,
       HttpLimits limits);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void bind_and_listen(const ListenAddress& address);
  void run() noexcept;
  void serve();
  void accept_new(std::vector<Connection>& connections, Clock::time_point now);
  void advance(Connection& c, Clock::time_point now);
  void read_head(Connection& c, Clock::time_point now);
  void answer(Connection& c, std::string_view head, Clock::time_point now);
  HttpResponse call_handler(const std::string& path, const HttpHandler& handler);
  void start_response(Connection& c, const HttpResponse& response, Clock::time_point now);
  void send_pending(Connection& c, Clock::time_point now);
  void discard_input(Connection& c);
  void summarise_drops(Clock::time_point now);

  const std::string where;  // "host:port" for messages
  const std::map<std::string, HttpHandler> routes;
  const HttpLimits limits;
  const std::shared_ptr<spdlog::logger> log = journel::get_logger("monitoring");
  UniqueFd listen_fd;
  UniqueFd wake_fd;  // an eventfd the destructor writes to, waking poll
  std::uint16_t bound_port = 0;

  // Touched by the listener thread only.
  DropCounts drops;
  Clock::time_point last_summary = Clock::now();
  Clock::time_point accept_resume{};
  std::optional<Clock::time_point> last_accept_warning;

  std::thread thread;  // last: starts once everything above exists
};

HttpListener::Impl::Impl(const ListenAddress& address,
                         std::map<std::string, HttpHandler> get_routes, HttpLimits limits_in)
    : where(address.to_text()), routes(std::move(get_routes)), limits(limits_in) {
  for (const auto& [path, handler] : routes) {
    if (path.empty() || path.front() != '/') {
      throw std::invalid_argument(fmt::format("HTTP route '{}' does not start with '/'", path));
    }
    if (!handler) {
      throw std::invalid_argument(fmt::format("HTTP route '{}' has no handler", path));
    }
  }
  if (limits.max_connections == 0 || limits.max_request_bytes == 0 ||
      limits.request_timeout.count() <= 0) {
    throw std::invalid_argument("HTTP listener limits must be above zero");
  }
  bind_and_listen(address);
  wake_fd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_fd.valid()) {
    throw std::system_error(errno, std::generic_category(), "eventfd for the HTTP listener");
  }
  log->info("serving HTTP on {}", where);
  thread = std::thread([this] { run(); });
}

HttpListener::Impl::~Impl() {
  if (thread.joinable()) {
    const std::uint64_t one = 1;
    if (::write(wake_fd.get(), &one, sizeof one) < 0) {
      log->error("cannot wake the HTTP listener on {}: {}", where, std::strerror(errno));
    }
    thread.join();
  }
}

void HttpListener::Impl::bind_and_listen(const ListenAddress& address) {
  auto fail = [&](std::string_view reason) {
    const std::string message = fmt::format("cannot listen on {}: {}", where, reason);
    log->error("{}", message);
    throw std::runtime_error(message);
  };
  // An empty host would make the resolver answer with an any-address.
  if (address.host.empty()) {
    fail("empty host");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(address.port);
  if (const int rc = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found)) {
    fail(::gai_strerror(rc));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);

  int last_error = EADDRNOTAVAIL;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd.valid()) {
      last_error = errno;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // "[::]" means every IPv6 address, never the IPv4 ones as well.
    if (ai->ai_family == AF_INET6) {
      ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
      last_error = errno;
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      last_error = errno;
      continue;
    }
    bound_port =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    listen_fd = std::move(fd);
    return;
  }
  fail(std::strerror(last_error));
}

void HttpListener::Impl::run() noexcept {
  try {
    serve();
  } catch (const std::exception& e) {
    log->error("HTTP listener on {} stopped: {}", where, e.what());
  }
}

void HttpListener::Impl::serve() {
  std::vector<Connection> connections;
  std::vector<pollfd> fds;
  for (;;) {
    const auto before = Clock::now();
    const bool accepting = before >= accept_resume;
    std::optional<Clock::time_point> wake_at;
    fds.clear();
    fds.push_back(pollfd{wake_fd.get(), POLLIN, 0});
    // poll skips negative descriptors: how accepting pauses.
    fds.push_back(pollfd{accepting ? listen_fd.get() : -1, POLLIN, 0});
    if (!accepting) {
      earliest(wake_at, accept_resume);
    }
    for (const Connection& c : connections) {
      const short events = c.phase == Phase::writing ? POLLOUT : POLLIN;
      fds.push_back(pollfd{c.fd.get(), events, 0});
      earliest(wake_at, c.deadline);
    }
    if (drops.total() > 0) {
      earliest(wake_at, last_summary + kDropSummaryInterval);
    }

    if (::poll(fds.data(), fds.size(), poll_timeout_ms(wake_at, before)) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (fds[0].revents != 0) {
      return;
    }

    const auto now = Clock::now();
    for (std::size_t i = 0; i < connections.size(); ++i) {
      if (fds[i + 2].revents != 0) {
        advance(connections[i], now);
      }
    }
    for (Connection& c : connections) {
      if (c.fd.valid() && now >= c.deadline) {
        if (c.phase == Phase::reading) {
          ++drops.timed_out;
          c.fd.reset();
        } else if (c.phase == Phase::writing) {
          ++drops.timed_out;
          abort_connection(c);
        } else {
          c.fd.reset();
        }
      }
    }
    std::erase_if(connections, [](const Connection& c) { return !c.fd.valid(); });
    if (accepting && (fds[1].revents & POLLIN) != 0) {
      accept_new(connections, now);
    }
    summarise_drops(now);
  }
}

void HttpListener::Impl::accept_new(std::vector<Connection>& connections, Clock::time_point now) {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    UniqueFd fd(::accept4(listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) {
      const int err = errno;
      if (err == EINTR || err == ECONNABORTED) {
        continue;
      }
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        accept_resume = now + kAcceptPause;
        if (!last_accept_warning || now - *last_accept_warning >= kDropSummaryInterval) {
          log->warn("HTTP listener on {} cannot accept: {}", where, std::strerror(err));
          last_accept_warning = now;
        }
      }
      return;
    }
    if (connections.size() >= limits.max_connections) {
      // Oldest first: connections are kept in the order they came. One that is only lingering
      // is the cheapest to give up, then one still sending its request.
      auto victim = std::find_if(connections.begin(), connections.end(),
                                 [](const Connection& c) { return c.phase == Phase::lingering; });
      if (victim == connections.end()) {
        victim = std::find_if(connections.begin(), connections.end(),
                              [](const Connection& c) { return c.phase == Phase::reading; });
        if (victim != connections.end()) {
          ++drops.displaced;
        }
      }
      if (victim == connections.end()) {
        ++drops.turned_away;
        continue;
      }
      connections.erase(victim);
    }
    connections.push_back(
        Connection{std::move(fd), Phase::reading, now + limits.request_timeout, {}, {}, 0});
  }
}

void HttpListener::Impl::advance(Connection& c, Clock::time_point now) {
  switch (c.phase) {
    case Phase::reading:
      read_head(c, now);
      break;
    case Phase::writing:
      send_pending(c, now);
      break;
    case Phase::lingering:
      discard_input(c);
      break;
  }
}

void HttpListener::Impl::read_head(Connection& c, Clock::time_point now) {
  std::array<char, kReadChunk> buffer;
  for (int i = 0; i < kReadsPerWake; ++i) {
    const ssize_t got = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
    if (got == 0) {
      c.fd.reset();  // the client gave up
      return;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (!is_would_block(errno)) {
        c.fd.reset();
      }
      return;
    }
    // The end of the head may straddle two reads.
    const std::size_t search_from = c.in.size() < 3 ? 0 : c.in.size() - 3;
    c.in.append(buffer.data(), static_cast<std::size_t>(got));
    const auto end = c.in.find(kHeadEnd, search_from);
    const std::size_t head_bytes = end == std::string::npos ? c.in.size() : end + kHeadEnd.size();
    if (head_bytes > limits.max_request_bytes) {
      ++drops.oversized;
      start_response(c, plain(431, "request head too large\n"), now);
      return;
    }
    if (end != std::string::npos) {
      answer(c, std::string_view(c.in).substr(0, end + 2), now);
      return;
    }
  }
}

void HttpListener::Impl::answer(Connection& c, std::string_view head, Clock::time_point now) {
  const std::optional<RequestHead> request = parse_request_head(head);
  if (!request) {
    ++drops.malformed;
    start_response(c, plain(400, "bad request\n"), now);
    return;
  }
  const auto route = routes.find(request->path);
  if (request->method != "GET" || route == routes.end()) {
    start_response(c, plain(404, "not found\n"), now);
    return;
  }
  start_response(c, call_handler(route->first, route->second), now);
}

HttpResponse HttpListener::Impl::call_handler(const std::string& path, const HttpHandler& handler) {
  try {
    HttpResponse response = handler();
    if (response.status < 200 || response.status > 599) {
      log->error("HTTP handler for {} answered with status {}", path, response.status);
    } else if (response.content_type.find_first_of("\r\n") != std::string::npos) {
      log->error("HTTP handler for {} answered with a line break in its content type", path);
    } else {
      return response;
    }
  } catch (const std::exception& e) {
    journel::log_exception(*log, fmt::format("HTTP handler for {} failed", path), e);
  } catch (...) {
    log->error("HTTP handler for {} failed with an unknown exception", path);
  }
  return plain(500, "internal error\n");
}

void HttpListener::Impl::start_response(Connection& c, const HttpResponse& response,
                                        Clock::time_point now) {
  c.in = std::string();
  c.out = render(response);
  c.sent = 0;
  c.phase = Phase::writing;
  c.deadline = now + limits.request_timeout;
  send_pending(c, now);
}

void HttpListener::Impl::send_pending(Connection& c, Clock::time_point now) {
  while (c.sent < c.out.size()) {
    const ssize_t n =
        ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n >= 0) {
      c.sent += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      if (!is_would_block(errno)) {
        c.fd.reset();  // the client is gone
      }
      return;
    }
  }
  c.out = std::string();
  ::shutdown(c.fd.get(), SHUT_WR);
  c.phase = Phase::lingering;
  c.deadline = now + std::min<Clock::duration>(limits.request_timeout, kLingerLimit);
}

void HttpListener::Impl::discard_input(Connection& c) {
  std::array<char, kReadChunk> buffer;
  for (int i = 0; i < kReadsPerWake; ++i) {
    const ssize_t got = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
    if (got > 0 || (got < 0 && errno == EINTR)) {
      continue;
    }
    if (got == 0 || !is_would_block(errno)) {
      c.fd.reset();
    }
    return;
  }
}

void HttpListener::Impl::summarise_drops(Clock::time_point now) {
  if (drops.total() == 0 || now - last_summary < kDropSummaryInterval) {
    return;
  }
  log->warn(
      "HTTP listener on {} disconnected {} clients in the last minute: {} too slow, {} displaced "
      "by newer ones, {} turned away, {} with too large a request, {} with a malformed one",
      where, drops.total(), drops.timed_out, drops.displaced, drops.turned_away, drops.oversized,
      drops.malformed);
  drops = DropCounts{};
  last_summary = now;
}

HttpListener::HttpListener(const ListenAddress& address,
                           std::map<std::string, HttpHandler> get_routes, HttpLimits limits)
    : impl_(std::make_unique<Impl>(address, std::move(get_routes), limits)) {}

HttpListener::~HttpListener() = default;

std::uint16_t HttpListener::port() const { return impl_->bound_port; }

}  // namespace kestrane_monitoring
