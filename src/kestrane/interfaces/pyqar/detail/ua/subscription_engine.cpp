#include "subscription_engine.h"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "journel/log.h"
#include "subscription_faults.h"

namespace pyqar::ua {
namespace {

// Monitored items per DeleteMonitoredItems call, unless the server allows fewer.
constexpr std::size_t kMaxItemsPerDelete = 1000;

}  // namespace

SubscriptionEngine::SubscriptionEngine(SubscriptionServices& services, Options options)
    : services_(services),
      book_{.clock = std::move(options.clock), .wall_clock = std::move(options.wall_clock)},
      delivery_(services, book_),
      events_(services, book_),
      creator_(services, book_, delivery_, events_),
      pump_(services, book_, delivery_, events_),
      healer_(services, book_, creator_, pump_, delivery_, events_),
      reclaimer_(services, book_, pump_) {}

SubscriptionEngine::~SubscriptionEngine() = default;

SubscriptionEngine::ListChange SubscriptionEngine::place(std::vector<MonitoredTag> tags,
                                                         const EventSettings* events) {
  ++placements_;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  ListChange change;
  // The slots in use by key; a key listed twice matches twice.
  std::unordered_multimap<std::string, std::uint32_t> held;
  held.reserve(book_.items.size());
  // Event slots stay unless the event settings changed: then they all go, new ones come.
  std::vector<std::uint32_t> event_slots;
  for (std::uint32_t slot = 0; slot < book_.items.size(); ++slot) {
    if (book_.items[slot].state == SubscriptionBook::ItemState::removed) continue;
    if (!book_.is_event(slot))
      held.emplace(book_.key_of(slot), slot);
    else if (events)
      event_slots.push_back(slot);
  }
  std::vector<std::uint32_t> slot_of(tags.size(), kNone);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    auto [it, end] = held.equal_range(SubscriptionBook::tag_key(tags[i].tag));
    // Other monitor settings make it another item.
    while (it != end && book_.tags[it->second].settings != tags[i].settings) ++it;
    if (it == end) continue;
    slot_of[i] = it->second;
    held.erase(it);
    ++change.kept;
  }

  // What is left held belongs to tags that left.
  std::vector<std::uint32_t> freed;
  freed.reserve(held.size() + event_slots.size());
  for (const auto& [key, slot] : held) freed.push_back(slot);
  change.removed = freed.size();
  freed.insert(freed.end(), event_slots.begin(), event_slots.end());
  for (const std::uint32_t slot : freed) {
    SubscriptionBook::Item& item = book_.items[slot];
    const std::uint32_t generation = item.generation + 1u;  // wraps within its bits
    item = SubscriptionBook::Item{};
    item.generation = generation & SubscriptionBook::Item::kGenerationMask;
    item.state = SubscriptionBook::ItemState::removed;
    book_.tags[slot] = MonitoredTag{};
  }
  if (!freed.empty()) {
    // Their values gathered by a poll that failed go with them.
    std::erase_if(book_.update.changes, [&](const SubscriptionUpdate::Change& c) {
      return book_.items[c.tag_index].state == SubscriptionBook::ItemState::removed;
    });
    std::vector<std::uint32_t> emptied;
    for (SubscriptionBook::Subscription& sub : book_.subscriptions) {
      std::vector<std::uint32_t> ids;
      std::size_t to = 0;
      for (std::size_t k = 0; k < sub.items.size(); ++k) {
        if (book_.items[sub.items[k]].state == SubscriptionBook::ItemState::removed) {
          ids.push_back(sub.item_ids[k]);
          continue;
        }
        sub.items[to] = sub.items[k];
        sub.item_ids[to] = sub.item_ids[k];
        ++to;
      }
      if (ids.empty()) continue;
      if (to == 0) {
        // Nothing of it stays: the whole subscription goes (no ids to delete says so).
        emptied.push_back(sub.id);
        doomed_.emplace_back(sub.id, std::vector<std::uint32_t>{});
        continue;
      }
      sub.items.resize(to);
      sub.item_ids.resize(to);
      sub.full = false;
      doomed_.emplace_back(sub.id, std::move(ids));
    }
    for (const std::uint32_t id : emptied) {
      book_.acks.forget(id);
      std::erase_if(book_.subscriptions,
                    [id](const SubscriptionBook::Subscription& sub) { return sub.id == id; });
    }
  }

  // New tags take the free slots (of this list change and earlier ones), lowest first, then
  // new ones.
  freed.clear();
  for (std::uint32_t slot = static_cast<std::uint32_t>(book_.items.size()); slot-- > 0;) {
    if (book_.items[slot].state == SubscriptionBook::ItemState::removed) freed.push_back(slot);
  }
  // Exactly as many new slots as needed: there may be 200,000.
  const std::size_t new_tags = tags.size() - change.kept;
  if (new_tags > freed.size()) {
    book_.items.reserve(book_.items.size() + new_tags - freed.size());
    book_.tags.reserve(book_.tags.size() + new_tags - freed.size());
  }
  for (std::size_t i = 0; i < tags.size(); ++i) {
    std::uint32_t slot = slot_of[i];
    if (slot == kNone) {
      ++change.added;
      if (!freed.empty()) {
        slot = freed.back();
        freed.pop_back();
      } else {
        slot = static_cast<std::uint32_t>(book_.items.size());
        book_.items.emplace_back();
        book_.tags.emplace_back();
      }
      SubscriptionBook::Item& item = book_.items[slot];
      const std::uint32_t generation = item.generation;
      item = SubscriptionBook::Item{};
      item.generation = generation;
    }
    book_.items[slot].position = static_cast<std::uint32_t>(i) & (SubscriptionBook::kMaxSlots - 1);
    book_.tags[slot] = std::move(tags[i]);
  }
  if (events) add_event_slots(*events);
  return change;
}

void SubscriptionEngine::add_event_slots(const EventSettings& events) {
  std::uint32_t next_free = 0;
  for (const std::string& notifier : events.notifiers) {
    while (next_free < book_.items.size() &&
           book_.items[next_free].state != SubscriptionBook::ItemState::removed)
      ++next_free;
    if (next_free == book_.items.size()) {
      book_.items.emplace_back();
      book_.tags.emplace_back();
    }
    SubscriptionBook::Item& item = book_.items[next_free];
    const std::uint32_t generation = item.generation;
    item = SubscriptionBook::Item{};
    item.generation = generation;
    item.event = true;
    // NodeId text in namespace 0: `i=2253` is the Server object, `ns=` and `nsu=` name their
    // own namespace.
    book_.tags[next_free] =
        MonitoredTag{.tag = {.namespace_index = 0, .tag_name = notifier}, .settings = {}};
  }
}

void SubscriptionEngine::delete_removed() {
  const ServerLimits limits = services_.limits();
  std::size_t per_call = kMaxItemsPerDelete;
  if (limits.max_monitored_items_per_call != 0)
    per_call = std::min<std::size_t>(per_call, limits.max_monitored_items_per_call);
  while (!doomed_.empty()) {
    auto& [subscription_id, ids] = doomed_.back();
    if (ids.empty()) {
      try {
        services_.delete_subscriptions(std::span<const std::uint32_t>(&subscription_id, 1));
      } catch (const ServiceError& e) {
        if (session_fault(e.status())) throw;
        // Gone already.
      }
    }
    while (!ids.empty()) {
      const std::size_t count = std::min(per_call, ids.size());
      const std::span<const std::uint32_t> call(ids.data() + ids.size() - count, count);
      try {
        services_.delete_monitored_items(subscription_id, call);
      } catch (const ServiceError& e) {
        if (session_fault(e.status())) throw;
        // The subscription is gone with its items (BadSubscriptionIdInvalid), or the server
        // will not delete them: they cost it, not us, as their values are not taken any more.
        journel::get_logger("pyqar")->debug(
            "OPC UA subscription {}: {} monitored items not deleted: {}", subscription_id,
            ids.size(), e.what());
        ids.clear();
        break;
      }
      // Per-item results need no look: an item the server no longer has is as good as deleted.
      ids.resize(ids.size() - count);
    }
    doomed_.pop_back();
  }
}

std::optional<SubscriptionEngine::ListChange> SubscriptionEngine::reclaim(
    const ReclaimableSubscriptions& previous, std::vector<MonitoredTag>& tags,
    const SubscriptionSettings& settings) {
  if (previous.subscriptions.empty() || !services_.transfer_allowed()) return std::nullopt;
  if (previous.publishing_interval_ms != settings.publishing_interval_ms) {
    journel::get_logger("pyqar")->info(
        "OPC UA subscriptions of the previous run not reclaimed: the publishing interval "
        "changed from {} ms to {} ms",
        previous.publishing_interval_ms, settings.publishing_interval_ms);
    return std::nullopt;
  }
  book_.settings = settings;
  book_.acks.clear();
  book_.update = SubscriptionUpdate{};
  doomed_.clear();
  creator_.refresh_limits(true);
  healer_.note_start_time();
  ++placements_;
  SubscriptionReclaimer::Outcome outcome = reclaimer_.reclaim(previous, std::move(tags));
  subscribed_ = true;
  ListChange change{.kept = outcome.items_kept, .added = 0, .removed = 0};
  for (const auto& [id, ids] : outcome.doomed) change.removed += ids.size();
  for (const SubscriptionBook::Item& item : book_.items)
    change.added += item.state == SubscriptionBook::ItemState::pending ? 1 : 0;
  // The earlier process's event items were handed over under keys no tag has, so they are
  // deleted with the tags that left; new ones are made and their conditions refreshed.
  add_event_slots(settings.events);
  journel::get_logger("pyqar")->info(
      "OPC UA reclaimed {} of {} subscriptions of the previous run: {} notification messages "
      "asked for again; {} monitored items kept, {} deleted, {} to create",
      outcome.reclaimed, outcome.offered, outcome.messages_asked, change.kept, change.removed,
      change.added);
  doomed_ = std::move(outcome.doomed);
  creator_.mark_incomplete();
  delete_removed();
  creator_.finish_creation();
  return change;
}

SubscriptionEngine::ListChange SubscriptionEngine::subscribe(std::vector<MonitoredTag> tags,
                                                             const SubscriptionSettings& settings) {
  if (tags.size() >= SubscriptionBook::kMaxSlots) {
    throw std::invalid_argument(fmt::format("a subscription takes at most {} tags, the list has {}",
                                            SubscriptionBook::kMaxSlots - 1, tags.size()));
  }
  // Before anything changes: an extra field that does not parse refuses the whole call.
  events_.configure(settings.events);
  const bool events_changed = !subscribed_ || settings.events != book_.settings.events;
  if (!subscribed_ && previous_) {
    const ReclaimableSubscriptions previous = std::move(*previous_);
    previous_.reset();
    if (auto change = reclaim(previous, tags, settings)) return *change;
  }
  // The items are made for the publishing interval: another one takes new subscriptions.
  const bool keep = subscribed_ && !book_.subscriptions.empty() &&
                    settings.publishing_interval_ms == book_.settings.publishing_interval_ms;
  const ListChange change = place(std::move(tags), events_changed ? &settings.events : nullptr);
  book_.settings = settings;
  subscribed_ = true;
  // Should the connection fail before the items are made, the next poll or resume makes them.
  creator_.mark_incomplete();
  if (keep) {
    delete_removed();
    // Subscriptions left without items are deleted as creation ends.
    creator_.refresh_limits();
    creator_.finish_creation();
    const SubscriptionStatus now = book_.status();
    journel::get_logger("pyqar")->info(
        "OPC UA tag list changed: {} monitored items kept, {} removed, {} added; {} of {} tags "
        "monitored in {} subscriptions",
        change.kept, change.removed, change.added, now.items_ok, now.items_ok + now.items_failed,
        now.subscriptions);
    if (events_changed) {
      journel::get_logger("pyqar")->info(
          "OPC UA event settings changed: {} of {} event notifiers monitored", now.event_items_ok,
          now.event_items_ok + now.event_items_failed);
    }
    return change;
  }

  doomed_.clear();
  if (!book_.subscriptions.empty()) {
    try {
      services_.delete_subscriptions(book_.subscription_ids());
    } catch (const ServiceError&) {
      // Gone already: nothing to delete.
    }
  }
  book_.subscriptions.clear();
  creator_.forget_unanswered();
  book_.acks.clear();
  creator_.refresh_limits();
  healer_.note_start_time();
  creator_.create_everything(false);
  return change;
}

SubscriptionUpdate SubscriptionEngine::poll(std::chrono::milliseconds wait) {
  if (!subscribed_) return {};
  const auto deadline = book_.steady_now() + wait;
  pump_.release_hold();
  if (!doomed_.empty()) delete_removed();
  if (creator_.incomplete()) creator_.finish_creation();
  creator_.retry_refused();
  events_.refresh_conditions();
  pump_.top_up();
  pump_.gather(deadline);
  pump_.fill_gaps();
  healer_.check_watchdog();
  pump_.release_hold();
  pump_.top_up();
  SubscriptionUpdate update = pump_.finish_update();
  // The one place slots become positions in the caller's list.
  for (SubscriptionUpdate::Change& change : update.changes)
    change.tag_index = book_.items[change.tag_index].position;
  return update;
}

void SubscriptionEngine::acknowledge(std::uint64_t ack_token) { book_.acks.kept(ack_token); }

ReclaimableSubscriptions SubscriptionEngine::reclaimable() const {
  ReclaimableSubscriptions out{.publishing_interval_ms = book_.settings.publishing_interval_ms,
                               .subscriptions = {}};
  const std::vector<KeptSequence> kept = kept_sequences();
  for (const SubscriptionBook::Subscription& sub : book_.subscriptions) {
    ReclaimableSubscription& r = out.subscriptions.emplace_back();
    r.id = sub.id;
    r.publishing_interval_ms = sub.publishing_interval_ms;
    r.keep_alive_count = sub.keep_alive_count;
    r.lifetime_count = sub.lifetime_count;
    for (const KeptSequence& k : kept) {
      if (k.subscription_id == sub.id) r.last_kept = k.sequence_number;
    }
    r.items.reserve(sub.items.size());
    for (std::size_t k = 0; k < sub.items.size(); ++k) {
      const std::uint32_t slot = sub.items[k];
      // An event item goes under a key no tag has ("namespace:name" starts with a number):
      // a later process deletes it and makes its own, refreshing the conditions.
      r.items.push_back({.client_handle = book_.client_handle(slot),
                         .item_id = sub.item_ids[k],
                         .tag_key = book_.is_event(slot) ? "event:" + book_.notifier_of(slot)
                                                         : book_.key_of(slot),
                         .settings = book_.tags[slot].settings});
    }
  }
  return out;
}

std::uint64_t SubscriptionEngine::reclaimable_version() const {
  // Cheap enough for every pass: a few numbers per subscription, none per item. A list change
  // that keeps every count moves placements_.
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](std::uint64_t v) {
    hash ^= v;
    hash *= 1099511628211ull;
  };
  mix(placements_);
  for (const SubscriptionBook::Subscription& sub : book_.subscriptions) {
    mix(sub.id);
    mix(sub.items.size());
  }
  return hash;
}

std::vector<KeptSequence> SubscriptionEngine::kept_sequences(std::uint64_t once_kept) const {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> through =
      book_.acks.kept_through(once_kept);
  std::vector<KeptSequence> out;
  out.reserve(book_.subscriptions.size());
  for (const SubscriptionBook::Subscription& sub : book_.subscriptions) {
    KeptSequence& k = out.emplace_back(KeptSequence{sub.id, 0});
    const auto it = std::lower_bound(through.begin(), through.end(), std::pair(sub.id, 0u));
    if (it != through.end() && it->first == sub.id) k.sequence_number = it->second;
  }
  return out;
}

void SubscriptionEngine::resume() {
  // Whatever the reconnect finds, the requests outstanding are gone with the old channel.
  book_.acks.resend_unanswered();
  const Reconnected how = services_.reconnect();
  pump_.reset_cap();
  if (how == Reconnected::new_session) events_.new_session();
  if (!subscribed_) return;
  healer_.heal(how);
}

SubscriptionStatus SubscriptionEngine::status() const { return book_.status(); }

void SubscriptionEngine::unsubscribe() noexcept {
  try {
    if (!book_.subscriptions.empty()) services_.delete_subscriptions(book_.subscription_ids());
  } catch (const std::exception& e) {
    journel::get_logger("pyqar")->debug("OPC UA subscriptions not deleted: {}", e.what());
  }
  services_.close();
  events_.new_session();
  book_.subscriptions.clear();
  book_.items.clear();
  book_.tags.clear();
  book_.acks.clear();
  book_.update = SubscriptionUpdate{};
  doomed_.clear();
  subscribed_ = false;
}

}  // namespace pyqar::ua
