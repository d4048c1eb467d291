#include "ua_event_filter.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "binary_writer.h"

namespace pyqar::ua {
namespace {

void encode_operand(BinaryWriter& w, const SimpleAttributeOperand& op) {
  encode_node_id(w, op.type_definition);
  w.i32(static_cast<std::int32_t>(op.browse_path.size()));
  for (const QualifiedName& name : op.browse_path) {
    w.u16(name.namespace_index);
    w.string(name.name);
  }
  w.u32(op.attribute_id);
  w.null_string();  // index range: the whole value
}

ExtensionObject literal(const NodeId& id) {
  BinaryWriter body;
  encode_variant(body, Variant(BuiltinType::NodeId, false, id));
  return {.type_id = NodeId::numeric_id(0, type_id::LiteralOperand), .body = body.take()};
}

ExtensionObject element(std::uint32_t index) {
  BinaryWriter body;
  body.u32(index);
  return {.type_id = NodeId::numeric_id(0, type_id::ElementOperand), .body = body.take()};
}

void encode_element(BinaryWriter& w, std::int32_t op, std::span<const ExtensionObject> operands) {
  w.i32(op);
  w.i32(static_cast<std::int32_t>(operands.size()));
  for (const ExtensionObject& operand : operands) encode_extension_object(w, operand);
}

// One OfType element per type, or-ed: the first n-1 elements are an Or chain, each joining
// one OfType element with the next Or (the last Or joins the last two OfType elements).
// Every operand points past its own element, so the filter has no cycles.
void encode_where_clause(BinaryWriter& w, std::span<const NodeId> types) {
  const auto n = static_cast<std::uint32_t>(types.size());
  if (n == 0) {
    w.i32(0);
    return;
  }
  w.i32(static_cast<std::int32_t>(2 * n - 1));
  const std::uint32_t first_of_type = n - 1;
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    const std::uint32_t next = i + 2 < n ? i + 1 : first_of_type + n - 1;
    const ExtensionObject operands[] = {element(first_of_type + i), element(next)};
    encode_element(w, kFilterOperatorOr, operands);
  }
  for (const NodeId& type : types) {
    const ExtensionObject operands[] = {literal(type)};
    encode_element(w, kFilterOperatorOfType, operands);
  }
}

std::vector<QualifiedName> path_of(std::initializer_list<const char*> names) {
  std::vector<QualifiedName> path;
  for (const char* name : names) path.push_back({.namespace_index = 0, .name = name});
  return path;
}

}  // namespace

ExtensionObject encode_event_filter(const EventFilter& filter) {
  BinaryWriter body;
  body.i32(static_cast<std::int32_t>(filter.select.size()));
  for (const SimpleAttributeOperand& op : filter.select) encode_operand(body, op);
  encode_where_clause(body, filter.of_types);
  return {.type_id = NodeId::numeric_id(0, type_id::EventFilter), .body = body.take()};
}

std::vector<QualifiedName> parse_browse_path(std::string_view text) {
  const auto fail = [&](std::string_view problem) {
    return std::invalid_argument(fmt::format("event field '{}': {}", text, problem));
  };
  if (text.empty()) throw fail("empty browse path");
  std::vector<QualifiedName> path;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('/', start);
    std::string_view part =
        text.substr(start, slash == std::string_view::npos ? text.npos : slash - start);
    QualifiedName name;
    const std::size_t colon = part.find(':');
    const std::string_view prefix = part.substr(0, colon);
    if (colon != std::string_view::npos && !prefix.empty() &&
        std::all_of(prefix.begin(), prefix.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      unsigned index = 0;
      const auto [end, ec] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), index);
      if (ec != std::errc() || index > std::numeric_limits<std::uint16_t>::max()) {
        throw fail(fmt::format("namespace index {} out of range", prefix));
      }
      name.namespace_index = static_cast<std::uint16_t>(index);
      part.remove_prefix(colon + 1);
    }
    if (part.empty()) throw fail("a browse name is empty");
    name.name = std::string(part);
    path.push_back(std::move(name));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return path;
}

std::string browse_path_text(std::span<const QualifiedName> path) {
  std::string out;
  for (const QualifiedName& name : path) {
    if (!out.empty()) out += '/';
    if (name.namespace_index != 0) out += fmt::format("{}:", name.namespace_index);
    out += name.name;
  }
  return out;
}

EventSelection event_selection(std::span<const std::string> extra_paths) {
  EventSelection s;
  const auto add = [&](EventField field, std::vector<QualifiedName> path) {
    s.names.push_back(browse_path_text(path));
    s.clauses.push_back({.browse_path = std::move(path)});
    s.fields.push_back(field);
  };
  add(EventField::EventId, path_of({"EventId"}));
  add(EventField::EventType, path_of({"EventType"}));
  add(EventField::SourceNode, path_of({"SourceNode"}));
  add(EventField::SourceName, path_of({"SourceName"}));
  add(EventField::Time, path_of({"Time"}));
  add(EventField::ReceiveTime, path_of({"ReceiveTime"}));
  add(EventField::Message, path_of({"Message"}));
  add(EventField::Severity, path_of({"Severity"}));
  // The condition itself: its NodeId, from an empty path on ConditionType.
  s.clauses.push_back({.type_definition = NodeId::numeric_id(0, kConditionType),
                       .browse_path = {},
                       .attribute_id = kAttributeNodeId});
  s.fields.push_back(EventField::ConditionId);
  s.names.emplace_back("ConditionId");
  add(EventField::ConditionName, path_of({"ConditionName"}));
  add(EventField::BranchId, path_of({"BranchId"}));
  add(EventField::Retain, path_of({"Retain"}));
  add(EventField::EnabledState, path_of({"EnabledState", "Id"}));
  add(EventField::ActiveState, path_of({"ActiveState", "Id"}));
  add(EventField::AckedState, path_of({"AckedState", "Id"}));
  add(EventField::ConfirmedState, path_of({"ConfirmedState", "Id"}));
  add(EventField::Quality, path_of({"Quality"}));
  add(EventField::Comment, path_of({"Comment"}));
  add(EventField::ClientUserId, path_of({"ClientUserId"}));
  for (const std::string& text : extra_paths) {
    std::vector<QualifiedName> path = parse_browse_path(text);
    const bool known = std::any_of(s.clauses.begin(), s.clauses.end(), [&](const auto& c) {
      return c.attribute_id == kAttributeValue && c.browse_path == path;
    });
    if (!known) add(EventField::Extra, std::move(path));
  }
  return s;
}

}  // namespace pyqar::ua
