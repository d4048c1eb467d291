#pragma once
// ValueDelivery: hands the values of subscribed tags to the poll's update. Every value of a
// notification message is delivered (the message itself is handled once: NotificationSequence
// drops one seen before); an initial value (the first notification of a new item, or a value
// read once after lost messages or a recreation) is left out when it repeats the tag's last
// delivered value, status and source time, and so is the server's queued copy of a value read
// once (the older changes it queued before it are delivered). A source time earlier than the
// tag's previous one is delivered, counted and logged (once an hour per tag). The first value
// a tag delivers after a possible loss goes out after_gap; when the value that would carry the
// mark is left out as a repeat, the tag's next delivered value carries it, so that no row is
// stored twice and no gap is forgotten. Also reads tags once in reads the server accepts. Part
// of the SubscriptionEngine; one thread at a time.

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

#include "pyqar/qar_types.h"
#include "subscription_book.h"
#include "subscription_services.h"

namespace pyqar::ua {

class StructureCatalog;

class ValueDelivery {
 public:
  // Both must outlive the delivery.
  ValueDelivery(SubscriptionServices& services, SubscriptionBook& book)
      : services_(services), book_(book) {}

  // A value from a notification message.
  void emit(std::uint32_t index, const DataValue& value, Timestamp arrival);
  // Reads the monitored ones of `indices` and delivers what does not repeat the last value.
  void read_tags(std::span<const std::uint32_t> indices);
  // Values of the tag may be missing before its next one, which goes out after_gap. A tag that
  // has delivered nothing yet is not marked: the span before its first value is the
  // collector's to take from what it has stored.
  void mark_gap(std::uint32_t index);
  void mark_gap(std::span<const std::uint32_t> indices);

  // A 24-bit hash of what makes two values of a tag the same: value, status, source time
  // (SubscriptionBook::Item::kNoSourceTime when it has none).
  static std::uint32_t fingerprint(const ValueObject& value, std::int64_t source_time);

 private:
  void deliver(std::uint32_t index, ValueObject value, bool initial, bool read = false);
  // The value as stored: structures written by `structures` (when set), a structure that
  // does not decode reported for its tag.
  ValueObject convert(std::uint32_t index, const DataValue& value, Timestamp arrival,
                      StructureCatalog* structures);
  void stepped_back(std::uint32_t index, std::int64_t from, std::int64_t to);

  SubscriptionServices& services_;
  SubscriptionBook& book_;
  // When each tag whose source time stepped back was last logged, by tag key: only such tags
  // are held, so the per-tag Item stays small.
  std::unordered_map<std::string, SubscriptionBook::SteadyTime> step_back_logged_;
};

}  // namespace pyqar::ua
