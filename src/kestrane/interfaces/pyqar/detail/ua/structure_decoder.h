#pragma once
// Structures decoded by field name: holds the DataTypeDefinitions read from a server and
// writes an ExtensionObject's binary body as a JSON object.
//
// Forms: a structure is {"Field":value,...} in definition order; an optional field that is
// absent is left out; a union is {"Arm":value}, or {} when it holds nothing; an array field is
// a JSON array, or null when the server sent a null array; an enumeration field is
// {"value":2,"name":"Auto"}, or the number alone when the definition has no such value.
// Built-in fields take the text forms of value_text.h (numbers and Booleans as JSON, other
// types as strings; NaN and infinity as null). Abstract fields (BaseDataType, Number, ...)
// are a Variant written as the value decoder writes it; a Structure field or a Variant
// holding an ExtensionObject is decoded by its own definition when it has one, else written
// as {"typeId":...,"body":...}.
//
// A body that does not decode exactly as its definition says (short, bytes left over, a
// bad encoding mask or switch, a field type without definition, nesting deeper than
// kMaxNestingDepth, more than kMaxKeptValueElements array elements, text longer than the
// limit) is refused with the reason; nothing partial is returned.
//
// Not thread-safe: one per session, used from the session's thread.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "data_type_definition.h"
#include "ua_codec.h"
#include "value_text.h"

namespace pyqar::ua {

struct DecodedStructure {
  bool ok = false;
  std::string text;  // the JSON when ok, else why the body was refused
};

class StructureDecoder {
 public:
  struct NodeIdHash {
    std::size_t operator()(const NodeId& id) const noexcept;
  };

  // Definitions are keyed by the NodeId of their DataType node; a later one replaces an
  // earlier one. A structure is also found by its default binary encoding id.
  void add(const NodeId& data_type, DataTypeDefinition definition);
  // A data type that derives from a built-in type (Duration, UtcTime, a server's own
  // subtypes) and so has no definition of its own.
  void add_builtin_subtype(const NodeId& data_type, BuiltinType builtin);
  // Forgets every definition, as after a server restart.
  void clear();

  bool knows_encoding(const NodeId& encoding_id) const;
  // Whether `data_type` has a definition here or was added as a built-in subtype.
  bool knows_type(const NodeId& data_type) const { return find(data_type) != nullptr; }

  // `value` must carry the binary encoding id of a known structure.
  DecodedStructure decode(const ExtensionObject& value, Namespaces namespaces = {},
                          std::size_t max_text = QAR_MAX_VALUE_TEXT_BYTES) const;

  // The data types the known structures name as field types that are neither built in nor
  // known here, each once: what the caller still has to read.
  std::vector<NodeId> missing_types() const;

 private:
  struct Entry {
    DataTypeDefinition definition;
    bool is_builtin = false;
    BuiltinType builtin = BuiltinType::Null;
  };
  class Writer;

  const Entry* find(const NodeId& data_type) const;
  const StructureDefinition* structure_by_encoding(const NodeId& encoding) const;

  std::unordered_map<NodeId, Entry, NodeIdHash> types_;
  std::unordered_map<NodeId, NodeId, NodeIdHash> encodings_;  // encoding id -> data type
};

}  // namespace pyqar::ua
