#include "Kestrane/eventsinbox.h"

#include <algorithm>
#include <iterator>

EventsInbox::EventsInbox(std::size_t capacity) : capacity_(capacity) {}

void EventsInbox::push(const std::vector<pyqar::EventRecord>& events) {
  if (events.empty()) return;
  // Copied before the lock: the GUI thread never waits for a large batch to be copied.
  const std::size_t kept = std::min(events.size(), capacity_);
  std::deque<pyqar::EventRecord> batch(events.end() - static_cast<std::ptrdiff_t>(kept),
                                       events.end());
  const std::lock_guard<std::mutex> lock(mutex_);
  dropped_ += events.size() - kept;
  const std::size_t overflow = std::max(pending_.size() + kept, capacity_) - capacity_;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(overflow));
  dropped_ += overflow;
  pending_.insert(pending_.end(), std::make_move_iterator(batch.begin()),
                  std::make_move_iterator(batch.end()));
}

std::vector<pyqar::EventRecord> EventsInbox::take_all() {
  std::deque<pyqar::EventRecord> taken;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(pending_);
  }
  return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

std::uint64_t EventsInbox::dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}
