#include "messagebox.h"

#include "qtshell.h"

QMessageBox::StandardButton show_message_box(const MessageBoxRequest& request) {
  QMessageBox box(request.icon, request.title, request.text, request.buttons, request.parent);
  if (request.default_button != QMessageBox::NoButton) {
    box.setDefaultButton(request.default_button);
  }
  exec_dialog(box);
  return box.standardButton(box.clickedButton());
}

QMessageBox::StandardButton show_message_box(const MessageBoxFn& fn,
                                             const MessageBoxRequest& request) {
  return fn ? fn(request) : show_message_box(request);
}
