#pragma once
// How a decoded Variant is written out as the library's Value: numbers and Booleans typed,
// every other type as text (arrays, matrices and structures as JSON). Texts are made safe to
// store (invalid UTF-8 and NUL become U+FFFD) and cut at QAR_MAX_VALUE_TEXT_BYTES. Pure
// functions; any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "pyqar/qar_types.h"
#include "ua_codec.h"

namespace pyqar::ua {

class StructureDecoder;

struct RenderedValue {
  Value value;
  bool cut = false;  // text left out: the value's own or what the decoder did not keep
  // Why a structure the decoder knows was written as type id and body instead (the first
  // one met); empty when none was.
  std::string structure_refusal;
};

// The server's namespace table, index by index, to write NodeIds with their namespace URI.
using Namespaces = std::span<const std::string>;

// NodeIds (values and the type ids of structures) are written "nsu=<uri>;..." when
// `namespaces` names their namespace, else "ns=<index>;...".
// With `structures`, structures whose encoding it knows are written by field name; one whose
// body does not decode as its definition says is written as type id and body, and why is kept
// in structure_refusal.
RenderedValue render_variant(const Variant& v, Namespaces namespaces = {},
                             std::size_t max_text = QAR_MAX_VALUE_TEXT_BYTES,
                             const StructureDecoder* structures = nullptr);

// `text` with every invalid UTF-8 sequence and every NUL replaced by U+FFFD.
std::string safe_text(std::string_view text);

// A DateTime as ISO 8601 UTC ending in Z, with as many fraction digits as its 100 ns ticks
// need ("2025-06-07T08:09:10.123Z"). Ticks before 1601 read as 1601-01-01, beyond the year
// 9999 as its last tick, the way the protocol defines its minimum and maximum.
std::string date_time_text(std::int64_t ticks);

// A DateTime as a point on the system clock; absent for 0 ("no time"), earlier, and any time
// the clock cannot hold.
std::optional<Timestamp> date_time_point(std::int64_t ticks);

}  // namespace pyqar::ua
