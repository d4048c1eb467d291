#pragma once
// The `sources` row that events are stored under: the row of the OPC server the collector
// reads (same endpoint text), registered by the program before collection starts. Free
// function on the writer's thread.

#include <cstdint>
#include <optional>
#include <string>

#include "tidewell/connection.h"

namespace spdlog {
class logger;
}

namespace quellin {

// Names the source a collector's events belong to.
struct EventSourceName {
  std::string endpoint;  // the OPC server's address, as the sources row stores it
  std::string name{};    // empty: any source with that endpoint
};

// The name a source gets when the events find none to belong to.
inline constexpr char kEventSourceFallbackName[] = "kestrane_events";

// The id of the source whose endpoint (and name, when given) matches: an active OPC UA one
// first, then any; of several alike the lowest id. When none matches, one is registered (an
// active OPC UA source under the given name, else kEventSourceFallbackName) and logged, so
// that events are never held back for want of it. nullopt when the database refuses that
// registration (logged). Throws what the TSDB client throws.
std::optional<std::int64_t> find_or_register_event_source(tidewell::Connection& conn,
                                                          const EventSourceName& source,
                                                          spdlog::logger& log);

}  // namespace quellin
