#include "Kestrane/serverdiscovery.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QModelIndex>
#include <exception>
#include <utility>

#include "Kestrane/opcserverdiscovery.h"
#include "Kestrane/serverschemacombo.h"

namespace {

const QString kOpcDa = QStringLiteral("OPC DA");
const QString kOpcUa = QStringLiteral("OPC UA");
constexpr int kMaxServers = 16;

// The port field read as a port: every character a digit, else 0 (a space makes it 0 too).
int typed_port(const QString& text) {
  bool all_digits = !text.isEmpty();
  for (const QChar c : text)
    all_digits = all_digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
  bool fits = false;
  const int port = all_digits ? text.toInt(&fits) : 0;
  return fits ? port : 0;
}

}  // namespace

ServerDiscovery::ServerDiscovery(const Widgets& widgets, EnumerateFn enumerate,
                                 MessageBoxFn message_box)
    : widgets_(widgets), enumerate_(std::move(enumerate)), message_box_(std::move(message_box)) {}

void ServerDiscovery::opc_type_changed(const QString& opc_type) {
  if (opc_type == kOpcDa) {
    widgets_.port_input->setText(QStringLiteral("0"));
    widgets_.port_input->setEnabled(false);
  } else if (opc_type == kOpcUa) {
    widgets_.port_input->setText(QStringLiteral("4840"));
    widgets_.port_input->setEnabled(true);
  }
}

void ServerDiscovery::override_showPopup() {
  enumerate_servers();
  widgets_.server_combo->show_plain_popup();
}

void ServerDiscovery::enumerate_servers() {
  const QString host = widgets_.host_input->text().trimmed();
  const int port = typed_port(widgets_.port_input->text());
  const QString opc_type = widgets_.opc_type_combo->currentText();
  QComboBox* combo = widgets_.server_combo;
  QLabel* status = widgets_.status_label;
  // Opening the list must not cost the operator a typed or configured address; only picking
  // an entry replaces it.
  const QString typed = combo->currentText();
  combo->clear();

  struct RestoreCursor {
    ~RestoreCursor() { QApplication::restoreOverrideCursor(); }
  };
  try {
    status->setText(QStringLiteral("Status: Enumerating ") + opc_type +
                    QStringLiteral(" Servers ..."));
    status->setStyleSheet(QStringLiteral("color: orange"));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const RestoreCursor restore;
    const int asked_port = opc_type == kOpcDa ? 0 : port;
    const QStringList servers = enumerate_ ? enumerate_(host, kMaxServers, asked_port)
                                           : enumerate_opc_servers(host, kMaxServers, asked_port);
    if (!servers.isEmpty()) {
      combo->addItems(servers);
      status->setText(
          QStringLiteral("Status: Found %1 %2 Servers").arg(servers.size()).arg(opc_type));
      status->setStyleSheet(QStringLiteral("color: green"));
    } else {
      status->setText(QStringLiteral("Status: No ") + opc_type + QStringLiteral(" Server found"));
      status->setStyleSheet(QStringLiteral("color: red"));
    }
  } catch (const std::exception& e) {
    status->setText(QStringLiteral("Status: Failed to enumerate ") + opc_type +
                    QStringLiteral(" Servers"));
    status->setStyleSheet(QStringLiteral("color: red"));
    show_message_box(message_box_,
                     {.icon = QMessageBox::Critical,
                      .parent = widgets_.window,
                      .title = QStringLiteral("Enumeration Error"),
                      .text = QStringLiteral("Failed to enumerate ") + opc_type +
                              QStringLiteral(" servers:\n\n") + QString::fromUtf8(e.what())});
  }
  if (!typed.isEmpty()) combo->setEditText(typed);
}

void ServerDiscovery::server_selected(const QModelIndex& index) {
  QComboBox* combo = widgets_.server_combo;
  combo->setCurrentIndex(index.row());
  // The entry may already be current under a typed text, when setting the index alone would
  // leave that text in place.
  combo->setEditText(combo->itemText(index.row()));
}

std::optional<QString> ServerDiscovery::selected_schema_or_warn() {
  const QString selected = widgets_.server_combo->currentText().trimmed();
  if (!selected.isEmpty()) return selected;
  show_message_box(message_box_, {.icon = QMessageBox::Warning,
                                  .parent = widgets_.window,
                                  .title = QStringLiteral("Error"),
                                  .text = QStringLiteral("Please select an OPC server schema.")});
  return std::nullopt;
}
