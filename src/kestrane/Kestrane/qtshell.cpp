#include "qtshell.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QMenu>
#include <QPoint>
#include <QScreen>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>

#include "journel/log.h"

namespace {

constexpr double kBaseDpi = 96.0;
constexpr int kMaxFrames = 64;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, FreeDeleter> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status));
  return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

// Type name and message of the error held by `error`.
std::pair<std::string, std::string> describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return {demangle(typeid(e).name()), e.what()};
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return {type ? demangle(type->name()) : std::string("unknown"), "unknown error"};
  }
}

}  // namespace

QString error_message(const std::exception_ptr& error) {
  return QString::fromStdString(describe(error).second);
}

void adjust_font_for_dpi(QApplication& app) {
  const QScreen* screen = QApplication::primaryScreen();
  if (screen == nullptr) {
    return;
  }
  adjust_font_for_dpi(app, screen->logicalDotsPerInch());
}

void adjust_font_for_dpi(QApplication& app, double logical_dpi) {
  QFont font = QApplication::font();
  // A font sized in pixels has no point size to scale.
  if (font.pointSize() <= 0) {
    return;
  }
  font.setPointSizeF(font.pointSize() * (logical_dpi / kBaseDpi));
  app.setFont(font);
}

QString format_exception_text(const std::exception_ptr& error) {
  QString text;
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  std::unique_ptr<char*, FreeDeleter> symbols(backtrace_symbols(frames, count));
  if (symbols) {
    for (int i = 0; i < count; ++i) {
      text += QStringLiteral("  at %1\n").arg(QString::fromLocal8Bit(symbols.get()[i]));
    }
  }
  const auto [type, message] = describe(error);
  text += QString::fromStdString(type) + QStringLiteral(": ") + QString::fromStdString(message) +
          QStringLiteral("\n");
  return text;
}

void qt_exception_hook(const std::exception_ptr& error, const MessageBoxFn& message_box) {
  auto logger = journel::get_logger("Kestrane");
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    journel::log_exception(*logger, "Unhandled exception", e);
  } catch (...) {
    logger->error("Unhandled exception: unknown error");
  }
  try {
    show_message_box(message_box, {.icon = QMessageBox::Critical,
                                   .parent = nullptr,
                                   .title = QStringLiteral("Unexpected Error"),
                                   .text = format_exception_text(error)});
  } catch (...) {
    // A reporter that fails must not take the program down with it.
  }
}

void run_guarded(const std::function<void()>& handler, const MessageBoxFn& message_box) {
  try {
    handler();
  } catch (...) {
    qt_exception_hook(std::current_exception(), message_box);
  }
}

int exec_app(QApplication& app) {
  (void)app;
  return QApplication::exec();
}

int exec_dialog(QDialog& dialog) { return dialog.exec(); }

QAction* exec_menu(QMenu& menu, const QPoint& pos, QAction* action) {
  return menu.exec(pos, action);
}

void report_handler_error(QWidget* self, const QString& name, const std::exception& error,
                          const MessageBoxFn& message_box) {
  auto logger = journel::get_logger("Kestrane");
  journel::log_exception(*logger, "Error in " + name.toStdString(), error);
  show_message_box(message_box,
                   {.icon = QMessageBox::Critical,
                    .parent = self,
                    .title = QStringLiteral("Operation Error"),
                    .text = name + QStringLiteral(" failed:\n") + QString::fromUtf8(error.what())});
}
