#pragma once
// SubscriptionEngine: keeps one server's subscriptions for a tag list through a
// SubscriptionServices seam: creates them within the server's limits, keeps Publish requests
// outstanding, orders and de-duplicates what arrives, fills gaps with Republish (else one Read),
// acknowledges only what the caller says is kept, and heals dead, deleted and lost
// subscriptions. Owned by the OPC UA source; one thread at a time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "pyqar/subscription_types.h"
#include "subscription_services.h"

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

  // As RtSource::subscribe, poll, acknowledge, resume, subscription_status and unsubscribe.
  void subscribe(std::vector<MonitoredTag> tags, const SubscriptionSettings& settings);
  SubscriptionUpdate poll(std::chrono::milliseconds wait);
  void acknowledge(std::uint64_t ack_token);
  void resume();
  SubscriptionStatus status() const;
  void unsubscribe() noexcept;
};

}  // namespace pyqar::ua
