#include "monitored_item_request.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace pyqar::ua {
namespace {

constexpr double kKeepAliveEveryMs = 10'000.0;
constexpr double kLifetimeMs = 300'000.0;
constexpr double kFastestSamplingMs = 10.0;
constexpr double kMaxAutomaticQueueSize = 1000.0;

}  // namespace

SubscriptionParameters subscription_parameters(double publishing_interval_ms) {
  const double interval = std::max(publishing_interval_ms, 1.0);
  SubscriptionParameters p;
  p.publishing_interval_ms = publishing_interval_ms;
  p.max_keep_alive_count =
      static_cast<std::uint32_t>(std::clamp(std::ceil(kKeepAliveEveryMs / interval), 1.0, 1000.0));
  p.lifetime_count = static_cast<std::uint32_t>(
      std::max(3.0 * p.max_keep_alive_count, std::min(std::ceil(kLifetimeMs / interval), 1.0e6)));
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
