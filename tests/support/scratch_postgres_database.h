#pragma once
// The test PostgreSQL server that scripts/test starts (KESTRANE_TEST_PG_*), and
// ScratchPostgresDatabase: a database of its own on it for one test, created with a name no
// other test uses and dropped again. Owned by the test that made it; one thread at a time.

#include <optional>
#include <string>

#include "pg_handles.h"
#include "tidewell/types.h"

namespace kestrane_test {

// The server from KESTRANE_TEST_PG_HOST/_PORT/_USER/_PASSWORD (user "postgres" when unset), or
// nullopt when host or port is unset or empty. The database is "postgres".
std::optional<tidewell::TsdbSettings> postgres_server_settings();

using PgConnection = tidewell::PgConnPtr;

// A connection to `settings.dbname` with libpq itself, past the code under test; throws
// std::runtime_error when there is none.
PgConnection connect_postgres(const tidewell::TsdbSettings& settings);

class ScratchPostgresDatabase {
 public:
  // Creates "<prefix>_<unique>" on `server`; throws std::runtime_error when it cannot.
  ScratchPostgresDatabase(const tidewell::TsdbSettings& server, const std::string& prefix);
  // Drops the database even while clients are connected to it.
  ~ScratchPostgresDatabase();
  ScratchPostgresDatabase(const ScratchPostgresDatabase&) = delete;
  ScratchPostgresDatabase& operator=(const ScratchPostgresDatabase&) = delete;

  // The server's settings with the new database as dbname.
  const tidewell::TsdbSettings& settings() const { return settings_; }

 private:
  tidewell::TsdbSettings settings_;
};

}  // namespace kestrane_test
