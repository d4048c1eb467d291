#pragma once
// SqliteConnection: a Connection to an embedded SQLite database file in the settings'
// data_dir. Owned by whoever called get_conn; one thread at a time. Several connections,
// also from other processes, may use one file. Internal: reached through tidewell.h only.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sql_builder.h"
#include "sqlite_handles.h"
#include "tidewell/connection.h"

namespace tidewell {

class SqliteConnection final : public Connection {
 public:
  // nullptr when the file cannot be opened or is no database (the reason is logged); throws
  // DatabaseError for a dbname that is no plain file name or a data_dir that cannot be made.
  static std::unique_ptr<SqliteConnection> open(const TsdbSettings& settings);
  // Names of the database files in data_dir, usable as dbname; empty when it does not exist.
  static std::vector<std::string> list_databases(const TsdbSettings& settings);
  // The file `dbname` names: data_dir/dbname, ".db" appended when dbname has no extension.
  static std::filesystem::path database_path(const TsdbSettings& settings);

  void close() override;
  bool ping() override;
  // Interrupts the statement under way; later requests fail as on a closed connection.
  void abort() noexcept override;
  std::vector<SourceInfo> get_sources(const SourceFilter& flt) override;
  OperationResult<SourceInfo> insert_new_source(SourceInfo& source) override;
  std::optional<TagInfo> get_tag(const std::string& tag_name) override;
  OperationResult<TagInfo> insert_new_tag(const TagInfo& tag) override;
  OperationResult<TagInfo> update_tag_fields(const std::string& tag_name,
                                             const TagFields& fields) override;
  std::unordered_map<std::string, std::int64_t> get_tag_ids(
      std::span<const std::string> names) override;
  TagRegistrationResult register_tags(std::int64_t source_id,
                                      std::span<const TagRegistration> tags) override;
  WriteResult write_tsdata(std::span<const std::int64_t> tag_ids, std::span<const double> values,
                           std::span<const std::string> qualities) override;
  WriteResult write_batch(const BatchId& batch, std::int64_t time_us,
                          std::span<const std::int64_t> tag_ids, std::span<const double> values,
                          std::span<const std::string> qualities) override;
  WriteResult write_rows(const BatchId& batch, std::span<const TsdataRow> rows,
                         std::span<const EventRow> events) override;
  std::size_t prune_write_batches(std::int64_t older_than_us, std::size_t max_rows) override;
  std::vector<LastStored> last_stored(std::span<const LastStoredQuery> queries) override;
  std::vector<ConditionEvent> latest_condition_events(
      std::int64_t source_id, std::span<const std::string> condition_ids) override;
  // Defined in their own source file, beside the driver's other requests.
  TagMetadataUpdate update_tag_metadata(std::span<const TagMetadata> metadata) override;
  std::vector<TagMetadata> tag_metadata(std::span<const std::int64_t> tag_ids) override;

 private:
  SqliteConnection(SqliteDbPtr db, std::string where);

  void configure();
  void create_schema();
  SqliteStmtPtr prepare(const std::string& sql);
  SqliteStmtPtr prepare(const SqlBuilder& query);
  // Steps `stmt` to its end, handing every row to `on_row`.
  void run(sqlite3_stmt* stmt, const std::function<void(sqlite3_stmt*)>& on_row = {});
  void run(const std::string& sql);
  void bind_text(sqlite3_stmt* stmt, int index, std::string_view text);
  // register_tags in one transaction; throws RequestRejected, with nothing left behind, when
  // the database refuses any of it.
  TagRegistrationResult register_set(std::int64_t source_id, std::span<const TagRegistration> tags);
  // The rows at `time_us`, inside the caller's transaction; throws as run() does.
  void insert_rows(std::int64_t time_us, std::span<const std::int64_t> tag_ids,
                   std::span<const double> values, std::span<const std::string> qualities);
  // Records `batch` inside the caller's transaction; false when it was recorded already.
  bool record_batch(const BatchId& batch, std::int64_t seq, std::size_t rows);
  // Steps an insert of one row and resets it; throws as run() does, bindings cleared.
  void step_insert(sqlite3_stmt* stmt);
  // The events, inside the caller's transaction; throws as run() does, bindings cleared.
  void insert_events(std::span<const EventRow> events);
  void rollback_open_transaction() noexcept;
  [[noreturn]] void fail(int code);
  sqlite3* live();

  // db_ is reset only with handle_mutex_ held, so that abort() on another thread never
  // interrupts a closed handle.
  std::mutex handle_mutex_;
  SqliteDbPtr db_;
  std::atomic<bool> aborted_{false};
  SqliteStmtPtr insert_row_;     // prepared once, reused by every write
  SqliteStmtPtr record_batch_;   // prepared once, reused by every write_batch
  SqliteStmtPtr insert_number_;  // write_rows into tsdata, prepared once
  SqliteStmtPtr insert_text_;    // write_rows into tsdata_text, prepared once
  SqliteStmtPtr last_stored_;    // last_stored, prepared once
  SqliteStmtPtr insert_event_;   // write_rows into events, prepared once
  std::string where_;            // "database file '...'", for messages
};

}  // namespace tidewell
