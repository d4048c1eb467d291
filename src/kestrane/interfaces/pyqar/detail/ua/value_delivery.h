#pragma once
// ValueDelivery: hands the values of subscribed tags to the poll's update, each once: a value
// no newer than the last one delivered for its tag is left out, so that republished, re-read
// and initial values are not stored twice. Also reads tags once (after lost messages or a
// recreation) in reads the server accepts. Part of the SubscriptionEngine; one thread at a time.

#include <cstdint>
#include <span>

#include "pyqar/qar_types.h"
#include "subscription_book.h"
#include "subscription_services.h"

namespace pyqar::ua {

class ValueDelivery {
 public:
  // Both must outlive the delivery.
  ValueDelivery(SubscriptionServices& services, SubscriptionBook& book)
      : services_(services), book_(book) {}

  void emit(std::uint32_t index, const DataValue& value, Timestamp arrival);
  // Reads the monitored ones of `indices` and emits what has not been delivered yet.
  void read_tags(std::span<const std::uint32_t> indices);

 private:
  SubscriptionServices& services_;
  SubscriptionBook& book_;
};

}  // namespace pyqar::ua
