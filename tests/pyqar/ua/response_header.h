#pragma once
// Test helper: encodes the ResponseHeader a server sends, as the client's decoder reads it.

#include <cstdint>

#include "ua/binary_writer.h"

namespace pyqar::ua::testing {

// A response header with the given service result and no diagnostics, strings or extension.
inline void write_response_header(BinaryWriter& w, std::uint32_t result = 0) {
  w.i64(0);       // timestamp
  w.u32(1);       // request handle
  w.u32(result);  // service result
  w.u8(0);        // diagnostic info: none
  w.i32(-1);      // string table: null
  w.u8(0);        // additional header: null NodeId (two-byte encoding)
  w.u8(0);
  w.u8(0);  // ... with no body
}

}  // namespace pyqar::ua::testing
