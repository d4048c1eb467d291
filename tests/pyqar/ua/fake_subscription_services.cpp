#include "fake_subscription_services.h"

#include <algorithm>
#include <stdexcept>

#include "ua/call_timeout.h"
#include "ua/status_code.h"
#include "ua/ua_event_filter.h"

namespace pyqar::ua::testing {

NotificationMessage FakeSubscriptionServices::message(
    std::uint32_t sequence, std::vector<std::pair<std::uint32_t, double>> values,
    std::int64_t source_time) {
  NotificationMessage m;
  m.sequence_number = sequence;
  std::int64_t t = source_time;
  for (const auto& [handle, value] : values) {
    MonitoredItemNotification n;
    n.client_handle = handle;
    n.value.value = Variant(BuiltinType::Double, false, value);
    n.value.source_timestamp = t++;
    m.data_changes.push_back(std::move(n));
  }
  return m;
}

NotificationMessage FakeSubscriptionServices::event_message(
    std::uint32_t sequence,
    std::vector<std::tuple<std::uint32_t, std::string, std::string>> events) {
  NotificationMessage m;
  m.sequence_number = sequence;
  for (auto& [handle, id, text] : events) {
    // In select-clause order: EventId, EventType, SourceNode, SourceName, Time, ReceiveTime,
    // Message, Severity.
    EventFieldList e;
    e.client_handle = handle;
    e.fields.emplace_back(BuiltinType::ByteString, false, std::move(id));
    e.fields.emplace_back(BuiltinType::NodeId, false, NodeId::numeric_id(0, kBaseEventType));
    e.fields.emplace_back(BuiltinType::NodeId, false, NodeId::string_id(2, "Plant"));
    e.fields.emplace_back(BuiltinType::String, false, std::string("Plant"));
    e.fields.emplace_back(BuiltinType::DateTime, false, std::int64_t{133'000'000'000'000'000});
    e.fields.emplace_back();
    e.fields.emplace_back(BuiltinType::LocalizedText, false, LocalizedText{"", std::move(text)});
    e.fields.emplace_back(BuiltinType::UInt16, false, std::uint64_t{500});
    m.events.push_back(std::move(e));
  }
  return m;
}

EventFieldList FakeSubscriptionServices::refresh_marker(std::uint32_t client_handle, bool start) {
  EventFieldList e;
  e.client_handle = client_handle;
  e.fields.emplace_back(BuiltinType::ByteString, false, std::string(start ? "rs" : "re"));
  e.fields.emplace_back(
      BuiltinType::NodeId, false,
      NodeId::numeric_id(0, start ? kRefreshStartEventType : kRefreshEndEventType));
  return e;
}

PublishResponse FakeSubscriptionServices::answer(std::uint32_t subscription_id,
                                                 NotificationMessage message) {
  PublishResponse r;
  r.subscription_id = subscription_id;
  r.message = std::move(message);
  return r;
}

PublishResponse FakeSubscriptionServices::keep_alive(std::uint32_t subscription_id,
                                                     std::uint32_t next_sequence) {
  NotificationMessage m;
  m.sequence_number = next_sequence;
  return answer(subscription_id, std::move(m));
}

PublishResponse FakeSubscriptionServices::status_change(std::uint32_t subscription_id,
                                                        std::uint32_t sequence,
                                                        std::uint32_t code) {
  NotificationMessage m;
  m.sequence_number = sequence;
  m.status_changes.push_back(code);
  return answer(subscription_id, std::move(m));
}

std::vector<SubscriptionAcknowledgement> FakeSubscriptionServices::acknowledged() const {
  std::vector<SubscriptionAcknowledgement> all;
  for (const auto& acks : publishes) all.insert(all.end(), acks.begin(), acks.end());
  return all;
}

std::optional<NodeId> FakeSubscriptionServices::node_for(const TagDescriptor& tag) {
  if (!tag.tag_name.empty() && tag.tag_name[0] == '!')
    throw std::invalid_argument("'" + tag.tag_name + "' is not a node id");
  if (unknown_namespace.contains(tag.tag_name)) return std::nullopt;
  return NodeId::string_id(2, tag.tag_name);
}

std::vector<DataValue> FakeSubscriptionServices::read(std::span<const NodeId> nodes) {
  reads.emplace_back(nodes.begin(), nodes.end());
  if (reject_reads_over != 0 && nodes.size() > reject_reads_over)
    throw ServiceError(status::BadTooManyOperations, "Read: BadTooManyOperations");
  std::vector<DataValue> values;
  for (const NodeId& node : nodes) {
    DataValue v;
    const auto it = read_values.find(node.text);
    v.value = Variant(BuiltinType::Double, false, it == read_values.end() ? 0.0 : it->second);
    v.source_timestamp = read_source_time;
    values.push_back(std::move(v));
  }
  return values;
}

CreateSubscriptionResponse FakeSubscriptionServices::create_subscription(
    const SubscriptionParameters& p) {
  subscription_parameters.push_back(p);
  CreateSubscriptionResponse r;
  r.subscription_id = next_subscription_id++;
  r.revised_publishing_interval_ms = granted_publishing_ms.value_or(p.publishing_interval_ms);
  r.revised_max_keep_alive_count = p.max_keep_alive_count;
  r.revised_lifetime_count = p.lifetime_count;
  created.push_back(r.subscription_id);
  return r;
}

CreateMonitoredItemsResponse FakeSubscriptionServices::create_monitored_items(
    std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) {
  item_calls.push_back({subscription_id, {items.begin(), items.end()}});
  if (reject_calls_over != 0 && items.size() > reject_calls_over)
    throw ServiceError(status::BadTooManyOperations, "CreateMonitoredItems: BadTooManyOperations");
  if (time_out_calls_over != 0 && items.size() > time_out_calls_over)
    throw CallTimedOut("CreateMonitoredItems: no answer in time");
  std::size_t held = 0;
  for (const auto& [id, count] : items_in) held += count;
  if (full_as_service_result && capacity != 0 && held + items.size() > capacity)
    throw ServiceError(status::BadTooManyMonitoredItems,
                       "CreateMonitoredItems: BadTooManyMonitoredItems");
  CreateMonitoredItemsResponse r;
  for (const MonitoredItemToCreate& item : items) {
    MonitoredItemCreateResult result;
    result.revised_queue_size = granted_queue_size.value_or(item.queue_size);
    result.revised_sampling_interval_ms =
        granted_sampling_ms.value_or(item.sampling_interval_ms < 0 ? 0 : item.sampling_interval_ms);
    const auto listed = item_status.find(item.node.text);
    if (listed != item_status.end()) {
      result.status = listed->second;
    } else if (refuse_filters && item.filter) {
      result.status = status::BadFilterNotAllowed;
    } else if ((items_per_subscription != 0 &&
                items_in[subscription_id] >= items_per_subscription) ||
               (capacity != 0 && held >= capacity)) {
      result.status = status::BadTooManyMonitoredItems;
    }
    if (!item.event_filter.type_id.is_null()) result.filter_result = event_filter_result;
    if (severity(result.status) != Severity::Bad) {
      ++items_in[subscription_id];
      ++held;
      result.monitored_item_id = next_item_id++;
    }
    r.results.push_back(result);
  }
  if (lose_answer_of_item_call == item_calls.size() - 1)
    throw std::runtime_error("connection lost");
  return r;
}

DeleteSubscriptionsResponse FakeSubscriptionServices::delete_subscriptions(
    std::span<const std::uint32_t> ids) {
  deleted.emplace_back(ids.begin(), ids.end());
  DeleteSubscriptionsResponse r;
  r.results.assign(ids.size(), 0);
  return r;
}

DeleteMonitoredItemsResponse FakeSubscriptionServices::delete_monitored_items(
    std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids) {
  deleted_items.push_back(
      {subscription_id, {monitored_item_ids.begin(), monitored_item_ids.end()}});
  if (delete_items_fault) throw ServiceError(*delete_items_fault, "DeleteMonitoredItems refused");
  items_in[subscription_id] -= std::min(items_in[subscription_id], monitored_item_ids.size());
  DeleteMonitoredItemsResponse r;
  r.results.assign(monitored_item_ids.size(), 0);
  return r;
}

RepublishResponse FakeSubscriptionServices::republish(std::uint32_t subscription_id,
                                                      std::uint32_t sequence) {
  republished.emplace_back(subscription_id, sequence);
  if (republish_fault) throw ServiceError(*republish_fault, "Republish refused");
  const auto it = retained.find({subscription_id, sequence});
  if (it == retained.end())
    throw ServiceError(status::BadMessageNotAvailable, "Republish: BadMessageNotAvailable");
  RepublishResponse r;
  r.message = it->second;
  return r;
}

TransferSubscriptionsResponse FakeSubscriptionServices::transfer_subscriptions(
    std::span<const std::uint32_t> ids) {
  transfers.emplace_back(ids.begin(), ids.end());
  if (transfer_fault) throw ServiceError(*transfer_fault, "TransferSubscriptions refused");
  TransferSubscriptionsResponse r;
  for (const std::uint32_t id : ids) {
    TransferResult result;
    const auto it = transfer_status.find(id);
    if (it != transfer_status.end()) result.status = it->second;
    if (const auto held = transfer_available.find(id); held != transfer_available.end())
      result.available_sequence_numbers = held->second;
    r.results.push_back(result);
  }
  return r;
}

std::uint32_t FakeSubscriptionServices::condition_refresh(std::uint32_t subscription_id) {
  refreshes.push_back(subscription_id);
  if (refresh_service_fault) throw ServiceError(*refresh_service_fault, "Call refused");
  if (refresh_answers.empty()) return 0;
  const std::uint32_t code = refresh_answers.front();
  refresh_answers.pop_front();
  return code;
}

void FakeSubscriptionServices::send_publish(std::span<const SubscriptionAcknowledgement> acks) {
  publishes.emplace_back(acks.begin(), acks.end());
  if (publish_limit != 0 && outstanding >= publish_limit)
    answers.emplace_front(status::BadTooManyPublishRequests);
  ++outstanding;
}

std::optional<PublishResponse> FakeSubscriptionServices::receive_publish(
    std::chrono::steady_clock::time_point) {
  if (answers.empty() || outstanding == 0) return std::nullopt;
  auto next = std::move(answers.front());
  answers.pop_front();
  --outstanding;
  if (const auto* fault = std::get_if<std::uint32_t>(&next))
    throw ServiceError(*fault, "Publish: " + status_text(*fault));
  return std::get<PublishResponse>(std::move(next));
}

Reconnected FakeSubscriptionServices::reconnect() {
  ++reconnects;
  outstanding = 0;
  if (reconnect_fails) throw std::runtime_error("server unreachable");
  return reconnect_result;
}

}  // namespace pyqar::ua::testing
