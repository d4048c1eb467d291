// The main window against the embedded database driver: construction and its failures, the
// status lines, the OPC type and port rules, discovery, control enabling, the merge of
// results, the configuration writer, the tag import, the OPC UA security and the collection's
// life.

#include <sys/stat.h>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <QCheckBox>
#include <QDoubleSpinBox>

#include "Kestrane/acquisitiondialog.h"
#include "Kestrane/certificatetrustdialog.h"
#include "Kestrane/dbstatusbridge.h"
#include "Kestrane/opcstatusbridge.h"
#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/resultmerger.h"
#include "Kestrane/securitydialog.h"
#include "Kestrane/serverschemacombo.h"
#include "journel/ini_file.h"
#include "log_capture.h"
#include "pyqar/rt_source.h"
#include "quellin/opc_collector.h"
#include "spool/spool.h"
#include "testsupport.h"

namespace {

// Background work in these tests takes milliseconds; this only ends a hang.
constexpr int kWorkDeadlineMsec = 30000;

quellin::ResultTuple reading(const char* tag, double value, const char* quality = "Good") {
  return quellin::ResultTuple{tag, value, quality, {}};
}

// The OPC UA settings of a secured start against a server nothing needs to reach: the trust
// check is a fake and the collector reads the DA simulation.
const QByteArray kSecuredUa =
    "[Kestrane]\nopc_type = OPC UA\nopc_port = 4840\nopc_schema = opc.tcp://127.0.0.1:4840\n"
    "opc_security_policy = Basic256Sha256\nopc_security_mode = SignAndEncrypt\n"
    "opc_username = operator\nopc_password = s3cret\n";

unsigned mode_of(const QString& path) {
  struct stat status {};
  if (::stat(QFile::encodeName(path).constData(), &status) != 0) return 0;
  return status.st_mode & 0777;
}

TableRows rows_for(const QStringList& tags) {
  TableRows rows;
  for (const QString& tag : tags) {
    rows.append(TableRow{QString(), tag, QString(), QString(), QString()});
  }
  return rows;
}

// What the collector asked of the OPC library, recorded on the collector's thread.
class OpenedSources {
 public:
  void add(const pyqar::CreateSourceArgs& args) {
    const std::lock_guard lock(mutex_);
    opened_.push_back(args);
  }
  int count() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(opened_.size());
  }
  pyqar::CreateSourceArgs first() const {
    const std::lock_guard lock(mutex_);
    return opened_.front();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<pyqar::CreateSourceArgs> opened_;  // guarded by mutex_
};

}  // namespace

class TestMainWidget : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = std::make_unique<ScratchDir>();
    boxes_ = MessageBoxRecorder();
    enumerate_calls_.clear();
    servers_ = {};
    enumerate_error_.clear();
    hold_enumerate_ = nullptr;
    chosen_csv_.clear();
    menus_.clear();
    endpoints_.clear();
    endpoint_calls_ = 0;
    endpoints_on_gui_thread_ = false;
    trust_server_ = std::make_unique<FakeTrustServer>();
    opened_ = std::make_shared<OpenedSources>();
  }
  void cleanup() {
    window_.reset();
    dir_.reset();
  }

  // ---- Construction ----

  void MissingConfigFailsWithFullPath() {
    try {
      make_window();
      QFAIL("construction succeeded without config.ini");
    } catch (const std::runtime_error& e) {
      QCOMPARE(QString::fromUtf8(e.what()),
               QStringLiteral("Configuration file not found: ") + dir_->file("config.ini"));
    }
  }

  void NoDatabaseFailsConstruction() {
    // No database file, and an empty dbname names none that connecting would create.
    write_sqlite_config(*dir_, {}, {}, QString());
    try {
      make_window();
      QFAIL("construction succeeded without a database");
    } catch (const std::runtime_error& e) {
      QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("No available TSDB databases found."));
    }
  }

  void FreshEmbeddedDatabaseIsCreatedAtFirstStart() {
    write_sqlite_config(*dir_, {}, {}, QStringLiteral("plant"));
    make_window();
    QCOMPARE(window_->windowTitle(),
             QStringLiteral("OPC Data Widget [TSDB connected: localhost/plant]"));
    QVERIFY(QFile::exists(dir_->file(QStringLiteral("data/plant.db"))));
  }

  void UnreachableServerFailsConstruction() {
    // Nothing listens on port 1 of the loopback address.
    dir_->write(QStringLiteral("config.ini"),
                "[TSDBConnection]\nhost = 127.0.0.1\nport = 1\npassword = x\n");
    QVERIFY_THROWS_EXCEPTION(std::exception, make_window());
  }

  void MalformedPortFailsConstruction() {
    write_sqlite_config(*dir_);
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\ndriver = sqlite\nport = 54x32\n");
    QVERIFY_THROWS_EXCEPTION(journel::IniError, make_window());
  }

  void IdleWindowAfterConstruction() {
    write_sqlite_config(*dir_);
    make_window();
    QCOMPARE(window_->windowTitle(),
             QStringLiteral("OPC Data Widget [TSDB connected: localhost/tsdb_default]"));
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Connected"));
    QCOMPARE(label("db_status_label")->styleSheet(), QStringLiteral("color: green"));
    QCOMPARE(label("status_label")->text(), QStringLiteral("Status: Unconnected"));
    QCOMPARE(label("status_label")->styleSheet(), QStringLiteral("color: gray"));
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 0 | Total: 0 records"));
    QCOMPARE(label("write_count_label")->styleSheet(), QStringLiteral("color: blue"));
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Start Collecting"));
    QCOMPARE(combo("opc_type_combo")->currentText(), QStringLiteral("OPC DA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("0"));
    QVERIFY(!line("port_input")->isEnabled());
    QCOMPARE(line("host_input")->text(), QStringLiteral("localhost"));
    QVERIFY(window_->queue_timer()->isActive());
    QCOMPARE(window_->queue_timer()->interval(), 200);
    QVERIFY(boxes_.boxes.isEmpty());
    // The icon comes from pics/ beside the program's bin/ folder (copied there by the build).
    QVERIFY(!window_->windowIcon().isNull());
  }

  void SavedUaPortSurvivesStartUp() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_port = 4841\n"
                        "opc_schema = opc.tcp://localhost:4841\n");
    make_window();
    QCOMPARE(combo("opc_type_combo")->currentText(), QStringLiteral("OPC UA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("4841"));
    QVERIFY(line("port_input")->isEnabled());
    QCOMPARE(combo("server_combo")->currentText(), QStringLiteral("opc.tcp://localhost:4841"));
    // Only a change of the type by the operator resets the port.
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC DA"));
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("4840"));
  }

  void UaWithoutSavedPortShowsTheDefault() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_type = OPC UA\n");
    make_window();
    QCOMPARE(line("port_input")->text(), QStringLiteral("4840"));
    QVERIFY(line("port_input")->isEnabled());
  }

  void MalformedUaPortFailsConstruction() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_type = OPC UA\nopc_port = 48x1\n");
    QVERIFY_THROWS_EXCEPTION(journel::IniError, make_window());
  }

  void UnknownOpcTypeStartsAsDa() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_type = UA\nopc_port = nonsense\n");
    make_window();
    QCOMPARE(combo("opc_type_combo")->currentText(), QStringLiteral("OPC DA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("0"));
    QVERIFY(!line("port_input")->isEnabled());
  }

  void ConfiguredDatabaseIsChosenWhenListed() {
    write_sqlite_config(*dir_, {}, {QStringLiteral("alpha"), QStringLiteral("plant")},
                        QStringLiteral("plant"));
    make_window();
    QCOMPARE(combo("tsdb_combo")->currentText(), QStringLiteral("plant"));
    QCOMPARE(window_->tsdb_cfg().dbname, std::string("plant"));
    QCOMPARE(window_->windowTitle(),
             QStringLiteral("OPC Data Widget [TSDB connected: localhost/plant]"));
  }

  void DatabaseNameMatchIsCaseSensitiveThenFirstListed() {
    write_sqlite_config(*dir_, {}, {QStringLiteral("alpha"), QStringLiteral("plant")},
                        QStringLiteral("Plant"));
    make_window();
    QCOMPARE(combo("tsdb_combo")->currentText(), QStringLiteral("alpha"));
    QCOMPARE(window_->tsdb_cfg().dbname, std::string("alpha"));
  }

  void PickingAnotherDatabaseReconnects() {
    write_sqlite_config(*dir_, {}, {QStringLiteral("alpha"), QStringLiteral("plant")},
                        QStringLiteral("alpha"));
    make_window();
    combo("tsdb_combo")->setCurrentText(QStringLiteral("plant"));
    QCOMPARE(window_->tsdb_cfg().dbname, std::string("plant"));
    QCOMPARE(window_->windowTitle(),
             QStringLiteral("OPC Data Widget [TSDB connected: localhost/plant]"));
    QVERIFY(window_->tsdb_conn() != nullptr);
  }

  void RefusingDatabaseKeepsTheWindowUsable() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n",
                        {QStringLiteral("tsdb_default")});
    dir_->write(QStringLiteral("data/broken.db"), QByteArray(4096, 'x'));
    make_window();
    window_->paginated_table()->set_data(rows_for({"Demo.Tag1"}));
    combo("tsdb_combo")->setCurrentText(QStringLiteral("broken"));
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("TSDB Connection Failed"));
    QVERIFY(boxes_.boxes.first().text.startsWith(QStringLiteral("Failed to connect to broken:\n")));
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Connection failed"));
    QCOMPARE(label("db_status_label")->styleSheet(), QStringLiteral("color: red"));
    QCOMPARE(window_->windowTitle(),
             QStringLiteral("OPC Data Widget [TSDB connected: localhost/tsdb_default]"));

    // Starting now fails where the registration needs the connection; the error is shown
    // and the window goes on.
    button("collect_button")->click();
    QCOMPARE(boxes_.boxes.size(), 2);
    QCOMPARE(boxes_.boxes.last().title, QStringLiteral("Unexpected Error"));
    QVERIFY(button("import_button")->isEnabled());

    combo("tsdb_combo")->setCurrentText(QStringLiteral("tsdb_default"));
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Connected"));
  }

  // ---- Status line ----

  void StatusLineColourRules_data() {
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("style");
    QTest::newRow("success") << "Write success"
                             << "color: green";
    QTest::newRow("connected") << "OPC DA connected"
                               << "color: green";
    QTest::newRow("disconnected") << "DA source disconnected"
                                  << "color: red";
    QTest::newRow("read summary") << "Read 25 tags, 0 bad."
                                  << "color: gray";
    QTest::newRow("retrying") << "Retrying in 5 seconds..."
                              << "color: orange";
    QTest::newRow("reconnect error") << "Reconnect DA error: boom"
                                     << "color: red";
    QTest::newRow("failed") << "All 3 tags read failed. Waiting for next cycle..."
                            << "color: red";
    QTest::newRow("collect") << "Stopping OPC collector thread..."
                             << "color: orange";
    QTest::newRow("empty") << ""
                           << "color: gray";
    QTest::newRow("upper case") << "CONNECTED"
                                << "color: green";
  }
  void StatusLineColourRules() {
    QFETCH(QString, status);
    QFETCH(QString, style);
    write_sqlite_config(*dir_);
    make_window();
    window_->update_status_label(status);
    QCOMPARE(label("status_label")->styleSheet(), style);
    QCOMPARE(label("status_label")->text(), QStringLiteral("Status: ") + status);
  }

  void StatusBridgeSignalReachesTheStatusLine() {
    write_sqlite_config(*dir_);
    make_window();
    emit window_->status_bridge()->status_changed(QStringLiteral("DA source disconnected"));
    QCOMPARE(label("status_label")->text(), QStringLiteral("Status: DA source disconnected"));
  }

  void ContextMenuCopiesTheCellUnderThePointer() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"Demo.Tag1"}));
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTableView* view = window_->paginated_table()->table();
    const QPoint on_cell = view->visualRect(view->model()->index(0, 1)).center();
    window_->show_context_menu(on_cell);
    QCOMPARE(menus_.size(), 1);
    QCOMPARE(menus_.first(), QStringList{"Copy Cell"});
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Demo.Tag1"));

    const QPoint below_rows(on_cell.x(), view->viewport()->height() - 2);
    window_->show_context_menu(below_rows);
    QCOMPARE(menus_.size(), 1);
  }

  // ---- OPC type, port and discovery ----

  void ButtonRowKeepsImportThenCollect() {
    write_sqlite_config(*dir_);
    make_window();
    // The sixth row of the window, below the status line.
    QLayoutItem* row = window_->layout()->itemAt(5);
    QVERIFY(row != nullptr && row->layout() != nullptr);
    QStringList names;
    for (int i = 0; i < row->layout()->count(); ++i) {
      if (QWidget* item = row->layout()->itemAt(i)->widget()) names << item->objectName();
    }
    QCOMPARE(names, (QStringList{"import_button", "collect_button", "browse_button"}));
    QCOMPARE(button("browse_button")->text(), QStringLiteral("Browse Server…"));
    QCOMPARE(window_->layout()->itemAt(4)->widget(), widget("status_label"));
  }

  void TypeChangeResetsThePort() {
    write_sqlite_config(*dir_);
    make_window();
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("4840"));
    QVERIFY(line("port_input")->isEnabled());
    line("port_input")->setText(QStringLiteral("4999"));
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC DA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("0"));
    QVERIFY(!line("port_input")->isEnabled());
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("4840"));
    window_->opc_type_changed(QStringLiteral("OPC XX"));
    QCOMPARE(line("port_input")->text(), QStringLiteral("4840"));
  }

  void DiscoveryAsksWithPortByTypeAndDigits_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("port_text");
    QTest::addColumn<int>("asked_port");
    QTest::newRow("DA ignores the field") << "OPC DA"
                                          << "4840" << 0;
    QTest::newRow("UA uses the field") << "OPC UA"
                                       << "4840" << 4840;
    QTest::newRow("UA with a space") << "OPC UA"
                                     << "48 40" << 0;
    QTest::newRow("UA with an empty field") << "OPC UA"
                                            << "" << 0;
    QTest::newRow("UA with a sign") << "OPC UA"
                                    << "-1" << 0;
  }
  void DiscoveryAsksWithPortByTypeAndDigits() {
    QFETCH(QString, type);
    QFETCH(QString, port_text);
    QFETCH(int, asked_port);
    write_sqlite_config(*dir_);
    make_window();
    combo("opc_type_combo")->setCurrentText(type);
    line("port_input")->setText(port_text);
    line("host_input")->setText(QStringLiteral("  plant-host  "));
    discover();
    QCOMPARE(enumerate_calls_.size(), 1);
    QCOMPARE(enumerate_calls_.first().host, QStringLiteral("plant-host"));
    QCOMPARE(enumerate_calls_.first().max_servers, 16);
    QCOMPARE(enumerate_calls_.first().port, asked_port);
  }

  void OpeningTheListKeepsTheTypedSchema() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://typed/Server\n");
    make_window();
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    servers_ = {QStringLiteral("opc.tcp://a:4840"), QStringLiteral("opc.tcp://b:4840"),
                QStringLiteral("opc.tcp://c:4840")};
    auto* server_combo = qobject_cast<ServerSchemaCombo*>(combo("server_combo"));
    // Opening the list the way the arrow does runs the discovery first, then opens the list.
    QSignalSpy discovered(window_.get(), &MainWidget::discovery_finished);
    server_combo->showPopup();
    QCOMPARE(label("status_label")->text(),
             QStringLiteral("Status: Enumerating OPC UA Servers ..."));
    QVERIFY(!server_combo->view()->isVisible());
    QVERIFY(discovered.wait(kWorkDeadlineMsec));
    QVERIFY(server_combo->view()->isVisible());
    QCOMPARE(enumerate_calls_.size(), 1);
    QCOMPARE(server_combo->count(), 3);
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.da://typed/Server"));
    QCOMPARE(label("status_label")->text(), QStringLiteral("Status: Found 3 OPC UA Servers"));
    QCOMPARE(label("status_label")->styleSheet(), QStringLiteral("color: green"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    server_combo->hidePopup();

    // A typed address survives the next opening too; picking an entry replaces it, the
    // first entry included.
    server_combo->setEditText(QStringLiteral("opc.tcp://typed:4999"));
    discover();
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.tcp://typed:4999"));
    window_->server_selected(server_combo->model()->index(0, 0));
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.tcp://a:4840"));
    window_->server_selected(server_combo->model()->index(2, 0));
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.tcp://c:4840"));
  }

  void EmptySchemaTakesTheFirstServerFound() {
    write_sqlite_config(*dir_);
    make_window();
    servers_ = {QStringLiteral("opc.da://localhost/A"), QStringLiteral("opc.da://localhost/B")};
    discover();
    QCOMPARE(combo("server_combo")->currentText(), QStringLiteral("opc.da://localhost/A"));
  }

  void NoServerFoundKeepsTheTypedSchema() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://typed/Server\n");
    make_window();
    discover();
    QCOMPARE(combo("server_combo")->count(), 0);
    QCOMPARE(combo("server_combo")->currentText(), QStringLiteral("opc.da://typed/Server"));
    QCOMPARE(label("status_label")->text(), QStringLiteral("Status: No OPC DA Server found"));
    QCOMPARE(label("status_label")->styleSheet(), QStringLiteral("color: red"));
    QVERIFY(boxes_.boxes.isEmpty());
  }

  void FailedDiscoveryShowsEnumerationError() {
    write_sqlite_config(*dir_);
    make_window();
    enumerate_error_ = QStringLiteral("host does not answer");
    discover();
    QCOMPARE(label("status_label")->text(),
             QStringLiteral("Status: Failed to enumerate OPC DA Servers"));
    QCOMPARE(label("status_label")->styleSheet(), QStringLiteral("color: red"));
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Enumeration Error"));
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("Failed to enumerate OPC DA servers:\n\nhost does not answer"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void FailedDiscoveryStillOpensTheEmptyList() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://typed/Server\n");
    make_window();
    servers_ = {QStringLiteral("opc.da://localhost/A")};
    discover();
    enumerate_error_ = QStringLiteral("host does not answer");
    auto* server_combo = qobject_cast<ServerSchemaCombo*>(combo("server_combo"));
    QSignalSpy discovered(window_.get(), &MainWidget::discovery_finished);
    QSignalSpy opening(server_combo, &ServerSchemaCombo::popup_opening);
    server_combo->showPopup();
    QVERIFY(discovered.wait(kWorkDeadlineMsec));
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Enumeration Error"));
    // The list is opened after the box, with no entries (the toolkit then draws none).
    QCOMPARE(opening.size(), 1);
    QCOMPARE(server_combo->count(), 0);
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.da://typed/Server"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void WaitCursorShowsWhileTheDiscoveryRuns() {
    write_sqlite_config(*dir_);
    make_window();
    const auto wait_cursor_shown = [] {
      return QApplication::overrideCursor() != nullptr &&
             QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    };
    // Found, and failed: the cursor comes with the start and goes with the outcome.
    for (const QString& error : {QString(), QStringLiteral("host does not answer")}) {
      enumerate_error_ = error;
      QSignalSpy discovered(window_.get(), &MainWidget::discovery_finished);
      window_->enumerate_servers();
      QVERIFY(wait_cursor_shown());
      QVERIFY(discovered.wait(kWorkDeadlineMsec));
      QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    // Closing the window while the server is asked takes the cursor away at once.
    QSemaphore answer;
    hold_enumerate_ = &answer;
    window_->enumerate_servers();
    QVERIFY(wait_cursor_shown());
    QVERIFY(window_->close());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    answer.release();
    window_.reset();
    hold_enumerate_ = nullptr;
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void RealDiscoveryListsTheSimulatedDaServer() {
    write_sqlite_config(*dir_);
    make_window(/*fake_discovery=*/false);
    discover();
    QCOMPARE(combo("server_combo")->currentText(),
             QStringLiteral("opc.da://localhost/OstrevoV2.1.0"));
    QCOMPARE(label("status_label")->text(), QStringLiteral("Status: Found 1 OPC DA Servers"));
  }

  void BlankSchemaWarns() {
    write_sqlite_config(*dir_);
    make_window();
    combo("server_combo")->setEditText(QStringLiteral("   "));
    QVERIFY(!window_->_get_selected_schema_or_warn().has_value());
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Error"));
    QCOMPARE(boxes_.boxes.first().text, QStringLiteral("Please select an OPC server schema."));
    combo("server_combo")->setEditText(QStringLiteral("  opc.da://localhost/X  "));
    QCOMPARE(window_->_get_selected_schema_or_warn(),
             std::optional<QString>(QStringLiteral("opc.da://localhost/X")));
  }

  // ---- Controls ----

  void DisablingControlsKeepsTheCollectButton() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_type = OPC UA\n");
    make_window();
    window_->_set_controls_enabled(false);
    for (const char* name : {"host_input", "port_input", "server_combo", "import_button",
                             "tsdb_combo", "opc_type_combo", "acquisition_button"}) {
      QVERIFY2(!widget(name)->isEnabled(), name);
    }
    QVERIFY(button("collect_button")->isEnabled());
    window_->_set_controls_enabled(true);
    QVERIFY(line("port_input")->isEnabled());

    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC DA"));
    window_->_set_controls_enabled(true);
    QVERIFY(!line("port_input")->isEnabled());
    QVERIFY(line("host_input")->isEnabled());
  }

  // ---- OPC UA security ----

  void SecurityButtonIsForUaWhileTheSettingsMayChange() {
    write_sqlite_config(*dir_);
    make_window();
    QCOMPARE(button("security_button")->text(), QStringLiteral("Security…"));
    QVERIFY(!button("security_button")->isEnabled());
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    QVERIFY(button("security_button")->isEnabled());
    window_->_set_controls_enabled(false);
    QVERIFY(!button("security_button")->isEnabled());
    window_->_set_controls_enabled(true);
    QVERIFY(button("security_button")->isEnabled());
  }

  void SecurityChosenInTheDialogIsSavedAtStartAndReadBack() {
    write_sqlite_config(*dir_,
                        "# the plant's server\n[Kestrane]\nopc_type = OPC UA\n"
                        "opc_schema = opc.tcp://127.0.0.1:4840\n");
    make_window();
    QCOMPARE(window_->security().policy, pyqar::UaSecurityPolicy::None);
    button("security_button")->click();
    auto* dialog = window_->findChild<SecurityDialog*>();
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->isVisible());
    dialog->policy_combo()->setCurrentText(QStringLiteral("Aes128_Sha256_RsaOaep"));
    dialog->mode_combo()->setCurrentText(QStringLiteral("Sign"));
    dialog->username_edit()->setText(QStringLiteral("operator"));
    dialog->password_edit()->setText(QStringLiteral("s3cret"));
    dialog->ok_button()->click();
    QCOMPARE(window_->security().policy, pyqar::UaSecurityPolicy::Aes128_Sha256_RsaOaep);
    QCOMPARE(window_->security().mode, pyqar::UaSecurityMode::Sign);
    QCOMPARE(window_->security().password, std::string("s3cret"));
    QCOMPARE(button("security_button")->toolTip(),
             QStringLiteral("OPC UA security: Aes128_Sha256_RsaOaep / Sign, user operator"));
    // Written with the other OPC settings, at the next start.
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_security"));
    window_->_save_collection_config(QStringLiteral("localhost"),
                                     QStringLiteral("opc.tcp://127.0.0.1:4840"));
    const QByteArray saved = dir_->read(QStringLiteral("config.ini"));
    QVERIFY(saved.contains("# the plant's server\n"));
    QVERIFY(saved.contains("opc_security_policy = Aes128_Sha256_RsaOaep\n"));
    QCOMPARE(mode_of(dir_->file(QStringLiteral("config.ini"))), 0600u);

    window_.reset();
    make_window();
    QCOMPARE(window_->security().policy, pyqar::UaSecurityPolicy::Aes128_Sha256_RsaOaep);
    QCOMPARE(window_->security().mode, pyqar::UaSecurityMode::Sign);
    QCOMPARE(window_->security().username, std::string("operator"));
    QCOMPARE(window_->security().password, std::string("s3cret"));
    button("security_button")->click();
    dialog = window_->findChild<SecurityDialog*>();
    QCOMPARE(dialog->policy_combo()->currentText(), QStringLiteral("Aes128_Sha256_RsaOaep"));
    QCOMPARE(dialog->password_edit()->text(), QStringLiteral("s3cret"));
  }

  void ServerListShowsTheSecurityOfEachServer() {
    write_sqlite_config(*dir_);
    make_window();
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    servers_ = {QStringLiteral("opc.tcp://a:4840"), QStringLiteral("opc.tcp://b:4840")};
    endpoints_["opc.tcp://a:4840"] = {
        {"opc.tcp://a:4840", "None", "None", {"Anonymous"}},
        {"opc.tcp://a:4840", "Basic256Sha256", "Sign", {"UserName"}},
        {"opc.tcp://a:4840", "Basic256Sha256", "SignAndEncrypt", {"Anonymous", "UserName"}},
        {"opc.tcp://a.plant:4840", "Basic256Sha256", "SignAndEncrypt", {}}};
    discover();
    auto* server_combo = qobject_cast<ServerSchemaCombo*>(combo("server_combo"));
    QCOMPARE(server_combo->count(), 2);
    QCOMPARE(server_combo->itemText(0), QStringLiteral("opc.tcp://a:4840"));
    QCOMPARE(server_combo->security_text(0),
             QStringLiteral("None / None, Basic256Sha256 / Sign, Basic256Sha256 / SignAndEncrypt"));
    const QString detail = server_combo->model()
                               ->index(0, ServerSchemaCombo::kSecurityColumn)
                               .data(Qt::ToolTipRole)
                               .toString();
    QCOMPARE(detail.split(QLatin1Char('\n')).size(), 4);
    QVERIFY(
        detail.contains(QStringLiteral("opc.tcp://a.plant:4840  Basic256Sha256 / SignAndEncrypt")));
    // A server whose endpoints cannot be read stays in the list, saying why.
    QCOMPARE(server_combo->itemText(1), QStringLiteral("opc.tcp://b:4840"));
    QCOMPARE(server_combo->security_text(1),
             QStringLiteral("Endpoints unavailable: opc.tcp://b:4840 does not answer"));
    auto* list = qobject_cast<QTableView*>(server_combo->view());
    QVERIFY(list != nullptr);
    QVERIFY(!list->isColumnHidden(ServerSchemaCombo::kSecurityColumn));
    QCOMPARE(list->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Security"));
    // Picking either cell of a row takes the address alone.
    window_->server_selected(server_combo->model()->index(0, ServerSchemaCombo::kSecurityColumn));
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.tcp://a:4840"));
    QCOMPARE(endpoint_calls_.load(), 2);
    QVERIFY(!endpoints_on_gui_thread_);

    // OPC DA servers have no endpoints to ask about; the column goes.
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC DA"));
    servers_ = {QStringLiteral("opc.da://localhost/A")};
    discover();
    QCOMPARE(server_combo->count(), 1);
    QCOMPARE(server_combo->security_text(0), QString());
    QVERIFY(list->isColumnHidden(ServerSchemaCombo::kSecurityColumn));
    QCOMPARE(endpoint_calls_.load(), 2);
  }

  void UntrustedCertificateRejectedReturnsToIdle() {
    write_sqlite_config(*dir_, kSecuredUa);
    make_window();
    trust_server_->answers = {FakeTrustServer::untrusted()};
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    const QByteArray config_before = dir_->read(QStringLiteral("config.ini"));
    start_and_wait();
    CertificateTrustDialog* dialog = wait_for_trust_dialog();
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->field(QStringLiteral("application_uri")), QStringLiteral("urn:plant:server"));
    // While the operator decides, nothing can be changed or started twice.
    QVERIFY(!button("collect_button")->isEnabled());
    QVERIFY(!combo("server_combo")->isEnabled());
    QVERIFY(window_->is_busy());
    QCOMPARE(trust_server_->checked_urls, std::vector<std::string>{"opc.tcp://127.0.0.1:4840"});
    QCOMPARE(trust_server_->checked_security.front().password, std::string("s3cret"));

    dialog->reject_button()->click();
    QVERIFY(window_->collect_thread() == nullptr);
    QVERIFY(!window_->is_busy());
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Start Collecting"));
    for (const char* name :
         {"collect_button", "server_combo", "import_button", "security_button"}) {
      QVERIFY2(widget(name)->isEnabled(), name);
    }
    QVERIFY(trust_server_->trusted.empty());
    QCOMPARE(opened_->count(), 0);
    QVERIFY(boxes_.boxes.isEmpty());
    // A start given up saves nothing.
    QCOMPARE(dir_->read(QStringLiteral("config.ini")), config_before);
  }

  void TrustedCertificateStartsTheCollectorWithTheSecurity() {
    write_sqlite_config(*dir_, kSecuredUa);
    make_window();
    trust_server_->answers = {FakeTrustServer::untrusted(),
                              FakeTrustServer::with_state(pyqar::ServerTrust::State::Trusted)};
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    CertificateTrustDialog* dialog = wait_for_trust_dialog();
    QVERIFY(dialog != nullptr);
    dialog->trust_button()->click();
    QTRY_VERIFY_WITH_TIMEOUT(window_->collect_thread() != nullptr, kWorkDeadlineMsec);
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Stop Collecting"));
    QVERIFY(button("collect_button")->isEnabled());
    QVERIFY(!button("security_button")->isEnabled());
    const std::string pki = QDir(dir_->path()).filePath(QStringLiteral("pki")).toStdString();
    QCOMPARE(trust_server_->trusted, std::vector<std::string>{pki + "|0A1B2C3D"});
    QVERIFY(!trust_server_->ran_on_gui_thread);

    // The collector opens its source with the configured security.
    QTRY_VERIFY_WITH_TIMEOUT(opened_->count() > 0, kWorkDeadlineMsec);
    const pyqar::CreateSourceArgs args = opened_->first();
    QCOMPARE(args.source_schema, std::string("opc.tcp://127.0.0.1:4840"));
    QCOMPARE(args.ua_security.policy, pyqar::UaSecurityPolicy::Basic256Sha256);
    QCOMPARE(args.ua_security.mode, pyqar::UaSecurityMode::SignAndEncrypt);
    QCOMPARE(args.ua_security.username, std::string("operator"));
    QCOMPARE(args.ua_security.password, std::string("s3cret"));
    QCOMPARE(args.ua_security.pki_dir, pki);
    // The start saved the settings, the password with them: the file is the owner's alone.
    QCOMPARE(mode_of(dir_->file(QStringLiteral("config.ini"))), 0600u);

    button("collect_button")->click();
    QVERIFY(window_->collect_thread() == nullptr);
  }

  void FailedCertificateCheckIsShownAndReturnsToIdle() {
    write_sqlite_config(*dir_, kSecuredUa);
    make_window();
    trust_server_->check_error = "no endpoint offers Basic256Sha256 / SignAndEncrypt";
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QTRY_COMPARE_WITH_TIMEOUT(boxes_.boxes.size(), 1, kWorkDeadlineMsec);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Security Check Failed"));
    QVERIFY(boxes_.boxes.first().text.endsWith(
        QStringLiteral("no endpoint offers Basic256Sha256 / SignAndEncrypt")));
    QVERIFY(window_->collect_thread() == nullptr);
    QVERIFY(button("collect_button")->isEnabled());
    QVERIFY(button("import_button")->isEnabled());
    QCOMPARE(opened_->count(), 0);
  }

  void UnsecuredUaStartNeedsNoCheck() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = opc.tcp://127.0.0.1:4840\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QVERIFY(window_->collect_thread() != nullptr);
    QVERIFY(trust_server_->checked_urls.empty());
    QTRY_VERIFY_WITH_TIMEOUT(opened_->count() > 0, kWorkDeadlineMsec);
    QCOMPARE(opened_->first().ua_security.policy, pyqar::UaSecurityPolicy::None);
    QCOMPARE(opened_->first().ua_security.username, std::string());
    button("collect_button")->click();
  }

  // ---- Acquisition ----

  void AcquisitionChosenInTheDialogIsSavedAtStartAndReadBack() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = opc.tcp://127.0.0.1:4840\n");
    make_window();
    // Beside "Security…", for either OPC type.
    QCOMPARE(button("acquisition_button")->text(), QStringLiteral("Acquisition…"));
    QVERIFY(button("acquisition_button")->isEnabled());
    QCOMPARE(window_->acquisition().mode, pyqar::Acquisition::read);
    button("acquisition_button")->click();
    auto* dialog = window_->findChild<AcquisitionDialog*>();
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->isVisible());
    dialog->mode_combo()->setCurrentIndex(1);
    dialog->sampling_as_publishing()->setChecked(false);
    dialog->sampling_spin()->setValue(0.5);
    dialog->deadband_type_combo()->setCurrentText(QStringLiteral("percent"));
    dialog->deadband_spin()->setValue(1.5);
    dialog->heartbeat_spin()->setValue(30.0);
    dialog->ok_button()->click();
    QCOMPARE(window_->acquisition().mode, pyqar::Acquisition::subscribe);
    QCOMPARE(button("acquisition_button")->toolTip(),
             QStringLiteral("Acquisition: subscriptions (OPC UA), every change reported"));
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_acquisition"));
    window_->_save_collection_config(QStringLiteral("localhost"),
                                     QStringLiteral("opc.tcp://127.0.0.1:4840"));
    QVERIFY(dir_->read(QStringLiteral("config.ini")).contains("opc_acquisition = subscribe\n"));

    window_.reset();
    make_window();
    QCOMPARE(window_->acquisition().mode, pyqar::Acquisition::subscribe);
    QCOMPARE(window_->acquisition().monitor.sampling_interval_ms, 500.0);
    QCOMPARE(window_->acquisition().monitor.deadband_type, pyqar::DeadbandType::percent);
    QCOMPARE(window_->acquisition().monitor.deadband, 1.5);
    QCOMPARE(window_->acquisition().heartbeat_seconds, 30.0);
    button("acquisition_button")->click();
    dialog = window_->findChild<AcquisitionDialog*>();
    QCOMPARE(dialog->sampling_spin()->value(), 0.5);
  }

  void SubscribeIsRefusedForADaSourceBeforeAnythingIsRegistered() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n"
                        "opc_acquisition = subscribe\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    const QByteArray config_before = dir_->read(QStringLiteral("config.ini"));
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Error"));
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("Cannot start collecting: the OPC DA source "
                            "opc.da://localhost/OstrevoV2.1.0 has no subscriptions (only OPC UA "
                            "servers have them).\nChange it under \"Acquisition…\"."));
    QVERIFY(window_->collect_thread() == nullptr);
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Start Collecting"));
    QVERIFY(button("import_button")->isEnabled());
    QCOMPARE(dir_->read(QStringLiteral("config.ini")), config_before);
    QCOMPARE(opened_->count(), 0);
  }

  void BackfillIsChosenSavedAndRefusedForADaSource() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = opc.tcp://127.0.0.1:4840\n");
    make_window();
    button("acquisition_button")->click();
    auto* dialog = window_->findChild<AcquisitionDialog*>();
    QVERIFY(dialog != nullptr);
    QVERIFY(!dialog->backfill_check()->isChecked());
    dialog->backfill_check()->setChecked(true);
    dialog->backfill_max_age_spin()->setValue(3600.0);
    dialog->backfill_initial_spin()->setValue(900.0);
    dialog->backfill_rate_spin()->setValue(5000.0);
    dialog->ok_button()->click();
    QVERIFY(window_->acquisition().backfill.enabled);
    QCOMPARE(window_->collector_acquisition(QStringLiteral("opc.tcp://127.0.0.1:4840"))
                 .backfill.initial_seconds,
             900.0);
    window_->_save_collection_config(QStringLiteral("localhost"),
                                     QStringLiteral("opc.tcp://127.0.0.1:4840"));
    const QByteArray saved = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(saved.contains("opc_backfill = true\nopc_backfill_max_age = 3600.0\n"
                            "opc_backfill_initial = 900.0\nopc_backfill_rate = 5000.0\n"),
             saved.constData());

    window_.reset();
    make_window();
    QVERIFY(window_->acquisition().backfill.enabled);
    QCOMPARE(window_->acquisition().backfill.max_age_seconds, 3600.0);
    QCOMPARE(window_->acquisition().backfill.rate_values_per_second, 5000.0);

    // The same settings with the DA simulation: refused before anything is registered.
    window_.reset();
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n"
                        "opc_backfill = true\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("Cannot start collecting: the OPC DA source "
                            "opc.da://localhost/OstrevoV2.1.0 keeps no history to fill gaps from "
                            "(only OPC UA servers keep one).\nChange it under \"Acquisition…\"."));
    QVERIFY(window_->collect_thread() == nullptr);
    QCOMPARE(opened_->count(), 0);
  }

  void EventsAreChosenSavedAndRefusedForADaSource() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = opc.tcp://127.0.0.1:4840\n");
    make_window();
    button("acquisition_button")->click();
    auto* dialog = window_->findChild<AcquisitionDialog*>();
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->event_notifiers_edit()->text().isEmpty());
    dialog->event_notifiers_edit()->setText(QStringLiteral("i=2253"));
    dialog->event_fields_edit()->setText(QStringLiteral("ActiveState/Id"));
    dialog->ok_button()->click();
    QCOMPARE(
        window_->collector_acquisition(QStringLiteral("opc.tcp://127.0.0.1:4840")).events.notifiers,
        std::vector<std::string>{"i=2253"});
    window_->_save_collection_config(QStringLiteral("localhost"),
                                     QStringLiteral("opc.tcp://127.0.0.1:4840"));
    const QByteArray saved = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(saved.contains("opc_events = i=2253\nopc_event_fields = ActiveState/Id\n"),
             saved.constData());

    // The same settings with the DA simulation: refused before anything is registered.
    window_.reset();
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n"
                        "opc_events = i=2253\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("Cannot start collecting: the OPC DA source "
                            "opc.da://localhost/OstrevoV2.1.0 reports no events (only OPC UA "
                            "servers do).\nChange it under \"Acquisition…\"."));
    QVERIFY(window_->collect_thread() == nullptr);
    QCOMPARE(opened_->count(), 0);
  }

  void BackfillProgressShowsOnlyWhileOneRuns() {
    write_sqlite_config(*dir_);
    make_window();
    auto* bar = window_->findChild<QProgressBar*>(QStringLiteral("backfill_bar"));
    QVERIFY(bar != nullptr);
    QVERIFY(!bar->isVisibleTo(window_.get()));
    // A queue tick without a collector keeps it hidden.
    QTest::qWait(2 * window_->queue_timer()->interval());
    QVERIFY(!bar->isVisibleTo(window_.get()));

    quellin::BackfillProgress progress{
        .running = true, .tags_done = 1234, .tags_total = 2000, .values = 3'456'789};
    window_->show_backfill_progress(progress);
    QVERIFY(bar->isVisibleTo(window_.get()));
    QCOMPARE(bar->text(), QStringLiteral("Backfill: 1,234 of 2,000 tags, 3,456,789 values"));
    QCOMPARE(static_cast<double>(bar->value()) / bar->maximum(), 0.617);
    // Tags found while it runs: the share may only be told once there are tags at all.
    progress.tags_done = 0;
    progress.tags_total = 0;
    window_->show_backfill_progress(progress);
    QCOMPARE(bar->value(), 0);
    QVERIFY(bar->isVisibleTo(window_.get()));

    progress.running = false;
    window_->show_backfill_progress(progress);
    QVERIFY(!bar->isVisibleTo(window_.get()));
  }

  void TagListColumnsReachTheCollectorAndTheirFaultsStopTheStart() {
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = opc.tcp://127.0.0.1:4840\n"
                        "opc_acquisition = subscribe\n");
    make_window();
    const QString schema = QStringLiteral("opc.tcp://127.0.0.1:4840");
    dir_->write(QStringLiteral("tags.csv"),
                "FullTagName,Description,SamplingInterval,Deadband\n"
                "Plain,,,\nFast,,0.1,\nFiltered,,,2\n");
    import_csv(dir_->file("tags.csv"));
    QCOMPARE(window_->paginated_table()->all_data().size(), 3);
    // Without a deadband type the tag's own deadband cannot apply: refused at start.
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("Cannot start collecting: tag 'Filtered': Deadband 2 needs a deadband "
                            "type, absolute or percent, and opc_deadband_type is none.\nChange "
                            "it under \"Acquisition…\"."));
    QVERIFY(window_->collect_thread() == nullptr);

    button("acquisition_button")->click();
    auto* dialog = window_->findChild<AcquisitionDialog*>();
    dialog->deadband_type_combo()->setCurrentText(QStringLiteral("absolute"));
    dialog->ok_button()->click();
    const quellin::AcquisitionOptions given = window_->collector_acquisition(schema);
    QCOMPARE(given.tag_monitor.size(), std::size_t{2});
    QCOMPARE(given.tag_monitor.at("Fast").sampling_interval_ms, 100.0);
    QCOMPARE(given.tag_monitor.at("Filtered").deadband_type, pyqar::DeadbandType::absolute);
    QCOMPARE(given.tag_monitor.at("Filtered").deadband, 2.0);

    // A file without the columns replaces the per-tag settings with none.
    dir_->write(QStringLiteral("plain.csv"), "FullTagName,Description\nPlain,\n");
    import_csv(dir_->file("plain.csv"));
    QVERIFY(window_->collector_acquisition(schema).tag_monitor.empty());
  }

  // ---- DB status and the write count ----

  void WriteOutcomesUpdateTheStatusBar() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"A", "B", "C"}));
    emit window_->db_status_bridge()->db_write_status(true, 7);
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Writing successfully"));
    QCOMPARE(label("db_status_label")->styleSheet(), QStringLiteral("color: green"));
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 7 | Total: 3 records"));

    window_->update_db_status(false, 0);
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Write failed"));
    QCOMPARE(label("db_status_label")->styleSheet(), QStringLiteral("color: red"));
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 7 | Total: 3 records"));

    window_->update_db_status(true, 0);
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 0 | Total: 3 records"));

    window_->_reset_write_count_display();
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 0 | Total: 3 records"));
  }

  void RowsWaitingOnDiskShowInOrangeWithTheirCount() {
    write_sqlite_config(*dir_);
    make_window();
    emit window_->db_status_bridge()->spool_status(12000, false);
    QCOMPARE(label("db_status_label")->text(),
             QStringLiteral("DB Status: Buffering to disk (12,000 rows)"));
    QCOMPARE(label("db_status_label")->styleSheet(), QStringLiteral("color: orange"));
    emit window_->db_status_bridge()->spool_status(3500, true);
    QCOMPARE(label("db_status_label")->text(),
             QStringLiteral("DB Status: Replaying buffered rows (3,500 left)"));
    // The next successful write shows as before once the spool is empty.
    emit window_->db_status_bridge()->db_write_status(true, 2);
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Writing successfully"));
  }

  // ---- Merging results ----

  void NewestBatchWinsInOneTick() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"Demo.Tag1", "Demo.Tag2"}));
    queue({reading("Demo.Tag1", 1.5), reading("Demo.Tag2", 9.0, "Bad")});
    queue({reading("Demo.Tag1", 2.5)});
    window_->process_queue();
    const TableRows& rows = window_->paginated_table()->all_data();
    QCOMPARE(rows[0][3].toDouble(), 2.5);
    QCOMPARE(rows[0][4].toString(), QStringLiteral("Good"));
    // The newest batch lacks Demo.Tag2, even though an older one had it.
    QVERIFY(std::isnan(rows[1][3].toDouble()));
    QCOMPARE(rows[1][4].toString(), QStringLiteral("uncertain"));
    // The page shows the merged values.
    const QAbstractItemModel* model = window_->paginated_table()->table()->model();
    QCOMPARE(model->data(model->index(0, 3)).toDouble(), 2.5);
    QVERIFY(window_->data_deque().empty());
  }

  void EmptyBatchMarksEveryRowUncertain() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"A", "B"}));
    queue({reading("A", 1.0), reading("B", 2.0)});
    window_->process_queue();
    queue({});
    window_->process_queue();
    for (const TableRow& row : window_->paginated_table()->all_data()) {
      QVERIFY(std::isnan(row[3].toDouble()));
      QCOMPARE(row[4].toString(), QStringLiteral("uncertain"));
    }
  }

  void WhileSubscribingRowsWithoutAChangeKeepTheirValues() {
    ResultMerger merger;
    merger.set_keep_missing(true);
    TableRows rows = rows_for({"A", "B"});
    merger.merge({reading("A", 1.0), reading("B", 2.0)}, rows);
    merger.merge({reading("A", 3.0)}, rows);
    merger.merge({}, rows);
    QCOMPARE(rows[0][3].toDouble(), 3.0);
    QCOMPARE(rows[1][3].toDouble(), 2.0);
    QCOMPARE(rows[1][4].toString(), QStringLiteral("Good"));
  }

  void DuplicateRowsAndDuplicateReadings() {
    write_sqlite_config(*dir_);
    make_window();
    TableRows rows = rows_for({"A", "B", "A"});
    window_->_merge_results({reading("A", 1.0), reading("B", 2.0), reading("A", 3.0, "Bad")}, rows);
    QCOMPARE(rows[0][3].toDouble(), 3.0);
    QCOMPARE(rows[0][4].toString(), QStringLiteral("Bad"));
    QCOMPARE(rows[2][3].toDouble(), 3.0);
    QCOMPARE(rows[1][3].toDouble(), 2.0);
    // The same batch shape again goes through the remembered plan; the values still follow.
    window_->_merge_results({reading("A", 4.0), reading("B", 5.0), reading("A", 6.0)}, rows);
    QCOMPARE(rows[0][3].toDouble(), 6.0);
    QCOMPARE(rows[2][3].toDouble(), 6.0);
    QCOMPARE(rows[1][3].toDouble(), 5.0);
    // Rows renamed in place must not reuse the old plan.
    rows[1][1] = QStringLiteral("A");
    window_->_merge_results({reading("A", 7.0), reading("B", 8.0), reading("A", 9.0)}, rows);
    QCOMPARE(rows[1][3].toDouble(), 9.0);
  }

  void ValueKindsAreKeptForDisplay() {
    write_sqlite_config(*dir_);
    make_window();
    TableRows rows = rows_for({"I", "S", "E"});
    window_->_merge_results({{"I", std::int64_t{42}, "Good", {}},
                             {"S", std::string("on"), "Uncertain", {}},
                             {"E", std::monostate{}, "Bad", {}}},
                            rows);
    QCOMPARE(rows[0][3].toLongLong(), 42);
    QCOMPARE(rows[1][3].toString(), QStringLiteral("on"));
    QVERIFY(!rows[2][3].isValid());
  }

  void StatusNamesAndSourceTimesReachTheirCells() {
    using namespace std::chrono;
    write_sqlite_config(*dir_);
    make_window();
    const pyqar::Timestamp source = sys_days{year{2020} / 1 / 2} + 3h + 4min + 5s + 678ms + 999us;
    auto with = [&](const char* tag, pyqar::Value value, const char* quality,
                    std::optional<std::uint32_t> status) {
      return quellin::ResultTuple{tag, std::move(value), quality, {}, source, status};
    };
    window_->paginated_table()->set_data(
        rows_for({"Good", "Sensor", "Severity", "Unknown", "Old", "Text", "Count", "Missing"}));
    const quellin::ResultList batch = {
        with("Good", 1.5, "Good", 0x00960000),  // Good with a reason stays "Good"
        with("Sensor", 2.5, "Bad", 0x80050000),
        with("Severity", 3.5, "Uncertain", 0x40000000),
        with("Unknown", 4.5, "Bad", 0x8FFF0000),
        reading("Old", 5.5, "Bad"),  // no status, no source time: as before
        with("Text", std::string("on\noff"), "Good", 0),
        with("Count", std::numeric_limits<std::uint64_t>::max(), "Good", 0),
    };
    queue(batch);
    window_->process_queue();
    // The quality cell holds the word alone; the status name, when it says more, and the
    // source time are in the row's tooltip.
    const QStringList qualities = {"Good", "Bad",  "Uncertain", "Bad",
                                   "Bad",  "Good", "Good",      "uncertain"};
    const QStringList statuses = {
        "GoodLocalOverride", "BadCommunicationError", "", "0x8FFF0000", "", "", "", ""};
    const QAbstractItemModel* model = window_->paginated_table()->table()->model();
    const QStringList headers = {"DBID", "Tag Name", "Description", "Value", "Quality"};
    QCOMPARE(model->columnCount(), headers.size());
    for (int column = 0; column < headers.size(); ++column) {
      QCOMPARE(model->headerData(column, Qt::Horizontal).toString(), headers[column]);
    }
    for (int row = 0; row < qualities.size(); ++row) {
      QCOMPARE(model->data(model->index(row, 4)).toString(), qualities[row]);
      QCOMPARE(model->data(model->index(row, 4), Qt::ForegroundRole).isValid(),
               !qualities[row].startsWith(QStringLiteral("Good")));
      QStringList details;
      if (!statuses[row].isEmpty()) details.append(QStringLiteral("Status: ") + statuses[row]);
      const bool timed = row != 4 && row != 7;
      if (timed) details.append(QStringLiteral("Source time: 2020-01-02T03:04:05.678Z"));
      const QVariant tip = model->data(model->index(row, 4), Qt::ToolTipRole);
      QCOMPARE(tip.isValid(), !details.isEmpty());
      QCOMPARE(tip.toString(), details.join(u'\n'));
      QCOMPARE(model->data(model->index(row, 1), Qt::ToolTipRole), tip);
    }
    // A text value reads as text with its line break, an unsigned 64-bit count to its last
    // digit.
    QCOMPARE(model->data(model->index(5, 3)).toString(), QStringLiteral("on\noff"));
    QCOMPARE(model->data(model->index(5, 3), Qt::ToolTipRole).toString(),
             QStringLiteral("on\noff\nSource time: 2020-01-02T03:04:05.678Z"));
    QCOMPARE(model->data(model->index(6, 3)).toString(), QStringLiteral("18446744073709551615"));

    // The same codes again, from the remembered names; the quality word is the collector's.
    quellin::ResultList next = batch;
    next[1].quality = "Invalid";
    next[4].source_time.reset();
    queue(next);
    window_->process_queue();
    QCOMPARE(model->data(model->index(1, 4)).toString(), QStringLiteral("Invalid"));
    QVERIFY(model->data(model->index(1, 4), Qt::ToolTipRole)
                .toString()
                .startsWith(QStringLiteral("Status: BadCommunicationError\n")));
    QCOMPARE(model->data(model->index(3, 4)).toString(), QStringLiteral("Bad"));
    // A tag missing from the batch loses its status and time with its value.
    next.erase(next.begin() + 1);
    queue(next);
    window_->process_queue();
    QCOMPARE(model->data(model->index(1, 4)).toString(), QStringLiteral("uncertain"));
    QVERIFY(!model->data(model->index(1, 4), Qt::ToolTipRole).isValid());
  }

  void ContextMenuCopiesALongValueWhole() {
    write_sqlite_config(*dir_);
    make_window();
    QStringList items;
    for (int i = 0; i < 500; ++i) items.append(QString::number(i));
    const QString json = u'[' + items.join(u',') + u']';
    TableRows rows = rows_for({"Demo.Array"});
    rows[0][3] = json;
    window_->paginated_table()->set_data(rows);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTableView* view = window_->paginated_table()->table();
    const QModelIndex cell = view->model()->index(0, 3);
    QCOMPARE(view->model()->data(cell).toString(), json);
    window_->show_context_menu(view->visualRect(cell).center());
    QCOMPARE(menus_.size(), 1);
    QCOMPARE(QGuiApplication::clipboard()->text(), json);
  }

  void AHugeTextValueStaysWholeInItsCellAndBoundedElsewhere() {
    write_sqlite_config(*dir_);
    make_window();
    window_->resize(900, 500);
    window_->paginated_table()->set_data(rows_for({"Demo.Text", "Demo.Number"}));
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QTableView* view = window_->paginated_table()->table();
    const int value_width = view->columnWidth(3);
    const int tag_width = view->columnWidth(1);
    QString text;
    while (text.size() < 64 * 1024)
      text += QStringLiteral("line %1 of the text\n").arg(text.size());
    queue({quellin::ResultTuple{"Demo.Text", text.toStdString(), "Good", {}},
           reading("Demo.Number", 1.25)});
    window_->process_queue();
    const QAbstractItemModel* model = view->model();
    QCOMPARE(model->data(model->index(0, 3)).toString(), text);
    const QString tip = model->data(model->index(0, 3), Qt::ToolTipRole).toString();
    QVERIFY(tip.startsWith(QStringLiteral("line 0 of the text\n")));
    QVERIFY(tip.size() <= TableModel::kMaxToolTipChars + 40);
    QVERIFY(tip.count(u'\n') <= TableModel::kMaxToolTipLines);
    QVERIFY(tip.endsWith(QStringLiteral(" characters in all)")));
    // The text neither widens its column nor pushes the others aside, and rows keep one line.
    QCoreApplication::processEvents();
    QCOMPARE(view->columnWidth(3), value_width);
    QCOMPARE(view->columnWidth(1), tag_width);
    QCOMPARE(view->rowHeight(0), view->rowHeight(1));
    QVERIFY(view->grab().width() > 0);  // and it paints
  }

  void EmptyTickDoesNotRefreshTheTable() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"A"}));
    QSignalSpy resets(window_->paginated_table()->table_model(), &QAbstractItemModel::modelReset);
    QSignalSpy changes(window_->paginated_table()->table_model(), &QAbstractItemModel::dataChanged);
    window_->process_queue();
    QCOMPARE(resets.size(), 0);
    QCOMPARE(changes.size(), 0);
  }

  // ---- Configuration writer ----

  void WriterEditsTheFileInPlace() {
    const QByteArray before =
        "# Settings of the plant PC.\n[TSDBConnection]\ndriver = sqlite\ndata_dir = data\n"
        "dbname = tsdb_default\n\n; the collector\n[Kestrane]\nOPC_Schema = old\n"
        "tag_csv_path = old.csv\ncustom_key = kept\n\n[KestraneLogging]\nLog_Dir = logs\n";
    write_sqlite_config(*dir_);
    dir_->write(QStringLiteral("config.ini"), before);
    make_window();
    window_->_save_collection_config(QStringLiteral("plant-host"),
                                     QStringLiteral("opc.da://localhost/OstrevoV2.1.0"));
    // Only the changed value is replaced; the new keys follow the last entry of [Kestrane];
    // nothing was imported, so the old tag file stays.
    QCOMPARE(dir_->read(QStringLiteral("config.ini")),
             QByteArray("# Settings of the plant PC.\n[TSDBConnection]\ndriver = sqlite\n"
                        "data_dir = data\ndbname = tsdb_default\n\n; the collector\n[Kestrane]\n"
                        "OPC_Schema = opc.da://localhost/OstrevoV2.1.0\ntag_csv_path = old.csv\n"
                        "custom_key = kept\nopc_host = plant-host\nopc_type = OPC DA\n"
                        "opc_port = 0\n\n[KestraneLogging]\nLog_Dir = logs\n"));
    // Written through a file beside it that is renamed over it: no leftovers.
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.ini"});
  }

  void WriterAddsNoTagPathWhenNothingImported() {
    write_sqlite_config(*dir_);
    make_window();
    window_->_save_collection_config(QStringLiteral("localhost"), QStringLiteral("opc.da://x/Y"));
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("tag_csv_path"));
  }

  void WrittenPercentSignsReadBackUnchanged() {
    write_sqlite_config(*dir_);
    make_window();
    window_->_save_collection_config(QStringLiteral("host%1"), QStringLiteral("opc.da://a%b/S"));
    const auto config = journel::IniFile::read_file(dir_->file("config.ini").toStdString());
    QCOMPARE(config.get_string("Kestrane", "opc_host", ""), std::string("host%1"));
    QCOMPARE(config.get_string("Kestrane", "opc_schema", ""), std::string("opc.da://a%b/S"));
  }

  // ---- Import ----

  void ImportShowsUtf8AndGbkTags() {
    write_sqlite_config(*dir_);
    make_window();
    dir_->write(QStringLiteral("utf8.csv"),
                "\xEF\xBB\xBF"
                "FullTagName,Description\nDemo.Tag1, 锅炉温度 \n ,skipped\nDemo.Tag2,\n");
    import_csv(dir_->file("utf8.csv"));
    QVERIFY2(boxes_.boxes.isEmpty(),
             boxes_.boxes.isEmpty() ? "" : qPrintable(boxes_.boxes[0].text));
    const TableRows& rows = window_->paginated_table()->all_data();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0][1].toString(), QStringLiteral("Demo.Tag1"));
    QCOMPARE(rows[0][2].toString(), QStringLiteral("锅炉温度"));
    QCOMPARE(rows[0][0].toString(), QString());
    QCOMPARE(rows[1][3].toString(), QString());
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 0 | Total: 2 records"));
    QCOMPARE(window_->tag_csv_path(), std::optional<QString>(chosen_csv_));

    // 温度 in GBK.
    dir_->write(QStringLiteral("gbk.csv"), "FullTagName,Description\nDemo.Tag3,\xCE\xC2\xB6\xC8\n");
    import_csv(dir_->file("gbk.csv"));
    QCOMPARE(window_->paginated_table()->all_data().size(), 1);
    QCOMPARE(window_->paginated_table()->all_data()[0][2].toString(), QStringLiteral("温度"));
  }

  void ImportFindsTheIdsOfStoredTags() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    make_window();
    window_->paginated_table()->set_data(rows_for({"Known.Tag"}));
    start_and_wait();  // registers Known.Tag; stops at the missing import
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nNew.Tag,\nKnown.Tag,x\n");
    import_csv(dir_->file("tags.csv"));
    const TableRows& rows = window_->paginated_table()->all_data();
    QCOMPARE(rows[0][0].toString(), QString());
    QVERIFY(rows[1][0].toLongLong() > 0);
  }

  void CancelledDialogChangesNothing() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"A"}));
    queue({reading("A", 1.0)});
    chosen_csv_.clear();
    window_->import_tags_from_csv();
    QVERIFY(!window_->is_busy());
    QCOMPARE(window_->paginated_table()->all_data().size(), 1);
    QCOMPARE(window_->data_deque().size(), std::size_t{1});
    QVERIFY(!window_->tag_csv_path().has_value());
  }

  void ImportClearsQueuedResults() {
    write_sqlite_config(*dir_);
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nA,\n");
    queue({reading("A", 1.0)});
    import_csv(dir_->file("tags.csv"));
    QVERIFY(window_->data_deque().empty());
  }

  void BadCsvFilesGiveTheirBoxes_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("text");
    QTest::newRow("missing column")
        << QByteArray("FullTagName, Description\nA,x\n")
        << QStringLiteral("CSV 文件中缺少 FullTagName 或 Description 列");
    QTest::newRow("header only") << QByteArray("FullTagName,Description\n")
                                 << QStringLiteral("CSV 文件中没有有效的标签数据");
    QTest::newRow("blank names only") << QByteArray("FullTagName,Description\n  ,x\n")
                                      << QStringLiteral("CSV 文件中没有有效的标签数据");
    QTest::newRow("undecodable") << QByteArray("FullTagName,Description\nA,\xFF\xFF\n")
                                 << QStringLiteral("无法读取 CSV 文件：\n");
    QTest::newRow("short row") << QByteArray("FullTagName,Description\nA\n")
                               << QStringLiteral("无法读取 CSV 文件：\nline 2 has no value");
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("无法读取 CSV 文件：\n");
  }
  void BadCsvFilesGiveTheirBoxes() {
    QFETCH(QByteArray, content);
    QFETCH(QString, text);
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"Kept"}));
    dir_->write(QStringLiteral("bad.csv"), content);
    import_csv(dir_->file("bad.csv"));
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Error"));
    QCOMPARE(boxes_.boxes.first().icon, QMessageBox::Warning);
    QVERIFY2(boxes_.boxes.first().text.startsWith(text), qPrintable(boxes_.boxes.first().text));
    QCOMPARE(window_->paginated_table()->all_data().size(), 1);
    // The failed file is still remembered for the next save.
    QCOMPARE(window_->tag_csv_path(), std::optional<QString>(chosen_csv_));
    QVERIFY(button("import_button")->isEnabled());
  }

  // ---- Start checks and closing ----

  void BlankSchemaStopsTheStartAfterResettingTheCount() {
    write_sqlite_config(*dir_);
    make_window();
    window_->paginated_table()->set_data(rows_for({"A", "B"}));
    window_->update_db_status(true, 5);
    button("collect_button")->click();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text, QStringLiteral("Please select an OPC server schema."));
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 0 | Total: 2 records"));
    QVERIFY(window_->collect_thread() == nullptr);
  }

  void EmptyTableStopsTheStart() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    make_window();
    window_->start_collecting();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("No tags available for collection. Please import a CSV file first."));
  }

  void RowsWithoutImportStopTheStartAfterRegistering() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    make_window();
    window_->paginated_table()->set_data(rows_for({"Demo.Tag1"}));
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(
        boxes_.boxes.first().text,
        QStringLiteral("Please import a CSV file containing tags before starting collection."));
    // The sync ran first and filled the tag id.
    QVERIFY(!window_->paginated_table()->all_data()[0][0].toString().isEmpty());
    QVERIFY(button("collect_button")->isEnabled());
    QVERIFY(button("import_button")->isEnabled());
  }

  void RefusedSchemaLeavesTheWindowUsable() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = http://localhost/nothing\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Unexpected Error"));
    QVERIFY2(boxes_.boxes.first().text.contains(QStringLiteral("Invalid OPC schema format")),
             qPrintable(boxes_.boxes.first().text));
    QVERIFY(combo("server_combo")->isEnabled());
    QVERIFY(button("import_button")->isEnabled());
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Start Collecting"));
    QVERIFY(window_->collect_thread() == nullptr);
  }

  void ASpoolFolderInUseStopsTheStartWithItsMessage() {
    // A folder the operator named is meant to be this program's own.
    write_sqlite_config(
        *dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\nspool_dir = spool\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    // Another collector holds the folder; its own open of the lock file conflicts as another
    // process's would.
    const quellin::Spool holder(
        {.dir = dir_->file(QStringLiteral("spool")).toStdString(), .max_bytes = 1 << 20});
    start_and_wait();
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().text,
             QStringLiteral("spool folder 'spool' is in use by another process"));
    QVERIFY(window_->collect_thread() == nullptr);
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Start Collecting"));
    QVERIFY(button("import_button")->isEnabled());
    QVERIFY(combo("server_combo")->isEnabled());
  }

  void ADefaultSpoolFolderInUseIsWarnedOfAndCollectedWithout() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    // Another program started in this working directory holds the default folder.
    const quellin::Spool holder(
        {.dir = dir_->file(QStringLiteral("spool")).toStdString(), .max_bytes = 1 << 20});
    kestrane_test::LogCapture log("Kestrane");
    start_and_wait();
    QVERIFY2(boxes_.boxes.isEmpty(), qPrintable(boxes_.boxes.value(0).text));
    QVERIFY(window_->collect_thread() != nullptr);
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Stop Collecting"));
    QCOMPARE(log.count("WARNING spool folder 'spool' is in use by another process: another "
                       "program holds its lock; running without the spool: rows that cannot be "
                       "written are dropped (set spool_dir in [Kestrane] to a folder of this "
                       "program's own to keep them)"),
             1);
    const TableRows& rows = window_->paginated_table()->all_data();
    QTRY_COMPARE_WITH_TIMEOUT(rows[0][4].toString(), QStringLiteral("Good"), 5000);
  }

  void CollectsFromTheSimulationAndStops() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"),
                "FullTagName,Description\nDemo.Tag1,sine\nDemo.Count1,counter\nNo.Such,bad\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QVERIFY(window_->collect_thread() != nullptr);
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Stop Collecting"));
    QVERIFY(!combo("server_combo")->isEnabled());
    const TableRows& rows = window_->paginated_table()->all_data();
    QTRY_COMPARE_WITH_TIMEOUT(rows[0][4].toString(), QStringLiteral("Good"), 5000);
    QCOMPARE(rows[2][4].toString(), QStringLiteral("Bad"));
    QTRY_COMPARE_WITH_TIMEOUT(label("db_status_label")->text(),
                              QStringLiteral("DB Status: Writing successfully"), 5000);
    // A collection that runs asks before the window closes; No keeps it running.
    boxes_.answer = QMessageBox::No;
    QVERIFY(!window_->close());
    QCOMPARE(boxes_.boxes.last().title, QStringLiteral("Confirm Exit"));
    QVERIFY(window_->collect_thread()->is_alive());

    button("collect_button")->click();
    // The stop runs in the background; the window shows it and goes back to idle after.
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Stopping…"));
    QVERIFY(!button("collect_button")->isEnabled());
    QVERIFY(window_->is_busy());
    QTRY_COMPARE_WITH_TIMEOUT(button("collect_button")->text(), QStringLiteral("Start Collecting"),
                              kWorkDeadlineMsec);
    QVERIFY(button("collect_button")->isEnabled());
    QVERIFY(window_->collect_thread() == nullptr);
    QCOMPARE(label("db_status_label")->text(), QStringLiteral("DB Status: Connected"));
    QVERIFY(combo("server_combo")->isEnabled());
    const QByteArray saved = dir_->read(QStringLiteral("config.ini"));
    QVERIFY(saved.contains("tag_csv_path = " + chosen_csv_.toUtf8()));

    const qsizetype boxes_before = boxes_.boxes.size();
    QVERIFY(window_->close());
    QCOMPARE(boxes_.boxes.size(), boxes_before);
  }

  void StartKeepsTheCommentsOfTheShippedConfig() {
    QFile shipped(QStringLiteral(KESTRANE_SOURCE_DIR "/config.ini"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    const QByteArray before = shipped.readAll();
    dir_->write(QStringLiteral("config.ini"), before);
    make_window();
    dir_->write(QStringLiteral("mine.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("mine.csv"));
    start_and_wait();
    QVERIFY(window_->collect_thread() != nullptr);
    button("collect_button")->click();

    // Every line stays where it was but the tag file's; the window's own keys are added.
    const QList<QByteArray> old_lines = before.split('\n');
    const QList<QByteArray> new_lines = dir_->read(QStringLiteral("config.ini")).split('\n');
    QList<QByteArray> expected;
    for (const QByteArray& line : old_lines) {
      expected << (line.startsWith("tag_csv_path") ? "tag_csv_path = " + chosen_csv_.toUtf8()
                                                   : line);
      if (line.startsWith("batch_size"))
        expected << "opc_host = localhost"
                 << "opc_port = 0";
    }
    QCOMPARE(new_lines, expected);
  }

  void ClosingWhileCollectingStopsInTheBackgroundThenCloses() {
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QVERIFY(window_->collect_thread() != nullptr);
    boxes_.answer = QMessageBox::Yes;
    // The window stays, and answers, while the collector stops off the GUI thread.
    QVERIFY(!window_->close());
    QCOMPARE(boxes_.boxes.last().title, QStringLiteral("Confirm Exit"));
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Stopping…"));
    QVERIFY(window_->queue_timer()->isActive());
    const qsizetype boxes_before = boxes_.boxes.size();
    QVERIFY(!window_->close());  // asked again meanwhile: still waits, asks nothing
    QCOMPARE(boxes_.boxes.size(), boxes_before);
    // Once stopped, it closes by itself.
    QTRY_VERIFY_WITH_TIMEOUT(!window_->queue_timer()->isActive(), kWorkDeadlineMsec);
    QVERIFY(window_->collect_thread() == nullptr);
    QVERIFY(!window_->is_busy());
  }

  void CollectorThatEndsByItselfReturnsToIdle() {
    // The simulation knows no such server: the collector's first connection fails and its
    // thread ends.
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/NoSuchServer\n");
    make_window();
    dir_->write(QStringLiteral("tags.csv"), "FullTagName,Description\nDemo.Tag1,\n");
    import_csv(dir_->file("tags.csv"));
    start_and_wait();
    QTRY_COMPARE_WITH_TIMEOUT(button("collect_button")->text(), QStringLiteral("Start Collecting"),
                              10000);
    QVERIFY(window_->collect_thread() == nullptr);
    for (const char* name : {"host_input", "server_combo", "import_button", "tsdb_combo",
                             "opc_type_combo", "collect_button"}) {
      QVERIFY2(widget(name)->isEnabled(), name);
    }
    QCOMPARE(boxes_.boxes.size(), 1);
    QCOMPARE(boxes_.boxes.first().title, QStringLiteral("Collection Stopped"));
    QVERIFY2(boxes_.boxes.first().text.contains(QStringLiteral("DA source disconnected")),
             qPrintable(boxes_.boxes.first().text));
    QVERIFY2(label("status_label")->text().contains(QStringLiteral("DA source disconnected")),
             qPrintable(label("status_label")->text()));
    QCOMPARE(label("status_label")->styleSheet(), QStringLiteral("color: red"));
    // Closing asks nothing: no collection runs.
    QVERIFY(window_->close());
    QCOMPARE(boxes_.boxes.size(), 1);
  }

 private:
  struct EnumerateCall {
    QString host;
    int max_servers;
    int port;
  };

  void make_window(bool fake_discovery = true) {
    MainWidget::Hooks hooks;
    hooks.message_box = boxes_.fn();
    hooks.choose_csv_file = [this](QWidget*) { return chosen_csv_; };
    hooks.run_menu = [this](QMenu& menu, const QPoint&) -> QAction* {
      QStringList titles;
      for (QAction* action : menu.actions()) titles << action->text();
      menus_.append(titles);
      return menu.actions().value(0);
    };
    if (fake_discovery) {
      hooks.enumerate = [this](const QString& host, int max_servers, int port) {
        if (hold_enumerate_ != nullptr) hold_enumerate_->tryAcquire(1, kWorkDeadlineMsec);
        enumerate_calls_.append({host, max_servers, port});
        if (!enumerate_error_.isEmpty()) {
          throw std::runtime_error(enumerate_error_.toStdString());
        }
        return servers_;
      };
    }
    hooks.endpoints = [this](const std::string& url) {
      ++endpoint_calls_;
      if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        endpoints_on_gui_thread_ = true;
      }
      const auto found = endpoints_.find(url);
      if (found == endpoints_.end()) throw std::runtime_error(url + " does not answer");
      return found->second;
    };
    hooks.trust = trust_server_->functions();
    // DA sources as the library makes them; the simulation stands in for any OPC UA server.
    hooks.source_factory = [opened = opened_](const pyqar::CreateSourceArgs& args) {
      opened->add(args);
      const bool ua = args.source_type == static_cast<int>(pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA);
      return pyqar::make_da_source(ua ? "opc.da://localhost/OstrevoV2.1.0" : args.source_schema,
                                   args.sample_timespan_msec);
    };
    window_ = std::make_unique<MainWidget>(std::move(hooks));
  }

  // The trust dialog the start opened, once it shows; nullptr when none shows in time.
  CertificateTrustDialog* wait_for_trust_dialog() {
    const QDeadlineTimer deadline(kWorkDeadlineMsec);
    while (!deadline.hasExpired()) {
      auto* found = window_->findChild<CertificateTrustDialog*>();
      if (found != nullptr && found->isVisible()) return found;
      QTest::qWait(10);
    }
    return nullptr;
  }

  // Runs a discovery with what the window shows and waits for its end.
  void discover() {
    QSignalSpy done(window_.get(), &MainWidget::discovery_finished);
    window_->enumerate_servers();
    QVERIFY(done.wait(kWorkDeadlineMsec));
  }

  // Imports `path` through the import button's slot and waits for the work to end.
  void import_csv(const QString& path) {
    chosen_csv_ = path;
    QSignalSpy done(window_.get(), &MainWidget::tag_work_finished);
    window_->import_tags_from_csv();
    QVERIFY(done.wait(kWorkDeadlineMsec));
  }

  // Presses "Start Collecting" and waits for the tag registration to end, when it began.
  void start_and_wait() {
    QSignalSpy done(window_.get(), &MainWidget::tag_work_finished);
    window_->start_collecting();
    if (window_->is_busy()) QVERIFY(done.wait(kWorkDeadlineMsec));
  }

  void queue(quellin::ResultList batch) {
    const std::lock_guard<std::mutex> lock(window_->deque_lock());
    window_->data_deque().push_back(std::move(batch));
  }

  QWidget* widget(const char* name) const {
    auto* found = window_->findChild<QWidget*>(QString::fromLatin1(name));
    if (found == nullptr) qFatal("no widget %s", name);
    return found;
  }
  QLabel* label(const char* name) const { return qobject_cast<QLabel*>(widget(name)); }
  QLineEdit* line(const char* name) const { return qobject_cast<QLineEdit*>(widget(name)); }
  QComboBox* combo(const char* name) const { return qobject_cast<QComboBox*>(widget(name)); }
  QPushButton* button(const char* name) const { return qobject_cast<QPushButton*>(widget(name)); }

  std::unique_ptr<ScratchDir> dir_;
  std::unique_ptr<MainWidget> window_;
  MessageBoxRecorder boxes_;
  QList<EnumerateCall> enumerate_calls_;
  QStringList servers_;
  QString enumerate_error_;
  // When set, the discovery waits for a release before it answers.
  QSemaphore* hold_enumerate_ = nullptr;
  QString chosen_csv_;
  QList<QStringList> menus_;
  // Read by the discovery's thread while the test waits.
  std::map<std::string, std::vector<pyqar::UaEndpointInfo>> endpoints_;
  std::atomic<int> endpoint_calls_{0};
  std::atomic<bool> endpoints_on_gui_thread_{false};
  std::unique_ptr<FakeTrustServer> trust_server_ = std::make_unique<FakeTrustServer>();
  std::shared_ptr<OpenedSources> opened_ = std::make_shared<OpenedSources>();
};

KESTRANE_TEST_MAIN(TestMainWidget)
#include "tst_mainwidget.moc"
