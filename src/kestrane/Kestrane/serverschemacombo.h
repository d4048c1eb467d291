#pragma once
// ServerSchemaCombo: the editable "OPC Schema:" drop-down. Opening its list runs the owner's
// popup override (discovery first) instead of the plain opening.
// Owned by its parent widget; GUI thread only.

#include <QComboBox>
#include <functional>

class ServerSchemaCombo : public QComboBox {
  Q_OBJECT

 public:
  explicit ServerSchemaCombo(QWidget* parent = nullptr);

  // Runs in place of the plain opening whenever the list is asked to open.
  void set_popup_override(std::function<void()> popup_override);
  void showPopup() override;
  // The combo class's own opening, for the override to call after discovery.
  void show_plain_popup();

 private:
  std::function<void()> popup_override_;
};
