// start_without_tsdb in the desktop program: a real window on the offscreen platform and the
// simulated OPC DA server, with the database first out of reach, then (through a proxy in
// front of the test PostgreSQL that refuses, then forwards) answering.

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "Kestrane/paginatedtablewidget.h"
#include "database_readback.h"
#include "refusing_port.h"
#include "scratch_postgres_database.h"
#include "tcp_tamper_proxy.h"
#include "testsupport.h"

namespace {

// Background work takes well under a second here; this only ends a hang.
constexpr int kWorkDeadlineMsec = 30000;

const QByteArray kTags =
    "FullTagName,Description\n"
    "Demo.Tag1,Sine 1\nDemo.Tag2,Sine 2\nDemo.Count1,Counter\nDemo.Random1,Random\n"
    "Demo.CCCTag10,\xE9\x94\x85\xE7\x82\x89\n";

void write_config(const ScratchDir& dir, int port, const tidewell::TsdbSettings& db,
                  bool start_without_tsdb) {
  dir.write(QStringLiteral("config.ini"),
            QStringLiteral("[TSDBConnection]\nhost = 127.0.0.1\nport = %1\nuser = %2\n"
                           "password = %3\ndbname = %4\n\n"
                           "[Kestrane]\nopc_type = OPC DA\nopc_host = localhost\n"
                           "spool_dir = %5\n%6\n"
                           "[KestraneLogging]\nlevel = INFO\n")
                .arg(port)
                .arg(QString::fromStdString(db.user), QString::fromStdString(db.password),
                     QString::fromStdString(db.dbname), dir.file(QStringLiteral("spool")),
                     start_without_tsdb ? QStringLiteral("start_without_tsdb = true\n") : QString())
                .toUtf8());
  dir.write(QStringLiteral("tags.csv"), kTags);
}

}  // namespace

class TestWithoutTsdb : public QObject {
  Q_OBJECT

 private slots:
  void WithoutTheKeyTheWindowStillNeedsTheDatabase() {
    ScratchDir dir;
    const kestrane_test::RefusingPort dead;
    write_config(dir, dead.port(), settings_or_placeholder(), false);
    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks;
    hooks.message_box = boxes.fn();
    bool thrown = false;
    try {
      MainWidget window(hooks);
    } catch (const std::exception&) {
      thrown = true;
    }
    QVERIFY(thrown);
  }

  // Nothing listens on the database's port: the window opens, imports, collects and buffers.
  void OpensImportsAndBuffersWhileNothingListens() {
    ScratchDir dir;
    const kestrane_test::RefusingPort dead;
    write_config(dir, dead.port(), settings_or_placeholder(), true);
    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks = hooks_for(dir, boxes);
    MainWidget window(hooks);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("OPC Data Widget [TSDB NOT connected!!]"));
    auto* db_status = window.findChild<QLabel*>(QStringLiteral("db_status_label"));
    QVERIFY(db_status->text().startsWith(QStringLiteral("DB Status: Not reachable")));
    QCOMPARE(window.available_dbs(), QStringList{QString::fromStdString(db_name())});

    import_tags(window);
    auto* status = window.findChild<QLabel*>(QStringLiteral("status_label"));
    QVERIFY2(status->text().contains(QStringLiteral("5 tags imported without their ids")),
             qPrintable(status->text()));
    QCOMPARE(ids_filled(window), 0);
    discover(window);

    auto* collect_button = window.findChild<QPushButton*>(QStringLiteral("collect_button"));
    QTest::mouseClick(collect_button, Qt::LeftButton);
    QCOMPARE(collect_button->text(), QStringLiteral("Stop Collecting"));
    QTRY_VERIFY_WITH_TIMEOUT(
        db_status->text().startsWith(QStringLiteral("DB Status: Buffering to disk (")), 15000);
    QVERIFY2(boxes.boxes.isEmpty(), boxes.boxes.isEmpty() ? "" : qPrintable(boxes.boxes[0].text));

    QTest::mouseClick(collect_button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(collect_button->text(), QStringLiteral("Start Collecting"), 15000);
    QVERIFY(window.close());
  }

  // The database answers later: the source and tags are registered then, the ids show, and
  // every cycle since the start is stored under the right tags.
  void StoresEveryCycleOnceTheDatabaseAnswers() {
    const auto server = kestrane_test::postgres_server_settings();
    if (!server) QSKIP("KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL");
    std::optional<kestrane_test::ScratchPostgresDatabase> database;
    try {
      database.emplace(*server, "kestrane_desktop_late");
    } catch (const std::exception& e) {
      QFAIL(e.what());
    }
    const tidewell::TsdbSettings& db = database->settings();
    kestrane_test::TcpTamperProxy proxy(db.port);
    proxy.pass_bytes_unframed();
    proxy.set_refusing(true);

    ScratchDir dir;
    write_config(dir, proxy.port(), db, true);
    MessageBoxRecorder boxes;
    MainWidget::Hooks hooks = hooks_for(dir, boxes);
    MainWidget window(hooks);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    import_tags(window);
    QCOMPARE(ids_filled(window), 0);
    discover(window);

    auto* collect_button = window.findChild<QPushButton*>(QStringLiteral("collect_button"));
    auto* db_status = window.findChild<QLabel*>(QStringLiteral("db_status_label"));
    QTest::mouseClick(collect_button, Qt::LeftButton);
    QCOMPARE(collect_button->text(), QStringLiteral("Stop Collecting"));
    QTRY_VERIFY_WITH_TIMEOUT(
        db_status->text().startsWith(QStringLiteral("DB Status: Buffering to disk (")), 15000);
    // Some more cycles wait in the spool before the database answers.
    QTest::qWait(2000);
    const auto up_at = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();

    proxy.set_refusing(false);
    QTRY_COMPARE_WITH_TIMEOUT(ids_filled(window), 5, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(db_status->text(), QStringLiteral("DB Status: Writing successfully"),
                              30000);
    QTest::mouseClick(collect_button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(collect_button->text(), QStringLiteral("Start Collecting"), 15000);
    QVERIFY2(boxes.boxes.isEmpty(), boxes.boxes.isEmpty() ? "" : qPrintable(boxes.boxes[0].text));

    // The desktop's own source, every tag under it, each id shown as stored.
    const auto source = kestrane_test::query_postgres_rows(
        db,
        "SELECT source_id FROM sources WHERE source_name = 'kestrane' AND endpoint = "
        "'opc.da://localhost/OstrevoV2.1.0'");
    QCOMPARE(source.size(), std::size_t{1});
    const auto tags = kestrane_test::query_postgres_rows(
        db, "SELECT tag_name, tag_id, source_id FROM tags ORDER BY tag_name");
    QCOMPARE(tags.size(), std::size_t{5});
    const QAbstractItemModel* model = window.paginated_table()->table()->model();
    for (const auto& tag : tags) {
      QCOMPARE(tag[2], source[0][0]);
      bool shown = false;
      for (int row = 0; row < model->rowCount(); ++row) {
        if (model->data(model->index(row, 1)).toString().toStdString() == tag[0].value_or("")) {
          shown =
              model->data(model->index(row, 0)).toString().toStdString() == tag[1].value_or("-");
        }
      }
      QVERIFY2(shown, tag[0].value_or("").c_str());
    }

    // Five rows a cycle, every one under a tag of the list, the cycles buffered before the
    // database answered included.
    const auto counts = kestrane_test::query_postgres_rows(
        db,
        "SELECT count(*), count(DISTINCT d.time), count(t.tag_id), "
        "count(*) FILTER (WHERE extract(epoch FROM d.time) * 1000000 < " +
            std::to_string(up_at) + ") FROM tsdata d LEFT JOIN tags t USING (tag_id)");
    QCOMPARE(counts.size(), std::size_t{1});
    const long long rows = std::stoll(counts[0][0].value_or("0"));
    QVERIFY(rows > 0);
    QCOMPARE(std::stoll(counts[0][1].value_or("0")) * 5, rows);
    QCOMPARE(std::stoll(counts[0][2].value_or("0")), rows);
    QVERIFY2(std::stoll(counts[0][3].value_or("0")) >= 5, counts[0][3].value_or("").c_str());
    QVERIFY(window.close());
  }

 private:
  static std::string db_name() { return "kestrane_late"; }
  // Settings for a database nobody answers for: only its name and user are written.
  static tidewell::TsdbSettings settings_or_placeholder() {
    tidewell::TsdbSettings settings;
    settings.user = "kestrane";
    settings.password = "unused";
    settings.dbname = db_name();
    return settings;
  }

  static MainWidget::Hooks hooks_for(const ScratchDir& dir, MessageBoxRecorder& boxes) {
    MainWidget::Hooks hooks;
    hooks.message_box = boxes.fn();
    const QString csv = dir.file(QStringLiteral("tags.csv"));
    hooks.choose_csv_file = [csv](QWidget*) { return csv; };
    return hooks;
  }

  static void import_tags(MainWidget& window) {
    QSignalSpy work_done(&window, &MainWidget::tag_work_finished);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("import_button")),
                      Qt::LeftButton);
    QVERIFY(work_done.wait(kWorkDeadlineMsec));
    QCOMPARE(window.paginated_table()->all_data().size(), 5);
  }

  static void discover(MainWidget& window) {
    QSignalSpy discovered(&window, &MainWidget::discovery_finished);
    window.enumerate_servers();
    QVERIFY(discovered.wait(kWorkDeadlineMsec));
    QCOMPARE(window.findChild<QComboBox*>(QStringLiteral("server_combo"))->currentText(),
             QStringLiteral("opc.da://localhost/OstrevoV2.1.0"));
  }

  // Rows whose DBID cell shows an id.
  static int ids_filled(MainWidget& window) {
    const QAbstractItemModel* model = window.paginated_table()->table()->model();
    int filled = 0;
    for (int row = 0; row < model->rowCount(); ++row) {
      if (!model->data(model->index(row, 0)).toString().isEmpty()) ++filled;
    }
    return filled;
  }
};

KESTRANE_TEST_MAIN(TestWithoutTsdb)
#include "tst_withouttsdb.moc"
