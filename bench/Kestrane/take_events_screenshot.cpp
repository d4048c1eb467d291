// Takes the picture of the main window's Events tab: the test server's plant events and its two
// alarms (one active and unacknowledged since before the start, reported by a condition
// refresh), as a collector would hand them over. Run under Xvfb:
//   xvfb-run -s "-screen 0 1280x900x24" kestrane_events_screenshot <out.png>
// It works in a scratch folder with the embedded database; no server is needed.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Kestrane/eventsview.h"
#include "Kestrane/kestraneapplication.h"
#include "Kestrane/mainwidget.h"
#include "Kestrane/qtshell.h"

namespace {

constexpr int kSettleMsec = 800;

pyqar::EventRecord plant_tick(pyqar::Timestamp time, int n) {
  pyqar::EventRecord event;
  event.event_id = "tick-" + std::to_string(n);
  event.event_type = "i=2041";
  event.source_node = "ns=2;s=Events.Plant";
  event.source_name = "Plant";
  event.time = time;
  event.receive_time = time;
  event.severity = 200;
  event.message = "tick " + std::to_string(n);
  return event;
}

pyqar::EventRecord alarm(pyqar::Timestamp time, const std::string& name, const std::string& text,
                         int severity, bool active, bool acked, bool refresh = false) {
  pyqar::EventRecord event;
  event.event_id = name + "-" + std::to_string(time.time_since_epoch().count());
  event.event_type = "i=9341";
  event.source_node = "ns=2;s=Events." + name;
  event.source_name = name;
  event.time = time;
  event.receive_time = time;
  event.severity = severity;
  event.message = text;
  event.condition_id = "ns=2;s=Events." + name;
  event.condition_name = name;
  event.retain = active || !acked;
  event.active = active;
  event.acked = acked;
  event.confirmed = true;
  event.refresh = refresh;
  return event;
}

// Eight seconds of the test server's journal, oldest first: as many rows as the window shows.
std::vector<pyqar::EventRecord> journal() {
  using std::chrono::seconds;
  const pyqar::Timestamp start = std::chrono::floor<seconds>(std::chrono::system_clock::now());
  std::vector<pyqar::EventRecord> events;
  events.push_back(
      alarm(start, "PressureAlarm", "Pressure above its high limit", 800, true, false, true));
  for (int n = 1; n <= 8; ++n) {
    const pyqar::Timestamp time = start + seconds(n);
    events.push_back(plant_tick(time, n));
    if (n % 8 == 3) {
      events.push_back(alarm(time, "LevelAlarm", "Level above its high limit", 600, true, false));
    }
    if (n % 8 == 5) {
      events.push_back(alarm(time, "LevelAlarm", "Acknowledged by the operator", 600, true, true));
    }
    if (n % 8 == 6) {
      events.push_back(alarm(time, "LevelAlarm", "Level back to normal", 600, false, true));
    }
  }
  return events;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <out.png>\n", argv[0]);
    return 2;
  }
  const QString out = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1]));
  KestraneApplication app(argc, argv);
  adjust_font_for_dpi(app);

  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  QDir(dir.path()).mkpath(QStringLiteral("data"));
  QFile database(dir.filePath(QStringLiteral("data/tsdb_default.db")));
  if (!database.open(QIODevice::WriteOnly)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(database.fileName()));
    return 1;
  }
  database.close();
  QFile config(dir.filePath(QStringLiteral("config.ini")));
  if (!config.open(QIODevice::WriteOnly) ||
      config.write("[TSDBConnection]\ndriver = sqlite\ndata_dir = data\n"
                   "[Kestrane]\nopc_type = OPC UA\nopc_port = 4840\n"
                   "opc_schema = opc.tcp://127.0.0.1:4840\nopc_events = i=2253\n") < 0) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(config.fileName()));
    return 1;
  }
  config.close();

  MainWidget::Hooks hooks;
  hooks.message_box = [](const MessageBoxRequest& box) {
    std::fprintf(stderr, "box: %s: %s\n", qPrintable(box.title), qPrintable(box.text));
    return QMessageBox::Ok;
  };
  auto window = std::make_unique<MainWidget>(hooks);
  auto* view = window->findChild<EventsView*>(QStringLiteral("events_view"));
  window->findChild<QTabWidget*>(QStringLiteral("tabs"))->setCurrentWidget(view);
  window->update_status_label(QStringLiteral("Collecting events from opc.tcp://127.0.0.1:4840"));
  window->resize(980, 620);
  window->move(40, 40);
  window->show();
  view->notify_func()(journal());

  int status = 0;
  QTimer::singleShot(kSettleMsec, window.get(), [&] {
    const QRect area = window->frameGeometry();
    const QPixmap shot =
        window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (!shot.save(out)) {
      std::fprintf(stderr, "cannot save %s\n", qPrintable(out));
      status = 1;
    }
    window->close();
  });
  const int loop = exec_app(app);
  window.reset();
  return status != 0 ? status : loop;
}
