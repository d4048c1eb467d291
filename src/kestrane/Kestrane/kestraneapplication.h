#pragma once
// KestraneApplication: the QApplication of the desktop program. Its notify() hands every error
// that escapes an event handler or slot to qt_exception_hook, so the event loop goes on.
// One per process, created by main; GUI thread only.

#include <QApplication>

#include "messagebox.h"

class KestraneApplication : public QApplication {
  Q_OBJECT

 public:
  KestraneApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // How the hook shows its box; tests capture it instead of running a modal loop.
  void set_message_box(MessageBoxFn message_box);
  const MessageBoxFn& message_box() const;

 private:
  MessageBoxFn message_box_;
};
