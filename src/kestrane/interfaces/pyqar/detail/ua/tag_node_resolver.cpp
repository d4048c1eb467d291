#include "tag_node_resolver.h"

#include "journel/log.h"

namespace pyqar::ua {

std::optional<NodeId> TagNodeResolver::resolve(const TagDescriptor& tag,
                                               const NamespaceLookup& lookup,
                                               std::string_view server) {
  if (!has_namespace_uri(tag.tag_name)) return node_id_for_tag(tag.namespace_index, tag.tag_name);
  UriNodeId parsed = parse_uri_node_id(tag.tag_name);
  // Looked up in this session's table: a server may renumber its namespaces when it restarts.
  const auto index = lookup(parsed.namespace_uri);
  if (!index) {
    if (reported_uris_.insert(parsed.namespace_uri).second) {
      journel::get_logger("pyqar")->error("OPC UA server {} has no namespace '{}': {}", server,
                                          parsed.namespace_uri, what_follows_);
    }
    return std::nullopt;
  }
  parsed.id.namespace_index = *index;
  return parsed.id;
}

}  // namespace pyqar::ua
