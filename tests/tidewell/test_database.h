#pragma once
// TestDatabase: a fresh, empty TSDB for one test, on the test PostgreSQL server (a database
// created for it and dropped afterwards) or as a SQLite file in a temporary folder. Also
// reads tables back with the database's own client, bypassing tidewell. One thread.

#include <optional>
#include <string>
#include <vector>

#include "scratch_postgres_database.h"
#include "temp_dir.h"
#include "tidewell/types.h"

namespace tidewell::testing {

using Row = std::vector<std::optional<std::string>>;

class TestDatabase {
 public:
  // driver: "postgresql" or "sqlite". Check available() before use.
  explicit TestDatabase(const std::string& driver);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  bool available() const { return available_; }
  const TsdbSettings& settings() const { return settings_; }
  // Every row of `sql` as text (NULL as nullopt), read through a connection of our own.
  std::vector<Row> query(const std::string& sql) const;
  // A statement run through a connection of our own. On SQLite the file (and data_dir) is
  // made when missing, so that a test can build a database before tidewell first opens it.
  void execute(const std::string& sql) const;

 private:
  std::vector<Row> sqlite_query(const std::string& sql, bool create) const;

  bool available_ = false;
  TsdbSettings settings_;
  std::optional<kestrane_test::TempDir> folder_;                    // sqlite
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;  // postgresql
};

}  // namespace tidewell::testing
