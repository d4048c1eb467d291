#pragma once
// UaBrowseSource: the browse dialog's source on a live OPC UA server, one session held for
// the dialog's lifetime. Owned by BrowseWorker; made, used and destroyed on its thread.

#include <memory>
#include <string>
#include <vector>

#include "Kestrane/browsesource.h"
#include "pyqar/ua_browser.h"
#include "pyqar/ua_security.h"

class UaBrowseSource : public BrowseSource {
 public:
  // A session secured as `security` says. Throws std::runtime_error naming the address and the
  // reason when the server is unreachable or refuses the session.
  explicit UaBrowseSource(const std::string& url, const pyqar::UaSecurity& security = {});

  std::vector<pyqar::BrowsedNode> children(const std::string& node_id) override;
  // Many nodes per Browse request: a walk of a large folder takes a few round trips.
  std::vector<std::vector<pyqar::BrowsedNode>> children_of_each(
      const std::vector<std::string>& node_ids) override;
  std::vector<pyqar::VariableDetails> details(const std::vector<std::string>& node_ids) override;

  // A BrowseSourceFactory for the window: browses with the security collection uses.
  static BrowseSourceFactory factory(const pyqar::UaSecurity& security);

 private:
  pyqar::UaBrowser browser_;
};
