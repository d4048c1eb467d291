#include "subscription_book.h"

#include <algorithm>

#include <fmt/format.h>

namespace pyqar::ua {
namespace {

// Beyond keep-alive count x publishing interval: one more interval and this, for a slow network.
constexpr auto kWatchdogMargin = std::chrono::seconds(5);

}  // namespace

SubscriptionBook::SteadyTime SubscriptionBook::steady_now() const {
  return clock ? clock() : std::chrono::steady_clock::now();
}

Timestamp SubscriptionBook::wall_now() const {
  return wall_clock ? wall_clock() : std::chrono::system_clock::now();
}

std::string SubscriptionBook::tag_key(const TagDescriptor& tag) {
  return fmt::format("{}:{}", tag.namespace_index, tag.tag_name);
}

std::chrono::milliseconds SubscriptionBook::watchdog_limit(const Subscription& sub) {
  const double interval = std::max(sub.publishing_interval_ms, 1.0);
  double limit = (static_cast<double>(sub.keep_alive_count) + 1.0) * interval;
  // Before its first answer the server may still be busy with other calls: a subscription
  // that never answers is found once its lifetime has passed.
  if (!sub.answered) limit = std::max(limit, static_cast<double>(sub.lifetime_count) * interval);
  return std::chrono::milliseconds(static_cast<std::int64_t>(limit)) + kWatchdogMargin;
}

std::optional<std::uint32_t> SubscriptionBook::slot_of(std::uint32_t client_handle) const {
  const std::uint32_t slot = client_handle & (kMaxSlots - 1);
  if (slot >= items.size()) return std::nullopt;
  const Item& item = items[slot];
  if (item.state == ItemState::removed || item.generation != client_handle >> 24)
    return std::nullopt;
  return slot;
}

SubscriptionBook::Subscription* SubscriptionBook::find(std::uint32_t subscription_id) {
  for (Subscription& sub : subscriptions) {
    if (sub.id == subscription_id) return &sub;
  }
  return nullptr;
}

std::vector<std::uint32_t> SubscriptionBook::subscription_ids() const {
  std::vector<std::uint32_t> ids;
  ids.reserve(subscriptions.size());
  for (const Subscription& sub : subscriptions) ids.push_back(sub.id);
  return ids;
}

bool SubscriptionBook::holds_events(const Subscription& sub) const {
  return std::any_of(sub.items.begin(), sub.items.end(),
                     [this](std::uint32_t slot) { return items[slot].event; });
}

SubscriptionStatus SubscriptionBook::status() const {
  SubscriptionStatus s;
  s.subscriptions = subscriptions.size();
  for (const Item& item : items) {
    if (item.state == ItemState::removed) continue;
    if (item.event) {
      ++(item.state == ItemState::ok ? s.event_items_ok : s.event_items_failed);
    } else if (item.state == ItemState::ok) {
      ++s.items_ok;
      if (item.queue_below_need) ++s.items_queue_below_need;
    } else
      ++s.items_failed;
  }
  const SteadyTime now = steady_now();
  for (const Subscription& sub : subscriptions) {
    const auto limit = watchdog_limit(sub);
    if (now - sub.last_heard > limit) s.alive = false;
    s.watchdog_seconds = std::max(s.watchdog_seconds, std::chrono::duration<double>(limit).count());
  }
  return s;
}

}  // namespace pyqar::ua
