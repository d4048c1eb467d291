#include "test_support.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <sstream>
#include <stdexcept>

#include "scratch_postgres_database.h"
#include "sqlite_handles.h"

namespace kestrane_config::testing {

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

std::vector<std::string> query_postgres(const tidewell::TsdbSettings& settings,
                                        const std::string& sql) {
  auto conn = kestrane_test::connect_postgres(settings);
  tidewell::PgResultPtr res(PQexec(conn.get(), sql.c_str()));
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
  tidewell::SqliteDbPtr db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
  sqlite3_stmt* stmt_raw = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt_raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error("query '" + sql + "': " + sqlite3_errmsg(db.get()));
  }
  tidewell::SqliteStmtPtr stmt(stmt_raw);
  std::vector<std::string> rows;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(stmt.get(), 0);
    rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
  }
  return rows;
}

}  // namespace kestrane_config::testing
