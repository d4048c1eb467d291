#include "queries.h"

#include <chrono>
#include <limits>

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

std::int64_t current_time_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tidewell
