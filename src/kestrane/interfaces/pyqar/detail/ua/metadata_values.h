#pragma once
// The values tag metadata is made of, as Reads return them: the EngineeringUnits (EUInformation)
// and EURange (Range) properties, an EnumStrings array, and the scalar of an attribute. A value
// that is bad, of another type or malformed gives nothing, never an exception: one server's
// odd property must not cost a tag the rest of its metadata. Pure functions; any thread.

#include <cstdint>
#include <variant>
#include <vector>

#include "pyqar/variable_metadata.h"
#include "status_code.h"
#include "ua_codec.h"

namespace pyqar::ua {

// Binary encodings of EUInformation and Range (namespace 0).
inline constexpr std::uint32_t kEuInformationBinary = 889;
inline constexpr std::uint32_t kRangeBinary = 886;

inline bool good_value(const DataValue& v) {
  return severity(v.status.value_or(status::Good)) != Severity::Bad;
}

// The scalar of a good value when it is a T; else nothing.
template <typename T>
const T* good_scalar(const DataValue& v) {
  if (!good_value(v) || !v.value || v.value->is_array) return nullptr;
  return std::get_if<T>(&v.value->scalar);
}

// Sets `unit` (the display name, unless empty) and `unit_id`.
void decode_engineering_units(const DataValue& v, VariableMetadata& out);
// Sets `eu_low` and `eu_high`.
void decode_eu_range(const DataValue& v, VariableMetadata& out);
// The names of an EnumStrings array, valued 0, 1, ...; empty unless every element is text.
std::vector<EnumName> enum_strings_names(const DataValue& v);

}  // namespace pyqar::ua
