#pragma once
// EndpointUrl: a parsed "opc.tcp://host:port[/path]" address. A plain value.

#include <cstdint>
#include <string>
#include <string_view>

namespace pyqar::ua {

struct EndpointUrl {
  std::string text;  // As given; sent to the server in Hello and CreateSession.
  std::string host;  // Without the brackets of an IPv6 literal.
  std::uint16_t port = 0;
  std::string path;  // With its leading '/', or empty.
};

// Throws std::invalid_argument naming the address and the fault: wrong scheme, no host,
// a port that is missing, not a number, or outside 1..65535.
EndpointUrl parse_endpoint_url(std::string_view text);

// `message` with the address in front of it, unless it names the address already.
std::string naming_address(std::string_view address, std::string_view message);

}  // namespace pyqar::ua
