#pragma once
// The walk behind "Import Selected": from the checked nodes down the address space, the
// numeric variables as tag-list entries. Pure functions over a BrowseSource; they run on the
// browse worker's thread, the source's own.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Kestrane/browsesource.h"
#include "config/tag_csv.h"
#include "pyqar/ua_browser.h"

// A checked node: it and everything below it are taken.
struct BrowseTarget {
  pyqar::BrowsedNode node;
  std::string path;  // browse path from the Objects folder: "Boiler/Temp"
};

struct BrowseWalkResult {
  std::vector<kestrane_config::TagEntry> tags;  // FullTagName = the nsu= node id
  std::size_t visited = 0;                      // distinct nodes seen
  std::size_t not_numeric = 0;                  // variables left out for their data type
  std::size_t too_long = 0;                     // node ids longer than a tag name may be
  bool cancelled = false;
};

struct BrowseWalkHooks {
  std::function<bool()> cancelled;                                       // may be empty
  std::function<void(std::size_t visited, std::size_t found)> progress;  // may be empty
};

// Each node is visited once, whatever the number of paths that reach it, so loops in the
// reference graph end the walk instead of feeding it. A variable's Description is the node's
// own, else its browse path. Throws what the source throws.
BrowseWalkResult collect_variables(BrowseSource& source, const std::vector<BrowseTarget>& targets,
                                   const BrowseWalkHooks& hooks = {});

// The name a node shows in the tree and in browse paths: its display name, else its browse
// name, else its node id.
std::string browse_label(const pyqar::BrowsedNode& node);
