// The desktop program end to end: a real window on the offscreen platform, the real PostgreSQL
// of the test harness and the simulated OPC DA server. Import a tag list, discover the server,
// start collecting, see Good values and the write status, stop, close.

#include <libpq-fe.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Kestrane/paginatedtablewidget.h"
#include "scratch_postgres_database.h"
#include "testsupport.h"

namespace {

// Background work takes well under a second here; this only ends a hang.
constexpr int kWorkDeadlineMsec = 30000;

// Runs one statement; returns the first cell of the first row, or the error text.
QString run(PGconn* conn, const QString& sql) {
  tidewell::PgResultPtr result(PQexec(conn, sql.toUtf8().constData()));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return QStringLiteral("error: ") + QString::fromUtf8(PQerrorMessage(conn));
  }
  if (status == PGRES_TUPLES_OK && PQntuples(result.get()) > 0) {
    return QString::fromUtf8(PQgetvalue(result.get(), 0, 0));
  }
  return {};
}

}  // namespace

class TestEndToEnd : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const auto server = kestrane_test::postgres_server_settings();
    if (!server) {
      QSKIP(
          "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL for the end-to-end test "
          "(scripts/test provides one)");
    }
    try {
      database_.emplace(*server, "kestrane_desktop_e2e");
    } catch (const std::exception& e) {
      QFAIL(e.what());
    }
    host_ = QString::fromStdString(database_->settings().host);
    dbname_ = QString::fromStdString(database_->settings().dbname);
  }

  void cleanupTestCase() { database_.reset(); }

  void CollectsGoodValuesIntoPostgresAndStops() {
    ScratchDir dir;
    dir.write(QStringLiteral("config.ini"),
              QStringLiteral("[TSDBConnection]\nhost = %1\nport = %2\nuser = %3\npassword = %4\n"
                             "dbname = %5\nautocommit = false\n\n"
                             "[Kestrane]\nopc_type = OPC DA\nopc_host = localhost\n\n"
                             "[KestraneLogging]\nlevel = INFO\n")
                  .arg(host_)
                  .arg(database_->settings().port)
                  .arg(QString::fromStdString(database_->settings().user),
                       QString::fromStdString(database_->settings().password)
                           .replace(QLatin1Char('%'), QStringLiteral("%%")),
                       dbname_)
                  .toUtf8());
    dir.write(QStringLiteral("tags.csv"),
              "FullTagName,Description\n"
              "Demo.Tag1,Sine 1\nDemo.Tag2,Sine 2\nDemo.Count1,Counter\nDemo.Random1,Random\n"
              "Demo.CCCTag10,\xE9\x94\x85\xE7\x82\x89\n");

    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks;
    hooks.message_box = boxes.fn();
    hooks.choose_csv_file = [&dir](QWidget*) { return dir.file(QStringLiteral("tags.csv")); };
    MainWidget window(hooks);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(),
             QStringLiteral("OPC Data Widget [TSDB connected: %1/%2]").arg(host_, dbname_));

    auto* import_button = window.findChild<QPushButton*>(QStringLiteral("import_button"));
    auto* collect_button = window.findChild<QPushButton*>(QStringLiteral("collect_button"));
    auto* server_combo = window.findChild<QComboBox*>(QStringLiteral("server_combo"));
    auto* db_status = window.findChild<QLabel*>(QStringLiteral("db_status_label"));
    auto* write_count = window.findChild<QLabel*>(QStringLiteral("write_count_label"));
    // Import and registration run in the background and end with tag_work_finished().
    QSignalSpy work_done(&window, &MainWidget::tag_work_finished);
    QTest::mouseClick(import_button, Qt::LeftButton);
    QVERIFY(work_done.wait(kWorkDeadlineMsec));
    QCOMPARE(window.paginated_table()->all_data().size(), 5);

    // Opening the schema list runs the discovery of the simulated server, in the background.
    QSignalSpy discovered(&window, &MainWidget::discovery_finished);
    window.enumerate_servers();
    QVERIFY(discovered.wait(kWorkDeadlineMsec));
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.da://localhost/OstrevoV2.1.0"));

    QTest::mouseClick(collect_button, Qt::LeftButton);
    QVERIFY(work_done.wait(kWorkDeadlineMsec));
    QVERIFY2(boxes.boxes.isEmpty(), boxes.boxes.isEmpty() ? "" : qPrintable(boxes.boxes[0].text));
    QCOMPARE(collect_button->text(), QStringLiteral("Stop Collecting"));

    const QAbstractItemModel* model = window.paginated_table()->table()->model();
    const auto all_good = [model] {
      for (int row = 0; row < model->rowCount(); ++row) {
        if (model->data(model->index(row, 4)).toString() != QStringLiteral("Good")) return false;
      }
      return model->rowCount() == 5;
    };
    QTRY_VERIFY_WITH_TIMEOUT(all_good(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(db_status->text(), QStringLiteral("DB Status: Writing successfully"),
                              3000);
    QCOMPARE(write_count->text(), QStringLiteral("Current: 5 | Total: 5 records"));
    for (int row = 0; row < 5; ++row) {
      QVERIFY(!model->data(model->index(row, 0)).toString().isEmpty());  // tag ids filled
    }

    QTest::mouseClick(collect_button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(collect_button->text(), QStringLiteral("Start Collecting"), 15000);
    QVERIFY(window.collect_thread() == nullptr);
    QCOMPARE(db_status->text(), QStringLiteral("DB Status: Connected"));

    auto check = kestrane_test::connect_postgres(database_->settings());
    QVERIFY(run(check.get(), QStringLiteral("SELECT count(*) FROM tsdata")).toInt() >= 5);
    QCOMPARE(run(check.get(), QStringLiteral("SELECT count(*) FROM sources WHERE endpoint = "
                                             "'opc.da://localhost/OstrevoV2.1.0'")),
             QStringLiteral("1"));
    check.reset();

    QVERIFY(window.close());
    QVERIFY(boxes.boxes.isEmpty());
    const QByteArray saved = dir.read(QStringLiteral("config.ini"));
    QVERIFY(saved.contains("opc_schema = opc.da://localhost/OstrevoV2.1.0"));
    QVERIFY(saved.contains("[KestraneLogging]"));
  }

 private:
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  QString host_;
  QString dbname_;
};

KESTRANE_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
