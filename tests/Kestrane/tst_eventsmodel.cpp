#include <QAbstractItemModelTester>
#include <QBrush>
#include <QFont>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <string>
#include <vector>

#include "Kestrane/eventsmodel.h"

namespace {

pyqar::EventRecord plain_event(int n) {
  pyqar::EventRecord event;
  event.event_id = "id" + std::to_string(n);
  event.event_type = "i=2041";
  event.source_name = "Plant";
  event.source_node = "ns=2;s=Events.Plant";
  event.time = pyqar::Timestamp(std::chrono::milliseconds(1'700'000'000'000LL + n));
  event.severity = 100 + n;
  event.message = "tick " + std::to_string(n);
  return event;
}

std::vector<pyqar::EventRecord> events(int first, int count) {
  std::vector<pyqar::EventRecord> made;
  for (int n = first; n < first + count; ++n) made.push_back(plain_event(n));
  return made;
}

pyqar::EventRecord condition(std::optional<bool> active, std::optional<bool> acked,
                             bool refresh = false) {
  pyqar::EventRecord event = plain_event(0);
  event.event_type = "i=9341";
  event.condition_id = "ns=2;s=Events.LevelAlarm";
  event.condition_name = "LevelAlarm";
  event.active = active;
  event.acked = acked;
  event.refresh = refresh;
  return event;
}

QString message_at(const EventsModel& model, int row) {
  return model.data(model.index(row, EventsModel::kMessage)).toString();
}

}  // namespace

class EventsModelTest : public QObject {
  Q_OBJECT

 private slots:
  void NewestEventIsOnTopAcrossBatches() {
    EventsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.add_events(events(1, 3)), 3);
    QCOMPARE(model.add_events(events(4, 2)), 2);
    QCOMPARE(model.rowCount(), 5);
    for (int row = 0; row < 5; ++row) {
      QCOMPARE(message_at(model, row), QStringLiteral("tick %1").arg(5 - row));
    }
  }

  void ColumnsShowTimeInUtcSeverityAndSource() {
    EventsModel model;
    pyqar::EventRecord event = plain_event(123);
    pyqar::EventRecord unnamed = plain_event(2);
    unnamed.source_name.clear();
    unnamed.severity = 0;
    model.add_events({event, unnamed});
    QCOMPARE(model.data(model.index(1, EventsModel::kTime)).toString(),
             QStringLiteral("2023-11-14T22:13:20.123Z"));
    QCOMPARE(model.data(model.index(1, EventsModel::kSeverity)).toInt(), 223);
    QCOMPARE(model.data(model.index(1, EventsModel::kSource)).toString(), QStringLiteral("Plant"));
    QCOMPARE(model.data(model.index(1, EventsModel::kState)).toString(), QString());
    // No source name: its node stands in; no severity sent: nothing shown.
    QCOMPARE(model.data(model.index(0, EventsModel::kSource)).toString(),
             QStringLiteral("ns=2;s=Events.Plant"));
    QVERIFY(!model.data(model.index(0, EventsModel::kSeverity)).isValid());
    QCOMPARE(model.headerData(EventsModel::kState, Qt::Horizontal).toString(),
             QStringLiteral("State"));
  }

  void KeepsTheLatestTenThousandInOneRemovalAndOneInsertionPerBatch() {
    EventsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.add_events(events(0, 9'000));
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QCOMPARE(model.add_events(events(9'000, 1'500)), 1'500);
    QCOMPARE(model.rowCount(), EventsModel::kCapacity);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(removed.count(), 1);
    // The 500 oldest rows go from the bottom before the new ones come on top.
    QCOMPARE(removed.at(0).at(1).toInt(), 8'500);
    QCOMPARE(removed.at(0).at(2).toInt(), 8'999);
    QCOMPARE(inserted.at(0).at(1).toInt(), 0);
    QCOMPARE(inserted.at(0).at(2).toInt(), 1'499);
    QCOMPARE(message_at(model, 0), QStringLiteral("tick 10499"));
    QCOMPARE(message_at(model, EventsModel::kCapacity - 1), QStringLiteral("tick 500"));
  }

  void BatchLargerThanTheTableKeepsItsNewestPart() {
    EventsModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.add_events(events(0, 10));
    QCOMPARE(model.add_events(events(100, 12'000)), EventsModel::kCapacity);
    QCOMPARE(model.rowCount(), EventsModel::kCapacity);
    QCOMPARE(message_at(model, 0), QStringLiteral("tick 12099"));
    QCOMPARE(message_at(model, EventsModel::kCapacity - 1), QStringLiteral("tick 2100"));
  }

  void RefreshMarkersAndEmptyBatchesAddNothing() {
    EventsModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    pyqar::EventRecord start = plain_event(1);
    start.event_type = "i=2787";
    pyqar::EventRecord end = plain_event(2);
    end.event_type = "i=2788";
    QCOMPARE(model.add_events({start, end}), 0);
    QCOMPARE(model.add_events({}), 0);
    QCOMPARE(model.add_events({start, plain_event(3), end}), 1);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(inserted.count(), 1);
  }

  void ConditionStatesReadAsOperatorsSayThem() {
    QCOMPARE(EventsModel::state_text(condition(true, false)),
             QStringLiteral("Active, Unacknowledged"));
    QCOMPARE(EventsModel::state_text(condition(true, true)),
             QStringLiteral("Active, Acknowledged"));
    QCOMPARE(EventsModel::state_text(condition(false, false)),
             QStringLiteral("Inactive, Unacknowledged"));
    QCOMPARE(EventsModel::state_text(condition(false, true)), QStringLiteral("Inactive"));
    QCOMPARE(EventsModel::state_text(condition(true, std::nullopt)), QStringLiteral("Active"));
    QCOMPARE(EventsModel::state_text(condition(true, false, true)),
             QStringLiteral("Active, Unacknowledged (refresh)"));
    QCOMPARE(EventsModel::state_text(plain_event(1)), QString());
  }

  void RefreshedStateSaysSoInItsTooltip() {
    EventsModel model;
    model.add_events({condition(true, true, true), condition(true, true)});
    QVERIFY(model.data(model.index(1, EventsModel::kState), Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("condition refresh")));
    QVERIFY(!model.data(model.index(0, EventsModel::kState), Qt::ToolTipRole).isValid());
  }

  void OnlyActiveUnacknowledgedAlarmsAreMarked() {
    EventsModel model;
    model.add_events(
        {plain_event(1), condition(true, true), condition(false, false), condition(true, false)});
    // Row 0 is the active, unacknowledged alarm (the newest).
    for (int column = 0; column < EventsModel::kColumnCount; ++column) {
      const QModelIndex cell = model.index(0, column);
      QVERIFY(model.data(cell, Qt::FontRole).value<QFont>().bold());
      QVERIFY(model.data(cell, Qt::BackgroundRole).canConvert<QBrush>());
      QVERIFY(model.data(cell, Qt::ForegroundRole).canConvert<QBrush>());
    }
    for (int row = 1; row < 4; ++row) {
      QVERIFY(!model.data(model.index(row, EventsModel::kMessage), Qt::FontRole).isValid());
      QVERIFY(!model.data(model.index(row, EventsModel::kMessage), Qt::BackgroundRole).isValid());
    }
  }

  void ClearEmptiesTheTable() {
    EventsModel model;
    model.add_events(events(0, 5));
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(!model.data(model.index(0, 0)).isValid());
  }
};

QTEST_MAIN(EventsModelTest)
#include "tst_eventsmodel.moc"
