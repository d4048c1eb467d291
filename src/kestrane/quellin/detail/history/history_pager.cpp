#include "history_pager.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace quellin {

namespace {

// OPC UA times count 100 ns ticks: the last instant before a microsecond boundary.
constexpr std::chrono::nanoseconds kTick{100};

pyqar::Timestamp at_us(std::int64_t us) {
  return pyqar::Timestamp(
      std::chrono::duration_cast<pyqar::Timestamp::duration>(std::chrono::microseconds(us)));
}

std::int64_t floor_us(pyqar::Timestamp t) {
  return std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// Takes a stored row matching `fingerprint` out of `edge`; false when none is left.
bool take_edge(std::vector<RowFingerprint>& edge, RowFingerprint fingerprint) {
  const auto it = std::find(edge.begin(), edge.end(), fingerprint);
  if (it == edge.end()) return false;
  edge.erase(it);
  return true;
}

}  // namespace

HistoryPager::HistoryPager(HistorySpan span)
    : span_(std::move(span)), position_us_(span_.done_above_us) {}

std::pair<std::int64_t, std::int64_t> HistoryPager::range_us() const {
  const std::int64_t stretch = stretch_of(position_us_ - 1);
  const std::int64_t top = narrow_ ? position_us_ : (stretch + 1) * kStretchUs;
  return {top, stretch * kStretchUs};
}

pyqar::HistoryQuery HistoryPager::query(pyqar::TagDescriptor tag) const {
  const auto [top, bottom] = range_us();
  return {.tag = std::move(tag),
          .newest = std::chrono::time_point_cast<pyqar::Timestamp::duration>(at_us(top) - kTick),
          .oldest = at_us(bottom),
          .continuation_point = continuation_point_};
}

std::int64_t HistoryPager::stretch_of(std::int64_t time_us) {
  std::int64_t stretch = time_us / kStretchUs;
  if (time_us % kStretchUs < 0) --stretch;
  return stretch;
}

HistoryPager::State HistoryPager::take(pyqar::HistoryPage page, std::vector<Batch>& out) {
  const std::int64_t bottom = std::max(span_.low_us, range_us().second);
  const bool looped = !continuation_point_.empty() && page.values.empty() &&
                      page.continuation_point == continuation_point_;
  if (looped) {
    // Asking again would get the same answer. Go on below the oldest value received, by time;
    // without one there is no telling where the rest starts.
    abandoned_point_ = std::exchange(continuation_point_, {});
    if (held_.empty()) return State::loop;
    narrow_ = true;
    hand_out(held_.size(), std::max(bottom, held_.back().time_us), out);
    return position_us_ <= span_.low_us ? State::done : State::more;
  }
  continuation_point_ = std::move(page.continuation_point);
  for (pyqar::ValueObject& value : page.values) {
    const auto& time = value.source_timestamp ? value.source_timestamp : value.server_timestamp;
    if (!time) {
      ++untimed_;
      continue;
    }
    const std::int64_t us = floor_us(*time);
    // The query reaches over the whole stretch: what lies outside the span (or was handed out
    // already) is not this span's.
    if (us >= position_us_ || us < bottom) continue;
    held_.push_back({std::move(value), us});
  }
  if (continuation_point_.empty()) {
    // The stretch is complete.
    hand_out(held_.size(), bottom, out);
    narrow_ = false;
    return position_us_ <= span_.low_us ? State::done : State::more;
  }
  if (held_.size() > kMaxHeld) {
    hand_out(held_.size(), std::max(bottom, held_.back().time_us), out);
  }
  return State::more;
}

void HistoryPager::restart() {
  continuation_point_.clear();
  held_.clear();
}

void HistoryPager::hand_out(std::size_t end, std::int64_t lower_us, std::vector<Batch>& out) {
  std::size_t first = 0;
  while (first < end) {
    const std::int64_t stretch = stretch_of(held_[first].time_us);
    std::size_t last = first + 1;
    while (last < end && stretch_of(held_[last].time_us) == stretch) ++last;
    const std::int64_t batch_lower =
        last == end ? lower_us : std::max(lower_us, stretch * kStretchUs);
    out.push_back(make_batch(first, last, position_us_, batch_lower));
    position_us_ = batch_lower;
    first = last;
  }
  position_us_ = std::min(position_us_, lower_us);
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(end));
}

HistoryPager::Batch HistoryPager::make_batch(std::size_t first, std::size_t last,
                                             std::int64_t upper_us, std::int64_t lower_us) {
  Batch batch;
  batch.seq = history_batch_seq(span_, upper_us);
  batch.done_above_us = lower_us;
  std::vector<RowFingerprint> low_edge = span_.low_edge;
  std::vector<RowFingerprint> high_edge = span_.high_edge;
  auto inside = span_.inside;
  batch.values.reserve(last - first);
  batch.time_us.reserve(last - first);
  for (std::size_t i = last; i-- > first;) {
    Held& held = held_[i];
    const bool at_edge = held.time_us == span_.low_us || held.time_us == span_.high_us;
    // Most values are neither at an end nor beside a row stored inside: no fingerprint needed.
    if (at_edge || !inside.empty()) {
      const RowFingerprint fingerprint = value_fingerprint(held.value.value, held.value.status);
      if (at_edge) {
        auto& edge = held.time_us == span_.low_us ? low_edge : high_edge;
        if (take_edge(edge, fingerprint)) continue;
      }
      const auto stored =
          std::find(inside.begin(), inside.end(), std::pair{held.time_us, fingerprint});
      if (stored != inside.end()) {
        inside.erase(stored);
        continue;
      }
    }
    batch.values.push_back(std::move(held.value));
    batch.time_us.push_back(held.time_us);
  }
  return batch;
}

}  // namespace quellin
