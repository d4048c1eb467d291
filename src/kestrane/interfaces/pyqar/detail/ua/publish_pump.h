#pragma once
// PublishPump: keeps Publish requests outstanding (as many as the server takes, each carrying
// the acknowledgements due), takes their answers in order per subscription, fills gaps with
// Republish (else one Read of the subscription's tags, and ConditionRefresh for its event
// items), and notes subscriptions the server ended. Part of the SubscriptionEngine; one thread at a
// time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>

#include "event_delivery.h"
#include "subscription_book.h"
#include "subscription_services.h"
#include "value_delivery.h"

namespace pyqar::ua {

class PublishPump {
 public:
  using SteadyTime = SubscriptionBook::SteadyTime;

  // All four must outlive the pump.
  PublishPump(SubscriptionServices& services, SubscriptionBook& book, ValueDelivery& delivery,
              EventDelivery& events);

  // Sends Publish requests until as many are outstanding as the subscriptions need.
  void top_up();
  // Takes answers: waits until `deadline` for the first data, then only what has arrived
  // already. Without any request outstanding it waits out the time, so the caller cannot spin.
  void gather(SteadyTime deadline);
  // Asks again for the messages missing in each subscription's sequence.
  void fill_gaps();
  // Asks for what the server sent `sub` while the connection was down.
  void republish_forward(SubscriptionBook::Subscription& sub);
  // The update gathered, sealed under an acknowledgement token; the book starts a new one.
  SubscriptionUpdate finish_update();

  // Publish may be sent again (after a poll, or a refusal that more of them would not mend).
  void release_hold() { publishes_held_ = false; }
  // A new connection: the server's refusal of more requests is forgotten.
  void reset_cap();

 private:
  std::size_t publish_target() const;
  // Waits for one answer until `deadline`: false when none came.
  bool receive(SteadyTime deadline);
  void take_answer(PublishResponse response);
  void handle(SubscriptionBook::Subscription& sub, const NotificationMessage& message);
  void wait_until(SteadyTime deadline) const;
  // Deletes a subscription the server publishes for and the book does not hold.
  void delete_orphan(std::uint32_t subscription_id);

  SubscriptionServices& services_;
  SubscriptionBook& book_;
  ValueDelivery& delivery_;
  EventDelivery& events_;
  // Publish requests the server accepts at once, lowered when it refuses more.
  std::size_t publish_cap_;
  // The server refused Publish requests for a reason more of them will not mend: send no more
  // until the poll ends.
  bool publishes_held_ = false;
  // Unknown subscription ids deleted already.
  std::set<std::uint32_t> orphans_;
};

}  // namespace pyqar::ua
