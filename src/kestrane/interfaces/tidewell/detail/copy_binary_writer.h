#pragma once
// CopyBinaryWriter: rows of (tag_id, value, quality) in the binary format of the server's
// COPY. Values travel as their IEEE bits, so NaN and infinities arrive unchanged, and text
// needs no escaping. One writer per stream; one thread at a time.

#include <cstdint>
#include <string>
#include <string_view>

namespace tidewell {

class CopyBinaryWriter {
 public:
  // Starts a stream: the signature and an empty header.
  CopyBinaryWriter();

  void add_row(std::int64_t tag_id, double value, std::string_view quality);
  // Ends the stream and returns it; the writer is empty afterwards.
  std::string finish();

 private:
  void put16(std::uint16_t v);
  void put32(std::uint32_t v);
  void put64(std::uint64_t v);

  std::string out_;
};

}  // namespace tidewell
