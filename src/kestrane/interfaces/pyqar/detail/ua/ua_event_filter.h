#pragma once
// The EventFilter an event monitored item carries: which fields each event reports (select
// clauses, by browse path) and which event types pass (a where clause). Also the list of
// fields the collector selects, built from the standard ones and the user's extra paths.
// Plain data and free functions; any thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node_id.h"
#include "ua_attribute_ids.h"
#include "ua_codec.h"

namespace pyqar::ua {

namespace type_id {
inline constexpr std::uint32_t ElementOperand = 594;
inline constexpr std::uint32_t LiteralOperand = 597;
inline constexpr std::uint32_t EventFilter = 727;
}  // namespace type_id

// Well-known nodes of the event model (namespace 0).
inline constexpr std::uint32_t kBaseEventType = 2041;
inline constexpr std::uint32_t kConditionType = 2782;
inline constexpr std::uint32_t kRefreshStartEventType = 2787;
inline constexpr std::uint32_t kRefreshEndEventType = 2788;

// FilterOperator values the collector uses.
inline constexpr std::int32_t kFilterOperatorOr = 11;
inline constexpr std::int32_t kFilterOperatorOfType = 14;

// One select clause: a field reached from an event of `type_definition` (or a subtype).
struct SimpleAttributeOperand {
  NodeId type_definition = NodeId::numeric_id(0, kBaseEventType);
  std::vector<QualifiedName> browse_path;
  std::uint32_t attribute_id = kAttributeValue;

  bool operator==(const SimpleAttributeOperand&) const = default;
};

// Events pass when they are of one of `of_types` (or a subtype); all pass when it is empty.
struct EventFilter {
  std::vector<SimpleAttributeOperand> select;
  std::vector<NodeId> of_types;
};

// The filter as the ExtensionObject a MonitoredItemCreateRequest carries.
ExtensionObject encode_event_filter(const EventFilter& filter);

// Parses a browse path written `Name`, `A/B` or `2:Line/2:Speed` (a numeric prefix before ':'
// is the namespace index). Throws std::invalid_argument naming the path and the fault.
std::vector<QualifiedName> parse_browse_path(std::string_view text);
// The text parse_browse_path reads back.
std::string browse_path_text(std::span<const QualifiedName> path);

// Which field each select clause stands for, by position.
enum class EventField : std::uint8_t {
  EventId,
  EventType,
  SourceNode,
  SourceName,
  Time,
  ReceiveTime,
  Message,
  Severity,
  ConditionId,
  ConditionName,
  BranchId,
  Retain,
  EnabledState,
  ActiveState,
  AckedState,
  ConfirmedState,
  Quality,
  Comment,
  ClientUserId,
  Extra,
};

// The select clauses the collector sends and, for each, its field and the name it is stored
// under (its browse path; `ConditionId` for the condition's own NodeId).
struct EventSelection {
  std::vector<SimpleAttributeOperand> clauses;
  std::vector<EventField> fields;
  std::vector<std::string> names;
};

// The standard fields, then each of `extra_paths` not already among them. Throws
// std::invalid_argument naming a path that does not parse.
EventSelection event_selection(std::span<const std::string> extra_paths);

}  // namespace pyqar::ua
