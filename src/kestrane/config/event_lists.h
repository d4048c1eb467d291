#pragma once
// The list values of the event settings ([Kestrane] opc_events, opc_event_fields,
// opc_event_types): comma-separated elements, an element holding a comma written in double
// quotes, and the checks of each element. Shared by the console's reader and the desktop's
// dialog. Stateless; any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane_config {

// The elements of `text`, each trimmed of spaces and tabs. An element that begins with a double
// quote runs to the next lone one, `""` inside it standing for one quote, and keeps its text as
// quoted. Blank text is no element at all. Throws std::invalid_argument naming the element (by
// its position, from 1) for an empty element, a quote never closed or text after a closing
// quote.
std::vector<std::string> split_list(std::string_view text);

// The elements as split_list reads them back: joined by ", ", quoted where they hold a comma or
// a double quote or begin or end with a space or tab.
std::string join_list(const std::vector<std::string>& elements);

// Why `path` is no browse path of qualified names (`Name` or `<namespace index>:Name`, joined
// by `/`), naming it, or nothing when it is one. A name holding a colon in namespace 0 is
// written `0:Name:Part`.
std::optional<std::string> browse_path_problem(std::string_view path);

// The elements of `text` as NodeId text (see pyqar::node_id_text_problem), or of browse paths.
// Throws std::invalid_argument with the first problem, naming the element.
std::vector<std::string> node_id_list(std::string_view text);
std::vector<std::string> browse_path_list(std::string_view text);

}  // namespace kestrane_config
