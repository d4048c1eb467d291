#pragma once
// What the subscription engine asks the server for: the subscription's parameters for a
// publishing interval, and each tag's monitored item (sampling, automatic queue size,
// deadband filter). Pure functions; any thread.

#include <cstdint>

#include "node_id.h"
#include "pyqar/subscription_types.h"
#include "ua_subscription_messages.h"

namespace pyqar::ua {

// Keep-alives about every 10 s, and a lifetime that outlives an outage of 5 minutes (at
// least three keep-alive periods, as the protocol asks), so that a subscription can be
// resumed after a short one. Notifications per Publish are capped so that an answer fits in
// `max_response_bytes` (0: the largest message this client accepts), which a numeric value
// does with room to spare.
SubscriptionParameters subscription_parameters(double publishing_interval_ms,
                                               std::uint32_t max_response_bytes = 0);
// How long the server keeps a subscription of `publishing_interval_ms` without a Publish
// request (its lifetime count times the interval), in milliseconds.
double subscription_lifetime_ms(double publishing_interval_ms);

// The queue: as set, else enough for one publishing interval, ceil(publishing / sampling) + 1
// (sampling "as often as it publishes" gives 2; "the server's fastest" is taken as 10 ms; at
// most 1,000).
std::uint32_t queue_size_for(const MonitorSettings& settings, double publishing_interval_ms);

// The item for tag `client_handle` at `node`; with its deadband filter unless `with_filter` is
// false (the server refused it).
MonitoredItemToCreate monitored_item(std::uint32_t client_handle, NodeId node,
                                     const MonitorSettings& settings, double publishing_interval_ms,
                                     bool with_filter);

}  // namespace pyqar::ua
