#pragma once
// The DataTypeDefinition attribute of a DataType node: how a structure's fields are laid out
// or what an enumeration's values are called. Decoded from the ExtensionObject a Read of the
// attribute returns; pure functions, any thread.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "ua_codec.h"

namespace pyqar::ua {

enum class StructureType : std::int32_t {
  Structure = 0,
  StructureWithOptionalFields = 1,
  Union = 2,
  StructureWithSubtypedValues = 3,
  UnionWithSubtypedValues = 4,
};

struct StructureField {
  std::string name;
  NodeId data_type;
  std::int32_t value_rank = -1;  // -1 scalar, 1 one-dimensional array
  std::uint32_t max_string_length = 0;
  bool is_optional = false;
};

struct StructureDefinition {
  NodeId default_encoding_id;  // the type id of the binary body of such a structure
  NodeId base_data_type;
  StructureType structure_type = StructureType::Structure;
  std::vector<StructureField> fields;
};

struct EnumField {
  std::int64_t value = 0;
  std::string name;
};

struct EnumDefinition {
  std::vector<EnumField> fields;
};

using DataTypeDefinition = std::variant<StructureDefinition, EnumDefinition>;

// Type ids of the binary bodies of the two definitions.
inline constexpr std::uint32_t kStructureDefinitionBinary = 122;
inline constexpr std::uint32_t kEnumDefinitionBinary = 123;

// Throws DecodeError for any other type id, a structure type outside 0..4, and a body that is
// short or has bytes left over.
DataTypeDefinition decode_data_type_definition(const ExtensionObject& value);

// The body of a definition as a server encodes it; for tests and test fixtures.
ExtensionObject encode_data_type_definition(const DataTypeDefinition& definition);

}  // namespace pyqar::ua
