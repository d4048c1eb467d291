#include "history_span.h"

#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>

#include "cycle_rows.h"

namespace quellin {

namespace {

// FNV-1a over the bytes, then a final mix so that nearby inputs spread over all 64 bits.
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t fnv(std::uint64_t hash, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= kFnvPrime;
  }
  return hash;
}

std::uint64_t fnv_u64(std::uint64_t hash, std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  return fnv(hash, bytes, sizeof bytes);
}

std::uint64_t finish(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The overflow bit (with the info type that announces it) says that the server's queue dropped
// values before this one, not what the value is: a row stored with it is the same change as
// the history value without it.
constexpr std::uint32_t kQueueBits = 0x00000480;

std::uint32_t as_compared(std::uint32_t status) { return status & ~kQueueBits; }

}  // namespace

RowFingerprint number_fingerprint(double value, std::uint32_t status) {
  // Every NaN is the same stored value.
  const std::uint64_t bits =
      value != value ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(value + 0.0);
  return finish(fnv_u64(fnv_u64(fnv_u64(kFnvOffset, 1), bits), as_compared(status)));
}

RowFingerprint text_fingerprint(std::string_view text, std::uint32_t status) {
  return finish(
      fnv_u64(fnv(fnv_u64(kFnvOffset, 2), text.data(), text.size()), as_compared(status)));
}

RowFingerprint value_fingerprint(const pyqar::Value& value, std::optional<std::uint32_t> status) {
  const std::uint32_t code = status.value_or(0);
  if (const auto* text = std::get_if<std::string>(&value)) return text_fingerprint(*text, code);
  return number_fingerprint(to_tsdb_value(value), code);
}

std::uint64_t history_batch_seq(const HistorySpan& span, std::int64_t upper_us) {
  std::uint64_t hash = fnv(kFnvOffset, span.tag.data(), span.tag.size());
  hash = fnv_u64(hash, static_cast<std::uint64_t>(span.low_us));
  hash = fnv_u64(hash, static_cast<std::uint64_t>(span.high_us));
  hash = fnv_u64(hash, static_cast<std::uint64_t>(upper_us));
  // write_batches keeps the number as a signed bigint: stay within its positive range.
  return finish(hash) >> 1;
}

}  // namespace quellin
