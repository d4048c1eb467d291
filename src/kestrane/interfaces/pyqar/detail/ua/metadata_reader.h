#pragma once
// MetadataReader: what the server says of each tag's variable beside its value, over one
// session: DataType, AccessLevel and Description in batched Reads; the EngineeringUnits and
// EURange properties found with batched TranslateBrowsePathsToNodeIds and read in one batched
// Read; and the value names of the enumerations among the data types (their
// DataTypeDefinition, else their EnumStrings). Each node and each data type is asked for once
// however many tags share it. Made for one call and dropped after it; borrows the session; one
// thread at a time.

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "node_id.h"
#include "pyqar/qar_types.h"
#include "pyqar/variable_metadata.h"
#include "ua_session.h"

namespace pyqar::ua {

class MetadataReader {
 public:
  // The node a tag stands for in this session; nothing when it does not resolve.
  using Resolve = std::function<std::optional<NodeId>(const TagDescriptor&)>;

  MetadataReader(UaSession& session, Resolve resolve)
      : session_(session), resolve_(std::move(resolve)) {}

  // As RtSource::read_metadata: a tag that does not resolve gets BadNodeIdUnknown without
  // asking the server. A property or definition that cannot be found or decoded leaves its
  // fields unset. Throws std::runtime_error when the connection fails.
  std::vector<VariableMetadata> read(const std::vector<TagDescriptor>& tags);

 private:
  // One result per node, in order.
  std::vector<VariableMetadata> read_nodes(std::span<const NodeId> nodes);
  // EngineeringUnits and EURange of the nodes whose attributes were read.
  void read_properties(std::span<const NodeId> nodes, std::vector<VariableMetadata>& out);
  // The value names of each enumeration among `types` (empty for the others), in order.
  std::vector<std::vector<EnumName>> enum_names(std::span<const NodeId> types);
  // A refused call gives each path the refusal as its status: what it would have found is
  // left unset, never failing the rest.
  std::vector<BrowsePathResult> translate(std::span<const BrowsePath> paths);

  UaSession& session_;
  Resolve resolve_;
};

}  // namespace pyqar::ua
