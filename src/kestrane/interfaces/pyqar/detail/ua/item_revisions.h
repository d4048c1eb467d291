#pragma once
// ItemRevisions: what a server granted the monitored items of one subscription against what
// they asked for: queues smaller than one publishing interval needs, and sampling slower than
// asked. Gathered as items are created and warned about once per subscription, with how many
// tags and an example of the figures. Part of a subscription in the SubscriptionBook; one
// thread at a time.

#include <cstddef>
#include <cstdint>

#include "ua_subscription_messages.h"

namespace pyqar::ua {

class ItemRevisions {
 public:
  // Notes what the server granted an item that asked for `asked`, whose queue needs `need`
  // values for one publishing interval; true when its queue is below that. A granted queue
  // or sampling interval of 0 counts as not stated.
  bool note(const MonitoredItemToCreate& asked, std::uint32_t need,
            const MonitoredItemCreateResult& granted, double publishing_interval_ms);
  // Warns of what was noted and not warned of yet: each kind once for the subscription.
  void report(std::uint32_t subscription_id, double publishing_interval_ms);

 private:
  std::size_t short_queues_ = 0;
  std::uint32_t queue_needed_ = 0;
  std::uint32_t queue_granted_ = 0;
  std::size_t slow_sampling_ = 0;
  double sampling_asked_ms_ = 0;
  double sampling_granted_ms_ = 0;
  bool queues_reported_ = false;
  bool sampling_reported_ = false;
};

}  // namespace pyqar::ua
