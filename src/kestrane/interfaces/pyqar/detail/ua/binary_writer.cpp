#include "binary_writer.h"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace pyqar::ua {

void BinaryWriter::u16(std::uint16_t v) {
  buffer_.push_back(static_cast<std::uint8_t>(v));
  buffer_.push_back(static_cast<std::uint8_t>(v >> 8));
}

void BinaryWriter::u32(std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    buffer_.push_back(static_cast<std::uint8_t>(v >> shift));
}

void BinaryWriter::u64(std::uint64_t v) {
  u32(static_cast<std::uint32_t>(v));
  u32(static_cast<std::uint32_t>(v >> 32));
}

void BinaryWriter::f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }

void BinaryWriter::f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }

void BinaryWriter::string(std::string_view s) {
  i32(static_cast<std::int32_t>(s.size()));
  bytes({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}

void BinaryWriter::bytes(std::span<const std::uint8_t> b) {
  if (b.empty()) return;
  // resize + memcpy rather than insert: g++ 12 at -O2 warns wrongly about insert here.
  const std::size_t at = buffer_.size();
  buffer_.resize(at + b.size());
  std::memcpy(buffer_.data() + at, b.data(), b.size());
}

void BinaryWriter::patch_u32(std::size_t offset, std::uint32_t v) {
  if (offset + 4 > buffer_.size()) throw std::out_of_range("patch_u32 past the end");
  for (int i = 0; i < 4; ++i) buffer_[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void BinaryWriter::byte_string(std::span<const std::uint8_t> b) {
  if (b.empty()) {
    null_string();
    return;
  }
  i32(static_cast<std::int32_t>(b.size()));
  bytes(b);
}

}  // namespace pyqar::ua
