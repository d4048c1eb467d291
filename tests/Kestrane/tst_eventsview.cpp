#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Kestrane/acquisitiondialog.h"
#include "Kestrane/eventsinbox.h"
#include "Kestrane/eventsmodel.h"
#include "Kestrane/eventsview.h"
#include "Kestrane/paginatedtablewidget.h"
#include "testsupport.h"

namespace {

std::vector<pyqar::EventRecord> events(int first, int count) {
  std::vector<pyqar::EventRecord> made(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    made[static_cast<std::size_t>(i)].message = "tick " + std::to_string(first + i);
    made[static_cast<std::size_t>(i)].time = std::chrono::system_clock::now();
  }
  return made;
}

std::string message_at(const EventsView& view, int row) { return view.model()->event(row).message; }

}  // namespace

class EventsViewTest : public QObject {
  Q_OBJECT

 private slots:
  void InboxKeepsOrderAndDropsTheOldestWhenFull() {
    EventsInbox inbox(5);
    inbox.push(events(0, 3));
    inbox.push(events(3, 4));
    std::vector<pyqar::EventRecord> taken = inbox.take_all();
    QCOMPARE(taken.size(), 5u);
    QCOMPARE(taken.front().message, std::string("tick 2"));
    QCOMPARE(taken.back().message, std::string("tick 6"));
    QCOMPARE(inbox.dropped(), 2u);
    QVERIFY(inbox.take_all().empty());
    // One batch larger than the inbox: its newest part.
    inbox.push(events(10, 8));
    taken = inbox.take_all();
    QCOMPARE(taken.front().message, std::string("tick 13"));
    QCOMPARE(inbox.dropped(), 5u);
  }

  void EventsFromAnotherThreadArriveInOrderNewestFirst() {
    EventsView view;
    view.set_configured(true);
    view.show();
    const quellin::EventsNotify notify = view.notify_func();
    constexpr int kBatches = 50;
    constexpr int kPerBatch = 40;
    std::atomic<bool> done{false};
    std::thread collector([&] {
      for (int batch = 0; batch < kBatches; ++batch) notify(events(batch * kPerBatch, kPerBatch));
      done = true;
    });
    // The view's own timer moves them while this thread waits in the event loop.
    QTRY_VERIFY_WITH_TIMEOUT(done && view.model()->rowCount() == kBatches * kPerBatch, 20000);
    collector.join();
    for (int row = 0; row < view.model()->rowCount(); ++row) {
      QCOMPARE(message_at(view, row), "tick " + std::to_string(kBatches * kPerBatch - 1 - row));
    }
  }

  void HookOutlivesTheView() {
    quellin::EventsNotify notify;
    {
      EventsView view;
      notify = view.notify_func();
    }
    // A collector still stopping may report once more after the window is gone.
    notify(events(0, 3));
  }

  void PlaceholderUntilEventsAreConfigured() {
    EventsView view;
    view.show();
    auto* placeholder = view.findChild<QLabel*>(QStringLiteral("events_placeholder"));
    QVERIFY(placeholder != nullptr);
    QVERIFY(placeholder->isVisible());
    QVERIFY(placeholder->text().contains(QStringLiteral("No event notifiers configured")));
    QVERIFY(!view.table()->isVisible());
    view.set_configured(true);
    QVERIFY(view.table()->isVisible());
    QVERIFY(!placeholder->isVisible());
  }

  void WindowHasAnEventsTabBesideTheValues() {
    ScratchDir dir;
    write_sqlite_config(dir);
    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks;
    hooks.message_box = boxes.fn();
    MainWidget window(hooks);
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabs"));
    QVERIFY(tabs != nullptr);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Values"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Events"));
    QVERIFY(tabs->widget(0) == window.paginated_table());
    auto* view = qobject_cast<EventsView*>(tabs->widget(1));
    QVERIFY(view != nullptr);
    QVERIFY(!view->is_configured());
  }

  void WindowWithEventNotifiersShowsTheTable() {
    ScratchDir dir;
    write_sqlite_config(dir, "[Kestrane]\nopc_type = OPC UA\nopc_events = i=2253\n");
    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks;
    hooks.message_box = boxes.fn();
    MainWidget window(hooks);
    auto* view = window.findChild<EventsView*>(QStringLiteral("events_view"));
    QVERIFY(view != nullptr);
    QVERIFY(view->is_configured());
  }

  void NotifiersChosenInTheAcquisitionDialogShowTheTable() {
    ScratchDir dir;
    write_sqlite_config(dir, "[Kestrane]\nopc_type = OPC UA\n");
    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks;
    hooks.message_box = boxes.fn();
    MainWidget window(hooks);
    auto* view = window.findChild<EventsView*>(QStringLiteral("events_view"));
    QVERIFY(!view->is_configured());
    for (const QString& notifiers : {QStringLiteral("i=2253"), QString()}) {
      window.findChild<QPushButton*>(QStringLiteral("acquisition_button"))->click();
      auto* dialog = window.findChild<AcquisitionDialog*>();
      QVERIFY(dialog != nullptr);
      dialog->event_notifiers_edit()->setText(notifiers);
      dialog->ok_button()->click();
      QCOMPARE(view->is_configured(), !notifiers.isEmpty());
      delete dialog;  // closed; deleted later by itself, which this test does not wait for
    }
  }
};

KESTRANE_TEST_MAIN(EventsViewTest)
#include "tst_eventsview.moc"
