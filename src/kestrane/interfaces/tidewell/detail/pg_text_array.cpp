#include "pg_text_array.h"

#include <cstdint>
#include <stdexcept>

namespace tidewell {

namespace {

constexpr std::uint32_t kTextTypeOid = 25;
constexpr std::uint32_t kMaxLength = 0x7fffffff;

void put32(std::string& out, std::uint32_t v) {
  const char bytes[] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                        static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(bytes, sizeof bytes);
}

}  // namespace

std::string binary_text_array(std::span<const std::string_view> items) {
  if (items.size() > kMaxLength) throw std::length_error("too many elements for one array");
  std::string out;
  std::size_t bytes = 20;
  for (const auto item : items) bytes += 4 + item.size();
  out.reserve(bytes);
  // An empty array has no dimension at all, as the server writes it.
  put32(out, items.empty() ? 0 : 1);
  put32(out, 0);  // no NULL elements
  put32(out, kTextTypeOid);
  if (items.empty()) return out;
  put32(out, static_cast<std::uint32_t>(items.size()));
  put32(out, 1);  // lower bound
  for (const auto item : items) {
    if (item.size() > kMaxLength) throw std::length_error("text too long for one array element");
    put32(out, static_cast<std::uint32_t>(item.size()));
    out.append(item);
  }
  return out;
}

}  // namespace tidewell
