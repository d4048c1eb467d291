#include "endpoint_url.h"

#include <charconv>
#include <stdexcept>

#include <fmt/format.h>

#include "ua_limits.h"

namespace pyqar::ua {
namespace {

constexpr std::string_view kScheme = "opc.tcp://";

[[noreturn]] void bad(std::string_view text, std::string_view why) {
  throw std::invalid_argument(fmt::format("invalid OPC UA address '{}': {}", text, why));
}

}  // namespace

EndpointUrl parse_endpoint_url(std::string_view text) {
  if (!text.starts_with(kScheme)) bad(text, "it must start with opc.tcp://");
  if (text.size() > kMaxEndpointUrlLength) bad(text, "it is too long");
  EndpointUrl url;
  url.text = text;
  std::string_view rest = text.substr(kScheme.size());
  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) url.path = rest.substr(slash);

  std::string_view port_text;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) bad(text, "unclosed '[' in the host");
    url.host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.starts_with(':')) bad(text, "no port (expected host:port)");
    port_text = after.substr(1);
  } else {
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos) bad(text, "no port (expected host:port)");
    url.host = authority.substr(0, colon);
    port_text = authority.substr(colon + 1);
  }
  if (url.host.empty()) bad(text, "no host");
  unsigned port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
      port == 0 || port > 65535) {
    bad(text, fmt::format("port '{}' is not a number from 1 to 65535", port_text));
  }
  url.port = static_cast<std::uint16_t>(port);
  return url;
}

std::string naming_address(std::string_view address, std::string_view message) {
  if (message.find(address) != std::string_view::npos) return std::string(message);
  return fmt::format("OPC UA server {}: {}", address, message);
}

}  // namespace pyqar::ua
