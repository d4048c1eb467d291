#include "pg_text_array.h"

#include <bit>
#include <stdexcept>

namespace tidewell {

namespace {

constexpr std::uint32_t kTextTypeOid = 25;
constexpr std::uint32_t kBigintTypeOid = 20;
constexpr std::uint32_t kIntegerTypeOid = 23;
constexpr std::uint32_t kDoubleTypeOid = 701;
constexpr std::uint32_t kMaxLength = 0x7fffffff;
constexpr std::uint32_t kNullLength = 0xffffffff;

void put32(std::string& out, std::uint32_t v) {
  const char bytes[] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                        static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(bytes, sizeof bytes);
}

void put64(std::string& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v >> 32));
  put32(out, static_cast<std::uint32_t>(v));
}

// The header of a one-dimensional array of `count` elements; an empty array has no dimension
// at all, as the server writes it.
std::string array_header(std::size_t count, bool has_null, std::uint32_t type_oid,
                         std::size_t element_bytes) {
  if (count > kMaxLength) throw std::length_error("too many elements for one array");
  std::string out;
  out.reserve(20 + element_bytes);
  put32(out, count == 0 ? 0 : 1);
  put32(out, has_null ? 1 : 0);
  put32(out, type_oid);
  if (count == 0) return out;
  put32(out, static_cast<std::uint32_t>(count));
  put32(out, 1);  // lower bound
  return out;
}

void put_text(std::string& out, std::string_view item) {
  if (item.size() > kMaxLength) throw std::length_error("text too long for one array element");
  put32(out, static_cast<std::uint32_t>(item.size()));
  out.append(item);
}

template <class T, class Put>
std::string fixed_width_array(std::span<const std::optional<T>> items, std::uint32_t type_oid,
                              Put put) {
  bool has_null = false;
  for (const auto& item : items) has_null = has_null || !item;
  std::string out = array_header(items.size(), has_null, type_oid, items.size() * (4 + sizeof(T)));
  for (const auto& item : items) {
    if (!item) {
      put32(out, kNullLength);
      continue;
    }
    put32(out, sizeof(T));
    put(out, *item);
  }
  return out;
}

}  // namespace

std::string binary_text_array(std::span<const std::string_view> items) {
  std::size_t bytes = 0;
  for (const auto item : items) bytes += 4 + item.size();
  std::string out = array_header(items.size(), false, kTextTypeOid, bytes);
  for (const auto item : items) put_text(out, item);
  return out;
}

std::string binary_text_array(std::span<const std::optional<std::string_view>> items) {
  std::size_t bytes = 0;
  bool has_null = false;
  for (const auto& item : items) {
    bytes += 4 + (item ? item->size() : 0);
    has_null = has_null || !item;
  }
  std::string out = array_header(items.size(), has_null, kTextTypeOid, bytes);
  for (const auto& item : items) {
    if (item) {
      put_text(out, *item);
    } else {
      put32(out, kNullLength);
    }
  }
  return out;
}

std::string binary_bigint_array(std::span<const std::optional<std::int64_t>> items) {
  return fixed_width_array(items, kBigintTypeOid, [](std::string& out, std::int64_t v) {
    put64(out, static_cast<std::uint64_t>(v));
  });
}

std::string binary_integer_array(std::span<const std::optional<std::int32_t>> items) {
  return fixed_width_array(items, kIntegerTypeOid, [](std::string& out, std::int32_t v) {
    put32(out, static_cast<std::uint32_t>(v));
  });
}

std::string binary_double_array(std::span<const std::optional<double>> items) {
  return fixed_width_array(items, kDoubleTypeOid, [](std::string& out, double v) {
    put64(out, std::bit_cast<std::uint64_t>(v));
  });
}

}  // namespace tidewell
