#include "subscription_feed.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <spdlog/spdlog.h>

#include "journel/log.h"

namespace quellin {

namespace {

std::int64_t to_us(pyqar::Timestamp t) {
  return std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// Adds the update's counts up; true when it counted anything.
bool add(SubscriptionActivity& into, const pyqar::SubscriptionUpdate& update) {
  into.notifications += update.notifications;
  into.publish_gaps += update.publish_gaps;
  into.lost_not_available += update.lost_not_available;
  into.lost_overflow += update.lost_overflow;
  into.recreations += update.recreations;
  into.server_full += update.server_full;
  into.source_time_steps_back += update.source_time_steps_back;
  into.condition_refreshes_ok += update.condition_refreshes_ok;
  into.condition_refreshes_failed += update.condition_refreshes_failed;
  return update.condition_refreshes_ok + update.condition_refreshes_failed + update.notifications +
             update.publish_gaps + update.lost_not_available + update.lost_overflow +
             update.recreations + update.server_full + update.source_time_steps_back >
         0;
}

std::chrono::milliseconds wait_for(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000.0)));
}

}  // namespace

SubscriptionFeed::SubscriptionFeed(Options options)
    : acquisition_(std::move(options.acquisition)),
      publishing_interval_seconds_(options.publishing_interval_seconds),
      heartbeat_seconds_(acquisition_.heartbeat_seconds),
      clock_(std::move(options.clock)),
      wall_clock_(std::move(options.wall_clock)),
      state_file_(std::move(options.state_file)) {
  if (!clock_ || !wall_clock_) {
    throw std::invalid_argument("a subscription feed needs a clock and a wall clock");
  }
  if (!std::isfinite(heartbeat_seconds_) || heartbeat_seconds_ < 0.0) {
    throw std::invalid_argument("the heartbeat must be a finite number of seconds >= 0, got " +
                                std::to_string(heartbeat_seconds_));
  }
}

pyqar::MonitorSettings SubscriptionFeed::settings_for(const std::string& tag) const {
  const auto it = acquisition_.tag_monitor.find(tag);
  return it == acquisition_.tag_monitor.end() ? acquisition_.monitor : it->second;
}

void SubscriptionFeed::subscribe(pyqar::RtSource& source, const std::vector<std::string>& tags,
                                 std::vector<pyqar::TagDescriptor> descriptors) {
  auto log = journel::get_logger("quellin");
  // A tag that stays keeps its last value for its heartbeat; the source keeps its monitored
  // item, so the updates waiting for acknowledgement stay valid too.
  std::vector<LastValue> last;
  if (heartbeat_seconds_ > 0.0) last.resize(tags.size());
  if (subscribed_) {
    std::unordered_multimap<std::string_view, std::size_t> before;
    before.reserve(tags_.size());
    for (std::size_t i = 0; i < tags_.size(); ++i) before.emplace(tags_[i], i);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < tags.size(); ++i) {
      const auto it = before.find(tags[i]);
      if (it == before.end()) continue;
      if (!last.empty() && it->second < last_.size()) last[i] = last_[it->second];
      before.erase(it);
      ++kept;
    }
    log->info(
        "The tag list changed ({} tags now, {} before): {} kept, {} added, {} removed; "
        "subscribing the changes",
        tags.size(), tags_.size(), kept, tags.size() - kept, before.size());
  }
  std::vector<pyqar::MonitoredTag> monitored;
  monitored.reserve(descriptors.size());
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    monitored.push_back({std::move(descriptors[i]), settings_for(tags[i])});
  }
  prepare_state(source);
  // A new source takes over what the earlier process left; a list change keeps its own.
  if (!subscribed_ && previous_) source.reclaim_at_subscribe(*previous_);
  subscribed_ = false;
  source.subscribe(std::move(monitored),
                   {.publishing_interval_ms = publishing_interval_seconds_ * 1000.0,
                    .events = acquisition_.events});
  tags_ = tags;
  last_ = std::move(last);
  subscribed_ = true;
  previous_.reset();
  save_state(source, true);
  const pyqar::SubscriptionStatus status = source.subscription_status();
  if (!tags_.empty()) {
    log->info("Subscribed {} tags: {} items monitored, {} failed, in {} subscriptions",
              tags_.size(), status.items_ok, status.items_failed, status.subscriptions);
  }
  if (acquisition_.events.enabled()) {
    log->info("Subscribed events of {} notifiers: {} event items monitored, {} failed",
              acquisition_.events.notifiers.size(), status.event_items_ok,
              status.event_items_failed);
  }
}

std::int64_t SubscriptionFeed::row_time(const pyqar::ValueObject& value) const {
  // A source that gave no time at all: the value is stored at its arrival.
  if (value.timestamp == pyqar::Timestamp{}) return wall_clock_();
  return to_us(value.timestamp);
}

void SubscriptionFeed::receive_until(pyqar::RtSource& source, double deadline,
                                     const std::function<bool()>& keep_going,
                                     const std::function<std::uint64_t()>& kept, Received& into) {
  do {
    acknowledge_kept(source, kept());
    const double slice = std::clamp(deadline - clock_(), kMinPollSeconds, kPollSliceSeconds);
    poll(source, wait_for(slice), into);
  } while (keep_going() && clock_() < deadline);
}

void SubscriptionFeed::drain(pyqar::RtSource& source, std::chrono::milliseconds first_wait,
                             std::uint64_t kept, Received& into) {
  acknowledge_kept(source, kept);
  bool more = poll(source, first_wait, into);
  while (more) more = poll(source, std::chrono::milliseconds(0), into);
}

bool SubscriptionFeed::poll(pyqar::RtSource& source, std::chrono::milliseconds wait,
                            Received& into) {
  pyqar::SubscriptionUpdate update = source.poll(wait);
  const bool counted = add(into.activity, update);
  if (update.ack_token != 0) into.ack_token = update.ack_token;
  const double arrived = clock_();
  if (update.server_time) server_time_ = {to_us(*update.server_time), arrived};
  into.changes.reserve(into.changes.size() + update.changes.size());
  into.row_time_us.reserve(into.row_time_us.size() + update.changes.size());
  for (pyqar::SubscriptionUpdate::Change& change : update.changes) {
    if (change.tag_index >= tags_.size()) {
      throw std::out_of_range("the source reported tag index " + std::to_string(change.tag_index) +
                              " of a list of " + std::to_string(tags_.size()) + " tags");
    }
    if (!last_.empty()) last_[change.tag_index] = {change.value, arrived, true};
    into.row_time_us.push_back(row_time(change.value));
    into.changes.push_back(std::move(change));
  }
  const bool events = !update.events.empty();
  if (into.events.empty()) {
    into.events = std::move(update.events);
  } else {
    into.events.insert(into.events.end(), std::make_move_iterator(update.events.begin()),
                       std::make_move_iterator(update.events.end()));
  }
  return !update.changes.empty() || events || update.ack_token != 0 || counted;
}

void SubscriptionFeed::add_heartbeats(Received& into) {
  if (last_.empty()) return;
  const double now = clock_();
  std::int64_t made_us = 0;
  for (std::size_t i = 0; i < last_.size(); ++i) {
    LastValue& last = last_[i];
    if (!last.known || now - last.stored_at < heartbeat_seconds_) continue;
    if (made_us == 0) made_us = heartbeat_time(now);
    last.stored_at = now;
    into.changes.push_back({i, last.value});
    into.row_time_us.push_back(made_us);
    ++into.heartbeats;
  }
}

std::int64_t SubscriptionFeed::heartbeat_time(double now) const {
  if (!server_time_) return wall_clock_();
  // The server's clock, moved on by what ours counted since: a heartbeat sorts with the
  // source-stamped rows even when the two clocks disagree.
  const auto [server_us, taken] = *server_time_;
  return server_us + static_cast<std::int64_t>(std::llround((now - taken) * 1e6));
}

std::vector<pyqar::KeptSequence> SubscriptionFeed::covers(const pyqar::RtSource& source,
                                                          std::uint64_t ack_token) const {
  if (!state_ || ack_token == 0) return {};
  return source.kept_sequences(ack_token);
}

void SubscriptionFeed::handed_over(std::uint64_t ticket, std::uint64_t ack_token) {
  if (ack_token == 0) return;
  unacknowledged_.emplace_back(ticket, ack_token);
}

void SubscriptionFeed::acknowledge_kept(pyqar::RtSource& source, std::uint64_t kept_through) {
  // A token acknowledges every update up to it: only the latest kept one is sent.
  std::uint64_t token = 0;
  while (!unacknowledged_.empty() && unacknowledged_.front().first <= kept_through) {
    token = unacknowledged_.front().second;
    unacknowledged_.pop_front();
  }
  if (token != 0) source.acknowledge(token);
  // The subscriptions may have changed meanwhile (made again, items added): a later process
  // must find the ones the server holds now. Their kept numbers were recorded by the write
  // stage before `kept_through` reached them.
  if (subscribed_) save_state(source, false);
}

void SubscriptionFeed::prepare_state(const pyqar::RtSource& source) {
  if (state_prepared_ || !state_file_) return;
  state_prepared_ = true;
  const std::string refusal = source.reclaim_refusal();
  if (!refusal.empty()) {
    journel::get_logger("quellin")->warn(
        "Subscriptions of {}: the server's queue of the previous run cannot be reclaimed: {}; "
        "after a crash (kill -9, power cut) the changes not yet stored are lost",
        state_file_->owner().endpoint, refusal);
    return;
  }
  state_ = state_file_;
  previous_ = state_->load();
}

void SubscriptionFeed::save_state(const pyqar::RtSource& source, bool everything) {
  if (!state_) return;
  try {
    const std::uint64_t version = source.reclaimable_version();
    if (!everything && version == saved_version_) return;
    state_->save(source.reclaimable());
    saved_version_ = version;
  } catch (const std::exception& e) {
    if (save_failure_reported_) return;
    save_failure_reported_ = true;
    journel::get_logger("quellin")->warn(
        "Subscription state not kept in {}: {}; after a crash the previous run's subscriptions "
        "may not be taken over",
        state_->dir().string(), e.what());
  }
}

void SubscriptionFeed::forget_state() {
  if (state_) state_->remove();
  saved_version_ = 0;
}

void SubscriptionFeed::reset() {
  subscribed_ = false;
  unacknowledged_.clear();
  last_.clear();
  server_time_.reset();
}

}  // namespace quellin
