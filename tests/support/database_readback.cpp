#include "database_readback.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <stdexcept>

#include "scratch_postgres_database.h"
#include "sqlite_handles.h"

namespace kestrane_test {

namespace {

std::vector<std::string> first_column(const std::vector<Row>& rows) {
  std::vector<std::string> column;
  column.reserve(rows.size());
  for (const Row& row : rows) {
    column.push_back(row.empty() || !row.front() ? std::string("NULL") : *row.front());
  }
  return column;
}

}  // namespace

std::vector<Row> query_postgres_rows(const tidewell::TsdbSettings& settings,
                                     const std::string& sql) {
  PgConnection conn = connect_postgres(settings);
  tidewell::PgResultPtr res(PQexec(conn.get(), sql.c_str()));
  const ExecStatusType status = PQresultStatus(res.get());
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    throw std::runtime_error("query '" + sql + "': " + PQerrorMessage(conn.get()));
  }
  std::vector<Row> rows;
  for (int i = 0; i < PQntuples(res.get()); ++i) {
    Row row;
    for (int j = 0; j < PQnfields(res.get()); ++j) {
      if (PQgetisnull(res.get(), i, j)) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(PQgetvalue(res.get(), i, j));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Row> query_sqlite_rows(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  tidewell::SqliteDbPtr db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
  sqlite3_stmt* stmt_raw = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt_raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error("query '" + sql + "': " + sqlite3_errmsg(db.get()));
  }
  tidewell::SqliteStmtPtr stmt(stmt_raw);
  std::vector<Row> rows;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    Row row;
    for (int j = 0; j < sqlite3_column_count(stmt.get()); ++j) {
      const auto* text = sqlite3_column_text(stmt.get(), j);
      if (text == nullptr) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(reinterpret_cast<const char*>(text));
      }
    }
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) {
    throw std::runtime_error("query '" + sql + "': " + sqlite3_errmsg(db.get()));
  }
  return rows;
}

std::vector<std::string> query_postgres(const tidewell::TsdbSettings& settings,
                                        const std::string& sql) {
  return first_column(query_postgres_rows(settings, sql));
}

std::vector<std::string> query_sqlite(const std::filesystem::path& file, const std::string& sql) {
  return first_column(query_sqlite_rows(file, sql));
}

}  // namespace kestrane_test
