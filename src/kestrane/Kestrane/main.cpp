// The desktop program: logging from config.ini in the working directory, then the window.

#include <cstdio>
#include <exception>
#include <memory>

#include "Kestrane/kestraneapplication.h"
#include "Kestrane/mainwidget.h"
#include "Kestrane/qtshell.h"
#include "Kestrane/startup.h"
#include "journel/log.h"

int main(int argc, char** argv) {
  // Logging comes first, before any window; a failure here is reported on standard error only.
  try {
    journel::setup_loguru_from_ini("config.ini");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }

  int status = 1;
  {
    // Qt 6 always scales for high-dpi screens, so there are no attributes to set first.
    KestraneApplication app(argc, argv);
    adjust_font_for_dpi(app);
    status = run_main_window(app, [] { return std::make_unique<MainWidget>(); });
  }
  journel::shutdown_logging();
  return status;
}
