#include "data_type_definition.h"

#include <fmt/format.h>

#include "binary_reader.h"
#include "binary_writer.h"

namespace pyqar::ua {
namespace {

// The smallest StructureField: empty name, description, two-byte NodeId, rank, null
// dimensions, length, flag.
constexpr std::size_t kMinStructureFieldSize = 4 + 1 + 2 + 4 + 4 + 4 + 1;
// The smallest EnumField: value, two empty texts, empty name.
constexpr std::size_t kMinEnumFieldSize = 8 + 1 + 1 + 4;

StructureField decode_structure_field(BinaryReader& r) {
  StructureField f;
  f.name = r.string();
  decode_localized_text(r);  // description: not needed to decode values
  f.data_type = decode_node_id(r);
  f.value_rank = r.i32();
  skip_array(r, 4, [](BinaryReader& in) { in.u32(); });  // array dimensions
  f.max_string_length = r.u32();
  f.is_optional = r.boolean();
  return f;
}

StructureDefinition decode_structure_definition(BinaryReader& r) {
  StructureDefinition d;
  d.default_encoding_id = decode_node_id(r);
  d.base_data_type = decode_node_id(r);
  const std::int32_t type = r.i32();
  if (type < 0 || type > static_cast<std::int32_t>(StructureType::UnionWithSubtypedValues)) {
    throw DecodeError(fmt::format("unknown structure type {}", type));
  }
  d.structure_type = static_cast<StructureType>(type);
  d.fields = decode_array<StructureField>(r, kMinStructureFieldSize, decode_structure_field);
  return d;
}

EnumDefinition decode_enum_definition(BinaryReader& r) {
  EnumDefinition d;
  d.fields = decode_array<EnumField>(r, kMinEnumFieldSize, [](BinaryReader& in) {
    EnumField f;
    f.value = in.i64();
    const LocalizedText display_name = decode_localized_text(in);
    decode_localized_text(in);  // description
    f.name = in.string();
    // Some servers leave the name empty and fill in only the display name.
    if (f.name.empty()) f.name = display_name.text;
    return f;
  });
  return d;
}

void encode_field(BinaryWriter& w, const StructureField& f) {
  w.string(f.name);
  encode_localized_text(w, {});
  encode_node_id(w, f.data_type);
  w.i32(f.value_rank);
  w.i32(f.value_rank > 0 ? 0 : -1);
  w.u32(f.max_string_length);
  w.u8(f.is_optional ? 1 : 0);
}

}  // namespace

DataTypeDefinition decode_data_type_definition(const ExtensionObject& value) {
  if (value.type_id.namespace_index != 0 || value.type_id.kind != NodeId::Kind::Numeric ||
      (value.type_id.numeric != kStructureDefinitionBinary &&
       value.type_id.numeric != kEnumDefinitionBinary)) {
    throw DecodeError(
        fmt::format("{} is not the type of a data type definition", to_string(value.type_id)));
  }
  BinaryReader r(value.body);
  DataTypeDefinition out;
  if (value.type_id.numeric == kStructureDefinitionBinary) {
    out = decode_structure_definition(r);
  } else {
    out = decode_enum_definition(r);
  }
  if (r.remaining() != 0) {
    throw DecodeError(
        fmt::format("{} bytes left over after a data type definition", r.remaining()));
  }
  return out;
}

ExtensionObject encode_data_type_definition(const DataTypeDefinition& definition) {
  BinaryWriter w;
  ExtensionObject out;
  if (const auto* s = std::get_if<StructureDefinition>(&definition)) {
    out.type_id = NodeId::numeric_id(0, kStructureDefinitionBinary);
    encode_node_id(w, s->default_encoding_id);
    encode_node_id(w, s->base_data_type);
    w.i32(static_cast<std::int32_t>(s->structure_type));
    w.i32(static_cast<std::int32_t>(s->fields.size()));
    for (const StructureField& f : s->fields) encode_field(w, f);
  } else {
    const auto& e = std::get<EnumDefinition>(definition);
    out.type_id = NodeId::numeric_id(0, kEnumDefinitionBinary);
    w.i32(static_cast<std::int32_t>(e.fields.size()));
    for (const EnumField& f : e.fields) {
      w.i64(f.value);
      encode_localized_text(w, {.locale = {}, .text = f.name});
      encode_localized_text(w, {});
      w.string(f.name);
    }
  }
  out.body = w.take();
  return out;
}

}  // namespace pyqar::ua
