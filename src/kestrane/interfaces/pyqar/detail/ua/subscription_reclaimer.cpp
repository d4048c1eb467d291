#include "subscription_reclaimer.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "journel/log.h"
#include "status_code.h"
#include "subscription_faults.h"

namespace pyqar::ua {
namespace {

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("pyqar"); }

}  // namespace

std::vector<std::pair<const ReclaimableSubscription*, std::vector<std::uint32_t>>>
SubscriptionReclaimer::transfer(const ReclaimableSubscriptions& previous) {
  std::vector<std::uint32_t> ids;
  for (const ReclaimableSubscription& sub : previous.subscriptions) ids.push_back(sub.id);
  std::vector<std::pair<const ReclaimableSubscription*, std::vector<std::uint32_t>>> taken;
  if (ids.empty()) return taken;
  TransferSubscriptionsResponse transferred;
  try {
    transferred = services_.transfer_subscriptions(ids);
  } catch (const ServiceError& e) {
    if (session_fault(e.status())) throw;
    logger()->info(
        "OPC UA subscriptions of the previous run not transferred ({}): creating them anew",
        status_text(e.status()));
    return taken;
  }
  for (std::size_t k = 0; k < ids.size(); ++k) {
    const std::uint32_t code =
        k < transferred.results.size() ? transferred.results[k].status : status::BadUnexpectedError;
    if (severity(code) == Severity::Bad) {
      // Its lifetime ended, or the server restarted: its tags are created as for a first start.
      logger()->info("OPC UA subscription {} of the previous run not transferred: {}", ids[k],
                     status_text(code));
      continue;
    }
    taken.emplace_back(&previous.subscriptions[k],
                       std::move(transferred.results[k].available_sequence_numbers));
  }
  return taken;
}

void SubscriptionReclaimer::place(const std::vector<const ReclaimableSubscription*>& taken,
                                  std::vector<MonitoredTag> tags, Outcome& outcome) {
  struct Held {
    std::size_t sub = 0;  // into `taken` and book_.subscriptions alike
    const ReclaimableItem* item = nullptr;
    bool claimed = false;
  };
  std::vector<Held> held;
  std::unordered_multimap<std::string, std::size_t> by_key;
  std::uint32_t slots = 0;
  for (std::size_t s = 0; s < taken.size(); ++s) {
    for (const ReclaimableItem& item : taken[s]->items) {
      by_key.emplace(item.tag_key, held.size());
      held.push_back({s, &item, false});
      slots = std::max(slots, (item.client_handle & (SubscriptionBook::kMaxSlots - 1)) + 1);
    }
  }
  book_.items.assign(slots, SubscriptionBook::Item{});
  book_.tags.assign(slots, MonitoredTag{});
  for (SubscriptionBook::Item& item : book_.items)
    item.state = SubscriptionBook::ItemState::removed;

  std::vector<bool> placed(tags.size(), false);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    auto [it, end] = by_key.equal_range(SubscriptionBook::tag_key(tags[i].tag));
    for (; it != end; ++it) {
      Held& h = held[it->second];
      const std::uint32_t slot = h.item->client_handle & (SubscriptionBook::kMaxSlots - 1);
      // A slot named twice (a file edited by hand) goes to the first.
      if (h.item->settings != tags[i].settings ||
          book_.items[slot].state != SubscriptionBook::ItemState::removed)
        continue;
      SubscriptionBook::Item& item = book_.items[slot];
      item.generation = (h.item->client_handle >> 24) & SubscriptionBook::Item::kGenerationMask;
      item.state = SubscriptionBook::ItemState::ok;
      item.position = static_cast<std::uint32_t>(i) & (SubscriptionBook::kMaxSlots - 1);
      book_.tags[slot] = std::move(tags[i]);
      SubscriptionBook::Subscription& sub = book_.subscriptions[h.sub];
      sub.items.push_back(slot);
      sub.item_ids.push_back(h.item->item_id);
      h.claimed = true;
      placed[i] = true;
      ++outcome.items_kept;
      break;
    }
  }

  // Items of tags that left go; their slots' generation moves on, so that a late value of
  // one is not taken for the tag that gets the slot next.
  std::vector<std::vector<std::uint32_t>> doomed(taken.size());
  for (const Held& h : held) {
    if (h.claimed) continue;
    doomed[h.sub].push_back(h.item->item_id);
    const std::uint32_t slot = h.item->client_handle & (SubscriptionBook::kMaxSlots - 1);
    SubscriptionBook::Item& item = book_.items[slot];
    if (item.state == SubscriptionBook::ItemState::removed)
      item.generation = ((h.item->client_handle >> 24) + 1u) & SubscriptionBook::Item::kGenerationMask;
  }
  for (std::size_t s = 0; s < taken.size(); ++s) {
    if (book_.subscriptions[s].items.empty()) {
      outcome.doomed.emplace_back(taken[s]->id, std::vector<std::uint32_t>{});
    } else if (!doomed[s].empty()) {
      outcome.doomed.emplace_back(taken[s]->id, std::move(doomed[s]));
    }
  }

  // New tags take the free slots, lowest first, then new ones; they wait for creation.
  std::size_t next_free = 0;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (placed[i]) continue;
    while (next_free < book_.items.size() &&
           book_.items[next_free].state != SubscriptionBook::ItemState::removed)
      ++next_free;
    if (next_free == book_.items.size()) {
      book_.items.emplace_back();
      book_.tags.emplace_back();
    }
    SubscriptionBook::Item& item = book_.items[next_free];
    item.state = SubscriptionBook::ItemState::pending;
    item.position = static_cast<std::uint32_t>(i) & (SubscriptionBook::kMaxSlots - 1);
    book_.tags[next_free] = std::move(tags[i]);
  }
}

std::size_t SubscriptionReclaimer::ask_again(SubscriptionBook::Subscription& sub,
                                             std::uint32_t last_kept,
                                             std::vector<std::uint32_t> available) {
  std::sort(available.begin(), available.end());
  book_.acks.kept_before(sub.id, last_kept);
  std::uint32_t first = NotificationSequence::after(last_kept);
  std::size_t asked = 0;
  bool first_seen = false;
  for (const std::uint32_t number : available) {
    if (last_kept != 0 && number <= last_kept) {
      // Kept by the earlier process, its acknowledgement lost with it.
      book_.acks.owed(sub.id, number);
      continue;
    }
    // What the server dropped before the first it still has is lost either way.
    if (!first_seen) first = std::max(first, number);
    first_seen = true;
    ++asked;
  }
  sub.sequence = NotificationSequence(first);
  sub.available = std::move(available);
  pump_.republish_forward(sub);
  return asked;
}

SubscriptionReclaimer::Outcome SubscriptionReclaimer::reclaim(
    const ReclaimableSubscriptions& previous, std::vector<MonitoredTag> tags) {
  Outcome outcome;
  outcome.offered = previous.subscriptions.size();
  auto transferred = transfer(previous);
  std::vector<const ReclaimableSubscription*> taken;
  const auto heard = book_.steady_now();
  book_.subscriptions.clear();
  for (const auto& [prev, available] : transferred) {
    taken.push_back(prev);
    SubscriptionBook::Subscription& sub = book_.subscriptions.emplace_back();
    sub.id = prev->id;
    sub.publishing_interval_ms = prev->publishing_interval_ms;
    sub.keep_alive_count = prev->keep_alive_count;
    sub.lifetime_count = prev->lifetime_count;
    sub.last_heard = heard;
  }
  place(taken, std::move(tags), outcome);
  // Subscriptions left without items are deleted, not kept.
  std::vector<std::pair<SubscriptionBook::Subscription, std::size_t>> keep;
  for (std::size_t s = 0; s < taken.size(); ++s) {
    if (book_.subscriptions[s].items.empty()) continue;
    keep.emplace_back(std::move(book_.subscriptions[s]), s);
  }
  book_.subscriptions.clear();
  for (auto& [sub, s] : keep) {
    book_.subscriptions.push_back(std::move(sub));
    outcome.messages_asked += ask_again(book_.subscriptions.back(), taken[s]->last_kept,
                                        std::move(transferred[s].second));
  }
  outcome.reclaimed = book_.subscriptions.size();
  return outcome;
}

}  // namespace pyqar::ua
