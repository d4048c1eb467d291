#pragma once
// EventDelivery: the event side of the subscription engine. It builds each notifier's event
// item (attribute EventNotifier, the collector's EventFilter), reports what the server
// refused of it, turns the events of a notification message into records (marking those
// between a RefreshStart and a RefreshEnd of their subscription, leaving out an EventId
// delivered already), and asks for ConditionRefresh where a subscription's event items were
// created, transferred or lost messages. Part of the SubscriptionEngine; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "pyqar/event_types.h"
#include "subscription_book.h"
#include "subscription_services.h"
#include "ua_event_filter.h"
#include "ua_event_messages.h"

namespace pyqar::ua {

class EventDelivery {
 public:
  // Both must outlive the delivery.
  EventDelivery(SubscriptionServices& services, SubscriptionBook& book)
      : services_(services), book_(book) {}

  // The fields to select from now on. Throws std::invalid_argument naming an extra field
  // whose browse path does not parse; nothing changes then.
  void configure(const EventSettings& settings);

  // The event item of `slot` at `node`; nothing (the slot refused, logged) when one of the
  // event types to keep has no node in this session.
  std::optional<MonitoredItemToCreate> monitored_item(std::uint32_t slot, NodeId node);
  // The server took the event item of `slot` into `sub`: logs what it refused of the filter
  // (once per slot) and owes `sub` a ConditionRefresh.
  void created(std::uint32_t slot, SubscriptionBook::Subscription& sub,
               const MonitoredItemCreateResult& result);
  // The server refused the event item of `slot` (logged once until it is taken).
  void refused(std::uint32_t slot, std::uint32_t status);

  // The events of one notification message of `sub`, in order, into the poll's update.
  void take(SubscriptionBook::Subscription& sub, const std::vector<EventFieldList>& events);
  // Asks for ConditionRefresh where it is owed. Throws what the services throw for a failed
  // connection.
  void refresh_conditions();
  // A new session: a server that lacked ConditionRefresh may have it now (it was restarted).
  void new_session() { refresh_unsupported_ = false; }
  // The server restarted: its EventIds are unique only within one run (some count them from
  // the start again), so those remembered would hide its new events.
  void server_restarted();

  // EventIds remembered to leave out an event delivered already.
  static constexpr std::size_t kRemembered = 100'000;

 private:
  // Whether an event with this EventId was delivered already; remembers it either way.
  bool seen_before(std::string_view event_id);

  SubscriptionServices& services_;
  SubscriptionBook& book_;
  EventSettings settings_{};
  EventSelection selection_{};
  // Hashes of the EventIds delivered lately, oldest first, and the same as a set. A 64-bit
  // hash keeps 100,000 of them small; two distinct ids colliding among them is far less likely
  // than any server fault.
  std::deque<std::uint64_t> recent_order_;
  std::unordered_set<std::uint64_t> recent_;
  // The server answered ConditionRefresh as one without conditions: not asked again this
  // session.
  bool refresh_unsupported_ = false;
};

}  // namespace pyqar::ua
