#include "subscription_healer.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "journel/log.h"
#include "status_code.h"
#include "subscription_faults.h"

namespace pyqar::ua {
namespace {

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("pyqar"); }

}  // namespace

void SubscriptionHealer::note_start_time() {
  try {
    server_start_time_ = services_.server_start_time();
  } catch (const ServiceError&) {
    server_start_time_.reset();
  }
}

void SubscriptionHealer::heal(Reconnected how) {
  creator_.refresh_limits(how == Reconnected::new_session);
  std::optional<std::int64_t> start;
  try {
    start = services_.server_start_time();
  } catch (const ServiceError&) {
  }
  const bool restarted = start && server_start_time_ && *start != *server_start_time_;
  if (start) server_start_time_ = start;
  // Time without a connection is not silence of the server.
  const SteadyTime now = book_.steady_now();
  for (SubscriptionBook::Subscription& sub : book_.subscriptions) sub.last_heard = now;

  if (restarted) {
    const SubscriptionStatus held = book_.status();
    logger()->info(
        "OPC UA server restarted (its start time changed): creating {} subscriptions again for "
        "{} tags{}",
        std::max<std::size_t>(book_.subscriptions.size(), 1), held.items_ok + held.items_failed,
        held.event_items_ok + held.event_items_failed == 0
            ? std::string()
            : fmt::format(" and {} event notifiers",
                          held.event_items_ok + held.event_items_failed));
    creator_.refresh_limits(true);
    events_.server_restarted();
    // A restarted server kept nothing of ours to read back: the new items' first
    // notifications are the current values, so a Read of every tag would only double them.
    creator_.drop_all_and_create(false);
    return;
  }
  if (how == Reconnected::same_session) {
    logger()->info(
        "OPC UA session resumed on a new channel: {} subscriptions kept, asking for what was "
        "missed",
        book_.subscriptions.size());
    for (SubscriptionBook::Subscription& sub : book_.subscriptions) pump_.republish_forward(sub);
    const bool incomplete = creator_.incomplete();  // replacing a subscription clears it
    creator_.replace_unanswered();
    if (incomplete) creator_.finish_creation();
    return;
  }
  if (book_.subscriptions.empty()) {
    logger()->info("OPC UA session replaced: creating the subscriptions");
    creator_.drop_all_and_create(true);
    return;
  }
  if (!services_.transfer_allowed()) {
    logger()->info(
        "OPC UA session replaced; subscriptions cannot move to a new session of an anonymous "
        "user over security None: creating {} subscriptions again",
        book_.subscriptions.size());
    creator_.drop_all_and_create(true);
    return;
  }
  std::vector<std::uint32_t> ids;
  for (const SubscriptionBook::Subscription& sub : book_.subscriptions) ids.push_back(sub.id);
  TransferSubscriptionsResponse transferred;
  try {
    transferred = services_.transfer_subscriptions(ids);
  } catch (const ServiceError& e) {
    if (session_fault(e.status())) throw;
    logger()->info(
        "OPC UA session replaced; the server did not transfer the subscriptions ({}): creating "
        "{} subscriptions again",
        status_text(e.status()), book_.subscriptions.size());
    creator_.drop_all_and_create(true);
    return;
  }
  std::vector<std::size_t> refused;
  for (std::size_t slot = 0; slot < book_.subscriptions.size(); ++slot) {
    const std::uint32_t code = slot < transferred.results.size() ? transferred.results[slot].status
                                                                 : status::BadUnexpectedError;
    if (severity(code) == Severity::Bad) {
      refused.push_back(slot);
      continue;
    }
    SubscriptionBook::Subscription& sub = book_.subscriptions[slot];
    sub.available = transferred.results[slot].available_sequence_numbers;
    // The alarms' states are asked for again on the new session: what its messages lost, and
    // states the old one never sent.
    if (book_.holds_events(sub)) sub.refresh_due = true;
    pump_.republish_forward(sub);
  }
  logger()->info("OPC UA session replaced: {} subscriptions transferred to it, {} created again",
                 book_.subscriptions.size() - refused.size(), refused.size());
  const bool incomplete = creator_.incomplete();  // replacing a subscription clears it
  if (!refused.empty()) {
    std::vector<std::uint32_t> indices;
    for (const std::size_t slot : refused) {
      const std::vector<std::uint32_t>& items = book_.subscriptions[slot].items;
      indices.insert(indices.end(), items.begin(), items.end());
    }
    creator_.recreate(std::move(refused));
    delivery_.read_tags(indices);
  }
  creator_.replace_unanswered();
  if (incomplete) creator_.finish_creation();
}

void SubscriptionHealer::check_watchdog() {
  const SteadyTime now = book_.steady_now();
  std::vector<std::size_t> dead;
  for (std::size_t slot = 0; slot < book_.subscriptions.size(); ++slot) {
    const SubscriptionBook::Subscription& sub = book_.subscriptions[slot];
    if (sub.recreate) {
      dead.push_back(slot);
      continue;
    }
    const auto limit = SubscriptionBook::watchdog_limit(sub);
    if (now - sub.last_heard <= limit) continue;
    logger()->warn(
        "OPC UA subscription {}: no notification or keep-alive for {:.0f} s (limit {:.0f} s): "
        "creating it again",
        sub.id, std::chrono::duration<double>(now - sub.last_heard).count(),
        std::chrono::duration<double>(limit).count());
    dead.push_back(slot);
  }
  if (!dead.empty()) creator_.recreate(std::move(dead));
}

}  // namespace pyqar::ua
