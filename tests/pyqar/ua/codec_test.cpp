// Round trips of the binary codec and its refusal of malformed input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "response_header.h"
#include "ua/binary_reader.h"
#include "ua/binary_writer.h"
#include "ua/channel_crypto.h"
#include "ua/tcp_messages.h"
#include "ua/ua_codec.h"
#include "ua/ua_limits.h"
#include "ua/ua_messages.h"

namespace {

using namespace pyqar::ua;
using pyqar::ua::testing::write_response_header;

DataValue data_value(std::optional<Variant> value, std::optional<std::uint32_t> status = {}) {
  DataValue v;
  v.value = std::move(value);
  v.status = status;
  return v;
}

NodeId round_trip(const NodeId& id) {
  BinaryWriter w;
  encode_node_id(w, id);
  BinaryReader r(w.data());
  NodeId back = decode_node_id(r);
  EXPECT_EQ(r.remaining(), 0u);
  return back;
}

TEST(NodeIdEncodingRoundTrips, EveryKindAndEveryNumericForm) {
  Guid g{0x72962b91, 0xfa75, 0x4ae6, {0x8d, 0x28, 0xb4, 0x04, 0xdc, 0x7d, 0xaf, 0x63}};
  NodeId guid;
  guid.namespace_index = 4;
  guid.kind = NodeId::Kind::Guid;
  guid.guid = g;
  NodeId opaque;
  opaque.namespace_index = 1;
  opaque.kind = NodeId::Kind::ByteString;
  opaque.text = std::string("\x00\x01\xff", 3);
  for (const NodeId& id :
       {NodeId::numeric_id(0, 7), NodeId::numeric_id(3, 1001), NodeId::numeric_id(300, 70000),
        NodeId::numeric_id(0, 11705), NodeId::string_id(2, "Demo.Tag1"), NodeId::string_id(2, ""),
        guid, opaque}) {
    EXPECT_EQ(round_trip(id), id) << to_string(id);
  }
}

TEST(NodeIdEncodingRoundTrips, UsesTheCompactNumericForms) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, 200));
  EXPECT_EQ(w.data(), (std::vector<std::uint8_t>{0x00, 200}));
  BinaryWriter f;
  encode_node_id(f, NodeId::numeric_id(0, 631));
  EXPECT_EQ(f.data(), (std::vector<std::uint8_t>{0x01, 0x00, 0x77, 0x02}));
}

Variant round_trip(const Variant& v) {
  BinaryWriter w;
  encode_variant(w, v);
  BinaryReader r(w.data());
  Variant back = decode_variant(r);
  EXPECT_EQ(r.remaining(), 0u);
  return back;
}

TEST(VariantEncodingRoundTrips, ScalarsOfEveryKeptType) {
  const std::vector<Variant> cases = {
      {BuiltinType::Boolean, false, true},
      {BuiltinType::SByte, false, std::int64_t{-5}},
      {BuiltinType::Byte, false, std::uint64_t{250}},
      {BuiltinType::Int16, false, std::int64_t{-30000}},
      {BuiltinType::UInt16, false, std::uint64_t{65535}},
      {BuiltinType::Int32, false, std::int64_t{-42}},
      {BuiltinType::UInt32, false, std::uint64_t{4000000000u}},
      {BuiltinType::Int64, false, std::int64_t{-(1LL << 60)}},
      {BuiltinType::UInt64, false, std::uint64_t{1ULL << 63}},
      {BuiltinType::Float, false, 1.5},
      {BuiltinType::Double, false, -2.25e300},
      {BuiltinType::String, false, std::string("héllo")},
      {BuiltinType::Null, false, std::monostate{}},
  };
  for (const auto& v : cases) {
    const Variant back = round_trip(v);
    EXPECT_EQ(back.type, v.type);
    EXPECT_EQ(back.scalar, v.scalar) << static_cast<int>(v.type);
  }
}

TEST(VariantDecoding, ReadsPastArraysAndTypesItDoesNotKeep) {
  BinaryWriter w;
  w.u8(0x80 | 11);  // array of Double
  w.i32(3);
  for (double d : {1.0, 2.0, 3.0}) w.f64(d);
  w.u8(21);  // LocalizedText
  encode_localized_text(w, {"en", "text"});
  w.u8(0x80 | 0x40 | 6);  // Int32 matrix
  w.i32(4);
  for (int i = 0; i < 4; ++i) w.i32(i);
  w.i32(2);
  w.i32(2);
  w.i32(2);
  BinaryReader r(w.data());
  EXPECT_TRUE(decode_variant(r).is_array);
  EXPECT_EQ(decode_variant(r).type, BuiltinType::LocalizedText);
  EXPECT_TRUE(decode_variant(r).is_array);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(VariantDecoding, KeepsAttributeTypesAndStringArrays) {
  BinaryWriter w;
  w.u8(0x80 | 12);  // String array: a namespace table
  w.i32(3);
  w.string("http://opcfoundation.org/UA/");
  w.null_string();
  w.string("urn:x");
  w.u8(17);  // NodeId: a DataType attribute
  encode_node_id(w, NodeId::numeric_id(0, 11));
  w.u8(20);  // QualifiedName: a BrowseName attribute
  w.u16(2);
  w.string("Temp");
  w.u8(21);  // LocalizedText: a Description attribute
  encode_localized_text(w, {"", "Boiler temperature"});
  BinaryReader r(w.data());
  EXPECT_EQ(std::get<std::vector<std::string>>(decode_variant(r).scalar),
            (std::vector<std::string>{"http://opcfoundation.org/UA/", "", "urn:x"}));
  EXPECT_EQ(std::get<NodeId>(decode_variant(r).scalar), NodeId::numeric_id(0, 11));
  EXPECT_EQ(std::get<QualifiedName>(decode_variant(r).scalar).name, "Temp");
  EXPECT_EQ(std::get<LocalizedText>(decode_variant(r).scalar).text, "Boiler temperature");
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(DataValueEncodingRoundTrips, EachOptionalField) {
  DataValue full;
  full.value = Variant{BuiltinType::Double, false, 3.25};
  full.status = 0x40900000;
  full.source_timestamp = 132000000000000000;
  full.server_timestamp = 132000000000000001;
  for (const DataValue& v : {full, DataValue{}, data_value(std::nullopt, 0x80340000)}) {
    BinaryWriter w;
    encode_data_value(w, v);
    BinaryReader r(w.data());
    const DataValue back = decode_data_value(r);
    EXPECT_EQ(back.status, v.status);
    EXPECT_EQ(back.source_timestamp, v.source_timestamp);
    EXPECT_EQ(back.server_timestamp, v.server_timestamp);
    EXPECT_EQ(back.value.has_value(), v.value.has_value());
  }
}

TEST(DataValueDecoding, SkipsPicoseconds) {
  const std::vector<std::uint8_t> in = {0x01 | 0x04 | 0x10, 1, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  BinaryReader r(in);
  const DataValue v = decode_data_value(r);
  EXPECT_EQ(v.source_timestamp, 8);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(DateTimeConversion, RoundTripsAndMapsTheUnixEpoch) {
  EXPECT_EQ(to_date_time(std::chrono::system_clock::time_point{}), 116444736000000000LL);
  const auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1577934245));
  EXPECT_EQ(from_date_time(to_date_time(t)), t);
  // Far-off or negative times clamp instead of overflowing.
  EXPECT_NO_THROW(from_date_time(std::numeric_limits<std::int64_t>::max()));
  EXPECT_NO_THROW(from_date_time(-5));
}

class RefusesMalformedInput : public ::testing::Test {
 protected:
  template <typename F>
  void expect_refused(const std::vector<std::uint8_t>& in, F decode) {
    BinaryReader r(in);
    EXPECT_THROW(decode(r), DecodeError);
  }
};

TEST_F(RefusesMalformedInput, TruncatedPrimitivesAndStrings) {
  expect_refused({0x01, 0x02, 0x03}, [](BinaryReader& r) { r.u32(); });
  expect_refused({0x05, 0, 0, 0, 'a', 'b'}, [](BinaryReader& r) { r.string(); });
  expect_refused({0xfe, 0xff, 0xff, 0xff}, [](BinaryReader& r) { r.string(); });
}

TEST_F(RefusesMalformedInput, LengthsBeyondTheLimitsOrTheMessage) {
  BinaryWriter big;
  big.i32(kMaxStringLength + 1);
  expect_refused(big.data(), [](BinaryReader& r) { r.string(); });
  BinaryWriter many;
  many.i32(kMaxArrayLength + 1);
  expect_refused(many.data(), [](BinaryReader& r) { r.array_length(); });
  // A count the remaining bytes cannot hold is refused before any allocation.
  BinaryWriter lying;
  lying.i32(100000);
  lying.u32(0);
  expect_refused(lying.data(), [](BinaryReader& r) { r.array_length(4); });
  expect_refused(lying.data(),
                 [](BinaryReader& r) { return decode_array<DataValue>(r, 1, decode_data_value); });
}

TEST_F(RefusesMalformedInput, NestingDeeperThanTheLimit) {
  std::vector<std::uint8_t> nested(kMaxNestingDepth + 1, 24);  // Variant in Variant in ...
  nested.push_back(0);
  expect_refused(nested, [](BinaryReader& r) { decode_variant(r); });
  std::vector<std::uint8_t> diag(kMaxNestingDepth + 1, 0x40);  // inner diagnostic info
  diag.push_back(0);
  expect_refused(diag, [](BinaryReader& r) { skip_diagnostic_info(r); });
}

TEST_F(RefusesMalformedInput, UnknownEncodingsAndTypes) {
  expect_refused({0x07, 0, 0}, [](BinaryReader& r) { decode_node_id(r); });
  expect_refused({63}, [](BinaryReader& r) { decode_variant(r); });
  expect_refused({0x40 | 6, 0, 0, 0, 0}, [](BinaryReader& r) { decode_variant(r); });
  expect_refused({0x80, 0xff, 0xff, 0, 0}, [](BinaryReader& r) { decode_variant(r); });
  expect_refused({0x00, 0x00, 0x05}, [](BinaryReader& r) { skip_extension_object(r); });
}

TEST_F(RefusesMalformedInput, ResponsesOfUnknownTypeOrTruncated) {
  BinaryWriter unknown;
  encode_node_id(unknown, NodeId::numeric_id(0, 999));
  EXPECT_THROW(decode_response(unknown.data()), DecodeError);
  BinaryWriter other_ns;
  encode_node_id(other_ns, NodeId::numeric_id(1, type_id::ReadResponse));
  EXPECT_THROW(decode_response(other_ns.data()), DecodeError);
  BinaryWriter truncated;
  encode_node_id(truncated, NodeId::numeric_id(0, type_id::ReadResponse));
  truncated.i64(0);
  EXPECT_THROW(decode_response(truncated.data()), DecodeError);
}

TEST(ResponseDecoding, ReadResponseWithItsResults) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, type_id::ReadResponse));
  write_response_header(w, 0);
  w.i32(2);
  encode_data_value(w, data_value(Variant{BuiltinType::Double, false, 1.0}));
  encode_data_value(w, data_value(std::nullopt, 0x80340000));
  w.i32(-1);
  const auto response = decode_response(w.data());
  const auto& read = std::get<ReadResponse>(response);
  ASSERT_EQ(read.results.size(), 2u);
  EXPECT_EQ(read.results[1].status, 0x80340000u);
}

// One BrowseResult: a continuation point and one reference whose target names its
// namespace by URI.
void write_browse_result(BinaryWriter& w, std::int32_t reference_count) {
  w.u32(0);
  w.string("cp1");
  w.i32(reference_count);
  encode_node_id(w, NodeId::numeric_id(0, 35));  // Organizes
  w.boolean(true);
  w.u8(0x80 | 0x03);  // ExpandedNodeId: String form with a namespace URI
  w.u16(0);
  w.string("Temp");
  w.string("urn:x");
  w.u16(2);
  w.string("Temp");
  encode_localized_text(w, {"", "Temperature"});
  w.u32(2);  // Variable
  encode_node_id(w, NodeId::numeric_id(0, 63));
}

TEST(ResponseDecoding, BrowseResultsWithContinuationPointAndUriTargets) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, type_id::BrowseNextResponse));
  write_response_header(w, 0);
  w.i32(1);
  write_browse_result(w, 1);
  w.i32(-1);
  const auto response = decode_response(w.data());
  const auto& next = std::get<BrowseNextResponse>(response);
  ASSERT_EQ(next.results.size(), 1u);
  EXPECT_EQ(next.results[0].continuation_point, "cp1");
  ASSERT_EQ(next.results[0].references.size(), 1u);
  const auto& ref = next.results[0].references[0];
  EXPECT_EQ(ref.node_id.namespace_uri, "urn:x");
  EXPECT_EQ(ref.node_id.id, NodeId::string_id(0, "Temp"));
  EXPECT_EQ(ref.browse_name.name, "Temp");
  EXPECT_EQ(ref.node_class, kNodeClassVariable);

  // A reference count the message cannot hold is refused before anything is allocated.
  BinaryWriter lying;
  encode_node_id(lying, NodeId::numeric_id(0, type_id::BrowseResponse));
  write_response_header(lying, 0);
  lying.i32(1);
  write_browse_result(lying, 900'000);
  EXPECT_THROW(decode_response(lying.data()), DecodeError);
}

TEST(ResponseDecoding, ServiceFaultCarriesItsResult) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, type_id::ServiceFault));
  write_response_header(w, 0x80250000);
  const auto response = decode_response(w.data());
  ASSERT_TRUE(std::holds_alternative<ServiceFault>(response));
  EXPECT_EQ(header_of(response).service_result, 0x80250000u);
}

TEST(TransportFraming, HelloCarriesLimitsAndUrl) {
  const auto hello = encode_hello({0, 65536, 65536, 0, 0}, "opc.tcp://h:1");
  const MessageHeader h = decode_message_header(hello);
  EXPECT_EQ(h.type, MessageType::Hello);
  EXPECT_EQ(h.size, hello.size());
  EXPECT_EQ(hello.size(), 8u + 20u + 4u + 13u);
}

TEST(TransportFraming, RefusesUnknownTypesAndBadSizes) {
  const std::vector<std::uint8_t> junk = {'X', 'Y', 'Z', 'F', 8, 0, 0, 0};
  EXPECT_THROW(decode_message_header(junk), DecodeError);
  const std::vector<std::uint8_t> chunk_letter = {'M', 'S', 'G', 'Q', 8, 0, 0, 0};
  EXPECT_THROW(decode_message_header(chunk_letter), DecodeError);
  const std::vector<std::uint8_t> tiny = {'M', 'S', 'G', 'F', 4, 0, 0, 0};
  EXPECT_THROW(decode_message_header(tiny), DecodeError);
}

TEST(TransportFraming, SecureChunkMustMatchItsSizeAndChannelItsPolicy) {
  BinaryWriter w;
  w.bytes(std::vector<std::uint8_t>{'O', 'P', 'N', 'F'});
  w.u32(0);
  w.u32(5);
  w.string("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
  w.null_string();
  w.null_string();
  w.u32(1);
  w.u32(1);
  w.patch_u32(4, static_cast<std::uint32_t>(w.size()));
  EXPECT_EQ(decode_secure_chunk(w.data()).security_policy_uri,
            "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
  // A channel without security takes no answer secured with a policy.
  const ChannelCrypto none{ChannelSecurity{}};
  EXPECT_THROW(none.open_asymmetric(w.data(), 12), std::runtime_error);
  auto wrong_size = w.data();
  wrong_size[4] += 1;
  EXPECT_THROW(decode_secure_chunk(wrong_size), DecodeError);
}

}  // namespace
