// The HistoryRead request as a server reads it, and its response hand-built as a server sends
// it, through decode_response; hostile counts, lengths and history data are refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "response_header.h"
#include "ua/binary_reader.h"
#include "ua/binary_writer.h"
#include "ua/ua_codec.h"
#include "ua/ua_history_messages.h"
#include "ua/ua_messages.h"
#include "ua/value_conversion.h"

namespace {

using namespace pyqar::ua;
using pyqar::ua::testing::write_response_header;

constexpr std::uint32_t kBadNoContinuationPoints = 0x804B0000;
constexpr std::uint32_t kGoodNoData = 0x00A50000;

// Checks the type id and reads past the request header, as a server would.
BinaryReader request_body(const std::vector<std::uint8_t>& bytes) {
  BinaryReader r(bytes);
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 664));
  decode_node_id(r);  // authentication token
  r.i64();
  r.u32();
  r.u32();
  r.skip_string();
  r.u32();
  skip_extension_object(r);
  return r;
}

TEST(HistoryReadRequestEncoding, RawDetailsNewestFirstAndEachNodeWithItsPoint) {
  const std::vector<HistoryNodeToRead> nodes{
      {.node = NodeId::string_id(2, "History.1"), .continuation_point = {}},
      {.node = NodeId::numeric_id(3, 7), .continuation_point = std::string("cp\0x", 4)}};
  BinaryWriter w;
  encode_request(w, HistoryReadRequest{.header = {},
                                       .start_time = 2000,
                                       .end_time = 1000,
                                       .values_per_node = 50,
                                       .timestamps = 2,
                                       .release_continuation_points = true,
                                       .nodes = nodes});
  BinaryReader r = request_body(w.data());
  const ExtensionObject details = decode_extension_object(r);
  EXPECT_EQ(details.type_id, NodeId::numeric_id(0, 649));
  BinaryReader d(details.body);
  EXPECT_FALSE(d.boolean());  // raw, not modified
  EXPECT_EQ(d.i64(), 2000);
  EXPECT_EQ(d.i64(), 1000);
  EXPECT_EQ(d.u32(), 50u);
  EXPECT_FALSE(d.boolean());  // no bounds
  EXPECT_EQ(d.remaining(), 0u);
  EXPECT_EQ(r.i32(), 2);
  EXPECT_TRUE(r.boolean());
  ASSERT_EQ(r.i32(), 2);
  EXPECT_EQ(decode_node_id(r), NodeId::string_id(2, "History.1"));
  EXPECT_EQ(r.i32(), -1);  // index range
  EXPECT_EQ(decode_qualified_name(r), QualifiedName{});
  EXPECT_EQ(r.i32(), -1);  // no point yet: a null ByteString
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(3, 7));
  r.skip_string();
  decode_qualified_name(r);
  EXPECT_EQ(r.string(), std::string("cp\0x", 4));
  EXPECT_EQ(r.remaining(), 0u);
}

void write_history_data(BinaryWriter& w, const std::vector<DataValue>& values) {
  BinaryWriter body;
  body.i32(static_cast<std::int32_t>(values.size()));
  for (const DataValue& v : values) encode_data_value(body, v);
  encode_extension_object(w, {.type_id = NodeId::numeric_id(0, 658), .body = body.take()});
}

std::vector<std::uint8_t> response(const std::function<void(BinaryWriter&)>& results) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, 667));
  write_response_header(w);
  results(w);
  w.i32(-1);  // no diagnostics
  return w.take();
}

TEST(HistoryReadResponseDecoding, ValuesPointsAndEmptyResultsAsAReadWouldTypeThem) {
  DataValue text;
  text.value = Variant(BuiltinType::String, false, std::string("text-7"));
  text.source_timestamp = 133'000'000'000'000'000;
  text.server_timestamp = 133'000'000'000'000'010;
  DataValue bad;
  bad.value = Variant(BuiltinType::Double, false, 1.5);
  bad.status = 0x808C0000;
  DataValue raw;
  raw.value = Variant(BuiltinType::Double, false, 2.25);
  raw.status = 0x00000400;  // the historian's Raw bit
  const auto body = response([&](BinaryWriter& w) {
    w.i32(3);
    w.u32(0);
    w.string("next");
    write_history_data(w, {text, bad, raw});
    w.u32(kBadNoContinuationPoints);
    w.i32(-1);
    encode_extension_object(w, {});  // no history data at all
    w.u32(kGoodNoData);
    w.i32(-1);
    write_history_data(w, {});
  });
  const auto decoded = decode_response(body);
  const auto& res = std::get<HistoryReadResponse>(decoded);
  ASSERT_EQ(res.results.size(), 3u);
  EXPECT_EQ(res.results[0].continuation_point, "next");
  ASSERT_EQ(res.results[0].values.size(), 3u);
  EXPECT_EQ(res.results[1].status, kBadNoContinuationPoints);
  EXPECT_TRUE(res.results[1].values.empty());
  EXPECT_TRUE(res.results[1].continuation_point.empty());
  EXPECT_EQ(res.results[2].status, kGoodNoData);

  // Typed exactly as a Read would type the same DataValues.
  const pyqar::Timestamp now{};
  for (std::size_t k = 0; k < 3; ++k) {
    const pyqar::ValueObject from_history = to_value_object(res.results[0].values[k], now);
    const pyqar::ValueObject direct = to_value_object(k == 0 ? text : (k == 1 ? bad : raw), now);
    EXPECT_EQ(from_history.value, direct.value) << k;
    EXPECT_EQ(from_history.status, direct.status) << k;
    EXPECT_EQ(from_history.source_timestamp, direct.source_timestamp) << k;
    EXPECT_EQ(from_history.server_timestamp, direct.server_timestamp) << k;
  }
  EXPECT_EQ(std::get<std::string>(to_value_object(res.results[0].values[0], now).value), "text-7");
}

TEST(HistoryReadResponseDecoding, RefusesHostileCountsLengthsAndTypes) {
  // A result count the message cannot hold.
  EXPECT_THROW(decode_response(response([](BinaryWriter& w) { w.i32(1'000'000); })), DecodeError);
  // A value count beyond what the body holds.
  EXPECT_THROW(decode_response(response([](BinaryWriter& w) {
                 w.i32(1);
                 w.u32(0);
                 w.i32(-1);
                 BinaryWriter body;
                 body.i32(500'000);
                 encode_extension_object(
                     w, {.type_id = NodeId::numeric_id(0, 658), .body = body.take()});
               })),
               DecodeError);
  // A body length that runs past the message.
  EXPECT_THROW(decode_response(response([](BinaryWriter& w) {
                 w.i32(1);
                 w.u32(0);
                 w.i32(-1);
                 encode_node_id(w, NodeId::numeric_id(0, 658));
                 w.u8(1);
                 w.i32(0x7FFFFFF0);
               })),
               DecodeError);
  // A body whose values end before its announced length.
  EXPECT_THROW(decode_response(response([](BinaryWriter& w) {
                 w.i32(1);
                 w.u32(0);
                 w.i32(-1);
                 BinaryWriter body;
                 body.i32(0);
                 body.u32(0xDEADBEEF);
                 encode_extension_object(
                     w, {.type_id = NodeId::numeric_id(0, 658), .body = body.take()});
               })),
               DecodeError);
  // Modified data (or anything else) where raw HistoryData was asked for.
  EXPECT_THROW(decode_response(response([](BinaryWriter& w) {
                 w.i32(1);
                 w.u32(0);
                 w.i32(-1);
                 BinaryWriter body;
                 body.i32(0);
                 encode_extension_object(
                     w, {.type_id = NodeId::numeric_id(0, 11227), .body = body.take()});
               })),
               DecodeError);
  // A continuation point far longer than any bookmark.
  EXPECT_THROW(decode_response(response([](BinaryWriter& w) {
                 w.i32(1);
                 w.u32(0);
                 w.string(std::string(100'000, 'x'));
                 encode_extension_object(w, {});
               })),
               DecodeError);
  // Truncated inside a result.
  auto truncated = response([](BinaryWriter& w) {
    w.i32(1);
    w.u32(0);
    w.string("cp");
    write_history_data(w, {DataValue{}});
  });
  truncated.resize(truncated.size() - 6);
  EXPECT_THROW(decode_response(truncated), DecodeError);
}

}  // namespace
