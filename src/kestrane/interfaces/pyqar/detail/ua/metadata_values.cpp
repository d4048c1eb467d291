#include "metadata_values.h"

#include "binary_reader.h"

namespace pyqar::ua {
namespace {

// The binary body of a structure value of `encoding` (namespace 0); nothing for anything else.
const std::vector<std::uint8_t>* body_of(const DataValue& v, std::uint32_t encoding) {
  const auto* object = good_scalar<ExtensionObject>(v);
  if (object == nullptr || object->type_id != NodeId::numeric_id(0, encoding)) return nullptr;
  return &object->body;
}

}  // namespace

void decode_engineering_units(const DataValue& v, VariableMetadata& out) {
  const auto* body = body_of(v, kEuInformationBinary);
  if (body == nullptr) return;
  try {
    BinaryReader r(*body);
    r.skip_string();  // the namespace of the unit ids
    const std::int32_t unit_id = r.i32();
    const LocalizedText display_name = decode_localized_text(r);
    decode_localized_text(r);  // description
    if (r.remaining() != 0) return;
    out.unit_id = unit_id;
    if (!display_name.text.empty()) out.unit = display_name.text;
  } catch (const DecodeError&) {
    // Left unset, as promised.
  }
}

void decode_eu_range(const DataValue& v, VariableMetadata& out) {
  const auto* body = body_of(v, kRangeBinary);
  if (body == nullptr) return;
  try {
    BinaryReader r(*body);
    const double low = r.f64();
    const double high = r.f64();
    if (r.remaining() != 0) return;
    out.eu_low = low;
    out.eu_high = high;
  } catch (const DecodeError&) {
    // Left unset, as promised.
  }
}

std::vector<EnumName> enum_strings_names(const DataValue& v) {
  std::vector<EnumName> names;
  if (!good_value(v) || !v.value || !v.value->is_array) return names;
  std::int64_t value = 0;
  for (const Variant& element : v.value->elements) {
    const auto* text = std::get_if<LocalizedText>(&element.scalar);
    if (text == nullptr) return {};
    names.push_back({value++, text->text});
  }
  return names;
}

}  // namespace pyqar::ua
