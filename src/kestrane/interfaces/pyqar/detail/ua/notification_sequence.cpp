#include "notification_sequence.h"

#include <utility>

namespace pyqar::ua {
namespace {

// The numbers form a cycle of this length (0 is left out).
constexpr std::uint64_t kCycle = 0xFFFFFFFFull;
// A number further ahead than this is taken as one from the past.
constexpr std::uint64_t kHalfCycle = kCycle / 2;

}  // namespace

std::uint32_t NotificationSequence::after(std::uint32_t number) {
  return number >= 0xFFFFFFFFu ? 1u : number + 1u;
}

std::uint32_t NotificationSequence::advance(std::uint32_t number, std::uint32_t steps) {
  const std::uint64_t zero_based = (static_cast<std::uint64_t>(number) - 1 + steps) % kCycle;
  return static_cast<std::uint32_t>(zero_based + 1);
}

std::uint64_t NotificationSequence::distance(std::uint32_t from, std::uint32_t to) {
  return (static_cast<std::uint64_t>(to) + kCycle - from) % kCycle;
}

bool NotificationSequence::ahead(std::uint32_t from, std::uint32_t to) {
  const std::uint64_t d = distance(from, to);
  return d > 0 && d < kHalfCycle;
}

std::vector<NotificationMessage> NotificationSequence::accept(NotificationMessage message) {
  const std::uint32_t number = message.sequence_number;
  if (number == 0) return {};  // never a valid number
  if (number == next_) {
    std::vector<NotificationMessage> ready;
    ready.push_back(std::move(message));
    next_ = after(next_);
    for (NotificationMessage& m : release()) ready.push_back(std::move(m));
    return ready;
  }
  if (ahead(next_, number)) held_.try_emplace(number, std::move(message));
  return {};
}

void NotificationSequence::keep_alive(std::uint32_t next_number) {
  if (next_number == 0 || !ahead(next_, next_number)) return;
  if (announced_ == 0 || ahead(announced_, next_number)) announced_ = next_number;
}

NotificationSequence::Gap NotificationSequence::gap() const {
  std::uint64_t nearest = 0;  // steps to the first held or announced number
  for (const auto& [number, message] : held_) {
    const std::uint64_t d = distance(next_, number);
    if (nearest == 0 || d < nearest) nearest = d;
  }
  if (announced_ != 0 && ahead(next_, announced_)) {
    const std::uint64_t d = distance(next_, announced_);
    if (nearest == 0 || d < nearest) nearest = d;
  }
  return Gap{next_, static_cast<std::uint32_t>(nearest)};
}

std::vector<NotificationMessage> NotificationSequence::skip(std::uint32_t count) {
  next_ = advance(next_, count);
  return release();
}

std::vector<NotificationMessage> NotificationSequence::release() {
  std::vector<NotificationMessage> ready;
  for (auto it = held_.find(next_); it != held_.end(); it = held_.find(next_)) {
    ready.push_back(std::move(it->second));
    held_.erase(it);
    next_ = after(next_);
  }
  if (announced_ != 0 && !ahead(next_, announced_)) announced_ = 0;
  return ready;
}

}  // namespace pyqar::ua
