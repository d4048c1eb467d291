#pragma once
// Statements whose shape depends on the caller's input, written once for both drivers.
// Pure functions; safe from any thread.

#include <cstddef>
#include <string>

#include "sql_builder.h"
#include "tidewell/types.h"

namespace tidewell {

// Columns in the order every driver reads them back.
inline constexpr const char* kSourceColumns =
    "source_id, source_name, endpoint, status, protocol, interval_msec, description, source_type";
inline constexpr const char* kTagColumns =
    "tag_id, tag_name, description, source_id, source_tagname";

SqlBuilder select_sources(SqlDialect dialect, const SourceFilter& flt);
SqlBuilder insert_source(SqlDialect dialect, const SourceInfo& source);
SqlBuilder select_tag(SqlDialect dialect, const std::string& tag_name);
SqlBuilder insert_tag(SqlDialect dialect, const TagInfo& tag);
// With no field set, the statement only reads the tag back.
SqlBuilder update_tag(SqlDialect dialect, const std::string& tag_name, const TagFields& fields);

// write_tsdata's three sequences must be of one length: throws DatabaseError naming the
// lengths otherwise, before anything is written.
void require_equal_lengths(std::size_t tag_ids, std::size_t values, std::size_t qualities);

}  // namespace tidewell
