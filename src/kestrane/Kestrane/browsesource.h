#pragma once
// BrowseSource: the questions the browse dialog asks of a server's address space, so that the
// dialog and its tests need no live server. Made, used and destroyed on the browse worker's
// thread (BrowseWorker owns it); never touched by the GUI thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pyqar/ua_browser.h"

// Where every walk of the address space starts: the Objects folder.
inline constexpr const char* kObjectsFolderId = "i=85";

class BrowseSource {
 public:
  virtual ~BrowseSource() = default;
  // The targets of the node's hierarchical references, in the server's order. Throws a
  // std::exception whose text says why the server could not answer.
  virtual std::vector<pyqar::BrowsedNode> children(const std::string& node_id) = 0;
  // The children of each node, in the same order. The default asks children() node by node;
  // a source that can browse many nodes in one request does so. Throws as children() does.
  virtual std::vector<std::vector<pyqar::BrowsedNode>> children_of_each(
      const std::vector<std::string>& node_ids);
  // The current value and unit of each variable, in the same order. The default knows
  // neither (one empty entry per node). Throws as children() does.
  virtual std::vector<pyqar::VariableDetails> details(const std::vector<std::string>& node_ids);
};

// Opens a source on `url` ("opc.tcp://host:port"); throws a std::exception with the reason when
// the server cannot be reached. Called on the browse worker's thread.
using BrowseSourceFactory = std::function<std::unique_ptr<BrowseSource>(const std::string& url)>;
