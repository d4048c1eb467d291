#pragma once
// KeptTickets: numbers the cycles handed to a write stage and tells how far they are kept
// (written, set aside as rejected, deliberately dropped, or in the spool once the spool has
// synced them): every ticket up to kept_through() is. A cycle kept in the spool is settled
// with the spool's record count at that moment and counts as kept only once the spool says
// that many records are durable. Owned by the TsdbWriter; thread-safe, since tickets are
// issued on the collector thread and settled on either thread.

#include <cstdint>
#include <limits>
#include <map>
#include <mutex>

namespace quellin {

class KeptTickets {
 public:
  // The next ticket: 1, 2, 3, ...
  std::uint64_t issue();
  // The cycle under `ticket` is kept once the spool's first `records` records are durable (0:
  // at once). Tickets may be settled in any order; settling one twice, or one never issued,
  // changes nothing.
  void settle(std::uint64_t ticket, std::uint64_t records = 0);
  // Every ticket up to this one is settled and, when it waited for the spool, covered by the
  // spool's first `durable` records; 0 before the first.
  std::uint64_t kept_through(std::uint64_t durable = std::numeric_limits<std::uint64_t>::max());
  // Whether the next ticket in line is settled but waits for spool records past `durable`.
  bool waiting_for_sync(std::uint64_t durable) const;

 private:
  mutable std::mutex mutex_;
  std::uint64_t issued_ = 0;        // guarded by mutex_
  std::uint64_t kept_through_ = 0;  // guarded by mutex_
  // Settled past kept_through_ (a cycle spooled past a busy writer, or one waiting for the
  // spool's sync): ticket -> spool records it waits for.
  std::map<std::uint64_t, std::uint64_t> settled_;  // guarded by mutex_
};

}  // namespace quellin
