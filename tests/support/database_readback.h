#pragma once
// Reading a TSDB's tables back with the database's own client, past the code under test.
// Free functions; each opens and closes its own connection.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tidewell/types.h"

namespace kestrane_test {

// One row of a result: every column as text, NULL as nullopt.
using Row = std::vector<std::optional<std::string>>;

// Every row of `sql` on the PostgreSQL database of `settings`; throws std::runtime_error.
std::vector<Row> query_postgres_rows(const tidewell::TsdbSettings& settings,
                                     const std::string& sql);
// The same for a SQLite database file, opened read-only.
std::vector<Row> query_sqlite_rows(const std::filesystem::path& file, const std::string& sql);

// The first column of every row, NULL as "NULL".
std::vector<std::string> query_postgres(const tidewell::TsdbSettings& settings,
                                        const std::string& sql);
std::vector<std::string> query_sqlite(const std::filesystem::path& file, const std::string& sql);

}  // namespace kestrane_test
