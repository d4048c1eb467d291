#pragma once
// Statements whose shape depends on the caller's input, written once for both drivers.
// Pure functions; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The batch's seq as both databases store it (a signed 64-bit integer). Throws RequestRejected,
// before anything is written, for a seq above that range or a writer id with a NUL byte.
std::int64_t stored_seq(const BatchId& batch);

// Throws RequestRejected, before anything is written, for a row time (microseconds since
// 1970-01-01 UTC) before 4714-11-24 BC, the earliest PostgreSQL stores; both drivers take the
// same range.
// `what` names the time in the message.
void require_storable_time(std::int64_t time_us, std::string_view what = "Row time");

// Throws RequestRejected, before anything is written, naming the row, for a row no driver
// stores as given: a time or source time outside the range of require_storable_time, a NUL
// byte in a quality or text (both databases would cut the text there, or refuse it).
void require_storable_rows(std::span<const TsdataRow> rows);

// Throws RequestRejected, before anything is written, naming the event, for an event no driver
// stores as given: a time or receive time outside the range of require_storable_time, a NUL
// byte in a text, fields that are no JSON object.
void require_storable_events(std::span<const EventRow> events);

// latest_condition_events: the newest event of each condition of one source, sorted by
// condition id, with the columns condition_id, event_id (on PostgreSQL as hexadecimal digits),
// time (microseconds since 1970-01-01 UTC). Parameters: the source id, and the condition ids
// wanted (NULL: all; on PostgreSQL a text array, on SQLite a JSON array of texts).
std::string latest_condition_events_sql(SqlDialect dialect);

// last_stored: one statement per tag, with the tag id as its only parameter. Its rows are the
// tag's rows at the edge, numbers then texts, each with the columns: 0 for tsdata or 1 for
// tsdata_text, time and source time (microseconds since 1970-01-01 UTC), the number, the text,
// quality, status. No row when the tag has none stored. Every lookup is an index search on
// (tag_id, time): the latest time per table, the source times at that time, the rows at it.
std::string last_stored_sql(SqlDialect dialect);
// The queries with each tag once, in the order of its first listing.
std::vector<LastStoredQuery> distinct_queries(std::span<const LastStoredQuery> queries);
// Statements of last_stored sent in one round trip.
inline constexpr std::size_t kLastStoredChunk = 1000;

// The client's clock in microseconds since 1970-01-01 UTC: the time of rows written without one.
std::int64_t current_time_us();

}  // namespace tidewell
