#include "monitoring/detail/http_request_head.h"

#include <algorithm>

namespace kestrane_monitoring {
namespace {

constexpr std::string_view kCrlf = "\r\n";

// The characters of an HTTP token (method names, header names).
bool is_token_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_token_char);
}

// A request target in origin form: visible ASCII only, starting with '/'.
bool is_origin_target(std::string_view text) {
  return !text.empty() && text.front() == '/' &&
         std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

bool is_header_line(std::string_view line) {
  const auto colon = line.find(':');
  return colon != std::string_view::npos && is_token(line.substr(0, colon)) &&
         line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

std::optional<RequestHead> parse_request_head(std::string_view head) {
  const auto line_end = head.find(kCrlf);
  const std::string_view request_line = head.substr(0, line_end);

  const auto first_space = request_line.find(' ');
  const auto last_space = request_line.rfind(' ');
  if (first_space == std::string_view::npos || first_space == last_space) {
    return std::nullopt;
  }
  const std::string_view method = request_line.substr(0, first_space);
  const std::string_view target =
      request_line.substr(first_space + 1, last_space - first_space - 1);
  const std::string_view version = request_line.substr(last_space + 1);
  if (!is_token(method) || !is_origin_target(target) ||
      (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    return std::nullopt;
  }

  if (line_end != std::string_view::npos) {
    std::string_view rest = head.substr(line_end + kCrlf.size());
    while (!rest.empty()) {
      const auto end = rest.find(kCrlf);
      if (!is_header_line(rest.substr(0, end))) {
        return std::nullopt;
      }
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + kCrlf.size());
    }
  }

  const std::string_view path = target.substr(0, target.find_first_of("?#"));
  return RequestHead{std::string(method), std::string(path)};
}

}  // namespace kestrane_monitoring
