#pragma once
// PostgresConnection: a Connection to a PostgreSQL server through libpq. Owned by whoever
// called get_conn; one thread at a time. Internal: reached through tidewell.h only.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pg_handles.h"
#include "sql_builder.h"
#include "tidewell/connection.h"

namespace tidewell {

class PostgresConnection final : public Connection {
 public:
  // nullptr when the server cannot be reached or refuses (the reason is logged); throws
  // DatabaseError for settings that can never work and when the schema cannot be set up.
  static std::unique_ptr<PostgresConnection> open(const TsdbSettings& settings);
  // Databases the user may connect to, read through the maintenance database; throws
  // DatabaseError when that cannot be reached.
  static std::vector<std::string> list_databases(const TsdbSettings& settings);

  void close() override;
  bool ping() override;
  // Shuts the socket down, which ends a blocked libpq call with an error at once.
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
  PostgresConnection(PgConnPtr conn, std::string where);

  void create_schema();
  // 0 for a database without our schema.
  std::size_t schema_version();
  PgResultPtr run(const SqlBuilder& query);
  PgResultPtr run(std::string_view sql, const std::vector<SqlValue>& params = {},
                  std::chrono::milliseconds timeout = kRequestTimeout);
  // One statement with a single parameter sent in the server's binary format.
  PgResultPtr run_binary(std::string_view sql, const std::string& param);
  PgResultPtr send(std::string_view sql, const std::vector<const char*>& values,
                   const std::vector<int>& lengths, const std::vector<int>& formats,
                   std::chrono::milliseconds timeout);
  struct PipelinedStatement {
    const char* sql;
    std::vector<SqlValue> params;
  };
  // Sends every statement before reading any answer: one round trip for all. Their results in
  // order; after a failed one, the rest read PGRES_PIPELINE_ABORTED (skipped). The caller
  // checks them.
  std::vector<PgResultPtr> run_pipelined(const std::vector<PipelinedStatement>& statements);
  // As run_pipelined, the statement prepared as `name` once per list of parameters.
  std::vector<PgResultPtr> run_prepared_pipelined(const char* name,
                                                  const std::vector<std::vector<SqlValue>>& params);
  // Ends a pipeline of `sent` statements and takes their results.
  std::vector<PgResultPtr> finish_pipeline(std::size_t sent,
                                           std::chrono::steady_clock::time_point deadline);
  // Streams `rows` (a CopyBinaryWriter stream) through `copy_sql`; the result of the COPY.
  PgResultPtr copy_in(const char* copy_sql, const std::string& rows);
  // Streams `rows` through `sql`, a COPY FROM STDIN followed by statements without parameters
  // in one string; the results of the COPY and of each statement that ran after it.
  std::vector<PgResultPtr> copy_in_then(const char* sql, const std::string& rows);
  // With the first of a message's COPYs waiting for its rows, streams each of `streams`
  // through the next COPY in turn; the results of each COPY and of each statement after the
  // last.
  std::vector<PgResultPtr> copy_streams(const std::vector<const std::string*>& streams,
                                        std::chrono::steady_clock::time_point deadline);
  std::vector<PgResultPtr> stream_copy(const std::string& rows,
                                       std::chrono::steady_clock::time_point deadline);
  // register_tags in one transaction; throws RequestRejected, with nothing left behind, when
  // the database refuses any of it.
  TagRegistrationResult register_set(std::int64_t source_id, std::span<const TagRegistration> tags);
  // Ends an open transaction; never throws.
  void rollback() noexcept;
  // Reads what the server sent until a result can be taken without blocking.
  void wait_for_answer(std::chrono::steady_clock::time_point deadline);
  // Every result of the statements just sent, up to their end or a COPY that waits for data,
  // waiting at most until `deadline`; never empty.
  std::vector<PgResultPtr> take_results(std::chrono::steady_clock::time_point deadline);
  // The last of take_results.
  PgResultPtr take_result(std::chrono::steady_clock::time_point deadline);
  void check(const PgResultPtr& result, ExecStatusType wanted);
  [[noreturn]] void lose_connection(const std::string& why);
  // Forgets the socket for abort(), then closes the connection.
  void drop_connection() noexcept;
  PGconn* live();

  // The server stops a statement after 30 s; the client waits a little longer for that answer.
  static constexpr std::chrono::milliseconds kRequestTimeout{40000};
  static constexpr std::chrono::milliseconds kPingTimeout{5000};

  PgConnPtr conn_;
  std::string where_;  // "database 'x' at host:port", for messages
  // The socket of conn_ for abort() on another thread; -1 once conn_ is gone, so that a
  // descriptor number reused elsewhere is never shut down.
  std::mutex socket_mutex_;
  int socket_ = -1;                    // guarded by socket_mutex_
  bool last_stored_prepared_ = false;  // last_stored's statement is prepared on conn_
};

}  // namespace tidewell
