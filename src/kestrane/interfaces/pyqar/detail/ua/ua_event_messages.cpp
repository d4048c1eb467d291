#include "ua_event_messages.h"

#include <fmt/format.h>

namespace pyqar::ua {
namespace {

std::vector<std::uint32_t> decode_statuses(BinaryReader& r) {
  return decode_array<std::uint32_t>(r, 4, [](BinaryReader& in) { return in.u32(); });
}

ContentFilterElementResult decode_element_result(BinaryReader& r) {
  ContentFilterElementResult result;
  result.status = r.u32();
  result.operand_results = decode_statuses(r);
  skip_array(r, 1, skip_diagnostic_info);
  return result;
}

}  // namespace

void decode_event_notification_list(BinaryReader& r, std::vector<EventFieldList>& out) {
  // A client handle and a field count at least.
  const std::size_t n = r.array_length(4 + 4);
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) {
    EventFieldList event;
    event.client_handle = r.u32();
    // Each field is a Variant: its encoding byte at least.
    event.fields = decode_array<Variant>(r, 1, decode_variant);
    out.push_back(std::move(event));
  }
}

std::optional<EventFilterResult> decode_event_filter_result(const ExtensionObject& filter_result) {
  if (filter_result.type_id.is_null() && filter_result.body.empty()) return std::nullopt;
  const NodeId& type = filter_result.type_id;
  if (type.kind != NodeId::Kind::Numeric || type.namespace_index != 0 ||
      type.numeric != type_id::EventFilterResult) {
    throw DecodeError(
        fmt::format("filter result of type {}, not EventFilterResult", to_string(type)));
  }
  BinaryReader r(filter_result.body);
  EventFilterResult result;
  result.select_clause_results = decode_statuses(r);
  skip_array(r, 1, skip_diagnostic_info);
  result.where_clause_results =
      decode_array<ContentFilterElementResult>(r, 4 + 4 + 4, decode_element_result);
  skip_array(r, 1, skip_diagnostic_info);
  return result;
}

}  // namespace pyqar::ua
