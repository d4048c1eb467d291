#pragma once
// HttpListener: a small HTTP/1.x server for a few GET routes (metrics, health), with one thread
// of its own that it starts when built and joins when destroyed. Owned by the program that
// serves the routes; build and destroy it on one thread. The handlers run on the listener's
// thread while the owner's threads carry on, so each handler must guard what it reads itself.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "monitoring/listen_address.h"

namespace kestrane_monitoring {

struct HttpResponse {
  int status = 200;  // 200-599; anything else is answered with 500
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

// Called once per request for its route; may throw (the client then gets a 500).
using HttpHandler = std::function<HttpResponse()>;

// What one client may cost the listener. A client that overruns a limit is disconnected.
struct HttpLimits {
  // Open connections at most; a new client beyond it displaces the oldest one that has not
  // finished its request yet, or is turned away when every connection is being answered.
  std::size_t max_connections = 64;
  // The request line and headers together, blank line included; beyond it: 431.
  std::size_t max_request_bytes = 8192;
  // For the whole request head to arrive, and again for the whole response to be taken.
  std::chrono::milliseconds request_timeout{5000};
};

class HttpListener {
 public:
  // Binds exactly `address` (a host name: the first address it resolves to that binds; port 0:
  // any free port) and starts serving. `get_routes` maps paths ("/metrics") to handlers; GET
  // is the only method served, everything else is 404, a malformed request 400. Throws
  // std::runtime_error "cannot listen on <host:port>: <reason>" (the address is in use, not
  // local, or does not resolve), std::invalid_argument on a route not starting with '/', an
  // empty handler or a limit of zero.
  HttpListener(const ListenAddress& address, std::map<std::string, HttpHandler> get_routes,
               HttpLimits limits = {});
  // Stops at once, whatever the clients are doing, and closes every connection.
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;
  HttpListener(HttpListener&&) = delete;
  HttpListener& operator=(HttpListener&&) = delete;

  // The port bound: the one asked for, or the one the system chose for port 0.
  std::uint16_t port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrane_monitoring
