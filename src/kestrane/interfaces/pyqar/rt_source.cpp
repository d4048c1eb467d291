#include "pyqar/rt_source.h"

#include <stdexcept>

namespace pyqar {

namespace {

[[noreturn]] void no_subscriptions() {
  throw std::logic_error("this OPC source has no subscriptions");
}

[[noreturn]] void no_history() { throw std::logic_error("this OPC source keeps no history"); }

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

std::vector<std::optional<bool>> RtSource::keeps_history(const std::vector<TagDescriptor>&) {
  no_history();
}
HistoryLimits RtSource::history_limits() { no_history(); }
std::vector<HistoryPage> RtSource::read_history(const std::vector<HistoryQuery>&, std::uint32_t) {
  no_history();
}
void RtSource::release_history(const std::vector<HistoryQuery>&) noexcept {}

std::vector<VariableMetadata> RtSource::read_metadata(const std::vector<TagDescriptor>&) {
  throw std::logic_error("this OPC source cannot read what its server says of a variable");
}

}  // namespace pyqar
