// Takes the picture of the "Acquisition…" dialog set for subscriptions: sampling twice a
// second, an absolute deadband, a one-minute heartbeat and the Server object's events. Run under
// Xvfb:
//   xvfb-run -s "-screen 0 1280x900x24" kestrane_acquisition_screenshot <out.png>

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "Kestrane/acquisitiondialog.h"

namespace {

constexpr int kSettleMsec = 500;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <out.png>\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[1]);

  quellin::AcquisitionOptions shown;
  shown.mode = pyqar::Acquisition::subscribe;
  shown.monitor = {.sampling_interval_ms = 500.0,
                   .queue_size = 0,
                   .deadband_type = pyqar::DeadbandType::absolute,
                   .deadband = 0.5};
  shown.heartbeat_seconds = 60.0;
  shown.events.notifiers = {"i=2253"};
  AcquisitionDialog dialog(shown, 1.0);
  dialog.show();

  int status = 0;
  QTimer::singleShot(kSettleMsec, &dialog, [&] {
    if (!dialog.grab().save(out)) {
      std::fprintf(stderr, "cannot save %s\n", qPrintable(out));
      status = 1;
    }
    dialog.close();
    app.quit();
  });
  app.exec();
  return status;
}
