#pragma once
// KeptTickets: numbers the cycles handed to a write stage and tells how far they are kept
// (written, spooled, set aside as rejected or deliberately dropped): every ticket up to
// kept_through() is. Owned by the TsdbWriter; thread-safe, since tickets are issued on the
// collector thread and settled on either thread.

#include <cstdint>
#include <mutex>
#include <set>

namespace quellin {

class KeptTickets {
 public:
  // The next ticket: 1, 2, 3, ...
  std::uint64_t issue();
  // The cycle under `ticket` is kept. Tickets may be settled in any order; settling one
  // twice, or one never issued, changes nothing.
  void settle(std::uint64_t ticket);
  // Every ticket up to this one is settled; 0 before the first.
  std::uint64_t kept_through() const;

 private:
  mutable std::mutex mutex_;
  std::uint64_t issued_ = 0;        // guarded by mutex_
  std::uint64_t kept_through_ = 0;  // guarded by mutex_
  // Settled past a ticket still open (a cycle spooled past a busy writer).
  std::set<std::uint64_t> ahead_;  // guarded by mutex_
};

}  // namespace quellin
