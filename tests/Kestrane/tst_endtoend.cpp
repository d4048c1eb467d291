// The desktop program end to end: a real window on the offscreen platform, the real PostgreSQL
// of the test harness and the simulated OPC DA server. Import a tag list, discover the server,
// start collecting, see Good values and the write status, stop, close.

#include <libpq-fe.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <memory>
#include <string>

#include "Kestrane/paginatedtablewidget.h"
#include "testsupport.h"

namespace {

struct PgConnDeleter {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct PgResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

PgConn connect_pg(const PgSettings& pg, const QString& dbname) {
  const QByteArray host = pg.host.toUtf8();
  const QByteArray port = QByteArray::number(pg.port);
  const QByteArray user = pg.user.toUtf8();
  const QByteArray password = pg.password.toUtf8();
  const QByteArray db = dbname.toUtf8();
  const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
  const char* values[] = {host.constData(),     port.constData(), user.constData(),
                          password.constData(), db.constData(),   nullptr};
  return PgConn(PQconnectdbParams(keys, values, 0));
}

// Runs one statement; returns the first cell of the first row, or the error text.
QString run(PGconn* conn, const QString& sql) {
  PgResult result(PQexec(conn, sql.toUtf8().constData()));
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
    pg_ = pg_settings_from_env();
    if (!pg_) {
      QSKIP(
          "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL for the end-to-end test "
          "(scripts/test provides one)");
    }
    admin_ = connect_pg(*pg_, QStringLiteral("postgres"));
    QVERIFY2(PQstatus(admin_.get()) == CONNECTION_OK, PQerrorMessage(admin_.get()));
    dbname_ = QStringLiteral("kestrane_desktop_e2e_%1").arg(QCoreApplication::applicationPid());
    run(admin_.get(), QStringLiteral("DROP DATABASE IF EXISTS ") + dbname_);
    const QString created = run(admin_.get(), QStringLiteral("CREATE DATABASE ") + dbname_);
    QVERIFY2(!created.startsWith(QStringLiteral("error")), qPrintable(created));
  }

  void cleanupTestCase() {
    if (admin_) {
      run(admin_.get(),
          QStringLiteral("DROP DATABASE IF EXISTS ") + dbname_ + QStringLiteral(" WITH (FORCE)"));
    }
  }

  void CollectsGoodValuesIntoPostgresAndStops() {
    ScratchDir dir;
    dir.write(
        QStringLiteral("config.ini"),
        QStringLiteral("[TSDBConnection]\nhost = %1\nport = %2\nuser = %3\npassword = %4\n"
                       "dbname = %5\nautocommit = false\n\n"
                       "[Kestrane]\nopc_type = OPC DA\nopc_host = localhost\n\n"
                       "[KestraneLogging]\nlevel = INFO\n")
            .arg(pg_->host)
            .arg(pg_->port)
            .arg(pg_->user, QString(pg_->password).replace(QLatin1Char('%'), QStringLiteral("%%")),
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
             QStringLiteral("OPC Data Widget [TSDB connected: %1/%2]").arg(pg_->host, dbname_));

    auto* import_button = window.findChild<QPushButton*>(QStringLiteral("import_button"));
    auto* collect_button = window.findChild<QPushButton*>(QStringLiteral("collect_button"));
    auto* server_combo = window.findChild<QComboBox*>(QStringLiteral("server_combo"));
    auto* db_status = window.findChild<QLabel*>(QStringLiteral("db_status_label"));
    auto* write_count = window.findChild<QLabel*>(QStringLiteral("write_count_label"));
    QTest::mouseClick(import_button, Qt::LeftButton);
    QCOMPARE(window.paginated_table()->all_data().size(), 5);

    // Opening the schema list runs the discovery of the simulated server.
    window.enumerate_servers();
    QCOMPARE(server_combo->currentText(), QStringLiteral("opc.da://localhost/OstrevoV2.1.0"));

    QTest::mouseClick(collect_button, Qt::LeftButton);
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
    QVERIFY(window.collect_thread() == nullptr);
    QCOMPARE(collect_button->text(), QStringLiteral("Start Collecting"));
    QCOMPARE(db_status->text(), QStringLiteral("DB Status: Connected"));

    PgConn check = connect_pg(*pg_, dbname_);
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
  std::optional<PgSettings> pg_;
  PgConn admin_;
  QString dbname_;
};

KESTRANE_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
