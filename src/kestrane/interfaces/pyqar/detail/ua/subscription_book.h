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
#include "item_revisions.h"
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
    removed,   // its tag left the list: the slot waits for a new tag
  };
  // What is kept per tag, beside the tag itself: kept small, there may be 200,000.
  struct Item {
    static constexpr std::int64_t kNothingStored = std::numeric_limits<std::int64_t>::min();
    static constexpr std::int64_t kNoSourceTime = kNothingStored + 1;
    static constexpr std::uint32_t kFingerprintMask = 0xFFFFFF;
    static constexpr std::uint32_t kGenerationMask = 0x7;
    // The last value delivered: its source time (system_clock ticks, or one of the two above)
    // and a 24-bit hash of its value, status and source time. An initial value (the first of
    // a new item, or one read once) that matches both repeats that value and is left out.
    std::int64_t source_time = kNothingStored;
    std::uint32_t fingerprint : 24 = 0;
    // Bumped whenever the slot is freed; its client handles carry it, so that a late
    // notification of the slot's previous tag is not taken for the tag that holds it now.
    std::uint32_t generation : 3 = 0;
    bool reported : 1 = false;        // its refusal was logged
    bool without_filter : 1 = false;  // the server refused its deadband filter
    // The server gave it a smaller queue than one publishing interval needs: changes between
    // two publishes may overflow it.
    bool queue_below_need : 1 = false;
    // Created (again): its next notification is its current value, an initial one.
    bool next_is_initial : 1 = false;
    // The last value delivered was read once (after lost messages or a recreation): the
    // server may still send the changes it queued before it, and that value itself, again.
    bool last_read : 1 = false;
    // The tag's index in the caller's list, which moves when the list changes while the slot
    // (and with it the monitored item) stays; below kMaxSlots.
    std::uint32_t position : 24 = 0;
    ItemState state : 3 = ItemState::pending;
    // Values of the tag may be missing before its next delivered value, which goes out
    // after_gap: set where values may have been lost (messages the server no longer had, the
    // item created again, an overflowed queue), kept while an initial value that repeats the
    // last one is left out, cleared by the value that carries it.
    bool gap_before_next : 1 = false;
    // An event item (one per notifier, named by its NodeId text): its notifications are
    // events, never values, and its position means nothing to the caller. Its
    // without_filter bit says the server's refusals of its filter were logged.
    bool event : 1 = false;
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
    // The lifetime count the server granted (0: not known), and whether any Publish answer
    // for it has come: until then the watchdog allows the whole lifetime.
    std::uint32_t lifetime_count = 0;
    bool answered = false;
    // Items to which the server granted less than asked, reported once per subscription.
    ItemRevisions revisions{};
    // The server's ids of `items`, in the same order: what deleting one of them takes.
    std::vector<std::uint32_t> item_ids;
    // ConditionRefresh is owed (its event items were created, or it was transferred or lost
    // messages), and whether its events come between a RefreshStart and a RefreshEnd now.
    bool refresh_due = false;
    bool in_refresh = false;
  };

  // Monotonic time for the watchdog and the retry of refused items; empty: steady_clock.
  std::function<SteadyTime()> clock{};
  // Arrival time of values without any timestamp; empty: system_clock.
  std::function<Timestamp()> wall_clock{};

  // By slot: a tag keeps its slot for as long as it stays in the list, and a slot freed by a
  // tag that left is given to the next new one.
  std::vector<MonitoredTag> tags{};
  SubscriptionSettings settings{};
  std::vector<Item> items{};
  std::vector<Subscription> subscriptions{};
  // What the poll in progress (or one cut short by a failure) has gathered; the changes'
  // tag_index is a slot until the engine hands them out.
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
  bool is_event(std::uint32_t index) const { return items[index].event; }
  // The notifier an event slot stands for, as the settings name it.
  const std::string& notifier_of(std::uint32_t index) const { return tags[index].tag.tag_name; }
  // Whether `sub` holds an event item.
  bool holds_events(const Subscription& sub) const;
  // Slots go in the low 24 bits of a client handle, the slot's generation above them.
  static constexpr std::uint32_t kMaxSlots = 1u << 24;
  std::uint32_t client_handle(std::uint32_t slot) const {
    return slot | (static_cast<std::uint32_t>(items[slot].generation) << 24);
  }
  // The slot a client handle names; nothing when it names a tag no longer in the list.
  std::optional<std::uint32_t> slot_of(std::uint32_t client_handle) const;
  // Silence longer than this means the server lost the subscription.
  static std::chrono::milliseconds watchdog_limit(const Subscription& sub);
  Subscription* find(std::uint32_t subscription_id);
  std::vector<std::uint32_t> subscription_ids() const;
  SubscriptionStatus status() const;
};

}  // namespace pyqar::ua
