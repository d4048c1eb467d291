#pragma once
// ServerSchemaCombo: the editable "OPC Schema:" drop-down. Its list is a table of the servers
// found, with the security their endpoints offer beside each address; the edit text is the
// address alone. Opening the list runs the owner's popup override (discovery first) instead
// of the plain opening. Owned by its parent widget; GUI thread only.

#include <QComboBox>
#include <QString>
#include <functional>

class ServerSchemaCombo : public QComboBox {
  Q_OBJECT

 public:
  static constexpr int kSchemaColumn = 0;
  static constexpr int kSecurityColumn = 1;

  explicit ServerSchemaCombo(QWidget* parent = nullptr);

  // Runs in place of the plain opening whenever the list is asked to open.
  void set_popup_override(std::function<void()> popup_override);
  void showPopup() override;
  // The combo class's own opening, for the override to call after discovery; popup_opening()
  // first. The toolkit draws no list while the combo has no entries.
  void show_plain_popup();

  // Adds a server row; `endpoints` is shown as the security cell's tool tip.
  void add_server(const QString& schema, const QString& security, const QString& endpoints);
  // The security shown for a row; empty when none was given.
  QString security_text(int row) const;
  // Shows the security column only when some row has a value, and widens the list to fit.
  void fit_columns();

 signals:
  // The list is asked to open after a discovery, with or without entries.
  void popup_opening();

 private:
  std::function<void()> popup_override_;
};
