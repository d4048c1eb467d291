#include "node_id.h"

#include <charconv>
#include <stdexcept>

#include <fmt/format.h>

namespace pyqar::ua {
namespace {

[[noreturn]] void bad(std::string_view text, std::string_view why) {
  throw std::invalid_argument(fmt::format("invalid NodeId text '{}': {}", text, why));
}

template <typename T>
bool parse_uint(std::string_view s, T& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool parse_hex(std::string_view s, std::uint64_t& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
  return ec == std::errc() && end == s.data() + s.size();
}

bool parse_guid(std::string_view s, Guid& g) {
  // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  std::uint64_t v = 0;
  if (!parse_hex(s.substr(0, 8), v)) return false;
  g.data1 = static_cast<std::uint32_t>(v);
  if (!parse_hex(s.substr(9, 4), v)) return false;
  g.data2 = static_cast<std::uint16_t>(v);
  if (!parse_hex(s.substr(14, 4), v)) return false;
  g.data3 = static_cast<std::uint16_t>(v);
  std::string hex{s.substr(19, 4)};
  hex += s.substr(24, 12);
  for (std::size_t i = 0; i < 8; ++i) {
    if (!parse_hex(std::string_view(hex).substr(2 * i, 2), v)) return false;
    g.data4[i] = static_cast<std::uint8_t>(v);
  }
  return true;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool parse_base64(std::string_view s, std::string& out) {
  if (s.size() % 4 != 0) return false;
  std::size_t pad = 0;
  while (pad < 2 && pad < s.size() && s[s.size() - 1 - pad] == '=') ++pad;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < s.size() - pad; ++i) {
    const int v = base64_value(s[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return true;
}

std::string to_base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t n = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                            (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(n >> shift) & 63]);
  }
  if (i < bytes.size()) {
    std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// The identifier after any namespace prefix ("i=5", "s=x"); `text` is the whole text, for messages.
void parse_identifier(std::string_view text, std::string_view rest, NodeId& id) {
  if (rest.size() < 2 || rest[1] != '=') bad(text, "expected i=, s=, g= or b=");
  const std::string_view value = rest.substr(2);
  switch (rest[0]) {
    case 'i':
      if (!parse_uint(value, id.numeric)) bad(text, "i= needs an unsigned 32-bit number");
      break;
    case 's':
      if (value.empty()) bad(text, "s= needs a name");
      id.kind = NodeId::Kind::String;
      id.text = value;
      break;
    case 'g':
      id.kind = NodeId::Kind::Guid;
      if (!parse_guid(value, id.guid))
        bad(text, "g= needs a GUID like 72962b91-fa75-4ae6-8d28-b404dc7daf63");
      break;
    case 'b':
      id.kind = NodeId::Kind::ByteString;
      if (value.empty() || !parse_base64(value, id.text)) bad(text, "b= needs base64 text");
      break;
    default:
      bad(text, "expected i=, s=, g= or b=");
  }
}

std::string identifier_text(const NodeId& id) {
  NodeId local = id;
  local.namespace_index = 0;
  return to_string(local);
}

}  // namespace

bool has_namespace_uri(std::string_view text) { return text.starts_with("nsu="); }

UriNodeId parse_uri_node_id(std::string_view text) {
  if (!has_namespace_uri(text)) bad(text, "expected nsu=");
  const auto semi = text.find(';');
  if (semi == std::string_view::npos) bad(text, "expected ';' after the namespace URI");
  const std::string_view escaped = text.substr(4, semi - 4);
  UriNodeId out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '%') {
      out.namespace_uri.push_back(escaped[i]);
      continue;
    }
    std::uint64_t byte = 0;
    if (i + 2 >= escaped.size() || !parse_hex(escaped.substr(i + 1, 2), byte)) {
      bad(text, "'%' in the namespace URI must be followed by two hex digits");
    }
    out.namespace_uri.push_back(static_cast<char>(byte));
    i += 2;
  }
  if (out.namespace_uri.empty()) bad(text, "the namespace URI is empty");
  parse_identifier(text, text.substr(semi + 1), out.id);
  return out;
}

std::string to_uri_string(std::string_view namespace_uri, const NodeId& id) {
  std::string out = "nsu=";
  for (const char c : namespace_uri) {
    if (c == ';') {
      out += "%3B";
    } else if (c == '%') {
      out += "%25";
    } else {
      out.push_back(c);
    }
  }
  out.push_back(';');
  return out + identifier_text(id);
}

bool looks_like_node_id(std::string_view text) {
  return text.starts_with("ns=") || text.starts_with("i=") || text.starts_with("s=") ||
         text.starts_with("g=") || text.starts_with("b=");
}

NodeId parse_node_id(std::string_view text) {
  NodeId id;
  std::string_view rest = text;
  if (rest.starts_with("ns=")) {
    const auto semi = rest.find(';');
    if (semi == std::string_view::npos) bad(text, "expected ';' after the namespace index");
    std::uint32_t ns = 0;
    if (!parse_uint(rest.substr(3, semi - 3), ns) || ns > 0xFFFF) {
      bad(text, "the namespace index must be a number from 0 to 65535");
    }
    id.namespace_index = static_cast<std::uint16_t>(ns);
    rest = rest.substr(semi + 1);
  }
  parse_identifier(text, rest, id);
  return id;
}

std::string to_string(const NodeId& id) {
  std::string out = id.namespace_index ? fmt::format("ns={};", id.namespace_index) : std::string();
  switch (id.kind) {
    case NodeId::Kind::Numeric:
      return out + fmt::format("i={}", id.numeric);
    case NodeId::Kind::String:
      return out + "s=" + id.text;
    case NodeId::Kind::Guid: {
      const auto& g = id.guid;
      return out +
             fmt::format("g={:08x}-{:04x}-{:04x}-{:02x}{:02x}-{:02x}{:02x}{:02x}{:02x}{:02x}{:02x}",
                         g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                         g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    }
    case NodeId::Kind::ByteString:
      return out + "b=" + to_base64(id.text);
  }
  return out;
}

std::string base64_text(std::string_view bytes) { return to_base64(bytes); }

NodeId node_id_for_tag(int namespace_index, std::string_view name) {
  if (namespace_index < 0 || namespace_index > 0xFFFF) {
    throw std::invalid_argument(
        fmt::format("tag '{}:{}': namespace index out of range 0..65535", namespace_index, name));
  }
  if (name.empty()) throw std::invalid_argument("empty tag name");
  if (!looks_like_node_id(name)) {
    return NodeId::string_id(static_cast<std::uint16_t>(namespace_index), std::string(name));
  }
  NodeId id = parse_node_id(name);
  if (!name.starts_with("ns=")) id.namespace_index = static_cast<std::uint16_t>(namespace_index);
  return id;
}

}  // namespace pyqar::ua
