#include "publish_pump.h"

#include <algorithm>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "journel/log.h"
#include "status_code.h"
#include "subscription_faults.h"
#include "value_text.h"

namespace pyqar::ua {
namespace {

// Publish requests kept outstanding: one more than the subscriptions, at least two so that the
// server always has one to answer while the other's answer travels, and never a flood.
constexpr std::size_t kMinPublishes = 2;
constexpr std::size_t kMaxPublishes = 16;
// Answers taken in one poll once data has arrived, so that a busy server cannot hold it.
constexpr std::size_t kMaxAnswersPerPoll = 1000;
constexpr std::size_t kAcksPerPublish = 1000;
// Unknown subscription ids remembered, so that each is deleted and logged once.
constexpr std::size_t kMaxOrphansRemembered = 1000;
// Messages asked for again per gap; the rest of a longer gap counts as lost.
constexpr std::uint32_t kMaxRepublishesPerGap = 1000;

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("pyqar"); }

// A status change that says the server no longer keeps the subscription.
bool ends_subscription(std::uint32_t code) {
  return code == status::BadTimeout || code == status::BadNoSubscription ||
         code == status::BadSubscriptionIdInvalid;
}

}  // namespace

PublishPump::PublishPump(SubscriptionServices& services, SubscriptionBook& book,
                         ValueDelivery& delivery, EventDelivery& events)
    : services_(services),
      book_(book),
      delivery_(delivery),
      events_(events),
      publish_cap_(kMaxPublishes) {}

void PublishPump::reset_cap() { publish_cap_ = kMaxPublishes; }

std::size_t PublishPump::publish_target() const {
  if (book_.subscriptions.empty() || publishes_held_) return 0;
  return std::min(publish_cap_,
                  std::clamp(book_.subscriptions.size() + 1, kMinPublishes, kMaxPublishes));
}

void PublishPump::top_up() {
  const std::size_t target = publish_target();
  while (services_.publishes_outstanding() < target) {
    const std::span<const SubscriptionAcknowledgement> acks = book_.acks.due(kAcksPerPublish);
    services_.send_publish(acks);
    book_.acks.sent(acks.size());
  }
}

bool PublishPump::receive(SteadyTime deadline) {
  std::optional<PublishResponse> answer;
  try {
    answer = services_.receive_publish(deadline);
  } catch (const ServiceError& e) {
    book_.acks.answered();
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
  book_.acks.answered();
  take_answer(std::move(*answer));
  return true;
}

void PublishPump::take_answer(PublishResponse response) {
  if (const auto published = date_time_point(response.message.publish_time)) {
    book_.last_publish_time = published;
    book_.last_publish_arrival = book_.steady_now();
  }
  SubscriptionBook::Subscription* sub = book_.find(response.subscription_id);
  if (!sub) {
    delete_orphan(response.subscription_id);
    return;
  }
  sub->last_heard = book_.steady_now();
  sub->answered = true;
  sub->available = std::move(response.available_sequence_numbers);
  NotificationMessage& message = response.message;
  if (message.data_changes.empty() && message.events.empty() && message.status_changes.empty() &&
      message.skipped == 0) {
    sub->sequence.keep_alive(message.sequence_number);
    return;
  }
  for (const NotificationMessage& ready : sub->sequence.accept(std::move(message)))
    handle(*sub, ready);
}

void PublishPump::delete_orphan(std::uint32_t subscription_id) {
  // Creations are not in flight here (each waits for its answer before Publish answers are
  // taken), so an unknown id is one we deleted (its answer was on the way) or one whose
  // CreateSubscription answer was lost: our Publish requests would keep it alive for good.
  if (!orphans_.insert(subscription_id).second) return;
  if (orphans_.size() > kMaxOrphansRemembered) orphans_ = {subscription_id};
  logger()->info(
      "OPC UA server publishes for subscription {}, which this client does not hold (deleted "
      "already, or its creation's answer was lost): deleting it",
      subscription_id);
  try {
    services_.delete_subscriptions(std::span<const std::uint32_t>(&subscription_id, 1));
  } catch (const ServiceError& e) {
    if (session_fault(e.status())) throw;
  }
}

void PublishPump::handle(SubscriptionBook::Subscription& sub, const NotificationMessage& message) {
  book_.acks.gather(sub.id, message.sequence_number);
  if (!message.data_changes.empty() || !message.events.empty()) ++book_.update.notifications;
  const Timestamp arrival = book_.wall_now();
  // Room for the whole message at once (still doubling, so that many small messages do not
  // each move the update), rather than growing value by value.
  std::vector<SubscriptionUpdate::Change>& changes = book_.update.changes;
  const std::size_t needed = changes.size() + message.data_changes.size();
  if (needed > changes.capacity()) changes.reserve(std::max(needed, 2 * changes.capacity()));
  for (const MonitoredItemNotification& change : message.data_changes) {
    const auto slot = book_.slot_of(change.client_handle);
    if (slot && !book_.is_event(*slot)) delivery_.emit(*slot, change.value, arrival);
  }
  if (!message.events.empty()) events_.take(sub, message.events);
  for (const std::uint32_t code : message.status_changes) {
    if (!ends_subscription(code) || sub.recreate) continue;
    sub.recreate = true;
    logger()->warn("OPC UA subscription {} ended by the server ({}): creating it again", sub.id,
                   status_text(code));
  }
}

void PublishPump::fill_gaps() {
  for (SubscriptionBook::Subscription& sub : book_.subscriptions) {
    if (sub.recreate) continue;
    const NotificationSequence::Gap gap = sub.sequence.gap();
    if (gap.count == 0) continue;
    book_.update.publish_gaps += gap.count;
    logger()->info(
        "OPC UA subscription {}: {} notification message(s) from {} missing: asking "
        "the server again",
        sub.id, gap.count, gap.first);
    std::uint32_t lost = 0;
    std::uint32_t last_lost = 0;
    // Each tag's first value after a lost message goes out after_gap, whether a later message
    // or the Read below brings it; marked once per run of lost messages.
    bool marked = false;
    const auto mark = [&] {
      if (!marked) delivery_.mark_gap(sub.items);
      marked = true;
    };
    for (std::uint32_t k = 0; k < gap.count && !sub.recreate; ++k) {
      const std::uint32_t number = sub.sequence.next();
      if (k == kMaxRepublishesPerGap) {
        // Too long a gap to ask for one by one: the rest is lost.
        lost += gap.count - k;
        last_lost = NotificationSequence::advance(number, gap.count - k - 1);
        mark();
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
        mark();
        ready = sub.sequence.skip();
      }
      for (const NotificationMessage& m : ready) handle(sub, m);
      if (!ready.empty()) marked = false;
    }
    if (lost == 0) continue;
    book_.update.lost_not_available += lost;
    // Alarms that changed in the lost messages are reported again.
    if (book_.holds_events(sub)) sub.refresh_due = true;
    logger()->warn(
        "OPC UA subscription {}: {} notification message(s) between {} and {} are no "
        "longer on the server and their values are lost; reading its {} tags once",
        sub.id, lost, gap.first, last_lost, sub.items.size());
    delivery_.read_tags(sub.items);
  }
}

void PublishPump::republish_forward(SubscriptionBook::Subscription& sub) {
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

SubscriptionUpdate PublishPump::finish_update() {
  book_.update.ack_token =
      book_.acks.seal(!book_.update.changes.empty() || !book_.update.events.empty());
  if (book_.last_publish_time) {
    book_.update.server_time =
        *book_.last_publish_time + std::chrono::duration_cast<Timestamp::duration>(
                                       book_.steady_now() - book_.last_publish_arrival);
  }
  return std::exchange(book_.update, SubscriptionUpdate{});
}

void PublishPump::wait_until(SteadyTime deadline) const {
  const auto left = deadline - book_.steady_now();
  if (left > std::chrono::steady_clock::duration::zero()) std::this_thread::sleep_for(left);
}

void PublishPump::gather(SteadyTime deadline) {
  // Wait for the first data; then take only what has arrived already.
  bool got_data = false;
  for (std::size_t answers = 0; answers < kMaxAnswersPerPoll || !got_data; ++answers) {
    if (services_.publishes_outstanding() == 0) {
      // Nothing can arrive (no subscription, or Publish refused for now): wait out the time
      // here rather than have the caller spin.
      if (!got_data) wait_until(deadline);
      break;
    }
    const std::uint64_t before = book_.update.notifications + book_.update.changes.size();
    if (!receive(got_data ? book_.steady_now() : deadline)) break;
    if (book_.update.notifications + book_.update.changes.size() > before) got_data = true;
    top_up();
    if (!got_data && book_.steady_now() >= deadline) {
      // One more look for what has already arrived, then give up waiting.
      got_data = true;
    }
  }
}

}  // namespace pyqar::ua
