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

}  // namespace pyqar
