#include "ua_event_messages.h"

#include <fmt/format.h>

namespace pyqar::ua {
namespace {

// A null field takes one byte on the wire and a whole Variant in memory: the fields of one
// message are bounded apart from its size. Far above what a Publish answer of ten thousand
// events carries.
constexpr std::size_t kMaxEventFieldsPerMessage = 1'000'000;

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
  // The fields of event lists earlier in the same message count too.
  std::size_t fields = 0;
  for (const EventFieldList& event : out) fields += event.fields.size();
  // A client handle and a field count at least.
  const std::size_t n = r.array_length(4 + 4);
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) {
    EventFieldList event;
    event.client_handle = r.u32();
    // Each field is a Variant: its encoding byte at least.
    const std::size_t count = r.array_length(1);
    fields += count;
    if (fields > kMaxEventFieldsPerMessage) {
      throw DecodeError(fmt::format("event lists with more than {} fields in one message",
                                    kMaxEventFieldsPerMessage));
    }
    event.fields.reserve(count);
    for (std::size_t k = 0; k < count; ++k) event.fields.push_back(decode_variant(r));
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
