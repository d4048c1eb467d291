#pragma once
// OpenedSqliteHandles: while one lives, every SQLite handle opened in the process (by whoever
// opens it, the TSDB driver included) is noted, so a test or benchmark can inspect the
// driver's own connections. One at a time, on one thread; not for concurrent use.

#include <vector>

struct sqlite3;

namespace kestrane_test {

class OpenedSqliteHandles {
 public:
  OpenedSqliteHandles();
  ~OpenedSqliteHandles();
  OpenedSqliteHandles(const OpenedSqliteHandles&) = delete;
  OpenedSqliteHandles& operator=(const OpenedSqliteHandles&) = delete;

  // The handles opened since construction, in opening order; closed ones stay listed.
  static std::vector<sqlite3*>& handles();
};

}  // namespace kestrane_test
