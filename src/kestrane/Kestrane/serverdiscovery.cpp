#include "Kestrane/serverdiscovery.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QModelIndex>
#include <exception>
#include <utility>

#include "Kestrane/backgroundjob.h"
#include "Kestrane/qtshell.h"
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
                                 EndpointsFn endpoints, MessageBoxFn message_box, QObject* parent)
    : QObject(parent),
      widgets_(widgets),
      enumerate_(std::move(enumerate)),
      endpoints_(std::move(endpoints)),
      message_box_(std::move(message_box)),
      job_(std::make_unique<BackgroundJob>()) {
  connect(job_.get(), &BackgroundJob::finished, this,
          [this] { run_guarded([this] { on_finished(); }, message_box_); });
}

ServerDiscovery::~ServerDiscovery() = default;

void ServerDiscovery::opc_type_changed(const QString& opc_type) {
  if (opc_type == kOpcDa) {
    widgets_.port_input->setText(QStringLiteral("0"));
    widgets_.port_input->setEnabled(false);
  } else if (opc_type == kOpcUa) {
    widgets_.port_input->setText(QStringLiteral("4840"));
    widgets_.port_input->setEnabled(true);
  }
}

void ServerDiscovery::override_showPopup() { start(true); }

void ServerDiscovery::enumerate_servers() { start(false); }

bool ServerDiscovery::is_running() const { return job_->is_running(); }

void ServerDiscovery::cancel() {
  job_->cancel();
  wait_cursor_.reset();
}

void ServerDiscovery::start(bool open_list) {
  open_list_ = open_list_ || open_list;
  if (job_->is_running()) return;
  const QString host = widgets_.host_input->text().trimmed();
  opc_type_ = widgets_.opc_type_combo->currentText();
  const int port = opc_type_ == kOpcDa ? 0 : typed_port(widgets_.port_input->text());
  widgets_.status_label->setText(QStringLiteral("Status: Enumerating ") + opc_type_ +
                                 QStringLiteral(" Servers ..."));
  widgets_.status_label->setStyleSheet(QStringLiteral("color: orange"));
  auto found = std::make_shared<std::vector<DiscoveredServer>>();
  found_ = found;
  job_->start([enumerate = enumerate_, endpoints = endpoints_, host, port,
               found](const JobContext& context) {
    const QStringList servers = enumerate ? enumerate(host, kMaxServers, port)
                                          : enumerate_opc_servers(host, kMaxServers, port);
    if (context.cancelled()) return;
    *found = describe_servers(servers, endpoints);
  });
  wait_cursor_.emplace();
}

void ServerDiscovery::on_finished() {
  // The discovery is over: the cursor goes before anything waits for the operator.
  wait_cursor_.reset();
  if (job_->is_cancelled()) return;
  ServerSchemaCombo* combo = widgets_.server_combo;
  QLabel* status = widgets_.status_label;
  // The list must not cost the operator a typed or configured address; only picking an entry
  // replaces it.
  const QString typed = combo->currentText();
  combo->clear();
  if (const std::exception_ptr error = job_->error()) {
    status->setText(QStringLiteral("Status: Failed to enumerate ") + opc_type_ +
                    QStringLiteral(" Servers"));
    status->setStyleSheet(QStringLiteral("color: red"));
    combo->fit_columns();
    if (!typed.isEmpty()) combo->setEditText(typed);
    show_message_box(message_box_,
                     {.icon = QMessageBox::Critical,
                      .parent = widgets_.window,
                      .title = QStringLiteral("Enumeration Error"),
                      .text = QStringLiteral("Failed to enumerate ") + opc_type_ +
                              QStringLiteral(" servers:\n\n") + error_message(error)});
    // The arrow still opens the list, empty, once the box is closed.
    if (std::exchange(open_list_, false) && combo->isEnabled()) combo->show_plain_popup();
    emit finished();
    return;
  }
  for (const DiscoveredServer& server : *found_) {
    combo->add_server(server.schema, server.security, server.endpoints);
  }
  combo->fit_columns();
  if (!found_->empty()) {
    status->setText(
        QStringLiteral("Status: Found %1 %2 Servers").arg(found_->size()).arg(opc_type_));
    status->setStyleSheet(QStringLiteral("color: green"));
  } else {
    status->setText(QStringLiteral("Status: No ") + opc_type_ + QStringLiteral(" Server found"));
    status->setStyleSheet(QStringLiteral("color: red"));
  }
  if (!typed.isEmpty()) combo->setEditText(typed);
  // A start may have begun meanwhile; the list then stays shut with the combo.
  if (std::exchange(open_list_, false) && combo->isEnabled()) combo->show_plain_popup();
  emit finished();
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
