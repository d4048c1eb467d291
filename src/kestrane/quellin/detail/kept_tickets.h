#pragma once
// KeptTickets: numbers the cycles handed to a write stage and tells how far they are kept
// (written, set aside as rejected, deliberately dropped, or in the spool once the spool has
// synced them): every ticket up to kept_through() is. A cycle kept in the spool is settled
// with the spool's record count at that moment and counts as kept only once the spool says
// that many records are durable. A ticket may carry the notification numbers its rows stand
// for: those are recorded (see Recorder) before the ticket counts as kept. Owned by the
// TsdbWriter; thread-safe, since tickets are issued on the collector thread and settled on
// either thread.

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "pyqar/reclaimable_subscriptions.h"

namespace quellin {

class KeptTickets {
 public:
  // Records the numbers of the latest ticket about to count as kept; called with the lock
  // held, so that records follow one another in ticket order. Must not throw.
  using Recorder = std::function<void(const std::vector<pyqar::KeptSequence>&)>;

  KeptTickets() = default;
  explicit KeptTickets(Recorder recorder) : recorder_(std::move(recorder)) {}

  // The next ticket: 1, 2, 3, ...; `covers`: the notification numbers it stands for, if any.
  std::uint64_t issue(std::vector<pyqar::KeptSequence> covers = {});
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
  const Recorder recorder_;
  mutable std::mutex mutex_;
  std::uint64_t issued_ = 0;        // guarded by mutex_
  std::uint64_t kept_through_ = 0;  // guarded by mutex_
  // Settled past kept_through_ (a cycle spooled past a busy writer, or one waiting for the
  // spool's sync): ticket -> spool records it waits for.
  std::map<std::uint64_t, std::uint64_t> settled_;  // guarded by mutex_
  // Issued past kept_through_ with numbers to record: ticket -> numbers.
  std::map<std::uint64_t, std::vector<pyqar::KeptSequence>> covers_;  // guarded by mutex_
};

}  // namespace quellin
