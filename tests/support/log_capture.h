#pragma once
// LogCapture: keeps every record a logger writes, so tests can check the exact texts. Either a
// logger of its own (for code that takes a logger) or attached to a named process logger
// ("quellin", "pyqar", ...) for as long as it exists. Safe to log to from any thread.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>

namespace kestrane_test {

struct LogRecord {
  std::string level;  // "debug", "info", "warning", "error", ...
  std::string message;
};

class LogCapture {
 public:
  // A logger of its own, named "test", at trace level.
  LogCapture();
  // Attached to the process logger `name` until destroyed. Attach before any thread logs.
  explicit LogCapture(const std::string& name);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  spdlog::logger& logger() { return *logger_; }
  std::shared_ptr<spdlog::logger> shared() { return logger_; }

  std::vector<LogRecord> records() const;
  // "LEVEL message" per record, the level upper-case ("ERROR Tag 'x' not found in TSDB").
  std::vector<std::string> lines() const;
  // How many records read exactly `line` ("LEVEL message").
  int count(const std::string& line) const;
  bool has(std::string_view level, std::string_view message) const;
  bool has_prefix(std::string_view level, std::string_view prefix) const;
  // Every record as "level message", one per line, for failure output.
  std::string dump() const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> logger_;
  bool attached_ = false;
};

}  // namespace kestrane_test
