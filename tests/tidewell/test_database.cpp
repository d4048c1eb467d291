#include "test_database.h"

#include <charconv>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "pg_handles.h"
#include "sqlite_handles.h"

namespace tidewell::testing {

namespace {

std::vector<Row> pg_query(const TsdbSettings& settings, const std::string& sql) {
  auto conn = kestrane_test::connect_postgres(settings);
  PgResultPtr result(PQexec(conn.get(), sql.c_str()));
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    throw std::runtime_error("test query: " + std::string(PQresultErrorMessage(result.get())));
  }
  std::vector<Row> rows;
  for (int r = 0; r < PQntuples(result.get()); ++r) {
    Row row;
    for (int c = 0; c < PQnfields(result.get()); ++c) {
      if (PQgetisnull(result.get(), r, c)) {
        row.emplace_back();
      } else {
        row.emplace_back(std::string(PQgetvalue(result.get(), r, c),
                                     static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

TestDatabase::TestDatabase(const std::string& driver) {
  if (driver == "sqlite") {
    folder_.emplace("tidewell-test-");
    settings_.driver = "sqlite";
    settings_.data_dir = (folder_->path() / "data").string();
    settings_.dbname = "plant";
    available_ = true;
    return;
  }
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) return;
  database_.emplace(*server, "tidewell_test");
  settings_ = database_->settings();
  available_ = true;
}

TestDatabase::~TestDatabase() = default;

std::vector<Row> TestDatabase::query(const std::string& sql) const {
  if (settings_.driver != "sqlite") return pg_query(settings_, sql);
  return sqlite_query(sql, false);
}

std::vector<Row> TestDatabase::sqlite_query(const std::string& sql, bool create) const {
  const auto path = std::filesystem::path(settings_.data_dir) / (settings_.dbname + ".db");
  if (create) std::filesystem::create_directories(path.parent_path());
  sqlite3* raw = nullptr;
  sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0),
                  nullptr);
  SqliteDbPtr db(raw);
  sqlite3_busy_timeout(db.get(), 5000);
  sqlite3_stmt* raw_stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw_stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error("test query: " + std::string(sqlite3_errmsg(db.get())));
  }
  SqliteStmtPtr stmt(raw_stmt);
  std::vector<Row> rows;
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    Row row;
    for (int c = 0; c < sqlite3_column_count(stmt.get()); ++c) {
      const int type = sqlite3_column_type(stmt.get(), c);
      if (type == SQLITE_NULL) {
        row.emplace_back();
      } else if (type == SQLITE_FLOAT) {
        // SQLite's own text form of a REAL drops digits; this one keeps every bit.
        char buffer[32];
        const auto end =
            std::to_chars(buffer, buffer + sizeof buffer, sqlite3_column_double(stmt.get(), c)).ptr;
        row.emplace_back(std::string(buffer, end));
      } else {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt.get(), c));
        row.emplace_back(std::string(
            bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), c))));
      }
    }
    rows.push_back(std::move(row));
  }
  if (code != SQLITE_DONE) {
    throw std::runtime_error("test query: " + std::string(sqlite3_errmsg(db.get())));
  }
  return rows;
}

void TestDatabase::execute(const std::string& sql) const {
  if (settings_.driver != "sqlite") {
    pg_query(settings_, sql);
  } else {
    sqlite_query(sql, true);
  }
}

}  // namespace tidewell::testing
