#pragma once
// SubscriptionBook: what the subscription engine knows of one server's subscriptions for a tag
// list: the tags, each tag's state, the subscriptions holding them, the acknowledgements owed
// and the update the poll in progress gathers. Owned by the SubscriptionEngine and shared by
// reference with its parts (creation, publishing, healing); one thread at a time, so no lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "acknowledgement_ledger.h"
#include "notification_sequence.h"
#include "pyqar/subscription_types.h"

namespace pyqar::ua {

struct SubscriptionBook {
  using SteadyTime = std::chrono::steady_clock::time_point;

  enum class ItemState : std::uint8_t {
    pending,   // not created yet
    ok,        // monitored
    failed,    // refused (or its namespace unknown): tried again once a minute
    unusable,  // its name does not parse: never tried again
  };
  // What is kept per tag, beside the tag itself: kept small, there may be 200,000.
  struct Item {
    static constexpr std::int64_t kNothingStored = std::numeric_limits<std::int64_t>::min();
    static constexpr std::int64_t kNoSourceTime = kNothingStored + 1;
    // The last value delivered: its source time (system_clock ticks, or one of the two above)
    // and a 32-bit hash of its value, status and source time. An initial value (the first of
    // a new item, or one read once) that matches both repeats that value and is left out.
    std::int64_t source_time = kNothingStored;
    std::uint32_t fingerprint = 0;
    ItemState state = ItemState::pending;
    bool reported = false;        // its refusal was logged
    bool without_filter = false;  // the server refused its deadband filter
    // Created (again): its next notification is its current value, an initial one.
    bool next_is_initial = false;
  };
  struct Subscription {
    std::uint32_t id = 0;
    double publishing_interval_ms = 0;
    std::uint32_t keep_alive_count = 0;
    std::vector<std::uint32_t> items;  // tag indices
    NotificationSequence sequence;
    SteadyTime last_heard{};
    // The sequence numbers the server still had at its latest answer.
    std::vector<std::uint32_t> available;
    bool full = false;      // the server took no more items into it
    bool recreate = false;  // ended by the server: create it again
  };

  // Monotonic time for the watchdog and the retry of refused items; empty: steady_clock.
  std::function<SteadyTime()> clock{};
  // Arrival time of values without any timestamp; empty: system_clock.
  std::function<Timestamp()> wall_clock{};

  std::vector<MonitoredTag> tags{};
  SubscriptionSettings settings{};
  std::vector<Item> items{};
  std::vector<Subscription> subscriptions{};
  // What the poll in progress (or one cut short by a failure) has gathered.
  SubscriptionUpdate update{};
  AcknowledgementLedger acks{};
  // The server's clock as of the latest Publish answer (keep-alive or data): its publish time
  // and when it arrived here; empty until an answer carried one.
  std::optional<Timestamp> last_publish_time{};
  SteadyTime last_publish_arrival{};

  SteadyTime steady_now() const;
  Timestamp wall_now() const;
  // How a tag is named in the log and matched across tag lists: "namespace:name".
  static std::string tag_key(const TagDescriptor& tag);
  std::string key_of(std::uint32_t index) const { return tag_key(tags[index].tag); }
  // Silence longer than this means the server lost the subscription.
  static std::chrono::milliseconds watchdog_limit(const Subscription& sub);
  Subscription* find(std::uint32_t subscription_id);
  std::vector<std::uint32_t> subscription_ids() const;
  SubscriptionStatus status() const;
};

}  // namespace pyqar::ua
