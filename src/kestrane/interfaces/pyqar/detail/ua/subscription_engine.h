#pragma once
// SubscriptionEngine: keeps one server's subscriptions for a tag list through a
// SubscriptionServices seam: creates them within the server's limits, keeps Publish requests
// outstanding, orders and de-duplicates what arrives, fills gaps with Republish (else one Read),
// acknowledges only what the caller says is kept, and heals dead, deleted and lost
// subscriptions. Owned by the OPC UA source; one thread at a time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "acknowledgement_ledger.h"
#include "item_batch_planner.h"
#include "notification_sequence.h"

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

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;

  enum class ItemState : std::uint8_t {
    pending,   // not created yet
    ok,        // monitored
    failed,    // refused (or its namespace unknown): tried again once a minute
    unusable,  // its name does not parse: never tried again
  };
  // What the engine keeps per tag, beside the tag itself: kept small, there may be 200,000.
  struct Item {
    // The time of the last value delivered (system_clock ticks): a value at or before it is
    // left out, so that republished, re-read and initial values are not stored twice.
    std::int64_t last_time = std::numeric_limits<std::int64_t>::min();
    ItemState state = ItemState::pending;
    bool reported = false;        // its refusal was logged
    bool without_filter = false;  // the server refused its deadband filter
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

  SteadyTime steady_now() const;
  Timestamp wall_now() const;
  void wait_until(SteadyTime deadline) const;
  static std::string tag_key(const TagDescriptor& tag);
  std::chrono::milliseconds watchdog_limit(const Subscription& sub) const;

  // Creation.
  std::optional<std::size_t> open_subscription();
  // The node of a tag in the current session; nothing (logged, marked) when it has none.
  std::optional<NodeId> resolve(std::uint32_t index);
  // Creates the items `indices` refer to: into subscriptions with room when `fill_existing`,
  // else into new ones only.
  void create_items(const std::vector<std::uint32_t>& indices, bool fill_existing);
  void refuse(std::uint32_t index, std::uint32_t status);
  void create_everything(bool read_after);
  void recreate(std::vector<std::size_t> slots);
  void drop_all_and_create(bool read_after);
  void replace_unanswered();
  void finish_creation();
  void retry_refused();
  void drop_empty_subscriptions();
  std::size_t room_in(const Subscription& sub) const;

  // Publishing.
  std::size_t publish_target() const;
  void top_up_publishes();
  bool receive(SteadyTime deadline);
  void take_answer(PublishResponse response);
  void handle(Subscription& sub, const NotificationMessage& message);
  void emit(std::uint32_t index, const DataValue& value, Timestamp arrival);
  void fill_gaps();
  SubscriptionUpdate finish_update();
  void republish_forward(Subscription& sub);
  void read_tags(std::span<const std::uint32_t> indices);
  void check_watchdog();
  Subscription* find(std::uint32_t subscription_id);

  SubscriptionServices& services_;
  Options options_;
  bool subscribed_ = false;
  std::vector<MonitoredTag> tags_;
  SubscriptionSettings settings_{};
  std::vector<Item> items_;
  std::vector<Subscription> subscriptions_;
  ItemBatchPlanner planner_;
  ServerLimits limits_{};
  // Items per subscription learned from a server that refused more (0: none learned).
  std::size_t learned_items_per_subscription_ = 0;
  std::optional<std::int64_t> server_start_time_;
  // Publish requests the server accepts at once, lowered when it refuses more.
  std::size_t publish_cap_;
  SteadyTime next_retry_{};

  // What the poll in progress (or one cut short by a failure) has gathered.
  // A creation was cut short (the connection failed): the next poll completes it.
  bool creation_incomplete_ = false;
  // A CreateMonitoredItems call to this subscription got no answer (the connection failed):
  // the server may hold items of it that we do not know of, so it is replaced on resume.
  std::optional<std::uint32_t> unanswered_subscription_;
  // The server refused Publish requests for a reason more of them will not mend: send no more
  // until the poll ends.
  bool publishes_held_ = false;
  SubscriptionUpdate update_;
  AcknowledgementLedger acks_;
};

}  // namespace pyqar::ua
