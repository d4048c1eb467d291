#pragma once
// StructureCatalog: the structure types met in one server's values, each described once by
// the server's DataTypeDefinition attribute and kept until the server restarts, and the
// decoder that writes their bodies by field name. A value's type id is its binary encoding;
// the data type behind it is found by following HasEncoding backwards, and the types its fields
// name (structures, enumerations, subtypes of built-in types) are read in turn. A type the
// server does not describe (a server older than 1.04 publishes a DataTypeDictionary instead)
// is remembered, said once, and its values stay type id and body. One thread at a time.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "structure_decoder.h"
#include "ua_codec.h"

namespace pyqar::ua {

class UaSession;

class StructureCatalog {
 public:
  // A session on the server has opened: when its start time or namespace table differ from
  // the session that taught the catalog, the server restarted (or is another one) and
  // everything learned is forgotten. Throws std::runtime_error when the connection fails.
  void session_opened(UaSession& session);
  // Learns the structure types in `values` not met before, reading their definitions on
  // `session`. Cheap when every type is known or there is no structure. Throws
  // std::runtime_error when the connection fails (what was learned stays).
  void learn(std::span<const DataValue> values, UaSession& session);
  const StructureDecoder& decoder() const { return decoder_; }
  // A structure in `tag`'s value did not decode as its definition says (`why`, naming the
  // type) and was stored as type id and body: a WARNING, once per tag.
  void refused(std::string_view tag, std::string_view why);
  // Whether `value` holds a structure, the only values the catalog has anything to do with.
  static bool holds_structure(const DataValue& value) {
    return value.value && value.value->type == BuiltinType::ExtensionObject;
  }
  // Types learned so far (structures and enumerations), for logs and tests.
  std::size_t size() const { return learned_; }

 private:
  // The encodings in `v` (scalar or array, one level) neither known nor tried before.
  void collect(const Variant& v, std::vector<NodeId>& encodings) const;
  // The data type of each encoding (HasEncoding backwards); a null NodeId where none.
  std::vector<NodeId> data_types_of(std::span<const NodeId> encodings, UaSession& session);
  // Reads the definitions of `types` (attribute 23); returns those the server did not describe.
  std::vector<NodeId> read_definitions(std::span<const NodeId> types, UaSession& session);
  // For types without a definition: the built-in type each derives from (HasSubtype
  // backwards, a few steps at most), added to the decoder where found.
  void find_builtin_bases(std::span<const NodeId> types, UaSession& session);
  void say_undescribed(const NodeId& type, std::span<const std::string> namespaces);

  StructureDecoder decoder_;
  std::unordered_set<NodeId, StructureDecoder::NodeIdHash> tried_encodings_;
  std::unordered_set<NodeId, StructureDecoder::NodeIdHash> tried_types_;
  std::size_t learned_ = 0;
  std::unordered_set<std::string> refused_tags_;
  // What the server looked like when the catalog learned from it.
  std::optional<std::int64_t> start_time_;
  std::vector<std::string> namespaces_;
  bool taught_ = false;
};

}  // namespace pyqar::ua
