#pragma once
// RegistrationBatch: a tag list for register_tags reduced to one entry per name, as a walk of
// the list in order would leave each tag (the first listing's position, the last listing's
// description), and the arithmetic that turns the set-based statements' answer into the
// walk's counts. Made by a driver for one call; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tidewell/types.h"

namespace tidewell {

class RegistrationBatch {
 public:
  struct Entry {
    std::string_view tag_name;  // into the caller's list, which outlives the batch
    std::string description;    // stored JSON text, as the per-tag statements store it
    std::int64_t position;      // of the name's first listing, so new ids follow the list
  };

  // Throws RequestRejected when any listing can never be stored (a NUL byte, a description
  // that is not UTF-8), before anything reaches the database.
  explicit RegistrationBatch(std::span<const TagRegistration> tags);

  // Distinct names, in the order of their first listing.
  const std::vector<Entry>& entries() const { return entries_; }

  // The walk's result, given the names the statements inserted and the stored id of every
  // listed name. A name with no id (removed, or created, meanwhile by another connection)
  // throws RequestRejected, so that the caller falls back to the walk.
  TagRegistrationResult result(const std::unordered_set<std::string_view>& created,
                               std::unordered_map<std::string, std::int64_t> ids) const;

 private:
  std::vector<std::size_t> listing_entry_;  // per listing, its name's index in entries_
  std::vector<Entry> entries_;
};

using RegisterFunc = std::function<TagRegistrationResult(std::span<const TagRegistration>)>;

// Registers `tags` with `set_based`. When the database refuses the list, registers it again in
// ever smaller parts, and walks each refused short part tag by tag with `walk`, so that every
// listing the database cannot take becomes one failure and the rest still register. Parts
// follow the list order, so counts and stored rows are those of one walk of the whole list.
// `set_based` must leave nothing behind when it throws.
TagRegistrationResult register_with_fallback(std::span<const TagRegistration> tags,
                                             const RegisterFunc& set_based,
                                             const RegisterFunc& walk);

}  // namespace tidewell
