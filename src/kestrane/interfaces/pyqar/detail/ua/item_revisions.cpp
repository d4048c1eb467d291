#include "item_revisions.h"

#include "journel/log.h"

namespace pyqar::ua {
namespace {

// Sampling intervals are doubles on the wire: a server echoing ours may round it.
constexpr double kSamplingTolerance = 1e-3;

}  // namespace

bool ItemRevisions::note(const MonitoredItemToCreate& asked, std::uint32_t need,
                         const MonitoredItemCreateResult& granted, double publishing_interval_ms) {
  // A negative interval asks for sampling as often as the subscription publishes; 0 for the
  // server's fastest, which no answer undercuts.
  const double wanted =
      asked.sampling_interval_ms < 0 ? publishing_interval_ms : asked.sampling_interval_ms;
  if (wanted > 0 && granted.revised_sampling_interval_ms > wanted * (1 + kSamplingTolerance)) {
    if (slow_sampling_++ == 0) {
      sampling_asked_ms_ = wanted;
      sampling_granted_ms_ = granted.revised_sampling_interval_ms;
    }
  }
  if (granted.revised_queue_size == 0 || granted.revised_queue_size >= need) return false;
  if (short_queues_++ == 0) {
    queue_needed_ = need;
    queue_granted_ = granted.revised_queue_size;
  }
  return true;
}

void ItemRevisions::report(std::uint32_t subscription_id, double publishing_interval_ms) {
  auto log = journel::get_logger("pyqar");
  if (short_queues_ > 0 && !queues_reported_) {
    queues_reported_ = true;
    log->warn(
        "OPC UA subscription {}: the server gave {} tags a queue smaller than one publishing "
        "interval of {} ms needs (e.g. {} where {} were asked for): changes of those tags "
        "between two publishes beyond their queue are lost, flagged as overflows",
        subscription_id, short_queues_, publishing_interval_ms, queue_granted_, queue_needed_);
  }
  if (slow_sampling_ > 0 && !sampling_reported_) {
    sampling_reported_ = true;
    log->warn(
        "OPC UA subscription {}: the server samples {} tags slower than asked (e.g. every {} ms "
        "where {} ms was asked for): changes shorter than that may not be seen",
        subscription_id, slow_sampling_, sampling_granted_ms_, sampling_asked_ms_);
  }
}

}  // namespace pyqar::ua
