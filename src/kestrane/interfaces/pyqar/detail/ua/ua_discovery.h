#pragma once
// Discovery: the servers a server or discovery server at an address knows, asked with
// FindServers and, where that service is missing, GetEndpoints. No session is needed.
// Free functions; each call uses its own channel, on the caller's thread.

#include <string>
#include <vector>

#include "secure_channel.h"

namespace pyqar::ua {

struct DiscoveredServer {
  std::string name;
  std::string url;  // The discovery URL a collector connects to.
};

// Throws std::runtime_error naming the address when the server cannot be asked.
std::vector<DiscoveredServer> discover_servers(const std::string& url, ChannelOptions options = {});

}  // namespace pyqar::ua
