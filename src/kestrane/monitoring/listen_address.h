#pragma once
// ListenAddress: where a listener binds, as an operator writes it ("127.0.0.1:9464",
// "[::1]:9464", "localhost:9464"). A plain value; host names are resolved only when binding.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrane_monitoring {

struct ListenAddress {
  std::string host;  // without brackets: "127.0.0.1", "::1", "localhost"
  std::uint16_t port = 0;

  // "127.0.0.1:9464", or "[::1]:9464" when the host is an IPv6 address.
  std::string to_text() const;

  bool operator==(const ListenAddress&) const = default;
};

// Reads "host:port" with an IPv6 host in brackets, blanks around it ignored; port 0 asks the
// listener for any free port. Throws std::invalid_argument naming the text and the fault:
// missing port, a port that is not a number or outside 0-65535, an empty host, misplaced
// brackets.
ListenAddress parse_listen_address(std::string_view text);

}  // namespace kestrane_monitoring
