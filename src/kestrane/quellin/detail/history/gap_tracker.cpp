#include "gap_tracker.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace quellin {

GapTracker::GapTracker(bool polling, std::int64_t initial_us)
    : polling_(polling), initial_us_(initial_us) {}

void GapTracker::add_to_edge(std::vector<RowFingerprint>& edge, RowFingerprint fingerprint) const {
  if (polling_ && std::find(edge.begin(), edge.end(), fingerprint) != edge.end()) return;
  edge.push_back(fingerprint);
}

void GapTracker::saw(const std::string& tag, const pyqar::ValueObject& value,
                     std::int64_t row_time_us, bool after_gap) {
  TagState& state = tags_[tag];
  if (!value.source_timestamp) {
    if (!state.untimed_reported) {
      state.untimed_reported = true;
      untimed_.push_back(tag);
    }
    return;
  }
  const std::int64_t us =
      std::chrono::floor<std::chrono::microseconds>(value.source_timestamp->time_since_epoch())
          .count();
  const RowFingerprint fingerprint = value_fingerprint(value.value, value.status);

  if (!state.started) {
    state.started = true;
    state.awaiting_edge = true;
    state.first_us = us;
    state.first_edge = {fingerprint};
    edge_requests_.push_back({tag, row_time_us});
  } else if (state.awaiting_edge && us == state.first_us) {
    add_to_edge(state.first_edge, fingerprint);
  }

  if (state.has_last && us == state.last_us) {
    add_to_edge(state.last_edge, fingerprint);
    if (state.forming) add_to_edge(spans_[*state.forming].high_edge, fingerprint);
    return;
  }
  if (state.has_last && us < state.last_us) inside_.push_back({tag, us, fingerprint});
  if (state.has_last && (state.gap_open || after_gap) && us > state.last_us) {
    open_span(tag, state, state.last_us, state.last_edge, us, {fingerprint});
  } else {
    state.forming.reset();
  }
  state.gap_open = false;
  state.has_last = true;
  state.last_us = us;
  state.last_edge = {fingerprint};
}

void GapTracker::open_span(const std::string& tag, TagState& state, std::int64_t low_us,
                           std::vector<RowFingerprint> low_edge, std::int64_t high_us,
                           std::vector<RowFingerprint> high_edge) {
  HistorySpan span{.tag = tag,
                   .low_us = low_us,
                   .high_us = high_us,
                   .low_edge = std::move(low_edge),
                   .high_edge = std::move(high_edge),
                   .done_above_us = high_us + 1};
  state.forming = spans_.size();
  spans_.push_back(std::move(span));
}

void GapTracker::lost_all() {
  for (auto& [tag, state] : tags_) {
    if (state.has_last) state.gap_open = true;
  }
}

void GapTracker::edges_known(const std::vector<EdgeRequest>& asked,
                             const std::vector<StoredEdge>& edges) {
  std::unordered_map<std::string, const StoredEdge*> by_tag;
  for (const StoredEdge& edge : edges) by_tag.emplace(edge.tag, &edge);
  for (const EdgeRequest& request : asked) {
    const auto state_it = tags_.find(request.tag);
    if (state_it == tags_.end() || !state_it->second.awaiting_edge) continue;
    TagState& state = state_it->second;
    state.awaiting_edge = false;
    const auto found = by_tag.find(request.tag);
    if (found == by_tag.end()) {
      if (initial_us_ > 0) {
        open_span(request.tag, state, state.first_us - initial_us_, {}, state.first_us,
                  state.first_edge);
        state.forming.reset();
      }
      continue;
    }
    const StoredEdge& edge = *found->second;
    if (!edge.source_time_us) {
      if (!state.untimed_reported) {
        state.untimed_reported = true;
        untimed_.push_back(request.tag);
      }
      continue;
    }
    if (*edge.source_time_us >= state.first_us) continue;
    open_span(request.tag, state, *edge.source_time_us, edge.rows, state.first_us,
              state.first_edge);
    state.forming.reset();
  }
}

std::vector<HistorySpan> GapTracker::take_spans() {
  for (auto& [tag, state] : tags_) state.forming.reset();
  return std::exchange(spans_, {});
}

std::vector<GapTracker::EdgeRequest> GapTracker::take_edge_requests() {
  return std::exchange(edge_requests_, {});
}

std::vector<std::string> GapTracker::take_untimed() { return std::exchange(untimed_, {}); }

std::vector<GapTracker::StoredInside> GapTracker::take_inside() {
  return std::exchange(inside_, {});
}

}  // namespace quellin
