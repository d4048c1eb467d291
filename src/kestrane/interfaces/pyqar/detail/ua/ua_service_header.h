#pragma once
// The headers every service request and response opens with, as the client fills and reads
// them. Plain data; any thread.

#include <cstdint>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"

namespace pyqar::ua {

struct RequestHeader {
  NodeId authentication_token;
  std::int64_t timestamp = 0;
  std::uint32_t request_handle = 0;
  std::uint32_t timeout_hint_ms = 0;
};

struct ResponseHeader {
  std::int64_t timestamp = 0;
  std::uint32_t request_handle = 0;
  std::uint32_t service_result = 0;
};

// Written and read as every service does; defined with the core services' codec.
void encode_request_header(BinaryWriter& w, const RequestHeader& h);
ResponseHeader decode_response_header(BinaryReader& r);

}  // namespace pyqar::ua
