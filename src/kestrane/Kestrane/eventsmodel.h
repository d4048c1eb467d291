#pragma once
// EventsModel: the latest events a collector reported, newest first, as a table of time,
// severity, source, message and state; at most kCapacity rows, the oldest dropping out.
// Owned by EventsView; GUI thread only. Each batch is one row insertion (and at most one
// removal), so that a view keeps up with a thousand events a second.

#include <QAbstractTableModel>
#include <QString>
#include <QVariant>
#include <cstddef>
#include <deque>
#include <vector>

#include "pyqar/event_types.h"

class EventsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kTime = 0, kSeverity, kSource, kMessage, kState, kColumnCount };
  static constexpr int kCapacity = 10'000;

  explicit EventsModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Adds events in the order the server reported them (oldest first), so the last one ends on
  // top. The markers of a condition refresh carry nothing to read and are left out. Returns how
  // many rows were added.
  int add_events(std::vector<pyqar::EventRecord> events);
  void clear();

  // The event shown in `row` (0: the newest). `row` must be below rowCount().
  const pyqar::EventRecord& event(int row) const;

  // "Active, Unacknowledged", "Inactive", ...: a condition's state, with " (refresh)" when a
  // condition refresh reported it; empty for an event that is no condition.
  static QString state_text(const pyqar::EventRecord& event);
  // An alarm that is active and nobody has acknowledged: shown bold on a warning colour.
  static bool needs_attention(const pyqar::EventRecord& event);

 private:
  std::deque<pyqar::EventRecord> events_;  // newest first
};
