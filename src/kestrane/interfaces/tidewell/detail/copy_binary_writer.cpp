#include "copy_binary_writer.h"

#include <bit>
#include <stdexcept>

namespace tidewell {

namespace {

constexpr char kSignature[] = "PGCOPY\n\377\r\n";  // 11 bytes with its NUL
constexpr std::uint16_t kFieldsPerRow = 3;
constexpr std::uint16_t kEndOfData = 0xffff;

}  // namespace

CopyBinaryWriter::CopyBinaryWriter() {
  out_.append(kSignature, sizeof kSignature);
  put32(0);  // flags
  put32(0);  // header extension length
}

void CopyBinaryWriter::add_row(std::int64_t tag_id, double value, std::string_view quality) {
  if (quality.size() > 0x7fffffff) throw std::length_error("quality text too long for COPY");
  put16(kFieldsPerRow);
  put32(8);
  put64(static_cast<std::uint64_t>(tag_id));
  put32(8);
  put64(std::bit_cast<std::uint64_t>(value));
  put32(static_cast<std::uint32_t>(quality.size()));
  out_.append(quality);
}

std::string CopyBinaryWriter::finish() {
  put16(kEndOfData);
  std::string done = std::move(out_);
  out_.clear();
  return done;
}

// Network byte order, whatever the host's.
void CopyBinaryWriter::put16(std::uint16_t v) {
  const char bytes[] = {static_cast<char>(v >> 8), static_cast<char>(v)};
  out_.append(bytes, sizeof bytes);
}

void CopyBinaryWriter::put32(std::uint32_t v) {
  const char bytes[] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                        static_cast<char>(v >> 8), static_cast<char>(v)};
  out_.append(bytes, sizeof bytes);
}

void CopyBinaryWriter::put64(std::uint64_t v) {
  put32(static_cast<std::uint32_t>(v >> 32));
  put32(static_cast<std::uint32_t>(v));
}

}  // namespace tidewell
