#include "server_facts.h"

#include <algorithm>
#include <array>
#include <variant>

#include "journel/log.h"
#include "status_code.h"
#include "ua_limits.h"

namespace pyqar::ua {
namespace {

// ServerCapabilities.OperationLimits.MaxNodesPerRead and MaxNodesPerBrowse.
constexpr std::uint32_t kMaxNodesPerReadNode = 11705;
constexpr std::uint32_t kMaxNodesPerBrowseNode = 11710;
constexpr std::uint32_t kMaxNodesPerTranslateNode = 11712;
// Server.NamespaceArray
constexpr std::uint32_t kNamespaceArrayNode = 2255;
// Server.ServerCapabilities, whose newer limits are found by name, and ServerStatus.StartTime.
constexpr std::uint32_t kServerCapabilitiesNode = 2268;
constexpr std::uint32_t kStartTimeNode = 2257;
// ServerCapabilities.OperationLimits.MaxNodesPerHistoryReadData and
// ServerCapabilities.HistoryServerCapabilities.MaxReturnDataValues.
constexpr std::uint32_t kMaxNodesPerHistoryReadDataNode = 12165;
constexpr std::uint32_t kMaxReturnDataValuesNode = 11273;
constexpr char kMaxSubscriptionsPerSession[] = "MaxSubscriptionsPerSession";
constexpr char kMaxMonitoredItemsPerSubscription[] = "MaxMonitoredItemsPerSubscription";

bool readable(const DataValue& v) {
  return v.value && severity(v.status.value_or(0)) != Severity::Bad;
}

std::uint32_t limit_of(const DataValue& v) {
  if (!readable(v)) return 0;
  if (const auto* n = std::get_if<std::uint64_t>(&v.value->scalar)) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(*n, UINT32_MAX));
  }
  return 0;
}

}  // namespace

void ServerFacts::read_at_open() {
  // One request: a session opens often (after every reconnect) and each round trip counts.
  const std::array<NodeId, 3> nodes{NodeId::numeric_id(0, kMaxNodesPerReadNode),
                                    NodeId::numeric_id(0, kMaxNodesPerBrowseNode),
                                    NodeId::numeric_id(0, kNamespaceArrayNode)};
  std::vector<DataValue> values;
  services_.read_chunk(nodes, kAttributeValue, values);
  services_.set_limits(limit_of(values[0]), limit_of(values[1]));
  if (readable(values[2])) {
    if (auto* table = std::get_if<std::vector<std::string>>(&values[2].value->scalar)) {
      namespace_array_ = std::move(*table);
    }
  }
  journel::get_logger("pyqar")->debug(
      "OPC UA server at {}: MaxNodesPerRead {}, MaxNodesPerBrowse {}, {} namespaces",
      link_.channel().url().text, services_.max_nodes_per_read(), services_.max_nodes_per_browse(),
      namespace_array_.size());
}

std::optional<std::uint16_t> ServerFacts::namespace_index(std::string_view uri) const {
  const std::size_t count = std::min<std::size_t>(namespace_array_.size(), 0x10000);
  for (std::size_t i = 0; i < count; ++i) {
    if (namespace_array_[i] == uri) return static_cast<std::uint16_t>(i);
  }
  return std::nullopt;
}

ServerLimits ServerFacts::subscription_limits() {
  link_.check_usable();
  if (!subscription_limits_) {
    // Newer servers list these under ServerCapabilities with ids of their own: found by name.
    std::vector<NodeId> nodes{NodeId::numeric_id(0, kMaxMonitoredItemsPerCallNode)};
    std::optional<std::size_t> per_session;
    std::optional<std::size_t> per_subscription;
    const std::array<NodeId, 1> capabilities{NodeId::numeric_id(0, kServerCapabilitiesNode)};
    const auto browsed = services_.browse(capabilities, 0);
    for (const auto& reference : browsed[0].references) {
      if (reference.browse_name.namespace_index != 0 || reference.node_id.server_index != 0 ||
          !reference.node_id.namespace_uri.empty()) {
        continue;
      }
      if (reference.browse_name.name == kMaxSubscriptionsPerSession && !per_session) {
        per_session = nodes.size();
        nodes.push_back(reference.node_id.id);
      } else if (reference.browse_name.name == kMaxMonitoredItemsPerSubscription &&
                 !per_subscription) {
        per_subscription = nodes.size();
        nodes.push_back(reference.node_id.id);
      }
    }
    const std::vector<DataValue> values = services_.read(nodes, kAttributeValue);
    ServerLimits limits;
    limits.max_monitored_items_per_call = limit_of(values[0]);
    if (per_session) limits.max_subscriptions_per_session = limit_of(values[*per_session]);
    if (per_subscription) {
      limits.max_monitored_items_per_subscription = limit_of(values[*per_subscription]);
    }
    journel::get_logger("pyqar")->debug(
        "OPC UA server at {}: MaxMonitoredItemsPerCall {}, MaxSubscriptionsPerSession {}, "
        "MaxMonitoredItemsPerSubscription {} (0: not stated)",
        link_.url().text, limits.max_monitored_items_per_call, limits.max_subscriptions_per_session,
        limits.max_monitored_items_per_subscription);
    subscription_limits_ = limits;
  }
  ServerLimits limits = *subscription_limits_;
  limits.max_request_bytes = link_.channel().max_request_size();
  return limits;
}

HistoryLimits ServerFacts::history_limits() {
  if (!history_limits_) {
    const std::array<NodeId, 2> nodes{NodeId::numeric_id(0, kMaxNodesPerHistoryReadDataNode),
                                      NodeId::numeric_id(0, kMaxReturnDataValuesNode)};
    const std::vector<DataValue> values = services_.read(nodes, kAttributeValue);
    history_limits_ = HistoryLimits{.max_nodes_per_call = limit_of(values[0]),
                                    .max_return_values = limit_of(values[1])};
    journel::get_logger("pyqar")->debug(
        "OPC UA server at {}: MaxNodesPerHistoryReadData {}, MaxReturnDataValues {} (0: not "
        "stated)",
        link_.url().text, history_limits_->max_nodes_per_call, history_limits_->max_return_values);
  }
  return *history_limits_;
}

std::uint32_t ServerFacts::max_nodes_per_translate() {
  if (!max_nodes_per_translate_) {
    const std::array<NodeId, 1> nodes{NodeId::numeric_id(0, kMaxNodesPerTranslateNode)};
    max_nodes_per_translate_ = limit_of(services_.read(nodes, kAttributeValue)[0]);
    journel::get_logger("pyqar")->debug(
        "OPC UA server at {}: MaxNodesPerTranslateBrowsePathsToNodeIds {} (0: not stated)",
        link_.url().text, *max_nodes_per_translate_);
  }
  return *max_nodes_per_translate_;
}

std::optional<std::int64_t> ServerFacts::server_start_time() {
  const std::array<NodeId, 1> nodes{NodeId::numeric_id(0, kStartTimeNode)};
  const std::vector<DataValue> values = services_.read(nodes, kAttributeValue);
  if (!readable(values[0])) return std::nullopt;
  if (const auto* ticks = std::get_if<std::int64_t>(&values[0].value->scalar)) return *ticks;
  return std::nullopt;
}

}  // namespace pyqar::ua
