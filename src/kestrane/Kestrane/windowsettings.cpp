#include "Kestrane/windowsettings.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "config/console_config.h"
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
  settings.spool_ = kestrane_config::read_spool_settings(config);
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

  if (changed) {
    // A crash or a full disk half-way must not cost the operator the old file: write a new
    // one beside it and rename it over the old one only when it is complete.
    QSaveFile file(ini_path_);
    const std::string& text = editor.text();
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
      throw std::runtime_error("Cannot write " + ini_path_.toStdString() + ": " +
                               file.errorString().toStdString());
    }
  }
  journel::get_logger("Kestrane")
      ->info("Configuration saved to {}. OPC Schema: {}", ini_path_.toStdString(),
             collection.opc_schema.toStdString());
}
