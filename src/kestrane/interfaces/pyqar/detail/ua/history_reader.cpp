#include "history_reader.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>
#include <variant>

#include "status_code.h"
#include "structure_catalog.h"
#include "value_conversion.h"

namespace pyqar::ua {
namespace {

constexpr std::uint64_t kAccessLevelHistoryRead = 0x04;

}  // namespace

std::vector<std::optional<bool>> HistoryReader::keeps_history(
    const std::vector<TagDescriptor>& tags) {
  std::vector<std::optional<bool>> out(tags.size());
  std::vector<NodeId> nodes;
  std::vector<std::size_t> slots;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (std::optional<NodeId> node = resolve_(tags[i])) {
      nodes.push_back(std::move(*node));
      slots.push_back(i);
    }
  }
  if (nodes.empty()) return out;
  const std::vector<DataValue> values = session_.read(nodes, kAttributeAccessLevel);
  for (std::size_t k = 0; k < values.size(); ++k) {
    const DataValue& value = values[k];
    if (!value.value || severity(value.status.value_or(status::Good)) == Severity::Bad) continue;
    if (const auto* level = std::get_if<std::uint64_t>(&value.value->scalar)) {
      out[slots[k]] = (*level & kAccessLevelHistoryRead) != 0;
    }
  }
  return out;
}

std::vector<HistoryReader::Span> HistoryReader::spans_of(const std::vector<HistoryQuery>& queries,
                                                         bool points_only,
                                                         std::vector<std::size_t>* unresolved) {
  std::vector<Span> spans;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const HistoryQuery& query = queries[i];
    if (points_only && query.continuation_point.empty()) continue;
    std::optional<NodeId> node = resolve_(query.tag);
    if (!node) {
      if (unresolved != nullptr) unresolved->push_back(i);
      continue;
    }
    auto span = std::find_if(spans.begin(), spans.end(), [&](const Span& s) {
      return s.newest == query.newest && s.oldest == query.oldest;
    });
    if (span == spans.end()) {
      spans.push_back(
          Span{.newest = query.newest, .oldest = query.oldest, .nodes = {}, .slots = {}});
      span = std::prev(spans.end());
    }
    span->nodes.push_back(HistoryNodeToRead{.node = std::move(*node),
                                            .continuation_point = query.continuation_point});
    span->slots.push_back(i);
  }
  return spans;
}

std::vector<HistoryReadResult> HistoryReader::call(const Span& span, std::uint32_t values_per_node,
                                                   bool release) {
  // Newest first: the read starts at the newest end and runs back to the oldest.
  return session_.history_read(to_date_time(span.newest), to_date_time(span.oldest),
                               values_per_node, span.nodes, release);
}

std::vector<HistoryPage> HistoryReader::read(const std::vector<HistoryQuery>& queries,
                                             std::uint32_t values_per_node) {
  std::vector<HistoryPage> pages(queries.size());
  std::vector<std::size_t> unresolved;
  const std::vector<Span> spans = spans_of(queries, false, &unresolved);
  for (std::size_t slot : unresolved) pages[slot].status = status::BadNodeIdUnknown;

  const Timestamp now = std::chrono::system_clock::now();
  for (std::size_t s = 0; s < spans.size(); ++s) {
    std::vector<HistoryReadResult> results;
    try {
      results = call(spans[s], values_per_node, false);
    } catch (const ServiceError&) {
      // The calls before this one hold points the caller never sees: given back here.
      std::vector<HistoryQuery> held;
      for (std::size_t slot = 0; slot < pages.size(); ++slot) {
        if (pages[slot].continuation_point.empty()) continue;
        HistoryQuery query = queries[slot];
        query.continuation_point = pages[slot].continuation_point;
        held.push_back(std::move(query));
      }
      try {
        release(held);
      } catch (const std::exception&) {
        // The refusal below is what the caller needs to hear.
      }
      throw;
    }
    const std::vector<std::string>& namespaces = session_.namespace_array();
    for (std::size_t k = 0; k < results.size(); ++k) {
      HistoryPage& page = pages[spans[s].slots[k]];
      page.status = results[k].status;
      page.continuation_point = std::move(results[k].continuation_point);
      page.values.reserve(results[k].values.size());
      if (structures_ != nullptr) structures_->learn(results[k].values, session_);
      const StructureDecoder* decoder = structures_ ? &structures_->decoder() : nullptr;
      for (const DataValue& value : results[k].values) {
        page.values.push_back(to_value_object(value, now, namespaces, decoder));
      }
    }
  }
  return pages;
}

void HistoryReader::release(const std::vector<HistoryQuery>& queries) {
  for (const Span& span : spans_of(queries, true, nullptr)) call(span, 0, true);
}

}  // namespace pyqar::ua
