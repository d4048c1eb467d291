#include "chunked_services.h"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>

namespace pyqar::ua {

void ChunkedServices::read_chunk(std::span<const NodeId> nodes, std::uint32_t attribute_id,
                                 std::vector<DataValue>& out) {
  ReadRequest request{.header = link_.header(), .nodes = nodes, .attribute_id = attribute_id};
  // A large read takes the server longer: its time grows with the nodes.
  const std::chrono::milliseconds timeout = link_.timeout_for(nodes.size());
  request.header.timeout_hint_ms = SessionChannel::hint(timeout);
  // A server with a small message limit gets the nodes in halves rather than a refused read.
  if (link_.encode(request) > link_.channel().max_request_size() && nodes.size() > 1) {
    const std::size_t half = nodes.size() / 2;
    read_chunk(nodes.first(half), attribute_id, out);
    read_chunk(nodes.subspan(half), attribute_id, out);
    return;
  }
  auto response = link_.call_encoded<ReadResponse>("Read", timeout);
  if (response.results.size() != nodes.size()) {
    link_.fail(fmt::format("Read on {}: {} results for {} nodes", link_.channel().url().text,
                           response.results.size(), nodes.size()));
  }
  std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
}

std::vector<DataValue> ChunkedServices::read(std::span<const NodeId> nodes,
                                             std::uint32_t attribute_id) {
  link_.check_usable();
  std::vector<DataValue> out;
  out.reserve(nodes.size());
  const std::size_t step = max_nodes_per_read_ == 0 ? nodes.size() : max_nodes_per_read_;
  for (std::size_t start = 0; start < nodes.size(); start += step) {
    read_chunk(nodes.subspan(start, std::min(step, nodes.size() - start)), attribute_id, out);
  }
  return out;
}

std::vector<BrowseResult> ChunkedServices::browse(std::span<const NodeId> nodes,
                                                  std::uint32_t max_references_per_node,
                                                  const BrowseFilter& filter) {
  link_.check_usable();
  std::vector<BrowseResult> out;
  out.reserve(nodes.size());
  const std::size_t step = max_nodes_per_browse_ == 0 ? nodes.size() : max_nodes_per_browse_;
  for (std::size_t start = 0; start < nodes.size(); start += step) {
    const auto chunk = nodes.subspan(start, std::min(step, nodes.size() - start));
    auto response =
        link_.call<BrowseResponse>(BrowseRequest{.header = link_.header(),
                                                 .nodes = chunk,
                                                 .max_references_per_node = max_references_per_node,
                                                 .filter = filter},
                                   "Browse");
    if (response.results.size() != chunk.size()) {
      link_.fail(fmt::format("Browse on {}: {} results for {} nodes", link_.channel().url().text,
                             response.results.size(), chunk.size()));
    }
    std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
  }
  return out;
}

std::vector<BrowseResult> ChunkedServices::browse_next(
    std::span<const std::string> continuation_points, bool release) {
  link_.check_usable();
  std::vector<BrowseResult> out;
  const std::size_t count = continuation_points.size();
  const std::size_t step = max_nodes_per_browse_ == 0 ? count : max_nodes_per_browse_;
  for (std::size_t start = 0; start < count; start += step) {
    const auto chunk = continuation_points.subspan(start, std::min(step, count - start));
    auto response = link_.call<BrowseNextResponse>(
        BrowseNextRequest{
            .header = link_.header(), .release = release, .continuation_points = chunk},
        "BrowseNext");
    if (release) continue;
    if (response.results.size() != chunk.size()) {
      link_.fail(fmt::format("BrowseNext on {}: {} results for {} points",
                             link_.channel().url().text, response.results.size(), chunk.size()));
    }
    std::move(response.results.begin(), response.results.end(), std::back_inserter(out));
  }
  return out;
}

}  // namespace pyqar::ua
