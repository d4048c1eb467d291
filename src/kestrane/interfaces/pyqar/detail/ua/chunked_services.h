#pragma once
// ChunkedServices: Read, Browse and BrowseNext split to the server's operation limits
// (MaxNodesPerRead, MaxNodesPerBrowse), a Read halved again while it is larger than the
// channel accepts; one result per node, in order. Owned by a UaSession; one thread at a time.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "session_channel.h"
#include "ua_codec.h"

namespace pyqar::ua {

class ChunkedServices {
 public:
  // `link` must outlive the services.
  explicit ChunkedServices(SessionChannel& link) : link_(link) {}

  // 0: the server sets no limit.
  void set_limits(std::uint32_t max_nodes_per_read, std::uint32_t max_nodes_per_browse) {
    max_nodes_per_read_ = max_nodes_per_read;
    max_nodes_per_browse_ = max_nodes_per_browse;
  }
  std::uint32_t max_nodes_per_read() const { return max_nodes_per_read_; }
  std::uint32_t max_nodes_per_browse() const { return max_nodes_per_browse_; }

  // As UaSession::read, browse and browse_next.
  std::vector<DataValue> read(std::span<const NodeId> nodes, std::uint32_t attribute_id);
  std::vector<BrowseResult> browse(std::span<const NodeId> nodes,
                                   std::uint32_t max_references_per_node,
                                   const BrowseFilter& filter = {});
  std::vector<BrowseResult> browse_next(std::span<const std::string> continuation_points,
                                        bool release);
  // One Read of `nodes` (halved only when too large for the channel), its results appended.
  void read_chunk(std::span<const NodeId> nodes, std::uint32_t attribute_id,
                  std::vector<DataValue>& out);

 private:
  SessionChannel& link_;
  std::uint32_t max_nodes_per_read_ = 0;
  std::uint32_t max_nodes_per_browse_ = 0;
};

}  // namespace pyqar::ua
