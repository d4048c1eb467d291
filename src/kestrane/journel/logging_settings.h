#pragma once
// LoggingSettings: the logging section of the configuration file, read and checked before the
// logger is touched. A plain value; any thread.

#include <string>

#include <spdlog/common.h>

namespace journel {

struct LoggingSettings {
  std::string log_dir;  // resolved: absolute, or the working directory joined with the value
  std::string prefix = "default";
  std::string level_name = "INFO";  // upper case
  spdlog::level::level_enum level = spdlog::level::info;
  long long max_bytes = 2LL * 1024 * 1024;
  long long retention_days = 7;
  bool console = true;
};

// Reads `section` of `ini_path`; missing keys (or a missing section) give the defaults. Throws
// FileNotFoundError "无法读取配置文件：<ini_path>" when the file cannot be read, IniError on a
// syntax error or an unreadable value, std::invalid_argument on an unknown level name.
LoggingSettings read_logging_settings(const std::string& ini_path, const std::string& section);

}  // namespace journel
