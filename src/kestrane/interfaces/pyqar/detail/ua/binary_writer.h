#pragma once
// BinaryWriter: appends OPC UA binary encodings (little-endian) to a growing buffer.
// Owns its buffer; used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace pyqar::ua {

class BinaryWriter {
 public:
  BinaryWriter() = default;

  void u8(std::uint8_t v) { buffer_.push_back(v); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void u16(std::uint16_t v);
  void i16(std::int16_t v) { u16(static_cast<std::uint16_t>(v)); }
  void u32(std::uint32_t v);
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void u64(std::uint64_t v);
  void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
  void f32(float v);
  void f64(double v);
  void string(std::string_view s);
  // A null String or ByteString (length -1).
  void null_string() { i32(-1); }
  void bytes(std::span<const std::uint8_t> b);
  // A ByteString: length and bytes, null when empty.
  void byte_string(std::span<const std::uint8_t> b);
  // Appends `n` bytes of value `v`.
  void fill(std::size_t n, std::uint8_t v) { buffer_.insert(buffer_.end(), n, v); }
  // Overwrites a UInt32 written earlier (message sizes known only at the end).
  void patch_u32(std::size_t offset, std::uint32_t v);

  std::size_t size() const { return buffer_.size(); }
  const std::vector<std::uint8_t>& data() const { return buffer_; }
  // For encrypting in place what was written.
  std::span<std::uint8_t> writable() { return buffer_; }
  std::vector<std::uint8_t> take() { return std::move(buffer_); }
  void reserve(std::size_t n) { buffer_.reserve(n); }

 private:
  std::vector<std::uint8_t> buffer_;
};

}  // namespace pyqar::ua
