// The shell of the desktop program: font scaling, the route of uncaught errors to the
// exception hook, the handler guard and the start-up failure path.

#include <QApplication>
#include <QEventLoop>
#include <QFont>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <stdexcept>

#include "Kestrane/qtshell.h"
#include "Kestrane/startup.h"
#include "testsupport.h"

// Throws from its event handler, as a window handler with a fault would.
class ThrowingObject : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw std::runtime_error("handler went wrong");
    return QObject::event(event);
  }
};

class TestShell : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    saved_font_ = QApplication::font();
    app()->set_message_box(boxes_.fn());
    boxes_.boxes.clear();
  }
  void cleanup() {
    QApplication::setFont(saved_font_);
    app()->set_message_box({});
  }

  void ScalesFontByLogicalDpiOver96() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    QApplication::setFont(font);
    adjust_font_for_dpi(*app(), 120.0);
    QCOMPARE(QApplication::font().pointSizeF(), 11.25);

    font.setPointSize(9);
    QApplication::setFont(font);
    adjust_font_for_dpi(*app(), 144.0);
    QCOMPARE(QApplication::font().pointSizeF(), 13.5);
  }

  void KeepsFontAt96Dpi() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    QApplication::setFont(font);
    adjust_font_for_dpi(*app(), 96.0);
    QCOMPARE(QApplication::font().pointSizeF(), 9.0);
  }

  void ErrorEscapingAnEventHandlerShowsUnexpectedErrorAndLoopGoesOn() {
    ThrowingObject object;
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&object, &event);

    QCOMPARE(boxes_.boxes.size(), 1);
    const MessageBoxRequest& box = boxes_.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Unexpected Error"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(box.parent == nullptr);
    QVERIFY2(box.text.endsWith(QStringLiteral("std::runtime_error: handler went wrong\n")),
             qPrintable(box.text));

    // The event loop still delivers events after the error.
    bool later = false;
    QTimer::singleShot(0, [&later] { later = true; });
    QTRY_VERIFY(later);
  }

  void GuardedHandlerReportsThroughTheHook() {
    run_guarded([] { throw std::invalid_argument("bad schema"); }, boxes_.fn());
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Unexpected Error"));
    QVERIFY(
        boxes_.boxes.first().text.endsWith(QStringLiteral("std::invalid_argument: bad schema\n")));
  }

  void ErrorFromQueuedCallReachesTheHook() {
    QTimer::singleShot(0, [] { throw std::logic_error("queued failure"); });
    QTRY_COMPARE(boxes_.boxes.size(), 1);
    QVERIFY(boxes_.boxes.first().text.contains(QStringLiteral("std::logic_error: queued failure")));
  }

  void UiCatchReportsAndSwallowsTheError() {
    QWidget widget;
    auto failing = ui_catch(
        &widget, QStringLiteral("do_import"),
        [](QWidget*, int) -> int { throw std::runtime_error("disk on fire"); }, boxes_.fn());
    const std::optional<int> result = failing(3);
    QVERIFY(!result.has_value());
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Operation Error"));
    QCOMPARE(boxes_.boxes.first().text, QStringLiteral("do_import failed:\ndisk on fire"));
    QVERIFY(boxes_.boxes.first().parent == &widget);

    auto fine = ui_catch(
        &widget, QStringLiteral("add"), [](QWidget*, int a, int b) { return a + b; }, boxes_.fn());
    QCOMPARE(fine(2, 3), std::optional<int>(5));
    QCOMPARE(boxes_.boxes.size(), 1);
  }

  void ProgramWithoutConfigEndsBeforeAnyWindow() {
    QTemporaryDir empty;
    QProcess program;
    program.setWorkingDirectory(empty.path());
    program.start(QStringLiteral(KESTRANE_PROGRAM), {});
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(errors.contains(QStringLiteral("无法读取配置文件：config.ini")), qPrintable(errors));
  }

  void FailedWindowGivesApplicationErrorAndStatus1() {
    bool loop_entered = false;
    QTimer::singleShot(0, [&loop_entered] {
      loop_entered = true;
      QApplication::quit();
    });
    const int status = run_main_window(*app(), []() -> std::unique_ptr<QWidget> {
      throw std::runtime_error("No available TSDB databases found.");
    });
    QCOMPARE(status, 1);
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Application Error"));
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("Failed to start the application: No available TSDB databases found."));
    QVERIFY(!loop_entered);
    QCoreApplication::processEvents();  // let the pending quit go before the next test
  }

 private:
  static KestraneApplication* app() { return static_cast<KestraneApplication*>(qApp); }

  MessageBoxRecorder boxes_;
  QFont saved_font_;
};

KESTRANE_TEST_MAIN(TestShell)
#include "tst_shell.moc"
