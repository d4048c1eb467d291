#include "Kestrane/metadatabridge.h"

QHash<QString, ValueUnit> MetadataBridge::units_of(
    const std::vector<std::pair<std::string, pyqar::VariableMetadata>>& tags) {
  QHash<QString, ValueUnit> units;
  for (const auto& [name, metadata] : tags) {
    if (metadata.status != 0) continue;
    ValueUnit unit;
    unit.unit = QString::fromStdString(metadata.unit.value_or(std::string()));
    unit.low = metadata.eu_low;
    unit.high = metadata.eu_high;
    units.insert(QString::fromStdString(name), unit);
  }
  return units;
}

quellin::MetadataNotify MetadataBridge::notify_func() {
  return [this](const std::vector<std::pair<std::string, pyqar::VariableMetadata>>& tags) {
    // Converted here, off the GUI thread; emitted across threads, the signal is queued.
    QHash<QString, ValueUnit> units = units_of(tags);
    if (!units.isEmpty()) emit units_read(units);
  };
}
