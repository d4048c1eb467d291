#pragma once
// MetadataBridge: carries what the server says of each tag (its unit and range) from the
// thread that reads it into the GUI thread, where the value table's tooltips show it.
// Owned by CollectionControl; notify_func() runs on the reading thread, the signal is queued
// to the bridge's own (GUI) thread.

#include <QHash>
#include <QObject>
#include <QString>
#include <string>
#include <utility>
#include <vector>

#include "Kestrane/tablemodel.h"
#include "pyqar/variable_metadata.h"
#include "quellin/collector_hooks.h"

class MetadataBridge : public QObject {
  Q_OBJECT

 public:
  // The units and ranges of the tags whose metadata was read (a tag the server could not
  // describe is left out, keeping what was known of it).
  static QHash<QString, ValueUnit> units_of(
      const std::vector<std::pair<std::string, pyqar::VariableMetadata>>& tags);

  // The hook for the metadata reader; valid while the bridge lives.
  quellin::MetadataNotify notify_func();

 signals:
  void units_read(const QHash<QString, ValueUnit>& units);
};
