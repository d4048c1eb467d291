#include "value_delivery.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "journel/log.h"
#include "subscription_faults.h"
#include "value_conversion.h"

namespace pyqar::ua {
namespace {

// Nodes per Read when the subscribed tags are read once.
constexpr std::size_t kMaxNodesPerRead = 1000;

// The queue overflowed before this value: InfoType DataValue with the Overflow bit.
bool overflowed(std::uint32_t code) { return (code & 0x0C00u) == 0x0400u && (code & 0x0080u) != 0; }

}  // namespace

void ValueDelivery::emit(std::uint32_t index, const DataValue& value, Timestamp arrival) {
  ValueObject v = to_value_object(value, arrival, services_.namespace_array());
  if (overflowed(v.status)) ++book_.update.lost_overflow;
  SubscriptionBook::Item& item = book_.items[index];
  const std::int64_t time = v.timestamp.time_since_epoch().count();
  if (time <= item.last_time) return;
  // A value without any server time is stamped with our clock, which may run ahead of the
  // server's: it must not hide the server-stamped values that follow.
  if (v.source_timestamp || v.server_timestamp) item.last_time = time;
  book_.update.changes.push_back({index, std::move(v)});
}

void ValueDelivery::read_tags(std::span<const std::uint32_t> indices) {
  std::vector<NodeId> nodes;
  std::vector<std::uint32_t> which;
  for (const std::uint32_t index : indices) {
    if (book_.items[index].state != SubscriptionBook::ItemState::ok) continue;
    try {
      std::optional<NodeId> node = services_.node_for(book_.tags[index].tag);
      if (!node) continue;
      nodes.push_back(std::move(*node));
      which.push_back(index);
    } catch (const std::invalid_argument&) {
      // Reported when it was created.
    }
  }
  // In reads of at most 1,000 nodes, halved while the server finds them too large, so that
  // re-reading 200,000 tags after a recreation fits any server.
  std::size_t chunk = kMaxNodesPerRead;
  for (std::size_t pos = 0; pos < nodes.size();) {
    const std::size_t count = std::min(chunk, nodes.size() - pos);
    std::vector<DataValue> values;
    try {
      values = services_.read(std::span<const NodeId>(nodes).subspan(pos, count));
    } catch (const ServiceError& e) {
      if (session_fault(e.status())) throw;
      if (refused_as_too_large(e.status()) && count > 1) {
        chunk = count / 2;
        continue;
      }
      journel::get_logger("pyqar")->warn("OPC UA Read of {} subscribed tags failed: {}", count,
                                         e.what());
      pos += count;
      continue;
    }
    const Timestamp arrival = book_.wall_now();
    for (std::size_t k = 0; k < values.size() && k < count; ++k)
      emit(which[pos + k], values[k], arrival);
    pos += count;
  }
}

}  // namespace pyqar::ua
