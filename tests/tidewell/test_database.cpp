#include "test_database.h"

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include <libpq-fe.h>
#include <sqlite3.h>

namespace tidewell::testing {

namespace {

struct PgFinish {
  void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
struct PgClear {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
struct SqliteClose {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};

std::string env(const char* name) {
  const char* text = std::getenv(name);
  return text ? text : "";
}

std::unique_ptr<PGconn, PgFinish> pg_connect(const TsdbSettings& settings,
                                             const std::string& dbname) {
  const std::string port = std::to_string(settings.port);
  const char* keys[] = {"host", "port", "user", "password", "dbname", "connect_timeout", nullptr};
  const char* values[] = {settings.host.c_str(),
                          port.c_str(),
                          settings.user.c_str(),
                          settings.password.c_str(),
                          dbname.c_str(),
                          "5",
                          nullptr};
  std::unique_ptr<PGconn, PgFinish> conn(PQconnectdbParams(keys, values, 0));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error("test server: " + std::string(PQerrorMessage(conn.get())));
  }
  return conn;
}

std::vector<Row> pg_query(const TsdbSettings& settings, const std::string& dbname,
                          const std::string& sql) {
  auto conn = pg_connect(settings, dbname);
  std::unique_ptr<PGresult, PgClear> result(PQexec(conn.get(), sql.c_str()));
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

std::string unique_name(const char* prefix) {
  static std::atomic<int> counter{0};
  return std::string(prefix) + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

}  // namespace

std::optional<TsdbSettings> server_settings() {
  if (env("KESTRANE_TEST_PG_HOST").empty() || env("KESTRANE_TEST_PG_PORT").empty()) {
    return std::nullopt;
  }
  TsdbSettings settings;
  settings.host = env("KESTRANE_TEST_PG_HOST");
  settings.port = std::atoi(env("KESTRANE_TEST_PG_PORT").c_str());
  settings.user = env("KESTRANE_TEST_PG_USER").empty() ? "postgres" : env("KESTRANE_TEST_PG_USER");
  settings.password = env("KESTRANE_TEST_PG_PASSWORD");
  return settings;
}

TestDatabase::TestDatabase(const std::string& driver) {
  if (driver == "sqlite") {
    folder_ = std::filesystem::temp_directory_path() / unique_name("tidewell-test-");
    settings_.driver = "sqlite";
    settings_.data_dir = (folder_ / "data").string();
    settings_.dbname = "plant";
    available_ = true;
    return;
  }
  const auto server = server_settings();
  if (!server) return;
  settings_ = *server;
  settings_.dbname = unique_name("tidewell_test_");
  pg_query(settings_, "postgres", "CREATE DATABASE " + settings_.dbname);
  available_ = true;
}

TestDatabase::~TestDatabase() {
  try {
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_);
    } else if (available_) {
      pg_query(settings_, "postgres",
               "DROP DATABASE IF EXISTS " + settings_.dbname + " WITH (FORCE)");
    }
  } catch (const std::exception&) {
    // A server stopped by a failed test leaves the database behind; the cluster is thrown away.
  }
}

std::vector<Row> TestDatabase::query(const std::string& sql) const {
  if (settings_.driver != "sqlite") return pg_query(settings_, settings_.dbname, sql);
  const auto path = std::filesystem::path(settings_.data_dir) / (settings_.dbname + ".db");
  sqlite3* raw = nullptr;
  sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, SqliteClose> db(raw);
  sqlite3_busy_timeout(db.get(), 5000);
  sqlite3_stmt* raw_stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw_stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error("test query: " + std::string(sqlite3_errmsg(db.get())));
  }
  std::unique_ptr<sqlite3_stmt, SqliteFinalize> stmt(raw_stmt);
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

void TestDatabase::execute(const std::string& sql) const { query(sql); }

}  // namespace tidewell::testing
