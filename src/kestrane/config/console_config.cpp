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

// A century: beyond it the cutoff in microseconds would no longer be a meaningful time.
constexpr long long kMaxBatchRetentionDays = 36500;

// Stands in for a password wherever a message names its key.
constexpr char kHiddenValue[] = "(hidden)";

// The dialect's own errors quote the value they could not read, so a secret's are replaced by
// one that names the key alone.
std::string read_secret(const journel::IniFile& ini, const char* section, const char* key,
                        const std::string& fallback) {
  try {
    return ini.get_string(section, key, fallback);
  } catch (const journel::IniError&) {
    throw std::runtime_error(describe(section, key, kHiddenValue) +
                             ": cannot be read; write each '%' in it as '%%'");
  }
}

std::string policy_names() {
  std::string names;
  for (const auto policy : {pyqar::UaSecurityPolicy::None, pyqar::UaSecurityPolicy::Basic256Sha256,
                            pyqar::UaSecurityPolicy::Aes128_Sha256_RsaOaep,
                            pyqar::UaSecurityPolicy::Aes256_Sha256_RsaPss}) {
    if (!names.empty()) names += ", ";
    names += pyqar::to_string(policy);
  }
  return names;
}

std::string mode_names() {
  std::string names;
  for (const auto mode : {pyqar::UaSecurityMode::None, pyqar::UaSecurityMode::Sign,
                          pyqar::UaSecurityMode::SignAndEncrypt}) {
    if (!names.empty()) names += ", ";
    names += pyqar::to_string(mode);
  }
  return names;
}

// The same rule as the log folder's: a relative folder hangs off the working directory as it is
// when the file is read, so a later change of directory cannot move it.
std::string from_working_directory(const std::string& folder) {
  const std::filesystem::path path(folder);
  if (path.is_absolute()) return folder;
  return (std::filesystem::current_path() / path).string();
}

// A password in a file that others may read is as good as theirs.
void warn_if_readable_by_others(const std::filesystem::path& ini_path, spdlog::logger& log) {
  using std::filesystem::perms;
  std::error_code ec;
  const perms mode = std::filesystem::status(ini_path, ec).permissions();
  if (ec || (mode & (perms::group_read | perms::others_read)) == perms::none) return;
  log.warn("{} holds opc_password and other users may read it; restrict it with: chmod 600 {}",
           ini_path.string(), ini_path.string());
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
  s.password = read_secret(ini, kTsdbSection, "password", defaults.password);
  s.dbname = ini.get_string(kTsdbSection, "dbname", defaults.dbname);
  s.autocommit = ini.get_bool(kTsdbSection, "autocommit", defaults.autocommit);
  const std::string driver = ini.get_string(kTsdbSection, "driver", defaults.driver);
  if (driver != "postgresql" && driver != "sqlite") {
    throw std::runtime_error(describe(kTsdbSection, "driver", driver) +
                             ": the driver must be postgresql or sqlite");
  }
  s.driver = driver;
  s.data_dir = ini.get_string(kTsdbSection, "data_dir", defaults.data_dir);
  const long long retention =
      ini.get_int(kTsdbSection, "batch_retention_days", defaults.batch_retention_days);
  if (retention < 1 || retention > kMaxBatchRetentionDays) {
    throw std::runtime_error(
        describe(kTsdbSection, "batch_retention_days", std::to_string(retention)) +
        ": batch records must be kept from 1 to " + std::to_string(kMaxBatchRetentionDays) +
        " days");
  }
  s.batch_retention_days = static_cast<int>(retention);
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

pyqar::UaSecurity read_ua_security(const journel::IniFile& ini) {
  pyqar::UaSecurity security;
  const std::string policy_text = ini.get_string(kConsoleSection, "opc_security_policy",
                                                 std::string(pyqar::to_string(security.policy)));
  const auto policy = pyqar::parse_security_policy(policy_text);
  if (!policy) {
    throw std::runtime_error(describe(kConsoleSection, "opc_security_policy", policy_text) +
                             ": the policy must be one of " + policy_names());
  }
  const std::string mode_text = ini.get_string(kConsoleSection, "opc_security_mode",
                                               std::string(pyqar::to_string(security.mode)));
  const auto mode = pyqar::parse_security_mode(mode_text);
  if (!mode) {
    throw std::runtime_error(describe(kConsoleSection, "opc_security_mode", mode_text) +
                             ": the mode must be one of " + mode_names());
  }
  const std::string mismatch = pyqar::check_policy_and_mode(*policy, *mode);
  if (!mismatch.empty()) {
    throw std::runtime_error(describe(kConsoleSection, "opc_security_policy", policy_text) + ", " +
                             "opc_security_mode = " + mode_text + ": " + mismatch);
  }
  security.policy = *policy;
  security.mode = *mode;
  security.username = ini.get_string(kConsoleSection, "opc_username", "");
  security.password = read_secret(ini, kConsoleSection, "opc_password", "");
  if (security.username.empty() && !security.password.empty()) {
    throw std::runtime_error(describe(kConsoleSection, "opc_username", "") +
                             ": a user name is needed when opc_password is set");
  }
  const std::string pki_dir = ini.get_string(kConsoleSection, "opc_pki_dir", security.pki_dir);
  if (pki_dir.empty()) {
    throw std::runtime_error(describe(kConsoleSection, "opc_pki_dir", "") +
                             ": a folder for the certificates is needed");
  }
  security.pki_dir = from_working_directory(pki_dir);
  security.skip_hostname_check = ini.get_bool(kConsoleSection, "opc_skip_hostname_check", false);
  return security;
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
    config.opc_security = read_ua_security(ini);
    if (!config.opc_security.password.empty()) warn_if_readable_by_others(ini_path, log);
    config.spool = read_spool_settings(ini);
    config.metrics_listen = ini.get(kMetricsSection, "listen");
    return true;
  } catch (const std::exception& e) {
    log.error("Error loading config: {}", e.what());
    return false;
  }
}

}  // namespace kestrane_config
