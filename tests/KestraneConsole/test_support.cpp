#include "test_support.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace kestrane_console::testing {

namespace {

std::string unique_suffix() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  return std::to_string(::getpid()) + "_" + std::to_string(rd() % 1000000) + "_" +
         std::to_string(counter++);
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

struct PgConnDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
struct SqliteDeleter {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

std::unique_ptr<PGconn, PgConnDeleter> pg_connect(const tidewell::TsdbSettings& s) {
  const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
  const std::string port = std::to_string(s.port);
  const char* values[] = {s.host.c_str(),     port.c_str(),     s.user.c_str(),
                          s.password.c_str(), s.dbname.c_str(), nullptr};
  std::unique_ptr<PGconn, PgConnDeleter> conn(PQconnectdbParams(keys, values, 0));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("test database: ") + PQerrorMessage(conn.get()));
  }
  return conn;
}

}  // namespace

TempDir::TempDir()
    : path_(std::filesystem::temp_directory_path() / ("kestrane-console-" + unique_suffix())) {
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& name, std::string_view bytes) const {
  const auto file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return file;
}

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogRecord> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string level(spdlog::level::to_string_view(msg.level).data(),
                      spdlog::level::to_string_view(msg.level).size());
    if (level == "warn") level = "warning";
    records_.push_back({level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<LogRecord> records_;
};

LogCapture::LogCapture()
    : sink_(std::make_shared<Sink>()),
      logger_(std::make_shared<spdlog::logger>("KestraneConsole", sink_)) {
  logger_->set_level(spdlog::level::trace);
}

std::vector<LogRecord> LogCapture::records() const { return sink_->records(); }

std::string LogCapture::dump() const {
  std::ostringstream out;
  for (const auto& r : records()) out << r.level << " " << r.message << "\n";
  return out.str();
}

bool LogCapture::has(std::string_view level, std::string_view message) const {
  for (const auto& r : records()) {
    if (r.level == level && r.message == message) return true;
  }
  return false;
}

bool LogCapture::has_prefix(std::string_view level, std::string_view prefix) const {
  for (const auto& r : records()) {
    if (r.level == level && r.message.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void LogCapture::clear() { sink_->clear(); }

std::optional<tidewell::TsdbSettings> postgres_settings(const std::string& dbname) {
  const char* host = env("KESTRANE_TEST_PG_HOST");
  const char* port = env("KESTRANE_TEST_PG_PORT");
  if (!host || !port) return std::nullopt;
  tidewell::TsdbSettings s;
  s.driver = "postgresql";
  s.host = host;
  s.port = std::atoi(port);
  s.user = env("KESTRANE_TEST_PG_USER") ? env("KESTRANE_TEST_PG_USER") : "postgres";
  s.password = env("KESTRANE_TEST_PG_PASSWORD") ? env("KESTRANE_TEST_PG_PASSWORD") : "";
  s.dbname = dbname;
  return s;
}

tidewell::TsdbSettings fresh_postgres_database(const tidewell::TsdbSettings& server,
                                               const std::string& prefix) {
  tidewell::TsdbSettings admin = server;
  admin.dbname = "postgres";
  auto conn = pg_connect(admin);
  tidewell::TsdbSettings fresh = server;
  fresh.dbname = prefix + "_" + unique_suffix();
  const std::string sql = "CREATE DATABASE \"" + fresh.dbname + "\"";
  std::unique_ptr<PGresult, PgResultDeleter> res(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string("CREATE DATABASE: ") + PQerrorMessage(conn.get()));
  }
  return fresh;
}

std::vector<std::string> query_postgres(const tidewell::TsdbSettings& settings,
                                        const std::string& sql) {
  auto conn = pg_connect(settings);
  std::unique_ptr<PGresult, PgResultDeleter> res(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error("query '" + sql + "': " + PQerrorMessage(conn.get()));
  }
  std::vector<std::string> rows;
  for (int i = 0; i < PQntuples(res.get()); ++i) {
    rows.emplace_back(PQgetisnull(res.get(), i, 0) ? "NULL" : PQgetvalue(res.get(), i, 0));
  }
  return rows;
}

std::vector<std::string> query_sqlite(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, SqliteDeleter> db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
  sqlite3_stmt* stmt_raw = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt_raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error("query '" + sql + "': " + sqlite3_errmsg(db.get()));
  }
  std::unique_ptr<sqlite3_stmt, StmtDeleter> stmt(stmt_raw);
  std::vector<std::string> rows;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(stmt.get(), 0);
    rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
  }
  return rows;
}

}  // namespace kestrane_console::testing
