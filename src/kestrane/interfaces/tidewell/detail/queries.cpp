#include "queries.h"

#include <chrono>
#include <limits>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "record_codec.h"
#include "tidewell/connection.h"

namespace tidewell {

namespace {

SqlValue optional_id(const std::optional<std::int64_t>& id) {
  return id ? SqlValue(*id) : SqlValue(std::monostate{});
}

}  // namespace

SqlBuilder select_sources(SqlDialect dialect, const SourceFilter& flt) {
  SqlBuilder q(dialect);
  q.sql("SELECT ").sql(kSourceColumns).sql(" FROM sources WHERE TRUE");
  if (!flt.names.empty()) {
    std::vector<SqlValue> names;
    for (const auto& name : flt.names) {
      require_no_nul(name, "source name");
      names.emplace_back(name);
    }
    q.sql(" AND source_name IN ").param_list(names);
  }
  if (!flt.status.empty()) {
    std::vector<SqlValue> texts;
    for (auto status : flt.status) texts.emplace_back(value(status));
    q.sql(" AND status IN ").param_list(texts);
  }
  if (!flt.protocol.empty()) {
    std::vector<SqlValue> texts;
    for (auto protocol : flt.protocol) texts.emplace_back(value(protocol));
    q.sql(" AND protocol IN ").param_list(texts);
  }
  q.sql(" ORDER BY source_id");
  return q;
}

SqlBuilder insert_source(SqlDialect dialect, const SourceInfo& source) {
  require_no_nul(source.source_name, "source name");
  require_no_nul(source.endpoint, "endpoint");
  require_no_nul(source.source_type, "source type");
  SqlBuilder q(dialect);
  q.sql(
      "INSERT INTO sources (source_name, endpoint, status, protocol, interval_msec, "
      "description, source_type) VALUES (");
  q.param(source.source_name).sql(", ").param(source.endpoint).sql(", ");
  q.param(value(source.status)).sql(", ").param(value(source.protocol)).sql(", ");
  q.param(source.interval_msec).sql(", ").param(description_to_json(source.description));
  q.sql(dialect == SqlDialect::postgres ? "::jsonb" : "").sql(", ").param(source.source_type);
  q.sql(") RETURNING ").sql(kSourceColumns);
  return q;
}

SqlBuilder select_tag(SqlDialect dialect, const std::string& tag_name) {
  require_no_nul(tag_name, "tag name");
  SqlBuilder q(dialect);
  q.sql("SELECT ").sql(kTagColumns).sql(" FROM tags WHERE tag_name = ").param(tag_name);
  return q;
}

SqlBuilder insert_tag(SqlDialect dialect, const TagInfo& tag) {
  require_no_nul(tag.tag_name, "tag name");
  require_no_nul(tag.source_tagname, "source tag name");
  SqlBuilder q(dialect);
  q.sql("INSERT INTO tags (tag_name, description, source_id, source_tagname) VALUES (");
  q.param(tag.tag_name).sql(", ").param(description_to_json(tag.description));
  q.sql(dialect == SqlDialect::postgres ? "::jsonb" : "").sql(", ");
  q.param(optional_id(tag.source_id)).sql(", ").param(tag.source_tagname);
  q.sql(") RETURNING ").sql(kTagColumns);
  return q;
}

SqlBuilder update_tag(SqlDialect dialect, const std::string& tag_name, const TagFields& fields) {
  require_no_nul(tag_name, "tag name");
  if (!fields.source_id && !fields.source_tagname && !fields.description) {
    return select_tag(dialect, tag_name);
  }
  SqlBuilder q(dialect);
  q.sql("UPDATE tags SET ");
  const char* separator = "";
  if (fields.source_id) {
    q.sql("source_id = ").param(*fields.source_id);
    separator = ", ";
  }
  if (fields.source_tagname) {
    require_no_nul(*fields.source_tagname, "source tag name");
    q.sql(separator).sql("source_tagname = ").param(*fields.source_tagname);
    separator = ", ";
  }
  if (fields.description) {
    q.sql(separator).sql("description = ").param(description_to_json(*fields.description));
    q.sql(dialect == SqlDialect::postgres ? "::jsonb" : "");
  }
  q.sql(" WHERE tag_name = ").param(tag_name).sql(" RETURNING ").sql(kTagColumns);
  return q;
}

void require_equal_lengths(std::size_t tag_ids, std::size_t values, std::size_t qualities) {
  if (tag_ids != values || tag_ids != qualities) {
    throw DatabaseError("write_tsdata needs sequences of equal length (tag ids " +
                        std::to_string(tag_ids) + ", values " + std::to_string(values) +
                        ", qualities " + std::to_string(qualities) + "); nothing written");
  }
}

std::int64_t stored_seq(const BatchId& batch) {
  require_no_nul(batch.writer_id, "writer id");
  constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (batch.seq > kLargest) {
    throw RequestRejected("Batch seq " + std::to_string(batch.seq) + " of writer '" +
                          batch.writer_id + "' is above " + std::to_string(kLargest) +
                          ", the largest the TSDB stores; nothing written");
  }
  return static_cast<std::int64_t>(batch.seq);
}

void require_storable_time(std::int64_t time_us, std::string_view what) {
  // 4714-11-24 00:00:00 UTC BC, day 0 of the Julian calendar. The latest time PostgreSQL
  // stores (294276 AD) lies beyond what 64-bit microseconds since 1970 reach.
  constexpr std::int64_t kEarliestUs = -210866803200000000;
  if (time_us < kEarliestUs) {
    throw RequestRejected(std::string(what) + " " + std::to_string(time_us) +
                          " us is before the earliest time the TSDB stores; nothing written");
  }
}

void require_storable_rows(std::span<const TsdataRow> rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TsdataRow& row = rows[i];
    const auto which = [&] {
      return "row " + std::to_string(i + 1) + " of " + std::to_string(rows.size()) + " (tag id " +
             std::to_string(row.tag_id) + ")";
    };
    try {
      require_storable_time(row.time_us);
      if (row.source_time_us) require_storable_time(*row.source_time_us, "Source time");
      require_no_nul(row.quality, "quality text");
      if (row.text) require_no_nul(*row.text, "text value");
    } catch (const RequestRejected& e) {
      throw RequestRejected("In " + which() + ": " + e.what());
    }
  }
}

void require_storable_events(std::span<const EventRow> events) {
  for (std::size_t i = 0; i < events.size(); ++i) {
    const EventRow& event = events[i];
    try {
      require_storable_time(event.time_us, "Event time");
      if (event.receive_time_us) require_storable_time(*event.receive_time_us, "Receive time");
      require_no_nul(event.event_type, "event type");
      require_no_nul(event.source_node, "source node");
      require_no_nul(event.source_name, "source name");
      require_no_nul(event.message, "message");
      if (event.condition_id) require_no_nul(*event.condition_id, "condition id");
      if (event.condition_name) require_no_nul(*event.condition_name, "condition name");
      if (event.branch_id) require_no_nul(*event.branch_id, "branch id");
      require_no_nul(event.fields_json, "event fields");
      // Checked here rather than by the server, so that both drivers refuse the same events.
      // Only its outline: the text is this program's own rendering, and a full parse would
      // cost more than everything else done to store an event.
      const auto first = event.fields_json.find_first_not_of(" \t\r\n");
      const auto last = event.fields_json.find_last_not_of(" \t\r\n");
      if (first == std::string::npos || event.fields_json[first] != '{' ||
          event.fields_json[last] != '}') {
        throw RequestRejected("Event fields are no JSON object; nothing written");
      }
    } catch (const RequestRejected& e) {
      throw RequestRejected("In event " + std::to_string(i + 1) + " of " +
                            std::to_string(events.size()) + " (source '" + event.source_name +
                            "'): " + e.what());
    }
  }
}

std::string latest_condition_events_sql(SqlDialect dialect) {
  if (dialect == SqlDialect::postgres) {
    // DISTINCT ON walks the (source_id, condition_id, time) index of condition events.
    return "SELECT DISTINCT ON (condition_id) condition_id, encode(event_id, 'hex'),"
           " (extract(epoch FROM time) * 1000000)::bigint FROM events"
           " WHERE source_id = $1::bigint AND condition_id IS NOT NULL"
           " AND ($2::text[] IS NULL OR condition_id = ANY ($2::text[]))"
           " ORDER BY condition_id, time DESC, receive_time DESC NULLS LAST";
  }
  // Of events equal in both times, the one written last.
  return "SELECT condition_id, event_id, time FROM ("
         " SELECT condition_id, event_id, time, row_number() OVER (PARTITION BY condition_id"
         " ORDER BY time DESC, receive_time IS NULL, receive_time DESC, rowid DESC) AS n"
         " FROM events WHERE source_id = ?1 AND condition_id IS NOT NULL"
         " AND (?2 IS NULL OR condition_id IN (SELECT value FROM json_each(?2))))"
         " WHERE n = 1 ORDER BY condition_id";
}

std::string last_stored_sql(SqlDialect dialect) {
  const bool pg = dialect == SqlDialect::postgres;
  const std::string tag = pg ? "$1::bigint" : "?1";
  // Rows from the given time on are passed over (NULL: none).
  const std::string before =
      pg ? " AND ($2::bigint IS NULL OR time < timestamptz 'epoch' + $2::bigint * interval '1 "
           "microsecond')"
         : " AND (?2 IS NULL OR time < ?2)";
  // max() of one tag's time, and of the source times at one time, each finds its answer at one
  // end of the (tag_id, time) index on both engines; max() over no row gives NULL, and also
  // skips NULL source times, so a NULL one is the edge only when the instant has no other.
  // Every part names the tag itself rather than joining on it, so that the statement touches
  // the rows of one tag only, all of which a tag-distributed engine keeps on one node.
  const std::string same_source = pg ? " IS NOT DISTINCT FROM " : " IS ";
  const auto us = [pg](const char* column) {
    return pg ? "(extract(epoch FROM " + std::string(column) + ") * 1000000)::bigint"
              : std::string(column);
  };
  const std::string edge_rows = " FROM edge JOIN %T AS d ON d.tag_id = " + tag +
                                " AND d.time = edge.time AND d.source_time" + same_source +
                                "edge.source_time";
  const auto rows_of = [&](const char* table) {
    std::string text = edge_rows;
    text.replace(text.find("%T"), 2, table);
    return text;
  };
  return "WITH latest AS (SELECT max(time) AS time FROM ("
         " SELECT max(time) AS time FROM tsdata WHERE tag_id = " +
         tag + before + " UNION ALL SELECT max(time) FROM tsdata_text WHERE tag_id = " + tag +
         before +
         ") AS per_table),"
         " edge AS (SELECT latest.time, (SELECT max(source_time) FROM ("
         " SELECT max(source_time) AS source_time FROM tsdata WHERE tag_id = " +
         tag +
         " AND time = latest.time"
         " UNION ALL SELECT max(source_time) FROM tsdata_text WHERE tag_id = " +
         tag +
         " AND time = latest.time) AS per_table) AS source_time"
         " FROM latest WHERE latest.time IS NOT NULL)"
         " SELECT 0, " +
         us("d.time") + ", " + us("d.source_time") + ", d.value, " + (pg ? "NULL::text" : "NULL") +
         ", d.quality, d.status" + rows_of("tsdata") + " UNION ALL SELECT 1, " + us("d.time") +
         ", " + us("d.source_time") + ", " + (pg ? "NULL::double precision" : "NULL") +
         ", d.value, d.quality, d.status" + rows_of("tsdata_text");
}

std::vector<LastStoredQuery> distinct_queries(std::span<const LastStoredQuery> queries) {
  std::vector<LastStoredQuery> distinct;
  distinct.reserve(queries.size());
  std::unordered_set<std::int64_t> seen;
  seen.reserve(queries.size());
  for (const LastStoredQuery& query : queries) {
    if (seen.insert(query.tag_id).second) distinct.push_back(query);
  }
  return distinct;
}

std::int64_t current_time_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tidewell
