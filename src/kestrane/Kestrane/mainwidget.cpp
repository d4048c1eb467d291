#include "mainwidget.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "Kestrane/dbstatusbridge.h"
#include "Kestrane/opcserverdiscovery.h"
#include "Kestrane/opcstatusbridge.h"
#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/qtshell.h"
#include "Kestrane/serverschemacombo.h"
#include "config/tag_csv.h"
#include "journel/ini_file.h"
#include "journel/log.h"
#include "tidewell/tidewell.h"

namespace {

const QString kOpcDa = QStringLiteral("OPC DA");
const QString kOpcUa = QStringLiteral("OPC UA");
const QString kDefaultDb = QStringLiteral("tsdb_default");
const QStringList kTableHeaders = {QStringLiteral("DBID"), QStringLiteral("Tag Name"),
                                   QStringLiteral("Description"), QStringLiteral("Value"),
                                   QStringLiteral("Quality")};
constexpr int kQueueIntervalMsec = 200;
constexpr int kMaxServers = 16;
constexpr double kSampleInterval = 1.0;
constexpr int kBatchSize = 200;
constexpr int kDbIdColumn = 0;
constexpr int kDescriptionColumn = 2;

spdlog::logger& logger() {
  static const std::shared_ptr<spdlog::logger> log = journel::get_logger("Kestrane");
  return *log;
}

tidewell::TsdbSettings read_tsdb_settings(const journel::IniFile& config) {
  const std::string section = "TSDBConnection";
  tidewell::TsdbSettings defaults;
  tidewell::TsdbSettings cfg;
  cfg.host = config.get_string(section, "host", defaults.host);
  cfg.port = static_cast<int>(config.get_int(section, "port", defaults.port));
  cfg.user = config.get_string(section, "user", defaults.user);
  cfg.password = config.get_string(section, "password", defaults.password);
  cfg.dbname = config.get_string(section, "dbname", defaults.dbname);
  cfg.autocommit = config.get_bool(section, "autocommit", defaults.autocommit);
  // Not part of the six connection keys: they pick the client's driver and its data folder.
  cfg.driver = config.get_string(section, "driver", defaults.driver);
  cfg.data_dir = config.get_string(section, "data_dir", defaults.data_dir);
  return cfg;
}

// A value written back must read as itself: a lone percent sign would start an interpolation.
std::string ini_escape(const QString& value) {
  return QString(value).replace(QLatin1Char('%'), QStringLiteral("%%")).toStdString();
}

std::filesystem::path to_fs_path(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString cell_text(const TableRow& row, int column) {
  return row.size() > column ? row[column].toString() : QString();
}

tidewell::Description description_of(const QString& text) {
  if (text.isEmpty()) {
    return {};
  }
  return {{"desc", text.toStdString()}};
}

QLabel* fixed_label(const QString& text, int width, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFixedWidth(width);
  return label;
}

}  // namespace

MainWidget::MainWidget(Hooks hooks) : QWidget(nullptr), hooks_(std::move(hooks)) {
  const QString icon_path = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                            QStringLiteral("/../pics/collector_icon.ico"));
  setWindowIcon(QIcon(icon_path));
  setWindowTitle(QStringLiteral("OPC Data Widget [TSDB NOT connected!!]"));

  ini_path_ = QDir::current().filePath(QStringLiteral("config.ini"));
  if (!QFileInfo(ini_path_).isFile()) {
    const QString text = QStringLiteral("Configuration file not found: ") + ini_path_;
    logger().error(text.toStdString());
    throw std::runtime_error(text.toStdString());
  }
  const journel::IniFile config = journel::IniFile::read_file(to_fs_path(ini_path_));
  tsdb_cfg_ = read_tsdb_settings(config);

  for (const std::string& name : tidewell::fetch_available_tsdbs(tsdb_cfg_)) {
    available_dbs_ << QString::fromStdString(name);
  }
  if (available_dbs_.isEmpty()) {
    throw std::runtime_error("No available TSDB databases found.");
  }

  auto* main_layout = new QVBoxLayout(this);

  auto* tsdb_opc_layout = new QHBoxLayout();
  tsdb_opc_layout->addWidget(fixed_label(QStringLiteral("TSDB name:"), 160, this));
  tsdb_combo_ = new QComboBox(this);
  tsdb_combo_->setObjectName(QStringLiteral("tsdb_combo"));
  tsdb_combo_->setEditable(false);
  tsdb_combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  tsdb_combo_->addItems(available_dbs_);
  connect(tsdb_combo_, &QComboBox::currentTextChanged, this,
          [this](const QString& text) { guard([&] { reconnect_tsdb(text); }); });
  tsdb_opc_layout->addWidget(tsdb_combo_);
  tsdb_opc_layout->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
  tsdb_opc_layout->addWidget(fixed_label(QStringLiteral("OPC Type:"), 80, this));
  opc_type_combo_ = new QComboBox(this);
  opc_type_combo_->setObjectName(QStringLiteral("opc_type_combo"));
  opc_type_combo_->addItems({kOpcDa, kOpcUa});
  opc_type_combo_->setCurrentText(
      QString::fromStdString(config.get_string("Kestrane", "opc_type", kOpcDa.toStdString())));
  opc_type_combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  connect(opc_type_combo_, &QComboBox::currentTextChanged, this,
          [this](const QString& text) { guard([&] { opc_type_changed(text); }); });
  tsdb_opc_layout->addWidget(opc_type_combo_);
  main_layout->addLayout(tsdb_opc_layout);

  auto* host_layout = new QHBoxLayout();
  host_layout->addWidget(fixed_label(QStringLiteral("OPC IP:"), 160, this));
  host_input_ = new QLineEdit(this);
  host_input_->setObjectName(QStringLiteral("host_input"));
  host_input_->setPlaceholderText(QStringLiteral("localhost"));
  host_input_->setText(
      QString::fromStdString(config.get_string("Kestrane", "opc_host", "localhost")));
  host_layout->addWidget(host_input_);
  host_layout->addItem(new QSpacerItem(20, 20, QSizePolicy::Fixed, QSizePolicy::Minimum));
  host_layout->addWidget(fixed_label(QStringLiteral("Port:"), 50, this));
  port_input_ = new QLineEdit(this);
  port_input_->setObjectName(QStringLiteral("port_input"));
  port_input_->setFixedWidth(80);
  port_input_->setPlaceholderText(QStringLiteral("0"));
  port_input_->setText(opc_type_combo_->currentText() == kOpcDa
                           ? QStringLiteral("0")
                           : QString::number(config.get_int("Kestrane", "opc_port", 4840)));
  host_layout->addWidget(port_input_);
  main_layout->addLayout(host_layout);

  auto* server_layout = new QHBoxLayout();
  server_layout->addWidget(fixed_label(QStringLiteral("OPC Schema:"), 160, this));
  server_combo_ = new ServerSchemaCombo(this);
  server_combo_->setObjectName(QStringLiteral("server_combo"));
  server_combo_->setEditable(true);
  server_combo_->setCurrentText(
      QString::fromStdString(config.get_string("Kestrane", "opc_schema", "")));
  server_combo_->setInsertPolicy(QComboBox::NoInsert);
  server_combo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  connect(server_combo_->view(), &QAbstractItemView::pressed, this,
          [this](const QModelIndex& index) { guard([&] { server_selected(index); }); });
  server_combo_->set_popup_override([this] { guard([this] { override_showPopup(); }); });
  server_layout->addWidget(server_combo_);
  main_layout->addLayout(server_layout);

  auto* separator = new QFrame(this);
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);
  main_layout->addWidget(separator);

  status_label_ = new QLabel(QStringLiteral("Status: Unconnected"), this);
  status_label_->setObjectName(QStringLiteral("status_label"));
  status_label_->setStyleSheet(QStringLiteral("color: gray"));
  main_layout->addWidget(status_label_);

  auto* button_layout = new QHBoxLayout();
  import_button_ = new QPushButton(QStringLiteral("Import CSV Tag List"), this);
  import_button_->setObjectName(QStringLiteral("import_button"));
  connect(import_button_, &QPushButton::clicked, this,
          [this] { guard([this] { import_tags_from_csv(); }); });
  button_layout->addWidget(import_button_);
  collect_button_ = new QPushButton(QStringLiteral("Start Collecting"), this);
  collect_button_->setObjectName(QStringLiteral("collect_button"));
  collect_button_->setEnabled(true);
  connect(collect_button_, &QPushButton::clicked, this,
          [this](bool checked) { guard([&] { start_collecting(checked); }); });
  button_layout->addWidget(collect_button_);
  main_layout->addLayout(button_layout);

  paginated_table_ = new PaginatedTableWidget(kTableHeaders, this);
  paginated_table_->setObjectName(QStringLiteral("paginated_table"));
  QTableView* view = paginated_table_->table();
  view->setSelectionBehavior(QAbstractItemView::SelectItems);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  // Descriptions take the spare width; the other columns fit their contents, so no cell is cut.
  view->setWordWrap(false);
  view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  view->horizontalHeader()->setSectionResizeMode(kDescriptionColumn, QHeaderView::Stretch);
  connect(view, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { guard([&] { show_context_menu(pos); }); });
  main_layout->addWidget(paginated_table_);

  status_bar_ = new QStatusBar(this);
  status_bar_->setObjectName(QStringLiteral("status_bar"));
  db_status_label_ = new QLabel(QStringLiteral("DB Status: Not connected"), this);
  db_status_label_->setObjectName(QStringLiteral("db_status_label"));
  db_status_label_->setStyleSheet(QStringLiteral("color: gray"));
  status_bar_->addWidget(db_status_label_);
  write_count_label_ = new QLabel(QStringLiteral("Current: 0 | Total: 0 records"), this);
  write_count_label_->setObjectName(QStringLiteral("write_count_label"));
  write_count_label_->setStyleSheet(QStringLiteral("color: blue"));
  status_bar_->addPermanentWidget(write_count_label_);
  main_layout->addWidget(status_bar_);

  status_bridge_ = std::make_unique<OPCStatusBridge>();
  connect(status_bridge_.get(), &OPCStatusBridge::status_changed, this,
          &MainWidget::update_status_label);
  db_status_bridge_ = std::make_unique<DBStatusBridge>();
  connect(db_status_bridge_.get(), &DBStatusBridge::db_write_status, this,
          &MainWidget::update_db_status);

  choose_database_at_start();

  opc_type_changed(opc_type_combo_->currentText());

  queue_timer_ = new QTimer(this);
  connect(queue_timer_, &QTimer::timeout, this, [this] { guard([this] { process_queue(); }); });
  queue_timer_->start(kQueueIntervalMsec);
}

MainWidget::~MainWidget() {
  if (collect_thread_) {
    collect_thread_->stop();
    collect_thread_->join();
  }
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

// ---- Window state ----

void MainWidget::_set_controls_enabled(bool enabled) {
  host_input_->setEnabled(enabled);
  port_input_->setEnabled(enabled && opc_type_combo_->currentText() == kOpcUa);
  server_combo_->setEnabled(enabled);
  import_button_->setEnabled(enabled);
  tsdb_combo_->setEnabled(enabled);
  opc_type_combo_->setEnabled(enabled);
}

void MainWidget::show_context_menu(const QPoint& pos) {
  QTableView* view = paginated_table_->table();
  const QModelIndex index = view->indexAt(pos);
  if (!index.isValid()) {
    return;
  }
  QMenu menu(this);
  QAction* copy_action = menu.addAction(QStringLiteral("Copy Cell"));
  const QPoint global_pos = view->viewport()->mapToGlobal(pos);
  QAction* chosen =
      hooks_.run_menu ? hooks_.run_menu(menu, global_pos) : exec_menu(menu, global_pos);
  if (chosen == copy_action) {
    QGuiApplication::clipboard()->setText(view->model()->data(index, Qt::DisplayRole).toString());
  }
}

void MainWidget::update_status_label(const QString& status) {
  const QString text = status.isNull() ? QString() : status;
  const QString lower = text.toLower();
  const auto has = [&lower](const char* word) { return lower.contains(QLatin1String(word)); };
  QString style;
  if (has("success") || (has("connected") && !has("disconnected"))) {
    style = QStringLiteral("color: green");
  } else if (has("failed") || has("error") || has("disconnected")) {
    style = QStringLiteral("color: red");
  } else if (has("collect") || has("reconnect") || has("retry")) {
    style = QStringLiteral("color: orange");
  } else {
    style = QStringLiteral("color: gray");
  }
  status_label_->setStyleSheet(style);
  status_label_->setText(QStringLiteral("Status: ") + text);
}

void MainWidget::closeEvent(QCloseEvent* event) {
  if (collector_alive()) {
    const auto answer =
        message(QMessageBox::Question, QStringLiteral("Confirm Exit"),
                QStringLiteral("Data collection is still running. Are you sure you want to exit?"),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    collect_thread_->stop();
    collect_thread_->join();
    collect_thread_.reset();
  }
  queue_timer_->stop();
  if (tsdb_conn_) {
    try {
      tsdb_conn_->close();
    } catch (const std::exception& e) {
      std::printf("An error occurred while closing TSDB connection: %s\n", e.what());
      std::fflush(stdout);
    }
  }
  event->accept();
}

void MainWidget::guard(const std::function<void()>& handler) {
  run_guarded(handler, hooks_.message_box);
}

bool MainWidget::collector_alive() const { return collect_thread_ && collect_thread_->is_alive(); }

// ---- OPC server discovery ----

void MainWidget::opc_type_changed(const QString& opc_type) {
  if (opc_type == kOpcDa) {
    port_input_->setText(QStringLiteral("0"));
    port_input_->setEnabled(false);
  } else if (opc_type == kOpcUa) {
    port_input_->setText(QStringLiteral("4840"));
    port_input_->setEnabled(true);
  }
}

void MainWidget::override_showPopup() {
  enumerate_servers();
  server_combo_->show_plain_popup();
}

void MainWidget::enumerate_servers() {
  const QString host = host_input_->text().trimmed();
  const QString port_text = port_input_->text();
  bool all_digits = !port_text.isEmpty();
  for (const QChar c : port_text) {
    all_digits = all_digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
  }
  bool fits = false;
  const int typed_port = all_digits ? port_text.toInt(&fits) : 0;
  const int port = fits ? typed_port : 0;
  const QString opc_type = opc_type_combo_->currentText();
  server_combo_->clear();
  server_combo_->clearEditText();

  struct RestoreCursor {
    ~RestoreCursor() { QApplication::restoreOverrideCursor(); }
  };
  try {
    status_label_->setText(QStringLiteral("Status: Enumerating ") + opc_type +
                           QStringLiteral(" Servers ..."));
    status_label_->setStyleSheet(QStringLiteral("color: orange"));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    RestoreCursor restore;
    const int asked_port = opc_type == kOpcDa ? 0 : port;
    const QStringList servers = hooks_.enumerate
                                    ? hooks_.enumerate(host, kMaxServers, asked_port)
                                    : enumerate_opc_servers(host, kMaxServers, asked_port);
    if (!servers.isEmpty()) {
      server_combo_->addItems(servers);
      status_label_->setText(
          QStringLiteral("Status: Found %1 %2 Servers").arg(servers.size()).arg(opc_type));
      status_label_->setStyleSheet(QStringLiteral("color: green"));
    } else {
      status_label_->setText(QStringLiteral("Status: No ") + opc_type +
                             QStringLiteral(" Server found"));
      status_label_->setStyleSheet(QStringLiteral("color: red"));
    }
  } catch (const std::exception& e) {
    status_label_->setText(QStringLiteral("Status: Failed to enumerate ") + opc_type +
                           QStringLiteral(" Servers"));
    status_label_->setStyleSheet(QStringLiteral("color: red"));
    message(QMessageBox::Critical, QStringLiteral("Enumeration Error"),
            QStringLiteral("Failed to enumerate ") + opc_type + QStringLiteral(" servers:\n\n") +
                QString::fromUtf8(e.what()));
  }
}

void MainWidget::server_selected(const QModelIndex& index) {
  server_combo_->setCurrentIndex(index.row());
}

std::optional<QString> MainWidget::_get_selected_schema_or_warn() {
  const QString selected = server_combo_->currentText().trimmed();
  if (!selected.isEmpty()) {
    return selected;
  }
  message(QMessageBox::Warning, QStringLiteral("Error"),
          QStringLiteral("Please select an OPC server schema."));
  return std::nullopt;
}

// ---- TSDB connection and status ----

void MainWidget::choose_database_at_start() {
  const QString wanted = QString::fromStdString(tsdb_cfg_.dbname);
  int idx = tsdb_combo_->findText(wanted, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (idx == -1) {
    idx = tsdb_combo_->findText(kDefaultDb, Qt::MatchExactly | Qt::MatchCaseSensitive);
  }
  if (idx == -1 && tsdb_combo_->count() > 0) {
    idx = 0;
  }
  if (idx == -1) {
    throw std::runtime_error(
        "No valid TSDB database found in configuration or available databases.");
  }
  {
    const QSignalBlocker blocker(tsdb_combo_);
    tsdb_combo_->setCurrentIndex(idx);
  }
  tsdb_cfg_.dbname = tsdb_combo_->itemText(idx).toStdString();
  reconnect_tsdb(QString::fromStdString(tsdb_cfg_.dbname));
  if (!tsdb_conn_) {
    const std::string text = "Failed to connect to TSDB database: " + tsdb_cfg_.dbname;
    logger().error(text);
    throw std::runtime_error(text);
  }
}

bool MainWidget::reconnect_tsdb(const QString& db_name) {
  try {
    if (tsdb_conn_) {
      tsdb_conn_->close();
    }
    if (db_name.toStdString() != tsdb_cfg_.dbname) {
      tsdb_cfg_.dbname = db_name.toStdString();
    }
    // The previous connection is closed either way; a failed attempt leaves none.
    tsdb_conn_.reset();
    tsdb_conn_ = tidewell::get_conn(tsdb_cfg_);
    if (!tsdb_conn_) {
      throw std::runtime_error("Failed to create TSDB connection object.");
    }
    setWindowTitle(
        QStringLiteral("OPC Data Widget [TSDB connected: %1/%2]")
            .arg(QString::fromStdString(tsdb_cfg_.host), QString::fromStdString(tsdb_cfg_.dbname)));
    logger().info("Connected to TSDB database: " + tsdb_cfg_.dbname);
    db_status_label_->setText(QStringLiteral("DB Status: Connected"));
    db_status_label_->setStyleSheet(QStringLiteral("color: green"));
    return true;
  } catch (const std::exception& e) {
    logger().error(std::string("TSDB connection error: ") + e.what());
    message(QMessageBox::Critical, QStringLiteral("TSDB Connection Failed"),
            QStringLiteral("Failed to connect to ") + QString::fromStdString(tsdb_cfg_.dbname) +
                QStringLiteral(":\n") + QString::fromUtf8(e.what()));
    db_status_label_->setText(QStringLiteral("DB Status: Connection failed"));
    db_status_label_->setStyleSheet(QStringLiteral("color: red"));
    return false;
  }
}

void MainWidget::update_db_status(bool success, int count) {
  if (success) {
    db_status_label_->setText(QStringLiteral("DB Status: Writing successfully"));
    db_status_label_->setStyleSheet(QStringLiteral("color: green"));
    write_count_label_->setText(QStringLiteral("Current: %1 | Total: %2 records")
                                    .arg(count)
                                    .arg(paginated_table_->all_data().size()));
  } else {
    db_status_label_->setText(QStringLiteral("DB Status: Write failed"));
    db_status_label_->setStyleSheet(QStringLiteral("color: red"));
  }
}

void MainWidget::_reset_write_count_display() {
  write_count_label_->setText(
      QStringLiteral("Current: 0 | Total: %1 records").arg(paginated_table_->all_data().size()));
}

// ---- Collection control and the queue of results ----

void MainWidget::start_collecting(bool checked) {
  (void)checked;
  if (collector_alive()) {
    _stop_collecting();
    return;
  }
  _reset_write_count_display();
  QString host = host_input_->text().trimmed();
  if (host.isEmpty()) {
    host = QStringLiteral("localhost");
  }
  const std::optional<QString> selected_schema = _get_selected_schema_or_warn();
  if (!selected_schema) {
    return;
  }
  const std::optional<std::int64_t> source_id = _ensure_source(*selected_schema);
  if (!source_id || *source_id == 0) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("Failed to insert source information."));
    return;
  }
  if (paginated_table_->all_data().isEmpty()) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("No tags available for collection. Please import a CSV file first."));
    return;
  }
  _sync_tags_with_source(*source_id);
  if (!tag_csv_path_) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("Please import a CSV file containing tags before starting collection."));
    return;
  }
  quellin::TagsFunc current_tags = [this] { return _current_tags(); };
  _set_controls_enabled(false);
  try {
    _save_collection_config(host, *selected_schema);
    _create_and_start_collector(*selected_schema, std::move(current_tags));
  } catch (...) {
    // Give the settings back, so that the operator can correct the schema or the file.
    _set_controls_enabled(true);
    throw;
  }
  collect_button_->setText(QStringLiteral("Stop Collecting"));
}

std::vector<std::string> MainWidget::_current_tags() {
  const std::lock_guard<std::recursive_mutex> lock(data_lock_);
  const TableRows& rows = paginated_table_->all_data();
  std::vector<std::string> tags;
  tags.reserve(static_cast<std::size_t>(rows.size()));
  for (const TableRow& row : rows) {
    tags.push_back(cell_text(row, ResultMerger::kTagNameColumn).toStdString());
  }
  return tags;
}

void MainWidget::_create_and_start_collector(const QString& opc_schema,
                                             quellin::TagsFunc get_tags_func) {
  OPCStatusBridge* status_bridge = status_bridge_.get();
  DBStatusBridge* db_status_bridge = db_status_bridge_.get();
  auto collector = std::make_unique<quellin::OPCCollector>(quellin::OPCCollector::Options{
      .opc_schema = opc_schema.toStdString(),
      .get_tags_func = std::move(get_tags_func),
      .data_deque = &data_deque_,
      .deque_lock = &deque_lock_,
      .tsdb_cfg = tsdb_cfg_,
      .sample_interval = kSampleInterval,
      .batch_size = kBatchSize,
      .status_notify =
          [status_bridge](const std::string& text) {
            emit status_bridge->status_changed(QString::fromStdString(text));
          },
      .db_status_notify =
          [db_status_bridge](bool success, std::size_t count) {
            emit db_status_bridge->db_write_status(
                success, static_cast<int>(std::min<std::size_t>(count, INT_MAX)));
          },
  });
  collect_thread_ = std::move(collector);
  collect_thread_->start();
}

void MainWidget::_stop_collecting() {
  if (collector_alive()) {
    collect_thread_->stop();
    collect_thread_->join();
    collect_thread_.reset();
  }
  collect_button_->setText(QStringLiteral("Start Collecting"));
  _set_controls_enabled(true);
  if (tsdb_conn_) {
    db_status_label_->setText(QStringLiteral("DB Status: Connected"));
    db_status_label_->setStyleSheet(QStringLiteral("color: green"));
  }
  _reset_write_count_display();
}

void MainWidget::process_queue() {
  std::vector<quellin::ResultList> batches;
  {
    const std::lock_guard<std::mutex> lock(deque_lock_);
    batches = data_deque_.take_all();
  }
  if (batches.empty()) {
    return;
  }
  const std::lock_guard<std::recursive_mutex> lock(data_lock_);
  TableRows& all_data = paginated_table_->all_data();
  for (const quellin::ResultList& batch : batches) {
    _merge_results(batch, all_data);
  }
  paginated_table_->set_data(all_data, true, true);
}

void MainWidget::_merge_results(const quellin::ResultList& results, TableRows& all_data) {
  merger_.merge(results, all_data);
}

// ---- Tag import and registration ----

void MainWidget::import_tags_from_csv() {
  const QString path = hooks_.choose_csv_file ? hooks_.choose_csv_file(this)
                                              : QFileDialog::getOpenFileName(
                                                    this, QStringLiteral("Choose CSV file"),
                                                    QString(), QStringLiteral("CSV Files (*.csv)"));
  if (path.isEmpty()) {
    return;
  }
  tag_csv_path_ = path;
  try {
    const kestrane_config::TagCsvFile file = kestrane_config::load_tag_csv_file(to_fs_path(path));
    if (file.tags.empty()) {
      message(QMessageBox::Warning, QStringLiteral("Error"),
              QStringLiteral("CSV 文件中没有有效的标签数据"));
      return;
    }
    if (!tsdb_conn_) {
      throw std::runtime_error("Not connected to a TSDB database.");
    }
    {
      // Values read before the import must not land in the new rows.
      const std::lock_guard<std::mutex> lock(deque_lock_);
      data_deque_.clear();
    }
    const std::lock_guard<std::recursive_mutex> lock(data_lock_);
    TableRows rows;
    rows.reserve(static_cast<qsizetype>(file.tags.size()));
    for (const kestrane_config::TagEntry& tag : file.tags) {
      const std::optional<tidewell::TagInfo> found = tidewell::get_tag(*tsdb_conn_, tag.name);
      QVariant db_id = QString();
      if (found && found->tag_id) {
        db_id = QVariant(static_cast<qlonglong>(*found->tag_id));
      }
      rows.append(TableRow{db_id, QString::fromStdString(tag.name),
                           QString::fromStdString(tag.description), QString(), QString()});
    }
    paginated_table_->set_data(rows);
    write_count_label_->setText(
        QStringLiteral("Current: 0 | Total: %1 records").arg(paginated_table_->all_data().size()));
  } catch (const kestrane_config::TagCsvColumnsError&) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("CSV 文件中缺少 FullTagName 或 Description 列"));
  } catch (const std::exception& e) {
    message(QMessageBox::Warning, QStringLiteral("Error"),
            QStringLiteral("无法读取 CSV 文件：\n") + QString::fromUtf8(e.what()));
  }
}

std::optional<std::int64_t> MainWidget::_ensure_source(const QString& server_schema) {
  if (!tsdb_conn_) {
    throw std::runtime_error("Not connected to a TSDB database.");
  }
  tidewell::SourceInfo source;
  source.source_name = "kestrane";
  source.endpoint = server_schema.toStdString();
  source.status = tidewell::SourceStatus::ACTIVE;
  source.protocol = opc_type_combo_->currentText() == kOpcUa ? tidewell::SourceProtocol::OPC_UA
                                                             : tidewell::SourceProtocol::OPC_DA;
  const std::vector<tidewell::SourceInfo> existing =
      tidewell::get_sources(*tsdb_conn_, tidewell::SourceFilter{.names = {source.source_name},
                                                                .status = {source.status},
                                                                .protocol = {source.protocol}});
  for (const tidewell::SourceInfo& found : existing) {
    if (found.endpoint == source.endpoint && found.source_id) {
      logger().info("Found existing source with ID: " + std::to_string(*found.source_id));
      return found.source_id;
    }
  }
  source.source_type = "OPC_Collector";
  source.interval_msec = 1000;
  source.description = {{"created_by", "Kestrane4"},
                        {"endpoint", source.endpoint},
                        {"protocol", tidewell::value(source.protocol)}};
  const tidewell::OperationResult<tidewell::SourceInfo> result =
      tidewell::insert_new_source(*tsdb_conn_, source);
  if (!result.ok || !source.source_id) {
    return std::nullopt;
  }
  logger().info("Inserted new source with ID: " + std::to_string(*source.source_id));
  return source.source_id;
}

void MainWidget::_sync_tags_with_source(std::int64_t source_id) {
  if (!tsdb_conn_) {
    throw std::runtime_error("Not connected to a TSDB database.");
  }
  const std::string source_text = std::to_string(source_id);
  const std::lock_guard<std::recursive_mutex> lock(data_lock_);
  TableRows& all_data = paginated_table_->all_data();
  for (TableRow& row : all_data) {
    const std::string name = cell_text(row, ResultMerger::kTagNameColumn).toStdString();
    const tidewell::Description description =
        row.size() > kDescriptionColumn ? description_of(row[kDescriptionColumn].toString())
                                        : tidewell::Description{};
    if (row.isEmpty()) {
      row.append(QVariant());
    }
    const std::optional<tidewell::TagInfo> found = tidewell::get_tag(*tsdb_conn_, name);
    if (!found) {
      tidewell::TagInfo tag;
      tag.tag_name = name;
      tag.description = description;
      tag.source_id = source_id;
      tag.source_tagname = name;
      const auto inserted = tidewell::insert_new_tag(*tsdb_conn_, tag);
      if (inserted.ok && inserted.data && inserted.data->tag_id) {
        row[kDbIdColumn] = static_cast<qlonglong>(*inserted.data->tag_id);
        logger().info("Inserted tag '" + name + "' with source_id: " + source_text);
      } else {
        logger().error("Failed to insert tag '" + name + "'");
      }
      continue;
    }
    if (found->tag_id) {
      row[kDbIdColumn] = static_cast<qlonglong>(*found->tag_id);
    }
    const auto updated = tidewell::update_tag_fields(
        *tsdb_conn_, name,
        tidewell::TagFields{
            .source_id = source_id, .source_tagname = name, .description = description});
    if (updated.ok) {
      logger().info("Updated tag '" + name + "' with source_id: " + source_text);
    } else {
      logger().warn("Failed to update source info for tag '" + name + "'");
    }
  }
  paginated_table_->set_data(all_data);
}

void MainWidget::_save_collection_config(const QString& host, const QString& opc_schema) {
  const std::filesystem::path path = to_fs_path(ini_path_);
  journel::IniFile config = QFileInfo::exists(ini_path_) ? journel::IniFile::read_file(path)
                                                         : journel::IniFile::parse("");
  const QString dbname =
      tsdb_cfg_.dbname.empty() ? kDefaultDb : QString::fromStdString(tsdb_cfg_.dbname);
  config.add_section("TSDBConnection");
  config.set("TSDBConnection", "dbname", ini_escape(dbname.trimmed()));
  config.add_section("Kestrane");
  config.set("Kestrane", "opc_host", ini_escape(host));
  config.set("Kestrane", "opc_schema", ini_escape(opc_schema));
  config.set("Kestrane", "opc_type", ini_escape(opc_type_combo_->currentText()));
  config.set("Kestrane", "opc_port", ini_escape(port_input_->text()));
  if (tag_csv_path_ && !tag_csv_path_->isEmpty()) {
    config.set("Kestrane", "tag_csv_path", ini_escape(*tag_csv_path_));
  }

  // A crash or a full disk half-way must not cost the operator the old file: write a new
  // one beside it and rename it over the old one only when it is complete.
  QSaveFile file(ini_path_);
  if (!file.open(QIODevice::WriteOnly)) {
    throw std::runtime_error("Cannot write " + ini_path_.toStdString() + ": " +
                             file.errorString().toStdString());
  }
  const std::string text = config.to_string();
  if (file.write(text.data(), static_cast<qint64>(text.size())) !=
          static_cast<qint64>(text.size()) ||
      !file.commit()) {
    throw std::runtime_error("Cannot write " + ini_path_.toStdString() + ": " +
                             file.errorString().toStdString());
  }
  logger().info("Configuration saved to " + ini_path_.toStdString() +
                ". OPC Schema: " + opc_schema.toStdString());
}
