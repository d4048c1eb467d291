#pragma once
// What a collector asks of an OPC source that reports by exception (subscriptions), and what
// the source hands back. Plain values; safe to copy between threads.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pyqar/event_types.h"
#include "pyqar/qar_types.h"

namespace pyqar {

// How values are acquired: one Read per interval, or notifications from subscriptions.
enum class Acquisition { read, subscribe };

enum class DeadbandType { none, absolute, percent };

// How one tag is monitored.
struct MonitorSettings {
  // How often the server samples; negative: as often as it publishes, 0: its fastest.
  double sampling_interval_ms = -1.0;
  // Values the server queues between two publishes; 0: enough for one publishing interval
  // (ceil(publishing / sampling) + 1).
  std::uint32_t queue_size = 0;
  DeadbandType deadband_type = DeadbandType::none;
  double deadband = 0.0;  // >= 0; a percentage (<= 100) for DeadbandType::percent

  friend bool operator==(const MonitorSettings&, const MonitorSettings&) = default;
};

// One tag to monitor; the position in the list given to subscribe() is its index.
struct MonitoredTag {
  TagDescriptor tag;
  MonitorSettings settings;
};

struct SubscriptionSettings {
  double publishing_interval_ms = 1000.0;
  // Beside the tags' items, one event monitored item per notifier, in the same subscriptions
  // (the tag list may then be empty: events alone). After each creation, recreation or
  // transfer of an event item's subscription the server is asked for ConditionRefresh, so that
  // the alarms active already are reported again.
  EventSettings events{};
};

// What arrived since the last poll. Values of one tag come in the order the server produced
// them. Every value of a notification message comes once (a message the server sends again,
// after a republish or a transfer, is left out by its sequence number), also several values
// at one source time and values whose source time went back. An initial value (the first of
// a new or recreated item, or one read after lost messages, a recreation or a resume) is left
// out only when it repeats the tag's last value, status and source time.
struct SubscriptionUpdate {
  struct Change {
    std::size_t tag_index = 0;  // into the list given to subscribe()
    ValueObject value;          // timestamp: source time, else server time, else arrival
    // Values of this tag just before this one may be missing: a collector that keeps history
    // fills the span from the tag's previous value to this one. Set on the tag's first value
    // after messages the server no longer had (whether a later message or the Read that
    // follows brings it), on its first value after its monitored item was created again (a
    // new session without transfer, a subscription ended, deleted or silent, a server restart,
    // a creation refused for a while, a new publishing interval), and on a value flagged with
    // the overflow bit. Not on the first value a tag delivers since it joined the list (unless
    // flagged with overflow): that span is the collector's to take from what it has stored.
    // Not after a resume or transfer whose Republish brought back every message. When the
    // value that would carry it repeats the last one and is left out, the tag's next value
    // carries it instead: the repeat is never delivered.
    bool after_gap = false;
  };
  std::vector<Change> changes;
  // Events in the order the server reported them. An event whose EventId was delivered
  // already (a message sent again in new form) is left out; events between a RefreshStart and
  // a RefreshEnd of their subscription are marked refresh (the two markers themselves are not
  // delivered).
  std::vector<EventRecord> events{};
  // Acknowledges what this update holds once its rows are kept (acknowledge(token)); 0 when
  // there is nothing to acknowledge.
  std::uint64_t ack_token = 0;

  // Counted since the previous poll.
  std::uint64_t notifications = 0;       // notification messages with data (not keep-alives)
  std::uint64_t publish_gaps = 0;        // missing sequence numbers found
  std::uint64_t lost_not_available = 0;  // values lost: messages the server no longer had
  // Values flagged with the overflow bit: each stands for at least one value the server's
  // queue discarded before it.
  std::uint64_t lost_overflow = 0;
  std::uint64_t recreations = 0;  // subscriptions created again
  // Creations the server refused because it holds no more monitored items (its tags are tried
  // again a minute later).
  std::uint64_t server_full = 0;
  // Values whose source time is earlier than their tag's previous one (delivered all the same).
  std::uint64_t source_time_steps_back = 0;
  // ConditionRefresh calls since the previous poll, by outcome: accepted, or refused (a server
  // without conditions, a bad subscription).
  std::uint64_t condition_refreshes_ok = 0;
  std::uint64_t condition_refreshes_failed = 0;
  // The server's clock as of this poll: the publish time of its latest Publish answer moved
  // on by the time elapsed here since; empty until an answer carried one.
  std::optional<Timestamp> server_time{};
};

// The source's subscriptions now.
struct SubscriptionStatus {
  std::size_t subscriptions = 0;
  std::size_t items_ok = 0;
  std::size_t items_failed = 0;
  // Whether every subscription has heard from the server (data or keep-alive) within its
  // watchdog limit (keep-alive count x publishing interval plus a margin).
  bool alive = true;
  // The longest watchdog limit in force, in seconds (0 before subscribe()).
  double watchdog_seconds = 0.0;
  // Monitored items to which the server gave a smaller queue than one publishing interval
  // needs (ceil(publishing / sampling) + 1, or the queue size set).
  std::size_t items_queue_below_need = 0;
  // Event monitored items (not counted in items_ok / items_failed).
  std::size_t event_items_ok = 0;
  std::size_t event_items_failed = 0;
};

}  // namespace pyqar
