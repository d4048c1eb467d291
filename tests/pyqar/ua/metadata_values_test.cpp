// Property values as a server's Read returns them, built byte by byte: units, ranges and
// EnumStrings decoded; bad, foreign, short and overlong bodies leave the fields unset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ua/binary_writer.h"
#include "ua/metadata_values.h"
#include "ua/ua_codec.h"

namespace {

using namespace pyqar::ua;
using pyqar::EnumName;
using pyqar::VariableMetadata;

DataValue structure(std::uint32_t encoding, std::vector<std::uint8_t> body) {
  DataValue v;
  v.value = Variant(BuiltinType::ExtensionObject, false,
                    ExtensionObject{.type_id = NodeId::numeric_id(0, encoding), .body = body});
  return v;
}

std::vector<std::uint8_t> units_body(const std::string& display_name) {
  BinaryWriter w;
  w.string("http://www.opcfoundation.org/UA/units/un/cefact");
  w.i32(4408652);
  encode_localized_text(w, {.locale = "en", .text = display_name});
  encode_localized_text(w, {.locale = {}, .text = "degree Celsius"});
  return w.take();
}

std::vector<std::uint8_t> range_body(double low, double high) {
  BinaryWriter w;
  w.f64(low);
  w.f64(high);
  return w.take();
}

TEST(MetadataValues, UnitsAndRangeDecoded) {
  VariableMetadata m;
  decode_engineering_units(structure(kEuInformationBinary, units_body("°C")), m);
  decode_eu_range(structure(kRangeBinary, range_body(-40, 125)), m);
  EXPECT_EQ(m.unit, "°C");
  EXPECT_EQ(m.unit_id, 4408652);
  EXPECT_EQ(m.eu_low, -40);
  EXPECT_EQ(m.eu_high, 125);
}

TEST(MetadataValues, AUnitWithoutDisplayNameKeepsItsId) {
  VariableMetadata m;
  decode_engineering_units(structure(kEuInformationBinary, units_body("")), m);
  EXPECT_FALSE(m.unit);
  EXPECT_EQ(m.unit_id, 4408652);
}

TEST(MetadataValues, BodiesThatDoNotDecodeLeaveTheFieldsUnset) {
  std::vector<std::uint8_t> short_units = units_body("°C");
  short_units.pop_back();
  std::vector<std::uint8_t> long_range = range_body(0, 1);
  long_range.push_back(0);
  DataValue bad = structure(kRangeBinary, range_body(0, 1));
  bad.status = status::BadNodeIdUnknown;
  DataValue plain;
  plain.value = Variant(BuiltinType::Double, false, 1.5);

  VariableMetadata m;
  decode_engineering_units(structure(kEuInformationBinary, short_units), m);
  decode_engineering_units(structure(kRangeBinary, units_body("°C")), m);  // another type
  decode_engineering_units(plain, m);
  decode_eu_range(structure(kRangeBinary, long_range), m);
  decode_eu_range(structure(kRangeBinary, {1, 2, 3}), m);
  decode_eu_range(bad, m);
  decode_eu_range(DataValue{}, m);
  EXPECT_EQ(m, VariableMetadata{});
}

TEST(MetadataValues, EnumStringsNamedInOrderFromZero) {
  DataValue v;
  v.value = Variant(BuiltinType::LocalizedText, true, {});
  for (const char* name : {"Off", "Manual", "Auto"}) {
    v.value->elements.emplace_back(BuiltinType::LocalizedText, false,
                                   LocalizedText{.locale = "en", .text = name});
  }
  EXPECT_EQ(enum_strings_names(v), (std::vector<EnumName>{{0, "Off"}, {1, "Manual"}, {2, "Auto"}}));
  // Anything but text throughout names nothing.
  v.value->elements.emplace_back(BuiltinType::Int32, false, std::int64_t{3});
  EXPECT_TRUE(enum_strings_names(v).empty());
  DataValue scalar;
  scalar.value =
      Variant(BuiltinType::LocalizedText, false, LocalizedText{.locale = {}, .text = "Off"});
  EXPECT_TRUE(enum_strings_names(scalar).empty());
}

}  // namespace
