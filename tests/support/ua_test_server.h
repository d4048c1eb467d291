#pragma once
// UaTestServer: starts tools/ua-test-server (node-opcua) on a loopback port for one test
// suite and stops it again. Owns the child process and its certificate folder; used from
// the test's main thread only.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "temp_dir.h"

namespace kestrane_test {

class UaTestServer {
 public:
  struct Options {
    int port = 0;    // 0: the server picks a free one
    int tags = 100;  // Demo.Tag1..N, Demo.Count1..N, Demo.Random1..N
    std::optional<int> max_nodes_per_read;
    // Also shrinks the server's chunks to the 8192-byte minimum.
    std::optional<int> max_message_size;
    std::optional<int> max_nodes_per_browse;
    // The plant namespace (urn:kestrane:plant) with its Plant folder: one variable of each
    // built-in type, a folder of `wide` variables, a reference loop, a self-reference.
    bool browse_tree = false;
    std::optional<int> wide;
    // Registers the plant namespace before the demo one, so the two swap indexes.
    bool swap_namespaces = false;
    // A folder Flat of this many Double variables in the plant namespace.
    int flat_tags = 0;
  };

  // Why the server cannot run here (no node, npm modules not installed), or nothing.
  static std::optional<std::string> unavailable_reason();

  // Starts the server and waits for its "ready" line; throws std::runtime_error when it
  // does not come up.
  explicit UaTestServer(Options options);
  UaTestServer() : UaTestServer(Options{}) {}
  ~UaTestServer();
  UaTestServer(const UaTestServer&) = delete;
  UaTestServer& operator=(const UaTestServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }

  // Ends the server at once, as a crash would.
  void kill() noexcept;
  // Freezes and thaws the server process: it keeps its sockets but answers nothing.
  void pause();
  void resume();

 private:
  void reap() noexcept;

  std::optional<TempDir> work_dir_;  // the server's log
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

}  // namespace kestrane_test
