#include "monitoring/listen_address.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include <fmt/format.h>

namespace kestrane_monitoring {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

[[noreturn]] void fail(std::string_view text, std::string_view fault) {
  throw std::invalid_argument(fmt::format("invalid listen address '{}': {}", text, fault));
}

std::uint16_t parse_port(std::string_view text, std::string_view port) {
  if (port.empty()) {
    fail(text, "missing port");
  }
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    fail(text, fmt::format("port '{}' is not a number", port));
  }
  unsigned long value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (ec != std::errc() || end != port.data() + port.size() || value > 65535) {
    fail(text, fmt::format("port {} is outside 0-65535", port));
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string ListenAddress::to_text() const {
  if (host.find(':') != std::string::npos) {
    return fmt::format("[{}]:{}", host, port);
  }
  return fmt::format("{}:{}", host, port);
}

ListenAddress parse_listen_address(std::string_view text) {
  const std::string_view address = trim(text);
  if (address.empty()) {
    fail(text, "empty address");
  }
  if (address.find_first_of(kBlanks) != std::string_view::npos) {
    fail(text, "blank inside the address");
  }

  std::string_view host;
  std::string_view rest;  // what follows the host: ":<port>"
  if (address.front() == '[') {
    const auto close = address.find(']');
    if (close == std::string_view::npos) {
      fail(text, "'[' without ']'");
    }
    host = address.substr(1, close - 1);
    if (host.find_first_of("[]") != std::string_view::npos) {
      fail(text, "brackets inside brackets");
    }
    if (host.empty()) {
      fail(text, "empty host");
    }
    if (host.find(':') == std::string_view::npos) {
      fail(text, "brackets are only for IPv6 addresses");
    }
    rest = address.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      fail(text, "':' must follow ']'");
    }
  } else {
    if (address.find_first_of("[]") != std::string_view::npos) {
      fail(text, "misplaced bracket");
    }
    const auto colon = address.rfind(':');
    if (colon == std::string_view::npos) {
      fail(text, "missing port");
    }
    host = address.substr(0, colon);
    if (host.find(':') != std::string_view::npos) {
      fail(text, "an IPv6 address needs brackets, as in [::1]:9464");
    }
    if (host.empty()) {
      fail(text, "empty host");
    }
    rest = address.substr(colon);
  }
  const std::string_view port = rest.empty() ? rest : rest.substr(1);
  return ListenAddress{std::string(host), parse_port(text, port)};
}

}  // namespace kestrane_monitoring
