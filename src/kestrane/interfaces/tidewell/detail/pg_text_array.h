#pragma once
// Array values in the server's binary wire format, so that a list travels as one bound
// parameter with no quoting, escaping or number formatting at all. Pure functions; safe from
// any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tidewell {

// The caller keeps NUL bytes out; the server checks the encoding of each element.
std::string binary_text_array(std::span<const std::string_view> items);

// Arrays whose unset elements are NULL: text[], bigint[], integer[], double precision[].
std::string binary_text_array(std::span<const std::optional<std::string_view>> items);
std::string binary_bigint_array(std::span<const std::optional<std::int64_t>> items);
std::string binary_integer_array(std::span<const std::optional<std::int32_t>> items);
std::string binary_double_array(std::span<const std::optional<double>> items);

}  // namespace tidewell
