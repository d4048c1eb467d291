#include "serverschemacombo.h"

#include <utility>

ServerSchemaCombo::ServerSchemaCombo(QWidget* parent) : QComboBox(parent) {}

void ServerSchemaCombo::set_popup_override(std::function<void()> popup_override) {
  popup_override_ = std::move(popup_override);
}

void ServerSchemaCombo::showPopup() {
  if (popup_override_) {
    popup_override_();
  } else {
    show_plain_popup();
  }
}

void ServerSchemaCombo::show_plain_popup() { QComboBox::showPopup(); }
