#include "kept_tickets.h"

namespace quellin {

std::uint64_t KeptTickets::issue() {
  std::lock_guard lock(mutex_);
  return ++issued_;
}

void KeptTickets::settle(std::uint64_t ticket, std::uint64_t records) {
  std::lock_guard lock(mutex_);
  if (ticket == 0 || ticket > issued_ || ticket <= kept_through_) return;
  settled_.emplace(ticket, records);
}

std::uint64_t KeptTickets::kept_through(std::uint64_t durable) {
  std::lock_guard lock(mutex_);
  // The unbroken run of settled tickets goes on as far as the spool has synced what they wait
  // for.
  while (!settled_.empty() && settled_.begin()->first == kept_through_ + 1 &&
         settled_.begin()->second <= durable) {
    kept_through_ = settled_.begin()->first;
    settled_.erase(settled_.begin());
  }
  return kept_through_;
}

bool KeptTickets::waiting_for_sync(std::uint64_t durable) const {
  std::lock_guard lock(mutex_);
  return !settled_.empty() && settled_.begin()->first == kept_through_ + 1 &&
         settled_.begin()->second > durable;
}

}  // namespace quellin
