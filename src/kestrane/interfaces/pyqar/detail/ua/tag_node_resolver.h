#pragma once
// TagNodeResolver: the one place in this library where a tag's name is read as a node. The
// namespace comes split off by the caller (the collector turns "2:Name" into 2 and "Name") and
// is taken as given; the name is read as NodeId text where it is one ("ns=3;i=1001" keeps its
// own namespace, "i=2258" takes the tag's, "nsu=<uri>;..." is looked up in the session's
// namespace table) and is otherwise the string identifier in the tag's namespace. Owned by a
// source, or by its subscription services; one thread at a time.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "node_id.h"
#include "pyqar/qar_types.h"

namespace pyqar::ua {

class TagNodeResolver {
 public:
  // The index of a namespace URI in the current session's table; nothing when it lacks it.
  using NamespaceLookup = std::function<std::optional<std::uint16_t>(std::string_view uri)>;

  // `what_follows` ends the error logged for a namespace the server lacks ("its tags read as
  // Bad").
  explicit TagNodeResolver(std::string what_follows) : what_follows_(std::move(what_follows)) {}

  // The node `tag` stands for on `server`; nothing (logged once per URI and session) when its
  // namespace URI is unknown there. Throws std::invalid_argument for a name that does not
  // parse or a namespace index out of range.
  std::optional<NodeId> resolve(const TagDescriptor& tag, const NamespaceLookup& lookup,
                                std::string_view server);
  // A new session: its namespace table may differ, so unknown URIs are reported again.
  void new_session() { reported_uris_.clear(); }

 private:
  std::string what_follows_;
  std::set<std::string, std::less<>> reported_uris_;
};

}  // namespace pyqar::ua
