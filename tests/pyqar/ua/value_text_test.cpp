// How values read from a server are written out: every built-in type from its wire bytes,
// arrays and matrices as JSON, texts made safe and cut at the limit, far-off DateTimes.
#include <gtest/gtest.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "pyqar/status_names.h"
#include "ua/value_text.h"

namespace {

using namespace pyqar::ua;

// Decodes a Variant from the bytes `write` puts down, as a Read response carries it.
template <typename F>
Variant from_wire(F write) {
  BinaryWriter w;
  write(w);
  BinaryReader r(w.data());
  Variant v = decode_variant(r);
  EXPECT_EQ(r.remaining(), 0u);
  return v;
}

Variant wire_round_trip(const Variant& v) {
  return from_wire([&](BinaryWriter& w) { encode_variant(w, v); });
}

pyqar::Value rendered(const Variant& v) { return render_variant(wire_round_trip(v)).value; }

std::string text_of(const Variant& v) { return std::get<std::string>(rendered(v)); }

Variant array_of(BuiltinType type, std::vector<Variant> elements,
                 std::vector<std::int32_t> dims = {}) {
  Variant v{type, true, {}};
  v.elements = std::move(elements);
  v.dimensions = std::move(dims);
  return v;
}

// 2025-06-07T08:09:10Z in DateTime ticks.
constexpr std::int64_t kJune2025 = (1749283750LL + 11644473600LL) * 10'000'000LL;

TEST(ScalarsAreTyped, NumbersExactAndBooleans) {
  using L = std::numeric_limits<std::int64_t>;
  EXPECT_EQ(std::get<bool>(rendered({BuiltinType::Boolean, false, true})), true);
  EXPECT_EQ(std::get<std::int64_t>(rendered({BuiltinType::Int64, false, L::max()})), L::max());
  EXPECT_EQ(std::get<std::int64_t>(rendered({BuiltinType::Int64, false, L::min()})), L::min());
  EXPECT_EQ(std::get<std::uint64_t>(rendered({BuiltinType::UInt64, false, ~std::uint64_t{0}})),
            ~std::uint64_t{0});
  EXPECT_EQ(std::get<std::int64_t>(rendered({BuiltinType::SByte, false, std::int64_t{-5}})), -5);
  EXPECT_EQ(std::get<std::uint64_t>(rendered({BuiltinType::UInt32, false, std::uint64_t{7}})), 7u);
  EXPECT_EQ(std::get<double>(rendered({BuiltinType::Float, false, 1.5})), 1.5);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(rendered(Variant{})));
}

TEST(ScalarsAsText, EveryOtherBuiltinType) {
  EXPECT_EQ(text_of({BuiltinType::String, false, std::string("a,\"b\"\nü€😀")}), "a,\"b\"\nü€😀");
  EXPECT_EQ(text_of({BuiltinType::LocalizedText, false, LocalizedText{"de", "Kessel"}}), "Kessel");
  EXPECT_EQ(text_of({BuiltinType::QualifiedName, false, QualifiedName{2, "Temp"}}), "Temp");
  EXPECT_EQ(text_of({BuiltinType::DateTime, false, kJune2025 + 1'230'000}),
            "2025-06-07T08:09:10.123Z");
  EXPECT_EQ(text_of({BuiltinType::DateTime, false, kJune2025}), "2025-06-07T08:09:10Z");
  EXPECT_EQ(text_of({BuiltinType::DateTime, false, kJune2025 + 1}), "2025-06-07T08:09:10.0000001Z");
  Guid g{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
  EXPECT_EQ(text_of({BuiltinType::Guid, false, g}), "72962b91-fa75-4ae6-8d28-b404dc7daf63");
  EXPECT_EQ(text_of({BuiltinType::ByteString, false, std::string("\x01\x02\x03\xFF", 4)}),
            "AQID/w==");
  EXPECT_EQ(text_of({BuiltinType::NodeId, false, NodeId::string_id(2, "Boiler.T")}),
            "ns=2;s=Boiler.T");
  EXPECT_EQ(text_of({BuiltinType::StatusCode, false, std::uint64_t{0x808C0000}}),
            "BadSensorFailure");
  EXPECT_EQ(text_of({BuiltinType::StatusCode, false, std::uint64_t{0x80AB0000}}), "0x80AB0000");
  const Variant expanded = from_wire([](BinaryWriter& w) {
    w.u8(18);
    w.u8(0x80 | 0x03);  // string id with a namespace URI
    w.u16(0);
    w.string("A");
    w.string("urn:x");
  });
  EXPECT_EQ(std::get<std::string>(render_variant(expanded).value), "nsu=urn:x;s=A");
}

TEST(ScalarsAsText, NodeIdsNameTheirNamespaceByUriWhereTheTableHasOne) {
  const std::vector<std::string> table = {"http://opcfoundation.org/UA/", "urn:a;b", ""};
  const auto text = [&table](const Variant& v) {
    return std::get<std::string>(render_variant(v, table).value);
  };
  EXPECT_EQ(text({BuiltinType::NodeId, false, NodeId::numeric_id(1, 7)}), "nsu=urn:a%3Bb;i=7");
  EXPECT_EQ(text({BuiltinType::NodeId, false, NodeId::numeric_id(0, 85)}), "i=85");
  // An index the table leaves empty or does not reach keeps its number.
  EXPECT_EQ(text({BuiltinType::NodeId, false, NodeId::numeric_id(2, 7)}), "ns=2;i=7");
  EXPECT_EQ(text({BuiltinType::NodeId, false, NodeId::numeric_id(9, 7)}), "ns=9;i=7");
  Variant ids{BuiltinType::NodeId, true, {}};
  ids.elements = {{BuiltinType::NodeId, false, NodeId::numeric_id(1, 1)}};
  EXPECT_EQ(text(ids), R"(["nsu=urn:a%3Bb;i=1"])");
  EXPECT_EQ(
      text({BuiltinType::ExtensionObject, false, ExtensionObject{NodeId::numeric_id(1, 5), {}}}),
      R"({"typeId":"nsu=urn:a%3Bb;i=5","body":""})");
}

TEST(ScalarsAsText, StructuresKeepTheirTypeAndBody) {
  const ExtensionObject e{NodeId::numeric_id(1, 5000), {1, 2, 3}};
  EXPECT_EQ(text_of({BuiltinType::ExtensionObject, false, e}),
            R"({"typeId":"ns=1;i=5000","body":"AQID"})");
  // A body too long for the limit leaves only the type.
  ExtensionObject big{NodeId::numeric_id(1, 5001), std::vector<std::uint8_t>(100'000, 7)};
  const auto r = render_variant(wire_round_trip({BuiltinType::ExtensionObject, false, big}));
  EXPECT_EQ(std::get<std::string>(r.value), R"({"typeId":"ns=1;i=5001"})");
  EXPECT_TRUE(r.cut);
}

TEST(DateTimeText, FarOffTicksWithoutOverflow) {
  EXPECT_EQ(date_time_text(0), "1601-01-01T00:00:00Z");
  EXPECT_EQ(date_time_text(std::numeric_limits<std::int64_t>::min()), "1601-01-01T00:00:00Z");
  EXPECT_EQ(date_time_text(std::numeric_limits<std::int64_t>::max()),
            "9999-12-31T23:59:59.9999999Z");
  EXPECT_EQ(date_time_text(116444736000000000LL), "1970-01-01T00:00:00Z");
  EXPECT_EQ(date_time_text(116444736000000000LL - 10'000'000), "1969-12-31T23:59:59Z");
}

TEST(DateTimePoint, AbsentWhereTheClockCannotHoldIt) {
  EXPECT_FALSE(date_time_point(0));
  EXPECT_FALSE(date_time_point(-1));
  EXPECT_FALSE(date_time_point(std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(date_time_point(std::numeric_limits<std::int64_t>::min()));
  EXPECT_FALSE(date_time_point(1));  // 1601 is before what the clock holds
  EXPECT_EQ(date_time_point(kJune2025)->time_since_epoch(), std::chrono::seconds(1749283750));
  // 1700-01-01: before 1970 but inside the clock's range.
  EXPECT_EQ(date_time_point(116444736000000000LL - 2208988800LL * 10'000'000)->time_since_epoch(),
            std::chrono::seconds(-2208988800LL));
}

TEST(ArraysAsJson, OneDimensionalNestedAndMatrix) {
  EXPECT_EQ(text_of(array_of(BuiltinType::Double, {{BuiltinType::Double, false, 1.5},
                                                   {BuiltinType::Double, false, 2.5},
                                                   {BuiltinType::Double, false, 3.5}})),
            "[1.5,2.5,3.5]");
  Variant strings{BuiltinType::String, true,
                  std::vector<std::string>{"a\"b", "x,y\nz", std::string("n\0l", 3)}};
  EXPECT_EQ(text_of(strings), "[\"a\\\"b\",\"x,y\\nz\",\"n\xEF\xBF\xBDl\"]");
  std::vector<Variant> cells;
  for (std::int64_t i = 0; i < 6; ++i) cells.push_back({BuiltinType::Int32, false, i});
  EXPECT_EQ(text_of(array_of(BuiltinType::Int32, cells, {2, 3})), "[[0,1,2],[3,4,5]]");
  // Dimensions that do not match the elements: written flat.
  EXPECT_EQ(text_of(array_of(BuiltinType::Int32, cells, {4, 4})), "[0,1,2,3,4,5]");
  const Variant nested = array_of(
      BuiltinType::Variant,
      {{BuiltinType::Int64, false, std::int64_t{9007199254740993}},
       {BuiltinType::String, false, std::string("s")},
       {BuiltinType::Double, false, std::numeric_limits<double>::quiet_NaN()},
       array_of(BuiltinType::Boolean,
                {{BuiltinType::Boolean, false, true}, {BuiltinType::Boolean, false, false}}),
       {BuiltinType::DateTime, false, kJune2025},
       {BuiltinType::ExtensionObject, false, ExtensionObject{NodeId::numeric_id(0, 1), {}}}});
  EXPECT_EQ(text_of(nested), R"([9007199254740993,"s",null,[true,false],"2025-06-07T08:09:10Z",)"
                             R"({"typeId":"i=1","body":""}])");
  EXPECT_EQ(text_of(array_of(BuiltinType::Float, {})), "[]");
}

TEST(SafeText, InvalidUtf8AndNulBecomeReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(safe_text(std::string("a\0b", 3)), "a" + r + "b");
  EXPECT_EQ(safe_text("\xC3"), r);                          // truncated sequence
  EXPECT_EQ(safe_text("\xC0\xAF"), r + r);                  // overlong
  EXPECT_EQ(safe_text("\xED\xA0\x80"), r + r + r);          // surrogate
  EXPECT_EQ(safe_text("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
  EXPECT_EQ(safe_text("ok \xC3\xBC \xF0\x9F\x98\x80"), "ok \xC3\xBC \xF0\x9F\x98\x80");
  EXPECT_EQ(text_of({BuiltinType::String, false, std::string("x\xFFy")}), "x" + r + "y");
}

TEST(LongValuesAreCut, TextAtTheLimitOnACharacterBoundary) {
  // 10 MB: more than a string may be elsewhere in a message; a value keeps its head.
  const std::string ten_mb(10'000'000, 'a');
  const Variant big = wire_round_trip({BuiltinType::String, false, ten_mb});
  EXPECT_LE(std::get<std::string>(big.scalar).size(), kMaxKeptValueBytes);
  const auto r = render_variant(big);
  EXPECT_TRUE(r.cut);
  EXPECT_EQ(std::get<std::string>(r.value), std::string(pyqar::QAR_MAX_VALUE_TEXT_BYTES, 'a'));

  std::string euros;
  while (euros.size() < 70'000) euros += "\xE2\x82\xAC";
  const auto e = render_variant(wire_round_trip({BuiltinType::String, false, euros}));
  EXPECT_TRUE(e.cut);
  EXPECT_EQ(std::get<std::string>(e.value).size(), 65535u);  // 21,845 whole characters
  EXPECT_EQ(safe_text(std::get<std::string>(e.value)), std::get<std::string>(e.value));

  const std::string exact(pyqar::QAR_MAX_VALUE_TEXT_BYTES, 'b');
  EXPECT_FALSE(render_variant(wire_round_trip({BuiltinType::String, false, exact})).cut);
}

TEST(LongValuesAreCut, JsonAtAnElementAndStillJson) {
  // A million Int32 elements, as a server may send: the JSON stops at a whole element.
  const Variant million = from_wire([](BinaryWriter& w) {
    w.u8(0x80 | 6);
    w.i32(1'000'000);
    for (std::int32_t i = 0; i < 1'000'000; ++i) w.i32(i);
  });
  EXPECT_LE(million.elements.size(), kMaxKeptValueElements);
  const auto r = render_variant(million);
  EXPECT_TRUE(r.cut);
  const auto& text = std::get<std::string>(r.value);
  EXPECT_LE(text.size(), pyqar::QAR_MAX_VALUE_TEXT_BYTES);
  EXPECT_GT(text.size(), pyqar::QAR_MAX_VALUE_TEXT_BYTES - 16);
  const auto parsed = nlohmann::json::parse(text);
  ASSERT_TRUE(parsed.is_array());
  for (std::size_t i = 0; i < parsed.size(); ++i) ASSERT_EQ(parsed[i].get<std::int64_t>(), i);

  // Long strings in a matrix: cut between strings, brackets closed.
  std::vector<Variant> cells(4, Variant{BuiltinType::String, false, std::string(30'000, 'q')});
  const auto m = render_variant(wire_round_trip(array_of(BuiltinType::String, cells, {2, 2})));
  EXPECT_TRUE(m.cut);
  const auto rows = nlohmann::json::parse(std::get<std::string>(m.value));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].size(), 2u);
  EXPECT_EQ(rows[1].size(), 0u);
}

TEST(DecoderKeepsLittle, ElementsBeyondTheBudgetAreReadPast) {
  // Nested arrays of a hostile size: what a value keeps stays bounded, the message is still
  // read to its end, and the value is marked cut.
  const Variant v = from_wire([](BinaryWriter& w) {
    w.u8(0x80 | 24);  // Variant array
    w.i32(300);
    for (int i = 0; i < 300; ++i) {
      w.u8(0x80 | 1);
      w.i32(1000);
      for (int k = 0; k < 1000; ++k) w.boolean(true);
    }
  });
  std::size_t kept = v.elements.size();
  for (const Variant& e : v.elements) kept += e.elements.size();
  EXPECT_LE(kept, kMaxKeptValueElements);
  EXPECT_TRUE(v.cut);
  EXPECT_TRUE(render_variant(v).cut);
}

TEST(DecoderKeepsLittle, AMessageKeepsABoundedNumberOfElements) {
  // Ten values of 32,768 elements each in one message: the first ones whole, the rest cut once
  // the message has had its share, each still read to its end.
  BinaryWriter w;
  for (int value = 0; value < 10; ++value) {
    w.u8(0x01);  // DataValue with a value
    w.u8(0x80 | 1);
    w.i32(static_cast<std::int32_t>(kMaxKeptValueElements));
    for (std::size_t k = 0; k < kMaxKeptValueElements; ++k) w.boolean(k % 2 == 0);
  }
  BinaryReader r(w.data());
  std::size_t kept = 0;
  std::vector<bool> cut;
  for (int value = 0; value < 10; ++value) {
    const DataValue v = decode_data_value(r);
    kept += v.value->elements.size();
    cut.push_back(v.value->cut);
  }
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(kept, kMaxKeptElements);
  EXPECT_FALSE(cut.front());
  EXPECT_TRUE(cut.back());
}

TEST(StatusName, DataQualityCodes) {
  EXPECT_EQ(pyqar::status_name(0x808C0000), "BadSensorFailure");
  EXPECT_EQ(pyqar::status_name(0x40900000), "UncertainLastUsableValue");
  EXPECT_EQ(pyqar::status_name(0x40940000), "UncertainEngineeringUnitsExceeded");
  EXPECT_EQ(pyqar::status_name(0x00960000), "GoodLocalOverride");
  EXPECT_EQ(pyqar::status_name(0x80320000), "BadWaitingForInitialData");
  EXPECT_EQ(pyqar::status_name(0x00000400), "Good");  // info bits left out
}

}  // namespace
