#include "pyqar/rt_source.h"

#include <stdexcept>

namespace pyqar {

namespace {

[[noreturn]] void no_subscriptions() {
  throw std::logic_error("this OPC source has no subscriptions");
}

}  // namespace

void RtSource::subscribe(std::vector<MonitoredTag>, const SubscriptionSettings&) {
  no_subscriptions();
}
SubscriptionUpdate RtSource::poll(std::chrono::milliseconds) { no_subscriptions(); }
void RtSource::acknowledge(std::uint64_t) { no_subscriptions(); }
void RtSource::resume() { no_subscriptions(); }
SubscriptionStatus RtSource::subscription_status() const { no_subscriptions(); }
void RtSource::unsubscribe() noexcept {}
std::string RtSource::reclaim_refusal() const {
  return "this OPC source cannot hand its subscriptions to a later process";
}
void RtSource::reclaim_at_subscribe(ReclaimableSubscriptions) {}

}  // namespace pyqar
