#pragma once
// Helpers shared by the console tests: a temporary folder, a logger that keeps its records,
// and the settings of the throwaway PostgreSQL the test script starts.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "tidewell/types.h"

namespace kestrane_console::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path write(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

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

// The PostgreSQL of the test script, or nullopt (the test then skips with a message).
std::optional<tidewell::TsdbSettings> postgres_settings(const std::string& dbname);
// Creates a new, empty database on that server and returns settings for it.
tidewell::TsdbSettings fresh_postgres_database(const tidewell::TsdbSettings& server,
                                               const std::string& prefix);
// Runs one SQL statement and returns the first column of every row as text.
std::vector<std::string> query_postgres(const tidewell::TsdbSettings& settings,
                                        const std::string& sql);
// The same for a SQLite database file.
std::vector<std::string> query_sqlite(const std::filesystem::path& file, const std::string& sql);

}  // namespace kestrane_console::testing
