#pragma once
// The TSDB client's entry points. Each call commits its own work; a failed call leaves
// nothing half-written. Thread-safety is that of the connection passed in.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace tidewell {

// A new connection (schema created or migrated when missing), or nullptr when the server
// cannot be reached or refuses (the reason is in the "tidewell" log). Throws DatabaseError
// for settings that can never work (an unknown driver, a data_dir that cannot be created).
std::unique_ptr<Connection> get_conn(const TsdbSettings& settings);
bool ping(Connection& conn);
// Databases the user may connect to (templates and the maintenance database left out).
std::vector<std::string> fetch_available_tsdbs(const TsdbSettings& settings);

std::vector<SourceInfo> get_sources(Connection& conn, const SourceFilter& flt);
// When ok, source.source_id holds the new id.
OperationResult<SourceInfo> insert_new_source(Connection& conn, SourceInfo& source);
std::optional<TagInfo> get_tag(Connection& conn, const std::string& tag_name);
OperationResult<TagInfo> insert_new_tag(Connection& conn, const TagInfo& tag);
OperationResult<TagInfo> update_tag_fields(Connection& conn, const std::string& tag_name,
                                           const TagFields& fields);
WriteResult write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                         std::span<const double> values, std::span<const std::string> qualities);

}  // namespace tidewell
