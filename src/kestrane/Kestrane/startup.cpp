#include "startup.h"

#include <exception>
#include <string>

#include "Kestrane/kestraneapplication.h"
#include "Kestrane/messagebox.h"
#include "Kestrane/qtshell.h"
#include "journel/log.h"

int run_main_window(KestraneApplication& app,
                    const std::function<std::unique_ptr<QWidget>()>& make_window) {
  std::unique_ptr<QWidget> window;
  try {
    window = make_window();
    window->show();
  } catch (const std::exception& e) {
    journel::get_logger("Kestrane")
        ->error(std::string("Error occurred while starting the application: ") + e.what());
    show_message_box(app.message_box(),
                     {.icon = QMessageBox::Critical,
                      .parent = nullptr,
                      .title = QStringLiteral("Application Error"),
                      .text = QStringLiteral("Failed to start the application: ") +
                              QString::fromUtf8(e.what())});
    return 1;
  }
  return exec_app(app);
}
