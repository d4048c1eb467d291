#include "config/console_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "config/event_lists.h"
#include "config/text_codec.h"
#include "journel/ini_lines.h"

namespace kestrane_config {

namespace {

std::string read_config_text(const std::filesystem::path& path) {
  std::string bytes = read_file_bytes(path);
  if (!is_valid_utf8(bytes)) {
    throw journel::IniError("'" + path.string() + "' is not valid UTF-8 text");
  }
  return bytes;
}

// Longer than any host (253 bytes), brackets, colon and port.
constexpr std::size_t kMaxListenText = 300;

// A century: beyond it the cutoff in microseconds would no longer be a meaningful time.
constexpr long long kMaxBatchRetentionDays = 36500;

// Stands in for a password wherever a message names its key.
constexpr char kHiddenValue[] = "(hidden)";

// "[section] key = value" for messages; a long value is cut (journel::ini_excerpt).
std::string describe(const char* section, const char* key, const std::string& value) {
  return std::string("[") + section + "] " + key + " = " + journel::ini_excerpt(value);
}

// A value read from `ini` as a message may show it: hidden when it is, or draws on, a
// password; cut when long.
std::string shown_value(const journel::IniFile& ini, const char* section, const char* key,
                        const std::string& value) {
  return ini.is_secret(section, key) ? std::string(kHiddenValue) : journel::ini_excerpt(value);
}

std::string describe(const journel::IniFile& ini, const char* section, const char* key,
                     const std::string& value) {
  return std::string("[") + section + "] " + key + " = " + shown_value(ini, section, key, value);
}

// What a bounded number must be, for messages: "between 1 and 65535".
template <typename Number>
std::string range_text(Number min, Number max, const char* unit) {
  return fmt::format("between {} and {}{}", min, max, unit);
}

// An integer key within [min, max] (the fallback when absent). A value that is no integer
// fails with the dialect's IniError plus the range; one outside it with a runtime_error naming
// the key, the value as written and the range.
long long read_int_in(const journel::IniFile& ini, const char* section, const char* key,
                      long long fallback, long long min, long long max, const char* what,
                      const char* unit = "") {
  long long value = fallback;
  try {
    value = ini.get_int(section, key, fallback);
  } catch (const journel::IniError& e) {
    throw journel::IniError(std::string(e.what()) + "; " + what + " must lie " +
                            range_text(min, max, unit));
  }
  if (value < min || value > max) {
    throw std::runtime_error(describe(ini, section, key, ini.get(section, key).value_or("")) +
                             ": " + what + " must lie " + range_text(min, max, unit));
  }
  return value;
}

// The same for a decimal number; nan and inf are no numbers here.
double read_real_in(const journel::IniFile& ini, const char* section, const char* key,
                    double fallback, double min, double max, const char* what, const char* unit) {
  double value = fallback;
  try {
    value = ini.get_real(section, key, fallback);
  } catch (const journel::IniError& e) {
    throw journel::IniError(std::string(e.what()) + "; " + what + " must lie " +
                            range_text(min, max, unit));
  }
  if (!(value >= min && value <= max)) {
    throw std::runtime_error(describe(ini, section, key, ini.get(section, key).value_or("")) +
                             ": " + what + " must lie " + range_text(min, max, unit));
  }
  return value;
}

// [Kestrane] collection_interval: any positive number of seconds up to kMaxCollectionInterval;
// nan and inf are no numbers here.
double read_collection_interval(const journel::IniFile& ini) {
  const std::string range = fmt::format("the interval must lie between 0 (excluded) and {} seconds",
                                        kMaxCollectionInterval);
  double value = 1.0;
  try {
    value = ini.get_real(kConsoleSection, "collection_interval", value);
  } catch (const journel::IniError& e) {
    throw journel::IniError(std::string(e.what()) + "; " + range);
  }
  if (!(value > 0.0 && value <= kMaxCollectionInterval)) {
    throw std::runtime_error(
        describe(ini, kConsoleSection, "collection_interval",
                 ini.get(kConsoleSection, "collection_interval").value_or("")) +
        ": " + range);
  }
  return value;
}

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

}  // namespace

void warn_if_passwords_readable(const std::filesystem::path& ini_path,
                                const tidewell::TsdbSettings& tsdb,
                                const pyqar::UaSecurity& security, spdlog::logger& log) {
  std::vector<std::string> keys;
  if (!tsdb.password.empty()) keys.push_back(std::string("[") + kTsdbSection + "] password");
  if (!security.password.empty()) keys.emplace_back("opc_password");
  if (keys.empty()) return;
  struct stat st {};
  if (::stat(ini_path.c_str(), &st) != 0) return;
  if ((st.st_mode & (S_IRGRP | S_IROTH)) == 0) return;
  const bool only_through_group =
      (st.st_mode & S_IROTH) == 0 && st.st_uid != ::geteuid() && st.st_gid == ::getegid();
  if (only_through_group) return;
  log.warn("{} holds {} and other users may read it; restrict it with: chmod 600 {}",
           ini_path.string(), fmt::join(keys, " and "), ini_path.string());
}

tidewell::TsdbSettings read_tsdb_settings(const journel::IniFile& ini) {
  tidewell::TsdbSettings s;
  read_tsdb_settings(ini, s);
  return s;
}

void read_tsdb_settings(const journel::IniFile& ini, tidewell::TsdbSettings& s) {
  const tidewell::TsdbSettings defaults;
  s.host = ini.get_string(kTsdbSection, "host", defaults.host);
  s.port =
      static_cast<int>(read_int_in(ini, kTsdbSection, "port", defaults.port, 1, 65535, "a port"));
  s.user = ini.get_string(kTsdbSection, "user", defaults.user);
  s.password = read_secret(ini, kTsdbSection, "password", defaults.password);
  s.dbname = ini.get_string(kTsdbSection, "dbname", defaults.dbname);
  s.autocommit = ini.get_bool(kTsdbSection, "autocommit", defaults.autocommit);
  const std::string driver = ini.get_string(kTsdbSection, "driver", defaults.driver);
  if (driver != "postgresql" && driver != "sqlite") {
    throw std::runtime_error(describe(ini, kTsdbSection, "driver", driver) +
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

namespace {

// Why `dir` cannot hold the spool, or nothing when it can: created when missing, and it must
// take a file.
std::optional<std::string> spool_folder_problem(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    return "spool folder " + journel::ini_quote(dir) +
           " cannot be created: " + (ec ? ec.message() : "not a folder");
  }
  const std::filesystem::path probe = std::filesystem::path(dir) / ".write-test";
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    out << "ok";
    out.flush();
    if (!out) return "spool folder " + journel::ini_quote(dir) + " cannot be written";
  }
  std::filesystem::remove(probe, ec);
  return std::nullopt;
}

}  // namespace

SpoolConfig read_spool_settings(const journel::IniFile& ini, spdlog::logger& log) {
  SpoolConfig spool;
  spool.dir_configured = ini.get(kConsoleSection, "spool_dir").has_value();
  spool.dir = ini.get_string(kConsoleSection, "spool_dir", spool.dir);
  // Beyond 1 TiB the size is more likely a slip than a disk; far beyond it, the byte count
  // would no longer fit in 64 bits.
  spool.max_mb = static_cast<std::uint64_t>(
      read_int_in(ini, kConsoleSection, "spool_max_mb", static_cast<long long>(spool.max_mb), 0,
                  kMaxSpoolMb, "the spool size (0: off)", " MiB"));
  if (spool.max_mb == 0) return spool;
  if (spool.dir.empty()) {
    throw std::runtime_error(describe(kConsoleSection, "spool_dir", "") +
                             ": a folder is needed while spool_max_mb is not 0");
  }
  // Found out now rather than at the first outage, when rows would be lost.
  if (const auto problem = spool_folder_problem(spool.dir)) {
    // A folder the user named is meant to be used; the default one (a read-only working
    // directory, say) must not stop a configuration that never asked for a spool.
    if (spool.dir_configured) throw std::runtime_error(*problem);
    log.warn(
        "{}; running without the spool: rows that cannot be written are dropped (set spool_dir "
        "in [{}] to a writable folder to keep them)",
        *problem, kConsoleSection);
    spool.max_mb = 0;
  }
  return spool;
}

bool read_start_without_tsdb(const journel::IniFile& ini, const SpoolConfig& spool) {
  const bool start = ini.get_bool(kConsoleSection, "start_without_tsdb", false);
  if (start && spool.max_mb == 0) {
    // The spool is off either by spool_max_mb = 0 or because its default folder is unusable.
    const bool turned_off = ini.get_int(kConsoleSection, "spool_max_mb", 1) == 0;
    throw std::runtime_error(describe(ini, kConsoleSection, "start_without_tsdb",
                                      ini.get(kConsoleSection, "start_without_tsdb").value_or("")) +
                             (turned_off
                                  ? " needs the spool, and spool_max_mb = 0 turns it off"
                                  : " needs the spool, and its default folder '" + spool.dir +
                                        "' cannot be used (see the warning above); set spool_dir") +
                             ": nothing could hold the rows until the database answers");
  }
  return start;
}

pyqar::UaSecurity read_ua_security(const journel::IniFile& ini) {
  pyqar::UaSecurity security;
  const std::string policy_text = ini.get_string(kConsoleSection, "opc_security_policy",
                                                 std::string(pyqar::to_string(security.policy)));
  const auto policy = pyqar::parse_security_policy(policy_text);
  if (!policy) {
    throw std::runtime_error(describe(ini, kConsoleSection, "opc_security_policy", policy_text) +
                             ": the policy must be one of " + policy_names());
  }
  const std::string mode_text = ini.get_string(kConsoleSection, "opc_security_mode",
                                               std::string(pyqar::to_string(security.mode)));
  const auto mode = pyqar::parse_security_mode(mode_text);
  if (!mode) {
    throw std::runtime_error(describe(ini, kConsoleSection, "opc_security_mode", mode_text) +
                             ": the mode must be one of " + mode_names());
  }
  const std::string mismatch = pyqar::check_policy_and_mode(*policy, *mode);
  if (!mismatch.empty()) {
    throw std::runtime_error(describe(ini, kConsoleSection, "opc_security_policy", policy_text) +
                             ", opc_security_mode = " +
                             shown_value(ini, kConsoleSection, "opc_security_mode", mode_text) +
                             ": " + mismatch);
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

namespace {

std::string lower_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

constexpr char kSubscribeWord[] = "subscribe";

}  // namespace

quellin::AcquisitionOptions read_acquisition_settings(const journel::IniFile& ini) {
  quellin::AcquisitionOptions acquisition;
  const std::string mode = ini.get_string(kConsoleSection, "opc_acquisition", "read");
  if (lower_case(mode) == kSubscribeWord) {
    acquisition.mode = pyqar::Acquisition::subscribe;
  } else if (lower_case(mode) != "read") {
    throw std::runtime_error(describe(ini, kConsoleSection, "opc_acquisition", mode) +
                             ": the acquisition must be read or subscribe");
  }
  pyqar::MonitorSettings& monitor = acquisition.monitor;
  // Absent or empty: the server samples as often as it publishes (the collection interval).
  if (!ini.get(kConsoleSection, "opc_sampling_interval").value_or("").empty()) {
    monitor.sampling_interval_ms =
        1000.0 * read_real_in(ini, kConsoleSection, "opc_sampling_interval", 0.0, 0.0,
                              kMaxSamplingInterval,
                              "the sampling interval (0: the server's fastest)", " seconds");
  }
  monitor.queue_size = static_cast<std::uint32_t>(
      read_int_in(ini, kConsoleSection, "opc_queue_size", 0, 0, kMaxQueueSize,
                  "the queue size (0: automatic)", " values"));

  const std::string type = ini.get_string(kConsoleSection, "opc_deadband_type", "none");
  if (lower_case(type) == "absolute") {
    monitor.deadband_type = pyqar::DeadbandType::absolute;
  } else if (lower_case(type) == "percent") {
    monitor.deadband_type = pyqar::DeadbandType::percent;
  } else if (lower_case(type) != "none") {
    throw std::runtime_error(describe(ini, kConsoleSection, "opc_deadband_type", type) +
                             ": the deadband type must be none, absolute or percent");
  }
  const double deadband = ini.get_real(kConsoleSection, "opc_deadband", 0.0);
  const auto deadband_failure = [&ini](const std::string& why) {
    return std::runtime_error(describe(ini, kConsoleSection, "opc_deadband",
                                       ini.get(kConsoleSection, "opc_deadband").value_or("")) +
                              ": " + why);
  };
  if (!(deadband >= 0.0) || !std::isfinite(deadband)) {
    throw deadband_failure("the deadband must be a number of 0 or more");
  }
  if (monitor.deadband_type == pyqar::DeadbandType::percent && deadband > 100.0) {
    throw deadband_failure("a percent deadband must lie between 0 and 100");
  }
  if (monitor.deadband_type == pyqar::DeadbandType::none && deadband > 0.0) {
    // Most likely the type was forgotten: silently unfiltered values are the worse outcome.
    throw deadband_failure(
        "no deadband applies while opc_deadband_type is none; set it to absolute or percent");
  }
  monitor.deadband = deadband;
  acquisition.heartbeat_seconds = read_real_in(ini, kConsoleSection, "opc_heartbeat", 0.0, 0.0,
                                               kMaxHeartbeat, "the heartbeat (0: off)", " seconds");
  acquisition.backfill = read_backfill_settings(ini);
  acquisition.events = read_event_settings(ini);

  const std::string structures = ini.get_string(kConsoleSection, "opc_structures", "decoded");
  if (lower_case(structures) == "raw") {
    acquisition.decode_structures = false;
  } else if (lower_case(structures) != "decoded") {
    throw std::runtime_error(describe(ini, kConsoleSection, "opc_structures", structures) +
                             ": structures must be decoded or raw");
  }
  acquisition.read_metadata =
      ini.get_bool(kConsoleSection, "opc_metadata", acquisition.read_metadata);
  return acquisition;
}

quellin::BackfillOptions read_backfill_settings(const journel::IniFile& ini) {
  quellin::BackfillOptions backfill;
  backfill.enabled = ini.get_bool(kConsoleSection, "opc_backfill", backfill.enabled);

  // A maximum age of 0 would leave every gap unfilled while backfill looks turned on.
  const std::string age_range = fmt::format(
      "the maximum age must lie between 0 (excluded) and {} seconds", kMaxBackfillSeconds);
  double max_age = backfill.max_age_seconds;
  try {
    max_age = ini.get_real(kConsoleSection, "opc_backfill_max_age", max_age);
  } catch (const journel::IniError& e) {
    throw journel::IniError(std::string(e.what()) + "; " + age_range);
  }
  if (!(max_age > 0.0 && max_age <= kMaxBackfillSeconds)) {
    throw std::runtime_error(
        describe(ini, kConsoleSection, "opc_backfill_max_age",
                 ini.get(kConsoleSection, "opc_backfill_max_age").value_or("")) +
        ": " + age_range);
  }
  backfill.max_age_seconds = max_age;

  backfill.initial_seconds =
      read_real_in(ini, kConsoleSection, "opc_backfill_initial", backfill.initial_seconds, 0.0,
                   kMaxBackfillSeconds, "the initial backfill (0: none)", " seconds");
  // The older part would be cut off as too old: refused rather than silently shortened.
  if (backfill.initial_seconds > backfill.max_age_seconds) {
    throw std::runtime_error(
        describe(ini, kConsoleSection, "opc_backfill_initial",
                 ini.get(kConsoleSection, "opc_backfill_initial").value_or("")) +
        fmt::format(": the initial backfill cannot reach further back than opc_backfill_max_age "
                    "({} seconds); raise opc_backfill_max_age to at least {}",
                    backfill.max_age_seconds, backfill.initial_seconds));
  }
  backfill.rate_values_per_second =
      read_real_in(ini, kConsoleSection, "opc_backfill_rate", backfill.rate_values_per_second, 0.0,
                   kMaxBackfillRate, "the backfill rate (0: unlimited)", " values per second");
  return backfill;
}

pyqar::EventSettings read_event_settings(const journel::IniFile& ini) {
  const auto read_list = [&ini](const char* key, auto parse) {
    const std::string text = ini.get_string(kConsoleSection, key, "");
    try {
      return parse(text);
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(describe(ini, kConsoleSection, key, text) + ": " + e.what());
    }
  };
  pyqar::EventSettings events;
  events.notifiers = read_list("opc_events", node_id_list);
  events.extra_fields = read_list("opc_event_fields", browse_path_list);
  events.types = read_list("opc_event_types", node_id_list);
  return events;
}

std::optional<std::string> acquisition_problem(pyqar::Acquisition mode,
                                               const std::string& opc_schema) {
  if (mode == pyqar::Acquisition::subscribe && opc_schema.starts_with("opc.da://")) {
    return "the OPC DA source " + journel::ini_excerpt(opc_schema) +
           " has no subscriptions (only OPC UA servers have them)";
  }
  return std::nullopt;
}

std::optional<std::string> backfill_problem(const quellin::BackfillOptions& backfill,
                                            const std::string& opc_schema) {
  if (backfill.enabled && opc_schema.starts_with("opc.da://")) {
    return "the OPC DA source " + journel::ini_excerpt(opc_schema) +
           " keeps no history to fill gaps from (only OPC UA servers keep one)";
  }
  return std::nullopt;
}

std::optional<std::string> events_problem(const pyqar::EventSettings& events,
                                          const std::string& opc_schema) {
  if (events.enabled() && opc_schema.starts_with("opc.da://")) {
    return "the OPC DA source " + journel::ini_excerpt(opc_schema) +
           " reports no events (only OPC UA servers do)";
  }
  return std::nullopt;
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
      log.error("Invalid 'tag_csv_path': {}",
                shown_value(ini, kConsoleSection, "tag_csv_path", config.tag_csv_path));
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
      throw std::runtime_error(describe(ini, kConsoleSection, "opc_schema", config.opc_schema) +
                               ": must start with 'opc.da://' or 'opc.tcp://'");
    }
    config.opc_type = ini.get_string(kConsoleSection, "opc_type", "");
    if (config.opc_type.empty()) {
      log.error("Missing 'opc_type' in [Kestrane] section");
      return false;
    }
    // A longer wait would overflow the clock, and a non-number would never wake the collector.
    config.collection_interval = read_collection_interval(ini);
    // A batch of zero tags would never advance through the tag list.
    config.batch_size =
        static_cast<int>(read_int_in(ini, kConsoleSection, "batch_size", 200, 1,
                                     std::numeric_limits<int>::max(), "the batch size", " tags"));
    config.acquisition = read_acquisition_settings(ini);
    if (const auto problem = acquisition_problem(config.acquisition.mode, config.opc_schema)) {
      throw std::runtime_error(
          describe(ini, kConsoleSection, "opc_acquisition",
                   ini.get(kConsoleSection, "opc_acquisition").value_or(kSubscribeWord)) +
          ": " + *problem + "; set opc_acquisition = read to poll it");
    }
    if (const auto problem = backfill_problem(config.acquisition.backfill, config.opc_schema)) {
      throw std::runtime_error(describe(ini, kConsoleSection, "opc_backfill",
                                        ini.get(kConsoleSection, "opc_backfill").value_or("")) +
                               ": " + *problem + "; set opc_backfill = false");
    }
    if (const auto problem = events_problem(config.acquisition.events, config.opc_schema)) {
      throw std::runtime_error(describe(ini, kConsoleSection, "opc_events",
                                        ini.get(kConsoleSection, "opc_events").value_or("")) +
                               ": " + *problem + "; leave opc_events empty");
    }
    config.opc_security = read_ua_security(ini);
    warn_if_passwords_readable(ini_path, config.tsdb_cfg, config.opc_security, log);
    config.spool = read_spool_settings(ini, log);
    config.start_without_tsdb = read_start_without_tsdb(ini, config.spool);
    config.metrics_listen = ini.get(kMetricsSection, "listen");
    // A host name has at most 253 bytes; anything far longer is no address, and the listener's
    // own message would quote it whole.
    if (config.metrics_listen && config.metrics_listen->size() > kMaxListenText) {
      throw std::runtime_error(describe(ini, kMetricsSection, "listen", *config.metrics_listen) +
                               ": too long for host:port");
    }
    return true;
  } catch (const std::exception& e) {
    log.error("Error loading config: {}", e.what());
    return false;
  }
}

}  // namespace kestrane_config
