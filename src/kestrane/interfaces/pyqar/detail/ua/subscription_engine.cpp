#include "subscription_engine.h"

#include <string>
#include <unordered_map>
#include <utility>

#include "journel/log.h"

namespace pyqar::ua {

SubscriptionEngine::SubscriptionEngine(SubscriptionServices& services, Options options)
    : services_(services),
      book_{.clock = std::move(options.clock), .wall_clock = std::move(options.wall_clock)},
      delivery_(services, book_),
      creator_(services, book_, delivery_),
      pump_(services, book_, delivery_),
      healer_(services, book_, creator_, pump_, delivery_) {}

SubscriptionEngine::~SubscriptionEngine() = default;

void SubscriptionEngine::subscribe(std::vector<MonitoredTag> tags,
                                   const SubscriptionSettings& settings) {
  // A tag kept in the new list keeps what it last delivered, so that its initial value is not
  // stored twice.
  std::unordered_map<std::string, SubscriptionBook::Item> delivered;
  for (std::size_t i = 0; i < book_.items.size(); ++i) {
    if (book_.items[i].source_time != SubscriptionBook::Item::kNothingStored)
      delivered.emplace(SubscriptionBook::tag_key(book_.tags[i].tag), book_.items[i]);
  }
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

  // Values gathered by a poll that failed belong to the old list: they follow their tags.
  std::unordered_map<std::string, std::size_t> position;
  if (!book_.update.changes.empty()) {
    for (std::size_t i = 0; i < tags.size(); ++i)
      position.emplace(SubscriptionBook::tag_key(tags[i].tag), i);
    std::vector<SubscriptionUpdate::Change> kept;
    for (SubscriptionUpdate::Change& change : book_.update.changes) {
      const auto it = position.find(SubscriptionBook::tag_key(book_.tags[change.tag_index].tag));
      if (it == position.end()) continue;
      change.tag_index = it->second;
      kept.push_back(std::move(change));
    }
    book_.update.changes = std::move(kept);
  }

  book_.tags = std::move(tags);
  book_.settings = settings;
  book_.items.assign(book_.tags.size(), SubscriptionBook::Item{});
  if (!delivered.empty()) {
    for (std::size_t i = 0; i < book_.tags.size(); ++i) {
      const auto it = delivered.find(SubscriptionBook::tag_key(book_.tags[i].tag));
      if (it == delivered.end()) continue;
      book_.items[i].source_time = it->second.source_time;
      book_.items[i].fingerprint = it->second.fingerprint;
    }
  }
  subscribed_ = true;
  // Should the connection fail before the items are made, the next poll or resume makes them.
  creator_.mark_incomplete();
  creator_.refresh_limits();
  healer_.note_start_time();
  creator_.create_everything(false);
}

SubscriptionUpdate SubscriptionEngine::poll(std::chrono::milliseconds wait) {
  if (!subscribed_) return {};
  const auto deadline = book_.steady_now() + wait;
  pump_.release_hold();
  if (creator_.incomplete()) creator_.finish_creation();
  creator_.retry_refused();
  pump_.top_up();
  pump_.gather(deadline);
  pump_.fill_gaps();
  healer_.check_watchdog();
  pump_.release_hold();
  pump_.top_up();
  return pump_.finish_update();
}

void SubscriptionEngine::acknowledge(std::uint64_t ack_token) { book_.acks.kept(ack_token); }

void SubscriptionEngine::resume() {
  const Reconnected how = services_.reconnect();
  pump_.reset_cap();
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
  book_.subscriptions.clear();
  book_.items.clear();
  book_.tags.clear();
  book_.acks.clear();
  book_.update = SubscriptionUpdate{};
  subscribed_ = false;
}

}  // namespace pyqar::ua
