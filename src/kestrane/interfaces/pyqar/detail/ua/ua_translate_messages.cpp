#include "ua_translate_messages.h"

#include <utility>

#include "status_code.h"

namespace pyqar::ua {
namespace {

// StatusCode + an empty target array.
constexpr std::size_t kMinResultSize = 4 + 4;
// The smallest ExpandedNodeId (two-byte form) + the remaining path index.
constexpr std::size_t kMinTargetSize = 2 + 4;

void encode_qualified_name(BinaryWriter& w, const QualifiedName& name) {
  w.u16(name.namespace_index);
  w.string(name.name);
}

BrowsePathTarget decode_target(BinaryReader& r) {
  BrowsePathTarget target;
  target.target = decode_expanded_node_id_in_full(r);
  target.remaining_path_index = r.u32();
  return target;
}

BrowsePathResult decode_result(BinaryReader& r) {
  BrowsePathResult result;
  result.status = r.u32();
  result.targets = decode_array<BrowsePathTarget>(r, kMinTargetSize, decode_target);
  return result;
}

}  // namespace

BrowsePath property_path(const NodeId& node, std::string name) {
  return {.starting_node = node,
          .elements = {{.reference_type_id = NodeId::numeric_id(0, kHasProperty),
                        .is_inverse = false,
                        .include_subtypes = true,
                        .target_name = {.namespace_index = 0, .name = std::move(name)}}}};
}

std::optional<NodeId> local_target(const BrowsePathResult& result) {
  if (severity(result.status) == Severity::Bad) return std::nullopt;
  for (const BrowsePathTarget& t : result.targets) {
    if (t.remaining_path_index == kPathFullyFollowed && t.target.server_index == 0 &&
        t.target.namespace_uri.empty()) {
      return t.target.id;
    }
  }
  return std::nullopt;
}

void encode_request(BinaryWriter& w, const TranslateBrowsePathsRequest& req) {
  encode_node_id(w, NodeId::numeric_id(0, type_id::TranslateBrowsePathsRequest));
  encode_request_header(w, req.header);
  w.i32(static_cast<std::int32_t>(req.paths.size()));
  for (const BrowsePath& path : req.paths) {
    encode_node_id(w, path.starting_node);
    w.i32(static_cast<std::int32_t>(path.elements.size()));
    for (const RelativePathElement& element : path.elements) {
      encode_node_id(w, element.reference_type_id);
      w.u8(element.is_inverse ? 1 : 0);
      w.u8(element.include_subtypes ? 1 : 0);
      encode_qualified_name(w, element.target_name);
    }
  }
}

TranslateBrowsePathsResponse decode_translate_response(const ResponseHeader& header,
                                                       BinaryReader& r) {
  TranslateBrowsePathsResponse res;
  res.header = header;
  res.results = decode_array<BrowsePathResult>(r, kMinResultSize, decode_result);
  skip_array(r, 1, skip_diagnostic_info);
  return res;
}

}  // namespace pyqar::ua
