#pragma once
// The HistoryRead service for raw values: its request (ReadRawModifiedDetails inside) and
// response, with the binary encoder and the decoder that decode_response hands the response
// body to. Plain data and free functions; any thread.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"
#include "ua_codec.h"
#include "ua_service_header.h"

namespace pyqar::ua {

// DefaultBinary encoding ids (namespace 0).
namespace type_id {
inline constexpr std::uint32_t ReadRawModifiedDetails = 649;
inline constexpr std::uint32_t HistoryData = 658;
inline constexpr std::uint32_t HistoryReadRequest = 664;
inline constexpr std::uint32_t HistoryReadResponse = 667;
}  // namespace type_id

// TimestampsToReturn.
inline constexpr std::int32_t kTimestampsSource = 0;

// One node of a HistoryRead; an empty continuation point starts the read.
struct HistoryNodeToRead {
  NodeId node;
  std::string continuation_point;
};

// Raw values (never modified ones, never bounds) between two DateTimes (ticks): newest first
// when `end_time` is older than `start_time`.
struct HistoryReadRequest {
  RequestHeader header;
  std::int64_t start_time = 0;
  std::int64_t end_time = 0;
  std::uint32_t values_per_node = 0;  // 0: as many as the server gives
  std::int32_t timestamps = 2;        // Both
  bool release_continuation_points = false;
  std::span<const HistoryNodeToRead> nodes;
};

struct HistoryReadResult {
  std::uint32_t status = 0;
  std::string continuation_point;  // empty when the read is complete
  std::vector<DataValue> values;
};

struct HistoryReadResponse {
  ResponseHeader header;
  std::vector<HistoryReadResult> results;
};

// Writes the type id and then the request.
void encode_request(BinaryWriter& w, const HistoryReadRequest& req);
// The body after the response header. Throws DecodeError for a malformed body, a count the
// message cannot hold, or history data of another kind than HistoryData.
HistoryReadResponse decode_history_read_response(const ResponseHeader& header, BinaryReader& r);

}  // namespace pyqar::ua
