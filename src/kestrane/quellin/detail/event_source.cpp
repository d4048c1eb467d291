#include "event_source.h"

#include <spdlog/spdlog.h>

#include "tidewell/tidewell.h"

namespace quellin {

namespace {

// Lower is better: an active OPC UA source, then an active one, then any.
int rank(const tidewell::SourceInfo& s) {
  const bool active = s.status == tidewell::SourceStatus::ACTIVE;
  const bool ua = s.protocol == tidewell::SourceProtocol::OPC_UA;
  return (active ? 0 : 2) + (ua ? 0 : 1);
}

}  // namespace

std::optional<std::int64_t> find_or_register_event_source(tidewell::Connection& conn,
                                                          const EventSourceName& source,
                                                          spdlog::logger& log) {
  tidewell::SourceFilter filter;
  if (!source.name.empty()) filter.names = {source.name};
  const tidewell::SourceInfo* best = nullptr;
  const std::vector<tidewell::SourceInfo> sources = tidewell::get_sources(conn, filter);
  for (const tidewell::SourceInfo& s : sources) {
    if (s.endpoint != source.endpoint || !s.source_id) continue;
    if (best == nullptr || rank(s) < rank(*best) ||
        (rank(s) == rank(*best) && *s.source_id < *best->source_id)) {
      best = &s;
    }
  }
  if (best != nullptr) return best->source_id;

  tidewell::SourceInfo created;
  created.source_name = source.name.empty() ? kEventSourceFallbackName : source.name;
  created.endpoint = source.endpoint;
  created.status = tidewell::SourceStatus::ACTIVE;
  created.protocol = tidewell::SourceProtocol::OPC_UA;
  created.description = {{"created_by", "quellin"},
                         {"endpoint", source.endpoint},
                         {"protocol", tidewell::value(created.protocol)}};
  const auto inserted = tidewell::insert_new_source(conn, created);
  if (!inserted.ok || !created.source_id) {
    log.error(
        "Events of {} cannot be stored: no source has that endpoint, and registering one "
        "failed: {}",
        source.endpoint, inserted.error);
    return std::nullopt;
  }
  log.warn("No source had the endpoint {}; registered source '{}' with ID {} for its events",
           source.endpoint, created.source_name, *created.source_id);
  return created.source_id;
}

}  // namespace quellin
