#pragma once
// SubscriptionFeed: the subscribing side of a collector. It subscribes the tag list on a source
// that reports by exception (again whenever the list changes), polls it, adds heartbeat rows
// for tags whose value stayed unchanged, and acknowledges each update to the source only once
// the collector says its rows are kept. Owned by BasePyQARCollectorThread; used on the
// collector thread only (or on the caller's thread in single-step use).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pyqar/rt_source.h"
#include "pyqar/subscription_types.h"
#include "quellin/acquisition_options.h"
#include "quellin/collector_metrics.h"
#include "subscription_state_file.h"

namespace quellin {

class SubscriptionFeed {
 public:
  struct Options {
    AcquisitionOptions acquisition{};
    double publishing_interval_seconds = 1.0;
    std::function<double()> clock{};             // monotonic seconds; required
    std::function<std::int64_t()> wall_clock{};  // UTC microseconds; required
    // Where the subscriptions are kept for a later process to take over after a crash; used
    // only where the source allows that. Null: not kept.
    std::shared_ptr<SubscriptionStateFile> state_file{};
  };

  // What one or more polls brought, one row per change: the values as they arrived, then the
  // heartbeat rows.
  struct Received {
    std::vector<pyqar::SubscriptionUpdate::Change> changes;
    // One per change: the value's own time (source, else server, else arrival) in UTC
    // microseconds; a heartbeat row's is the time it was made, by the server's clock when
    // known.
    std::vector<std::int64_t> row_time_us;
    std::size_t heartbeats = 0;  // the last this many changes are heartbeat rows
    // Events, in the order they arrived; acknowledged with the changes.
    std::vector<pyqar::EventRecord> events;
    std::uint64_t ack_token = 0;  // the latest update's; 0: nothing to acknowledge
    SubscriptionActivity activity{};
  };

  // Throws std::invalid_argument when a clock is missing or the heartbeat is negative.
  explicit SubscriptionFeed(Options options);

  // Whether `tags` must be subscribed: nothing is yet, or the list changed.
  bool needs_subscription(const std::vector<std::string>& tags) const {
    return !subscribed_ || tags != tags_;
  }
  // Subscribes `tags` (their descriptors alongside), replacing what was subscribed. Throws
  // std::runtime_error when the connection fails.
  void subscribe(pyqar::RtSource& source, const std::vector<std::string>& tags,
                 std::vector<pyqar::TagDescriptor> descriptors);
  // A collector thread's pass: polls until `deadline` (monotonic seconds) or until
  // keep_going() says no, in slices of at most kPollSliceSeconds, acknowledging before each
  // poll what kept() says is kept. Adds what arrived to `into`, also when a poll throws.
  void receive_until(pyqar::RtSource& source, double deadline,
                     const std::function<bool()>& keep_going,
                     const std::function<std::uint64_t()>& kept, Received& into);
  // A single step: acknowledges what is kept, then takes what has arrived, waiting up to
  // `first_wait` for the first of it.
  void drain(pyqar::RtSource& source, std::chrono::milliseconds first_wait, std::uint64_t kept,
             Received& into);
  // Polls once, waiting up to `wait`, and adds what arrived to `into`; true when anything
  // did (values, counts or something to acknowledge). Throws what poll() throws; a change
  // for a tag the list does not hold is a broken source: std::out_of_range.
  bool poll(pyqar::RtSource& source, std::chrono::milliseconds wait, Received& into);

  // A pass waits for notifications in slices no longer than this, so that a stop is seen
  // soon; and at least this long, so that a zero interval does not spin.
  static constexpr double kPollSliceSeconds = 0.5;
  static constexpr double kMinPollSeconds = 0.01;
  // Adds a row for every tag whose last value is heartbeat_seconds old or older (by the time
  // it arrived or was last repeated): the same value, status and source time, stored at now by
  // the server's clock (as the latest update gave it), else by the wall clock.
  void add_heartbeats(Received& into);
  // What the rows of the updates up to `ack_token` complete, for the write stage to record
  // once they are durable (see WriteCycle::covers): per subscription, the last notification
  // message kept then. Empty when nothing is kept for a later process.
  std::vector<pyqar::KeptSequence> covers(const pyqar::RtSource& source,
                                          std::uint64_t ack_token) const;
  // The rows of an update up to `ack_token` went to the owner under `ticket` (0: nothing to
  // keep, so it may be acknowledged at once).
  void handed_over(std::uint64_t ticket, std::uint64_t ack_token);
  // Acknowledges to the source the latest update whose ticket is at most `kept_through`.
  void acknowledge_kept(pyqar::RtSource& source, std::uint64_t kept_through);
  // The source is gone or replaced: the next use subscribes again, and nothing that waited
  // for acknowledgement is acknowledged (its tokens belong to the old source).
  void reset();
  // The subscriptions were deleted: a later process finds nothing to take over.
  void forget_state();

  bool subscribed() const { return subscribed_; }
  // The subscribed tag names, by tag index.
  const std::vector<std::string>& tags() const { return tags_; }
  double heartbeat_seconds() const { return heartbeat_seconds_; }
  bool events_enabled() const { return acquisition_.events.enabled(); }

 private:
  // The last value of a tag, for its heartbeat.
  struct LastValue {
    pyqar::ValueObject value;
    double stored_at = 0.0;  // monotonic time it arrived or was last repeated
    bool known = false;
  };

  pyqar::MonitorSettings settings_for(const std::string& tag) const;
  std::int64_t row_time(const pyqar::ValueObject& value) const;
  std::int64_t heartbeat_time(double now) const;
  // At the first subscribe: whether the source's subscriptions can outlive this process, and
  // what an earlier one left.
  void prepare_state(const pyqar::RtSource& source);
  // Writes the subscriptions for a later process when they changed (or `everything`). The
  // kept numbers are the write stage's to record.
  void save_state(const pyqar::RtSource& source, bool everything);

  const AcquisitionOptions acquisition_;
  const double publishing_interval_seconds_;
  const double heartbeat_seconds_;
  std::function<double()> clock_;
  std::function<std::int64_t()> wall_clock_;
  bool subscribed_ = false;
  std::vector<std::string> tags_;
  std::vector<LastValue> last_;  // by tag index; empty without heartbeats
  // Updates handed over and not yet acknowledged: (ticket, ack token), oldest first.
  std::deque<std::pair<std::uint64_t, std::uint64_t>> unacknowledged_;
  // The server's time from the latest update that gave one (UTC microseconds) and the
  // monotonic time it came.
  std::optional<std::pair<std::int64_t, double>> server_time_;
  // Offered, and used (state_) once the source allows it; null otherwise.
  std::shared_ptr<SubscriptionStateFile> state_file_;
  bool state_prepared_ = false;
  std::shared_ptr<SubscriptionStateFile> state_;
  std::optional<pyqar::ReclaimableSubscriptions> previous_;
  std::uint64_t saved_version_ = 0;
  bool save_failure_reported_ = false;
};

}  // namespace quellin
