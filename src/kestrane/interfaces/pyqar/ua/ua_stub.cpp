#include <stdexcept>

#include "pyqar/rt_source.h"

namespace pyqar {

std::unique_ptr<RtSource> make_ua_source(const std::string& schema, int) {
  throw std::runtime_error("OPC UA is not available in this build: " + schema);
}

std::vector<qar_source_desc_t> discover_ua(const std::string&, int) { return {}; }

}  // namespace pyqar
