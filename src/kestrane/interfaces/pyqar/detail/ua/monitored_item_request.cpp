#include "monitored_item_request.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ua_limits.h"

namespace pyqar::ua {
namespace {

constexpr double kKeepAliveEveryMs = 10'000.0;
constexpr double kLifetimeMs = 300'000.0;
constexpr double kFastestSamplingMs = 10.0;
constexpr double kMaxAutomaticQueueSize = 1000.0;
// What one notification may take in a Publish answer: a numeric value with its handle, status
// and two timestamps takes about 40 bytes; the rest is room for short texts.
constexpr std::uint32_t kBytesPerNotification = 256;
// The message and security headers, the response header, the acknowledgement results and the
// available sequence numbers.
constexpr std::uint32_t kResponseOverheadBytes = 16 * 1024;

}  // namespace

SubscriptionParameters subscription_parameters(double publishing_interval_ms,
                                               std::uint32_t max_response_bytes) {
  const double interval = std::max(publishing_interval_ms, 1.0);
  SubscriptionParameters p;
  p.publishing_interval_ms = publishing_interval_ms;
  p.max_keep_alive_count =
      static_cast<std::uint32_t>(std::clamp(std::ceil(kKeepAliveEveryMs / interval), 1.0, 1000.0));
  p.lifetime_count = static_cast<std::uint32_t>(
      std::max(3.0 * p.max_keep_alive_count, std::min(std::ceil(kLifetimeMs / interval), 1.0e6)));
  // Unlimited would let a busy server send an answer larger than we accept, which breaks the
  // channel every time it is sent again.
  const std::uint32_t bytes =
      max_response_bytes == 0 ? kMaxMessageSize : std::min(max_response_bytes, kMaxMessageSize);
  p.max_notifications_per_publish = bytes > kResponseOverheadBytes + kBytesPerNotification
                                        ? (bytes - kResponseOverheadBytes) / kBytesPerNotification
                                        : 1;
  return p;
}

double subscription_lifetime_ms(double publishing_interval_ms) {
  return std::max(publishing_interval_ms, 1.0) *
         static_cast<double>(subscription_parameters(publishing_interval_ms).lifetime_count);
}

std::uint32_t queue_size_for(const MonitorSettings& settings, double publishing_interval_ms) {
  if (settings.queue_size > 0) return settings.queue_size;
  double sampling =
      settings.sampling_interval_ms < 0 ? publishing_interval_ms : settings.sampling_interval_ms;
  if (sampling <= 0) sampling = kFastestSamplingMs;
  const double size = std::ceil(std::max(publishing_interval_ms, 0.0) / sampling) + 1;
  return static_cast<std::uint32_t>(std::clamp(size, 2.0, kMaxAutomaticQueueSize));
}

MonitoredItemToCreate monitored_item(std::uint32_t client_handle, NodeId node,
                                     const MonitorSettings& settings, double publishing_interval_ms,
                                     bool with_filter) {
  MonitoredItemToCreate r;
  r.node = std::move(node);
  r.client_handle = client_handle;
  // Negative asks the server to sample as often as it publishes.
  r.sampling_interval_ms = settings.sampling_interval_ms < 0 ? -1.0 : settings.sampling_interval_ms;
  r.queue_size = queue_size_for(settings, publishing_interval_ms);
  r.discard_oldest = true;
  if (with_filter && settings.deadband_type != DeadbandType::none) {
    r.filter = DataChangeFilter{.trigger = kTriggerStatusValue,
                                .deadband_type = settings.deadband_type == DeadbandType::absolute
                                                     ? kDeadbandAbsolute
                                                     : kDeadbandPercent,
                                .deadband_value = settings.deadband};
  }
  return r;
}

}  // namespace pyqar::ua
