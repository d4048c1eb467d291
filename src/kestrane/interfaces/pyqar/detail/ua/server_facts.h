#pragma once
// ServerFacts: what a session learns of its server: the operation limits of Read and Browse
// and the namespace table (one Read when the session opens), the subscription limits (found
// under ServerCapabilities, read on first use) and the server's start time. Owned by a
// UaSession; one thread at a time.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chunked_services.h"
#include "pyqar/history_types.h"
#include "session_channel.h"
#include "subscription_services.h"

namespace pyqar::ua {

class ServerFacts {
 public:
  // Both must outlive the facts; the services get the Read and Browse limits read here.
  ServerFacts(SessionChannel& link, ChunkedServices& services) : link_(link), services_(services) {}

  // MaxNodesPerRead, MaxNodesPerBrowse and the namespace table, in one request.
  void read_at_open();
  const std::vector<std::string>& namespace_array() const { return namespace_array_; }
  std::optional<std::uint16_t> namespace_index(std::string_view uri) const;
  // As UaSession::subscription_limits and server_start_time.
  ServerLimits subscription_limits();
  std::optional<std::int64_t> server_start_time();
  // MaxNodesPerHistoryReadData and MaxReturnDataValues (0 where unreadable), read on first use.
  HistoryLimits history_limits();
  // MaxNodesPerTranslateBrowsePathsToNodeIds (0 where unreadable), read on first use.
  std::uint32_t max_nodes_per_translate();

 private:
  SessionChannel& link_;
  ChunkedServices& services_;
  std::vector<std::string> namespace_array_;
  std::optional<ServerLimits> subscription_limits_;
  std::optional<HistoryLimits> history_limits_;
  std::optional<std::uint32_t> max_nodes_per_translate_;
};

}  // namespace pyqar::ua
