#pragma once
// FakeSubscriptionServices: a scripted server behind the SubscriptionServices seam, for the
// subscription engine's unit tests. The test sets its limits and refusals, queues the answers
// to Publish, and reads back every call the engine made. Owned by one test; one thread.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "ua/subscription_services.h"

namespace pyqar::ua::testing {

class FakeSubscriptionServices : public SubscriptionServices {
 public:
  // ---- What the test scripts ----
  ServerLimits server_limits{};
  bool limits_fail = false;  // limits() fails as a lost connection does
  // Tags whose namespace the server lacks (node_for gives nothing).
  std::set<std::string> unknown_namespace;
  std::optional<std::int64_t> start_time = 1;
  // A CreateMonitoredItems call with more items is refused with BadTooManyOperations.
  std::size_t reject_calls_over = 0;
  // A subscription takes no more items than this; the rest get BadTooManyMonitoredItems.
  std::size_t items_per_subscription = 0;
  // The status each tag's item gets (Good when not listed).
  std::map<std::string, std::uint32_t> item_status;
  bool refuse_filters = false;
  // The item call with this number (0: the first) is carried out, but its answer is lost as
  // when the connection drops meanwhile.
  std::optional<std::size_t> lose_answer_of_item_call;
  // More outstanding Publish requests than this: the next is answered BadTooManyPublishRequests.
  std::size_t publish_limit = 0;
  // Answers to Publish, in the order they arrive: a response or a bad service result.
  std::deque<std::variant<PublishResponse, std::uint32_t>> answers;
  // The service result of every Republish, when set.
  std::optional<std::uint32_t> republish_fault;
  // What Republish finds, by (subscription, sequence number).
  std::map<std::pair<std::uint32_t, std::uint32_t>, NotificationMessage> retained;
  // The values Read gives, by tag name (Good 0.0 at `read_source_time` when not listed).
  std::map<std::string, double> read_values;
  std::int64_t read_source_time = 0;
  // A Read of more nodes is refused with BadTooManyOperations (0: any number).
  std::size_t reject_reads_over = 0;
  Reconnected reconnect_result = Reconnected::same_session;
  bool reconnect_fails = false;
  bool allow_transfer = true;
  std::optional<std::uint32_t> transfer_fault;  // the service result of TransferSubscriptions
  std::map<std::uint32_t, std::uint32_t> transfer_status;  // per subscription (Good otherwise)
  // The sequence numbers a transferred subscription still holds (none when not listed).
  std::map<std::uint32_t, std::vector<std::uint32_t>> transfer_available;
  std::uint32_t next_subscription_id = 1;
  // What the server grants instead of what was asked (the publishing interval of every
  // subscription; the queue size and sampling interval of every item).
  std::optional<double> granted_publishing_ms;
  std::optional<std::uint32_t> granted_queue_size;
  std::optional<double> granted_sampling_ms;
  // The server holds no more items than this in all: items beyond it get
  // BadTooManyMonitoredItems, or with `full_as_service_result` the whole call does (0: any
  // number).
  std::size_t capacity = 0;
  bool full_as_service_result = false;
  // A CreateMonitoredItems call with more items gets no answer in time (0: every one does).
  std::size_t time_out_calls_over = 0;
  // The service result of every DeleteMonitoredItems, when set.
  std::optional<std::uint32_t> delete_items_fault;
  // What ConditionRefresh answers, in turn (Good once they are used up); a ServiceError
  // when `refresh_service_fault` is set.
  std::deque<std::uint32_t> refresh_answers;
  std::optional<std::uint32_t> refresh_service_fault;
  // The filter result each event item's creation carries (none when empty).
  ExtensionObject event_filter_result{};
  // The monitored item ids handed out: 1, 2, ... across subscriptions.
  std::uint32_t next_item_id = 1;

  // ---- What the engine did ----
  std::vector<std::uint32_t> created;  // subscription ids, in order
  std::vector<SubscriptionParameters> subscription_parameters;
  struct ItemCall {
    std::uint32_t subscription_id = 0;
    std::vector<MonitoredItemToCreate> items;
  };
  std::vector<ItemCall> item_calls;
  std::map<std::uint32_t, std::size_t> items_in;  // items created per subscription
  std::vector<std::vector<std::uint32_t>> deleted;
  struct ItemDeletion {
    std::uint32_t subscription_id = 0;
    std::vector<std::uint32_t> monitored_item_ids;
  };
  std::vector<ItemDeletion> deleted_items;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> republished;
  std::vector<std::vector<SubscriptionAcknowledgement>> publishes;
  std::vector<std::vector<NodeId>> reads;
  std::vector<std::vector<std::uint32_t>> transfers;
  std::vector<std::uint32_t> refreshes;  // ConditionRefresh calls, by subscription id
  int reconnects = 0;
  bool closed = false;
  std::size_t outstanding = 0;

  // ---- Building answers ----
  // A message with one data change per (client handle, value); each value's source time is
  // `source_time` plus its position.
  static NotificationMessage message(std::uint32_t sequence,
                                     std::vector<std::pair<std::uint32_t, double>> values,
                                     std::int64_t source_time);
  static PublishResponse answer(std::uint32_t subscription_id, NotificationMessage message);
  static PublishResponse keep_alive(std::uint32_t subscription_id, std::uint32_t next_sequence);
  static PublishResponse status_change(std::uint32_t subscription_id, std::uint32_t sequence,
                                       std::uint32_t code);
  void queue(PublishResponse response) { answers.emplace_back(std::move(response)); }
  void queue_fault(std::uint32_t code) { answers.emplace_back(code); }
  // A message with one event per (client handle, EventId, message text); RefreshStart and
  // RefreshEnd markers by their type, `refresh_marker`.
  static NotificationMessage event_message(
      std::uint32_t sequence,
      std::vector<std::tuple<std::uint32_t, std::string, std::string>> events);
  static EventFieldList refresh_marker(std::uint32_t client_handle, bool start);
  // Acknowledgements sent so far, in order.
  std::vector<SubscriptionAcknowledgement> acknowledged() const;

  // ---- SubscriptionServices ----
  ServerLimits limits() const override {
    if (limits_fail) throw std::runtime_error("connection lost");
    return server_limits;
  }
  std::optional<NodeId> node_for(const TagDescriptor& tag) override;
  std::optional<std::int64_t> server_start_time() override { return start_time; }
  std::vector<DataValue> read(std::span<const NodeId> nodes) override;
  CreateSubscriptionResponse create_subscription(const SubscriptionParameters& p) override;
  CreateMonitoredItemsResponse create_monitored_items(
      std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) override;
  DeleteSubscriptionsResponse delete_subscriptions(std::span<const std::uint32_t> ids) override;
  DeleteMonitoredItemsResponse delete_monitored_items(
      std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids) override;
  RepublishResponse republish(std::uint32_t subscription_id, std::uint32_t sequence) override;
  TransferSubscriptionsResponse transfer_subscriptions(std::span<const std::uint32_t> ids) override;
  std::uint32_t condition_refresh(std::uint32_t subscription_id) override;
  void send_publish(std::span<const SubscriptionAcknowledgement> acks) override;
  std::size_t publishes_outstanding() const override { return outstanding; }
  std::optional<PublishResponse> receive_publish(
      std::chrono::steady_clock::time_point deadline) override;
  Reconnected reconnect() override;
  bool transfer_allowed() const override { return allow_transfer; }
  void close() noexcept override { closed = true; }
};

}  // namespace pyqar::ua::testing
