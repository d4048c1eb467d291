#include "registration_batch.h"

#include <algorithm>
#include <utility>

#include "journel/log.h"
#include "record_codec.h"
#include "tidewell/connection.h"

namespace tidewell {

namespace {

// A refused part at most this long is walked tag by tag rather than split again: short enough
// that the walk stays brief, long enough that splitting stops well before single tags.
constexpr std::size_t kWalkBelow = 500;

void merge(TagRegistrationResult& total, TagRegistrationResult&& part) {
  total.created += part.created;
  total.updated += part.updated;
  std::move(part.failed.begin(), part.failed.end(), std::back_inserter(total.failed));
  total.outcomes.insert(total.outcomes.end(), part.outcomes.begin(), part.outcomes.end());
  for (auto& [name, id] : part.tag_ids) total.tag_ids.insert_or_assign(name, id);
}

// Halves a refused part until the refusals are cornered: a list with a few bad tags costs a
// few set-based transactions per bad tag, not a walk of the whole list. The first half goes
// first, so the parts are registered in list order.
void register_refused(std::span<const TagRegistration> tags, const RegisterFunc& set_based,
                      const RegisterFunc& walk, TagRegistrationResult& total) {
  if (tags.size() <= kWalkBelow) {
    merge(total, walk(tags));
    return;
  }
  for (const auto half : {tags.first(tags.size() / 2), tags.subspan(tags.size() / 2)}) {
    try {
      merge(total, set_based(half));
    } catch (const RequestRejected&) {
      register_refused(half, set_based, walk, total);
    }
  }
}

}  // namespace

RegistrationBatch::RegistrationBatch(std::span<const TagRegistration> tags) {
  std::unordered_map<std::string_view, std::size_t> index;
  index.reserve(tags.size());
  entries_.reserve(tags.size());
  listing_entry_.reserve(tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const TagRegistration& tag = tags[i];
    require_no_nul(tag.tag_name, "tag name");
    // Every listing is encoded, not only the last of a name: the walk would refuse any of them.
    std::string description = description_to_json(tag.description);
    const auto [at, added] = index.try_emplace(tag.tag_name, entries_.size());
    listing_entry_.push_back(at->second);
    if (added) {
      entries_.push_back({tag.tag_name, std::move(description), static_cast<std::int64_t>(i)});
    } else {
      entries_[at->second].description = std::move(description);
    }
  }
}

TagRegistrationResult RegistrationBatch::result(
    const std::unordered_set<std::string_view>& created,
    std::unordered_map<std::string, std::int64_t> ids) const {
  // The ids are looked up by the listed names only, so equal sizes mean every name has one.
  if (ids.size() != entries_.size() || created.size() > entries_.size()) {
    throw RequestRejected("the tag table changed while the list was being registered");
  }
  TagRegistrationResult result;
  result.outcomes.reserve(listing_entry_.size());
  // A new name is created by its first listing; every other listing updates its name, as the
  // walk would: a stored name once per listing, a new name on every listing after its first.
  for (std::size_t i = 0; i < listing_entry_.size(); ++i) {
    const Entry& entry = entries_[listing_entry_[i]];
    const bool creates =
        static_cast<std::int64_t>(i) == entry.position && created.contains(entry.tag_name);
    result.outcomes.push_back(creates ? TagOutcome::created : TagOutcome::updated);
  }
  result.created = created.size();
  result.updated = listing_entry_.size() - created.size();
  result.tag_ids = std::move(ids);
  return result;
}

TagRegistrationResult register_with_fallback(std::span<const TagRegistration> tags,
                                             const RegisterFunc& set_based,
                                             const RegisterFunc& walk) {
  try {
    return set_based(tags);
  } catch (const RequestRejected& e) {
    journel::get_logger("tidewell")
        ->warn("{} tags could not be registered at once ({}); registering them in parts",
               tags.size(), e.what());
  }
  TagRegistrationResult total;
  register_refused(tags, set_based, walk, total);
  return total;
}

}  // namespace tidewell
