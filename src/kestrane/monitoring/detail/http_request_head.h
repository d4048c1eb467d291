#pragma once
// The head of an HTTP/1.0 or 1.1 request (request line and header lines), read strictly enough
// that anything a small metrics listener would have to guess about is refused. Plain values.

#include <optional>
#include <string>
#include <string_view>

namespace kestrane_monitoring {

struct RequestHead {
  std::string method;  // as sent; methods are case-sensitive
  std::string path;    // the target without its query string
};

// `head` is everything before the blank line that ends the head (its last line may end with
// CRLF or not). Returns nothing for a malformed head: a request line that is not
// "METHOD SP /target SP HTTP/1.x", a control character in it, or a header line without a
// "name:" (folded continuation lines included).
std::optional<RequestHead> parse_request_head(std::string_view head);

}  // namespace kestrane_monitoring
