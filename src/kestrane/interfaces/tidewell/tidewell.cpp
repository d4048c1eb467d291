#include "tidewell/tidewell.h"

#include <chrono>

#include "postgres_connection.h"
#include "sqlite_connection.h"

namespace tidewell {

namespace {

enum class Driver { postgresql, sqlite };

// Records deleted per transaction: a few tens of milliseconds of work on either driver.
constexpr std::size_t kPruneChunk = 10000;
// One prune call works no longer than this; a large backlog is worked off over several calls.
constexpr std::chrono::seconds kPruneBudget{2};

Driver driver_of(const TsdbSettings& settings) {
  if (settings.driver.empty() || settings.driver == "postgresql") return Driver::postgresql;
  if (settings.driver == "sqlite") return Driver::sqlite;
  throw DatabaseError("Unknown TSDB driver '" + settings.driver + "' for database '" +
                      settings.dbname + "' at " + settings.host +
                      ": use \"postgresql\" or \"sqlite\"");
}

}  // namespace

std::unique_ptr<Connection> get_conn(const TsdbSettings& settings) {
  if (driver_of(settings) == Driver::sqlite) return SqliteConnection::open(settings);
  return PostgresConnection::open(settings);
}

std::unique_ptr<Connection> connect_with(const ConnectFunc& connect, const TsdbSettings& settings) {
  return connect ? connect(settings) : get_conn(settings);
}

bool ping(Connection& conn) { return conn.ping(); }

std::vector<std::string> fetch_available_tsdbs(const TsdbSettings& settings) {
  if (driver_of(settings) == Driver::sqlite) return SqliteConnection::list_databases(settings);
  return PostgresConnection::list_databases(settings);
}

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

std::unordered_map<std::string, std::int64_t> get_tag_ids(Connection& conn,
                                                          std::span<const std::string> names) {
  return conn.get_tag_ids(names);
}

TagRegistrationResult register_tags(Connection& conn, std::int64_t source_id,
                                    std::span<const TagRegistration> tags) {
  return conn.register_tags(source_id, tags);
}

WriteResult write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                         std::span<const double> values, std::span<const std::string> qualities) {
  return conn.write_tsdata(tag_ids, values, qualities);
}

WriteResult write_tsdata(Connection& conn, const BatchId& batch, std::int64_t time_us,
                         std::span<const std::int64_t> tag_ids, std::span<const double> values,
                         std::span<const std::string> qualities) {
  return conn.write_batch(batch, time_us, tag_ids, values, qualities);
}

WriteResult write_tsdata(Connection& conn, const BatchId& batch, std::span<const TsdataRow> rows) {
  return conn.write_rows(batch, rows, {});
}

WriteResult write_rows_and_events(Connection& conn, const BatchId& batch,
                                  std::span<const TsdataRow> rows,
                                  std::span<const EventRow> events) {
  return conn.write_rows(batch, rows, events);
}

std::vector<ConditionEvent> latest_condition_events(Connection& conn, std::int64_t source_id,
                                                    std::span<const std::string> condition_ids) {
  return conn.latest_condition_events(source_id, condition_ids);
}

std::vector<LastStored> last_stored(Connection& conn, std::span<const std::int64_t> tag_ids) {
  std::vector<LastStoredQuery> queries;
  queries.reserve(tag_ids.size());
  for (const std::int64_t id : tag_ids) queries.push_back({.tag_id = id});
  return conn.last_stored(queries);
}

std::vector<LastStored> last_stored(Connection& conn, std::span<const LastStoredQuery> queries) {
  return conn.last_stored(queries);
}

TagMetadataUpdate update_tag_metadata(Connection& conn, std::span<const TagMetadata> metadata) {
  return conn.update_tag_metadata(metadata);
}

std::vector<TagMetadata> tag_metadata(Connection& conn, std::span<const std::int64_t> tag_ids) {
  return conn.tag_metadata(tag_ids);
}

PruneResult prune_write_batches(Connection& conn, std::int64_t older_than_us) {
  const auto until = std::chrono::steady_clock::now() + kPruneBudget;
  PruneResult result;
  for (;;) {
    const std::size_t deleted = conn.prune_write_batches(older_than_us, kPruneChunk);
    result.deleted += deleted;
    if (deleted < kPruneChunk) return result;
    if (std::chrono::steady_clock::now() >= until) {
      result.finished = false;
      return result;
    }
  }
}

}  // namespace tidewell
