#pragma once
// The one way the desktop program shows a message box. Windows and the exception hook take a
// MessageBoxFn so that tests can capture a box instead of running its modal loop.
// GUI thread only.

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

struct MessageBoxRequest {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
  QString title;
  QString text;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  QMessageBox::StandardButton default_button = QMessageBox::NoButton;
};

// Returns the button the user pressed.
using MessageBoxFn = std::function<QMessageBox::StandardButton(const MessageBoxRequest&)>;

// Builds a QMessageBox from the request and runs it modally.
QMessageBox::StandardButton show_message_box(const MessageBoxRequest& request);

// `fn` when it is set, else the real box.
QMessageBox::StandardButton show_message_box(const MessageBoxFn& fn,
                                             const MessageBoxRequest& request);
