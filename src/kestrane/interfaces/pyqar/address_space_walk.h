#pragma once
// walk_address_space: walks a server's address space breadth-first from one node through a
// UaBrowser and collects its Variables. Runs on the caller's thread, which owns the browser
// for the walk; another thread may only request a stop through the stop token.

#include <cstdint>
#include <functional>
#include <limits>
#include <stop_token>
#include <string>
#include <vector>

#include "pyqar/ua_browser.h"

namespace pyqar {

struct WalkProgress {
  std::uint64_t nodes_visited = 0;
  std::uint64_t variables_found = 0;
};

struct WalkOptions {
  std::string root;  // tag-list NodeId text; empty: the Objects folder
  // Levels below the root that are visited: 1 takes the root's children only.
  int max_depth = std::numeric_limits<int>::max();
  bool all_types = false;  // every Variable, not only numeric and Boolean ones
  // Called on the walking thread after each batch of nodes.
  std::function<void(const WalkProgress&)> progress;
  std::stop_token stop;
};

struct FoundVariable {
  BrowsedNode node;
  std::string browse_path;  // browse names from the root down, joined by '/'
};

struct WalkResult {
  std::vector<FoundVariable> variables;  // in the order the walk met them
  WalkProgress progress;
  bool stopped = false;             // a stop was requested before the walk ended
  std::vector<std::string> errors;  // nodes that could not be browsed; the walk went on
};

// Each node is visited once, whatever loops its references make. Throws what
// UaBrowser::node throws for a bad root, and std::runtime_error when the session fails
// during the walk.
WalkResult walk_address_space(UaBrowser& browser, const WalkOptions& options);

}  // namespace pyqar
