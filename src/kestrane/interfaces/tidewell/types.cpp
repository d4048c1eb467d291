#include "tidewell/types.h"

namespace tidewell {

std::string value(SourceStatus status) {
  return status == SourceStatus::ACTIVE ? "active" : "inactive";
}

std::string value(SourceProtocol protocol) {
  return protocol == SourceProtocol::OPC_UA ? "OPC_UA" : "OPC_DA";
}

}  // namespace tidewell
