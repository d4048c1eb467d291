#pragma once
// SubscriptionEngine: keeps one server's subscriptions for a tag list through a
// SubscriptionServices seam. It holds the book of tags and subscriptions and hands each job to
// a part of its own: creating the items within the server's limits (MonitoredItemCreator),
// keeping Publish requests outstanding and ordering, de-duplicating and gap-filling what
// arrives (PublishPump, ValueDelivery), and healing dead, deleted and lost subscriptions
// (SubscriptionHealer); it acknowledges only what the caller says is kept. Event items, one per
// notifier, are slots of the same book after the tags' (EventDelivery builds them and turns
// their notifications into records); their positions never reach the caller. A new tag list keeps
// the monitored items of the tags that stay: only those of the tags that left are deleted and
// only those of new tags created. Owned by the OPC UA source; one thread at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "event_delivery.h"
#include "monitored_item_creator.h"
#include "publish_pump.h"
#include "pyqar/reclaimable_subscriptions.h"
#include "pyqar/subscription_types.h"
#include "subscription_book.h"
#include "subscription_healer.h"
#include "subscription_reclaimer.h"
#include "subscription_services.h"
#include "value_delivery.h"

namespace pyqar::ua {

class SubscriptionEngine {
 public:
  struct Options {
    // Monotonic time for the watchdog and the retry of refused items; empty: steady_clock.
    std::function<std::chrono::steady_clock::time_point()> clock{};
    // Arrival time of values without any timestamp; empty: system_clock.
    std::function<Timestamp()> wall_clock{};
  };

  // `services` must outlive the engine.
  SubscriptionEngine(SubscriptionServices& services, Options options);
  ~SubscriptionEngine();
  SubscriptionEngine(const SubscriptionEngine&) = delete;
  SubscriptionEngine& operator=(const SubscriptionEngine&) = delete;

  // How a new tag list compared with the one before, by tag key and monitor settings.
  struct ListChange {
    std::size_t kept = 0;
    std::size_t added = 0;
    std::size_t removed = 0;
  };

  // As RtSource::subscribe, poll, acknowledge, resume, subscription_status and unsubscribe.
  // Throws std::invalid_argument for a list of more than SubscriptionBook::kMaxSlots tags.
  ListChange subscribe(std::vector<MonitoredTag> tags, const SubscriptionSettings& settings);
  SubscriptionUpdate poll(std::chrono::milliseconds wait);
  void acknowledge(std::uint64_t ack_token);
  void resume();
  SubscriptionStatus status() const;
  void unsubscribe() noexcept;

  // The subscriptions an earlier process left on the server: the next subscribe() of a
  // session that may take them over (and at the same publishing interval) transfers them,
  // asks again for what was not kept and creates only the items they lack.
  void reclaim_at_subscribe(ReclaimableSubscriptions previous) { previous_ = std::move(previous); }
  // What a later process needs to take the subscriptions over, and a number that changes
  // whenever that does (subscriptions or their items; not the kept sequence numbers).
  ReclaimableSubscriptions reclaimable() const;
  std::uint64_t reclaimable_version() const;
  // Per subscription, the last message whose rows are kept, counting every update up to
  // `once_kept` (an ack token) as kept already.
  std::vector<KeptSequence> kept_sequences(std::uint64_t once_kept = 0) const;

 private:
  // Takes over `previous` for `tags`; nothing (and the tags untouched) when it may not.
  std::optional<ListChange> reclaim(const ReclaimableSubscriptions& previous,
                                    std::vector<MonitoredTag>& tags,
                                    const SubscriptionSettings& settings);
  // Gives the tags of `tags` their slots: a tag that stays keeps its own, a tag that left
  // frees its (its monitored item to be deleted), a new one takes a free slot or a new one.
  // With `events`, the event slots there are go the same way and one per notifier comes after
  // the tags; without, they stay.
  ListChange place(std::vector<MonitoredTag> tags, const EventSettings* events);
  // One new event slot per notifier, in free slots first, waiting for creation.
  void add_event_slots(const EventSettings& events);
  // Deletes the monitored items of tags that left, as far as the connection allows.
  void delete_removed();

  SubscriptionServices& services_;
  bool subscribed_ = false;
  // Monitored items still to delete, by subscription id.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> doomed_;
  std::optional<ReclaimableSubscriptions> previous_;
  // Bumped whenever a tag list moves slots about.
  std::uint64_t placements_ = 0;
  // The parts below share the book; declared in the order they need each other.
  SubscriptionBook book_;
  ValueDelivery delivery_;
  EventDelivery events_;
  MonitoredItemCreator creator_;
  PublishPump pump_;
  SubscriptionHealer healer_;
  SubscriptionReclaimer reclaimer_;
};

}  // namespace pyqar::ua
