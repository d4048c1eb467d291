#pragma once
// NodeId: the address of a node in a server, and its text form ("ns=2;s=Demo.Tag1").
// A plain value; copy it freely between threads.

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace pyqar::ua {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  auto operator<=>(const Guid&) const = default;
};

struct NodeId {
  enum class Kind : std::uint8_t { Numeric, String, Guid, ByteString };

  std::uint16_t namespace_index = 0;
  Kind kind = Kind::Numeric;
  std::uint32_t numeric = 0;
  std::string text;  // String identifier, or the raw bytes of a ByteString identifier.
  Guid guid;

  static NodeId numeric_id(std::uint16_t ns, std::uint32_t id) {
    NodeId n;
    n.namespace_index = ns;
    n.numeric = id;
    return n;
  }
  static NodeId string_id(std::uint16_t ns, std::string id) {
    NodeId n;
    n.namespace_index = ns;
    n.kind = Kind::String;
    n.text = std::move(id);
    return n;
  }
  bool is_null() const { return kind == Kind::Numeric && namespace_index == 0 && numeric == 0; }

  bool operator==(const NodeId&) const = default;
};

// NodeId text that names its namespace by URI ("nsu=urn:x;s=A"). `id.namespace_index` is 0
// until the URI is looked up in the server's namespace table.
struct UriNodeId {
  std::string namespace_uri;
  NodeId id;
};

// Whether `text` names its namespace by URI: it starts with "nsu=".
bool has_namespace_uri(std::string_view text);
// Parses "nsu=<uri>;<identifier>"; a ';' or '%' inside the URI is written %3B or %25. Throws
// std::invalid_argument naming the text and the fault.
UriNodeId parse_uri_node_id(std::string_view text);
// The "nsu=" text of `id` in the namespace `namespace_uri`, escaped as parse_uri_node_id reads
// it. The index inside `id` is ignored.
std::string to_uri_string(std::string_view namespace_uri, const NodeId& id);

// Whether `text` is meant as NodeId text: it starts with "ns=", "i=", "s=", "g=" or "b=".
bool looks_like_node_id(std::string_view text);
// Parses NodeId text; throws std::invalid_argument naming the text and the fault.
NodeId parse_node_id(std::string_view text);
std::string to_string(const NodeId& id);

// `bytes` in base64 with padding, as ByteString identifiers and values are written out.
std::string base64_text(std::string_view bytes);

// The node a tag reads: NodeId text is taken as written (its namespace, or `namespace_index`
// when the text names none); any other name is the string identifier `name` in
// `namespace_index`. Throws std::invalid_argument for an empty name, a namespace index out of
// range, or NodeId text that does not parse.
NodeId node_id_for_tag(int namespace_index, std::string_view name);

}  // namespace pyqar::ua
