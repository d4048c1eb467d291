// "Browse Server…" in the window, over an address space in memory: when the button may be
// used, a server that cannot be reached, browsing that leaves the GUI thread free, the checked
// variables joining the tag table through the same id lookup as a file's, a dialog closed
// while the server is still answering, and the real client against the node-opcua server.

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QMap>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTreeView>
#include <memory>
#include <thread>

#include "Kestrane/browsedialog.h"
#include "Kestrane/browsetreemodel.h"
#include "Kestrane/certificatetrustdialog.h"
#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/tagtasks.h"
#include "fakeaddressspace.h"
#include "testsupport.h"
#include "tidewell/tidewell.h"
#include "ua_test_server.h"

namespace {

// Answers come within milliseconds; these only end a hang.
constexpr int kAnswerDeadlineMsec = 10000;
constexpr int kWorkDeadlineMsec = 60000;

const QString kUrl = QStringLiteral("opc.tcp://127.0.0.1:4840");
const QString kNs = QStringLiteral("nsu=urn:test:plant;s=");
const QByteArray kSecuredConfig = "[Kestrane]\nopc_type = OPC UA\nopc_schema = " + kUrl.toUtf8() +
                                  "\nopc_security_policy = Basic256Sha256\n"
                                  "opc_security_mode = Sign\n";

}  // namespace

class TestBrowseDialog : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = std::make_unique<ScratchDir>();
    boxes_ = MessageBoxRecorder();
    trust_server_ = std::make_unique<FakeTrustServer>();
    space_ = make_plant();
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = " + kUrl.toUtf8() + "\n");
  }
  void cleanup() {
    window_.reset();
    dir_.reset();
  }

  void BrowseButtonNeedsAnOpcUaAddress() {
    make_window();
    QPushButton* browse = button("browse_button");
    QVERIFY(browse->isEnabled());
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC DA"));
    QVERIFY(!browse->isEnabled());
    combo("opc_type_combo")->setCurrentText(QStringLiteral("OPC UA"));
    combo("server_combo")->setCurrentText(QStringLiteral("opc.da://localhost/Server"));
    QVERIFY(!browse->isEnabled());
    combo("server_combo")->setCurrentText(QStringLiteral("  OPC.TCP://plant:4840 "));
    QVERIFY(browse->isEnabled());
    // Held with the import button while collecting.
    window_->_set_controls_enabled(false);
    QVERIFY(!browse->isEnabled());
    window_->_set_controls_enabled(true);
    QVERIFY(browse->isEnabled());
  }

  void BrowsingLeavesTheGuiThreadFree() {
    make_window(space_->factory());
    space_->hold();
    BrowseDialog* dialog = open_dialog();
    // The click has returned while the server still holds its answer.
    QTest::qWait(50);
    QCOMPARE(dialog->model()->rowCount(), 0);
    space_->release();
    QTRY_COMPARE_WITH_TIMEOUT(dialog->model()->rowCount(), 2, kAnswerDeadlineMsec);
    QVERIFY(!space_->called_on(std::this_thread::get_id()));
  }

  void ValuesAndUnitsOfExpandedVariablesAreReadOnTheWorkerThread() {
    pyqar::VariableDetails temp;
    temp.value = "12.5";
    temp.unit = "\u00b0C";
    space_->set_details((kNs + "Boiler.Temp").toStdString(), temp);
    make_window(space_->factory());
    BrowseDialog* dialog = open_dialog();
    BrowseTreeModel* model = dialog->model();
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, kAnswerDeadlineMsec);
    const QModelIndex plant = model->index(0, 0);
    dialog->tree()->expand(plant);
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(plant), 3, kAnswerDeadlineMsec);
    const QModelIndex boiler = model->index(0, 0, plant);
    space_->hold();
    dialog->tree()->expand(boiler);
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(boiler), 4, kAnswerDeadlineMsec);
    // The type came with the browse; the value waits for the server, the dialog does not.
    QCOMPARE(model->index(0, BrowseTreeModel::kDataTypeColumn, boiler).data().toString(),
             QStringLiteral("Double"));
    QVERIFY(model->index(0, BrowseTreeModel::kValueColumn, boiler).data().isNull());
    space_->release();
    QTRY_COMPARE_WITH_TIMEOUT(model->index(0, BrowseTreeModel::kValueColumn, boiler).data(),
                              QVariant(QStringLiteral("12.5")), kAnswerDeadlineMsec);
    QCOMPARE(model->index(0, BrowseTreeModel::kUnitColumn, boiler).data().toString(),
             QStringLiteral("\u00b0C"));
    // Only the expanded folder's variables were asked for, once.
    QCOMPARE(space_->details_asked().size(), std::size_t{1});
    QCOMPARE(space_->details_asked().front().size(), std::size_t{4});
    QVERIFY(!space_->called_on(std::this_thread::get_id()));
  }

  void ImportSelectedAddsEveryVariableBelowToTheTable() {
    make_window(space_->factory());
    dir_->write(QStringLiteral("tags.csv"),
                "FullTagName,Description\nExisting.Tag,From the file\n" + kNs.toUtf8() +
                    "Boiler.Temp,Temp from the file\n");
    run_and_wait([this] { window_->import_tags_from_csv(); });
    QCOMPARE(window_->paginated_table()->all_data().size(), 2);
    // A tag the database knows already gets its id, as in a file's import.
    tidewell::TagInfo known;
    known.tag_name = (kNs + "Pump1.Speed").toStdString();
    const auto stored = tidewell::insert_new_tag(*window_->tsdb_conn(), known);
    QVERIFY(stored.ok);

    BrowseDialog* dialog = open_dialog();
    QTRY_COMPARE_WITH_TIMEOUT(dialog->model()->rowCount(), 2, kAnswerDeadlineMsec);
    const QModelIndex plant = dialog->model()->index(0, 0);
    QVERIFY(dialog->model()->setData(plant, Qt::Checked, Qt::CheckStateRole));
    QPushButton* import = dialog_button(dialog, "import_selected_button");
    QVERIFY(import->isEnabled());
    run_and_wait([&] { import->click(); });

    const TableRows rows = window_->paginated_table()->all_data();
    QStringList names;
    for (const TableRow& row : rows) names << row[1].toString();
    QCOMPARE(names, QStringList({"Existing.Tag", kNs + "Boiler.Temp", kNs + "Boiler.Pressure",
                                 kNs + "Flow", kNs + "Pump1.Speed", kNs + "Pump1.Running"}));
    QCOMPARE(rows[1][2].toString(), QStringLiteral("Temp from the file"));
    QCOMPARE(rows[2][2].toString(), QStringLiteral("Plant/Boiler/Pressure"));
    QCOMPARE(rows[2][0].toString(), QString());
    QCOMPARE(rows[4][0].toLongLong(), static_cast<qlonglong>(*stored.data->tag_id));
    QVERIFY(boxes_.boxes.isEmpty());
  }

  void CheckedNodesWithoutNumericVariablesKeepTheDialogOpen() {
    make_window(space_->factory());
    QPointer<BrowseDialog> dialog = open_dialog();
    QTRY_COMPARE_WITH_TIMEOUT(dialog->model()->rowCount(), 2, kAnswerDeadlineMsec);
    QVERIFY(dialog->model()->setData(dialog->model()->index(1, 0), Qt::Checked,
                                     Qt::CheckStateRole));  // the Server folder: nothing below
    dialog_button(dialog, "import_selected_button")->click();
    auto* status = dialog->findChild<QLabel*>(QStringLiteral("browse_status"));
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QStringLiteral("No numeric variable")),
                             kAnswerDeadlineMsec);
    QVERIFY(dialog->isVisible());
    QVERIFY(window_->paginated_table()->all_data().isEmpty());
    QVERIFY(!window_->tag_tasks()->has_tag_list());
  }

  void ClosingWhileTheServerIsAnsweringImportsNothing() {
    make_window(space_->factory());
    QPointer<BrowseDialog> dialog = open_dialog();
    QTRY_COMPARE_WITH_TIMEOUT(dialog->model()->rowCount(), 2, kAnswerDeadlineMsec);
    QVERIFY(
        dialog->model()->setData(dialog->model()->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QSignalSpy chosen(dialog.data(), &BrowseDialog::tags_chosen);
    space_->hold();
    dialog_button(dialog, "import_selected_button")->click();
    std::thread server([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      space_->release();
    });
    dialog->reject();
    QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kAnswerDeadlineMsec);
    server.join();
    QCOMPARE(chosen.count(), 0);
    QVERIFY(window_->paginated_table()->all_data().isEmpty());
    QVERIFY(!window_->is_busy());
  }

  void SecuredServerIsOfferedForTrustBeforeTheBrowseOpens() {
    write_sqlite_config(*dir_, kSecuredConfig);
    trust_server_->answers = {FakeTrustServer::untrusted(),
                              FakeTrustServer::with_state(pyqar::ServerTrust::State::Trusted)};
    make_window(space_->factory());
    button("browse_button")->click();
    CertificateTrustDialog* trust = wait_for_trust_dialog();
    QVERIFY(trust != nullptr);
    QVERIFY(window_->findChild<BrowseDialog*>() == nullptr);
    // While the operator decides, neither a start nor a second browse can begin.
    QVERIFY(!button("browse_button")->isEnabled());
    QVERIFY(!button("collect_button")->isEnabled());
    trust->trust_button()->click();
    QTRY_VERIFY_WITH_TIMEOUT(window_->findChild<BrowseDialog*>() != nullptr, kWorkDeadlineMsec);
    QTRY_COMPARE_WITH_TIMEOUT(window_->findChild<BrowseDialog*>()->model()->rowCount(), 2,
                              kAnswerDeadlineMsec);
    const std::string pki = QDir(dir_->path()).filePath(QStringLiteral("pki")).toStdString();
    QCOMPARE(trust_server_->trusted, std::vector<std::string>{pki + "|0A1B2C3D"});
    QCOMPARE(trust_server_->checked_urls.front(), kUrl.toStdString());
    QCOMPARE(trust_server_->checked_security.front().policy,
             pyqar::UaSecurityPolicy::Basic256Sha256);
  }

  void RejectedServerCertificateOpensNoBrowse() {
    write_sqlite_config(*dir_, kSecuredConfig);
    trust_server_->answers = {FakeTrustServer::untrusted()};
    make_window(space_->factory());
    button("browse_button")->click();
    CertificateTrustDialog* trust = wait_for_trust_dialog();
    QVERIFY(trust != nullptr);
    trust->reject_button()->click();
    QTRY_VERIFY_WITH_TIMEOUT(button("browse_button")->isEnabled(), kWorkDeadlineMsec);
    QVERIFY(button("collect_button")->isEnabled());
    QVERIFY(window_->findChild<BrowseDialog*>() == nullptr);
    QVERIFY(trust_server_->trusted.empty());
  }

  void RealClientNamesTheAddressItCannotReach() {
    // Nothing listens on port 1 of the loopback address.
    write_sqlite_config(*dir_,
                        "[Kestrane]\nopc_type = OPC UA\nopc_schema = opc.tcp://127.0.0.1:1\n");
    make_window();
    BrowseDialog* dialog = open_dialog();
    auto* status = dialog->findChild<QLabel*>(QStringLiteral("browse_status"));
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QStringLiteral("Cannot browse")),
                             kWorkDeadlineMsec);
    QVERIFY(status->text().contains(QStringLiteral("opc.tcp://127.0.0.1:1")));
    QCOMPARE(dialog->model()->rowCount(), 0);
    QVERIFY(!dialog_button(dialog, "import_selected_button")->isEnabled());
    QVERIFY(boxes_.boxes.isEmpty());
  }

  void RealClientImportsAFolderOfALiveServer() {
    if (const auto why = kestrane_test::UaTestServer::unavailable_reason()) {
      QSKIP(why->c_str());
    }
    kestrane_test::UaTestServer::Options options;
    options.tags = 3;
    kestrane_test::UaTestServer server(options);
    write_sqlite_config(*dir_, "[Kestrane]\nopc_type = OPC UA\nopc_schema = " +
                                   QByteArray::fromStdString(server.url()) + "\n");
    make_window();
    BrowseDialog* dialog = open_dialog();
    BrowseTreeModel* model = dialog->model();
    QModelIndex demo;
    QTRY_VERIFY_WITH_TIMEOUT((demo = find_row(model, QStringLiteral("Demo"))).isValid(),
                             kWorkDeadlineMsec);
    QVERIFY(model->setData(demo, Qt::Checked, Qt::CheckStateRole));
    run_and_wait([&] { dialog_button(dialog, "import_selected_button")->click(); });

    const QString prefix = QStringLiteral("nsu=urn:kestrane:demo;s=");
    QMap<QString, QString> descriptions;
    for (const TableRow& row : window_->paginated_table()->all_data()) {
      const QString name = row[1].toString();
      QVERIFY2(name.startsWith(prefix), qPrintable(name));
      QVERIFY2(!descriptions.contains(name), qPrintable(name));
      descriptions.insert(name, row[2].toString());
    }
    for (const char* tag :
         {"Demo.Tag1", "Demo.Count3", "Demo.Random2", "Demo.Boolean", "Demo.Int32"}) {
      QVERIFY2(descriptions.contains(prefix + QLatin1String(tag)), tag);
    }
    QVERIFY(!descriptions.contains(prefix + QStringLiteral("Demo.String")));
    QCOMPARE(descriptions.value(prefix + QStringLiteral("Demo.Tag1")),
             QStringLiteral("Demo/Demo.Tag1"));
  }

 private:
  static QModelIndex find_row(BrowseTreeModel* model, const QString& name) {
    for (int row = 0; row < model->rowCount(); ++row) {
      if (model->index(row, 0).data().toString() == name) return model->index(row, 0);
    }
    return {};
  }

  void make_window(BrowseSourceFactory factory = {}) {
    MainWidget::Hooks hooks;
    hooks.message_box = boxes_.fn();
    hooks.choose_csv_file = [this](QWidget*) { return dir_->file(QStringLiteral("tags.csv")); };
    hooks.browse_source = std::move(factory);
    hooks.trust = trust_server_->functions();
    window_ = std::make_unique<MainWidget>(std::move(hooks));
  }

  // The certificate trust dialog, once it shows; nullptr when none shows in time.
  CertificateTrustDialog* wait_for_trust_dialog() {
    const QDeadlineTimer deadline(kWorkDeadlineMsec);
    while (!deadline.hasExpired()) {
      auto* found = window_->findChild<CertificateTrustDialog*>();
      if (found != nullptr && found->isVisible()) return found;
      QTest::qWait(10);
    }
    return nullptr;
  }

  BrowseDialog* open_dialog() {
    button("browse_button")->click();
    auto* dialog = window_->findChild<BrowseDialog*>();
    if (dialog == nullptr) qFatal("no browse dialog");
    return dialog;
  }

  // Runs `action` and waits until the background work it started has ended.
  template <class Action>
  void run_and_wait(Action action) {
    QSignalSpy done(window_.get(), &MainWidget::tag_work_finished);
    action();
    QVERIFY(done.count() > 0 || done.wait(kWorkDeadlineMsec));
  }

  QPushButton* button(const char* name) const {
    auto* found = window_->findChild<QPushButton*>(QString::fromLatin1(name));
    if (found == nullptr) qFatal("no button %s", name);
    return found;
  }
  QComboBox* combo(const char* name) const {
    auto* found = window_->findChild<QComboBox*>(QString::fromLatin1(name));
    if (found == nullptr) qFatal("no combo box %s", name);
    return found;
  }
  static QPushButton* dialog_button(QDialog* dialog, const char* name) {
    auto* found = dialog->findChild<QPushButton*>(QString::fromLatin1(name));
    if (found == nullptr) qFatal("no button %s", name);
    return found;
  }

  std::unique_ptr<ScratchDir> dir_;
  std::unique_ptr<MainWidget> window_;
  MessageBoxRecorder boxes_;
  std::unique_ptr<FakeTrustServer> trust_server_ = std::make_unique<FakeTrustServer>();
  std::shared_ptr<FakeAddressSpace> space_;
};

KESTRANE_TEST_MAIN(TestBrowseDialog)

#include "tst_browsedialog.moc"
