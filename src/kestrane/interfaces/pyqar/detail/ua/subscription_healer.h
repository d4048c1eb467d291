#pragma once
// SubscriptionHealer: brings the subscriptions back after a failure: on the same session it
// asks for what was missed; on a new one it transfers them where the server allows, else
// creates them again and reads their tags once; after a server restart it creates everything
// anew. Its watchdog replaces subscriptions the server has gone silent on or ended. Part of the
// SubscriptionEngine; one thread at a time.

#include <cstdint>
#include <optional>

#include "event_delivery.h"
#include "monitored_item_creator.h"
#include "publish_pump.h"
#include "subscription_book.h"
#include "subscription_services.h"
#include "value_delivery.h"

namespace pyqar::ua {

class SubscriptionHealer {
 public:
  using SteadyTime = SubscriptionBook::SteadyTime;

  // All must outlive the healer.
  SubscriptionHealer(SubscriptionServices& services, SubscriptionBook& book,
                     MonitoredItemCreator& creator, PublishPump& pump, ValueDelivery& delivery,
                     EventDelivery& events)
      : services_(services),
        book_(book),
        creator_(creator),
        pump_(pump),
        delivery_(delivery),
        events_(events) {}

  // Remembers when the server started, to tell a restart from a lost connection later.
  void note_start_time();
  // After the services reconnected as `how` said: keeps, transfers or recreates.
  void heal(Reconnected how);
  // Recreates the subscriptions silent past their keep-alive limit, or ended by the server.
  void check_watchdog();

 private:
  SubscriptionServices& services_;
  SubscriptionBook& book_;
  MonitoredItemCreator& creator_;
  PublishPump& pump_;
  ValueDelivery& delivery_;
  EventDelivery& events_;
  std::optional<std::int64_t> server_start_time_;
};

}  // namespace pyqar::ua
