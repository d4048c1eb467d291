#include "tidewell/types.h"

namespace tidewell {

std::string value(SourceStatus status) {
  return status == SourceStatus::ACTIVE ? "active" : "inactive";
}

std::string value(SourceProtocol protocol) {
  return protocol == SourceProtocol::OPC_UA ? "OPC_UA" : "OPC_DA";
}

bool TagMetadata::same_content(const TagMetadata& other) const {
  return tag_id == other.tag_id && data_type == other.data_type && unit == other.unit &&
         unit_id == other.unit_id && eu_low == other.eu_low && eu_high == other.eu_high &&
         access_level == other.access_level && server_description == other.server_description &&
         enum_names == other.enum_names;
}

}  // namespace tidewell
