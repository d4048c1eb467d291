#pragma once
// How a DataValue read from a server becomes the library's ValueObject: the value written out
// as value_text.h says, the full status code, the quality word from the status severity
// alone, the source and server timestamps when the server gave them (and the clock can hold
// them), and the timestamp: the source time, else the server time, else `now`. Pure
// function; any thread.

#include <span>
#include <string>

#include "pyqar/qar_types.h"
#include "ua_codec.h"
#include "value_text.h"

namespace pyqar::ua {

// `namespaces`: the server's namespace table, for NodeId values; `structures`: the
// definitions structures are written by (see render_variant). When a structure could not be
// written by its definition, `structure_refusal` (if given) is told why.
ValueObject to_value_object(const DataValue& value, Timestamp now,
                            std::span<const std::string> namespaces = {},
                            const StructureDecoder* structures = nullptr,
                            std::string* structure_refusal = nullptr);

}  // namespace pyqar::ua
