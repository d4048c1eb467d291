#include "ua_history_messages.h"

#include <fmt/format.h>

#include "ua_limits.h"

namespace pyqar::ua {
namespace {

// StatusCode + ByteString + an empty ExtensionObject (NodeId 2, encoding 1).
constexpr std::size_t kMinResultSize = 4 + 4 + 2 + 1;
// A continuation point is the server's bookmark: anything longer than this is not one.
constexpr std::size_t kMaxContinuationPointSize = 64 * 1024;

// The HistoryData body is decoded in place, so that its values count against the message's
// limits like any other, and must fill exactly the length the server announced.
std::vector<DataValue> decode_history_data(BinaryReader& r) {
  const NodeId type = decode_node_id(r);
  const std::uint8_t encoding = r.u8();
  if (encoding == 0x00) return {};
  if (encoding != 0x01) {
    throw DecodeError(
        fmt::format("HistoryRead result: history data in encoding 0x{:02x}, not binary", encoding));
  }
  const std::int32_t length = r.i32();
  if (length < 0 || static_cast<std::size_t>(length) > r.remaining()) {
    throw DecodeError(fmt::format("HistoryRead result: history data length {} with {} bytes left",
                                  length, r.remaining()));
  }
  if (type.kind != NodeId::Kind::Numeric || type.namespace_index != 0 ||
      type.numeric != type_id::HistoryData) {
    throw DecodeError(fmt::format("HistoryRead result: history data of type {}, not HistoryData",
                                  to_string(type)));
  }
  const std::size_t start = r.position();
  auto values = decode_array<DataValue>(r, 1, decode_data_value);
  if (r.position() - start != static_cast<std::size_t>(length)) {
    throw DecodeError(fmt::format("HistoryRead result: history data of {} bytes announced as {}",
                                  r.position() - start, length));
  }
  return values;
}

HistoryReadResult decode_result(BinaryReader& r) {
  HistoryReadResult result;
  result.status = r.u32();
  result.continuation_point = r.string();
  if (result.continuation_point.size() > kMaxContinuationPointSize) {
    throw DecodeError(fmt::format("HistoryRead result: continuation point of {} bytes",
                                  result.continuation_point.size()));
  }
  result.values = decode_history_data(r);
  return result;
}

}  // namespace

void encode_request(BinaryWriter& w, const HistoryReadRequest& req) {
  encode_node_id(w, NodeId::numeric_id(0, type_id::HistoryReadRequest));
  encode_request_header(w, req.header);
  BinaryWriter details;
  details.boolean(false);  // raw values, not modified ones
  details.i64(req.start_time);
  details.i64(req.end_time);
  details.u32(req.values_per_node);
  details.boolean(false);  // no bounding values
  encode_extension_object(w, {.type_id = NodeId::numeric_id(0, type_id::ReadRawModifiedDetails),
                              .body = details.take()});
  w.i32(req.timestamps);
  w.boolean(req.release_continuation_points);
  w.i32(static_cast<std::int32_t>(req.nodes.size()));
  for (const HistoryNodeToRead& node : req.nodes) {
    encode_node_id(w, node.node);
    w.null_string();  // index range
    w.u16(0);         // data encoding: default
    w.null_string();
    w.byte_string({reinterpret_cast<const std::uint8_t*>(node.continuation_point.data()),
                   node.continuation_point.size()});
  }
}

HistoryReadResponse decode_history_read_response(const ResponseHeader& header, BinaryReader& r) {
  HistoryReadResponse res;
  res.header = header;
  res.results = decode_array<HistoryReadResult>(r, kMinResultSize, decode_result);
  skip_array(r, 1, skip_diagnostic_info);
  return res;
}

}  // namespace pyqar::ua
