#include "binary_reader.h"

#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "ua_limits.h"

namespace pyqar::ua {

void BinaryReader::need(std::size_t n) const {
  if (n > remaining()) {
    throw DecodeError(fmt::format("message truncated: {} bytes needed at offset {}, {} left", n,
                                  pos_, remaining()));
  }
}

std::span<const std::uint8_t> BinaryReader::bytes(std::size_t n) {
  need(n);
  auto out = data_.subspan(pos_, n);
  pos_ += n;
  return out;
}

std::uint8_t BinaryReader::u8() {
  need(1);
  return data_[pos_++];
}

std::uint16_t BinaryReader::u16() {
  auto b = bytes(2);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t BinaryReader::u32() {
  auto b = bytes(4);
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::uint64_t BinaryReader::u64() {
  std::uint64_t low = u32();
  std::uint64_t high = u32();
  return low | (high << 32);
}

float BinaryReader::f32() { return std::bit_cast<float>(u32()); }

double BinaryReader::f64() { return std::bit_cast<double>(u64()); }

std::int32_t BinaryReader::checked_length(const char* what) {
  const std::int32_t length = i32();
  if (length < -1) {
    throw DecodeError(fmt::format("negative {} length {} at offset {}", what, length, pos_ - 4));
  }
  if (length > kMaxStringLength) {
    throw DecodeError(
        fmt::format("{} of {} bytes exceeds the limit of {}", what, length, kMaxStringLength));
  }
  return length;
}

std::string BinaryReader::string() {
  const std::int32_t length = checked_length("string");
  if (length <= 0) return {};
  auto b = bytes(static_cast<std::size_t>(length));
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

std::vector<std::uint8_t> BinaryReader::byte_string(std::size_t max_length) {
  const std::int32_t length = checked_length("byte string");
  if (length <= 0) return {};
  if (static_cast<std::size_t>(length) > max_length) {
    throw DecodeError(
        fmt::format("byte string of {} bytes exceeds the limit of {}", length, max_length));
  }
  auto b = bytes(static_cast<std::size_t>(length));
  return {b.begin(), b.end()};
}

std::string BinaryReader::string_prefix(std::size_t keep, bool& cut) {
  const std::int32_t length = i32();
  if (length < -1) {
    throw DecodeError(fmt::format("negative string length {} at offset {}", length, pos_ - 4));
  }
  if (length <= 0) return {};
  auto b = bytes(static_cast<std::size_t>(length));  // checked against the message's end
  if (b.size() > keep) {
    cut = true;
    b = b.first(keep);
  }
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

void BinaryReader::skip_string() {
  const std::int32_t length = checked_length("string");
  if (length > 0) skip(static_cast<std::size_t>(length));
}

std::size_t BinaryReader::array_length(std::size_t min_element_size) {
  const std::int32_t length = i32();
  if (length < -1) {
    throw DecodeError(fmt::format("negative array length {} at offset {}", length, pos_ - 4));
  }
  if (length <= 0) return 0;
  if (length > kMaxArrayLength) {
    throw DecodeError(
        fmt::format("array of {} elements exceeds the limit of {}", length, kMaxArrayLength));
  }
  const auto count = static_cast<std::size_t>(length);
  if (min_element_size > 0 && count > remaining() / min_element_size) {
    throw DecodeError(
        fmt::format("array of {} elements cannot fit in the {} bytes left", count, remaining()));
  }
  return count;
}

BinaryReader::DepthGuard::DepthGuard(BinaryReader& reader) : reader_(reader) {
  if (reader_.depth_ >= kMaxNestingDepth) {
    throw DecodeError(fmt::format("nesting deeper than {} levels", kMaxNestingDepth));
  }
  ++reader_.depth_;
}

}  // namespace pyqar::ua
