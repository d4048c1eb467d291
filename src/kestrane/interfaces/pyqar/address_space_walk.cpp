#include "pyqar/address_space_walk.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

namespace pyqar {
namespace {

// Nodes browsed together: large enough for few round trips, small enough that progress
// lines and stop requests are seen within a second or so.
constexpr std::size_t kNodesPerBatch = 1000;
// A server whose address space never ends is cut off here.
constexpr std::uint64_t kMaxNodesVisited = 10'000'000;

struct Pending {
  std::string index_node_id;
  std::string path;
};

}  // namespace

WalkResult walk_address_space(UaBrowser& browser, const WalkOptions& options) {
  if (options.max_depth < 1) throw std::invalid_argument("the depth must be at least 1");
  WalkResult result;
  const BrowsedNode root = browser.node(options.root);
  const auto wanted = [&](const BrowsedNode& n) {
    return n.is_variable && (options.all_types || n.numeric);
  };
  std::unordered_set<std::string> visited{root.index_node_id};
  result.progress.nodes_visited = 1;
  if (wanted(root)) result.variables.push_back({root, root.browse_name});
  result.progress.variables_found = result.variables.size();

  std::vector<Pending> level{{root.index_node_id, root.browse_name}};
  for (int depth = 1; depth <= options.max_depth && !level.empty(); ++depth) {
    std::vector<Pending> next;
    for (std::size_t start = 0; start < level.size(); start += kNodesPerBatch) {
      if (options.stop.stop_requested()) {
        result.stopped = true;
        return result;
      }
      const std::size_t end = std::min(level.size(), start + kNodesPerBatch);
      std::vector<std::string> ids;
      ids.reserve(end - start);
      for (std::size_t i = start; i < end; ++i) ids.push_back(level[i].index_node_id);
      auto children = browser.children_of_each(ids);
      for (std::size_t i = 0; i < children.size(); ++i) {
        if (!children[i].error.empty()) {
          result.errors.push_back(std::move(children[i].error));
          continue;
        }
        for (auto& child : children[i].nodes) {
          if (!visited.insert(child.index_node_id).second) continue;  // loops end here
          std::string path = level[start + i].path + "/" + child.browse_name;
          if (depth < options.max_depth) next.push_back({child.index_node_id, path});
          if (wanted(child)) result.variables.push_back({std::move(child), std::move(path)});
        }
      }
      result.progress.nodes_visited = visited.size();
      result.progress.variables_found = result.variables.size();
      if (options.progress) options.progress(result.progress);
      if (visited.size() > kMaxNodesVisited) {
        result.errors.push_back("the walk stopped after " + std::to_string(kMaxNodesVisited) +
                                " nodes");
        return result;
      }
    }
    level = std::move(next);
  }
  return result;
}

}  // namespace pyqar
