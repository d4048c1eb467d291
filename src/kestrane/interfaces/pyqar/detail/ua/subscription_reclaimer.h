#pragma once
// SubscriptionReclaimer: takes over the subscriptions an earlier process left on the server
// (it ended without deleting them) before anything new is created: transfers them to this
// session, puts each new tag into the slot whose client handle the server already reports it
// under, marks the items of tags that left for deletion, and asks again for the messages after
// the last one whose rows were kept. What it cannot take over is left for creation. Part of
// the SubscriptionEngine; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "publish_pump.h"
#include "pyqar/reclaimable_subscriptions.h"
#include "subscription_book.h"
#include "subscription_services.h"

namespace pyqar::ua {

class SubscriptionReclaimer {
 public:
  // All three must outlive the reclaimer.
  SubscriptionReclaimer(SubscriptionServices& services, SubscriptionBook& book, PublishPump& pump)
      : services_(services), book_(book), pump_(pump) {}

  struct Outcome {
    std::size_t offered = 0;    // subscriptions of the earlier process
    std::size_t reclaimed = 0;  // transferred and kept
    std::size_t items_kept = 0;
    std::size_t messages_asked = 0;  // sequence numbers after the last kept one
    // Monitored items of tags that left, by subscription (no ids: the whole subscription).
    std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> doomed;
  };

  // Into an empty book: places `tags` by slot (new tags stay pending, for creation), and
  // brings the transferred subscriptions in with their messages asked for again. Throws what
  // the services throw for a failed connection; a refused transfer only takes nothing over.
  Outcome reclaim(const ReclaimableSubscriptions& previous, std::vector<MonitoredTag> tags);

 private:
  // The subscriptions of `previous` the server transferred, with what it still holds of each.
  std::vector<std::pair<const ReclaimableSubscription*, std::vector<std::uint32_t>>> transfer(
      const ReclaimableSubscriptions& previous);
  void place(const std::vector<const ReclaimableSubscription*>& taken,
             std::vector<MonitoredTag> tags, Outcome& outcome);
  // Starts `sub`'s sequence after its last kept message and asks for the rest again.
  std::size_t ask_again(SubscriptionBook::Subscription& sub, std::uint32_t last_kept,
                        std::vector<std::uint32_t> available);

  SubscriptionServices& services_;
  SubscriptionBook& book_;
  PublishPump& pump_;
};

}  // namespace pyqar::ua
