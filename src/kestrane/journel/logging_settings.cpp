#include "journel/logging_settings.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "journel/errors.h"
#include "journel/ini_file.h"
#include "journel/ini_lines.h"
#include "journel/log.h"
#include "journel/log_format.h"

namespace journel {

namespace {

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Truncates toward zero; sizes beyond what a file size can hold are capped rather than
// overflowing the conversion.
long long to_byte_limit(double mebibytes) {
  const double bytes = std::trunc(mebibytes * 1024.0 * 1024.0);
  constexpr double kLimit = 9.0e18;
  if (bytes >= kLimit) return std::numeric_limits<long long>::max();
  if (bytes <= -kLimit) return std::numeric_limits<long long>::min();
  return static_cast<long long>(bytes);
}

}  // namespace

LoggingSettings read_logging_settings(const std::string& ini_path, const std::string& section) {
  IniFile ini;
  try {
    ini = IniFile::read_file(ini_path);
  } catch (const FileNotFoundError&) {
    throw FileNotFoundError("无法读取配置文件：" + ini_path);
  }

  LoggingSettings settings;
  settings.log_dir = _resolve_log_dir(ini.get_string(section, "log_dir", "log"));
  settings.prefix = ini.get_string(section, "prefix", "default");
  settings.level_name = upper(ini.get_string(section, "level", "INFO"));
  const auto level = parse_level(settings.level_name);
  if (!level) {
    throw std::invalid_argument(fmt::format(
        "{}: [{}] level: unknown log level {} (expected DEBUG, INFO, WARNING, ERROR, CRITICAL "
        "or TRACE)",
        ini_path, section, ini_quote(settings.level_name)));
  }
  settings.level = *level;
  const double max_bytes_mb = ini.get_real(section, "max_bytes_mb", 2.0);
  settings.retention_days = ini.get_int(section, "retention_days", 7);
  settings.console = ini.get_bool(section, "console", true);
  settings.max_bytes = to_byte_limit(max_bytes_mb);
  return settings;
}

}  // namespace journel
