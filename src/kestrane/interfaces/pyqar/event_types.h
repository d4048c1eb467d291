#pragma once
// What a collector asks of an OPC source that reports events (alarms and conditions, operator
// actions, system messages), and what the source hands back. Plain values; safe to copy
// between threads.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pyqar/qar_types.h"

namespace pyqar {

// Which events to collect: one event monitored item per notifier.
struct EventSettings {
  // Event notifiers as NodeId text (`i=2253`, `ns=2;s=Line1`, `nsu=<uri>;s=Line1`).
  std::vector<std::string> notifiers{};
  // Fields to store beyond the standard ones, as browse paths of qualified names
  // (`Temperature`, `ActiveState/Id`, `2:Line/2:Speed`).
  std::vector<std::string> extra_fields{};
  // Event types to keep (an OfType where clause each, or-ed), as NodeId text; empty: all.
  std::vector<std::string> types{};

  bool enabled() const { return !notifiers.empty(); }
  friend bool operator==(const EventSettings&, const EventSettings&) = default;
};

// One event as the server reported it.
struct EventRecord {
  std::string event_id;  // the EventId's bytes: the event's identity
  std::string event_type;   // NodeId text, `nsu=` form for namespaces other than 0
  std::string source_node;  // NodeId text, `nsu=` form
  std::string source_name;
  Timestamp time{};
  std::optional<Timestamp> receive_time{};
  int severity = 0;  // 1-1000; 0 when the server sent none
  std::string message;
  // Conditions only (ConditionType and its subtypes); empty otherwise.
  std::optional<std::string> condition_id{};  // NodeId text, `nsu=` form
  std::optional<std::string> condition_name{};
  std::optional<std::string> branch_id{};  // NodeId text; empty when the null NodeId
  std::optional<bool> retain{};
  std::optional<bool> active{};
  std::optional<bool> acked{};
  std::optional<bool> confirmed{};
  bool refresh = false;  // came between RefreshStartEvent and RefreshEndEvent
  // Every selected field by browse path, with the text forms values use, as one JSON object.
  std::string fields_json = "{}";
};

}  // namespace pyqar
