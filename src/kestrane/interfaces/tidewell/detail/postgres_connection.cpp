#include "postgres_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unordered_set>
#include <utility>

#include "copy_binary_writer.h"
#include "journel/log.h"
#include "pg_text_array.h"
#include "queries.h"
#include "record_codec.h"
#include "registration_batch.h"
#include "schema_migrations.h"
#include "tidewell/connection.h"

namespace tidewell {

namespace {

using Clock = std::chrono::steady_clock;

// Any constant of our own: it only has to differ from other programs' advisory locks.
constexpr std::int64_t kSchemaLockKey = 0x4b65737472616e65;  // "Kestrane"
constexpr const char* kMaintenanceDatabase = "postgres";
constexpr const char* kServerOptions = "-c statement_timeout=30000";
constexpr std::size_t kCopyChunkBytes = 1 << 20;
// The name of last_stored's statement among this connection's prepared statements.
constexpr const char* kLastStoredStatement = "tidewell_last_stored";

// write_batch records the batch first: a replay then stops before any row is sent.
constexpr const char* kRecordBatch =
    "INSERT INTO write_batches (writer_id, seq, row_count) VALUES ($1, $2::bigint, $3::bigint)"
    " ON CONFLICT (writer_id, seq) DO NOTHING";
constexpr const char* kCopyRows =
    "COPY tsdata (time, tag_id, value, quality) FROM STDIN (FORMAT binary)";
// The rows and the end of their transaction in one message, so COMMIT costs no round trip of
// its own; a COPY that fails skips the COMMIT. A simple query, as it holds two statements,
// which is why it has no parameters.
constexpr const char* kCopyRowsAndCommit =
    "COPY tsdata (time, tag_id, value, quality) FROM STDIN (FORMAT binary); COMMIT";

// write_rows: every column of schema version 3. A batch goes as one message of several
// statements: BEGIN, its record, the COPY of each table that gets rows, COMMIT; the server
// answers the record and waits for the first COPY's rows in the same round trip, so a batch
// costs the two round trips of a bare COPY.
constexpr const char* kCopyNumbers =
    "COPY tsdata (time, tag_id, value, quality, status, source_time) FROM STDIN (FORMAT binary)";
constexpr const char* kCopyTexts =
    "COPY tsdata_text (time, tag_id, value, quality, status, source_time)"
    " FROM STDIN (FORMAT binary)";
constexpr const char* kCopyEvents =
    "COPY events (time, receive_time, source_id, event_id, event_type, source_node, source_name,"
    " severity, message, condition_id, condition_name, branch_id, retain, active, acked,"
    " confirmed, refresh, fields) FROM STDIN (FORMAT binary)";
constexpr std::uint16_t kEventFields = 18;
// Bytes of a numeric row besides its quality text: field count, six lengths and the values.
constexpr std::size_t kNumberRowBytes = 2 + 6 * 4 + 5 * 8;

// A chunk of old records, found by one scan (nothing orders write_batches by time) and deleted
// by their key. Only the deleted rows are locked, so writers of new batches never wait for it.
constexpr const char* kPruneBatches =
    "DELETE FROM write_batches WHERE (writer_id, seq) IN ("
    " SELECT writer_id, seq FROM write_batches"
    " WHERE written_at < 'epoch'::timestamptz + $1::bigint * interval '1 microsecond'"
    " LIMIT $2::bigint)";

// register_tags touches no table but tags and creates none of its own, so that it runs
// unchanged where tags is a table replicated to every node of a distributed engine (which
// refuses to join such a table with a temporary one). The list travels as array parameters.
// First every stored row of a listed name, to tell new tags from changed and unchanged ones.
constexpr const char* kSelectListed =
    "SELECT tag_name, tag_id, source_id, source_tagname, description::text FROM tags"
    " WHERE tag_name = ANY ($1::text[])";
// Changed tags get what the list says; each goes in with its stored id, so that no identity
// value is spent on a row that is only updated. Rows that hold what the list says already are
// never sent: registering an unchanged list again, as every restart does, writes nothing.
constexpr const char* kUpdateChanged =
    "INSERT INTO tags (tag_id, tag_name, description, source_id, source_tagname)"
    " SELECT r.tag_id, r.tag_name, r.description::jsonb, $1::bigint, r.tag_name"
    " FROM unnest($2::bigint[], $3::text[], $4::text[]) AS r (tag_id, tag_name, description)"
    " ON CONFLICT (tag_name) DO UPDATE SET source_id = excluded.source_id,"
    " source_tagname = excluded.source_tagname, description = excluded.description";
// New tags in list order, so that new ids follow the list as they do when tags are added one
// by one. A name another connection stored meanwhile is left out, and so not returned.
constexpr const char* kInsertNew =
    "INSERT INTO tags (tag_name, description, source_id, source_tagname)"
    " SELECT r.tag_name, r.description::jsonb, $1::bigint, r.tag_name"
    " FROM unnest($2::text[], $3::text[]) WITH ORDINALITY AS r (tag_name, description, position)"
    " ORDER BY r.position"
    " ON CONFLICT (tag_name) DO NOTHING RETURNING tag_name, tag_id";
// The server hashes a long array, or probes the index with a short one.
constexpr const char* kSelectTagIds =
    "SELECT tag_name, tag_id FROM tags WHERE tag_name = ANY ($1::text[])";

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("tidewell"); }

std::string trimmed(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string describe(const TsdbSettings& settings, const std::string& dbname) {
  return "database '" + dbname + "' at " + settings.host + ":" + std::to_string(settings.port);
}

void log_notice(void*, const char* message) {
  logger()->debug("Server notice: {}", trimmed(message));
}

// Connects with the keyword/value API; dbname is taken literally, never parsed as a
// connection string. On failure returns nullptr and sets `error`.
PgConnPtr connect_to(const TsdbSettings& settings, const std::string& dbname, std::string& error) {
  if (settings.port < 1 || settings.port > 65535) {
    throw DatabaseError("Invalid TSDB port " + std::to_string(settings.port) + " for " +
                        describe(settings, dbname) + ": must be between 1 and 65535");
  }
  const std::string port = std::to_string(settings.port);
  std::vector<const char*> keys = {"host",
                                   "port",
                                   "user",
                                   "dbname",
                                   "connect_timeout",
                                   "keepalives",
                                   "keepalives_idle",
                                   "keepalives_interval",
                                   "keepalives_count",
                                   "tcp_user_timeout",
                                   "application_name",
                                   "client_encoding",
                                   "options"};
  std::vector<const char*> values = {settings.host.c_str(),
                                     port.c_str(),
                                     settings.user.c_str(),
                                     dbname.c_str(),
                                     "5",
                                     "1",
                                     "10",
                                     "5",
                                     "3",
                                     "10000",
                                     "kestrane",
                                     "UTF8",
                                     kServerOptions};
  if (!settings.password.empty()) {
    keys.push_back("password");
    values.push_back(settings.password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PgConnPtr conn(PQconnectdbParams(keys.data(), values.data(), 0));
  if (!conn) {
    error = "out of memory";
    return nullptr;
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    error = trimmed(PQerrorMessage(conn.get()));
    return nullptr;
  }
  PQsetNoticeProcessor(conn.get(), log_notice, nullptr);
  return conn;
}

// Bound values as the texts the server reads; holds the texts of numbers.
class TextParams {
 public:
  explicit TextParams(const std::vector<SqlValue>& params)
      : texts_(params.size()), values_(params.size(), nullptr) {
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
        texts_[i] = std::to_string(*number);
        values_[i] = texts_[i].c_str();
      } else if (const auto* text = std::get_if<std::string>(&params[i])) {
        values_[i] = text->c_str();
      }
    }
  }
  const std::vector<const char*>& values() const { return values_; }

 private:
  std::vector<std::string> texts_;
  std::vector<const char*> values_;
};

// Throws RequestRejected for rows the server could never store as sent: a time before its
// range, a quality text it would cut short.
void require_storable_rows(std::int64_t time_us, std::span<const std::string> qualities) {
  require_storable_time(time_us);
  for (const auto& quality : qualities) require_no_nul(quality, "quality text");
}

// tsdata rows, all at `time_us`, as one COPY stream; require_storable_rows first.
std::string tsdata_stream(std::int64_t time_us, std::span<const std::int64_t> tag_ids,
                          std::span<const double> values, std::span<const std::string> qualities) {
  CopyBinaryWriter writer;
  for (std::size_t i = 0; i < tag_ids.size(); ++i) {
    writer.add_row(time_us, tag_ids[i], values[i], qualities[i]);
  }
  return writer.finish();
}

// The rows of a write_rows batch as the COPY streams of tsdata and tsdata_text; a stream
// is empty when no row goes to its table. require_storable_rows first.
struct RowStreams {
  std::string numbers;
  std::string texts;
  std::size_t text_count = 0;
};

RowStreams row_streams(std::span<const TsdataRow> rows) {
  std::size_t number_bytes = 0;
  std::size_t text_bytes = 0;
  RowStreams streams;
  for (const TsdataRow& row : rows) {
    const std::size_t bytes = kNumberRowBytes + row.quality.size();
    if (row.text) {
      ++streams.text_count;
      text_bytes += bytes + row.text->size();
    } else {
      number_bytes += bytes;
    }
  }
  CopyBinaryWriter numbers;
  CopyBinaryWriter texts;
  if (streams.text_count < rows.size()) numbers.reserve(number_bytes + 2);
  if (streams.text_count > 0) texts.reserve(text_bytes + 2);
  for (const TsdataRow& row : rows) {
    if (row.text) {
      texts.add_row(row.time_us, row.tag_id, *row.text, row.quality, row.status,
                    row.source_time_us);
    } else {
      numbers.add_row(row.time_us, row.tag_id, row.value, row.quality, row.status,
                      row.source_time_us);
    }
  }
  if (streams.text_count < rows.size()) streams.numbers = numbers.finish();
  if (streams.text_count > 0) streams.texts = texts.finish();
  return streams;
}

void add_optional_text(CopyBinaryWriter& writer, const std::optional<std::string>& text) {
  if (text) {
    writer.add_text(*text);
  } else {
    writer.add_null();
  }
}

void add_optional_boolean(CopyBinaryWriter& writer, std::optional<bool> value) {
  if (value) {
    writer.add_boolean(*value);
  } else {
    writer.add_null();
  }
}

// The events of a write_rows batch as the COPY stream of events; require_storable_events first.
std::string event_stream(std::span<const EventRow> events) {
  CopyBinaryWriter writer;
  for (const EventRow& event : events) {
    writer.start_row(kEventFields);
    writer.add_timestamp(event.time_us);
    if (event.receive_time_us) {
      writer.add_timestamp(*event.receive_time_us);
    } else {
      writer.add_null();
    }
    writer.add_bigint(event.source_id);
    writer.add_bytes(event.event_id);
    writer.add_text(event.event_type);
    writer.add_text(event.source_node);
    writer.add_text(event.source_name);
    writer.add_integer(event.severity);
    writer.add_text(event.message);
    add_optional_text(writer, event.condition_id);
    add_optional_text(writer, event.condition_name);
    add_optional_text(writer, event.branch_id);
    add_optional_boolean(writer, event.retain);
    add_optional_boolean(writer, event.active);
    add_optional_boolean(writer, event.acked);
    add_optional_boolean(writer, event.confirmed);
    writer.add_boolean(event.refresh);
    writer.add_jsonb(event.fields_json);
  }
  return writer.finish();
}

// Hexadecimal digits, as the server's encode(..., 'hex') writes them, back to bytes.
std::string bytes_from_hex(std::string_view hex) {
  const auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
  };
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return bytes;
}

// The batch's record as SQL text, as a message of several statements takes no parameters. The
// writer id travels as hexadecimal digits and the numbers as decimal ones, so the text holds
// nothing but what is written here, whatever the id. An id that is no UTF-8 is refused by the
// server as a bound parameter would be.
std::string record_batch_sql(const std::string& writer_id, std::int64_t seq, std::size_t rows) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(writer_id.size() * 2);
  for (const char c : writer_id) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0xf];
  }
  return "INSERT INTO write_batches (writer_id, seq, row_count) VALUES (convert_from(decode('" +
         hex + "', 'hex'), 'UTF8'), " + std::to_string(seq) + ", " + std::to_string(rows) +
         ") ON CONFLICT (writer_id, seq) DO NOTHING";
}

std::size_t affected_rows(PGresult* result) {
  return static_cast<std::size_t>(std::strtoull(PQcmdTuples(result), nullptr, 10));
}

std::string text_at(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

std::int64_t int_at(const PGresult* result, int row, int column) {
  return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

SourceInfo source_at(const PGresult* result, int row) {
  SourceInfo source;
  source.source_id = int_at(result, row, 0);
  source.source_name = text_at(result, row, 1);
  source.endpoint = text_at(result, row, 2);
  source.status = status_from_text(text_at(result, row, 3));
  source.protocol = protocol_from_text(text_at(result, row, 4));
  source.interval_msec = int_at(result, row, 5);
  source.description = description_from_json(text_at(result, row, 6));
  source.source_type = text_at(result, row, 7);
  return source;
}

TagInfo tag_at(const PGresult* result, int row) {
  TagInfo tag;
  tag.tag_id = int_at(result, row, 0);
  tag.tag_name = text_at(result, row, 1);
  tag.description = description_from_json(text_at(result, row, 2));
  if (!PQgetisnull(result, row, 3)) tag.source_id = int_at(result, row, 3);
  tag.source_tagname = text_at(result, row, 4);
  return tag;
}

}  // namespace

PostgresConnection::PostgresConnection(PgConnPtr conn, std::string where)
    : conn_(std::move(conn)), where_(std::move(where)), socket_(PQsocket(conn_.get())) {}

std::unique_ptr<PostgresConnection> PostgresConnection::open(const TsdbSettings& settings) {
  const std::string where = describe(settings, settings.dbname);
  std::string error;
  PgConnPtr conn = connect_to(settings, settings.dbname, error);
  if (!conn) {
    logger()->error("Cannot connect to TSDB {}: {}", where, error);
    return nullptr;
  }
  std::unique_ptr<PostgresConnection> connection(new PostgresConnection(std::move(conn), where));
  try {
    connection->create_schema();
  } catch (const DatabaseError& e) {
    logger()->error("{}", e.what());
    // A server that went away meanwhile is a failed connect like any other.
    if (!connection->conn_) return nullptr;
    throw;
  }
  logger()->debug("Connected to TSDB {}", where);
  return connection;
}

std::vector<std::string> PostgresConnection::list_databases(const TsdbSettings& settings) {
  const std::string where = describe(settings, kMaintenanceDatabase);
  std::string error;
  PgConnPtr conn = connect_to(settings, kMaintenanceDatabase, error);
  if (!conn) {
    logger()->error("Cannot list TSDB databases through {}: {}", where, error);
    throw DatabaseError("Cannot list TSDB databases through " + where + ": " + error);
  }
  PostgresConnection connection(std::move(conn), where);
  // By oid: a database dropped meanwhile then reads as no privilege instead of an error.
  const auto result = connection.run(
      "SELECT datname FROM pg_database WHERE NOT datistemplate AND datallowconn"
      " AND datname <> $1 AND has_database_privilege(oid, 'CONNECT') ORDER BY datname",
      {std::string(kMaintenanceDatabase)});
  connection.check(result, PGRES_TUPLES_OK);
  std::vector<std::string> names;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    names.push_back(text_at(result.get(), row, 0));
  }
  return names;
}

std::size_t PostgresConnection::schema_version() {
  const auto exists = run("SELECT to_regclass('schema_version') IS NOT NULL");
  check(exists, PGRES_TUPLES_OK);
  if (text_at(exists.get(), 0, 0) != "t") return 0;
  const auto current = run("SELECT coalesce(max(version), 0) FROM schema_version");
  check(current, PGRES_TUPLES_OK);
  return static_cast<std::size_t>(int_at(current.get(), 0, 0));
}

void PostgresConnection::create_schema() {
  const auto& migrations = schema_migrations(SqlDialect::postgres);
  // The usual case needs no lock and no DDL, so a user without CREATE rights can connect
  // to a database that was set up before.
  if (schema_version() == migrations.size()) return;
  check(run("BEGIN"), PGRES_COMMAND_OK);
  try {
    check(run("SELECT pg_advisory_xact_lock($1::bigint)", {kSchemaLockKey}), PGRES_TUPLES_OK);
    check(run(schema_version_table(SqlDialect::postgres)), PGRES_COMMAND_OK);
    const auto current = schema_version();
    if (current > migrations.size()) {
      throw DatabaseError("TSDB " + where_ + " has schema version " + std::to_string(current) +
                          ", newer than this program knows (" + std::to_string(migrations.size()) +
                          ")");
    }
    for (std::size_t version = current + 1; version <= migrations.size(); ++version) {
      for (const char* statement : migrations[version - 1]) {
        check(run(statement), PGRES_COMMAND_OK);
      }
      check(run("INSERT INTO schema_version (version) VALUES ($1::bigint)",
                {static_cast<std::int64_t>(version)}),
            PGRES_COMMAND_OK);
      logger()->info("TSDB {} schema moved to version {}", where_, version);
    }
    check(run("COMMIT"), PGRES_COMMAND_OK);
  } catch (const std::exception& e) {
    if (conn_) PgResultPtr(PQexec(conn_.get(), "ROLLBACK"));
    // The inner message names the database already.
    throw DatabaseError(std::string("Cannot set up the schema: ") + e.what());
  }
}

PGconn* PostgresConnection::live() {
  if (!conn_) throw DatabaseError("The connection to TSDB " + where_ + " is closed");
  return conn_.get();
}

void PostgresConnection::lose_connection(const std::string& why) {
  drop_connection();
  throw DatabaseError("Lost the connection to TSDB " + where_ + ": " + why);
}

PgResultPtr PostgresConnection::run(const SqlBuilder& query) {
  return run(query.text(), query.params());
}

PgResultPtr PostgresConnection::run(std::string_view sql, const std::vector<SqlValue>& params,
                                    std::chrono::milliseconds timeout) {
  const TextParams texts(params);
  return send(sql, texts.values(), {}, {}, timeout);
}

std::vector<PgResultPtr> PostgresConnection::run_pipelined(
    const std::vector<PipelinedStatement>& statements) {
  PGconn* conn = live();
  const auto deadline = Clock::now() + kRequestTimeout;
  if (!PQenterPipelineMode(conn)) lose_connection(trimmed(PQerrorMessage(conn)));
  for (const PipelinedStatement& statement : statements) {
    const TextParams texts(statement.params);
    if (!PQsendQueryParams(conn, statement.sql, static_cast<int>(texts.values().size()), nullptr,
                           texts.values().data(), nullptr, nullptr, 0)) {
      lose_connection(trimmed(PQerrorMessage(conn)));
    }
  }
  return finish_pipeline(statements.size(), deadline);
}

std::vector<PgResultPtr> PostgresConnection::run_prepared_pipelined(
    const char* name, const std::vector<std::vector<SqlValue>>& params) {
  PGconn* conn = live();
  const auto deadline = Clock::now() + kRequestTimeout;
  if (!PQenterPipelineMode(conn)) lose_connection(trimmed(PQerrorMessage(conn)));
  for (const auto& values : params) {
    const TextParams texts(values);
    if (!PQsendQueryPrepared(conn, name, static_cast<int>(texts.values().size()),
                             texts.values().data(), nullptr, nullptr, 0)) {
      lose_connection(trimmed(PQerrorMessage(conn)));
    }
  }
  return finish_pipeline(params.size(), deadline);
}

std::vector<PgResultPtr> PostgresConnection::finish_pipeline(std::size_t sent,
                                                             Clock::time_point deadline) {
  PGconn* conn = live();
  if (!PQpipelineSync(conn)) lose_connection(trimmed(PQerrorMessage(conn)));
  // Each statement answers with one result and a null; the sync point ends the flight. Two
  // nulls in a row would mean the answers stopped before it.
  std::vector<PgResultPtr> results;
  results.reserve(sent);
  bool ended = false;
  for (;;) {
    wait_for_answer(deadline);
    PgResultPtr result(PQgetResult(conn));
    if (!result) {
      if (ended) lose_connection("the server's answers stopped short of the pipeline's end");
      ended = true;
      continue;
    }
    ended = false;
    if (PQresultStatus(result.get()) == PGRES_PIPELINE_SYNC) break;
    results.push_back(std::move(result));
  }
  if (results.size() != sent || !PQexitPipelineMode(conn)) {
    lose_connection("the server answered " + std::to_string(results.size()) + " of " +
                    std::to_string(sent) + " pipelined statements");
  }
  return results;
}

PgResultPtr PostgresConnection::run_binary(std::string_view sql, const std::string& param) {
  return send(sql, {param.data()}, {static_cast<int>(param.size())}, {1}, kRequestTimeout);
}

PgResultPtr PostgresConnection::send(std::string_view sql, const std::vector<const char*>& values,
                                     const std::vector<int>& lengths,
                                     const std::vector<int>& formats,
                                     std::chrono::milliseconds timeout) {
  PGconn* conn = live();
  const std::string statement(sql);
  const auto deadline = Clock::now() + timeout;
  if (!PQsendQueryParams(conn, statement.c_str(), static_cast<int>(values.size()), nullptr,
                         values.data(), lengths.empty() ? nullptr : lengths.data(),
                         formats.empty() ? nullptr : formats.data(), 0)) {
    lose_connection(trimmed(PQerrorMessage(conn)));
  }
  return take_result(deadline);
}

PgResultPtr PostgresConnection::copy_in(const char* copy_sql, const std::string& rows) {
  PGconn* conn = live();
  const auto deadline = Clock::now() + kRequestTimeout;
  if (!PQsendQueryParams(conn, copy_sql, 0, nullptr, nullptr, nullptr, nullptr, 0)) {
    lose_connection(trimmed(PQerrorMessage(conn)));
  }
  auto results = stream_copy(rows, deadline);
  return std::move(results.back());
}

std::vector<PgResultPtr> PostgresConnection::copy_in_then(const char* sql,
                                                          const std::string& rows) {
  PGconn* conn = live();
  const auto deadline = Clock::now() + kRequestTimeout;
  if (!PQsendQuery(conn, sql)) lose_connection(trimmed(PQerrorMessage(conn)));
  return stream_copy(rows, deadline);
}

std::vector<PgResultPtr> PostgresConnection::copy_streams(
    const std::vector<const std::string*>& streams, Clock::time_point deadline) {
  PGconn* conn = live();
  std::vector<PgResultPtr> done;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (i > 0) {
      // The previous COPY's result, then the next COPY waiting for its rows; after a failed
      // COPY the server runs nothing more of the message, and check() throws its error.
      auto started = take_results(deadline);
      check(started.back(), PGRES_COPY_IN);
      for (std::size_t j = 0; j + 1 < started.size(); ++j) done.push_back(std::move(started[j]));
    }
    const std::string& rows = *streams[i];
    for (std::size_t at = 0; at < rows.size(); at += kCopyChunkBytes) {
      const auto length = std::min(kCopyChunkBytes, rows.size() - at);
      if (PQputCopyData(conn, rows.data() + at, static_cast<int>(length)) != 1) {
        lose_connection(trimmed(PQerrorMessage(conn)));
      }
    }
    if (PQputCopyEnd(conn, nullptr) != 1) lose_connection(trimmed(PQerrorMessage(conn)));
  }
  for (auto& result : take_results(deadline)) done.push_back(std::move(result));
  return done;
}

std::vector<PgResultPtr> PostgresConnection::stream_copy(const std::string& rows,
                                                         Clock::time_point deadline) {
  PGconn* conn = live();
  const auto started = take_results(deadline);
  check(started.back(), PGRES_COPY_IN);
  for (std::size_t at = 0; at < rows.size(); at += kCopyChunkBytes) {
    const auto length = std::min(kCopyChunkBytes, rows.size() - at);
    if (PQputCopyData(conn, rows.data() + at, static_cast<int>(length)) != 1) {
      lose_connection(trimmed(PQerrorMessage(conn)));
    }
  }
  if (PQputCopyEnd(conn, nullptr) != 1) lose_connection(trimmed(PQerrorMessage(conn)));
  return take_results(deadline);
}

void PostgresConnection::rollback() noexcept {
  if (conn_ && PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) {
    PgResultPtr(PQexec(conn_.get(), "ROLLBACK"));
  }
}

void PostgresConnection::wait_for_answer(Clock::time_point deadline) {
  PGconn* conn = live();
  while (PQisBusy(conn)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd fd{PQsocket(conn), POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&fd, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) lose_connection("no answer from the server in time");
    if (ready < 0 || !PQconsumeInput(conn)) lose_connection(trimmed(PQerrorMessage(conn)));
  }
}

std::vector<PgResultPtr> PostgresConnection::take_results(Clock::time_point deadline) {
  PGconn* conn = live();
  std::vector<PgResultPtr> results;
  for (;;) {
    wait_for_answer(deadline);
    PgResultPtr result(PQgetResult(conn));
    if (!result) break;
    const auto status = PQresultStatus(result.get());
    results.push_back(std::move(result));
    if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) break;
  }
  if (results.empty()) lose_connection(trimmed(PQerrorMessage(conn)));
  return results;
}

PgResultPtr PostgresConnection::take_result(Clock::time_point deadline) {
  auto results = take_results(deadline);
  return std::move(results.back());
}

void PostgresConnection::check(const PgResultPtr& result, ExecStatusType wanted) {
  if (PQresultStatus(result.get()) == wanted) return;
  const std::string message = trimmed(PQresultErrorMessage(result.get()));
  if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) lose_connection(message);
  const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
  const std::string sqlstate = state ? state : "";
  // Class 22 (data exception), 23 (integrity constraint) and 54 (a limit such as the size of
  // an index entry, which a very long tag name exceeds): the request, not the link.
  if (sqlstate.starts_with("22") || sqlstate.starts_with("23") || sqlstate.starts_with("54")) {
    throw RequestRejected("TSDB " + where_ + " refused the request: " + message);
  }
  throw DatabaseError("TSDB " + where_ + ": " + message);
}

void PostgresConnection::drop_connection() noexcept {
  {
    std::lock_guard lock(socket_mutex_);
    socket_ = -1;
  }
  conn_.reset();
}

void PostgresConnection::close() { drop_connection(); }

void PostgresConnection::abort() noexcept {
  // Only the socket is touched: libpq's own state belongs to the thread that runs the
  // request, which sees its poll or send fail and drops the connection itself.
  std::lock_guard lock(socket_mutex_);
  if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

bool PostgresConnection::ping() {
  if (!conn_) return false;
  try {
    check(run("SELECT 1", {}, kPingTimeout), PGRES_TUPLES_OK);
    return true;
  } catch (const std::exception& e) {
    logger()->warn("Ping of TSDB {} failed: {}", where_, e.what());
    return false;
  }
}

std::vector<SourceInfo> PostgresConnection::get_sources(const SourceFilter& flt) {
  const auto result = run(select_sources(SqlDialect::postgres, flt));
  check(result, PGRES_TUPLES_OK);
  std::vector<SourceInfo> sources;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    sources.push_back(source_at(result.get(), row));
  }
  return sources;
}

OperationResult<SourceInfo> PostgresConnection::insert_new_source(SourceInfo& source) {
  try {
    const auto result = run(insert_source(SqlDialect::postgres, source));
    check(result, PGRES_TUPLES_OK);
    auto stored = source_at(result.get(), 0);
    source.source_id = stored.source_id;
    return {true, std::move(stored), {}};
  } catch (const RequestRejected& e) {
    return {false, std::nullopt, e.what()};
  }
}

std::optional<TagInfo> PostgresConnection::get_tag(const std::string& tag_name) {
  const auto result = run(select_tag(SqlDialect::postgres, tag_name));
  check(result, PGRES_TUPLES_OK);
  if (PQntuples(result.get()) == 0) return std::nullopt;
  return tag_at(result.get(), 0);
}

OperationResult<TagInfo> PostgresConnection::insert_new_tag(const TagInfo& tag) {
  try {
    const auto result = run(insert_tag(SqlDialect::postgres, tag));
    check(result, PGRES_TUPLES_OK);
    return {true, tag_at(result.get(), 0), {}};
  } catch (const RequestRejected& e) {
    return {false, std::nullopt, e.what()};
  }
}

OperationResult<TagInfo> PostgresConnection::update_tag_fields(const std::string& tag_name,
                                                               const TagFields& fields) {
  try {
    const auto result = run(update_tag(SqlDialect::postgres, tag_name, fields));
    check(result, PGRES_TUPLES_OK);
    if (PQntuples(result.get()) == 0) {
      return {false, std::nullopt, "No tag '" + tag_name + "' in TSDB " + where_};
    }
    return {true, tag_at(result.get(), 0), {}};
  } catch (const RequestRejected& e) {
    return {false, std::nullopt, e.what()};
  }
}

std::unordered_map<std::string, std::int64_t> PostgresConnection::get_tag_ids(
    std::span<const std::string> names) {
  live();
  std::unordered_map<std::string, std::int64_t> ids;
  std::vector<std::string_view> wanted;
  wanted.reserve(names.size());
  for (const std::string& name : names) {
    // No stored name holds a NUL byte, and the server would refuse the whole array for one.
    if (name.find('\0') == std::string::npos) wanted.push_back(name);
  }
  if (wanted.empty()) return ids;
  PgResultPtr result;
  try {
    result = run_binary(kSelectTagIds, binary_text_array(wanted));
    check(result, PGRES_TUPLES_OK);
  } catch (const RequestRejected& e) {
    // A name that is no valid text spoils the whole array; name by name, it is just absent.
    logger()->debug("Looking up {} tags at once was refused ({}); looking them up one by one",
                    wanted.size(), e.what());
    return Connection::get_tag_ids(names);
  }
  const int rows = PQntuples(result.get());
  ids.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    ids.emplace(text_at(result.get(), row, 0), int_at(result.get(), row, 1));
  }
  return ids;
}

TagRegistrationResult PostgresConnection::register_tags(std::int64_t source_id,
                                                        std::span<const TagRegistration> tags) {
  live();
  if (tags.empty()) return {};
  return register_with_fallback(
      tags, [&](auto list) { return register_set(source_id, list); },
      [&](auto list) { return Connection::register_tags(source_id, list); });
}

TagRegistrationResult PostgresConnection::register_set(std::int64_t source_id,
                                                       std::span<const TagRegistration> tags) {
  const RegistrationBatch batch(tags);
  std::vector<std::string_view> names;
  names.reserve(batch.entries().size());
  for (const auto& entry : batch.entries()) names.push_back(entry.tag_name);
  const std::string source = std::to_string(source_id);
  check(run("BEGIN"), PGRES_COMMAND_OK);
  try {
    const auto stored = run_binary(kSelectListed, binary_text_array(names));
    check(stored, PGRES_TUPLES_OK);
    std::unordered_map<std::string_view, int> stored_row;
    const int stored_count = PQntuples(stored.get());
    stored_row.reserve(static_cast<std::size_t>(stored_count));
    for (int row = 0; row < stored_count; ++row) {
      stored_row.emplace(
          std::string_view(PQgetvalue(stored.get(), row, 0),
                           static_cast<std::size_t>(PQgetlength(stored.get(), row, 0))),
          row);
    }
    std::unordered_map<std::string, std::int64_t> ids;
    ids.reserve(batch.entries().size());
    std::vector<std::string_view> new_names, new_descriptions, changed_names, changed_descriptions;
    std::string changed_ids = "{";
    for (const auto& entry : batch.entries()) {
      const auto found = stored_row.find(entry.tag_name);
      if (found == stored_row.end()) {
        new_names.push_back(entry.tag_name);
        new_descriptions.push_back(entry.description);
        continue;
      }
      const int row = found->second;
      const std::int64_t id = int_at(stored.get(), row, 1);
      ids.emplace(entry.tag_name, id);
      const bool unchanged = !PQgetisnull(stored.get(), row, 2) &&
                             int_at(stored.get(), row, 2) == source_id &&
                             text_at(stored.get(), row, 3) == entry.tag_name &&
                             same_description(text_at(stored.get(), row, 4), entry.description);
      if (unchanged) continue;
      if (!changed_names.empty()) changed_ids += ',';
      changed_ids += std::to_string(id);
      changed_names.push_back(entry.tag_name);
      changed_descriptions.push_back(entry.description);
    }
    changed_ids += '}';
    if (!changed_names.empty()) {
      const std::string names_array = binary_text_array(changed_names);
      const std::string descriptions_array = binary_text_array(changed_descriptions);
      check(
          send(kUpdateChanged,
               {source.c_str(), changed_ids.c_str(), names_array.data(), descriptions_array.data()},
               {0, 0, static_cast<int>(names_array.size()),
                static_cast<int>(descriptions_array.size())},
               {0, 0, 1, 1}, kRequestTimeout),
          PGRES_COMMAND_OK);
    }
    std::unordered_set<std::string_view> created;
    if (!new_names.empty()) {
      const std::string names_array = binary_text_array(new_names);
      const std::string descriptions_array = binary_text_array(new_descriptions);
      const auto inserted = send(
          kInsertNew, {source.c_str(), names_array.data(), descriptions_array.data()},
          {0, static_cast<int>(names_array.size()), static_cast<int>(descriptions_array.size())},
          {0, 1, 1}, kRequestTimeout);
      check(inserted, PGRES_TUPLES_OK);
      const int count = PQntuples(inserted.get());
      for (int row = 0; row < count; ++row) {
        ids.emplace(text_at(inserted.get(), row, 0), int_at(inserted.get(), row, 1));
      }
      created.insert(new_names.begin(), new_names.end());
    }
    // A new name missing from the insert's answer was stored by another connection meanwhile:
    // it has no id then, batch.result refuses the list, and the caller registers it again in
    // parts.
    TagRegistrationResult result = batch.result(created, std::move(ids));
    check(run("COMMIT"), PGRES_COMMAND_OK);
    return result;
  } catch (...) {
    rollback();
    throw;
  }
}

WriteResult PostgresConnection::write_tsdata(std::span<const std::int64_t> tag_ids,
                                             std::span<const double> values,
                                             std::span<const std::string> qualities) {
  require_equal_lengths(tag_ids.size(), values.size(), qualities.size());
  live();
  if (tag_ids.empty()) return {true, 0};
  const std::int64_t now = current_time_us();
  require_storable_rows(now, qualities);
  const auto finished = copy_in(kCopyRows, tsdata_stream(now, tag_ids, values, qualities));
  check(finished, PGRES_COMMAND_OK);
  return {true, affected_rows(finished.get())};
}

WriteResult PostgresConnection::write_batch(const BatchId& batch, std::int64_t time_us,
                                            std::span<const std::int64_t> tag_ids,
                                            std::span<const double> values,
                                            std::span<const std::string> qualities) {
  require_equal_lengths(tag_ids.size(), values.size(), qualities.size());
  const std::int64_t seq = stored_seq(batch);
  require_storable_rows(time_us, qualities);
  live();
  // Three round trips: BEGIN with the record, the COPY's start, the rows with the COMMIT. The
  // COPY cannot join the first, as libpq keeps COPY out of pipelines.
  const auto opened = run_pipelined(
      {{"BEGIN", {}},
       {kRecordBatch, {batch.writer_id, seq, static_cast<std::int64_t>(tag_ids.size())}}});
  try {
    check(opened[0], PGRES_COMMAND_OK);
    check(opened[1], PGRES_COMMAND_OK);
    if (affected_rows(opened[1].get()) == 0) {
      check(run("ROLLBACK"), PGRES_COMMAND_OK);
      return {true, 0, true};
    }
    if (tag_ids.empty()) {
      check(run("COMMIT"), PGRES_COMMAND_OK);
      return {true, 0};
    }
    // Made only now: a replay, answered above, never pays for it.
    const auto done =
        copy_in_then(kCopyRowsAndCommit, tsdata_stream(time_us, tag_ids, values, qualities));
    check(done.front(), PGRES_COMMAND_OK);
    if (done.size() != 2) {
      throw DatabaseError("TSDB " + where_ + " did not answer the COMMIT of batch " +
                          batch.writer_id + "/" + std::to_string(batch.seq));
    }
    check(done.back(), PGRES_COMMAND_OK);
    return {true, affected_rows(done.front().get())};
  } catch (...) {
    rollback();
    throw;
  }
}

WriteResult PostgresConnection::write_rows(const BatchId& batch, std::span<const TsdataRow> rows,
                                           std::span<const EventRow> events) {
  const std::int64_t seq = stored_seq(batch);
  require_storable_rows(rows);
  require_storable_events(events);
  PGconn* conn = live();
  const auto text_count = static_cast<std::size_t>(
      std::count_if(rows.begin(), rows.end(), [](const TsdataRow& row) { return row.text; }));
  const bool numbers = text_count < rows.size();
  const bool texts = text_count > 0;
  const bool with_events = !events.empty();
  std::string sql = "BEGIN; " + record_batch_sql(batch.writer_id, seq, rows.size()) + "; ";
  if (numbers) sql += std::string(kCopyNumbers) + "; ";
  if (texts) sql += std::string(kCopyTexts) + "; ";
  if (with_events) sql += std::string(kCopyEvents) + "; ";
  sql += "COMMIT";
  const auto deadline = Clock::now() + kRequestTimeout;
  if (!PQsendQuery(conn, sql.c_str())) lose_connection(trimmed(PQerrorMessage(conn)));
  try {
    // Made while the server opens the transaction; a replay pays for it too, which costs less
    // than a round trip of its own would cost every batch.
    const RowStreams streams = row_streams(rows);
    const std::string event_rows = with_events ? event_stream(events) : std::string();
    // BEGIN, the record, then the first COPY waiting for its rows (or, with none, COMMIT).
    const auto opened = take_results(deadline);
    for (const auto& result : opened) {
      if (PQresultStatus(result.get()) != PGRES_COPY_IN) check(result, PGRES_COMMAND_OK);
    }
    if (opened.size() < 2) lose_connection("the server answered a batch's start only in part");
    const bool duplicate = affected_rows(opened[1].get()) == 0;
    if (rows.empty() && !with_events) {
      // The record, when new, is committed: an empty batch is stored too.
      if (opened.size() != 3) {
        throw DatabaseError("TSDB " + where_ + " did not answer the COMMIT of batch " +
                            batch.writer_id + "/" + std::to_string(batch.seq));
      }
      return {true, 0, duplicate};
    }
    check(opened.back(), PGRES_COPY_IN);
    if (duplicate) {
      // Stored already: the COPY ends with an error, which skips the rest of the message.
      if (PQputCopyEnd(conn, "batch stored already") != 1) {
        lose_connection(trimmed(PQerrorMessage(conn)));
      }
      take_results(deadline);
      rollback();
      return {true, 0, true};
    }
    std::vector<const std::string*> sent;
    if (numbers) sent.push_back(&streams.numbers);
    if (texts) sent.push_back(&streams.texts);
    if (with_events) sent.push_back(&event_rows);
    const auto done = copy_streams(sent, deadline);
    for (const auto& result : done) check(result, PGRES_COMMAND_OK);
    if (done.size() != sent.size() + 1) {
      throw DatabaseError("TSDB " + where_ + " did not answer the COMMIT of batch " +
                          batch.writer_id + "/" + std::to_string(batch.seq));
    }
    const std::size_t row_streams_sent = sent.size() - (with_events ? 1 : 0);
    std::size_t written = 0;
    for (std::size_t i = 0; i < row_streams_sent; ++i) written += affected_rows(done[i].get());
    const std::size_t events_written =
        with_events ? affected_rows(done[row_streams_sent].get()) : 0;
    return {true, written, false, streams.text_count, events_written};
  } catch (...) {
    rollback();
    throw;
  }
}

std::vector<ConditionEvent> PostgresConnection::latest_condition_events(
    std::int64_t source_id, std::span<const std::string> condition_ids) {
  live();
  const std::string sql = latest_condition_events_sql(SqlDialect::postgres);
  const std::string source = std::to_string(source_id);
  PgResultPtr result;
  if (condition_ids.empty()) {
    result = send(sql, {source.c_str(), nullptr}, {0, 0}, {0, 0}, kRequestTimeout);
  } else {
    std::vector<std::string_view> wanted;
    wanted.reserve(condition_ids.size());
    for (const std::string& id : condition_ids) {
      // No stored id holds a NUL byte, and the server would refuse the whole array for one.
      if (id.find('\0') == std::string::npos) wanted.push_back(id);
    }
    if (wanted.empty()) return {};
    const std::string array = binary_text_array(wanted);
    result = send(sql, {source.c_str(), array.data()}, {0, static_cast<int>(array.size())}, {0, 1},
                  kRequestTimeout);
  }
  check(result, PGRES_TUPLES_OK);
  std::vector<ConditionEvent> found;
  const int count = PQntuples(result.get());
  found.reserve(static_cast<std::size_t>(count));
  for (int row = 0; row < count; ++row) {
    found.push_back({text_at(result.get(), row, 0), bytes_from_hex(text_at(result.get(), row, 1)),
                     int_at(result.get(), row, 2)});
  }
  // In byte order, as on SQLite, whatever the database's collation.
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.condition_id < b.condition_id; });
  return found;
}

std::vector<LastStored> PostgresConnection::last_stored(std::span<const LastStoredQuery> queries) {
  PGconn* conn = live();
  const std::vector<LastStoredQuery> ids = distinct_queries(queries);
  std::vector<LastStored> found;
  if (ids.empty()) return found;
  if (!last_stored_prepared_) {
    // Planned once per connection: each tag then costs the server only the lookups.
    const std::string sql = last_stored_sql(SqlDialect::postgres);
    const auto deadline = Clock::now() + kRequestTimeout;
    if (!PQsendPrepare(conn, kLastStoredStatement, sql.c_str(), 2, nullptr)) {
      lose_connection(trimmed(PQerrorMessage(conn)));
    }
    check(take_result(deadline), PGRES_COMMAND_OK);
    last_stored_prepared_ = true;
  }
  for (std::size_t at = 0; at < ids.size(); at += kLastStoredChunk) {
    const std::size_t count = std::min(kLastStoredChunk, ids.size() - at);
    std::vector<std::vector<SqlValue>> params;
    params.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const LastStoredQuery& query = ids[at + i];
      params.push_back({query.tag_id, query.before_us ? SqlValue(*query.before_us) : SqlValue()});
    }
    const auto results = run_prepared_pipelined(kLastStoredStatement, params);
    for (std::size_t i = 0; i < count; ++i) {
      const PGresult* result = results[i].get();
      check(results[i], PGRES_TUPLES_OK);
      const int rows = PQntuples(result);
      if (rows == 0) continue;
      LastStored tag{.tag_id = ids[at + i].tag_id, .time_us = int_at(result, 0, 1)};
      if (!PQgetisnull(result, 0, 2)) tag.source_time_us = int_at(result, 0, 2);
      tag.rows_at_edge.reserve(static_cast<std::size_t>(rows));
      for (int row = 0; row < rows; ++row) {
        TsdataRow stored;
        stored.time_us = tag.time_us;
        stored.tag_id = tag.tag_id;
        if (text_at(result, row, 0) == "1") {
          stored.text = text_at(result, row, 4);
        } else {
          // The server writes NaN and the infinities as strtod reads them.
          stored.value = std::strtod(PQgetvalue(result, row, 3), nullptr);
        }
        stored.quality = text_at(result, row, 5);
        if (!PQgetisnull(result, row, 6)) {
          stored.status = static_cast<std::uint32_t>(int_at(result, row, 6));
        }
        stored.source_time_us = tag.source_time_us;
        tag.rows_at_edge.push_back(std::move(stored));
      }
      found.push_back(std::move(tag));
    }
  }
  return found;
}

std::size_t PostgresConnection::prune_write_batches(std::int64_t older_than_us,
                                                    std::size_t max_rows) {
  const auto deleted = run(kPruneBatches, {older_than_us, static_cast<std::int64_t>(max_rows)});
  check(deleted, PGRES_COMMAND_OK);
  return affected_rows(deleted.get());
}

}  // namespace tidewell
