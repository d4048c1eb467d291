#include "Kestrane/windowsettings.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Kestrane/configfilewriter.h"
#include "config/console_config.h"
#include "config/event_lists.h"
#include "journel/ini_file.h"
#include "journel/ini_file_editor.h"
#include "journel/log.h"

namespace {

const QString kOpcDa = QStringLiteral("OPC DA");
const QString kOpcUa = QStringLiteral("OPC UA");
constexpr int kDefaultUaPort = 4840;

std::filesystem::path to_fs_path(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString read_text(const journel::IniFile& config, const char* key, const char* fallback) {
  return QString::fromStdString(config.get_string(kestrane_config::kConsoleSection, key, fallback));
}

// Writes the security keys that changed. A file without a key already reads as its default, so
// such a key is added only for another value: a file that never saw security stays as it was.
bool write_security(journel::IniFileEditor& editor, const pyqar::UaSecurity& security) {
  const char* section = kestrane_config::kConsoleSection;
  const std::vector<std::string> present = journel::IniFile::parse(editor.text()).keys(section);
  const auto has_key = [&present](const char* key) {
    return std::find(present.begin(), present.end(), key) != present.end();
  };
  const pyqar::UaSecurity defaults;
  struct Key {
    const char* name;
    std::string value;
    std::string fallback;
  };
  const Key keys[] = {
      {"opc_security_policy", std::string(pyqar::to_string(security.policy)),
       std::string(pyqar::to_string(defaults.policy))},
      {"opc_security_mode", std::string(pyqar::to_string(security.mode)),
       std::string(pyqar::to_string(defaults.mode))},
      {"opc_username", security.username, defaults.username},
      {"opc_skip_hostname_check", security.skip_hostname_check ? "true" : "false",
       defaults.skip_hostname_check ? "true" : "false"},
  };
  bool changed = false;
  for (const Key& key : keys) {
    if (has_key(key.name) || key.value != key.fallback) {
      changed = editor.set(section, key.name, key.value) || changed;
    }
  }
  if (has_key("opc_password") || !security.password.empty()) {
    try {
      changed = editor.set(section, "opc_password", security.password) || changed;
    } catch (const journel::IniError&) {
      // The editor's message quotes the value.
      throw journel::IniError(std::string("[") + section +
                              "] opc_password: the password cannot be written: it holds a line "
                              "break or a line that would read as a comment");
    }
  }
  return changed;
}

// "1.0", "0.25", "60.0": a number as the file's reader takes it back.
std::string number_text(double value) {
  std::string text = fmt::format("{}", value);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// Writes the acquisition keys that changed, as write_security does: a file that never saw them
// stays as it was while they keep their defaults.
bool write_acquisition(journel::IniFileEditor& editor,
                       const quellin::AcquisitionOptions& acquisition) {
  const char* section = kestrane_config::kConsoleSection;
  const std::vector<std::string> present = journel::IniFile::parse(editor.text()).keys(section);
  const auto has_key = [&present](const char* key) {
    return std::find(present.begin(), present.end(), key) != present.end();
  };
  const pyqar::MonitorSettings& monitor = acquisition.monitor;
  const quellin::BackfillOptions& backfill = acquisition.backfill;
  const quellin::BackfillOptions defaults;
  const char* deadband_type = monitor.deadband_type == pyqar::DeadbandType::absolute  ? "absolute"
                              : monitor.deadband_type == pyqar::DeadbandType::percent ? "percent"
                                                                                      : "none";
  struct Key {
    const char* name;
    std::string value;
    std::string fallback;
  };
  const Key keys[] = {
      {"opc_acquisition", acquisition.mode == pyqar::Acquisition::subscribe ? "subscribe" : "read",
       "read"},
      // Empty: as often as the server publishes; the file's reader takes it as the key's absence.
      {"opc_sampling_interval",
       monitor.sampling_interval_ms < 0.0 ? std::string()
                                          : number_text(monitor.sampling_interval_ms / 1000.0),
       ""},
      {"opc_queue_size", std::to_string(monitor.queue_size), "0"},
      {"opc_deadband_type", deadband_type, "none"},
      {"opc_deadband", number_text(monitor.deadband), number_text(0.0)},
      {"opc_heartbeat", number_text(acquisition.heartbeat_seconds), number_text(0.0)},
      {"opc_backfill", backfill.enabled ? "true" : "false", "false"},
      {"opc_backfill_max_age", number_text(backfill.max_age_seconds),
       number_text(defaults.max_age_seconds)},
      {"opc_backfill_initial", number_text(backfill.initial_seconds),
       number_text(defaults.initial_seconds)},
      {"opc_backfill_rate", number_text(backfill.rate_values_per_second),
       number_text(defaults.rate_values_per_second)},
      {"opc_events", kestrane_config::join_list(acquisition.events.notifiers), ""},
      {"opc_event_fields", kestrane_config::join_list(acquisition.events.extra_fields), ""},
      {"opc_event_types", kestrane_config::join_list(acquisition.events.types), ""},
      {"opc_structures", acquisition.decode_structures ? "decoded" : "raw", "decoded"},
      {"opc_metadata", acquisition.read_metadata ? "true" : "false", "true"},
  };
  bool changed = false;
  for (const Key& key : keys) {
    if (has_key(key.name) || key.value != key.fallback) {
      changed = editor.set(section, key.name, key.value) || changed;
    }
  }
  return changed;
}

// Whether the text gives opc_password a value; one that cannot even be read counts as one.
bool holds_password(const std::string& text) {
  try {
    const journel::IniFile ini = journel::IniFile::parse(text);
    return !ini.get_string(kestrane_config::kConsoleSection, "opc_password", "").empty();
  } catch (const journel::IniError&) {
    return true;
  }
}

}  // namespace

WindowSettings WindowSettings::load(const QString& ini_path) {
  if (!QFileInfo(ini_path).isFile()) {
    const QString text = QStringLiteral("Configuration file not found: ") + ini_path;
    journel::get_logger("Kestrane")->error(text.toStdString());
    throw std::runtime_error(text.toStdString());
  }
  const journel::IniFile config = journel::IniFile::read_file(to_fs_path(ini_path));
  WindowSettings settings;
  settings.ini_path_ = ini_path;
  settings.tsdb_cfg_ = kestrane_config::read_tsdb_settings(config);
  settings.spool_ = kestrane_config::read_spool_settings(config, *journel::get_logger("Kestrane"));
  settings.start_without_tsdb_ = kestrane_config::read_start_without_tsdb(config, settings.spool_);
  settings.security_ = kestrane_config::read_ua_security(config);
  settings.acquisition_ = kestrane_config::read_acquisition_settings(config);
  kestrane_config::warn_if_passwords_readable(to_fs_path(ini_path), settings.tsdb_cfg_,
                                              settings.security_, *journel::get_logger("Kestrane"));
  const QString opc_type = read_text(config, "opc_type", "OPC DA");
  settings.opc_type_ = opc_type == kOpcUa ? kOpcUa : kOpcDa;
  settings.opc_host_ = read_text(config, "opc_host", "localhost");
  if (settings.opc_type_ == kOpcUa) {
    settings.opc_port_ = static_cast<int>(
        config.get_int(kestrane_config::kConsoleSection, "opc_port", kDefaultUaPort));
  }
  settings.opc_schema_ = read_text(config, "opc_schema", "");
  return settings;
}

void WindowSettings::save(const Collection& collection) const {
  const std::filesystem::path path = to_fs_path(ini_path_);
  journel::IniFileEditor editor = QFileInfo::exists(ini_path_)
                                      ? journel::IniFileEditor::read_file(path)
                                      : journel::IniFileEditor("", path.string());
  const QString dbname =
      collection.dbname.trimmed().isEmpty() ? QStringLiteral("tsdb_default") : collection.dbname;
  const auto set = [&editor](const char* section, const char* key, const QString& value) {
    return editor.set(section, key, value.toStdString());
  };
  bool changed = set(kestrane_config::kTsdbSection, "dbname", dbname.trimmed());
  const char* section = kestrane_config::kConsoleSection;
  changed = set(section, "opc_host", collection.opc_host) || changed;
  changed = set(section, "opc_schema", collection.opc_schema) || changed;
  changed = set(section, "opc_type", collection.opc_type) || changed;
  changed = set(section, "opc_port", collection.opc_port) || changed;
  if (collection.tag_csv_path && !collection.tag_csv_path->isEmpty()) {
    changed = set(section, "tag_csv_path", *collection.tag_csv_path) || changed;
  }

  if (collection.security) changed = write_security(editor, *collection.security) || changed;
  if (collection.acquisition) {
    changed = write_acquisition(editor, *collection.acquisition) || changed;
  }

  if (changed) {
    // A password in the file makes it the owner's alone, from the first byte written.
    write_config_file(ini_path_, editor.text(), holds_password(editor.text()));
  }
  journel::get_logger("Kestrane")
      ->info("Configuration saved to {}. OPC Schema: {}", ini_path_.toStdString(),
             collection.opc_schema.toStdString());
}
