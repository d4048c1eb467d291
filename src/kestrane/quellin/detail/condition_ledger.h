#pragma once
// ConditionLedger: the EventId each condition of one source stored last, so that a condition
// state the server sends again on a refresh (after a start, a reconnect, a new subscription) is
// not stored a second time, while a state that changed meanwhile is. What it does not know yet
// it reads from the database, once per condition, for all of a batch's conditions at a time.
// Owned by the BatchStore; one thread at a time.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "tidewell/types.h"

namespace quellin {

class ConditionLedger {
 public:
  // The latest stored event of each listed condition of the source (none for a condition
  // without stored events); may throw what the database throws.
  using LoadFunc = std::function<std::vector<tidewell::ConditionEvent>(
      std::int64_t source_id, std::span<const std::string> condition_ids)>;

  // The events of `events` worth storing for the source `source_id`, in their order: a
  // refreshed condition state whose EventId is the one stored last for its condition (or
  // earlier in this list) is left out; everything else stays. Asks `load` once for the
  // refreshed conditions it does not know yet. Remembers nothing: record() does, once stored.
  std::vector<tidewell::EventRow> filter(std::int64_t source_id,
                                         std::vector<tidewell::EventRow> events,
                                         const LoadFunc& load);
  // The events were stored for the source `source_id`: each condition's is its latest now.
  void record(std::int64_t source_id, std::span<const tidewell::EventRow> stored);
  // Forgets everything (another database may answer now).
  void clear();

 private:
  // Switching to another source forgets the last one's conditions.
  void use_source(std::int64_t source_id);

  std::int64_t source_id_ = 0;
  // By condition id: the EventId stored last, or empty when the database has none.
  std::unordered_map<std::string, std::string> latest_;
};

}  // namespace quellin
