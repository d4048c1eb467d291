#pragma once
// Registration of a program's data source and of every listed tag in the TSDB, before
// collection starts. Both programs use it; what differs between them (the source's name and
// description, the words of the log lines) is a SourceProfile. Free functions, on the
// caller's thread; each takes the connection it works on, or opens and closes its own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <spdlog/logger.h>

#include "config/tag_csv.h"
#include "tidewell/connection.h"
#include "tidewell/tidewell.h"
#include "tidewell/types.h"

namespace kestrane_config {

using tidewell::ConnectFunc;
// Asked between the steps of a registration; true ends it early (a stop was requested).
using CancelFunc = std::function<bool()>;

inline constexpr char kConsoleSourceName[] = "console_kestrane";
inline constexpr char kDesktopSourceName[] = "kestrane";

// How a program names and describes the source it registers. The console and the desktop
// keep separate sources (their names differ) and describe them in their own words.
struct SourceProfile {
  std::string source_name;
  std::string created_by;
  // Set: the stored source_type of a new source; unset: the client's default.
  std::optional<std::string> source_type;
  // The description's "protocol": the stored protocol value (true) or the OPC type text.
  bool protocol_as_stored_value = false;
  // Logged with the new id after a source was created.
  std::string created_message;
  // Logged for a tag that could not be created / updated, with the name at {}; and the level.
  std::string create_failed_message;
  spdlog::level::level_enum create_failed_level = spdlog::level::warn;
  std::string update_failed_message;
  // Logged for every tag created / updated, with the name at {} and the source id at {}; and
  // the level of both.
  std::string tag_created_message;
  std::string tag_updated_message;
  spdlog::level::level_enum tag_registered_level = spdlog::level::debug;
};

// The console's profile: source "console_kestrane", created by "KestraneConsole".
const SourceProfile& console_profile();
// The desktop's profile: source "kestrane", created by "Kestrane4", type "OPC_Collector".
const SourceProfile& desktop_profile();

// The source record of `profile` for an OPC server: "OPC UA" exactly selects the UA protocol,
// any other type text the DA protocol.
tidewell::SourceInfo make_source(const SourceProfile& profile, const std::string& opc_schema,
                                 const std::string& opc_type);
tidewell::SourceInfo make_console_source(const std::string& opc_schema,
                                         const std::string& opc_type);

// A tag description as stored: {"desc": text}, or an empty mapping for an empty text.
tidewell::Description tag_description(const std::string& text);

// The id of the profile's source for this server (same name, status, protocol and endpoint),
// logging "Found existing source with ID: N"; else creates it and logs the profile's created
// message. nullopt when the database refused to create it (nothing logged: the caller says it
// in its own words). Throws what the TSDB client throws.
std::optional<std::int64_t> find_or_create_source(tidewell::Connection& conn,
                                                  const SourceProfile& profile,
                                                  const std::string& opc_schema,
                                                  const std::string& opc_type, spdlog::logger& log);

// Creates every tag of `tags` that is new and points every listed tag to `source_id`, in a few
// statements. Each refused tag is logged in the profile's words; a summary goes to DEBUG.
// Throws what the TSDB client throws.
tidewell::TagRegistrationResult register_tags(tidewell::Connection& conn, std::int64_t source_id,
                                              const std::vector<TagEntry>& tags,
                                              const SourceProfile& profile, spdlog::logger& log);

struct RegistrationRequest {
  tidewell::TsdbSettings tsdb_cfg;
  std::string opc_schema;
  std::string opc_type;
};

struct RegistrationOutcome {
  bool ok = false;
  bool cancelled = false;
  // No connection could be opened (the database is down or refused it).
  bool unreachable = false;
  std::optional<std::int64_t> source_id;
  std::size_t created = 0;
  std::size_t updated = 0;
  // The id of every registered tag, by name: the collector starts with them cached.
  std::unordered_map<std::string, std::int64_t> tag_ids;
};

// The console's registration on a connection of its own: finds or creates the source, then
// registers every tag and logs "Database setup complete: N tags created, M tags updated".
// Never throws: every failure is one logged line and ok false. A refused single tag is a
// warning and does not fail the registration; a list of which no tag could be registered does.
RegistrationOutcome register_source_and_tags(const RegistrationRequest& request,
                                             const std::vector<TagEntry>& tags, spdlog::logger& log,
                                             const ConnectFunc& connect = {},
                                             const CancelFunc& cancelled = {});
// The same on a connection the caller holds (and keeps open); request.tsdb_cfg is not used.
RegistrationOutcome register_source_and_tags(tidewell::Connection& conn,
                                             const RegistrationRequest& request,
                                             const std::vector<TagEntry>& tags, spdlog::logger& log,
                                             const CancelFunc& cancelled = {});

}  // namespace kestrane_config
