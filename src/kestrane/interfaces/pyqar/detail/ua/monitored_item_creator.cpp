#include "monitored_item_creator.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "call_timeout.h"
#include "journel/log.h"
#include "monitored_item_request.h"
#include "status_code.h"
#include "subscription_faults.h"

namespace pyqar::ua {
namespace {

constexpr auto kRetryInterval = std::chrono::minutes(1);

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("pyqar"); }

bool filter_refused(std::uint32_t code) {
  return code == status::BadFilterNotAllowed || code == status::BadMonitoredItemFilterUnsupported ||
         code == status::BadMonitoredItemFilterInvalid || code == status::BadDeadbandFilterInvalid;
}

}  // namespace

void MonitoredItemCreator::refresh_limits(bool new_session) {
  limits_ = services_.limits();
  planner_.set_limits(limits_);
  if (!new_session) return;
  // A refusal may have come from a server that was full for the moment.
  planner_.forget_refusals();
  learned_items_per_subscription_ = 0;
}

std::optional<std::size_t> MonitoredItemCreator::open_subscription() {
  if (limits_.max_subscriptions_per_session != 0 &&
      book_.subscriptions.size() >= limits_.max_subscriptions_per_session)
    return std::nullopt;
  const SubscriptionParameters p =
      subscription_parameters(book_.settings.publishing_interval_ms, limits_.max_response_bytes);
  CreateSubscriptionResponse r;
  try {
    r = services_.create_subscription(p);
  } catch (const ServiceError& e) {
    if (e.status() == status::BadTooManySubscriptions) return std::nullopt;
    throw;
  }
  SubscriptionBook::Subscription sub;
  sub.id = r.subscription_id;
  sub.publishing_interval_ms = r.revised_publishing_interval_ms > 0
                                   ? r.revised_publishing_interval_ms
                                   : book_.settings.publishing_interval_ms;
  sub.keep_alive_count =
      r.revised_max_keep_alive_count > 0 ? r.revised_max_keep_alive_count : p.max_keep_alive_count;
  sub.lifetime_count = r.revised_lifetime_count > 0 ? r.revised_lifetime_count : p.lifetime_count;
  sub.last_heard = book_.steady_now();
  book_.subscriptions.push_back(std::move(sub));
  return book_.subscriptions.size() - 1;
}

std::size_t MonitoredItemCreator::room_in(const SubscriptionBook::Subscription& sub) const {
  if (sub.full || sub.recreate) return 0;
  std::size_t cap = std::numeric_limits<std::size_t>::max();
  if (limits_.max_monitored_items_per_subscription != 0)
    cap = limits_.max_monitored_items_per_subscription;
  if (learned_items_per_subscription_ != 0) cap = std::min(cap, learned_items_per_subscription_);
  return cap > sub.items.size() ? cap - sub.items.size() : 0;
}

void MonitoredItemCreator::refuse(std::uint32_t index, std::uint32_t code) {
  if (book_.is_event(index)) {
    events_.refused(index, code);
    return;
  }
  SubscriptionBook::Item& item = book_.items[index];
  item.state = SubscriptionBook::ItemState::failed;
  if (!item.reported) {
    item.reported = true;
    logger()->warn("OPC UA tag '{}' cannot be monitored: {}; trying again every minute",
                   book_.key_of(index), status_text(code));
  }
}

void MonitoredItemCreator::server_full(std::span<const std::uint32_t> left,
                                       std::size_t learned_before) {
  for (const std::uint32_t index : left)
    book_.items[index].state = SubscriptionBook::ItemState::failed;
  learned_items_per_subscription_ = learned_before;
  for (SubscriptionBook::Subscription& sub : book_.subscriptions) sub.full = false;
  ++book_.update.server_full;
  logger()->warn(
      "OPC UA server holds no more monitored items (BadTooManyMonitoredItems): {} tags left "
      "unmonitored for now, trying again every minute",
      left.size());
}

void MonitoredItemCreator::note_revision(SubscriptionBook::Subscription& sub, std::uint32_t index,
                                         const MonitoredItemToCreate& asked,
                                         const MonitoredItemCreateResult& granted) {
  // One publishing interval at the sampling the server granted needs this many; a queue the
  // user set is needed as set.
  MonitorSettings settings = book_.tags[index].settings;
  if (granted.revised_sampling_interval_ms > 0)
    settings.sampling_interval_ms = granted.revised_sampling_interval_ms;
  const std::uint32_t need = queue_size_for(settings, sub.publishing_interval_ms);
  book_.items[index].queue_below_need =
      sub.revisions.note(asked, need, granted, sub.publishing_interval_ms);
}

std::optional<NodeId> MonitoredItemCreator::resolve(std::uint32_t index) {
  SubscriptionBook::Item& item = book_.items[index];
  std::optional<NodeId> node;
  try {
    node = services_.node_for(book_.tags[index].tag);
  } catch (const std::invalid_argument& e) {
    item.state = SubscriptionBook::ItemState::unusable;
    if (!item.reported) {
      item.reported = true;
      if (item.event) {
        logger()->error("OPC UA event notifier '{}' cannot be monitored: {}",
                        book_.notifier_of(index), e.what());
      } else {
        logger()->error("OPC UA tag '{}' cannot be monitored: {}", book_.key_of(index), e.what());
      }
    }
    return std::nullopt;
  }
  if (!node) refuse(index, status::BadNodeIdUnknown);  // its namespace is unknown to the server
  return node;
}

void MonitoredItemCreator::create_items(const std::vector<std::uint32_t>& indices,
                                        bool fill_existing) {
  incomplete_ = true;
  // Requests are built a call at a time, so that creating 200,000 items does not hold a
  // request for each of them at once.
  std::vector<std::uint32_t> queue(indices);
  std::size_t head = 0;
  std::vector<MonitoredItemToCreate> batch;
  std::vector<std::uint32_t> batch_index;
  const auto refill = [&] {
    while (batch.size() < ItemBatchPlanner::kMaxItemsPerCall && head < queue.size()) {
      const std::uint32_t index = queue[head++];
      std::optional<NodeId> node = resolve(index);
      if (!node) continue;
      if (book_.is_event(index)) {
        std::optional<MonitoredItemToCreate> item = events_.monitored_item(index, std::move(*node));
        if (!item) continue;
        batch.push_back(std::move(*item));
      } else {
        batch.push_back(monitored_item(
            book_.client_handle(index), std::move(*node), book_.tags[index].settings,
            book_.settings.publishing_interval_ms, !book_.items[index].without_filter));
      }
      batch_index.push_back(index);
    }
  };
  const auto drop_front = [&](std::size_t count) {
    batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(count));
    batch_index.erase(batch_index.begin(),
                      batch_index.begin() + static_cast<std::ptrdiff_t>(count));
  };

  std::optional<std::size_t> slot;
  bool subscriptions_exhausted = false;
  const std::size_t learned_before = learned_items_per_subscription_;
  for (refill(); !batch.empty(); refill()) {
    if (!slot || room_in(book_.subscriptions[*slot]) == 0) {
      slot.reset();
      if (fill_existing) {
        for (std::size_t s = 0; s < book_.subscriptions.size() && !slot; ++s) {
          if (room_in(book_.subscriptions[s]) > 0) slot = s;
        }
      }
      if (!slot) slot = open_subscription();
      if (!slot) {
        subscriptions_exhausted = true;
        break;
      }
      // Items go into the new subscription; older ones have no room or are not to be filled.
      fill_existing = false;
    }
    SubscriptionBook::Subscription& sub = book_.subscriptions[*slot];
    const std::size_t count = std::min(planner_.take(batch), room_in(sub));
    // Queues hold one publishing interval as the server revised it.
    for (std::size_t k = 0; k < count; ++k) {
      if (book_.is_event(batch_index[k])) continue;
      batch[k].queue_size =
          queue_size_for(book_.tags[batch_index[k]].settings, sub.publishing_interval_ms);
    }
    CreateMonitoredItemsResponse response;
    try {
      unanswered_subscription_ = sub.id;  // until its answer (or refusal) arrives
      response = services_.create_monitored_items(
          sub.id, std::span<const MonitoredItemToCreate>(batch.data(), count));
      unanswered_subscription_.reset();
    } catch (const CallTimedOut&) {
      // The subscription stays unanswered: it is replaced on resume, its items sent in
      // smaller calls.
      if (planner_.halve_after_timeout(count)) {
        logger()->warn(
            "OPC UA server did not answer the creation of {} monitored items in time: sending "
            "{} at a time from now on",
            count, planner_.learned_cap());
      }
      throw;
    } catch (const ServiceError& e) {
      unanswered_subscription_.reset();
      if (e.status() == status::BadTooManyMonitoredItems) {
        // The server is full, not the call too large: smaller calls would fare no better.
        std::vector<std::uint32_t> left(batch_index);
        left.insert(left.end(), queue.begin() + static_cast<std::ptrdiff_t>(head), queue.end());
        server_full(left, learned_before);
        batch.clear();
        batch_index.clear();
        head = queue.size();
        break;
      }
      if (refused_as_too_large(e.status()) && planner_.halve(count)) {
        logger()->info("OPC UA server refused {} monitored items in one call ({}): sending {}",
                       count, status_text(e.status()), planner_.learned_cap());
        continue;
      }
      if (session_fault(e.status())) throw;
      if (e.status() == status::BadSubscriptionIdInvalid) {
        // The subscription vanished under us: its items are created again elsewhere.
        sub.recreate = true;
        continue;
      }
      for (std::size_t k = 0; k < count; ++k) refuse(batch_index[k], e.status());
      drop_front(count);
      continue;
    }
    bool refused_more = false;
    bool full_server = false;
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t index = batch_index[k];
      const std::uint32_t code =
          k < response.results.size() ? response.results[k].status : status::BadUnexpectedError;
      SubscriptionBook::Item& item = book_.items[index];
      if (severity(code) != Severity::Bad && item.event) {
        item.state = SubscriptionBook::ItemState::ok;
        sub.items.push_back(index);
        sub.item_ids.push_back(response.results[k].monitored_item_id);
        events_.created(index, sub, response.results[k]);
      } else if (severity(code) != Severity::Bad) {
        item.state = SubscriptionBook::ItemState::ok;
        item.next_is_initial = true;
        // Made again for a tag that delivered values before (its subscription lost, ended or
        // replaced, or its creation refused for a while): what changed meanwhile never came.
        delivery_.mark_gap(index);
        sub.items.push_back(index);
        if (k < response.results.size()) note_revision(sub, index, batch[k], response.results[k]);
        sub.item_ids.push_back(response.results[k].monitored_item_id);
        if (item.reported) {
          item.reported = false;
          logger()->info("OPC UA tag '{}' is monitored now", book_.key_of(index));
        }
      } else if (filter_refused(code) && batch[k].filter) {
        item.without_filter = true;  // built again without it
        logger()->warn(
            "OPC UA server refuses the deadband filter of tag '{}' ({}): monitoring it without one",
            book_.key_of(index), status_text(code));
        queue.push_back(index);
      } else if (code == status::BadTooManyMonitoredItems && !sub.items.empty()) {
        refused_more = true;
        queue.push_back(index);
      } else if (code == status::BadTooManyMonitoredItems) {
        // Refused by a subscription that holds none: the server is full.
        full_server = true;
        queue.push_back(index);
      } else {
        refuse(index, code);
      }
    }
    if (full_server) {
      drop_front(count);
      std::vector<std::uint32_t> left(batch_index);
      left.insert(left.end(), queue.begin() + static_cast<std::ptrdiff_t>(head), queue.end());
      server_full(left, learned_before);
      batch.clear();
      batch_index.clear();
      head = queue.size();
      break;
    }
    if (refused_more) {
      sub.full = true;
      if (learned_items_per_subscription_ == 0 ||
          sub.items.size() < learned_items_per_subscription_)
        learned_items_per_subscription_ = sub.items.size();
      logger()->info(
          "OPC UA server took {} monitored items into subscription {}: spreading the rest over "
          "more subscriptions",
          sub.items.size(), sub.id);
    }
    drop_front(count);
  }
  if (subscriptions_exhausted) {
    const std::size_t left = batch_index.size() + (queue.size() - head);
    logger()->warn("OPC UA server allows no more subscriptions: {} tags left unmonitored", left);
    for (const std::uint32_t index : batch_index) refuse(index, status::BadTooManySubscriptions);
    for (; head < queue.size(); ++head) refuse(queue[head], status::BadTooManySubscriptions);
  }
  // Once per subscription, with every tag of this creation counted.
  for (SubscriptionBook::Subscription& sub : book_.subscriptions)
    sub.revisions.report(sub.id, sub.publishing_interval_ms);
  drop_empty_subscriptions();
  incomplete_ = false;
}

void MonitoredItemCreator::drop_empty_subscriptions() {
  std::vector<std::uint32_t> ids;
  std::erase_if(book_.subscriptions, [&](const SubscriptionBook::Subscription& sub) {
    if (!sub.items.empty() || sub.recreate) return false;
    ids.push_back(sub.id);
    return true;
  });
  if (ids.empty()) return;
  try {
    services_.delete_subscriptions(ids);
  } catch (const ServiceError&) {
    // It holds nothing; the server ends it on its own.
  }
}

void MonitoredItemCreator::create_everything(bool read_after) {
  std::vector<std::uint32_t> all;
  all.reserve(book_.items.size());
  for (std::uint32_t i = 0; i < book_.items.size(); ++i) {
    const SubscriptionBook::ItemState state = book_.items[i].state;
    if (state == SubscriptionBook::ItemState::unusable ||
        state == SubscriptionBook::ItemState::removed)
      continue;
    book_.items[i].state = SubscriptionBook::ItemState::pending;
    all.push_back(i);
  }
  next_retry_ = book_.steady_now() + kRetryInterval;
  create_items(all, true);
  // Also after a recreation, so that the log shows when the items are back.
  const SubscriptionStatus now = book_.status();
  logger()->info("OPC UA subscriptions: {} of {} tags monitored in {} subscriptions", now.items_ok,
                 now.items_ok + now.items_failed, now.subscriptions);
  if (!read_after) return;
  std::vector<std::uint32_t> ok;
  for (std::uint32_t i = 0; i < book_.items.size(); ++i) {
    if (book_.items[i].state == SubscriptionBook::ItemState::ok) ok.push_back(i);
  }
  delivery_.read_tags(ok);
}

void MonitoredItemCreator::finish_creation() {
  std::vector<std::uint32_t> pending;
  for (std::uint32_t i = 0; i < book_.items.size(); ++i) {
    if (book_.items[i].state == SubscriptionBook::ItemState::pending) pending.push_back(i);
  }
  create_items(pending, true);
}

void MonitoredItemCreator::retry_refused() {
  if (book_.steady_now() < next_retry_) return;
  std::vector<std::uint32_t> refused;
  for (std::uint32_t i = 0; i < book_.items.size(); ++i) {
    if (book_.items[i].state == SubscriptionBook::ItemState::failed) refused.push_back(i);
  }
  next_retry_ = book_.steady_now() + kRetryInterval;
  if (!refused.empty()) create_items(refused, true);
}

void MonitoredItemCreator::recreate(std::vector<std::size_t> slots) {
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> indices;
  for (const std::size_t slot : slots) {
    ids.push_back(book_.subscriptions[slot].id);
    const std::vector<std::uint32_t>& items = book_.subscriptions[slot].items;
    indices.insert(indices.end(), items.begin(), items.end());
  }
  try {
    services_.delete_subscriptions(ids);
  } catch (const ServiceError&) {
    // The server has dropped them already.
  }
  for (const std::uint32_t id : ids) book_.acks.forget(id);
  for (auto it = slots.rbegin(); it != slots.rend(); ++it)
    book_.subscriptions.erase(book_.subscriptions.begin() + static_cast<std::ptrdiff_t>(*it));
  for (const std::uint32_t index : indices)
    book_.items[index].state = SubscriptionBook::ItemState::pending;
  book_.update.recreations += slots.size();
  create_items(indices, false);
}

void MonitoredItemCreator::replace_unanswered() {
  const std::optional<std::uint32_t> id = std::exchange(unanswered_subscription_, std::nullopt);
  if (!id) return;
  for (std::size_t slot = 0; slot < book_.subscriptions.size(); ++slot) {
    if (book_.subscriptions[slot].id != *id) continue;
    // Creating the items of that call again would leave each twice on the server, beyond its
    // count of the subscription's items: the subscription is replaced instead.
    logger()->info(
        "OPC UA subscription {}: the answer to creating its items was lost; creating it again",
        *id);
    recreate({slot});
    return;
  }
}

void MonitoredItemCreator::drop_all_and_create(bool read_after) {
  unanswered_subscription_.reset();
  for (const SubscriptionBook::Subscription& sub : book_.subscriptions) book_.acks.forget(sub.id);
  book_.update.recreations += book_.subscriptions.size();
  book_.subscriptions.clear();
  create_everything(read_after);
}

}  // namespace pyqar::ua
