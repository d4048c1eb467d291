#include "ua_test_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

namespace kestrane_console::testing {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(30);

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs = path;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

UaTestServer::UaTestServer(const std::filesystem::path& source_dir,
                           const std::filesystem::path& work_dir) {
  const auto server_dir = source_dir / "tools" / "ua-test-server";
  if (!std::filesystem::exists(server_dir / "server.js")) {
    skip_reason_ = "tools/ua-test-server/server.js is missing";
    return;
  }
  if (!std::filesystem::exists(server_dir / "node_modules" / "node-opcua")) {
    skip_reason_ = "the OPC UA test server's npm modules are not installed (run scripts/deps)";
    return;
  }
  if (!on_path("node")) {
    skip_reason_ = "node is not installed";
    return;
  }
  const auto cert_dir = work_dir / "ua-certs";
  std::filesystem::create_directories(cert_dir);
  int out[2];
  if (::pipe(out) != 0) {
    skip_reason_ = "pipe() failed";
    return;
  }
  const std::string script = (server_dir / "server.js").string();
  const std::string certs = cert_dir.string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    // The server stops when its standard input closes, so it gets a pipe that the child
    // itself keeps open.
    int keep[2];
    if (::pipe(keep) == 0) ::dup2(keep[0], STDIN_FILENO);
    ::execlp("node", "node", script.c_str(), "--cert-dir", certs.c_str(), "--port", "0",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid < 0) {
    ::close(out[0]);
    skip_reason_ = "fork() failed";
    return;
  }
  pid_ = pid;
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
    const auto at = seen.find("url=");
    if (at != std::string::npos) {
      const auto end = seen.find_first_of(" \t\r\n", at);
      if (end != std::string::npos) {
        url_ = seen.substr(at + 4, end - at - 4);
        break;
      }
    }
  }
  ::close(out[0]);
  if (url_.empty()) skip_reason_ = "the OPC UA test server did not start: " + seen;
}

UaTestServer::~UaTestServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    ::usleep(50000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

}  // namespace kestrane_console::testing
