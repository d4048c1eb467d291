#include "pyqar/node_id_text.h"

#include <stdexcept>

#include "ua/node_id.h"

namespace pyqar {

std::optional<std::string> node_id_text_problem(std::string_view text) {
  try {
    if (ua::has_namespace_uri(text)) {
      ua::parse_uri_node_id(text);
    } else {
      ua::parse_node_id(text);
    }
  } catch (const std::invalid_argument& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

}  // namespace pyqar
