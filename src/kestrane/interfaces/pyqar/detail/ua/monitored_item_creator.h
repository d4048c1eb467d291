#pragma once
// MonitoredItemCreator: puts the tags into subscriptions within the server's limits: opens
// subscriptions as they fill, sends the items in batches the server accepts, drops a refused
// deadband filter, retries refused items once a minute, and replaces subscriptions that must
// be made again. Event items (one per notifier) go the same way, built by EventDelivery. Part of
// the SubscriptionEngine; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "event_delivery.h"
#include "item_batch_planner.h"
#include "subscription_book.h"
#include "subscription_services.h"
#include "value_delivery.h"

namespace pyqar::ua {

class MonitoredItemCreator {
 public:
  // All four must outlive the creator.
  MonitoredItemCreator(SubscriptionServices& services, SubscriptionBook& book,
                       ValueDelivery& delivery, EventDelivery& events)
      : services_(services), book_(book), delivery_(delivery), events_(events) {}

  // Takes the server's limits (again after a reconnect). What refusals taught stays on the
  // same session; a `new_session` starts from the server's stated limits again.
  void refresh_limits(bool new_session = false);
  // Creates every usable item anew, into the subscriptions there are and new ones; with
  // `read_after`, reads the monitored ones once.
  void create_everything(bool read_after);
  // Forgets every subscription (the server no longer has them) and creates everything anew.
  void drop_all_and_create(bool read_after);
  // Creates the items still pending, after a creation a failure cut short.
  void finish_creation();
  // Tries the refused items again, once a minute.
  void retry_refused();
  // Deletes the subscriptions at `slots` and creates their items again in new ones.
  void recreate(std::vector<std::size_t> slots);
  // Replaces the subscription whose CreateMonitoredItems call got no answer, if any.
  void replace_unanswered();

  // A creation was cut short (the connection failed): the next poll or resume completes it.
  bool incomplete() const { return incomplete_; }
  void mark_incomplete() { incomplete_ = true; }
  // The subscriptions are gone: none of them waits for an answer any more.
  void forget_unanswered() { unanswered_subscription_.reset(); }

 private:
  std::optional<std::size_t> open_subscription();
  // The node of a tag in the current session; nothing (logged, marked) when it has none.
  std::optional<NodeId> resolve(std::uint32_t index);
  // Creates the items `indices` refer to: into subscriptions with room when `fill_existing`,
  // else into new ones only.
  void create_items(const std::vector<std::uint32_t>& indices, bool fill_existing);
  void refuse(std::uint32_t index, std::uint32_t status);
  // The server holds no more items at all: the tags left wait for the retry once a minute,
  // and what this creation took for full subscriptions was the server being full.
  void server_full(std::span<const std::uint32_t> left, std::size_t learned_before);
  // Notes what the server granted the item of `index` in `sub`.
  void note_revision(SubscriptionBook::Subscription& sub, std::uint32_t index,
                     const MonitoredItemToCreate& asked, const MonitoredItemCreateResult& granted);
  void drop_empty_subscriptions();
  std::size_t room_in(const SubscriptionBook::Subscription& sub) const;

  SubscriptionServices& services_;
  SubscriptionBook& book_;
  ValueDelivery& delivery_;
  EventDelivery& events_;
  ItemBatchPlanner planner_;
  ServerLimits limits_{};
  // Items per subscription learned from a server that refused more (0: none learned).
  std::size_t learned_items_per_subscription_ = 0;
  SubscriptionBook::SteadyTime next_retry_{};
  bool incomplete_ = false;
  // A CreateMonitoredItems call to this subscription got no answer (the connection failed):
  // the server may hold items of it that we do not know of, so it is replaced on resume.
  std::optional<std::uint32_t> unanswered_subscription_;
};

}  // namespace pyqar::ua
