#include "item_batch_planner.h"

#include <algorithm>

namespace pyqar::ua {
namespace {

// Room kept in a request for what is not the items: the message and security headers, the
// request header with its authentication token, the subscription id and the array length, and
// the signature and padding of a secured channel.
constexpr std::size_t kRequestOverheadBytes = 512;

std::size_t node_id_size(const NodeId& node) {
  switch (node.kind) {
    case NodeId::Kind::Numeric:
      if (node.namespace_index == 0 && node.numeric <= 0xFF) return 2;
      if (node.namespace_index <= 0xFF && node.numeric <= 0xFFFF) return 4;
      return 7;
    case NodeId::Kind::String:
    case NodeId::Kind::ByteString:
      return 7 + node.text.size();
    case NodeId::Kind::Guid:
      return 19;
  }
  return 7 + node.text.size();
}

}  // namespace

std::size_t ItemBatchPlanner::encoded_size(const MonitoredItemToCreate& item) {
  // ReadValueId: node, attribute, empty index range, empty data encoding name.
  const std::size_t read_value_id = node_id_size(item.node) + 4 + 4 + 2 + 4;
  // A DataChangeFilter is an extension object with a four-byte type id and a 16-byte body; no
  // filter is a null one.
  std::size_t filter = item.filter ? 4 + 1 + 4 + 16 : 2 + 1;
  // An EventFilter: its type id (four bytes), the encoding byte, the length and the body.
  if (!item.event_filter.type_id.is_null()) filter = 4 + 1 + 4 + item.event_filter.body.size();
  // Monitoring mode, client handle, sampling interval, filter, queue size, discard oldest.
  return read_value_id + 4 + 4 + 8 + filter + 4 + 1;
}

std::size_t ItemBatchPlanner::take(std::span<const MonitoredItemToCreate> items) const {
  std::size_t cap = std::min(kMaxItemsPerCall, learned_cap());
  if (limits_.max_monitored_items_per_call != 0)
    cap = std::min<std::size_t>(cap, limits_.max_monitored_items_per_call);
  cap = std::min(cap, items.size());
  if (limits_.max_request_bytes == 0) return cap;

  // Chunking and security take some of each message: plan with nine tenths of it.
  const std::size_t usable = limits_.max_request_bytes / 10 * 9;
  const std::size_t budget = usable > kRequestOverheadBytes ? usable - kRequestOverheadBytes : 0;
  std::size_t bytes = 0;
  std::size_t count = 0;
  while (count < cap) {
    bytes += encoded_size(items[count]);
    if (bytes > budget) break;
    ++count;
  }
  return std::max<std::size_t>(count, items.empty() ? 0 : 1);
}

bool ItemBatchPlanner::halve(std::size_t count) {
  if (count <= 1) return false;
  learned_cap_ = std::min(learned_cap_, std::max<std::size_t>(count / 2, 1));
  return true;
}

bool ItemBatchPlanner::halve_after_timeout(std::size_t count) {
  if (count <= 1) return false;
  timeout_cap_ = std::min(timeout_cap_, count / 2);
  return true;
}

}  // namespace pyqar::ua
