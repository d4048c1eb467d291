#include "scratch_postgres_database.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace kestrane_test {
namespace {

std::string env(const char* name) {
  const char* text = std::getenv(name);
  return text ? text : "";
}

// The process id and a counter keep the names of one run apart; the random part keeps them
// apart from databases an earlier, crashed run with the same process id left behind.
std::string unique_suffix() {
  static std::atomic<int> counter{0};
  std::random_device random;
  return std::to_string(::getpid()) + "_" + std::to_string(random() % 1000000) + "_" +
         std::to_string(++counter);
}

void run_on_server(const tidewell::TsdbSettings& server, const std::string& sql) {
  tidewell::TsdbSettings admin = server;
  admin.dbname = "postgres";
  auto conn = connect_postgres(admin);
  tidewell::PgResultPtr result(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
  }
}

}  // namespace

std::optional<tidewell::TsdbSettings> postgres_server_settings() {
  const std::string host = env("KESTRANE_TEST_PG_HOST");
  const std::string port = env("KESTRANE_TEST_PG_PORT");
  if (host.empty() || port.empty()) return std::nullopt;
  tidewell::TsdbSettings settings;
  settings.driver = "postgresql";
  settings.host = host;
  settings.port = std::atoi(port.c_str());
  settings.user = env("KESTRANE_TEST_PG_USER").empty() ? "postgres" : env("KESTRANE_TEST_PG_USER");
  settings.password = env("KESTRANE_TEST_PG_PASSWORD");
  settings.dbname = "postgres";
  return settings;
}

PgConnection connect_postgres(const tidewell::TsdbSettings& settings) {
  const std::string port = std::to_string(settings.port);
  const char* keys[] = {"host", "port", "user", "password", "dbname", "connect_timeout", nullptr};
  const char* values[] = {settings.host.c_str(),
                          port.c_str(),
                          settings.user.c_str(),
                          settings.password.c_str(),
                          settings.dbname.c_str(),
                          "5",
                          nullptr};
  PgConnection conn(PQconnectdbParams(keys, values, 0));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error("test server: " + std::string(PQerrorMessage(conn.get())));
  }
  return conn;
}

ScratchPostgresDatabase::ScratchPostgresDatabase(const tidewell::TsdbSettings& server,
                                                 const std::string& prefix)
    : settings_(server) {
  settings_.dbname = prefix + "_" + unique_suffix();
  run_on_server(settings_, "CREATE DATABASE \"" + settings_.dbname + "\"");
}

ScratchPostgresDatabase::~ScratchPostgresDatabase() {
  try {
    run_on_server(settings_, "DROP DATABASE IF EXISTS \"" + settings_.dbname + "\" WITH (FORCE)");
  } catch (const std::exception&) {
    // A server a failed test left stopped keeps the database; the cluster is thrown away.
  }
}

}  // namespace kestrane_test
