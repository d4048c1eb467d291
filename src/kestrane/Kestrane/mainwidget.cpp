#include "mainwidget.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "Kestrane/acquisitiondialog.h"
#include "Kestrane/browsedialog.h"
#include "Kestrane/collectioncontrol.h"
#include "Kestrane/databaselink.h"
#include "Kestrane/dbstatusbridge.h"
#include "Kestrane/eventsview.h"
#include "Kestrane/lateregistration.h"
#include "Kestrane/metadatabridge.h"
#include "Kestrane/opcstatusbridge.h"
#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/qtshell.h"
#include "Kestrane/resultmerger.h"
#include "Kestrane/securitydialog.h"
#include "Kestrane/serverdiscovery.h"
#include "Kestrane/serverschemacombo.h"
#include "Kestrane/tagtasks.h"
#include "Kestrane/uabrowsesource.h"
#include "Kestrane/windowcontrols.h"
#include "Kestrane/windowsettings.h"
#include "config/backfill_status.h"
#include "config/console_config.h"
#include "config/spool_start.h"
#include "config/tag_monitoring.h"
#include "config/tag_registration.h"
#include "journel/log.h"
#include "quellin/spool_in_use_error.h"

namespace {

const QString kOpcUa = QStringLiteral("OPC UA");
constexpr int kQueueIntervalMsec = 200;

QString qstring(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

MainWidget::MainWidget(Hooks hooks) : QWidget(nullptr), hooks_(std::move(hooks)) {
  setWindowIcon(QIcon(QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                      QStringLiteral("/../pics/collector_icon.ico"))));
  setWindowTitle(QStringLiteral("OPC Data Widget [TSDB NOT connected!!]"));
  settings_ = std::make_unique<WindowSettings>(
      WindowSettings::load(QDir::current().filePath(QStringLiteral("config.ini"))));
  database_ = std::make_unique<DatabaseLink>(settings_->tsdb_cfg(), hooks_.message_box,
                                             settings_->start_without_tsdb());

  ui_ = std::make_unique<WindowControls>(
      this, WindowControls::Initial{.databases = database_->available_dbs(),
                                    .opc_type = settings_->opc_type(),
                                    .opc_host = settings_->opc_host(),
                                    .opc_port = settings_->opc_port(),
                                    .opc_schema = settings_->opc_schema()});
  wire_controls();
  wire_helpers();
  database_->choose_database_at_start();

  queue_timer_ = new QTimer(this);
  connect(queue_timer_, &QTimer::timeout, this, [this] { guard([this] { on_queue_tick(); }); });
  queue_timer_->start(kQueueIntervalMsec);
}

MainWidget::~MainWidget() {
  // A collector stopping reports its status to the window's widgets, which go before it.
  if (collection_) collection_->stop();
  if (tag_tasks_) tag_tasks_->cancel_and_wait();
}

void MainWidget::wire_controls() {
  connect(ui_->tsdb_combo, &QComboBox::currentTextChanged, this,
          [this](const QString& text) { guard([&] { reconnect_tsdb(text); }); });
  // Connected after the saved type is shown: only the operator's changes reset the port.
  connect(ui_->opc_type_combo, &QComboBox::currentTextChanged, this,
          [this](const QString& text) { guard([&] { opc_type_changed(text); }); });
  connect(ui_->server_combo->view(), &QAbstractItemView::pressed, this,
          [this](const QModelIndex& index) { guard([&] { server_selected(index); }); });
  ui_->server_combo->set_popup_override([this] { guard([this] { override_showPopup(); }); });
  connect(ui_->import_button, &QPushButton::clicked, this,
          [this] { guard([this] { import_tags_from_csv(); }); });
  connect(ui_->browse_button, &QPushButton::clicked, this,
          [this] { guard([this] { browse_server(); }); });
  connect(ui_->security_button, &QPushButton::clicked, this,
          [this] { guard([this] { open_security_dialog(); }); });
  connect(ui_->acquisition_button, &QPushButton::clicked, this,
          [this] { guard([this] { open_acquisition_dialog(); }); });
  connect(ui_->opc_type_combo, &QComboBox::currentTextChanged, this,
          [this] { ui_->update_security_button(); });
  connect(ui_->opc_type_combo, &QComboBox::currentTextChanged, this,
          [this] { ui_->update_browse_button(); });
  connect(ui_->server_combo, &QComboBox::currentTextChanged, this,
          [this] { ui_->update_browse_button(); });
  connect(ui_->collect_button, &QPushButton::clicked, this,
          [this](bool checked) { guard([&] { start_collecting(checked); }); });
  connect(ui_->paginated_table->table(), &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { guard([&] { show_context_menu(pos); }); });
}

void MainWidget::wire_helpers() {
  collection_ = std::make_unique<CollectionControl>(ui_->paginated_table, hooks_.source_factory);
  collection_->set_events_notify(ui_->events_view->notify_func());
  ui_->events_view->set_configured(settings_->acquisition().events.enabled());
  connect(status_bridge(), &OPCStatusBridge::status_changed, this,
          &MainWidget::update_status_label);
  connect(db_status_bridge(), &DBStatusBridge::db_write_status, this,
          &MainWidget::update_db_status);
  connect(collection_->metadata_bridge(), &MetadataBridge::units_read, this,
          [this](const QHash<QString, ValueUnit>& units) {
            ui_->paginated_table->table_model()->set_value_units(units);
          });
  connect(
      db_status_bridge(), &DBStatusBridge::spool_status, this,
      [this](qulonglong rows, bool replaying) { database_->update_spool_status(rows, replaying); });

  database_->attach({.window = this,
                     .tsdb_combo = ui_->tsdb_combo,
                     .db_status_label = ui_->db_status_label,
                     .write_count_label = ui_->write_count_label},
                    [this] { return ui_->paginated_table->all_data().size(); });
  discovery_ = std::make_unique<ServerDiscovery>(
      ServerDiscovery::Widgets{.window = this,
                               .opc_type_combo = ui_->opc_type_combo,
                               .host_input = ui_->host_input,
                               .port_input = ui_->port_input,
                               .server_combo = ui_->server_combo,
                               .status_label = ui_->status_label},
      hooks_.enumerate, hooks_.endpoints, hooks_.message_box);
  connect(discovery_.get(), &ServerDiscovery::finished, this, &MainWidget::discovery_finished);

  trust_check_ = std::make_unique<ServerTrustCheck>(this, hooks_.trust, hooks_.message_box);
  connect(trust_check_.get(), &ServerTrustCheck::finished, this,
          [this](bool trusted) { guard([&] { on_trust_checked(trusted); }); });
  update_security_tooltip();
  update_acquisition_tooltip();

  tag_tasks_ = std::make_unique<TagTasks>(TagTasks::Context{
      .window = this,
      .table = ui_->paginated_table,
      .collection = collection_.get(),
      .message_box = hooks_.message_box,
      .tsdb_settings = [this] { return database_->tsdb_cfg(); },
      .reset_write_count = [this] { _reset_write_count_display(); },
      .start_without_tsdb = settings_->start_without_tsdb(),
      .imported_without_ids =
          [this](qsizetype rows) {
            update_status_label(
                QStringLiteral("%1 tags imported without their ids: the TSDB cannot be reached; "
                               "they are registered once it answers")
                    .arg(rows));
            ui_->status_label->setStyleSheet(QStringLiteral("color: orange"));
          },
  });
  connect(tag_tasks_.get(), &TagTasks::busy_changed, this,
          [this](bool busy) { guard([&] { on_tag_work_busy(busy); }); });
  connect(tag_tasks_.get(), &TagTasks::sync_finished, this, [this](bool registered) {
    guard([&] { finish_start(registered); });
    emit tag_work_finished();
  });
  connect(tag_tasks_.get(), &TagTasks::import_finished, this, &MainWidget::tag_work_finished);
}

QMessageBox::StandardButton MainWidget::message(QMessageBox::Icon icon, const QString& title,
                                                const QString& text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton default_button) {
  return show_message_box(hooks_.message_box, {.icon = icon,
                                               .parent = this,
                                               .title = title,
                                               .text = text,
                                               .buttons = buttons,
                                               .default_button = default_button});
}

void MainWidget::guard(const std::function<void()>& handler) {
  run_guarded(handler, hooks_.message_box);
}

// ---- Window state ----

void MainWidget::_set_controls_enabled(bool enabled) {
  ui_->host_input->setEnabled(enabled);
  ui_->port_input->setEnabled(enabled && ui_->opc_type_combo->currentText() == kOpcUa);
  ui_->server_combo->setEnabled(enabled);
  ui_->import_button->setEnabled(enabled);
  ui_->tsdb_combo->setEnabled(enabled);
  ui_->opc_type_combo->setEnabled(enabled);
  ui_->acquisition_button->setEnabled(enabled);
  ui_->update_browse_button();
  ui_->update_security_button();
}

void MainWidget::show_context_menu(const QPoint& pos) {
  QTableView* view = ui_->paginated_table->table();
  const QModelIndex index = view->indexAt(pos);
  if (!index.isValid()) return;
  QMenu menu(this);
  QAction* copy_action = menu.addAction(QStringLiteral("Copy Cell"));
  const QPoint global_pos = view->viewport()->mapToGlobal(pos);
  QAction* chosen =
      hooks_.run_menu ? hooks_.run_menu(menu, global_pos) : exec_menu(menu, global_pos);
  if (chosen == copy_action) {
    // The whole value, also where the view elides it.
    QGuiApplication::clipboard()->setText(
        view->model()->data(index, TableModel::kFullTextRole).toString());
  }
}

void MainWidget::update_status_label(const QString& status) {
  const QString lower = status.toLower();
  const auto has = [&lower](const char* word) { return lower.contains(QLatin1String(word)); };
  QString style = QStringLiteral("color: gray");
  if (has("success") || (has("connected") && !has("disconnected"))) {
    style = QStringLiteral("color: green");
  } else if (has("failed") || has("error") || has("disconnected")) {
    style = QStringLiteral("color: red");
  } else if (has("collect") || has("reconnect") || has("retry")) {
    style = QStringLiteral("color: orange");
  }
  ui_->status_label->setStyleSheet(style);
  ui_->status_label->setText(QStringLiteral("Status: ") + status);
}

void MainWidget::show_backfill_progress(const quellin::BackfillProgress& progress) {
  QProgressBar* bar = ui_->backfill_bar;
  if (!progress.running) {
    bar->setVisible(false);
    return;
  }
  // The bar counts in int; a share of the tags keeps its place for any count.
  constexpr int kSteps = 1000;
  const int done = progress.tags_total == 0
                       ? 0
                       : static_cast<int>(static_cast<double>(progress.tags_done) * kSteps /
                                          static_cast<double>(progress.tags_total));
  bar->setRange(0, kSteps);
  bar->setValue(std::min(done, kSteps));
  // "%" would be taken for one of the bar's placeholders.
  bar->setFormat(QString::fromStdString(kestrane_config::backfill_status_text(progress))
                     .replace(QLatin1Char('%'), QStringLiteral("%%")));
  bar->setVisible(true);
}

void MainWidget::closeEvent(QCloseEvent* event) {
  if (collection_->is_alive()) {
    const auto answer =
        message(QMessageBox::Question, QStringLiteral("Confirm Exit"),
                QStringLiteral("Data collection is still running. Are you sure you want to exit?"),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    _stop_collecting();
  }
  if (collection_->is_stopping()) {
    // The window stays (and answers) until the stop has ended, then closes.
    close_after_stop_ = true;
    event->ignore();
    return;
  }
  pending_start_.reset();
  checking_start_.reset();
  checking_browse_.reset();
  trust_check_->cancel();
  discovery_->cancel();
  tag_tasks_->cancel_and_wait();
  queue_timer_->stop();
  database_->close_at_exit();
  event->accept();
}

void MainWidget::on_tag_work_busy(bool busy) {
  // Nothing may change the settings or the rows that the work is using.
  _set_controls_enabled(!busy);
  ui_->collect_button->setEnabled(!busy);
}

// ---- OPC server discovery ----

void MainWidget::opc_type_changed(const QString& opc_type) {
  discovery_->opc_type_changed(opc_type);
}

void MainWidget::override_showPopup() { discovery_->override_showPopup(); }

void MainWidget::enumerate_servers() { discovery_->enumerate_servers(); }

void MainWidget::server_selected(const QModelIndex& index) { discovery_->server_selected(index); }

std::optional<QString> MainWidget::_get_selected_schema_or_warn() {
  return discovery_->selected_schema_or_warn();
}

// ---- TSDB connection and status ----

bool MainWidget::reconnect_tsdb(const QString& db_name) {
  return database_->reconnect_tsdb(db_name);
}

void MainWidget::update_db_status(bool success, int count) {
  database_->update_db_status(success, count);
}

void MainWidget::_reset_write_count_display() { database_->reset_write_count_display(); }

// ---- Collection control and the queue of results ----

void MainWidget::start_collecting(bool checked) {
  (void)checked;
  if (collection_->is_stopping()) return;
  if (collection_->is_alive()) {
    _stop_collecting();
    return;
  }
  if (is_busy()) return;
  _reset_write_count_display();
  QString host = ui_->host_input->text().trimmed();
  if (host.isEmpty()) host = QStringLiteral("localhost");
  const std::optional<QString> selected_schema = _get_selected_schema_or_warn();
  if (!selected_schema) return;
  try {
    // Refused before anything is registered: nothing could be collected this way.
    (void)collector_acquisition(*selected_schema);
  } catch (const std::runtime_error& e) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("Cannot start collecting: %1.\nChange it under \"Acquisition…\".")
                .arg(QString::fromUtf8(e.what())));
    return;
  }
  if (database_->is_deferred()) {
    // start_without_tsdb: collect into the spool now; the writer registers the source and
    // the tags on its first connection that answers, before it writes anything.
    if (ui_->paginated_table->all_data().isEmpty()) {
      message(QMessageBox::Warning, QStringLiteral("Error"),
              QStringLiteral("No tags available for collection. Please import a CSV file first."));
      return;
    }
    pending_start_ = PendingStart{host, *selected_schema, true};
    finish_start(true);
    return;
  }
  const std::optional<std::int64_t> source_id = _ensure_source(*selected_schema);
  if (!source_id || *source_id == 0) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("Failed to insert source information."));
    return;
  }
  if (ui_->paginated_table->all_data().isEmpty()) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("No tags available for collection. Please import a CSV file first."));
    return;
  }
  pending_start_ = PendingStart{host, *selected_schema};
  _sync_tags_with_source(*source_id);
}

void MainWidget::finish_start(bool registered) {
  const std::optional<PendingStart> start = std::exchange(pending_start_, std::nullopt);
  if (!start || !registered) return;
  if (!tag_tasks_->has_tag_list()) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("Please import a CSV file containing tags before starting collection."));
    return;
  }
  _set_controls_enabled(false);
  if (ServerTrustCheck::needed(start->opc_schema, settings_->security())) {
    // Nothing may change, and nothing start twice, while the server is asked.
    checking_start_ = *start;
    ui_->collect_button->setEnabled(false);
    update_status_label(QStringLiteral("Checking the certificate of ") + start->opc_schema +
                        QStringLiteral(" ..."));
    trust_check_->start(start->opc_schema, settings_->security());
    return;
  }
  launch_collector(*start);
}

void MainWidget::on_trust_checked(bool trusted) {
  if (const std::optional<QString> url = std::exchange(checking_browse_, std::nullopt)) {
    ui_->collect_button->setEnabled(true);
    _set_controls_enabled(true);
    if (!trusted) {
      update_status_label(
          QStringLiteral("Browse cancelled: the server certificate is not trusted"));
      return;
    }
    update_status_label(QStringLiteral("Browsing ") + *url);
    open_browse_dialog(*url);
    return;
  }
  const std::optional<PendingStart> start = std::exchange(checking_start_, std::nullopt);
  ui_->collect_button->setEnabled(true);
  if (!start) return;
  if (!trusted) {
    _set_controls_enabled(true);
    update_status_label(QStringLiteral("Start cancelled: the server certificate is not trusted"));
    return;
  }
  launch_collector(*start);
}

void MainWidget::launch_collector(const PendingStart& start) {
  try {
    _save_collection_config(start.host, start.opc_schema);
    _create_and_start_collector(
        start.opc_schema, [this] { return _current_tags(); }, start.register_later);
  } catch (const quellin::SpoolInUseError& error) {
    // Another program collects into this spool folder: an operator's matter, not a fault.
    journel::get_logger("Kestrane")->error("{}", error.what());
    _set_controls_enabled(true);
    message(QMessageBox::Warning, QStringLiteral("Error"), QString::fromUtf8(error.what()));
    return;
  } catch (...) {
    // Give the settings back, so that the operator can correct the schema or the file.
    _set_controls_enabled(true);
    throw;
  }
  ui_->collect_button->setText(QStringLiteral("Stop Collecting"));
}

std::vector<std::string> MainWidget::_current_tags() { return collection_->current_tags(); }

void MainWidget::_create_and_start_collector(const QString& opc_schema,
                                             quellin::TagsFunc get_tags_func, bool register_later) {
  const kestrane_config::SpoolStart spool_start = settings_->spool_start();
  spdlog::logger& log = *journel::get_logger("Kestrane");
  if (opc_schema.startsWith(QStringLiteral("opc.tcp://"), Qt::CaseInsensitive)) {
    // Our certificate is made here at the latest (once), so its expiry can be told at once.
    pyqar::report_ua_security_at_start(settings_->security());
  }
  const quellin::AcquisitionOptions acquisition = collector_acquisition(opc_schema);
  std::unordered_map<std::string, std::int64_t> tag_ids;
  quellin::PrepareConnectionFunc registration;
  if (!register_later) {
    tag_ids = tag_tasks_->registered_ids();
  } else {
    spool_start.warn_collecting_without_tsdb(log);
    TableRows rows;
    {
      const std::lock_guard<std::recursive_mutex> lock(data_lock());
      rows = ui_->paginated_table->all_data();
    }
    registration = LateRegistration(
        opc_schema.toStdString(), ui_->opc_type_combo->currentText().toStdString(), rows,
        [this](const LateRegistration::TagIds& ids) {
          // From the writer's thread; the window is only touched on its own.
          QMetaObject::invokeMethod(
              this, [this, ids] { guard([&] { fill_tag_ids(ids); }); }, Qt::QueuedConnection);
        });
  }
  // Each attempt gets its own copies: one refused for its spool is made again without it.
  spool_start.build_collector(
      [&](std::optional<quellin::SpoolSettings> spool) {
        collection_->start(opc_schema, get_tags_func, database_->tsdb_cfg(), tag_ids,
                           std::move(spool), settings_->security(), registration, acquisition);
      },
      log);
}

void MainWidget::fill_tag_ids(const LateRegistration::TagIds& ids) {
  const std::lock_guard<std::recursive_mutex> lock(data_lock());
  TableRows& rows = ui_->paginated_table->all_data();
  for (TableRow& row : rows) {
    const auto id = ids.find(row.value(ResultMerger::kTagNameColumn).toString().toStdString());
    if (id == ids.end() || row.isEmpty()) continue;
    row[0] = static_cast<qlonglong>(id->second);
  }
  ui_->paginated_table->set_data(rows, true, true);
}

void MainWidget::_stop_collecting() {
  if (collection_->is_stopping()) return;
  ui_->collect_button->setText(QStringLiteral("Stopping…"));
  ui_->collect_button->setEnabled(false);
  collection_->begin_stop([this] { guard([this] { finish_stop(); }); });
}

void MainWidget::finish_stop() {
  ui_->collect_button->setText(QStringLiteral("Start Collecting"));
  ui_->collect_button->setEnabled(true);
  _set_controls_enabled(true);
  database_->show_connected_if_open();
  _reset_write_count_display();
  if (std::exchange(close_after_stop_, false)) close();
}

void MainWidget::process_queue() { collection_->process_queue(); }

void MainWidget::_merge_results(const quellin::ResultList& results, TableRows& all_data) {
  collection_->merge_results(results, all_data);
}

void MainWidget::on_queue_tick() {
  process_queue();
  show_backfill_progress(collection_->backfill_progress());
  const std::optional<QString> reason = collection_->take_ended_collector();
  if (!reason) return;
  // The collector gave up (its OPC server refused the first connection, say): go back to
  // the idle state so that the operator sees it and can start again.
  ui_->collect_button->setText(QStringLiteral("Start Collecting"));
  _set_controls_enabled(true);
  database_->show_connected_if_open();
  const QString why = reason->isEmpty() ? QStringLiteral("the collector thread ended") : *reason;
  update_status_label(QStringLiteral("Collection stopped: ") + why);
  ui_->status_label->setStyleSheet(QStringLiteral("color: red"));
  message(QMessageBox::Warning, QStringLiteral("Collection Stopped"),
          QStringLiteral("Data collection stopped by itself:\n") + why);
}

// ---- Tag import and registration ----

void MainWidget::import_tags_from_csv() {
  if (is_busy()) return;
  const QString path = hooks_.choose_csv_file ? hooks_.choose_csv_file(this)
                                              : QFileDialog::getOpenFileName(
                                                    this, QStringLiteral("Choose CSV file"),
                                                    QString(), QStringLiteral("CSV Files (*.csv)"));
  if (path.isEmpty()) return;
  tag_tasks_->start_import(path);
}

void MainWidget::browse_server() {
  if (is_busy() || collection_->is_alive()) return;
  const QString url = ui_->server_combo->currentText().trimmed();
  if (ServerTrustCheck::needed(url, settings_->security())) {
    // The same check as a start's: an untrusted certificate is offered for trust first.
    checking_browse_ = url;
    _set_controls_enabled(false);
    ui_->collect_button->setEnabled(false);
    update_status_label(QStringLiteral("Checking the certificate of ") + url +
                        QStringLiteral(" ..."));
    trust_check_->start(url, settings_->security());
    return;
  }
  open_browse_dialog(url);
}

void MainWidget::open_browse_dialog(const QString& url) {
  // A child of the window, deleted when it closes.
  BrowseSourceFactory factory =
      hooks_.browse_source ? hooks_.browse_source : UaBrowseSource::factory(settings_->security());
  auto* dialog = new BrowseDialog(url, std::move(factory), this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &BrowseDialog::tags_chosen, this,
          [this](const std::vector<kestrane_config::TagEntry>& tags) {
            guard([&] { tag_tasks_->start_browse_import(tags); });
          });
  dialog->open();
}

std::optional<std::int64_t> MainWidget::_ensure_source(const QString& server_schema) {
  tidewell::Connection* conn = database_->connection();
  if (conn == nullptr) throw std::runtime_error("Not connected to a TSDB database.");
  return kestrane_config::find_or_create_source(
      *conn, kestrane_config::desktop_profile(), server_schema.toStdString(),
      ui_->opc_type_combo->currentText().toStdString(), *journel::get_logger("Kestrane"));
}

void MainWidget::_sync_tags_with_source(std::int64_t source_id) {
  tag_tasks_->start_sync(source_id);
}

void MainWidget::_save_collection_config(const QString& host, const QString& opc_schema) {
  settings_->save({.dbname = QString::fromStdString(database_->tsdb_cfg().dbname),
                   .opc_host = host,
                   .opc_schema = opc_schema,
                   .opc_type = ui_->opc_type_combo->currentText(),
                   .opc_port = ui_->port_input->text(),
                   .tag_csv_path = tag_csv_path(),
                   .security = settings_->security(),
                   .acquisition = settings_->acquisition()});
}

// ---- OPC UA security ----

void MainWidget::open_security_dialog() {
  if (is_busy() || collection_->is_alive()) return;
  // A child of the window, deleted when it closes.
  auto* dialog = new SecurityDialog(settings_->security(), this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this, [this, dialog] {
    settings_->set_security(dialog->security());
    update_security_tooltip();
  });
  dialog->open();
}

void MainWidget::update_security_tooltip() {
  const pyqar::UaSecurity& security = settings_->security();
  const QString user = security.username.empty() ? QStringLiteral("anonymous")
                                                 : QString::fromStdString(security.username);
  ui_->security_button->setToolTip(QStringLiteral("OPC UA security: %1 / %2, user %3")
                                       .arg(qstring(pyqar::to_string(security.policy)),
                                            qstring(pyqar::to_string(security.mode)), user));
}

// ---- Acquisition ----

void MainWidget::open_acquisition_dialog() {
  if (is_busy() || collection_->is_alive()) return;
  // A child of the window, deleted when it closes.
  auto* dialog =
      new AcquisitionDialog(settings_->acquisition(), CollectionControl::kSampleInterval, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this, [this, dialog] {
    settings_->set_acquisition(dialog->acquisition());
    ui_->events_view->set_configured(settings_->acquisition().events.enabled());
    update_acquisition_tooltip();
  });
  dialog->open();
}

void MainWidget::update_acquisition_tooltip() {
  const bool subscribe = settings_->acquisition().mode == pyqar::Acquisition::subscribe;
  ui_->acquisition_button->setToolTip(
      subscribe ? QStringLiteral("Acquisition: subscriptions (OPC UA), every change reported")
                : QStringLiteral("Acquisition: every tag read once per interval"));
}

quellin::AcquisitionOptions MainWidget::collector_acquisition(const QString& opc_schema) const {
  const quellin::AcquisitionOptions& chosen = settings_->acquisition();
  if (const auto problem =
          kestrane_config::acquisition_problem(chosen.mode, opc_schema.toStdString())) {
    throw std::runtime_error(*problem);
  }
  if (const auto problem =
          kestrane_config::backfill_problem(chosen.backfill, opc_schema.toStdString())) {
    throw std::runtime_error(*problem);
  }
  if (const auto problem =
          kestrane_config::events_problem(chosen.events, opc_schema.toStdString())) {
    throw std::runtime_error(*problem);
  }
  return kestrane_config::acquisition_for_tags(chosen, tag_tasks_->tuned_tags());
}

// ---- Read access ----

const QString& MainWidget::ini_path() const { return settings_->ini_path(); }
const tidewell::TsdbSettings& MainWidget::tsdb_cfg() const { return database_->tsdb_cfg(); }
tidewell::Connection* MainWidget::tsdb_conn() const { return database_->connection(); }
const std::optional<QString>& MainWidget::tag_csv_path() const {
  return tag_tasks_->tag_csv_path();
}
quellin::OPCCollector* MainWidget::collect_thread() const { return collection_->collector(); }
const QStringList& MainWidget::available_dbs() const { return database_->available_dbs(); }
quellin::ResultQueue& MainWidget::data_deque() { return collection_->data_deque(); }
std::mutex& MainWidget::deque_lock() { return collection_->deque_lock(); }
std::recursive_mutex& MainWidget::data_lock() { return collection_->data_lock(); }
OPCStatusBridge* MainWidget::status_bridge() const { return collection_->status_bridge(); }
DBStatusBridge* MainWidget::db_status_bridge() const { return collection_->db_status_bridge(); }
PaginatedTableWidget* MainWidget::paginated_table() const { return ui_->paginated_table; }
const pyqar::UaSecurity& MainWidget::security() const { return settings_->security(); }
const quellin::AcquisitionOptions& MainWidget::acquisition() const {
  return settings_->acquisition();
}
bool MainWidget::is_busy() const {
  return tag_tasks_->is_busy() || trust_check_->is_running() || collection_->is_stopping();
}
