#include "metadata_reader.h"

#include <cstddef>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>

#include "data_type_definition.h"
#include "data_type_text.h"
#include "journel/log.h"
#include "metadata_values.h"
#include "status_code.h"

namespace pyqar::ua {
namespace {

constexpr char kEngineeringUnits[] = "EngineeringUnits";
constexpr char kEuRange[] = "EURange";
constexpr char kEnumStrings[] = "EnumStrings";
constexpr std::size_t kUnresolved = std::numeric_limits<std::size_t>::max();

std::vector<EnumName> names_of_definition(const DataValue& v, bool& decoded) {
  decoded = false;
  const auto* object = good_scalar<ExtensionObject>(v);
  if (object == nullptr) return {};
  try {
    const DataTypeDefinition definition = decode_data_type_definition(*object);
    decoded = true;
    std::vector<EnumName> names;
    if (const auto* e = std::get_if<EnumDefinition>(&definition)) {
      for (const EnumField& field : e->fields) names.push_back({field.value, field.name});
    }
    return names;
  } catch (const DecodeError&) {
    return {};
  }
}

}  // namespace

std::vector<VariableMetadata> MetadataReader::read(const std::vector<TagDescriptor>& tags) {
  std::vector<VariableMetadata> out(tags.size());
  std::vector<NodeId> nodes;
  std::vector<std::size_t> node_of_tag(tags.size(), kUnresolved);
  std::unordered_map<std::string, std::size_t> seen;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    std::optional<NodeId> node = resolve_(tags[i]);
    if (!node) {
      out[i].status = status::BadNodeIdUnknown;
      continue;
    }
    const auto [at, added] = seen.try_emplace(to_string(*node), nodes.size());
    if (added) nodes.push_back(std::move(*node));
    node_of_tag[i] = at->second;
  }
  if (nodes.empty()) return out;
  const std::vector<VariableMetadata> per_node = read_nodes(nodes);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (node_of_tag[i] != kUnresolved) out[i] = per_node[node_of_tag[i]];
  }
  return out;
}

std::vector<VariableMetadata> MetadataReader::read_nodes(std::span<const NodeId> nodes) {
  const std::vector<DataValue> types = session_.read(nodes, kAttributeDataType);
  const std::vector<DataValue> access = session_.read(nodes, kAttributeAccessLevel);
  const std::vector<DataValue> descriptions = session_.read(nodes, kAttributeDescription);
  const std::vector<std::string>& namespaces = session_.namespace_array();

  std::vector<VariableMetadata> out(nodes.size());
  // The distinct data types outside namespace 0, which may be enumerations, and per node its
  // type's place among them.
  std::vector<NodeId> custom_types;
  std::vector<std::size_t> custom_of_node(nodes.size(), kUnresolved);
  std::unordered_map<std::string, std::size_t> seen;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!good_value(types[i])) {
      out[i].status = types[i].status.value_or(status::BadUnexpectedError);
      continue;
    }
    if (const auto* type = good_scalar<NodeId>(types[i])) {
      out[i].data_type = data_type_text(*type, namespaces);
      if (type->namespace_index != 0) {
        const auto [at, added] = seen.try_emplace(to_string(*type), custom_types.size());
        if (added) custom_types.push_back(*type);
        custom_of_node[i] = at->second;
      }
    }
    if (const auto* level = good_scalar<std::uint64_t>(access[i])) {
      out[i].access_level = static_cast<std::uint32_t>(*level);
    }
    if (const auto* text = good_scalar<LocalizedText>(descriptions[i]);
        text && !text->text.empty()) {
      out[i].description = text->text;
    }
  }
  read_properties(nodes, out);
  const std::vector<std::vector<EnumName>> names = enum_names(custom_types);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (custom_of_node[i] != kUnresolved) out[i].enum_names = names[custom_of_node[i]];
  }
  return out;
}

void MetadataReader::read_properties(std::span<const NodeId> nodes,
                                     std::vector<VariableMetadata>& out) {
  std::vector<BrowsePath> paths;
  std::vector<std::size_t> node_of_path;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (out[i].status != status::Good) continue;
    paths.push_back(property_path(nodes[i], kEngineeringUnits));
    paths.push_back(property_path(nodes[i], kEuRange));
    node_of_path.push_back(i);
  }
  if (paths.empty()) return;
  const std::vector<BrowsePathResult> found = translate(paths);
  std::vector<NodeId> properties;
  // Per property read: its node, and whether it is the range (else the units).
  std::vector<std::pair<std::size_t, bool>> owners;
  for (std::size_t p = 0; p < found.size(); ++p) {
    if (std::optional<NodeId> property = local_target(found[p])) {
      properties.push_back(std::move(*property));
      owners.emplace_back(node_of_path[p / 2], p % 2 == 1);
    }
  }
  if (properties.empty()) return;
  const std::vector<DataValue> values = session_.read(properties, kAttributeValue);
  for (std::size_t k = 0; k < values.size(); ++k) {
    const auto [node, is_range] = owners[k];
    if (is_range) {
      decode_eu_range(values[k], out[node]);
    } else {
      decode_engineering_units(values[k], out[node]);
    }
  }
}

std::vector<std::vector<EnumName>> MetadataReader::enum_names(std::span<const NodeId> types) {
  std::vector<std::vector<EnumName>> names(types.size());
  if (types.empty()) return names;
  const std::vector<DataValue> definitions = session_.read(types, kAttributeDataTypeDefinition);
  // Types without a definition the client can read may still list their names the older way.
  std::vector<BrowsePath> paths;
  std::vector<std::size_t> type_of_path;
  for (std::size_t i = 0; i < types.size(); ++i) {
    bool decoded = false;
    names[i] = names_of_definition(definitions[i], decoded);
    if (!decoded) {
      paths.push_back(property_path(types[i], kEnumStrings));
      type_of_path.push_back(i);
    }
  }
  if (paths.empty()) return names;
  const std::vector<BrowsePathResult> found = translate(paths);
  std::vector<NodeId> properties;
  std::vector<std::size_t> owners;
  for (std::size_t p = 0; p < found.size(); ++p) {
    if (std::optional<NodeId> property = local_target(found[p])) {
      properties.push_back(std::move(*property));
      owners.push_back(type_of_path[p]);
    }
  }
  if (properties.empty()) return names;
  const std::vector<DataValue> values = session_.read(properties, kAttributeValue);
  for (std::size_t k = 0; k < values.size(); ++k) names[owners[k]] = enum_strings_names(values[k]);
  return names;
}

std::vector<BrowsePathResult> MetadataReader::translate(std::span<const BrowsePath> paths) {
  try {
    return session_.translate_browse_paths(paths);
  } catch (const ServiceError& e) {
    journel::get_logger("pyqar")->warn(
        "OPC UA server refuses TranslateBrowsePathsToNodeIds ({}): units, ranges and value "
        "names left unknown",
        e.what());
    std::vector<BrowsePathResult> refused(paths.size());
    for (BrowsePathResult& r : refused) r.status = e.status();
    return refused;
  }
}

}  // namespace pyqar::ua
