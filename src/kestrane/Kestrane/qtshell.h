#pragma once
// The desktop program's shell: font scaling, the last-resort exception reporter, the wrappers
// that run modal loops and the guard for widget handlers.
// GUI thread only.

#include <QString>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "messagebox.h"

class QAction;
class QApplication;
class QDialog;
class QMenu;
class QPoint;
class QWidget;

// Scales the application font by the primary screen's logical dpi / 96.
void adjust_font_for_dpi(QApplication& app);
// Same, for a given logical dpi (the screen's value in the overload above).
void adjust_font_for_dpi(QApplication& app, double logical_dpi);

// The message of the error held by `error` ("unknown error" for one that is no exception).
QString error_message(const std::exception_ptr& error);

// The text shown for an error nobody caught: the frames of the place that caught it, then the
// error's type and message, one line each, every line ending with a line break.
QString format_exception_text(const std::exception_ptr& error);

// Logs "Unhandled exception" with the error and shows it in an "Unexpected Error" box; never
// throws, so the event loop goes on.
void qt_exception_hook(const std::exception_ptr& error, const MessageBoxFn& message_box = {});

// Runs a window handler; an error it throws goes to qt_exception_hook at once, so it never
// unwinds through the toolkit's own frames (which are not built for that and would leak).
void run_guarded(const std::function<void()>& handler, const MessageBoxFn& message_box = {});

// 兼容 QApplication.exec_() / exec()
int exec_app(QApplication& app);
// 兼容 QDialog.exec_() / exec()
int exec_dialog(QDialog& dialog);
// 兼容 QMenu.exec_() / exec()
QAction* exec_menu(QMenu& menu, const QPoint& pos, QAction* action = nullptr);

// Logs "Error in <name>" and shows the "Operation Error" box for an error of a wrapped handler.
void report_handler_error(QWidget* self, const QString& name, const std::exception& error,
                          const MessageBoxFn& message_box);

// Wraps a handler of `self`: the wrapper calls it and, when it throws an ordinary error, reports
// it (see report_handler_error) and returns nothing instead of propagating. Handlers with a
// result give std::optional of it, empty after an error.
template <class Widget, class Func>
auto ui_catch(Widget* self, QString name, Func func, MessageBoxFn message_box = {}) {
  return [self, name = std::move(name), func = std::move(func),
          message_box = std::move(message_box)](auto&&... args) {
    using Result = std::invoke_result_t<Func&, Widget*, decltype(args)...>;
    try {
      if constexpr (std::is_void_v<Result>) {
        std::invoke(func, self, std::forward<decltype(args)>(args)...);
      } else {
        return std::optional<Result>(
            std::invoke(func, self, std::forward<decltype(args)>(args)...));
      }
    } catch (const std::exception& e) {
      report_handler_error(self, name, e, message_box);
      if constexpr (!std::is_void_v<Result>) {
        return std::optional<Result>();
      }
    }
  };
}
