#pragma once
// The statements that build each driver's schema, version by version. Constant data; safe
// from any thread. Internal: the drivers run them, and tests build older versions with them.

#include <vector>

#include "sql_builder.h"

namespace tidewell {

// The statements that move a database from one version to the next, run in one transaction.
using Migration = std::vector<const char*>;

// Entry i moves a database from version i to i + 1, so the size is the newest version. A
// released entry is never edited: databases out there were built with it. Append one instead.
const std::vector<Migration>& schema_migrations(SqlDialect dialect);

// Records the version; created, when missing, before the first migration runs.
const char* schema_version_table(SqlDialect dialect);

}  // namespace tidewell
