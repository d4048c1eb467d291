#include "config/console_config.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "config/text_codec.h"

namespace kestrane_config {

namespace {

std::string read_config_text(const std::filesystem::path& path) {
  std::string bytes = read_file_bytes(path);
  if (!is_valid_utf8(bytes)) {
    throw journel::IniError("'" + path.string() + "' is not valid UTF-8 text");
  }
  return bytes;
}

std::string describe(const char* section, const char* key, const std::string& value) {
  return std::string("[") + section + "] " + key + " = " + value;
}

}  // namespace

tidewell::TsdbSettings read_tsdb_settings(const journel::IniFile& ini) {
  tidewell::TsdbSettings s;
  read_tsdb_settings(ini, s);
  return s;
}

void read_tsdb_settings(const journel::IniFile& ini, tidewell::TsdbSettings& s) {
  const tidewell::TsdbSettings defaults;
  s.host = ini.get_string(kTsdbSection, "host", defaults.host);
  const long long port = ini.get_int(kTsdbSection, "port", defaults.port);
  if (port < 1 || port > 65535) {
    throw std::runtime_error(describe(kTsdbSection, "port", std::to_string(port)) +
                             ": a port must lie between 1 and 65535");
  }
  s.port = static_cast<int>(port);
  s.user = ini.get_string(kTsdbSection, "user", defaults.user);
  s.password = ini.get_string(kTsdbSection, "password", defaults.password);
  s.dbname = ini.get_string(kTsdbSection, "dbname", defaults.dbname);
  s.autocommit = ini.get_bool(kTsdbSection, "autocommit", defaults.autocommit);
  const std::string driver = ini.get_string(kTsdbSection, "driver", defaults.driver);
  if (driver != "postgresql" && driver != "sqlite") {
    throw std::runtime_error(describe(kTsdbSection, "driver", driver) +
                             ": the driver must be postgresql or sqlite");
  }
  s.driver = driver;
  s.data_dir = ini.get_string(kTsdbSection, "data_dir", defaults.data_dir);
}

SpoolConfig read_spool_settings(const journel::IniFile& ini) {
  SpoolConfig spool;
  spool.dir = ini.get_string(kConsoleSection, "spool_dir", spool.dir);
  const long long max_mb =
      ini.get_int(kConsoleSection, "spool_max_mb", static_cast<long long>(spool.max_mb));
  if (max_mb < 0) {
    throw std::runtime_error(describe(kConsoleSection, "spool_max_mb", std::to_string(max_mb)) +
                             ": the spool size must be 0 (off) or a positive number of MiB");
  }
  spool.max_mb = static_cast<std::uint64_t>(max_mb);
  if (spool.max_mb == 0) return spool;
  if (spool.dir.empty()) {
    throw std::runtime_error(describe(kConsoleSection, "spool_dir", "") +
                             ": a folder is needed while spool_max_mb is not 0");
  }
  // Found out now rather than at the first outage, when rows would be lost.
  std::error_code ec;
  std::filesystem::create_directories(spool.dir, ec);
  if (ec || !std::filesystem::is_directory(spool.dir)) {
    throw std::runtime_error("spool folder '" + spool.dir +
                             "' cannot be created: " + (ec ? ec.message() : "not a folder"));
  }
  const std::filesystem::path probe = std::filesystem::path(spool.dir) / ".write-test";
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    out << "ok";
    out.flush();
    if (!out) {
      throw std::runtime_error("spool folder '" + spool.dir + "' cannot be written");
    }
  }
  std::filesystem::remove(probe, ec);
  return spool;
}

bool load_console_config(const std::filesystem::path& ini_path, ConsoleConfig& config,
                         spdlog::logger& log) {
  try {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(ini_path, ec)) {
      log.error("Configuration file not found: {}", ini_path.string());
      return false;
    }
    const journel::IniFile ini =
        journel::IniFile::parse(read_config_text(ini_path), ini_path.string());
    if (!ini.has_section(kTsdbSection)) {
      log.error("Missing [TSDBConnection] section in config file");
      return false;
    }
    read_tsdb_settings(ini, config.tsdb_cfg);

    config.tag_csv_path = ini.get_string(kConsoleSection, "tag_csv_path", "");
    // A relative path is taken against the working directory, not the base directory.
    if (config.tag_csv_path.empty() || !std::filesystem::is_regular_file(config.tag_csv_path, ec)) {
      log.error("Invalid 'tag_csv_path': {}", config.tag_csv_path);
      return false;
    }
    config.opc_schema = ini.get_string(kConsoleSection, "opc_schema", "");
    if (config.opc_schema.empty()) {
      log.error("Missing 'opc_schema' in [Kestrane] section");
      return false;
    }
    // Checked here so that a mistyped address fails before the registration writes it.
    if (config.opc_schema.rfind("opc.da://", 0) != 0 &&
        config.opc_schema.rfind("opc.tcp://", 0) != 0) {
      throw std::runtime_error(describe(kConsoleSection, "opc_schema", config.opc_schema) +
                               ": must start with 'opc.da://' or 'opc.tcp://'");
    }
    config.opc_type = ini.get_string(kConsoleSection, "opc_type", "");
    if (config.opc_type.empty()) {
      log.error("Missing 'opc_type' in [Kestrane] section");
      return false;
    }
    const double interval = ini.get_real(kConsoleSection, "collection_interval", 1.0);
    // Zero, negative or non-finite intervals would spin the collector or never wake it.
    if (!std::isfinite(interval) || interval <= 0.0) {
      throw std::runtime_error(
          describe(kConsoleSection, "collection_interval", std::to_string(interval)) +
          ": the interval must be a positive number of seconds");
    }
    config.collection_interval = interval;
    const long long batch = ini.get_int(kConsoleSection, "batch_size", 200);
    // A batch of zero tags would never advance through the tag list.
    if (batch < 1 || batch > std::numeric_limits<int>::max()) {
      throw std::runtime_error(describe(kConsoleSection, "batch_size", std::to_string(batch)) +
                               ": the batch size must be at least 1");
    }
    config.batch_size = static_cast<int>(batch);
    config.spool = read_spool_settings(ini);
    config.metrics_listen = ini.get(kMetricsSection, "listen");
    return true;
  } catch (const std::exception& e) {
    log.error("Error loading config: {}", e.what());
    return false;
  }
}

}  // namespace kestrane_config
