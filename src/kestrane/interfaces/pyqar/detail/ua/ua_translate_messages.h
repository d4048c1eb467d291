#pragma once
// The TranslateBrowsePathsToNodeIds service: from a starting node along a path of browse
// names to the nodes found there (a variable's properties, a data type's EnumStrings). Its
// request, its response and their codec. Plain data and free functions; any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"
#include "ua_codec.h"
#include "ua_service_header.h"

namespace pyqar::ua {

namespace type_id {
inline constexpr std::uint32_t TranslateBrowsePathsRequest = 554;
inline constexpr std::uint32_t TranslateBrowsePathsResponse = 557;
}  // namespace type_id

// HasProperty, the reference from a node to its properties (namespace 0).
inline constexpr std::uint32_t kHasProperty = 46;
// The remaining path index of a target reached at the end of its path.
inline constexpr std::uint32_t kPathFullyFollowed = 0xFFFFFFFF;

struct RelativePathElement {
  NodeId reference_type_id;
  bool is_inverse = false;
  bool include_subtypes = true;
  QualifiedName target_name;
};

struct BrowsePath {
  NodeId starting_node;
  std::vector<RelativePathElement> elements;
};

struct BrowsePathTarget {
  ExpandedNodeId target;
  std::uint32_t remaining_path_index = kPathFullyFollowed;
};

struct BrowsePathResult {
  std::uint32_t status = 0;
  std::vector<BrowsePathTarget> targets;
};

struct TranslateBrowsePathsRequest {
  RequestHeader header;
  std::span<const BrowsePath> paths;
};

struct TranslateBrowsePathsResponse {
  ResponseHeader header;
  std::vector<BrowsePathResult> results;
};

// The path from `node` along a forward HasProperty (or a subtype) to the property named
// `name` in namespace 0.
BrowsePath property_path(const NodeId& node, std::string name);

// The node a result leads to on this server: its first target reached at the end of the
// path; nothing for a bad result, none found, or one on another server or namespace URI.
std::optional<NodeId> local_target(const BrowsePathResult& result);

// Writes the type id and then the request.
void encode_request(BinaryWriter& w, const TranslateBrowsePathsRequest& req);
// The body after the response header. Throws DecodeError for a malformed body.
TranslateBrowsePathsResponse decode_translate_response(const ResponseHeader& header,
                                                       BinaryReader& r);

}  // namespace pyqar::ua
