#include "kept_tickets.h"

#include <iterator>
#include <utility>

namespace quellin {

std::uint64_t KeptTickets::issue(std::vector<pyqar::KeptSequence> covers) {
  std::lock_guard lock(mutex_);
  ++issued_;
  if (!covers.empty() && recorder_) covers_.emplace(issued_, std::move(covers));
  return issued_;
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
  std::uint64_t through = kept_through_;
  for (auto it = settled_.begin();
       it != settled_.end() && it->first == through + 1 && it->second <= durable; ++it) {
    through = it->first;
  }
  if (through == kept_through_) return kept_through_;
  // The latest numbers of the run cover every earlier ticket's: one record for all of them,
  // and only then do they count as kept (the source may forget them once they do).
  const auto past = covers_.upper_bound(through);
  if (past != covers_.begin()) {
    recorder_(std::prev(past)->second);
    covers_.erase(covers_.begin(), past);
  }
  settled_.erase(settled_.begin(), settled_.upper_bound(through));
  kept_through_ = through;
  return kept_through_;
}

bool KeptTickets::waiting_for_sync(std::uint64_t durable) const {
  std::lock_guard lock(mutex_);
  return !settled_.empty() && settled_.begin()->first == kept_through_ + 1 &&
         settled_.begin()->second > durable;
}

}  // namespace quellin
