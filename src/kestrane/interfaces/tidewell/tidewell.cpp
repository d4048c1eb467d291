#include "tidewell/tidewell.h"

namespace tidewell {

// Drivers are chosen here by settings.driver; the first version has none yet.
std::unique_ptr<Connection> get_conn(const TsdbSettings& settings) {
  throw DatabaseError("Unknown TSDB driver '" + settings.driver + "'");
}

bool ping(Connection& conn) { return conn.ping(); }

std::vector<std::string> fetch_available_tsdbs(const TsdbSettings&) { return {}; }

std::vector<SourceInfo> get_sources(Connection& conn, const SourceFilter& flt) {
  return conn.get_sources(flt);
}

OperationResult<SourceInfo> insert_new_source(Connection& conn, SourceInfo& source) {
  return conn.insert_new_source(source);
}

std::optional<TagInfo> get_tag(Connection& conn, const std::string& tag_name) {
  return conn.get_tag(tag_name);
}

OperationResult<TagInfo> insert_new_tag(Connection& conn, const TagInfo& tag) {
  return conn.insert_new_tag(tag);
}

OperationResult<TagInfo> update_tag_fields(Connection& conn, const std::string& tag_name,
                                           const TagFields& fields) {
  return conn.update_tag_fields(tag_name, fields);
}

WriteResult write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                         std::span<const double> values, std::span<const std::string> qualities) {
  return conn.write_tsdata(tag_ids, values, qualities);
}

}  // namespace tidewell
