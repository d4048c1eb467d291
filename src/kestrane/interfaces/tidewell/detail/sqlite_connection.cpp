#include "sqlite_connection.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "journel/log.h"
#include "queries.h"
#include "record_codec.h"
#include "registration_batch.h"
#include "schema_migrations.h"
#include "tidewell/connection.h"

namespace tidewell {

namespace {

constexpr int kBusyTimeoutMsec = 5000;

constexpr const char* kInsertRow =
    "INSERT INTO tsdata (time, tag_id, value, quality) VALUES (?1, ?2, ?3, ?4)";
constexpr const char* kInsertNumber =
    "INSERT INTO tsdata (time, tag_id, value, quality, status, source_time)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
constexpr const char* kInsertText =
    "INSERT INTO tsdata_text (time, tag_id, value, quality, status, source_time)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
constexpr const char* kInsertEvent =
    "INSERT INTO events (time, receive_time, source_id, event_id, event_type, source_node,"
    " source_name, severity, message, condition_id, condition_name, branch_id, retain, active,"
    " acked, confirmed, refresh, fields)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)";
// Changes no row when the batch is recorded already.
constexpr const char* kRecordBatch =
    "INSERT OR IGNORE INTO write_batches (writer_id, seq, written_at, row_count)"
    " VALUES (?1, ?2, ?3, ?4)";

// prune_write_batches: the last of the first `?2` old records in rowid order (the order they
// were written in), found without the write lock, which readers do not take; then the old
// records up to it, deleted under the lock, which is held only as long as that range takes.
constexpr const char* kLastPrunable =
    "SELECT max(rowid) FROM"
    " (SELECT rowid FROM write_batches WHERE written_at < ?1 ORDER BY rowid LIMIT ?2)";
constexpr const char* kPruneBatches =
    "DELETE FROM write_batches WHERE rowid <= ?1 AND written_at < ?2";

// get_tag_ids looks names up this many at a time, well below the limit on bound parameters.
constexpr std::size_t kLookupChunk = 500;

// register_tags: the list, one row per distinct name, lives in a temporary table for the
// length of one transaction. Keyed by name, so that either side of the joins finds its match
// through an index.
constexpr const char* kCreateRegistration =
    "CREATE TEMP TABLE tidewell_registration ("
    " tag_name TEXT PRIMARY KEY,"
    " description TEXT NOT NULL,"
    " position INTEGER NOT NULL) WITHOUT ROWID";
constexpr const char* kFillRegistration =
    "INSERT INTO temp.tidewell_registration (tag_name, description, position) VALUES (?1, ?2, ?3)";
// Rows that already hold what the list says are left alone: registering an unchanged list
// again, as every restart does, then writes nothing.
constexpr const char* kUpdateListed =
    "UPDATE main.tags SET source_id = ?1, source_tagname = r.tag_name, description = r.description"
    " FROM temp.tidewell_registration AS r"
    " WHERE tags.tag_name = r.tag_name"
    " AND (tags.source_id IS NOT ?1 OR tags.source_tagname IS NOT r.tag_name"
    " OR tags.description IS NOT r.description)";
// In list order, so that new ids follow the list as they do when tags are added one by one.
constexpr const char* kInsertNew =
    "INSERT INTO main.tags (tag_name, description, source_id, source_tagname)"
    " SELECT r.tag_name, r.description, ?1, r.tag_name"
    " FROM temp.tidewell_registration AS r"
    " WHERE NOT EXISTS (SELECT 1 FROM main.tags AS t WHERE t.tag_name = r.tag_name)"
    " ORDER BY r.position RETURNING tag_name";
constexpr const char* kSelectRegistered =
    "SELECT t.tag_name, t.tag_id FROM temp.tidewell_registration AS r"
    " JOIN main.tags AS t ON t.tag_name = r.tag_name";
constexpr const char* kDropRegistration = "DROP TABLE temp.tidewell_registration";

std::shared_ptr<spdlog::logger> logger() { return journel::get_logger("tidewell"); }

// "SELECT ... WHERE tag_name IN (?1, ..., ?count)"
std::string select_tag_ids(std::size_t count) {
  std::string sql = "SELECT tag_name, tag_id FROM tags WHERE tag_name IN (";
  for (std::size_t i = 1; i <= count; ++i) {
    sql += (i > 1 ? ", ?" : "?") + std::to_string(i);
  }
  return sql + ")";
}

std::string text_at(sqlite3_stmt* stmt, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
  const auto length = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
  return bytes ? std::string(bytes, length) : std::string();
}

SourceInfo source_at(sqlite3_stmt* stmt) {
  SourceInfo source;
  source.source_id = sqlite3_column_int64(stmt, 0);
  source.source_name = text_at(stmt, 1);
  source.endpoint = text_at(stmt, 2);
  source.status = status_from_text(text_at(stmt, 3));
  source.protocol = protocol_from_text(text_at(stmt, 4));
  source.interval_msec = sqlite3_column_int64(stmt, 5);
  source.description = description_from_json(text_at(stmt, 6));
  source.source_type = text_at(stmt, 7);
  return source;
}

TagInfo tag_at(sqlite3_stmt* stmt) {
  TagInfo tag;
  tag.tag_id = sqlite3_column_int64(stmt, 0);
  tag.tag_name = text_at(stmt, 1);
  tag.description = description_from_json(text_at(stmt, 2));
  if (sqlite3_column_type(stmt, 3) != SQLITE_NULL) tag.source_id = sqlite3_column_int64(stmt, 3);
  tag.source_tagname = text_at(stmt, 4);
  return tag;
}

std::filesystem::path data_dir_of(const TsdbSettings& settings) {
  return settings.data_dir.empty() ? std::filesystem::path("data")
                                   : std::filesystem::path(settings.data_dir);
}

// A dbname names a file inside data_dir, never a path out of it.
bool is_plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

SqliteConnection::SqliteConnection(SqliteDbPtr db, std::string where)
    : db_(std::move(db)), where_(std::move(where)) {}

std::filesystem::path SqliteConnection::database_path(const TsdbSettings& settings) {
  const std::string& name = settings.dbname;
  if (!is_plain_file_name(name)) {
    throw DatabaseError("Invalid TSDB dbname '" + name +
                        "': it must be a plain file name inside data_dir");
  }
  std::filesystem::path file(name);
  if (!file.has_extension()) file += ".db";
  return data_dir_of(settings) / file;
}

std::unique_ptr<SqliteConnection> SqliteConnection::open(const TsdbSettings& settings) {
  const auto path = database_path(settings);
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) {
    throw DatabaseError("Cannot create the TSDB data_dir '" + path.parent_path().string() +
                        "': " + error.message());
  }
  const std::string where = "database file '" + path.string() + "'";
  sqlite3* raw = nullptr;
  const int code =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteDbPtr db(raw);
  if (code != SQLITE_OK) {
    logger()->error("Cannot open TSDB {}: {}", where,
                    db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(code));
    return nullptr;
  }
  std::unique_ptr<SqliteConnection> connection(new SqliteConnection(std::move(db), where));
  try {
    connection->configure();
  } catch (const DatabaseError& e) {
    logger()->error("Cannot open TSDB {}: {}", where, e.what());
    return nullptr;
  }
  try {
    connection->create_schema();
  } catch (const DatabaseError& e) {
    // The inner message names the database file already.
    const std::string message = std::string("Cannot set up the schema: ") + e.what();
    logger()->error("{}", message);
    throw DatabaseError(message);
  }
  logger()->debug("Connected to TSDB {}", where);
  return connection;
}

std::vector<std::string> SqliteConnection::list_databases(const TsdbSettings& settings) {
  const auto dir = data_dir_of(settings);
  std::vector<std::string> names;
  std::error_code error;
  if (std::filesystem::is_directory(dir, error)) {
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
      const auto& file = it->path();
      if (file.extension() != ".db" || !it->is_regular_file(error)) continue;
      const auto stem = file.stem();
      // "plant.db" is listed as "plant"; "plant.v2.db" keeps its name, since "plant.v2" would
      // name another file.
      names.push_back(stem.has_extension() ? file.filename().string() : stem.string());
    }
    if (error) {
      throw DatabaseError("Cannot list the TSDB data_dir '" + dir.string() +
                          "': " + error.message());
    }
  }
  // Connecting creates the configured database's file, so a fresh installation, with no file
  // yet, offers that one rather than nothing to choose.
  if (names.empty() && is_plain_file_name(settings.dbname)) names.push_back(settings.dbname);
  std::sort(names.begin(), names.end());
  return names;
}

sqlite3* SqliteConnection::live() {
  if (!db_ || aborted_) throw DatabaseError("The connection to TSDB " + where_ + " is closed");
  return db_.get();
}

void SqliteConnection::fail(int code) {
  const std::string message =
      "TSDB " + where_ + ": " + (db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(code));
  switch (code & 0xff) {
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
      throw RequestRejected(message);
    default:
      throw DatabaseError(message);
  }
}

SqliteStmtPtr SqliteConnection::prepare(const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  const int code =
      sqlite3_prepare_v2(live(), sql.c_str(), static_cast<int>(sql.size() + 1), &raw, nullptr);
  SqliteStmtPtr stmt(raw);
  if (code != SQLITE_OK) fail(code);
  return stmt;
}

SqliteStmtPtr SqliteConnection::prepare(const SqlBuilder& query) {
  auto stmt = prepare(query.text());
  const auto& params = query.params();
  for (std::size_t i = 0; i < params.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    int code = SQLITE_OK;
    if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
      code = sqlite3_bind_int64(stmt.get(), index, *number);
    } else if (const auto* text = std::get_if<std::string>(&params[i])) {
      code = sqlite3_bind_text64(stmt.get(), index, text->data(), text->size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    } else {
      code = sqlite3_bind_null(stmt.get(), index);
    }
    if (code != SQLITE_OK) fail(code);
  }
  return stmt;
}

void SqliteConnection::run(sqlite3_stmt* stmt, const std::function<void(sqlite3_stmt*)>& on_row) {
  for (;;) {
    const int code = sqlite3_step(stmt);
    if (code == SQLITE_DONE) break;
    if (code != SQLITE_ROW) {
      sqlite3_reset(stmt);
      fail(code);
    }
    if (on_row) on_row(stmt);
  }
  sqlite3_reset(stmt);
}

void SqliteConnection::run(const std::string& sql) {
  auto stmt = prepare(sql);
  run(stmt.get());
}

void SqliteConnection::bind_text(sqlite3_stmt* stmt, int index, std::string_view text) {
  // The caller keeps `text` alive until the statement is reset.
  const int code =
      sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (code != SQLITE_OK) fail(code);
}

void SqliteConnection::rollback_open_transaction() noexcept {
  if (db_ && !sqlite3_get_autocommit(db_.get())) {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void SqliteConnection::configure() {
  sqlite3_extended_result_codes(live(), 1);
  sqlite3_busy_timeout(live(), kBusyTimeoutMsec);
  // While another first connect turns a fresh file to WAL, this change of journal mode can
  // fail at once with SQLITE_BUSY, without waiting in the busy handler: wait and try again,
  // as long as the busy timeout.
  constexpr auto kPause = std::chrono::milliseconds(10);
  for (int waited_ms = 0;; waited_ms += static_cast<int>(kPause.count())) {
    const int code = sqlite3_exec(live(), "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    if (code == SQLITE_OK) break;
    if ((code & 0xff) != SQLITE_BUSY || waited_ms >= kBusyTimeoutMsec) fail(code);
    std::this_thread::sleep_for(kPause);
  }
  // FULL syncs the WAL at every commit. NORMAL would sync it only at checkpoints, so a power
  // cut could take back rows whose write had already returned and left the spool.
  run("PRAGMA synchronous = FULL");
  run("PRAGMA foreign_keys = ON");
}

void SqliteConnection::create_schema() {
  const auto& migrations = schema_migrations(SqlDialect::sqlite);
  // BEGIN IMMEDIATE takes the write lock first, so two first connects take turns.
  run("BEGIN IMMEDIATE");
  try {
    run(std::string(schema_version_table(SqlDialect::sqlite)));
    std::size_t current = 0;
    auto query = prepare(std::string("SELECT coalesce(max(version), 0) FROM schema_version"));
    run(query.get(), [&](sqlite3_stmt* row) {
      current = static_cast<std::size_t>(sqlite3_column_int64(row, 0));
    });
    if (current > migrations.size()) {
      throw DatabaseError("TSDB " + where_ + " has schema version " + std::to_string(current) +
                          ", newer than this program knows (" + std::to_string(migrations.size()) +
                          ")");
    }
    for (std::size_t version = current + 1; version <= migrations.size(); ++version) {
      for (const char* statement : migrations[version - 1]) run(std::string(statement));
      SqlBuilder record(SqlDialect::sqlite);
      record.sql("INSERT INTO schema_version (version) VALUES (")
          .param(static_cast<std::int64_t>(version))
          .sql(")");
      run(prepare(record).get());
      logger()->info("TSDB {} schema moved to version {}", where_, version);
    }
    run("COMMIT");
  } catch (...) {
    rollback_open_transaction();
    throw;
  }
}

void SqliteConnection::close() {
  insert_row_.reset();
  record_batch_.reset();
  insert_number_.reset();
  insert_text_.reset();
  std::lock_guard lock(handle_mutex_);
  db_.reset();
}

void SqliteConnection::abort() noexcept {
  aborted_ = true;
  std::lock_guard lock(handle_mutex_);
  if (db_) sqlite3_interrupt(db_.get());
}

bool SqliteConnection::ping() {
  if (!db_ || aborted_) return false;
  try {
    run("SELECT 1 FROM schema_version LIMIT 1");
    return true;
  } catch (const std::exception& e) {
    logger()->warn("Ping of TSDB {} failed: {}", where_, e.what());
    return false;
  }
}

std::vector<SourceInfo> SqliteConnection::get_sources(const SourceFilter& flt) {
  std::vector<SourceInfo> sources;
  auto stmt = prepare(select_sources(SqlDialect::sqlite, flt));
  run(stmt.get(), [&](sqlite3_stmt* row) { sources.push_back(source_at(row)); });
  return sources;
}

OperationResult<SourceInfo> SqliteConnection::insert_new_source(SourceInfo& source) {
  try {
    std::optional<SourceInfo> stored;
    auto stmt = prepare(insert_source(SqlDialect::sqlite, source));
    run(stmt.get(), [&](sqlite3_stmt* row) { stored = source_at(row); });
    source.source_id = stored->source_id;
    return {true, std::move(stored), {}};
  } catch (const RequestRejected& e) {
    return {false, std::nullopt, e.what()};
  }
}

std::optional<TagInfo> SqliteConnection::get_tag(const std::string& tag_name) {
  std::optional<TagInfo> tag;
  auto stmt = prepare(select_tag(SqlDialect::sqlite, tag_name));
  run(stmt.get(), [&](sqlite3_stmt* row) { tag = tag_at(row); });
  return tag;
}

OperationResult<TagInfo> SqliteConnection::insert_new_tag(const TagInfo& tag) {
  try {
    std::optional<TagInfo> stored;
    auto stmt = prepare(insert_tag(SqlDialect::sqlite, tag));
    run(stmt.get(), [&](sqlite3_stmt* row) { stored = tag_at(row); });
    return {true, std::move(stored), {}};
  } catch (const RequestRejected& e) {
    return {false, std::nullopt, e.what()};
  }
}

OperationResult<TagInfo> SqliteConnection::update_tag_fields(const std::string& tag_name,
                                                             const TagFields& fields) {
  try {
    std::optional<TagInfo> stored;
    auto stmt = prepare(update_tag(SqlDialect::sqlite, tag_name, fields));
    run(stmt.get(), [&](sqlite3_stmt* row) { stored = tag_at(row); });
    if (!stored) return {false, std::nullopt, "No tag '" + tag_name + "' in TSDB " + where_};
    return {true, std::move(stored), {}};
  } catch (const RequestRejected& e) {
    return {false, std::nullopt, e.what()};
  }
}

std::unordered_map<std::string, std::int64_t> SqliteConnection::get_tag_ids(
    std::span<const std::string> names) {
  live();
  std::unordered_map<std::string, std::int64_t> ids;
  std::vector<std::string_view> wanted;
  wanted.reserve(names.size());
  for (const std::string& name : names) {
    // No stored name holds a NUL byte.
    if (name.find('\0') == std::string::npos) wanted.push_back(name);
  }
  SqliteStmtPtr full_chunk;
  for (std::size_t at = 0; at < wanted.size(); at += kLookupChunk) {
    const std::size_t count = std::min(kLookupChunk, wanted.size() - at);
    SqliteStmtPtr last_chunk;
    sqlite3_stmt* stmt = nullptr;
    if (count == kLookupChunk) {
      if (!full_chunk) full_chunk = prepare(select_tag_ids(kLookupChunk));
      stmt = full_chunk.get();
    } else {
      last_chunk = prepare(select_tag_ids(count));
      stmt = last_chunk.get();
    }
    for (std::size_t i = 0; i < count; ++i) {
      bind_text(stmt, static_cast<int>(i + 1), wanted[at + i]);
    }
    run(stmt,
        [&](sqlite3_stmt* row) { ids.emplace(text_at(row, 0), sqlite3_column_int64(row, 1)); });
  }
  return ids;
}

TagRegistrationResult SqliteConnection::register_tags(std::int64_t source_id,
                                                      std::span<const TagRegistration> tags) {
  live();
  if (tags.empty()) return {};
  return register_with_fallback(
      tags, [&](auto list) { return register_set(source_id, list); },
      [&](auto list) { return Connection::register_tags(source_id, list); });
}

TagRegistrationResult SqliteConnection::register_set(std::int64_t source_id,
                                                     std::span<const TagRegistration> tags) {
  const RegistrationBatch batch(tags);
  run("BEGIN IMMEDIATE");
  try {
    run(std::string(kCreateRegistration));
    {
      auto fill = prepare(std::string(kFillRegistration));
      for (const auto& entry : batch.entries()) {
        bind_text(fill.get(), 1, entry.tag_name);
        bind_text(fill.get(), 2, entry.description);
        sqlite3_bind_int64(fill.get(), 3, entry.position);
        run(fill.get());
      }
    }
    auto update = prepare(std::string(kUpdateListed));
    sqlite3_bind_int64(update.get(), 1, source_id);
    run(update.get());
    auto insert = prepare(std::string(kInsertNew));
    sqlite3_bind_int64(insert.get(), 1, source_id);
    std::vector<std::string> created_names;
    run(insert.get(), [&](sqlite3_stmt* row) { created_names.push_back(text_at(row, 0)); });
    const std::unordered_set<std::string_view> created(created_names.begin(), created_names.end());
    std::unordered_map<std::string, std::int64_t> ids;
    ids.reserve(batch.entries().size());
    auto select = prepare(std::string(kSelectRegistered));
    run(select.get(),
        [&](sqlite3_stmt* row) { ids.emplace(text_at(row, 0), sqlite3_column_int64(row, 1)); });
    TagRegistrationResult result = batch.result(created, std::move(ids));
    // Statements that read the table must be gone before it can be dropped.
    update.reset();
    insert.reset();
    select.reset();
    run(std::string(kDropRegistration));
    run("COMMIT");
    return result;
  } catch (...) {
    rollback_open_transaction();
    throw;
  }
}

WriteResult SqliteConnection::write_tsdata(std::span<const std::int64_t> tag_ids,
                                           std::span<const double> values,
                                           std::span<const std::string> qualities) {
  require_equal_lengths(tag_ids.size(), values.size(), qualities.size());
  live();
  if (tag_ids.empty()) return {true, 0};
  for (const auto& quality : qualities) require_no_nul(quality, "quality text");
  const std::int64_t now = current_time_us();
  run("BEGIN IMMEDIATE");
  try {
    insert_rows(now, tag_ids, values, qualities);
    run("COMMIT");
  } catch (...) {
    rollback_open_transaction();
    throw;
  }
  return {true, tag_ids.size()};
}

WriteResult SqliteConnection::write_batch(const BatchId& batch, std::int64_t time_us,
                                          std::span<const std::int64_t> tag_ids,
                                          std::span<const double> values,
                                          std::span<const std::string> qualities) {
  require_equal_lengths(tag_ids.size(), values.size(), qualities.size());
  const std::int64_t seq = stored_seq(batch);
  require_storable_time(time_us);
  live();
  for (const auto& quality : qualities) require_no_nul(quality, "quality text");
  if (!record_batch_) record_batch_ = prepare(std::string(kRecordBatch));
  sqlite3_stmt* record = record_batch_.get();
  run("BEGIN IMMEDIATE");
  try {
    bind_text(record, 1, batch.writer_id);
    sqlite3_bind_int64(record, 2, seq);
    sqlite3_bind_int64(record, 3, current_time_us());
    sqlite3_bind_int64(record, 4, static_cast<sqlite3_int64>(tag_ids.size()));
    run(record);
    sqlite3_clear_bindings(record);
    if (sqlite3_changes64(live()) == 0) {
      run("ROLLBACK");
      return {true, 0, true};
    }
    insert_rows(time_us, tag_ids, values, qualities);
    run("COMMIT");
  } catch (...) {
    sqlite3_clear_bindings(record);
    rollback_open_transaction();
    throw;
  }
  return {true, tag_ids.size()};
}

void SqliteConnection::insert_rows(std::int64_t time_us, std::span<const std::int64_t> tag_ids,
                                   std::span<const double> values,
                                   std::span<const std::string> qualities) {
  if (!insert_row_) insert_row_ = prepare(std::string(kInsertRow));
  sqlite3_stmt* stmt = insert_row_.get();
  for (std::size_t i = 0; i < tag_ids.size(); ++i) {
    sqlite3_bind_int64(stmt, 1, time_us);
    sqlite3_bind_int64(stmt, 2, tag_ids[i]);
    if (std::isnan(values[i])) {
      sqlite3_bind_null(stmt, 3);
    } else {
      sqlite3_bind_double(stmt, 3, values[i]);
    }
    sqlite3_bind_text64(stmt, 4, qualities[i].data(), qualities[i].size(), SQLITE_STATIC,
                        SQLITE_UTF8);
    const int code = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (code != SQLITE_DONE) {
      sqlite3_clear_bindings(stmt);
      fail(code);
    }
  }
  // The quality texts bound last belong to the caller.
  sqlite3_clear_bindings(stmt);
}

WriteResult SqliteConnection::write_rows(const BatchId& batch, std::span<const TsdataRow> rows,
                                         std::span<const EventRow> events) {
  const std::int64_t seq = stored_seq(batch);
  require_storable_rows(rows);
  require_storable_events(events);
  live();
  if (!insert_number_) insert_number_ = prepare(std::string(kInsertNumber));
  if (!insert_text_) insert_text_ = prepare(std::string(kInsertText));
  std::size_t text_count = 0;
  run("BEGIN IMMEDIATE");
  try {
    if (!record_batch(batch, seq, rows.size())) {
      run("ROLLBACK");
      return {true, 0, true};
    }
    for (const TsdataRow& row : rows) {
      sqlite3_stmt* stmt = row.text ? insert_text_.get() : insert_number_.get();
      sqlite3_bind_int64(stmt, 1, row.time_us);
      sqlite3_bind_int64(stmt, 2, row.tag_id);
      if (row.text) {
        ++text_count;
        bind_text(stmt, 3, *row.text);
      } else if (std::isnan(row.value)) {
        sqlite3_bind_null(stmt, 3);
      } else {
        sqlite3_bind_double(stmt, 3, row.value);
      }
      bind_text(stmt, 4, row.quality);
      if (row.status) {
        sqlite3_bind_int64(stmt, 5, static_cast<sqlite3_int64>(*row.status));
      } else {
        sqlite3_bind_null(stmt, 5);
      }
      if (row.source_time_us) {
        sqlite3_bind_int64(stmt, 6, *row.source_time_us);
      } else {
        sqlite3_bind_null(stmt, 6);
      }
      step_insert(stmt);
    }
    // The texts bound last belong to the caller.
    sqlite3_clear_bindings(insert_number_.get());
    sqlite3_clear_bindings(insert_text_.get());
    insert_events(events);
    run("COMMIT");
  } catch (...) {
    sqlite3_clear_bindings(insert_number_.get());
    sqlite3_clear_bindings(insert_text_.get());
    if (insert_event_) sqlite3_clear_bindings(insert_event_.get());
    rollback_open_transaction();
    throw;
  }
  return {true, rows.size(), false, text_count, events.size()};
}

void SqliteConnection::insert_events(std::span<const EventRow> events) {
  if (events.empty()) return;
  if (!insert_event_) insert_event_ = prepare(std::string(kInsertEvent));
  sqlite3_stmt* stmt = insert_event_.get();
  const auto bind_optional_text = [&](int index, const std::optional<std::string>& text) {
    if (text) {
      bind_text(stmt, index, *text);
    } else {
      sqlite3_bind_null(stmt, index);
    }
  };
  const auto bind_optional_bool = [&](int index, std::optional<bool> value) {
    if (value) {
      sqlite3_bind_int(stmt, index, *value ? 1 : 0);
    } else {
      sqlite3_bind_null(stmt, index);
    }
  };
  for (const EventRow& event : events) {
    sqlite3_bind_int64(stmt, 1, event.time_us);
    if (event.receive_time_us) {
      sqlite3_bind_int64(stmt, 2, *event.receive_time_us);
    } else {
      sqlite3_bind_null(stmt, 2);
    }
    sqlite3_bind_int64(stmt, 3, event.source_id);
    // Never a null pointer: SQLite binds NULL for one, and an empty id is an empty BLOB.
    sqlite3_bind_blob64(stmt, 4, event.event_id.empty() ? "" : event.event_id.data(),
                        event.event_id.size(), SQLITE_STATIC);
    bind_text(stmt, 5, event.event_type);
    bind_text(stmt, 6, event.source_node);
    bind_text(stmt, 7, event.source_name);
    sqlite3_bind_int(stmt, 8, event.severity);
    bind_text(stmt, 9, event.message);
    bind_optional_text(10, event.condition_id);
    bind_optional_text(11, event.condition_name);
    bind_optional_text(12, event.branch_id);
    bind_optional_bool(13, event.retain);
    bind_optional_bool(14, event.active);
    bind_optional_bool(15, event.acked);
    bind_optional_bool(16, event.confirmed);
    sqlite3_bind_int(stmt, 17, event.refresh ? 1 : 0);
    bind_text(stmt, 18, event.fields_json);
    step_insert(stmt);
  }
  // The texts bound last belong to the caller.
  sqlite3_clear_bindings(stmt);
}

std::vector<ConditionEvent> SqliteConnection::latest_condition_events(
    std::int64_t source_id, std::span<const std::string> condition_ids) {
  live();
  auto stmt = prepare(latest_condition_events_sql(SqlDialect::sqlite));
  sqlite3_bind_int64(stmt.get(), 1, source_id);
  std::string wanted;
  if (!condition_ids.empty()) {
    nlohmann::json list = nlohmann::json::array();
    for (const std::string& id : condition_ids) {
      // No stored id holds a NUL byte; one that is no UTF-8 is sent with its bad bytes
      // replaced, and matches nothing stored either.
      if (id.find('\0') == std::string::npos) list.push_back(id);
    }
    wanted = list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    bind_text(stmt.get(), 2, wanted);
  }
  std::vector<ConditionEvent> found;
  run(stmt.get(), [&](sqlite3_stmt* row) {
    const auto* blob = static_cast<const char*>(sqlite3_column_blob(row, 1));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row, 1));
    found.push_back({text_at(row, 0), blob ? std::string(blob, size) : std::string(),
                     sqlite3_column_int64(row, 2)});
  });
  return found;
}

bool SqliteConnection::record_batch(const BatchId& batch, std::int64_t seq, std::size_t rows) {
  if (!record_batch_) record_batch_ = prepare(std::string(kRecordBatch));
  sqlite3_stmt* record = record_batch_.get();
  bind_text(record, 1, batch.writer_id);
  sqlite3_bind_int64(record, 2, seq);
  sqlite3_bind_int64(record, 3, current_time_us());
  sqlite3_bind_int64(record, 4, static_cast<sqlite3_int64>(rows));
  step_insert(record);
  sqlite3_clear_bindings(record);
  return sqlite3_changes64(live()) != 0;
}

void SqliteConnection::step_insert(sqlite3_stmt* stmt) {
  const int code = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (code != SQLITE_DONE) {
    sqlite3_clear_bindings(stmt);
    fail(code);
  }
}

std::vector<LastStored> SqliteConnection::last_stored(std::span<const LastStoredQuery> queries) {
  live();
  if (!last_stored_) last_stored_ = prepare(last_stored_sql(SqlDialect::sqlite));
  sqlite3_stmt* stmt = last_stored_.get();
  std::vector<LastStored> found;
  for (const LastStoredQuery& query : distinct_queries(queries)) {
    const std::int64_t id = query.tag_id;
    sqlite3_bind_int64(stmt, 1, id);
    if (query.before_us) {
      sqlite3_bind_int64(stmt, 2, *query.before_us);
    } else {
      sqlite3_bind_null(stmt, 2);
    }
    LastStored tag{.tag_id = id};
    run(stmt, [&](sqlite3_stmt* row) {
      if (tag.rows_at_edge.empty()) {
        tag.time_us = sqlite3_column_int64(row, 1);
        if (sqlite3_column_type(row, 2) != SQLITE_NULL) {
          tag.source_time_us = sqlite3_column_int64(row, 2);
        }
      }
      TsdataRow stored;
      stored.time_us = tag.time_us;
      stored.tag_id = id;
      if (sqlite3_column_int64(row, 0) == 1) {
        stored.text = text_at(row, 4);
      } else if (sqlite3_column_type(row, 3) == SQLITE_NULL) {
        // NaN is stored as NULL, as SQLite keeps no NaN.
        stored.value = std::numeric_limits<double>::quiet_NaN();
      } else {
        stored.value = sqlite3_column_double(row, 3);
      }
      stored.quality = text_at(row, 5);
      if (sqlite3_column_type(row, 6) != SQLITE_NULL) {
        stored.status = static_cast<std::uint32_t>(sqlite3_column_int64(row, 6));
      }
      stored.source_time_us = tag.source_time_us;
      tag.rows_at_edge.push_back(std::move(stored));
    });
    if (!tag.rows_at_edge.empty()) found.push_back(std::move(tag));
  }
  return found;
}

std::size_t SqliteConnection::prune_write_batches(std::int64_t older_than_us,
                                                  std::size_t max_rows) {
  auto last = prepare(std::string(kLastPrunable));
  sqlite3_bind_int64(last.get(), 1, older_than_us);
  sqlite3_bind_int64(last.get(), 2, static_cast<sqlite3_int64>(max_rows));
  std::optional<sqlite3_int64> up_to;
  run(last.get(), [&](sqlite3_stmt* row) {
    if (sqlite3_column_type(row, 0) != SQLITE_NULL) up_to = sqlite3_column_int64(row, 0);
  });
  if (!up_to) return 0;
  auto prune = prepare(std::string(kPruneBatches));
  sqlite3_bind_int64(prune.get(), 1, *up_to);
  sqlite3_bind_int64(prune.get(), 2, older_than_us);
  run(prune.get());
  return static_cast<std::size_t>(sqlite3_changes64(live()));
}

}  // namespace tidewell
