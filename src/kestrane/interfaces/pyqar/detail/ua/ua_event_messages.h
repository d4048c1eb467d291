#pragma once
// What a server sends about events: the fields of each event in an EventNotificationList, and
// the EventFilterResult that tells which select and where clauses it refused. Plain data and
// free functions; any thread.

#include <cstdint>
#include <optional>
#include <vector>

#include "binary_reader.h"
#include "ua_codec.h"

namespace pyqar::ua {

namespace type_id {
inline constexpr std::uint32_t EventFilterResult = 736;
}  // namespace type_id

// One event: the item's client handle and its fields in select-clause order.
struct EventFieldList {
  std::uint32_t client_handle = 0;
  std::vector<Variant> fields;
};

struct ContentFilterElementResult {
  std::uint32_t status = 0;
  std::vector<std::uint32_t> operand_results;
};

struct EventFilterResult {
  std::vector<std::uint32_t> select_clause_results;  // one per select clause, or none
  std::vector<ContentFilterElementResult> where_clause_results;
};

// Appends the events of an EventNotificationList body (read where it lies, so the message's
// limits on kept values hold) to `out`. Throws DecodeError for a malformed body.
void decode_event_notification_list(BinaryReader& r, std::vector<EventFieldList>& out);

// The filter result a CreateMonitoredItems result carries: nullopt when the server sent none
// (the filter was taken whole). Throws DecodeError for another type or a malformed body.
std::optional<EventFilterResult> decode_event_filter_result(const ExtensionObject& filter_result);

}  // namespace pyqar::ua
