#include "record_codec.h"
#include "tidewell/connection.h"

#include <nlohmann/json.hpp>

namespace tidewell {

std::string description_to_json(const Description& description) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, text] : description) {
    require_no_nul(key, "description key");
    require_no_nul(text, "description value");
    object[key] = text;
  }
  try {
    return object.dump();
  } catch (const nlohmann::json::exception& e) {
    throw RequestRejected(std::string("description is not valid UTF-8: ") + e.what());
  }
}

Description description_from_json(std::string_view json) {
  Description description;
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return description;
  for (const auto& [key, item] : object.items()) {
    description[key] = item.is_string() ? item.get<std::string>() : item.dump();
  }
  return description;
}

bool same_description(std::string_view stored_json, std::string_view listed_json) {
  if (stored_json == listed_json) return true;
  const auto stored = nlohmann::json::parse(stored_json, nullptr, false);
  const auto listed = nlohmann::json::parse(listed_json, nullptr, false);
  return !stored.is_discarded() && !listed.is_discarded() && stored == listed;
}

SourceStatus status_from_text(std::string_view text) {
  return text == value(SourceStatus::ACTIVE) ? SourceStatus::ACTIVE : SourceStatus::INACTIVE;
}

SourceProtocol protocol_from_text(std::string_view text) {
  return text == value(SourceProtocol::OPC_UA) ? SourceProtocol::OPC_UA : SourceProtocol::OPC_DA;
}

void require_no_nul(std::string_view text, std::string_view what) {
  if (text.find('\0') != std::string_view::npos) {
    throw RequestRejected(std::string(what) + " holds a NUL character, which cannot be stored");
  }
}

}  // namespace tidewell
