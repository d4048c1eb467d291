#include "kestraneapplication.h"

#include <exception>
#include <utility>

#include "qtshell.h"

KestraneApplication::KestraneApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool KestraneApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    qt_exception_hook(std::current_exception(), message_box_);
    return false;
  }
}

void KestraneApplication::set_message_box(MessageBoxFn message_box) {
  message_box_ = std::move(message_box);
}

const MessageBoxFn& KestraneApplication::message_box() const { return message_box_; }
