#pragma once
// A text[] value in the server's binary wire format, so that a list of names travels as one
// bound parameter with no quoting or escaping at all. Pure function; safe from any thread.

#include <span>
#include <string>
#include <string_view>

namespace tidewell {

// The caller keeps NUL bytes out; the server checks the encoding of each element.
std::string binary_text_array(std::span<const std::string_view> items);

}  // namespace tidewell
