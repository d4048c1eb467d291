#include "opened_sqlite_handles.h"

#include <sqlite3.h>

namespace kestrane_test {

namespace {

int note(sqlite3* db, const char**, const sqlite3_api_routines*) {
  OpenedSqliteHandles::handles().push_back(db);
  return SQLITE_OK;
}

}  // namespace

OpenedSqliteHandles::OpenedSqliteHandles() {
  handles().clear();
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(&note));
}

OpenedSqliteHandles::~OpenedSqliteHandles() {
  sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&note));
}

std::vector<sqlite3*>& OpenedSqliteHandles::handles() {
  static std::vector<sqlite3*> opened;
  return opened;
}

}  // namespace kestrane_test
