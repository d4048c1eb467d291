#include "event_delivery.h"

#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "journel/log.h"
#include "status_code.h"
#include "subscription_faults.h"
#include "ua_attribute_ids.h"
#include "ua_event_record.h"

namespace pyqar::ua {
namespace {

// Events the server queues per item between two publishes; the oldest go first, so that an
// alarm storm keeps its latest states.
constexpr std::uint32_t kEventQueueSize = 1000;

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("pyqar"); }

// What a server without conditions (or without the Call service) answers ConditionRefresh.
bool refresh_unsupported(std::uint32_t code) {
  return code == status::BadMethodInvalid || code == status::BadNodeIdUnknown ||
         code == status::BadNotImplemented || code == status::BadServiceUnsupported ||
         code == status::BadNotSupported;
}

}  // namespace

void EventDelivery::configure(const EventSettings& settings) {
  EventSelection selection = event_selection(settings.extra_fields);
  settings_ = settings;
  selection_ = std::move(selection);
}

std::optional<MonitoredItemToCreate> EventDelivery::monitored_item(std::uint32_t slot,
                                                                   NodeId node) {
  EventFilter filter{.select = selection_.clauses, .of_types = {}};
  for (const std::string& type : settings_.types) {
    std::optional<NodeId> type_node;
    try {
      type_node = services_.node_for(TagDescriptor{.namespace_index = 0, .tag_name = type});
    } catch (const std::invalid_argument&) {
      // Checked with the settings; a type that does not parse passes no event.
    }
    if (!type_node) {
      refused(slot, status::BadNodeIdUnknown);
      return std::nullopt;
    }
    filter.of_types.push_back(std::move(*type_node));
  }
  MonitoredItemToCreate item;
  item.node = std::move(node);
  item.attribute_id = kAttributeEventNotifier;
  item.client_handle = book_.client_handle(slot);
  item.sampling_interval_ms = 0;  // events are not sampled
  item.event_filter = encode_event_filter(filter);
  item.queue_size = kEventQueueSize;
  item.discard_oldest = true;
  return item;
}

void EventDelivery::created(std::uint32_t slot, SubscriptionBook::Subscription& sub,
                            const MonitoredItemCreateResult& result) {
  sub.refresh_due = true;
  SubscriptionBook::Item& item = book_.items[slot];
  if (item.reported) {
    item.reported = false;
    logger()->info("OPC UA event notifier '{}' is monitored now", book_.notifier_of(slot));
  }
  if (item.without_filter) return;  // its filter's refusals are logged already
  std::optional<EventFilterResult> filter;
  try {
    filter = decode_event_filter_result(result.filter_result);
  } catch (const std::exception& e) {
    logger()->debug("OPC UA event notifier '{}': filter result not understood: {}",
                    book_.notifier_of(slot), e.what());
    return;
  }
  if (!filter) return;
  std::vector<std::string> faults;
  for (std::size_t k = 0; k < filter->select_clause_results.size(); ++k) {
    const std::uint32_t code = filter->select_clause_results[k];
    if (severity(code) != Severity::Bad) continue;
    // Some servers check every clause against the base event type and refuse the condition
    // fields, yet fill them for conditions: no fault worth a warning.
    const bool condition_field = k < selection_.fields.size() &&
                                 selection_.fields[k] >= EventField::ConditionId &&
                                 selection_.fields[k] <= EventField::ClientUserId;
    if (condition_field) {
      logger()->debug("OPC UA event notifier '{}': the server refused condition field '{}' ({})",
                      book_.notifier_of(slot),
                      k < selection_.names.size() ? selection_.names[k] : std::string(),
                      status_text(code));
      continue;
    }
    const std::string name =
        k < selection_.names.size() ? selection_.names[k] : fmt::format("select clause {}", k + 1);
    faults.push_back(fmt::format("field '{}' ({})", name, status_text(code)));
  }
  for (const ContentFilterElementResult& element : filter->where_clause_results) {
    if (severity(element.status) != Severity::Bad) continue;
    faults.push_back(fmt::format("the event type filter ({}): events of every type pass",
                                 status_text(element.status)));
    break;
  }
  if (faults.empty()) return;
  item.without_filter = true;
  logger()->warn("OPC UA event notifier '{}': the server refused {}; those fields are stored empty",
                 book_.notifier_of(slot), fmt::join(faults, ", "));
}

void EventDelivery::refused(std::uint32_t slot, std::uint32_t code) {
  SubscriptionBook::Item& item = book_.items[slot];
  item.state = SubscriptionBook::ItemState::failed;
  if (item.reported) return;
  item.reported = true;
  logger()->error(
      "OPC UA event notifier '{}' refused: {}; its events are not collected, trying again "
      "every minute",
      book_.notifier_of(slot), status_text(code));
}

void EventDelivery::server_restarted() {
  recent_.clear();
  recent_order_.clear();
  refresh_unsupported_ = false;
}

bool EventDelivery::seen_before(std::string_view event_id) {
  const std::uint64_t hash = std::hash<std::string_view>{}(event_id);
  if (!recent_.insert(hash).second) return true;
  recent_order_.push_back(hash);
  if (recent_order_.size() > kRemembered) {
    recent_.erase(recent_order_.front());
    recent_order_.pop_front();
  }
  return false;
}

void EventDelivery::take(SubscriptionBook::Subscription& sub,
                         const std::vector<EventFieldList>& events) {
  const Namespaces namespaces(services_.namespace_array());
  std::vector<EventRecord>& out = book_.update.events;
  for (const EventFieldList& event : events) {
    const std::optional<std::uint32_t> slot = book_.slot_of(event.client_handle);
    if (!slot || !book_.is_event(*slot)) continue;  // an item deleted meanwhile
    EventRecord record = to_event_record(event, selection_, namespaces);
    switch (refresh_mark(record)) {
      case RefreshMark::Start:
        sub.in_refresh = true;
        continue;
      case RefreshMark::End:
        sub.in_refresh = false;
        continue;
      case RefreshMark::None:
        break;
    }
    record.refresh = sub.in_refresh;
    // A refreshed state repeats an EventId on purpose: it always goes out, for the caller to
    // compare with what it has stored.
    const bool repeat = !record.event_id.empty() && seen_before(record.event_id);
    if (repeat && !record.refresh) continue;
    if (record.time == Timestamp{}) record.time = record.receive_time.value_or(book_.wall_now());
    out.push_back(std::move(record));
  }
}

void EventDelivery::refresh_conditions() {
  for (SubscriptionBook::Subscription& sub : book_.subscriptions) {
    if (!sub.refresh_due || sub.recreate) continue;
    if (refresh_unsupported_) {
      sub.refresh_due = false;
      continue;
    }
    std::uint32_t code = 0;
    try {
      code = services_.condition_refresh(sub.id);
    } catch (const ServiceError& e) {
      if (session_fault(e.status())) throw;
      code = e.status();
    }
    if (code == status::BadRefreshInProgress) continue;  // asked again at the next poll
    sub.refresh_due = false;
    if (severity(code) != Severity::Bad) {
      ++book_.update.condition_refreshes_ok;
      logger()->debug("OPC UA subscription {}: ConditionRefresh accepted", sub.id);
      continue;
    }
    ++book_.update.condition_refreshes_failed;
    if (refresh_unsupported(code)) {
      refresh_unsupported_ = true;
      logger()->warn(
          "OPC UA server offers no ConditionRefresh ({}): alarms active before the subscription "
          "started are not reported until they change",
          status_text(code));
      continue;
    }
    logger()->warn("OPC UA subscription {}: ConditionRefresh refused: {}", sub.id,
                   status_text(code));
  }
}

}  // namespace pyqar::ua
