#include "condition_ledger.h"

#include <unordered_set>
#include <utility>

namespace quellin {

void ConditionLedger::use_source(std::int64_t source_id) {
  if (source_id == source_id_) return;
  latest_.clear();
  source_id_ = source_id;
}

void ConditionLedger::clear() {
  latest_.clear();
  source_id_ = 0;
}

std::vector<tidewell::EventRow> ConditionLedger::filter(std::int64_t source_id,
                                                        std::vector<tidewell::EventRow> events,
                                                        const LoadFunc& load) {
  use_source(source_id);
  std::vector<std::string> unknown;
  std::unordered_set<std::string_view> asked;
  for (const tidewell::EventRow& e : events) {
    if (!e.refresh || !e.condition_id || latest_.contains(*e.condition_id)) continue;
    if (asked.insert(*e.condition_id).second) unknown.push_back(*e.condition_id);
  }
  if (!unknown.empty()) {
    const std::vector<tidewell::ConditionEvent> stored = load(source_id, unknown);
    // A condition without stored events is known too: its first state is stored.
    for (const std::string& id : unknown) latest_.try_emplace(id);
    for (const tidewell::ConditionEvent& c : stored) latest_[c.condition_id] = c.event_id;
  }
  // Within the batch a condition's latest is the one before it in the list; the ledger
  // itself changes only once the batch is stored.
  std::unordered_map<std::string_view, std::string_view> in_batch;
  std::vector<tidewell::EventRow> kept;
  kept.reserve(events.size());
  for (tidewell::EventRow& e : events) {
    if (e.condition_id) {
      const auto before = in_batch.find(*e.condition_id);
      std::string_view last;
      if (before != in_batch.end()) {
        last = before->second;
      } else if (const auto known = latest_.find(*e.condition_id); known != latest_.end()) {
        last = known->second;
      }
      if (e.refresh && !e.event_id.empty() && e.event_id == last) continue;
    }
    kept.push_back(std::move(e));
    if (kept.back().condition_id) in_batch[*kept.back().condition_id] = kept.back().event_id;
  }
  return kept;
}

void ConditionLedger::record(std::int64_t source_id, std::span<const tidewell::EventRow> stored) {
  use_source(source_id);
  for (const tidewell::EventRow& e : stored) {
    if (e.condition_id) latest_[*e.condition_id] = e.event_id;
  }
}

}  // namespace quellin
