#pragma once
// Helpers shared by the console tests: a logger that keeps its records and reading tables
// back past the code under test; temporary folders come from the shared test support.

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "temp_dir.h"
#include "tidewell/types.h"

namespace kestrane_config::testing {

using kestrane_test::TempDir;

struct LogRecord {
  std::string level;  // "debug", "info", "warning", "error", ...
  std::string message;
};

// A synchronous logger whose records can be inspected; safe to log to from any thread.
class LogCapture {
 public:
  LogCapture();
  spdlog::logger& logger() { return *logger_; }
  std::shared_ptr<spdlog::logger> shared() { return logger_; }
  std::vector<LogRecord> records() const;
  // "LEVEL message" per record, for failure output.
  std::string dump() const;
  bool has(std::string_view level, std::string_view message) const;
  bool has_prefix(std::string_view level, std::string_view prefix) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> logger_;
};

// Runs one SQL statement and returns the first column of every row as text.
std::vector<std::string> query_postgres(const tidewell::TsdbSettings& settings,
                                        const std::string& sql);
// The same for a SQLite database file.
std::vector<std::string> query_sqlite(const std::filesystem::path& file, const std::string& sql);

}  // namespace kestrane_config::testing
