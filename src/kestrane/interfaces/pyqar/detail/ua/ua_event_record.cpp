#include "ua_event_record.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace pyqar::ua {
namespace {

constexpr int kMaxSeverity = 1000;

bool is_null(const Variant& v) { return v.type == BuiltinType::Null; }

bool is_scalar(const Variant& v, BuiltinType type) { return !v.is_array && v.type == type; }

// A rendered value's text (NodeIds as `nsu=` text); empty for any other kind.
std::string text_of(const RenderedValue& rendered) {
  if (const auto* text = std::get_if<std::string>(&rendered.value)) return *text;
  return {};
}

std::optional<bool> boolean_of(const Variant& v) {
  if (!is_scalar(v, BuiltinType::Boolean)) return std::nullopt;
  return std::get<bool>(v.scalar);
}

int severity_of(const Variant& v) {
  if (v.is_array) return 0;
  if (const auto* u = std::get_if<std::uint64_t>(&v.scalar)) {
    return static_cast<int>(std::min<std::uint64_t>(*u, kMaxSeverity));
  }
  if (const auto* i = std::get_if<std::int64_t>(&v.scalar)) {
    return static_cast<int>(std::clamp<std::int64_t>(*i, 0, kMaxSeverity));
  }
  return 0;
}

std::optional<Timestamp> time_of(const Variant& v) {
  if (!is_scalar(v, BuiltinType::DateTime)) return std::nullopt;
  return date_time_point(std::get<std::int64_t>(v.scalar));
}

// `text` (already valid UTF-8) as a JSON string.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  out += '"';
}

// A field's value as JSON: numbers and Booleans as such, arrays and structures as the JSON
// text render_variant writes, everything else as a string.
void append_json(std::string& out, const Variant& v, const RenderedValue& rendered) {
  std::visit(
      [&](auto&& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += value ? "true" : "false";
        } else if constexpr (std::is_same_v<T, double>) {
          out += std::isfinite(value) ? nlohmann::json(value).dump() : "null";
        } else if constexpr (std::is_same_v<T, std::string>) {
          if (v.is_array || v.type == BuiltinType::ExtensionObject) {
            out += value;
          } else {
            append_json_string(out, value);
          }
        } else {
          fmt::format_to(std::back_inserter(out), "{}", value);
        }
      },
      rendered.value);
}

struct ConditionFields {
  const Variant* id = nullptr;
  std::string id_text;
  std::string name;
  const Variant* branch = nullptr;
  std::string branch_text;
  const Variant* retain = nullptr;
  const Variant* active = nullptr;
  const Variant* acked = nullptr;
  const Variant* confirmed = nullptr;
};

void set_condition(EventRecord& record, ConditionFields& c) {
  if (!c.id || !is_scalar(*c.id, BuiltinType::NodeId) || std::get<NodeId>(c.id->scalar).is_null()) {
    return;
  }
  record.condition_id = std::move(c.id_text);
  record.condition_name = std::move(c.name);
  const bool branch = c.branch && is_scalar(*c.branch, BuiltinType::NodeId) &&
                      !std::get<NodeId>(c.branch->scalar).is_null();
  record.branch_id = branch ? std::move(c.branch_text) : std::string();
  if (c.retain) record.retain = boolean_of(*c.retain);
  if (c.active) record.active = boolean_of(*c.active);
  if (c.acked) record.acked = boolean_of(*c.acked);
  if (c.confirmed) record.confirmed = boolean_of(*c.confirmed);
}

}  // namespace

EventRecord to_event_record(const EventFieldList& event, const EventSelection& selection,
                            Namespaces namespaces) {
  EventRecord record;
  ConditionFields condition;
  std::string json = "{";
  const std::size_t n = std::min(event.fields.size(), selection.fields.size());
  for (std::size_t i = 0; i < n; ++i) {
    const Variant& v = event.fields[i];
    if (is_null(v)) continue;
    if (json.size() > 1) json += ',';
    append_json_string(json, selection.names[i]);
    json += ':';
    const RenderedValue rendered = render_variant(v, namespaces);
    append_json(json, v, rendered);
    switch (selection.fields[i]) {
      case EventField::EventId:
        if (is_scalar(v, BuiltinType::ByteString))
          record.event_id = std::get<std::string>(v.scalar);
        break;
      case EventField::EventType:
        record.event_type = text_of(rendered);
        break;
      case EventField::SourceNode:
        record.source_node = text_of(rendered);
        break;
      case EventField::SourceName:
        record.source_name = text_of(rendered);
        break;
      case EventField::Time:
        if (auto t = time_of(v)) record.time = *t;
        break;
      case EventField::ReceiveTime:
        record.receive_time = time_of(v);
        break;
      case EventField::Message:
        record.message = text_of(rendered);
        break;
      case EventField::Severity:
        record.severity = severity_of(v);
        break;
      case EventField::ConditionId:
        condition.id = &v;
        condition.id_text = text_of(rendered);
        break;
      case EventField::ConditionName:
        condition.name = text_of(rendered);
        break;
      case EventField::BranchId:
        condition.branch = &v;
        condition.branch_text = text_of(rendered);
        break;
      case EventField::Retain:
        condition.retain = &v;
        break;
      case EventField::ActiveState:
        condition.active = &v;
        break;
      case EventField::AckedState:
        condition.acked = &v;
        break;
      case EventField::ConfirmedState:
        condition.confirmed = &v;
        break;
      default:
        break;
    }
  }
  json += '}';
  record.fields_json = std::move(json);
  if (record.time == Timestamp{} && record.receive_time) record.time = *record.receive_time;
  set_condition(record, condition);
  return record;
}

RefreshMark refresh_mark(const EventRecord& record) {
  static const std::string start = to_string(NodeId::numeric_id(0, kRefreshStartEventType));
  static const std::string end = to_string(NodeId::numeric_id(0, kRefreshEndEventType));
  if (record.event_type == start) return RefreshMark::Start;
  if (record.event_type == end) return RefreshMark::End;
  return RefreshMark::None;
}

}  // namespace pyqar::ua
