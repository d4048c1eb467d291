#pragma once
// The check of NodeId text as a tag list or a setting writes it, for callers outside the OPC UA
// client that only need to know whether text will be taken. Stateless; any thread.

#include <optional>
#include <string>
#include <string_view>

namespace pyqar {

// Why `text` is no NodeId text, naming it ("invalid NodeId text 'x': expected i=, s=, g= or
// b="), or nothing when it is one: `i=`, `s=`, `g=` or `b=`, after an optional `ns=<index>;`,
// or after `nsu=<uri>;` with `;` and `%` in the URI written %3B and %25.
std::optional<std::string> node_id_text_problem(std::string_view text);

}  // namespace pyqar
