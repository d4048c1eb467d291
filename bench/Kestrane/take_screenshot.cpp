// Takes the README screenshot: the main window collecting from the simulated OPC DA server.
// Run under Xvfb in a folder holding config.ini:
//   xvfb-run -s "-screen 0 1280x900x24" kestrane_screenshot <tags.csv> <out.png>
// It imports the tag list, discovers the server, starts collecting, waits a few seconds once
// the tags are registered, saves the screen area of the window, then stops and closes.

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "Kestrane/kestraneapplication.h"
#include "Kestrane/mainwidget.h"
#include "Kestrane/qtshell.h"
#include "journel/log.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <tags.csv> <out.png>\n", argv[0]);
    return 2;
  }
  journel::setup_loguru_from_ini("config.ini");
  KestraneApplication app(argc, argv);
  adjust_font_for_dpi(app);
  const QString csv = QString::fromLocal8Bit(argv[1]);
  const QString out = QString::fromLocal8Bit(argv[2]);

  MainWidget::Hooks hooks;
  hooks.choose_csv_file = [csv](QWidget*) { return csv; };
  hooks.message_box = [](const MessageBoxRequest& box) {
    std::fprintf(stderr, "box: %s: %s\n", qPrintable(box.title), qPrintable(box.text));
    return QMessageBox::Yes;
  };
  auto window = std::make_unique<MainWidget>(hooks);
  window->resize(980, 620);
  window->move(40, 40);
  window->show();

  int status = 0;
  // Import and registration run in the background; each step waits for the one before.
  int finished_work = 0;
  QObject::connect(window.get(), &MainWidget::tag_work_finished, window.get(), [&] {
    if (++finished_work == 1) {
      window->enumerate_servers();
      window->start_collecting();
      return;
    }
    QTimer::singleShot(4000, window.get(), [&] {
      const QRect area = window->frameGeometry();
      const QPixmap shot =
          window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
      if (!shot.save(out)) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(out));
        status = 1;
      }
      window->close();
    });
  });
  QTimer::singleShot(500, window.get(), [&window] { window->import_tags_from_csv(); });
  // A step that never ends (no schema, a refused start) must not leave the tool hanging.
  QTimer::singleShot(60000, window.get(), [&] {
    std::fprintf(stderr, "timed out before the screenshot\n");
    status = 1;
    window->close();
  });
  const int loop = exec_app(app);
  window.reset();
  journel::shutdown_logging();
  return status != 0 ? status : loop;
}
