#pragma once
// The console program's settings from config.ini ([TSDBConnection] and [Kestrane]) and the
// reader of the TSDB settings that the desktop program shares. Plain values and free
// functions; one thread at a time per ConsoleConfig.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <spdlog/logger.h>

#include "journel/ini_file.h"
#include "pyqar/ua_security.h"
#include "quellin/acquisition_options.h"
#include "tidewell/types.h"

namespace kestrane_config {

inline constexpr char kTsdbSection[] = "TSDBConnection";
inline constexpr char kConsoleSection[] = "Kestrane";
inline constexpr char kMetricsSection[] = "KestraneMetrics";

// The longest [Kestrane] collection_interval, in seconds (about 73 years); any positive one is
// accepted below it. The collector's waits, and a subscription's watchdog, add up to two
// intervals to the steady clock's reading, which counts nanoseconds in 64 bits: a quarter of its
// range leaves the other half for the reading itself (the time since boot).
inline constexpr double kMaxCollectionInterval = static_cast<double>(
    std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::duration::max())
        .count() /
    4);
// The accepted [Kestrane] opc_sampling_interval and opc_heartbeat, in seconds (0 included),
// and the largest opc_queue_size.
inline constexpr double kMaxSamplingInterval = 86400.0;
inline constexpr double kMaxHeartbeat = 86400.0;
inline constexpr long long kMaxQueueSize = 100000;
// The largest [Kestrane] spool_max_mb: 1 TiB.
inline constexpr long long kMaxSpoolMb = 1LL << 20;
// The longest [Kestrane] opc_backfill_max_age and opc_backfill_initial, in seconds: a century,
// far beyond any server's history. The highest opc_backfill_rate, in values per second.
inline constexpr double kMaxBackfillSeconds = 36500.0 * 86400.0;
inline constexpr double kMaxBackfillRate = 1e9;

// Where rows wait that the TSDB cannot take ([Kestrane] spool_dir, spool_max_mb); a size of
// 0 turns the spool off, and such rows are dropped.
struct SpoolConfig {
  std::string dir = "spool";  // relative to the working directory
  std::uint64_t max_mb = 1024;
  // Whether spool_dir gave `dir`: the default folder gives way to another program's lock.
  bool dir_configured = false;
};

struct ConsoleConfig {
  tidewell::TsdbSettings tsdb_cfg;
  std::string tag_csv_path;
  std::string opc_schema;
  std::string opc_type;
  double collection_interval = 1.0;
  int batch_size = 200;
  SpoolConfig spool;
  // How OPC UA sources are opened; DA sources ignore it. pki_dir is absolute once loaded.
  pyqar::UaSecurity opc_security;
  // [KestraneMetrics] listen, as written ("127.0.0.1:9464"); unset: nothing listens.
  std::optional<std::string> metrics_listen;
  // [Kestrane] start_without_tsdb: collect (into the spool) when the TSDB cannot be reached at
  // start, registering source and tags once it answers; false: such a start fails.
  bool start_without_tsdb = false;
  // [Kestrane] opc_acquisition and the subscription settings as read; the collector is given
  // them with the tag list's own columns added (acquisition_for_tags).
  quellin::AcquisitionOptions acquisition;
};

// The TSDB settings of [TSDBConnection] with their defaults (also when the section is
// missing), including the optional `driver`, `data_dir` and `batch_retention_days`. Throws
// journel::IniError for a value that cannot be read as its type (a port's message names the
// range), and std::runtime_error naming the key for a port outside 1..65535, an unknown driver
// or a retention outside 1..36500 days. No message holds the password.
tidewell::TsdbSettings read_tsdb_settings(const journel::IniFile& ini);
// The same, storing each value into `out` as soon as it is read.
void read_tsdb_settings(const journel::IniFile& ini, tidewell::TsdbSettings& out);

// The spool settings of [Kestrane]. With the spool on, the folder is created and must take a
// file. Throws journel::IniError for a size that is no integer, std::runtime_error naming the
// key or the folder for a size outside 0..kMaxSpoolMb or a configured spool_dir that cannot be
// created or written. The default folder (no spool_dir) that cannot be used only turns the
// spool off, with one warning on `log`: a configuration without the key must still start.
SpoolConfig read_spool_settings(const journel::IniFile& ini, spdlog::logger& log);

// [Kestrane] start_without_tsdb (default false). Throws journel::IniError for a value that is
// no boolean word, std::runtime_error when it is true while `spool` is off (max_mb 0), since
// nothing could then hold the rows until the database answers.
bool read_start_without_tsdb(const journel::IniFile& ini, const SpoolConfig& spool);

// The OPC UA security of [Kestrane]: opc_security_policy and opc_security_mode ("None" when
// absent), opc_username and opc_password (anonymous without a user name) and opc_pki_dir
// ("pki"), a relative folder taken against the working directory and returned absolute, and
// opc_skip_hostname_check (false).
// Throws std::runtime_error naming the key for an unknown policy or mode, a policy and mode
// that do not go together, a password without a user name or an empty folder, and for a value
// the file's dialect cannot read. No message ever holds the password.
pyqar::UaSecurity read_ua_security(const journel::IniFile& ini);

// How values are acquired ([Kestrane] opc_acquisition: read, the default, or subscribe) and how
// subscriptions monitor every tag: opc_sampling_interval (seconds; absent or empty: the
// publishing interval, 0: the server's fastest), opc_queue_size (0: automatic), opc_deadband_type
// (none, absolute or percent) with opc_deadband, and opc_heartbeat (seconds, 0: off); also
// opc_structures (decoded, the default, or raw: type id and body) and opc_metadata (boolean,
// default true: read each tag's data type, unit and range). The words are taken in any case. The
// keys are checked in both modes, so a slip shows before subscriptions are turned on. Throws
// journel::IniError for a value that is no number and std::runtime_error naming the key for an
// unknown word, a number outside its range, a percentage above 100 or a deadband while
// opc_deadband_type is none.
quellin::AcquisitionOptions read_acquisition_settings(const journel::IniFile& ini);

// Filling gaps from the server's history ([Kestrane], part of read_acquisition_settings):
// opc_backfill (default false), opc_backfill_max_age (seconds, above 0, default 86400),
// opc_backfill_initial (seconds, 0 or more and at most the maximum age, default 0) and
// opc_backfill_rate (values per second, 0: unlimited). Checked whether backfill is on or not.
// Throws journel::IniError for a value that is no boolean word or number, std::runtime_error
// naming the key for a number outside its range.
quellin::BackfillOptions read_backfill_settings(const journel::IniFile& ini);

// Events and alarms ([Kestrane], part of read_acquisition_settings): opc_events (event
// notifiers as NodeId text), opc_event_fields (browse paths of the fields stored beyond the
// standard ones) and opc_event_types (NodeId text of the event types kept), each a
// comma-separated list (see event_lists.h); absent or blank: none. Checked whether events are on
// or not. Throws std::runtime_error naming the key, its value and the element at fault.
pyqar::EventSettings read_event_settings(const journel::IniFile& ini);

// Why `opc_schema` cannot be acquired with `mode`, or nothing when it can: the OPC DA
// simulation has no subscriptions.
std::optional<std::string> acquisition_problem(pyqar::Acquisition mode,
                                               const std::string& opc_schema);

// Why `opc_schema` cannot be backfilled with `backfill`, or nothing when it can: the OPC DA
// simulation keeps no history.
std::optional<std::string> backfill_problem(const quellin::BackfillOptions& backfill,
                                            const std::string& opc_schema);

// Why `opc_schema` cannot report `events`, or nothing when it can: the OPC DA simulation has
// no events.
std::optional<std::string> events_problem(const pyqar::EventSettings& events,
                                          const std::string& opc_schema);

// Logs a WARNING when `ini_path` gives a TSDB password or an opc_password (non-empty in
// `tsdb` or `security`) and users other than its owner may read it, naming the key(s). A file
// this process reads only through its group (another owner, the process's group, nothing for
// others: root:kestrane 0640 as the package installs it) is not warned about, since
// `chmod 600` would lock the service out.
void warn_if_passwords_readable(const std::filesystem::path& ini_path,
                                const tidewell::TsdbSettings& tsdb,
                                const pyqar::UaSecurity& security, spdlog::logger& log);

// Reads `ini_path` into `config`, storing each value as soon as it is read, so values read
// before a failure stay set. Logs the one error line of the first failing step to `log` and
// returns false; never throws. A value outside its range (collection_interval: above 0 and at
// most kMaxCollectionInterval, batch_size,
// port, spool_max_mb, the subscription and backfill settings) fails naming the key, the value
// and the range, subscribe with an opc.da:// schema fails saying that DA has no subscriptions,
// opc_backfill = true with one saying that DA keeps no history, and opc_events with one saying
// that DA has no events; no
// message quotes a password or more than 200 bytes of a value. Warns when the file holds a
// password that other users may read.
bool load_console_config(const std::filesystem::path& ini_path, ConsoleConfig& config,
                         spdlog::logger& log);

}  // namespace kestrane_config
