#pragma once
// Encoders and decoders of the OPC UA built-in types the client meets: NodeId, DateTime,
// LocalizedText, ExtensionObject, Variant, DataValue, DiagnosticInfo. Free functions over
// BinaryReader/BinaryWriter; no state, callable from any thread.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"

namespace pyqar::ua {

enum class BuiltinType : std::uint8_t {
  Null = 0,
  Boolean = 1,
  SByte = 2,
  Byte = 3,
  Int16 = 4,
  UInt16 = 5,
  Int32 = 6,
  UInt32 = 7,
  Int64 = 8,
  UInt64 = 9,
  Float = 10,
  Double = 11,
  String = 12,
  DateTime = 13,
  Guid = 14,
  ByteString = 15,
  XmlElement = 16,
  NodeId = 17,
  ExpandedNodeId = 18,
  StatusCode = 19,
  QualifiedName = 20,
  LocalizedText = 21,
  ExtensionObject = 22,
  DataValue = 23,
  Variant = 24,
  DiagnosticInfo = 25,
};

struct LocalizedText {
  std::string locale;
  std::string text;

  bool operator==(const LocalizedText&) const = default;
};

struct ExtensionObject {
  NodeId type_id;
  std::vector<std::uint8_t> body;  // The binary body; empty when there is none.

  bool operator==(const ExtensionObject&) const = default;
};

struct QualifiedName {
  std::uint16_t namespace_index = 0;
  std::string name;

  bool operator==(const QualifiedName&) const = default;
};

// An ExpandedNodeId as a reference target carries it: a namespace URI instead of the index,
// or a server index for a node on another server.
struct ExpandedNodeId {
  NodeId id;
  std::string namespace_uri;
  std::uint32_t server_index = 0;

  bool operator==(const ExpandedNodeId&) const = default;
};

// A decoded Variant; every built-in type keeps its value. Signed integers are int64_t,
// unsigned ones and StatusCode uint64_t, Float and Double double, DateTime its int64_t ticks,
// String, ByteString and XmlElement std::string. String arrays keep their strings in `scalar`
// (attributes and the namespace table arrive that way); every other array keeps its elements
// in `elements`, and a Variant or DataValue element is the Variant inside it. A value keeps at
// most kMaxKeptValueBytes of each text and kMaxKeptValueElements elements (ua_limits.h); what
// is left out of a value read from a server marks it `cut`.
struct Variant {
  using Scalar = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double,
                              std::string, NodeId, QualifiedName, LocalizedText,
                              std::vector<std::string>, Guid, ExpandedNodeId, ExtensionObject>;

  Variant() = default;
  Variant(BuiltinType t, bool array, Scalar s) : type(t), is_array(array), scalar(std::move(s)) {}

  BuiltinType type = BuiltinType::Null;
  bool is_array = false;
  Scalar scalar;
  std::vector<Variant> elements;
  std::vector<std::int32_t> dimensions;  // of a matrix; empty for a one-dimensional array
  bool cut = false;
};

struct DataValue {
  std::optional<Variant> value;
  std::optional<std::uint32_t> status;           // Absent means Good.
  std::optional<std::int64_t> source_timestamp;  // DateTime ticks.
  std::optional<std::int64_t> server_timestamp;
};

// DateTime: 100 ns ticks since 1601-01-01 UTC. 0 stands for "no time".
std::int64_t to_date_time(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point from_date_time(std::int64_t ticks);

void encode_node_id(BinaryWriter& w, const NodeId& id);
NodeId decode_node_id(BinaryReader& r);
// The namespace URI and server index of an ExpandedNodeId are read past.
NodeId decode_expanded_node_id(BinaryReader& r);
ExpandedNodeId decode_expanded_node_id_in_full(BinaryReader& r);

void encode_localized_text(BinaryWriter& w, const LocalizedText& t);
LocalizedText decode_localized_text(BinaryReader& r);
void skip_qualified_name(BinaryReader& r);
QualifiedName decode_qualified_name(BinaryReader& r);

void encode_extension_object(BinaryWriter& w, const ExtensionObject& e);
ExtensionObject decode_extension_object(BinaryReader& r);
void skip_extension_object(BinaryReader& r);

void encode_variant(BinaryWriter& w, const Variant& v);
Variant decode_variant(BinaryReader& r);

void encode_data_value(BinaryWriter& w, const DataValue& v);
DataValue decode_data_value(BinaryReader& r);

void skip_diagnostic_info(BinaryReader& r);

// Reads an array of `decode` results, its count checked against the bytes left.
template <typename T, typename F>
std::vector<T> decode_array(BinaryReader& r, std::size_t min_element_size, F decode) {
  const std::size_t n = r.array_length(min_element_size);
  std::vector<T> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(decode(r));
  return out;
}

template <typename F>
void skip_array(BinaryReader& r, std::size_t min_element_size, F skip) {
  const std::size_t n = r.array_length(min_element_size);
  for (std::size_t i = 0; i < n; ++i) skip(r);
}

}  // namespace pyqar::ua
