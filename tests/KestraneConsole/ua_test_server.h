#pragma once
// UaTestServer: runs the project's node-opcua test server (tools/ua-test-server) as a child
// process on a free loopback port for the life of the object. Used from the test's thread.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kestrane_console::testing {

class UaTestServer {
 public:
  // Starts the server and waits until it listens; `skip_reason` says why it could not run
  // (no node, no npm modules, did not come up).
  UaTestServer(const std::filesystem::path& source_dir, const std::filesystem::path& work_dir);
  ~UaTestServer();
  UaTestServer(const UaTestServer&) = delete;
  UaTestServer& operator=(const UaTestServer&) = delete;

  bool running() const { return pid_ > 0 && !url_.empty(); }
  const std::string& url() const { return url_; }
  const std::string& skip_reason() const { return skip_reason_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
  std::string skip_reason_;
};

}  // namespace kestrane_console::testing
