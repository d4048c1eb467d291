#include "kept_tickets.h"

namespace quellin {

std::uint64_t KeptTickets::issue() {
  std::lock_guard lock(mutex_);
  return ++issued_;
}

void KeptTickets::settle(std::uint64_t ticket) {
  std::lock_guard lock(mutex_);
  if (ticket == 0 || ticket > issued_ || ticket <= kept_through_) return;
  if (ticket != kept_through_ + 1) {
    ahead_.insert(ticket);
    return;
  }
  kept_through_ = ticket;
  // What was settled ahead of it now joins the unbroken run.
  while (!ahead_.empty() && *ahead_.begin() == kept_through_ + 1) {
    kept_through_ = *ahead_.begin();
    ahead_.erase(ahead_.begin());
  }
}

std::uint64_t KeptTickets::kept_through() const {
  std::lock_guard lock(mutex_);
  return kept_through_;
}

}  // namespace quellin
