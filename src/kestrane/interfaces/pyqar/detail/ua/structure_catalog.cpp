#include "structure_catalog.h"

#include <algorithm>
#include <utility>

#include "data_type_text.h"
#include "journel/log.h"
#include "pyqar/structure_cache.h"
#include "status_code.h"
#include "ua_attribute_ids.h"
#include "ua_session.h"

namespace pyqar {

std::shared_ptr<StructureCache> make_structure_cache() {
  return std::make_shared<ua::StructureCatalog>();
}

}  // namespace pyqar

namespace pyqar::ua {
namespace {

constexpr std::uint32_t kHasEncoding = 38;
constexpr std::uint32_t kHasSubtype = 45;
constexpr std::uint32_t kNodeClassDataType = 64;
// Rounds of field types read in turn: structures nest, but not this deep in any real server.
constexpr int kMaxRounds = 16;
// Steps up the type tree from a server's own simple type to the built-in it derives from.
constexpr int kMaxSubtypeSteps = 8;

bool bad(std::uint32_t status) { return severity(status) == Severity::Bad; }

}  // namespace

void StructureCatalog::session_opened(UaSession& session) {
  if (!taught_) return;
  const std::optional<std::int64_t> start = session.server_start_time();
  if (start == start_time_ && session.namespace_array() == namespaces_) return;
  journel::get_logger("pyqar")->info(
      "OPC UA server restarted: the definitions of {} structure types are read again as its "
      "values show them",
      learned_);
  decoder_.clear();
  tried_encodings_.clear();
  tried_types_.clear();
  learned_ = 0;
  taught_ = false;
}

void StructureCatalog::collect(const Variant& v, std::vector<NodeId>& encodings) const {
  if (v.type != BuiltinType::ExtensionObject) return;
  const auto add = [&](const Variant& element) {
    const auto* e = std::get_if<ExtensionObject>(&element.scalar);
    if (e == nullptr || e->type_id.is_null() || tried_encodings_.contains(e->type_id)) return;
    if (std::find(encodings.begin(), encodings.end(), e->type_id) == encodings.end())
      encodings.push_back(e->type_id);
  };
  if (!v.is_array) return add(v);
  for (const Variant& element : v.elements) add(element);
}

void StructureCatalog::learn(std::span<const DataValue> values, UaSession& session) {
  std::vector<NodeId> encodings;
  for (const DataValue& value : values) {
    if (value.value) collect(*value.value, encodings);
  }
  if (encodings.empty()) return;
  if (!taught_) {
    start_time_ = session.server_start_time();
    namespaces_ = session.namespace_array();
    taught_ = true;
  }
  for (const NodeId& e : encodings) tried_encodings_.insert(e);

  std::vector<NodeId> types;
  std::vector<NodeId> found = data_types_of(encodings, session);
  for (std::size_t k = 0; k < found.size(); ++k) {
    NodeId& type = found[k];
    if (type.is_null()) {
      journel::get_logger("pyqar")->info(
          "OPC UA structure encoding {} belongs to no data type the server shows; its values "
          "are stored as type id and body",
          data_type_text(encodings[k], session.namespace_array()));
    } else if (!tried_types_.contains(type) &&
               std::find(types.begin(), types.end(), type) == types.end()) {
      types.push_back(std::move(type));
    }
  }
  for (int round = 0; round < kMaxRounds && !types.empty(); ++round) {
    for (const NodeId& t : types) tried_types_.insert(t);
    const std::vector<NodeId> undescribed = read_definitions(types, session);
    find_builtin_bases(undescribed, session);
    types.clear();
    for (NodeId& t : decoder_.missing_types()) {
      if (!tried_types_.contains(t)) types.push_back(std::move(t));
    }
  }
}

std::vector<NodeId> StructureCatalog::data_types_of(std::span<const NodeId> encodings,
                                                    UaSession& session) {
  const std::vector<BrowseResult> results = session.browse(
      encodings, 0,
      BrowseFilter{
          .reference_type = kHasEncoding, .inverse = true, .node_classes = kNodeClassDataType});
  std::vector<NodeId> out(encodings.size());
  for (std::size_t k = 0; k < results.size() && k < out.size(); ++k) {
    // An encoding belongs to one data type; a server answering more gives the first.
    if (!bad(results[k].status) && !results[k].references.empty())
      out[k] = results[k].references.front().node_id.id;
  }
  return out;
}

std::vector<NodeId> StructureCatalog::read_definitions(std::span<const NodeId> types,
                                                       UaSession& session) {
  const std::vector<DataValue> values = session.read(types, kAttributeDataTypeDefinition);
  std::vector<NodeId> undescribed;
  for (std::size_t k = 0; k < types.size() && k < values.size(); ++k) {
    const DataValue& v = values[k];
    const auto* body =
        v.value && !v.value->is_array ? std::get_if<ExtensionObject>(&v.value->scalar) : nullptr;
    if (bad(v.status.value_or(0)) || body == nullptr) {
      undescribed.push_back(types[k]);
      continue;
    }
    try {
      decoder_.add(types[k], decode_data_type_definition(*body));
      ++learned_;
    } catch (const std::exception& e) {
      journel::get_logger("pyqar")->warn(
          "OPC UA data type {}: its definition cannot be read ({}); its values are stored as "
          "type id and body",
          data_type_text(types[k], session.namespace_array()), e.what());
    }
  }
  return undescribed;
}

void StructureCatalog::find_builtin_bases(std::span<const NodeId> types, UaSession& session) {
  std::vector<NodeId> from(types.begin(), types.end());
  std::vector<NodeId> at = from;
  for (int step = 0; step < kMaxSubtypeSteps && !at.empty(); ++step) {
    const std::vector<BrowseResult> results = session.browse(
        at, 0,
        BrowseFilter{
            .reference_type = kHasSubtype, .inverse = true, .node_classes = kNodeClassDataType});
    std::vector<NodeId> next_from;
    std::vector<NodeId> next_at;
    for (std::size_t k = 0; k < at.size() && k < results.size(); ++k) {
      if (bad(results[k].status) || results[k].references.empty()) continue;
      const NodeId& parent = results[k].references.front().node_id.id;
      const bool standard = parent.namespace_index == 0 && parent.kind == NodeId::Kind::Numeric;
      if (standard && parent.numeric >= 1 && parent.numeric <= 21) {
        decoder_.add_builtin_subtype(from[k], static_cast<BuiltinType>(parent.numeric));
        ++learned_;
      } else if (standard && parent.numeric == 29) {
        // An enumeration without a definition: its values on the wire are Int32.
        decoder_.add_builtin_subtype(from[k], BuiltinType::Int32);
        ++learned_;
      } else if (!(standard && parent.numeric == 22)) {
        // Below Structure there is no built-in to find.
        next_from.push_back(from[k]);
        next_at.push_back(parent);
      }
    }
    from = std::move(next_from);
    at = std::move(next_at);
  }
  for (const NodeId& t : types) {
    if (!decoder_.knows_type(t)) say_undescribed(t, session.namespace_array());
  }
}

void StructureCatalog::refused(std::string_view tag, std::string_view why) {
  if (!refused_tags_.emplace(tag).second) return;
  journel::get_logger("pyqar")->warn(
      "OPC UA tag '{}': a structure in its value does not match the server's definition of its "
      "type ({}); such values are stored as type id and body (said once per tag)",
      tag, why);
}

void StructureCatalog::say_undescribed(const NodeId& type,
                                       std::span<const std::string> namespaces) {
  journel::get_logger("pyqar")->info(
      "OPC UA data type {} has no DataTypeDefinition on the server (a server older than 1.04 "
      "describes structures in a DataTypeDictionary only); its values are stored as type id and "
      "body",
      data_type_text(type, namespaces));
}

}  // namespace pyqar::ua
