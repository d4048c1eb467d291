#pragma once
// ItemBatchPlanner: how many monitored items one CreateMonitoredItems call carries: no more
// than the server's per-call limit, what fits in its largest request, 1,000, and half of any
// call the server refused as too large or did not answer in time. Owned by the subscription
// engine; one thread at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "subscription_services.h"
#include "ua_subscription_messages.h"

namespace pyqar::ua {

class ItemBatchPlanner {
 public:
  // The most items a call carries when nothing smaller is known.
  static constexpr std::size_t kMaxItemsPerCall = 1000;

  // Takes the server's limits (again after a reconnect); what was learned from refusals stays.
  void set_limits(const ServerLimits& limits) { limits_ = limits; }
  // A new session: calls are planned from the server's stated limits again, but for the cap
  // learned from timeouts (the server is no faster for a new session).
  void forget_refusals() { learned_cap_ = kMaxItemsPerCall; }
  // How many of `items`, from the front, the next call takes: at least 1 when there are any.
  std::size_t take(std::span<const MonitoredItemToCreate> items) const;
  // A call of `count` items was refused as too large: later calls carry at most half of it.
  // False when a single item was refused, which no smaller call can mend.
  bool halve(std::size_t count);
  // A call of `count` items got no answer in time: later calls carry at most half of it.
  // False when it carried a single item.
  bool halve_after_timeout(std::size_t count);
  // The cap learned from refusals and timeouts (kMaxItemsPerCall when none).
  std::size_t learned_cap() const { return std::min(learned_cap_, timeout_cap_); }

  // The bytes `item` takes in a request, as it is encoded.
  static std::size_t encoded_size(const MonitoredItemToCreate& item);

 private:
  ServerLimits limits_{};
  std::size_t learned_cap_ = kMaxItemsPerCall;
  std::size_t timeout_cap_ = kMaxItemsPerCall;
};

}  // namespace pyqar::ua
