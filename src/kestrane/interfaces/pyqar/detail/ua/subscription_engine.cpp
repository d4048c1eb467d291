#include "subscription_engine.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include <fmt/format.h>

#include "journel/log.h"
#include "monitored_item_request.h"
#include "status_code.h"
#include "value_conversion.h"

namespace pyqar::ua {
namespace {

// Publish requests kept outstanding: one more than the subscriptions, at least two so that the
// server always has one to answer while the other's answer travels, and never a flood.
constexpr std::size_t kMinPublishes = 2;
constexpr std::size_t kMaxPublishes = 16;
// Answers taken in one poll once data has arrived, so that a busy server cannot hold it.
constexpr std::size_t kMaxAnswersPerPoll = 1000;
constexpr std::size_t kAcksPerPublish = 1000;
constexpr auto kRetryInterval = std::chrono::minutes(1);
// Beyond keep-alive count x publishing interval: one more interval and this, for a slow network.
constexpr auto kWatchdogMargin = std::chrono::seconds(5);
// Nodes per Read when the subscribed tags are read once.
constexpr std::size_t kMaxNodesPerRead = 1000;
// Messages asked for again per gap; the rest of a longer gap counts as lost.
constexpr std::uint32_t kMaxRepublishesPerGap = 1000;

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("pyqar"); }

// A call refused for its size: a smaller one may pass.
bool too_large(std::uint32_t code) {
  return code == status::BadTooManyOperations || code == status::BadTooManyMonitoredItems ||
         code == status::BadRequestTooLarge || code == status::BadEncodingLimitsExceeded ||
         code == status::BadTcpMessageTooLarge;
}

bool filter_refused(std::uint32_t code) {
  return code == status::BadFilterNotAllowed || code == status::BadMonitoredItemFilterUnsupported ||
         code == status::BadMonitoredItemFilterInvalid || code == status::BadDeadbandFilterInvalid;
}

// A status change that says the server no longer keeps the subscription.
bool ends_subscription(std::uint32_t code) {
  return code == status::BadTimeout || code == status::BadNoSubscription ||
         code == status::BadSubscriptionIdInvalid;
}

// The session or channel is gone: only a reconnect mends that.
bool session_fault(std::uint32_t code) {
  return code == status::BadSessionIdInvalid || code == status::BadSessionClosed ||
         code == status::BadSessionNotActivated || code == status::BadSecureChannelIdInvalid;
}

// The queue overflowed before this value: InfoType DataValue with the Overflow bit.
bool overflowed(std::uint32_t code) { return (code & 0x0C00u) == 0x0400u && (code & 0x0080u) != 0; }

std::int64_t ticks(Timestamp t) { return t.time_since_epoch().count(); }

}  // namespace

SubscriptionEngine::SubscriptionEngine(SubscriptionServices& services, Options options)
    : services_(services), options_(std::move(options)), publish_cap_(kMaxPublishes) {}

SubscriptionEngine::~SubscriptionEngine() = default;

SubscriptionEngine::SteadyTime SubscriptionEngine::steady_now() const {
  return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

Timestamp SubscriptionEngine::wall_now() const {
  return options_.wall_clock ? options_.wall_clock() : std::chrono::system_clock::now();
}

std::string SubscriptionEngine::tag_key(const TagDescriptor& tag) {
  return fmt::format("{}:{}", tag.namespace_index, tag.tag_name);
}

std::chrono::milliseconds SubscriptionEngine::watchdog_limit(const Subscription& sub) const {
  const double interval = std::max(sub.publishing_interval_ms, 1.0);
  const double limit = (static_cast<double>(sub.keep_alive_count) + 1.0) * interval;
  return std::chrono::milliseconds(static_cast<std::int64_t>(limit)) + kWatchdogMargin;
}

// ---- Creation ----

void SubscriptionEngine::subscribe(std::vector<MonitoredTag> tags,
                                   const SubscriptionSettings& settings) {
  // A tag kept in the new list keeps the time of its last value, so nothing is stored twice.
  std::unordered_map<std::string, std::int64_t> delivered;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].last_time != std::numeric_limits<std::int64_t>::min())
      delivered.emplace(tag_key(tags_[i].tag), items_[i].last_time);
  }
  if (!subscriptions_.empty()) {
    std::vector<std::uint32_t> ids;
    for (const Subscription& sub : subscriptions_) ids.push_back(sub.id);
    try {
      services_.delete_subscriptions(ids);
    } catch (const ServiceError&) {
      // Gone already: nothing to delete.
    }
  }
  subscriptions_.clear();
  unanswered_subscription_.reset();
  acks_.clear();

  // Values gathered by a poll that failed belong to the old list: they follow their tags.
  std::unordered_map<std::string, std::size_t> position;
  if (!update_.changes.empty()) {
    for (std::size_t i = 0; i < tags.size(); ++i) position.emplace(tag_key(tags[i].tag), i);
    std::vector<SubscriptionUpdate::Change> kept;
    for (SubscriptionUpdate::Change& change : update_.changes) {
      const auto it = position.find(tag_key(tags_[change.tag_index].tag));
      if (it == position.end()) continue;
      change.tag_index = it->second;
      kept.push_back(std::move(change));
    }
    update_.changes = std::move(kept);
  }

  tags_ = std::move(tags);
  settings_ = settings;
  items_.assign(tags_.size(), Item{});
  if (!delivered.empty()) {
    for (std::size_t i = 0; i < tags_.size(); ++i) {
      const auto it = delivered.find(tag_key(tags_[i].tag));
      if (it != delivered.end()) items_[i].last_time = it->second;
    }
  }
  subscribed_ = true;
  // Should the connection fail before the items are made, the next poll or resume makes them.
  creation_incomplete_ = true;
  limits_ = services_.limits();
  planner_.set_limits(limits_);
  try {
    server_start_time_ = services_.server_start_time();
  } catch (const ServiceError&) {
    server_start_time_.reset();
  }
  create_everything(false);
}

std::optional<std::size_t> SubscriptionEngine::open_subscription() {
  if (limits_.max_subscriptions_per_session != 0 &&
      subscriptions_.size() >= limits_.max_subscriptions_per_session)
    return std::nullopt;
  const SubscriptionParameters p = subscription_parameters(settings_.publishing_interval_ms);
  CreateSubscriptionResponse r;
  try {
    r = services_.create_subscription(p);
  } catch (const ServiceError& e) {
    if (e.status() == status::BadTooManySubscriptions) return std::nullopt;
    throw;
  }
  Subscription sub;
  sub.id = r.subscription_id;
  sub.publishing_interval_ms = r.revised_publishing_interval_ms > 0
                                   ? r.revised_publishing_interval_ms
                                   : settings_.publishing_interval_ms;
  sub.keep_alive_count =
      r.revised_max_keep_alive_count > 0 ? r.revised_max_keep_alive_count : p.max_keep_alive_count;
  sub.last_heard = steady_now();
  subscriptions_.push_back(std::move(sub));
  return subscriptions_.size() - 1;
}

std::size_t SubscriptionEngine::room_in(const Subscription& sub) const {
  if (sub.full || sub.recreate) return 0;
  std::size_t cap = std::numeric_limits<std::size_t>::max();
  if (limits_.max_monitored_items_per_subscription != 0)
    cap = limits_.max_monitored_items_per_subscription;
  if (learned_items_per_subscription_ != 0) cap = std::min(cap, learned_items_per_subscription_);
  return cap > sub.items.size() ? cap - sub.items.size() : 0;
}

void SubscriptionEngine::refuse(std::uint32_t index, std::uint32_t code) {
  Item& item = items_[index];
  item.state = ItemState::failed;
  if (!item.reported) {
    item.reported = true;
    logger()->warn("OPC UA tag '{}' cannot be monitored: {}; trying again every minute",
                   tag_key(tags_[index].tag), status_text(code));
  }
}

std::optional<NodeId> SubscriptionEngine::resolve(std::uint32_t index) {
  Item& item = items_[index];
  std::optional<NodeId> node;
  try {
    node = services_.node_for(tags_[index].tag);
  } catch (const std::invalid_argument& e) {
    item.state = ItemState::unusable;
    if (!item.reported) {
      item.reported = true;
      logger()->error("OPC UA tag '{}' cannot be monitored: {}", tag_key(tags_[index].tag),
                      e.what());
    }
    return std::nullopt;
  }
  if (!node) refuse(index, status::BadNodeIdUnknown);  // its namespace is unknown to the server
  return node;
}

void SubscriptionEngine::create_items(const std::vector<std::uint32_t>& indices,
                                      bool fill_existing) {
  creation_incomplete_ = true;
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
      batch.push_back(monitored_item(index, std::move(*node), tags_[index].settings,
                                     settings_.publishing_interval_ms,
                                     !items_[index].without_filter));
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
  for (refill(); !batch.empty(); refill()) {
    if (!slot || room_in(subscriptions_[*slot]) == 0) {
      slot.reset();
      if (fill_existing) {
        for (std::size_t s = 0; s < subscriptions_.size() && !slot; ++s) {
          if (room_in(subscriptions_[s]) > 0) slot = s;
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
    Subscription& sub = subscriptions_[*slot];
    const std::size_t count = std::min(planner_.take(batch), room_in(sub));
    CreateMonitoredItemsResponse response;
    try {
      unanswered_subscription_ = sub.id;  // until its answer (or refusal) arrives
      response = services_.create_monitored_items(
          sub.id, std::span<const MonitoredItemToCreate>(batch.data(), count));
      unanswered_subscription_.reset();
    } catch (const ServiceError& e) {
      unanswered_subscription_.reset();
      if (too_large(e.status()) && planner_.halve(count)) {
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
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t index = batch_index[k];
      const std::uint32_t code =
          k < response.results.size() ? response.results[k].status : status::BadUnexpectedError;
      Item& item = items_[index];
      if (severity(code) != Severity::Bad) {
        item.state = ItemState::ok;
        sub.items.push_back(index);
        if (item.reported) {
          item.reported = false;
          logger()->info("OPC UA tag '{}' is monitored now", tag_key(tags_[index].tag));
        }
      } else if (filter_refused(code) && batch[k].filter) {
        item.without_filter = true;  // built again without it
        logger()->warn(
            "OPC UA server refuses the deadband filter of tag '{}' ({}): monitoring it without one",
            tag_key(tags_[index].tag), status_text(code));
        queue.push_back(index);
      } else if (code == status::BadTooManyMonitoredItems && !sub.items.empty()) {
        refused_more = true;
        queue.push_back(index);
      } else {
        refuse(index, code);
      }
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
  drop_empty_subscriptions();
  creation_incomplete_ = false;
}

void SubscriptionEngine::drop_empty_subscriptions() {
  std::vector<std::uint32_t> ids;
  std::erase_if(subscriptions_, [&](const Subscription& sub) {
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

void SubscriptionEngine::create_everything(bool read_after) {
  std::vector<std::uint32_t> all;
  all.reserve(items_.size());
  for (std::uint32_t i = 0; i < items_.size(); ++i) {
    if (items_[i].state == ItemState::unusable) continue;
    items_[i].state = ItemState::pending;
    all.push_back(i);
  }
  next_retry_ = steady_now() + kRetryInterval;
  create_items(all, true);
  // Also after a recreation, so that the log shows when the items are back.
  const SubscriptionStatus now = status();
  logger()->info("OPC UA subscriptions: {} of {} tags monitored in {} subscriptions", now.items_ok,
                 tags_.size(), now.subscriptions);
  if (!read_after) return;
  std::vector<std::uint32_t> ok;
  for (std::uint32_t i = 0; i < items_.size(); ++i) {
    if (items_[i].state == ItemState::ok) ok.push_back(i);
  }
  read_tags(ok);
}

void SubscriptionEngine::finish_creation() {
  std::vector<std::uint32_t> pending;
  for (std::uint32_t i = 0; i < items_.size(); ++i) {
    if (items_[i].state == ItemState::pending) pending.push_back(i);
  }
  create_items(pending, true);
}

void SubscriptionEngine::retry_refused() {
  if (steady_now() < next_retry_) return;
  std::vector<std::uint32_t> refused;
  for (std::uint32_t i = 0; i < items_.size(); ++i) {
    if (items_[i].state == ItemState::failed) refused.push_back(i);
  }
  next_retry_ = steady_now() + kRetryInterval;
  if (!refused.empty()) create_items(refused, true);
}

void SubscriptionEngine::recreate(std::vector<std::size_t> slots) {
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> indices;
  for (const std::size_t slot : slots) {
    ids.push_back(subscriptions_[slot].id);
    const std::vector<std::uint32_t>& items = subscriptions_[slot].items;
    indices.insert(indices.end(), items.begin(), items.end());
  }
  try {
    services_.delete_subscriptions(ids);
  } catch (const ServiceError&) {
    // The server has dropped them already.
  }
  for (const std::uint32_t id : ids) acks_.forget(id);
  for (auto it = slots.rbegin(); it != slots.rend(); ++it)
    subscriptions_.erase(subscriptions_.begin() + static_cast<std::ptrdiff_t>(*it));
  for (const std::uint32_t index : indices) items_[index].state = ItemState::pending;
  update_.recreations += slots.size();
  create_items(indices, false);
}

void SubscriptionEngine::replace_unanswered() {
  const std::optional<std::uint32_t> id = std::exchange(unanswered_subscription_, std::nullopt);
  if (!id) return;
  for (std::size_t slot = 0; slot < subscriptions_.size(); ++slot) {
    if (subscriptions_[slot].id != *id) continue;
    // Creating the items of that call again would leave each twice on the server, beyond its
    // count of the subscription's items: the subscription is replaced instead.
    logger()->info(
        "OPC UA subscription {}: the answer to creating its items was lost; creating it again",
        *id);
    recreate({slot});
    return;
  }
}

void SubscriptionEngine::drop_all_and_create(bool read_after) {
  unanswered_subscription_.reset();
  for (const Subscription& sub : subscriptions_) acks_.forget(sub.id);
  update_.recreations += subscriptions_.size();
  subscriptions_.clear();
  create_everything(read_after);
}

// ---- Publishing ----

std::size_t SubscriptionEngine::publish_target() const {
  if (subscriptions_.empty() || publishes_held_) return 0;
  return std::min(publish_cap_,
                  std::clamp(subscriptions_.size() + 1, kMinPublishes, kMaxPublishes));
}

void SubscriptionEngine::top_up_publishes() {
  const std::size_t target = publish_target();
  while (services_.publishes_outstanding() < target) {
    const std::span<const SubscriptionAcknowledgement> acks = acks_.due(kAcksPerPublish);
    services_.send_publish(acks);
    acks_.sent(acks.size());
  }
}

bool SubscriptionEngine::receive(SteadyTime deadline) {
  std::optional<PublishResponse> answer;
  try {
    answer = services_.receive_publish(deadline);
  } catch (const ServiceError& e) {
    const std::uint32_t code = e.status();
    if (session_fault(code)) throw;
    if (code == status::BadTooManyPublishRequests) {
      const std::size_t cap = std::max<std::size_t>(services_.publishes_outstanding(), 1);
      if (cap < publish_cap_) {
        publish_cap_ = cap;
        logger()->info(
            "OPC UA server takes at most {} Publish requests at once: keeping that many "
            "outstanding",
            cap);
      }
    } else if (code != status::BadTimeout) {
      // BadNoSubscription and the like: asking again at once would only spin; the watchdog
      // finds subscriptions the server lost.
      publishes_held_ = true;
      logger()->debug("OPC UA Publish answered {}", status_text(code));
    }
    return true;
  }
  if (!answer) return false;
  take_answer(std::move(*answer));
  return true;
}

SubscriptionEngine::Subscription* SubscriptionEngine::find(std::uint32_t subscription_id) {
  for (Subscription& sub : subscriptions_) {
    if (sub.id == subscription_id) return &sub;
  }
  return nullptr;
}

void SubscriptionEngine::take_answer(PublishResponse response) {
  Subscription* sub = find(response.subscription_id);
  if (!sub) return;  // one we deleted or replaced
  sub->last_heard = steady_now();
  sub->available = std::move(response.available_sequence_numbers);
  NotificationMessage& message = response.message;
  if (message.data_changes.empty() && message.status_changes.empty() && message.skipped == 0) {
    sub->sequence.keep_alive(message.sequence_number);
    return;
  }
  for (const NotificationMessage& ready : sub->sequence.accept(std::move(message)))
    handle(*sub, ready);
}

void SubscriptionEngine::handle(Subscription& sub, const NotificationMessage& message) {
  acks_.gather(sub.id, message.sequence_number);
  if (!message.data_changes.empty()) ++update_.notifications;
  const Timestamp arrival = wall_now();
  for (const MonitoredItemNotification& change : message.data_changes) {
    if (change.client_handle < items_.size()) emit(change.client_handle, change.value, arrival);
  }
  for (const std::uint32_t code : message.status_changes) {
    if (!ends_subscription(code) || sub.recreate) continue;
    sub.recreate = true;
    logger()->warn("OPC UA subscription {} ended by the server ({}): creating it again", sub.id,
                   status_text(code));
  }
}

void SubscriptionEngine::emit(std::uint32_t index, const DataValue& value, Timestamp arrival) {
  ValueObject v = to_value_object(value, arrival, services_.namespace_array());
  if (overflowed(v.status)) ++update_.lost_overflow;
  Item& item = items_[index];
  const std::int64_t time = ticks(v.timestamp);
  if (time <= item.last_time) return;
  // A value without any server time is stamped with our clock, which may run ahead of the
  // server's: it must not hide the server-stamped values that follow.
  if (v.source_timestamp || v.server_timestamp) item.last_time = time;
  update_.changes.push_back({index, std::move(v)});
}

void SubscriptionEngine::fill_gaps() {
  for (Subscription& sub : subscriptions_) {
    if (sub.recreate) continue;
    const NotificationSequence::Gap gap = sub.sequence.gap();
    if (gap.count == 0) continue;
    update_.publish_gaps += gap.count;
    logger()->info(
        "OPC UA subscription {}: {} notification message(s) from {} missing: asking "
        "the server again",
        sub.id, gap.count, gap.first);
    std::uint32_t lost = 0;
    std::uint32_t last_lost = 0;
    for (std::uint32_t k = 0; k < gap.count && !sub.recreate; ++k) {
      const std::uint32_t number = sub.sequence.next();
      if (k == kMaxRepublishesPerGap) {
        // Too long a gap to ask for one by one: the rest is lost.
        lost += gap.count - k;
        last_lost = NotificationSequence::advance(number, gap.count - k - 1);
        for (const NotificationMessage& m : sub.sequence.skip(gap.count - k)) handle(sub, m);
        break;
      }
      const bool kept =
          (sub.available.empty() ||
           std::find(sub.available.begin(), sub.available.end(), number) != sub.available.end());
      std::optional<NotificationMessage> again;
      if (kept) {
        try {
          again = services_.republish(sub.id, number).message;
        } catch (const ServiceError& e) {
          if (session_fault(e.status())) throw;
          if (e.status() == status::BadSubscriptionIdInvalid) {
            sub.recreate = true;
            logger()->warn("OPC UA subscription {} is gone from the server: creating it again",
                           sub.id);
            break;
          }
          // BadMessageNotAvailable: the server no longer has it.
        }
      }
      std::vector<NotificationMessage> ready;
      if (again && again->sequence_number == number) {
        ready = sub.sequence.accept(std::move(*again));
      } else {
        ++lost;
        last_lost = number;
        ready = sub.sequence.skip();
      }
      for (const NotificationMessage& m : ready) handle(sub, m);
    }
    if (lost == 0) continue;
    update_.lost_not_available += lost;
    logger()->warn(
        "OPC UA subscription {}: {} notification message(s) between {} and {} are no "
        "longer on the server and their values are lost; reading its {} tags once",
        sub.id, lost, gap.first, last_lost, sub.items.size());
    read_tags(sub.items);
  }
}

void SubscriptionEngine::republish_forward(Subscription& sub) {
  // What the server sent while the connection was down: it keeps it until acknowledged.
  for (std::uint32_t k = 0; k < kMaxRepublishesPerGap; ++k) {
    const std::uint32_t number = sub.sequence.next();
    NotificationMessage message;
    try {
      message = services_.republish(sub.id, number).message;
    } catch (const ServiceError& e) {
      if (session_fault(e.status())) throw;
      if (e.status() == status::BadSubscriptionIdInvalid) sub.recreate = true;
      return;  // BadMessageNotAvailable: nothing more was sent
    }
    if (message.sequence_number != number) return;
    for (const NotificationMessage& m : sub.sequence.accept(std::move(message))) handle(sub, m);
  }
}

void SubscriptionEngine::read_tags(std::span<const std::uint32_t> indices) {
  std::vector<NodeId> nodes;
  std::vector<std::uint32_t> which;
  for (const std::uint32_t index : indices) {
    if (items_[index].state != ItemState::ok) continue;
    try {
      std::optional<NodeId> node = services_.node_for(tags_[index].tag);
      if (!node) continue;
      nodes.push_back(std::move(*node));
      which.push_back(index);
    } catch (const std::invalid_argument&) {
      // Reported when it was created.
    }
  }
  // In reads of at most 1,000 nodes, halved while the server finds them too large, so that
  // re-reading 200,000 tags after a recreation fits any server.
  std::size_t chunk = kMaxNodesPerRead;
  for (std::size_t pos = 0; pos < nodes.size();) {
    const std::size_t count = std::min(chunk, nodes.size() - pos);
    std::vector<DataValue> values;
    try {
      values = services_.read(std::span<const NodeId>(nodes).subspan(pos, count));
    } catch (const ServiceError& e) {
      if (session_fault(e.status())) throw;
      if (too_large(e.status()) && count > 1) {
        chunk = count / 2;
        continue;
      }
      logger()->warn("OPC UA Read of {} subscribed tags failed: {}", count, e.what());
      pos += count;
      continue;
    }
    const Timestamp arrival = wall_now();
    for (std::size_t k = 0; k < values.size() && k < count; ++k)
      emit(which[pos + k], values[k], arrival);
    pos += count;
  }
}

void SubscriptionEngine::check_watchdog() {
  const SteadyTime now = steady_now();
  std::vector<std::size_t> dead;
  for (std::size_t slot = 0; slot < subscriptions_.size(); ++slot) {
    const Subscription& sub = subscriptions_[slot];
    if (sub.recreate) {
      dead.push_back(slot);
      continue;
    }
    const auto limit = watchdog_limit(sub);
    if (now - sub.last_heard <= limit) continue;
    logger()->warn(
        "OPC UA subscription {}: no notification or keep-alive for {:.0f} s (limit {:.0f} s): "
        "creating it again",
        sub.id, std::chrono::duration<double>(now - sub.last_heard).count(),
        std::chrono::duration<double>(limit).count());
    dead.push_back(slot);
  }
  if (!dead.empty()) recreate(std::move(dead));
}

SubscriptionUpdate SubscriptionEngine::finish_update() {
  update_.ack_token = acks_.seal(!update_.changes.empty());
  return std::exchange(update_, SubscriptionUpdate{});
}

void SubscriptionEngine::wait_until(SteadyTime deadline) const {
  const auto left = deadline - steady_now();
  if (left > std::chrono::steady_clock::duration::zero()) std::this_thread::sleep_for(left);
}

SubscriptionUpdate SubscriptionEngine::poll(std::chrono::milliseconds wait) {
  if (!subscribed_) return {};
  const SteadyTime deadline = steady_now() + wait;
  publishes_held_ = false;
  if (creation_incomplete_) finish_creation();
  retry_refused();
  top_up_publishes();
  // Wait for the first data; then take only what has arrived already.
  bool got_data = false;
  for (std::size_t answers = 0; answers < kMaxAnswersPerPoll || !got_data; ++answers) {
    if (services_.publishes_outstanding() == 0) {
      // Nothing can arrive (no subscription, or Publish refused for now): wait out the time
      // here rather than have the caller spin.
      if (!got_data) wait_until(deadline);
      break;
    }
    const std::uint64_t before = update_.notifications + update_.changes.size();
    if (!receive(got_data ? steady_now() : deadline)) break;
    if (update_.notifications + update_.changes.size() > before) got_data = true;
    top_up_publishes();
    if (!got_data && steady_now() >= deadline) {
      // One more look for what has already arrived, then give up waiting.
      got_data = true;
    }
  }
  fill_gaps();
  check_watchdog();
  publishes_held_ = false;
  top_up_publishes();
  return finish_update();
}

void SubscriptionEngine::acknowledge(std::uint64_t ack_token) { acks_.kept(ack_token); }

// ---- Healing after a failure ----

void SubscriptionEngine::resume() {
  const Reconnected how = services_.reconnect();
  publish_cap_ = kMaxPublishes;
  if (!subscribed_) return;
  limits_ = services_.limits();
  planner_.set_limits(limits_);
  std::optional<std::int64_t> start;
  try {
    start = services_.server_start_time();
  } catch (const ServiceError&) {
  }
  const bool restarted = start && server_start_time_ && *start != *server_start_time_;
  if (start) server_start_time_ = start;
  // Time without a connection is not silence of the server.
  const SteadyTime now = steady_now();
  for (Subscription& sub : subscriptions_) sub.last_heard = now;

  if (restarted) {
    logger()->info(
        "OPC UA server restarted (its start time changed): creating {} subscriptions again for "
        "{} tags",
        std::max<std::size_t>(subscriptions_.size(), 1), tags_.size());
    // A restarted server kept nothing of ours to read back: the new items' first
    // notifications are the current values, so a Read of every tag would only double them.
    drop_all_and_create(false);
    return;
  }
  if (how == Reconnected::same_session) {
    logger()->info(
        "OPC UA session resumed on a new channel: {} subscriptions kept, asking for what was "
        "missed",
        subscriptions_.size());
    for (Subscription& sub : subscriptions_) republish_forward(sub);
    const bool incomplete = creation_incomplete_;  // replacing a subscription clears it
    replace_unanswered();
    if (incomplete) finish_creation();
    return;
  }
  if (subscriptions_.empty()) {
    logger()->info("OPC UA session replaced: creating the subscriptions");
    drop_all_and_create(true);
    return;
  }
  if (!services_.transfer_allowed()) {
    logger()->info(
        "OPC UA session replaced; subscriptions cannot move to a new session of an anonymous "
        "user over security None: creating {} subscriptions again",
        subscriptions_.size());
    drop_all_and_create(true);
    return;
  }
  std::vector<std::uint32_t> ids;
  for (const Subscription& sub : subscriptions_) ids.push_back(sub.id);
  TransferSubscriptionsResponse transferred;
  try {
    transferred = services_.transfer_subscriptions(ids);
  } catch (const ServiceError& e) {
    if (session_fault(e.status())) throw;
    logger()->info(
        "OPC UA session replaced; the server did not transfer the subscriptions ({}): creating "
        "{} subscriptions again",
        status_text(e.status()), subscriptions_.size());
    drop_all_and_create(true);
    return;
  }
  std::vector<std::size_t> refused;
  for (std::size_t slot = 0; slot < subscriptions_.size(); ++slot) {
    const std::uint32_t code = slot < transferred.results.size() ? transferred.results[slot].status
                                                                 : status::BadUnexpectedError;
    if (severity(code) == Severity::Bad) {
      refused.push_back(slot);
      continue;
    }
    subscriptions_[slot].available = transferred.results[slot].available_sequence_numbers;
    republish_forward(subscriptions_[slot]);
  }
  logger()->info("OPC UA session replaced: {} subscriptions transferred to it, {} created again",
                 subscriptions_.size() - refused.size(), refused.size());
  const bool incomplete = creation_incomplete_;  // replacing a subscription clears it
  if (!refused.empty()) {
    std::vector<std::uint32_t> indices;
    for (const std::size_t slot : refused) {
      const std::vector<std::uint32_t>& items = subscriptions_[slot].items;
      indices.insert(indices.end(), items.begin(), items.end());
    }
    recreate(std::move(refused));
    read_tags(indices);
  }
  replace_unanswered();
  if (incomplete) finish_creation();
}

SubscriptionStatus SubscriptionEngine::status() const {
  SubscriptionStatus s;
  s.subscriptions = subscriptions_.size();
  for (const Item& item : items_) {
    if (item.state == ItemState::ok)
      ++s.items_ok;
    else
      ++s.items_failed;
  }
  const SteadyTime now = steady_now();
  for (const Subscription& sub : subscriptions_) {
    const auto limit = watchdog_limit(sub);
    if (now - sub.last_heard > limit) s.alive = false;
    s.watchdog_seconds = std::max(s.watchdog_seconds, std::chrono::duration<double>(limit).count());
  }
  return s;
}

void SubscriptionEngine::unsubscribe() noexcept {
  try {
    if (!subscriptions_.empty()) {
      std::vector<std::uint32_t> ids;
      for (const Subscription& sub : subscriptions_) ids.push_back(sub.id);
      services_.delete_subscriptions(ids);
    }
  } catch (const std::exception& e) {
    logger()->debug("OPC UA subscriptions not deleted: {}", e.what());
  }
  services_.close();
  subscriptions_.clear();
  items_.clear();
  tags_.clear();
  acks_.clear();
  update_ = SubscriptionUpdate{};
  subscribed_ = false;
}

}  // namespace pyqar::ua
