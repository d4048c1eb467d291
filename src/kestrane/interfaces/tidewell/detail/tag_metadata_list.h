#pragma once
// The rules update_tag_metadata follows on both drivers: which listing of a tag counts, what
// may be stored, and what counts as a change. Pure functions; safe from any thread.

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "tidewell/types.h"

namespace tidewell {

// The listed metadata as it will be stored: each tag once, in the order of its first listing,
// with what its last listing says; a NaN range limit unset (not known). Throws
// RequestRejected, naming the tag and the field, for what no driver stores as given: a NUL
// byte in a text, a time outside the range require_storable_time accepts.
std::vector<TagMetadata> storable_metadata(std::span<const TagMetadata> listed);

// What writing `written` (from storable_metadata) over `stored` (the rows found, by tag id)
// did: the listed tags without a row are unknown, the rest updated, and those whose content
// differs changed.
TagMetadataUpdate metadata_update(std::span<const TagMetadata> written,
                                  const std::unordered_map<std::int64_t, TagMetadata>& stored);

// The tags of `tag_ids` that `found` holds, in the order of their first listing, each once.
std::vector<TagMetadata> in_listed_order(std::span<const std::int64_t> tag_ids,
                                         std::unordered_map<std::int64_t, TagMetadata>& found);

}  // namespace tidewell
