// Structures decoded by their data type definitions: the definitions' own wire layout, every
// structure form and built-in field type, and bodies that lie about their definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "pyqar/status_names.h"

#include "ua/binary_writer.h"
#include "ua/data_type_definition.h"
#include "ua/structure_decoder.h"

namespace {

using namespace pyqar::ua;

NodeId ns2(std::uint32_t id) { return NodeId::numeric_id(2, id); }
NodeId std_type(BuiltinType t) { return NodeId::numeric_id(0, static_cast<std::uint32_t>(t)); }

StructureField field(std::string name, NodeId type, std::int32_t rank = -1, bool optional = false) {
  return {.name = std::move(name),
          .data_type = std::move(type),
          .value_rank = rank,
          .max_string_length = 0,
          .is_optional = optional};
}

// Data types ns=2;i=N are encoded as ns=2;i=N+1000.
StructureDefinition structure(std::uint32_t type, std::vector<StructureField> fields,
                              StructureType kind = StructureType::Structure) {
  return {.default_encoding_id = ns2(type + 1000),
          .base_data_type = NodeId::numeric_id(0, 22),
          .structure_type = kind,
          .fields = std::move(fields)};
}

template <typename F>
ExtensionObject body(std::uint32_t type, F write) {
  BinaryWriter w;
  write(w);
  return {.type_id = ns2(type + 1000), .body = w.take()};
}

constexpr std::uint32_t kLimits = 10, kMode = 11, kDrive = 12, kOptional = 13, kChoice = 14,
                        kNode = 15, kChain = 16, kAll = 17;

class StructureDecoderTest : public ::testing::Test {
 protected:
  StructureDecoderTest() {
    decoder.add(ns2(kLimits), structure(kLimits, {field("Low", std_type(BuiltinType::Int32)),
                                                  field("High", std_type(BuiltinType::Int32))}));
    decoder.add(ns2(kMode), EnumDefinition{.fields = {{1, "Manual"}, {2, "Auto"}}});
    decoder.add(ns2(kDrive),
                structure(kDrive, {field("Speed", std_type(BuiltinType::Double)),
                                   field("Running", std_type(BuiltinType::Boolean)),
                                   field("Mode", ns2(kMode)), field("Limits", ns2(kLimits))}));
    decoder.add(ns2(kOptional), structure(kOptional,
                                          {field("A", std_type(BuiltinType::Int16), -1, true),
                                           field("B", std_type(BuiltinType::String)),
                                           field("C", ns2(kLimits), 1, true)},
                                          StructureType::StructureWithOptionalFields));
    decoder.add(ns2(kChoice), structure(kChoice,
                                        {field("Number", std_type(BuiltinType::UInt32)),
                                         field("Text", std_type(BuiltinType::String)),
                                         field("Drives", ns2(kDrive), 1)},
                                        StructureType::Union));
  }

  std::string decoded(const ExtensionObject& e) {
    const DecodedStructure d = decoder.decode(e, namespaces);
    EXPECT_TRUE(d.ok) << d.text;
    EXPECT_TRUE(nlohmann::json::accept(d.text)) << d.text;
    return d.text;
  }

  std::string refused(const ExtensionObject& e, std::size_t max_text = 64 * 1024) {
    const DecodedStructure d = decoder.decode(e, namespaces, max_text);
    EXPECT_FALSE(d.ok) << d.text;
    return d.text;
  }

  static void drive(BinaryWriter& w, double speed, std::int32_t mode) {
    w.f64(speed);
    w.u8(1);
    w.i32(mode);
    w.i32(0);
    w.i32(100);
  }

  StructureDecoder decoder;
  std::vector<std::string> namespaces{"http://opcfoundation.org/UA/", "urn:a", "urn:plant"};
};

TEST(DataTypeDefinitionTest, DecodesTheWireLayoutOfBothDefinitions) {
  // A StructureDefinition as a server sends it: encoding ns=2;i=5001, base Structure, with
  // optional fields, one optional Double field "A".
  const std::vector<std::uint8_t> structure_bytes = {
      0x01, 0x02, 0x89, 0x13, 0x00, 0x16, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x00, 0x00, 'A',  0x02, 0x01, 0x00, 0x00, 0x00, 'd',  0x00, 0x0b, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x01};
  const auto s = std::get<StructureDefinition>(decode_data_type_definition(
      {.type_id = NodeId::numeric_id(0, 122), .body = structure_bytes}));
  EXPECT_EQ(s.default_encoding_id, ns2(5001));
  EXPECT_EQ(s.base_data_type, NodeId::numeric_id(0, 22));
  EXPECT_EQ(s.structure_type, StructureType::StructureWithOptionalFields);
  ASSERT_EQ(s.fields.size(), 1u);
  EXPECT_EQ(s.fields[0].name, "A");
  EXPECT_EQ(s.fields[0].data_type, std_type(BuiltinType::Double));
  EXPECT_EQ(s.fields[0].value_rank, -1);
  EXPECT_TRUE(s.fields[0].is_optional);

  // An EnumDefinition whose field has only a display name.
  const std::vector<std::uint8_t> enum_bytes = {0x01, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,
                                                0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00,
                                                0x00, 'O',  'n',  0x00, 0xff, 0xff, 0xff, 0xff};
  const auto e = std::get<EnumDefinition>(
      decode_data_type_definition({.type_id = NodeId::numeric_id(0, 123), .body = enum_bytes}));
  ASSERT_EQ(e.fields.size(), 1u);
  EXPECT_EQ(e.fields[0].value, 7);
  EXPECT_EQ(e.fields[0].name, "On");

  ExtensionObject longer{.type_id = NodeId::numeric_id(0, 123), .body = enum_bytes};
  longer.body.push_back(0);
  EXPECT_THROW(decode_data_type_definition(longer), DecodeError);
  EXPECT_THROW(decode_data_type_definition({.type_id = NodeId::numeric_id(0, 123),
                                            .body = {enum_bytes.begin(), enum_bytes.end() - 1}}),
               DecodeError);
  EXPECT_THROW(decode_data_type_definition({.type_id = ns2(122), .body = enum_bytes}), DecodeError);
  auto bad_kind = structure_bytes;
  bad_kind[6] = 5;
  EXPECT_THROW(
      decode_data_type_definition({.type_id = NodeId::numeric_id(0, 122), .body = bad_kind}),
      DecodeError);
}

TEST(DataTypeDefinitionTest, EncodesWhatItDecodes) {
  const StructureDefinition s =
      structure(3, {field("X", ns2(9), 1, true), field("Y", std_type(BuiltinType::String))},
                StructureType::Union);
  const auto back =
      std::get<StructureDefinition>(decode_data_type_definition(encode_data_type_definition(s)));
  ASSERT_EQ(back.fields.size(), 2u);
  EXPECT_EQ(back.fields[0].data_type, ns2(9));
  EXPECT_EQ(back.fields[0].value_rank, 1);
  EXPECT_EQ(back.structure_type, StructureType::Union);
}

TEST_F(StructureDecoderTest, NestedStructureWithEnumeration) {
  EXPECT_EQ(decoded(body(kDrive, [](BinaryWriter& w) { drive(w, 12.5, 2); })),
            R"({"Speed":12.5,"Running":true,"Mode":{"value":2,"name":"Auto"},)"
            R"("Limits":{"Low":0,"High":100}})");
  // A value the enumeration does not name is the number alone.
  EXPECT_EQ(decoded(body(kDrive, [](BinaryWriter& w) { drive(w, -1, 9); })),
            R"({"Speed":-1,"Running":true,"Mode":9,"Limits":{"Low":0,"High":100}})");
}

TEST_F(StructureDecoderTest, OptionalFieldsPresentAndAbsent) {
  EXPECT_EQ(decoded(body(kOptional,
                         [](BinaryWriter& w) {
                           w.u32(0);
                           w.string("b");
                         })),
            R"({"B":"b"})");
  EXPECT_EQ(decoded(body(kOptional,
                         [](BinaryWriter& w) {
                           w.u32(3);
                           w.i16(-7);
                           w.string("");
                           w.i32(2);
                           for (int i = 0; i < 4; ++i) w.i32(i);
                         })),
            R"({"A":-7,"B":"","C":[{"Low":0,"High":1},{"Low":2,"High":3}]})");
  EXPECT_EQ(decoded(body(kOptional,
                         [](BinaryWriter& w) {
                           w.u32(2);
                           w.null_string();
                           w.i32(-1);
                         })),
            R"({"B":"","C":null})");
  // Bit 2 names a third optional field the definition does not have.
  EXPECT_NE(refused(body(kOptional,
                         [](BinaryWriter& w) {
                           w.u32(4);
                           w.string("b");
                         }))
                .find("encoding mask"),
            std::string::npos);
}

TEST_F(StructureDecoderTest, UnionEachArmAndNull) {
  EXPECT_EQ(decoded(body(kChoice, [](BinaryWriter& w) { w.u32(0); })), "{}");
  EXPECT_EQ(decoded(body(kChoice,
                         [](BinaryWriter& w) {
                           w.u32(1);
                           w.u32(4000000000U);
                         })),
            R"({"Number":4000000000})");
  EXPECT_EQ(decoded(body(kChoice,
                         [](BinaryWriter& w) {
                           w.u32(2);
                           w.string("a\"\n\x01");
                         })),
            R"({"Text":"a\"\n\u0001"})");
  EXPECT_EQ(decoded(body(kChoice,
                         [](BinaryWriter& w) {
                           w.u32(3);
                           w.i32(1);
                           drive(w, 0.25, 1);
                         })),
            R"({"Drives":[{"Speed":0.25,"Running":true,"Mode":{"value":1,"name":"Manual"},)"
            R"("Limits":{"Low":0,"High":100}}]})");
  // Invalid UTF-8 and NUL from the server are replaced, never passed on.
  EXPECT_EQ(decoded(body(kChoice,
                         [](BinaryWriter& w) {
                           w.u32(2);
                           w.string(std::string("\xff", 1) + std::string(1, '\0'));
                         })),
            "{\"Text\":\"\xEF\xBF\xBD\xEF\xBF\xBD\"}");
  EXPECT_NE(refused(body(kChoice, [](BinaryWriter& w) { w.u32(4); })).find("switch 4"),
            std::string::npos);
}

TEST_F(StructureDecoderTest, EveryBuiltinFieldType) {
  std::vector<StructureField> fields;
  for (std::uint32_t t = 1; t <= 25; ++t) {
    fields.push_back(field(fmt::format("t{}", t), NodeId::numeric_id(0, t)));
  }
  fields.push_back(field("Duration", NodeId::numeric_id(0, 290)));
  fields.push_back(field("Floats", std_type(BuiltinType::Float), 1));
  decoder.add(ns2(kAll), structure(kAll, fields));
  const ExtensionObject e = body(kAll, [](BinaryWriter& w) {
    w.u8(1);                         // Boolean
    w.u8(0xff);                      // SByte
    w.u8(200);                       // Byte
    w.i16(-300);                     // Int16
    w.u16(60000);                    // UInt16
    w.i32(-70000);                   // Int32
    w.u32(4000000000U);              // UInt32
    w.i64(-5000000000LL);            // Int64
    w.u64(18446744073709551615ULL);  // UInt64
    w.f32(1.5F);                     // Float
    w.f64(2.25);                     // Double
    w.string("text");                // String
    w.i64(116444736000000000LL);     // DateTime: 1970-01-01
    w.u32(0x01020304);               // Guid
    w.u16(0x0506);
    w.u16(0x0708);
    for (std::uint8_t b = 9; b <= 16; ++b) w.u8(b);
    w.string("abc");                                 // ByteString
    w.string("<a/>");                                // XmlElement
    encode_node_id(w, NodeId::string_id(2, "Tag"));  // NodeId
    w.u8(0x80);                                      // ExpandedNodeId with a namespace URI
    w.u8(5);
    w.string("urn:x");
    w.u32(0x80340000);  // StatusCode
    w.u16(2);           // QualifiedName
    w.string("Name");
    encode_localized_text(w, {.locale = "en", .text = "Hello"});       // LocalizedText
    encode_extension_object(w, {.type_id = ns2(77), .body = {1, 2}});  // ExtensionObject
    w.u8(0x01);                                                        // DataValue holding Int32 5
    w.u8(6);
    w.i32(5);
    w.u8(11);  // Variant holding Double 0.5
    w.f64(0.5);
    w.u8(0);      // DiagnosticInfo, empty
    w.f64(1000);  // Duration
    w.i32(2);     // Floats
    w.f32(0.1F);
    w.f32(std::numeric_limits<float>::infinity());
  });
  EXPECT_EQ(decoded(e),
            R"({"t1":true,"t2":-1,"t3":200,"t4":-300,"t5":60000,"t6":-70000,"t7":4000000000,)"
            R"("t8":-5000000000,"t9":18446744073709551615,"t10":1.5,"t11":2.25,"t12":"text",)"
            R"("t13":"1970-01-01T00:00:00Z","t14":"01020304-0506-0708-090a-0b0c0d0e0f10",)"
            R"("t15":"YWJj","t16":"<a/>","t17":"nsu=urn:plant;s=Tag","t18":"nsu=urn:x;i=5",)"
            R"("t19":")" +
                pyqar::status_name(0x80340000) +
                R"(","t20":"Name","t21":"Hello",)"
                R"("t22":{"typeId":"nsu=urn:plant;i=77","body":"AQI="},"t23":5,"t24":0.5,)"
                R"("t25":null,"Duration":1000,"Floats":[0.1,null]})");
}

TEST_F(StructureDecoderTest, StructuresInsideExtensionObjectsAndVariants) {
  decoder.add(ns2(20), structure(20, {field("Any", NodeId::numeric_id(0, 22)),
                                      field("Value", NodeId::numeric_id(0, 24))}));
  const ExtensionObject limits = body(kLimits, [](BinaryWriter& w) {
    w.i32(1);
    w.i32(2);
  });
  EXPECT_EQ(decoded(body(20,
                         [&](BinaryWriter& w) {
                           encode_extension_object(w, limits);
                           encode_variant(w, Variant(BuiltinType::ExtensionObject, false, limits));
                         })),
            R"({"Any":{"Low":1,"High":2},"Value":{"Low":1,"High":2}})");
  Variant limits_array(BuiltinType::ExtensionObject, true, {});
  limits_array.elements = {Variant(BuiltinType::ExtensionObject, false, limits),
                           Variant(BuiltinType::ExtensionObject, false,
                                   ExtensionObject{.type_id = ns2(5), .body = {7}})};
  EXPECT_EQ(
      decoded(body(20,
                   [&](BinaryWriter& w) {
                     encode_extension_object(w, {});
                     encode_variant(w, limits_array);
                   })),
      R"({"Any":null,"Value":[{"Low":1,"High":2},{"typeId":"nsu=urn:plant;i=5","body":"Bw=="}]})");
  // A nested body that lies is refused with the whole value.
  ExtensionObject short_limits = limits;
  short_limits.body.pop_back();
  EXPECT_NE(refused(body(20,
                         [&](BinaryWriter& w) {
                           encode_extension_object(w, short_limits);
                           w.u8(0);
                         }))
                .find("Any"),
            std::string::npos);
}

TEST_F(StructureDecoderTest, LyingBodiesAreRefusedWithTheReason) {
  const auto full = body(kDrive, [](BinaryWriter& w) { drive(w, 1, 1); });
  ExtensionObject shorter = full;
  shorter.body.pop_back();
  EXPECT_NE(refused(shorter).find("High"), std::string::npos);
  ExtensionObject longer = full;
  longer.body.push_back(0);
  EXPECT_NE(refused(longer).find("1 bytes left over"), std::string::npos);
  EXPECT_NE(refused({.type_id = ns2(999), .body = {}}).find("no structure definition"),
            std::string::npos);
  // A negative array length and one the body cannot hold.
  EXPECT_FALSE(decoder
                   .decode(body(kOptional,
                                [](BinaryWriter& w) {
                                  w.u32(2);
                                  w.string("");
                                  w.i32(-2);
                                }))
                   .ok);
  EXPECT_FALSE(decoder
                   .decode(body(kOptional,
                                [](BinaryWriter& w) {
                                  w.u32(2);
                                  w.string("");
                                  w.i32(1000);
                                }))
                   .ok);
}

TEST_F(StructureDecoderTest, UnknownFieldTypesAreReportedAndRefused) {
  decoder.add(ns2(30),
              structure(30, {field("X", ns2(31)), field("Y", ns2(32), 1), field("Z", ns2(31)),
                             field("W", NodeId::numeric_id(0, 294))}));
  auto missing = decoder.missing_types();
  std::sort(missing.begin(), missing.end(),
            [](const NodeId& a, const NodeId& b) { return a.numeric < b.numeric; });
  EXPECT_EQ(missing, (std::vector<NodeId>{ns2(31), ns2(32)}));
  EXPECT_NE(refused(body(30, [](BinaryWriter& w) { w.i32(1); }))
                .find("no definition of data type ns=2;i=31"),
            std::string::npos);

  // A server's own subtype of a built-in type, once known, decodes.
  decoder.add_builtin_subtype(ns2(31), BuiltinType::Int32);
  decoder.add(ns2(32), EnumDefinition{});
  EXPECT_TRUE(decoder.missing_types().empty());
  EXPECT_EQ(decoded(body(30,
                         [](BinaryWriter& w) {
                           w.i32(1);
                           w.i32(1);
                           w.i32(3);
                           w.i32(2);
                           w.i64(116444736000000000LL);
                         })),
            R"({"X":1,"Y":[3],"Z":2,"W":"1970-01-01T00:00:00Z"})");

  decoder.clear();
  EXPECT_FALSE(decoder.knows_encoding(ns2(kDrive + 1000)));
}

TEST_F(StructureDecoderTest, RecursiveDefinitionsAreBounded) {
  // A structure that holds itself and takes no bytes per level.
  decoder.add(ns2(kNode), structure(kNode, {field("Child", ns2(kNode))}));
  EXPECT_NE(refused({.type_id = ns2(kNode + 1000), .body = {}}).find("nested deeper"),
            std::string::npos);
  // A linked list through an optional field ends where the mask says.
  decoder.add(ns2(kChain), structure(kChain,
                                     {field("V", std_type(BuiltinType::Byte)),
                                      field("Next", ns2(kChain), -1, true)},
                                     StructureType::StructureWithOptionalFields));
  EXPECT_EQ(decoded(body(kChain,
                         [](BinaryWriter& w) {
                           w.u32(1);
                           w.u8(1);
                           w.u32(0);
                           w.u8(2);
                         })),
            R"({"V":1,"Next":{"V":2}})");
  EXPECT_FALSE(decoder
                   .decode(body(kChain,
                                [](BinaryWriter& w) {
                                  for (int i = 0; i < 40; ++i) {
                                    w.u32(1);
                                    w.u8(0);
                                  }
                                  w.u32(0);
                                  w.u8(0);
                                }))
                   .ok);
}

TEST_F(StructureDecoderTest, TextAndElementLimits) {
  decoder.add(ns2(40), structure(40, {field("Flags", std_type(BuiltinType::Boolean), 1)}));
  const auto flags = [](std::int32_t n) {
    return body(40, [n](BinaryWriter& w) {
      w.i32(n);
      w.fill(static_cast<std::size_t>(n), 1);
    });
  };
  EXPECT_TRUE(decoder.decode(flags(4)).ok);
  EXPECT_NE(refused(flags(4), 20).find("longer than 20 bytes"), std::string::npos);
  EXPECT_NE(refused(flags(40000)).find("array elements"), std::string::npos);
}

}  // namespace
