#include "tag_metadata_list.h"

#include <cmath>
#include <string>

#include "queries.h"
#include "tidewell/connection.h"

namespace tidewell {

namespace {

void require_no_nul(const std::optional<std::string>& text, std::int64_t tag_id,
                    const char* field) {
  if (text && text->find('\0') != std::string::npos) {
    throw RequestRejected("Metadata of tag " + std::to_string(tag_id) + ": " + field +
                          " holds a NUL byte, which the database cannot store");
  }
}

void drop_nan(std::optional<double>& value) {
  if (value && std::isnan(*value)) value.reset();
}

}  // namespace

std::vector<TagMetadata> storable_metadata(std::span<const TagMetadata> listed) {
  std::vector<TagMetadata> out;
  out.reserve(listed.size());
  std::unordered_map<std::int64_t, std::size_t> position;
  position.reserve(listed.size());
  for (const TagMetadata& item : listed) {
    require_no_nul(item.data_type, item.tag_id, "data_type");
    require_no_nul(item.unit, item.tag_id, "unit");
    require_no_nul(item.server_description, item.tag_id, "server_description");
    require_no_nul(item.enum_names, item.tag_id, "enum_names");
    if (item.metadata_time_us) {
      require_storable_time(*item.metadata_time_us,
                            "Metadata time of tag " + std::to_string(item.tag_id));
    }
    const auto [at, inserted] = position.emplace(item.tag_id, out.size());
    if (inserted) {
      out.push_back(item);
    } else {
      out[at->second] = item;
    }
    drop_nan(out[at->second].eu_low);
    drop_nan(out[at->second].eu_high);
  }
  return out;
}

TagMetadataUpdate metadata_update(std::span<const TagMetadata> written,
                                  const std::unordered_map<std::int64_t, TagMetadata>& stored) {
  TagMetadataUpdate update;
  for (const TagMetadata& after : written) {
    const auto found = stored.find(after.tag_id);
    if (found == stored.end()) {
      update.unknown_tags.push_back(after.tag_id);
      continue;
    }
    ++update.updated;
    if (!found->second.same_content(after)) update.changed.push_back({found->second, after});
  }
  return update;
}

std::vector<TagMetadata> in_listed_order(std::span<const std::int64_t> tag_ids,
                                         std::unordered_map<std::int64_t, TagMetadata>& found) {
  std::vector<TagMetadata> out;
  out.reserve(found.size());
  for (const std::int64_t id : tag_ids) {
    const auto it = found.find(id);
    if (it == found.end()) continue;
    out.push_back(std::move(it->second));
    found.erase(it);
  }
  return out;
}

}  // namespace tidewell
