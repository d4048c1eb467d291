#pragma once
// BinaryReader: the one bounded cursor every OPC UA decoder reads through. Each read is
// checked against the end of the buffer and the limits in ua_limits.h before it happens.
// Borrows the buffer; one decoding at a time, on the caller's thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ua_limits.h"

namespace pyqar::ua {

// A message that cannot be decoded: truncated, oversized, or malformed.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class BinaryReader {
 public:
  explicit BinaryReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }

  std::uint8_t u8();
  bool boolean() { return u8() != 0; }
  std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
  std::uint16_t u16();
  std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
  std::uint32_t u32();
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  std::uint64_t u64();
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  float f32();
  double f64();
  // String and ByteString: Int32 length (-1 for null, read as empty) and the bytes.
  std::string string();
  void skip_string();
  // A String or ByteString inside a value: any length the message holds, of which the first
  // `keep` bytes are kept; `cut` is set when more followed. The copy never exceeds `keep`, so
  // a long text costs no more memory than a short one.
  std::string string_prefix(std::size_t keep, bool& cut);
  // A ByteString as bytes; refused when longer than `max_length`.
  std::vector<std::uint8_t> byte_string(std::size_t max_length);
  // An array's Int32 length (-1 for null, read as 0). Each element takes at least
  // `min_element_size` bytes, so a count the rest of the message cannot hold is refused here,
  // before anyone allocates for it.
  std::size_t array_length(std::size_t min_element_size = 1);
  std::span<const std::uint8_t> bytes(std::size_t n);
  void skip(std::size_t n) { (void)bytes(n); }

  // Counts one more array element kept from the message; false once the message has had
  // kMaxKeptElements kept, after which decoders skip elements instead of storing them.
  bool keep_element() {
    if (kept_elements_ >= kMaxKeptElements) return false;
    ++kept_elements_;
    return true;
  }

  // Held while decoding a nested structure; throws when nesting goes too deep.
  class DepthGuard {
   public:
    explicit DepthGuard(BinaryReader& reader);
    ~DepthGuard() { --reader_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    BinaryReader& reader_;
  };

 private:
  std::int32_t checked_length(const char* what);
  void need(std::size_t n) const;

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::size_t kept_elements_ = 0;
};

}  // namespace pyqar::ua
