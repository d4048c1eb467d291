#include "pyqar/ua_browser.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "journel/log.h"
#include "pyqar/status_names.h"
#include "ua/data_type_text.h"
#include "ua/endpoint_url.h"
#include "ua/node_id.h"
#include "ua/status_code.h"
#include "ua/ua_codec.h"
#include "ua/ua_session.h"
#include "ua/value_text.h"

namespace pyqar {
namespace {

using ua::NodeId;

// References asked for per node and round: keeps each response to a few hundred KiB.
constexpr std::uint32_t kReferencesPerRound = 1000;
// A server that keeps handing out continuation points is cut off after this many rounds for
// one node (a million references at the size above).
constexpr int kMaxBrowseNextRounds = 1000;
// The Objects folder.
constexpr std::uint32_t kObjectsFolder = 85;

// DataTypes whose values read as numbers: Boolean, SByte..Double, the abstract Number,
// Integer and UInteger, and the standard subtypes IntegerId, Counter, Duration, Index and
// VersionTime.
bool is_numeric_type(const NodeId& type) {
  if (type.namespace_index != 0 || type.kind != NodeId::Kind::Numeric) return false;
  const std::uint32_t id = type.numeric;
  if (id >= 1 && id <= 11) return true;
  switch (id) {
    case 26:
    case 27:
    case 28:
    case 288:
    case 289:
    case 290:
    case 17588:
    case 20998:
      return true;
    default:
      return false;
  }
}

// A value shown beside a node in a tree: enough to recognise it, never megabytes.
constexpr std::size_t kMaxShownText = 200;
// The binary encoding of EUInformation.
constexpr std::uint32_t kEuInformationEncoding = 889;
constexpr char kEngineeringUnits[] = "EngineeringUnits";

std::string shown_text(const ua::Variant& variant, ua::Namespaces namespaces) {
  const ua::RenderedValue rendered = ua::render_variant(variant, namespaces, kMaxShownText);
  std::string text = std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return {};
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else {
          return fmt::format("{}", v);
        }
      },
      rendered.value);
  if (rendered.cut) text += "\u2026";
  return text;
}

// The display name of an EUInformation (NamespaceUri, UnitId, DisplayName, Description);
// empty for any other value or a body too short for it.
std::string unit_name(const ua::Variant& variant) {
  const auto* object = std::get_if<ua::ExtensionObject>(&variant.scalar);
  if (object == nullptr || variant.is_array || object->type_id.namespace_index != 0 ||
      object->type_id.kind != NodeId::Kind::Numeric ||
      object->type_id.numeric != kEuInformationEncoding) {
    return {};
  }
  try {
    ua::BinaryReader r(object->body);
    r.skip_string();
    r.i32();
    return ua::safe_text(ua::decode_localized_text(r).text);
  } catch (const std::exception&) {
    return {};
  }
}

bool good(const ua::DataValue& v) {
  return v.value && ua::severity(v.status.value_or(0)) != ua::Severity::Bad;
}

}  // namespace

struct UaBrowser::Impl {
  ua::EndpointUrl url;
  std::unique_ptr<ua::UaSession> session;
  BrowseCallCounts counts;

  NodeId resolve(const std::string& text) const {
    if (text.empty()) return NodeId::numeric_id(0, kObjectsFolder);
    if (!ua::has_namespace_uri(text)) return ua::parse_node_id(text);
    ua::UriNodeId parsed = ua::parse_uri_node_id(text);
    const auto index = session->namespace_index(parsed.namespace_uri);
    if (!index) {
      throw std::invalid_argument(
          fmt::format("server {} has no namespace '{}'", url.text, parsed.namespace_uri));
    }
    parsed.id.namespace_index = *index;
    return parsed.id;
  }

  // Namespace 0 keeps its short form; a namespace missing from the table keeps its index.
  BrowsedNode named(const NodeId& id) const {
    BrowsedNode node;
    node.index_node_id = ua::to_string(id);
    const auto& table = session->namespace_array();
    node.node_id = id.namespace_index != 0 && id.namespace_index < table.size()
                       ? ua::to_uri_string(table[id.namespace_index], id)
                       : node.index_node_id;
    return node;
  }

  std::size_t requests_for(std::size_t nodes) const {
    const std::size_t step = session->max_nodes_per_browse();
    return step == 0 ? (nodes ? 1 : 0) : (nodes + step - 1) / step;
  }

  // Description of every node, DataType of the Variables: two Reads for a whole batch, split
  // to MaxNodesPerRead by the session.
  void read_attributes(const std::vector<BrowsedNode*>& nodes, const std::vector<NodeId>& ids) {
    if (ids.empty()) return;
    const auto descriptions = session->read(ids, ua::kAttributeDescription);
    std::vector<NodeId> variables;
    std::vector<BrowsedNode*> variable_nodes;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (good(descriptions[i])) {
        if (const auto* t = std::get_if<ua::LocalizedText>(&descriptions[i].value->scalar)) {
          nodes[i]->description = t->text;
        }
      }
      if (nodes[i]->is_variable) {
        variables.push_back(ids[i]);
        variable_nodes.push_back(nodes[i]);
      }
    }
    if (variables.empty()) return;
    const auto types = session->read(variables, ua::kAttributeDataType);
    for (std::size_t k = 0; k < variable_nodes.size(); ++k) {
      const ua::NodeId* type =
          good(types[k]) ? std::get_if<ua::NodeId>(&types[k].value->scalar) : nullptr;
      variable_nodes[k]->numeric = type != nullptr && is_numeric_type(*type);
      if (type != nullptr) {
        variable_nodes[k]->data_type = ua::data_type_text(*type, session->namespace_array());
      }
    }
  }

  void add_references(const ua::BrowseResult& result, std::vector<BrowsedNode>& out,
                      std::vector<NodeId>& ids) const {
    for (const auto& ref : result.references) {
      if (ref.node_id.server_index != 0) continue;  // a node on another server
      NodeId id = ref.node_id.id;
      if (!ref.node_id.namespace_uri.empty()) {
        const auto index = session->namespace_index(ref.node_id.namespace_uri);
        if (!index) continue;
        id.namespace_index = *index;
      }
      BrowsedNode node = named(id);
      node.browse_name = ref.browse_name.name;
      node.display_name = ref.display_name.text;
      node.is_variable = ref.node_class == ua::kNodeClassVariable;
      out.push_back(std::move(node));
      ids.push_back(std::move(id));
    }
  }

  void release(const std::vector<std::string>& points) noexcept {
    if (points.empty() || !session->usable()) return;
    try {
      session->browse_next(points, true);
      counts.browse_next += requests_for(points.size());
    } catch (const std::exception& e) {
      journel::get_logger("pyqar")->warn("releasing continuation points on {} failed: {}", url.text,
                                         e.what());
    }
  }

  // The EngineeringUnits property of each node, as a NodeId; none where it has none or the
  // node could not be browsed. Continuation points are given back: a unit is found among the
  // first references or not at all.
  std::vector<std::optional<NodeId>> unit_properties(const std::vector<NodeId>& ids) {
    auto results = session->browse(ids, kReferencesPerRound);
    counts.browse += requests_for(ids.size());
    std::vector<std::optional<NodeId>> units(ids.size());
    std::vector<std::string> points;
    for (std::size_t k = 0; k < results.size() && k < ids.size(); ++k) {
      if (!results[k].continuation_point.empty()) {
        points.push_back(std::move(results[k].continuation_point));
      }
      if (ua::severity(results[k].status) == ua::Severity::Bad) continue;
      for (const auto& ref : results[k].references) {
        if (ref.node_id.server_index != 0 || ref.browse_name.namespace_index != 0 ||
            ref.browse_name.name != kEngineeringUnits || ref.node_class != ua::kNodeClassVariable) {
          continue;
        }
        NodeId id = ref.node_id.id;
        if (!ref.node_id.namespace_uri.empty()) {
          const auto index = session->namespace_index(ref.node_id.namespace_uri);
          if (!index) continue;
          id.namespace_index = *index;
        }
        units[k] = std::move(id);
        break;
      }
    }
    release(points);
    return units;
  }

  std::vector<VariableDetails> details(const std::vector<std::string>& texts) {
    if (!session->usable()) {
      throw std::runtime_error(fmt::format("session on {} is closed", url.text));
    }
    std::vector<VariableDetails> out(texts.size());
    std::vector<NodeId> ids;
    std::vector<std::size_t> slots;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      try {
        ids.push_back(resolve(texts[i]));
        slots.push_back(i);
      } catch (const std::invalid_argument& e) {
        out[i].error = e.what();
      }
    }
    if (ids.empty()) return out;
    const auto& namespaces = session->namespace_array();
    const auto values = session->read(ids);
    for (std::size_t k = 0; k < values.size(); ++k) {
      VariableDetails& d = out[slots[k]];
      if (values[k].value) d.value = shown_text(*values[k].value, namespaces);
      const std::uint32_t status = values[k].status.value_or(0);
      if (ua::severity(status) != ua::Severity::Good) d.status = status_name(status);
    }

    const auto units = unit_properties(ids);
    std::vector<NodeId> unit_ids;
    std::vector<std::size_t> unit_slots;
    for (std::size_t k = 0; k < units.size(); ++k) {
      if (!units[k]) continue;
      unit_ids.push_back(*units[k]);
      unit_slots.push_back(slots[k]);
    }
    if (unit_ids.empty()) return out;
    const auto unit_values = session->read(unit_ids);
    for (std::size_t k = 0; k < unit_values.size(); ++k) {
      if (good(unit_values[k])) out[unit_slots[k]].unit = unit_name(*unit_values[k].value);
    }
    return out;
  }

  std::vector<Children> children_of_each(const std::vector<std::string>& texts) {
    if (!session->usable()) {
      throw std::runtime_error(fmt::format("session on {} is closed", url.text));
    }
    std::vector<Children> out(texts.size());
    std::vector<std::vector<NodeId>> child_ids(texts.size());
    // Text that names no node (a server may hand out an empty string id) fails that node only.
    std::vector<NodeId> parents;
    std::vector<std::size_t> slots;
    parents.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      try {
        parents.push_back(resolve(texts[i]));
        slots.push_back(i);
      } catch (const std::invalid_argument& e) {
        out[i].error = e.what();
      }
    }
    auto results = session->browse(parents, kReferencesPerRound);
    counts.browse += requests_for(parents.size());

    std::vector<std::size_t> owners;  // which parent each pending point belongs to
    std::vector<std::string> points;
    const auto take = [&](std::size_t parent, ua::BrowseResult& result) {
      if (ua::severity(result.status) == ua::Severity::Bad) {
        out[parent].error =
            fmt::format("Browse of {} failed: {}", texts[parent], ua::status_text(result.status));
        return;
      }
      add_references(result, out[parent].nodes, child_ids[parent]);
      if (!result.continuation_point.empty()) {
        owners.push_back(parent);
        points.push_back(std::move(result.continuation_point));
      }
    };
    for (std::size_t k = 0; k < results.size(); ++k) take(slots[k], results[k]);

    try {
      for (int round = 1; !points.empty(); ++round) {
        if (round > kMaxBrowseNextRounds) {
          for (std::size_t owner : owners) {
            out[owner].error = fmt::format(
                "Browse of {} stopped after {} BrowseNext rounds: the server keeps sending "
                "continuation points",
                texts[owner], kMaxBrowseNextRounds);
          }
          release(points);
          points.clear();
          break;
        }
        auto next = session->browse_next(points, false);
        counts.browse_next += requests_for(points.size());
        const auto previous_owners = std::move(owners);
        owners.clear();
        points.clear();
        for (std::size_t k = 0; k < next.size(); ++k) take(previous_owners[k], next[k]);
      }
    } catch (...) {
      release(points);
      throw;
    }

    std::vector<BrowsedNode*> all_nodes;
    std::vector<NodeId> all_ids;
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (!out[i].error.empty()) continue;
      for (std::size_t k = 0; k < out[i].nodes.size(); ++k) {
        all_nodes.push_back(&out[i].nodes[k]);
        all_ids.push_back(std::move(child_ids[i][k]));
      }
    }
    read_attributes(all_nodes, all_ids);
    return out;
  }
};

UaBrowser::UaBrowser(const std::string& url, const UaSecurity& security)
    : impl_(std::make_unique<Impl>()) {
  try {
    impl_->url = ua::parse_endpoint_url(url);
    ua::report_security_at_start(security);
    ua::SessionOptions options;
    options.security = security;
    impl_->session = std::make_unique<ua::UaSession>(impl_->url, std::move(options));
  } catch (const std::exception& e) {
    throw std::runtime_error(ua::naming_address(url, e.what()));
  }
}

UaBrowser::~UaBrowser() = default;
UaBrowser::UaBrowser(UaBrowser&&) noexcept = default;
UaBrowser& UaBrowser::operator=(UaBrowser&&) noexcept = default;

bool UaBrowser::usable() const { return impl_ && impl_->session && impl_->session->usable(); }

BrowseCallCounts UaBrowser::call_counts() const { return impl_->counts; }

BrowsedNode UaBrowser::node(const std::string& node_id) {
  const NodeId id = impl_->resolve(node_id);
  auto& session = *impl_->session;
  const std::vector<NodeId> one{id};
  const auto node_class = session.read(one, ua::kAttributeNodeClass).front();
  if (!good(node_class)) {
    throw std::runtime_error(fmt::format("server {} has no node {}: {}", impl_->url.text,
                                         node_id.empty() ? ua::to_string(id) : node_id,
                                         ua::status_text(node_class.status.value_or(0))));
  }
  BrowsedNode node = impl_->named(id);
  if (const auto* cls = std::get_if<std::int64_t>(&node_class.value->scalar)) {
    node.is_variable = *cls == ua::kNodeClassVariable;
  }
  const auto browse_name = session.read(one, ua::kAttributeBrowseName).front();
  if (good(browse_name)) {
    if (const auto* q = std::get_if<ua::QualifiedName>(&browse_name.value->scalar)) {
      node.browse_name = q->name;
    }
  }
  const auto display_name = session.read(one, ua::kAttributeDisplayName).front();
  if (good(display_name)) {
    if (const auto* t = std::get_if<ua::LocalizedText>(&display_name.value->scalar)) {
      node.display_name = t->text;
    }
  }
  impl_->read_attributes({&node}, one);
  return node;
}

std::vector<BrowsedNode> UaBrowser::children(const std::string& node_id) {
  auto result = impl_->children_of_each({node_id});
  if (!result.front().error.empty()) throw std::runtime_error(result.front().error);
  return std::move(result.front().nodes);
}

std::vector<VariableDetails> UaBrowser::details(const std::vector<std::string>& node_ids) {
  return impl_->details(node_ids);
}

std::vector<UaBrowser::Children> UaBrowser::children_of_each(
    const std::vector<std::string>& node_ids) {
  return impl_->children_of_each(node_ids);
}

}  // namespace pyqar
