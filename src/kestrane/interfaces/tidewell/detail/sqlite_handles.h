#pragma once
// Owning handles for SQLite objects. Internal to tidewell: never included by a public header.

#include <memory>

#include <sqlite3.h>

namespace tidewell {

struct SqliteDbDeleter {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct SqliteStmtDeleter {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};

using SqliteDbPtr = std::unique_ptr<sqlite3, SqliteDbDeleter>;
using SqliteStmtPtr = std::unique_ptr<sqlite3_stmt, SqliteStmtDeleter>;

}  // namespace tidewell
