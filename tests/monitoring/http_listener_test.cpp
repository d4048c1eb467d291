#include "monitoring/http_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "journel/unique_fd.h"
#include "log_capture.h"

namespace kestrane_monitoring {

using journel::UniqueFd;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kMetricsBody[] = "# TYPE kestrane_cycles_total counter\nkestrane_cycles_total 3\n";
constexpr std::size_t kBigBody = 32 << 20;  // more than the socket buffers of both ends hold

struct CurlResult {
  int exit_code = -1;
  int status = 0;
  std::string head;
  std::string body;
};

// Runs curl against the listener; `options` go before the URL. Curl's own limit is the deadline.
CurlResult curl(std::uint16_t port, const std::string& path, const std::string& options = "",
                const std::string& host = "127.0.0.1") {
  const std::string command = std::string(KESTRANE_CURL) + " -s -g -i --max-time 5 " + options +
                              " 'http://" + host + ":" + std::to_string(port) + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
  if (!pipe) {
    throw std::runtime_error("cannot run " + command);
  }
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) {
    output.append(chunk, n);
  }
  CurlResult result;
  const int wait_status = ::pclose(pipe.release());
  result.exit_code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  const auto head_end = output.find("\r\n\r\n");
  if (head_end != std::string::npos && output.rfind("HTTP/", 0) == 0) {
    result.head = output.substr(0, head_end + 2);
    result.body = output.substr(head_end + 4);
    result.status = std::stoi(output.substr(output.find(' ') + 1, 3));
  }
  return result;
}

UniqueFd connect_to(std::uint16_t port, int receive_buffer = 0) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receive_buffer > 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  const timeval limit{5, 0};  // the deadline of every blocking send
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
  }
  return fd;
}

// False once the peer has closed or reset the connection.
bool send_text(const UniqueFd& fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

struct Received {
  std::string data;
  bool closed = false;  // by the peer, in order or by a reset, before the deadline
};

Received read_until_closed(const UniqueFd& fd, std::chrono::milliseconds limit) {
  Received r;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return r;
    }
    char chunk[65536];
    const ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
    if (n <= 0) {
      r.closed = true;
      return r;
    }
    r.data.append(chunk, static_cast<std::size_t>(n));
  }
}

// For what could only fail by never returning: gives up on the whole test program.
template <class F>
void within(std::chrono::seconds limit, const char* what, F&& body) {
  std::packaged_task<void()> task(std::forward<F>(body));
  std::future<void> done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "%s took longer than %lld s\n", what,
                 static_cast<long long>(limit.count()));
    std::_Exit(1);
  }
  worker.join();
  done.get();
}

class HttpListenerTest : public testing::Test {
 protected:
  std::unique_ptr<HttpListener> start(HttpLimits limits = {}) {
    std::map<std::string, HttpHandler> routes{
        {"/metrics",
         [] {
           return HttpResponse{200, kMetricsType, kMetricsBody};
         }},
        {"/health",
         [] {
           return HttpResponse{503, "text/plain; charset=utf-8", "no cycle\n"};
         }},
        {"/fail", []() -> HttpResponse { throw std::runtime_error("registry gone"); }},
        {"/big",
         [] {
           return HttpResponse{200, "text/plain", std::string(kBigBody, 'x')};
         }},
    };
    return std::make_unique<HttpListener>(ListenAddress{"127.0.0.1", 0}, std::move(routes), limits);
  }
};

TEST_F(HttpListenerTest, ServesTheGetRoutesAndNothingElse) {
  const auto listener = start();
  const CurlResult metrics = curl(listener->port(), "/metrics?name[]=kestrane_tags");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.body, kMetricsBody);
  EXPECT_NE(metrics.head.find(std::string("Content-Type: ") + kMetricsType + "\r\n"),
            std::string::npos)
      << metrics.head;
  EXPECT_NE(metrics.head.find("Connection: close\r\n"), std::string::npos) << metrics.head;

  const CurlResult health = curl(listener->port(), "/health");
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(health.body, "no cycle\n");

  EXPECT_EQ(curl(listener->port(), "/").status, 404);
  EXPECT_EQ(curl(listener->port(), "/metrics/").status, 404);
  EXPECT_EQ(curl(listener->port(), "/metrics", "-X POST -d x=1").status, 404);
  EXPECT_EQ(curl(listener->port(), "/metrics", "-X DELETE").status, 404);
}

TEST_F(HttpListenerTest, AFailingHandlerIsA500AndIsLogged) {
  kestrane_test::LogCapture log("monitoring");
  const auto listener = start();
  const CurlResult failed = curl(listener->port(), "/fail");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, "internal error\n");
  EXPECT_EQ(curl(listener->port(), "/metrics").status, 200);

  const auto deadline = Clock::now() + 5s;  // the process logger delivers on its own thread
  while (!log.has_prefix("error", "HTTP handler for /fail failed\n") && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(log.has_prefix("error", "HTTP handler for /fail failed\n")) << log.dump();
}

TEST_F(HttpListenerTest, AMalformedRequestIsA400) {
  const auto listener = start();
  const UniqueFd client = connect_to(listener->port());
  ASSERT_TRUE(send_text(client, "GET metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  const Received answer = read_until_closed(client, 5s);
  EXPECT_TRUE(answer.closed);
  EXPECT_EQ(answer.data.rfind("HTTP/1.1 400 ", 0), 0u) << answer.data;
}

TEST_F(HttpListenerTest, RefusesAnAddressInUseOrNotLocalNamingIt) {
  const auto listener = start();
  const std::string port = std::to_string(listener->port());
  try {
    HttpListener second(ListenAddress{"127.0.0.1", listener->port()}, {});
    ADD_FAILURE() << "a second listener bound the same port";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot listen on 127.0.0.1:" + port + ": " + std::strerror(EADDRINUSE));
  }
  // 192.0.2.1 is reserved for documentation: never an address of this machine.
  EXPECT_THROW(
      {
        try {
          HttpListener elsewhere(ListenAddress{"192.0.2.1", 9464}, {});
        } catch (const std::runtime_error& e) {
          EXPECT_EQ(std::string(e.what()), "cannot listen on 192.0.2.1:9464: " +
                                               std::string(std::strerror(EADDRNOTAVAIL)));
          throw;
        }
      },
      std::runtime_error);
}

TEST_F(HttpListenerTest, BindsOnlyTheAddressGiven) {
  const auto listener = start();
  // Were the listener on every address, this other loopback address's port would be taken.
  const UniqueFd other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(listener->port());
  ASSERT_EQ(::inet_pton(AF_INET, "127.0.0.2", &at.sin_addr), 1);
  EXPECT_EQ(::bind(other.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0)
      << std::strerror(errno);
}

TEST_F(HttpListenerTest, ServesOnIpv6Loopback) {
  std::optional<HttpListener> listener;
  try {
    listener.emplace(ListenAddress{"::1", 0}, std::map<std::string, HttpHandler>{
                                                  {"/health", [] { return HttpResponse{}; }}});
  } catch (const std::runtime_error& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  EXPECT_EQ(curl(listener->port(), "/health", "", "[::1]").status, 200);
}

TEST_F(HttpListenerTest, ManyIdleClientsDoNotKeepANewOneWaiting) {
  const auto listener = start(HttpLimits{64, 8192, 30s});  // idle clients never time out here
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 500; ++i) {
    idle.push_back(connect_to(listener->port()));
    if (i % 2 == 0) {
      ASSERT_TRUE(send_text(idle.back(), "GET /met"));
    }
  }
  const CurlResult metrics = curl(listener->port(), "/metrics");
  EXPECT_EQ(metrics.exit_code, 0);
  EXPECT_EQ(metrics.status, 200);

  // The listener keeps no more than its limit open: the oldest idle ones were closed.
  std::vector<pollfd> polls;
  for (const UniqueFd& fd : idle) {
    polls.push_back(pollfd{fd.get(), POLLIN, 0});
  }
  ASSERT_GE(::poll(polls.data(), polls.size(), 5000), 500 - 64 - 1);
  std::size_t closed = 0;
  for (const pollfd& p : polls) {
    closed += p.revents != 0 ? 1 : 0;
  }
  EXPECT_GE(closed, 500u - 64u);
}

TEST_F(HttpListenerTest, AnOversizedHeadIsA431AndServiceGoesOn) {
  const auto listener = start();
  {
    const UniqueFd client = connect_to(listener->port());
    ASSERT_TRUE(send_text(client, "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a')));
    const Received answer = read_until_closed(client, 5s);
    EXPECT_TRUE(answer.closed);
    EXPECT_EQ(answer.data.rfind("HTTP/1.1 431 ", 0), 0u) << answer.data.substr(0, 80);
  }
  {
    // A whole mebibyte: the listener may answer or cut the sender off, but must not take it in.
    const UniqueFd client = connect_to(listener->port());
    send_text(client, "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(1 << 20, 'a') + "\r\n\r\n");
    const Received answer = read_until_closed(client, 5s);
    EXPECT_TRUE(answer.closed);
    EXPECT_TRUE(answer.data.empty() || answer.data.rfind("HTTP/1.1 431 ", 0) == 0)
        << answer.data.substr(0, 80);
  }
  EXPECT_EQ(curl(listener->port(), "/metrics").status, 200);
}

TEST_F(HttpListenerTest, AClientTricklingItsRequestIsDropped) {
  const auto listener = start(HttpLimits{64, 8192, 300ms});
  const UniqueFd client = connect_to(listener->port());
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::optional<Received> answer;
  for (std::size_t sent = 0; sent < request.size() && !answer; ++sent) {
    send_text(client, request.substr(sent, 1));
    Received r = read_until_closed(client, 50ms);
    if (r.closed || !r.data.empty()) {
      answer = r;
    }
  }
  ASSERT_TRUE(answer) << "the whole request went through, slowly";
  EXPECT_TRUE(answer->closed);
  EXPECT_EQ(answer->data, "");
  EXPECT_EQ(curl(listener->port(), "/metrics").status, 200);
}

TEST_F(HttpListenerTest, AClientThatDoesNotReadItsAnswerIsDropped) {
  const auto listener = start(HttpLimits{64, 8192, 300ms});
  const UniqueFd client = connect_to(listener->port(), 4096);
  ASSERT_TRUE(send_text(client, "GET /big HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(curl(listener->port(), "/metrics").status, 200);  // not held up meanwhile
  std::this_thread::sleep_for(1s);  // well past the limit, without reading
  const Received answer = read_until_closed(client, 10s);
  EXPECT_TRUE(answer.closed);
  EXPECT_LT(answer.data.size(), kBigBody);
}

TEST_F(HttpListenerTest, DestructionDoesNotWaitForClients) {
  auto listener = start(HttpLimits{64, 8192, 30s});
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(connect_to(listener->port()));
  }
  ASSERT_TRUE(send_text(clients[0], "GET /metr"));
  clients.push_back(connect_to(listener->port(), 4096));
  ASSERT_TRUE(send_text(clients.back(), "GET /big HTTP/1.1\r\n\r\n"));
  std::this_thread::sleep_for(100ms);  // let the listener take them all in
  within(5s, "destroying the listener", [&] { listener.reset(); });
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(read_until_closed(clients[i], 5s).closed) << "client " << i << " left connected";
  }
}

}  // namespace
}  // namespace kestrane_monitoring
