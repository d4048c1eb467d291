// The window's background tag work against the embedded database driver: a large import that
// leaves the window repainting, the progress dialog's Cancel for import and registration, the
// controls held while the work runs, lists with blank, repeated or long names imported as
// the loader reads them, the read error of a file that is no text, and the sync that fills
// the tag ids.

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/tagtasks.h"
#include "log_capture.h"
#include "testsupport.h"

namespace {

// The work takes seconds at most; this only ends a hang.
constexpr int kWorkDeadlineMsec = 120000;
constexpr int kLargeList = 100000;

QByteArray tag_list(int count, const char* prefix = "Plant.Tag") {
  QByteArray text = "FullTagName,Description\n";
  text.reserve(count * 40);
  for (int i = 1; i <= count; ++i) {
    text += prefix + QByteArray::number(i) + ",Description " + QByteArray::number(i) + "\n";
  }
  return text;
}

TableRows rows_for(const QStringList& tags) {
  TableRows rows;
  for (const QString& tag : tags)
    rows.append(TableRow{QString(), tag, QString(), QString(), QString()});
  return rows;
}

}  // namespace

class TestTagTasks : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = std::make_unique<ScratchDir>();
    boxes_ = MessageBoxRecorder();
    write_sqlite_config(*dir_, "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
  }
  void cleanup() {
    window_.reset();
    dir_.reset();
  }

  void LargeImportKeepsTheWindowRepainting() {
    make_window();
    // Register the first hundred tags, so the import has ids to find.
    dir_->write(QStringLiteral("first.csv"), tag_list(100));
    run_and_wait([this] { import(QStringLiteral("first.csv")); });
    run_and_wait([this] { window_->start_collecting(); });
    QCOMPARE(boxes_.boxes.size(), 0);
    button("collect_button")->click();  // stop
    QTRY_VERIFY_WITH_TIMEOUT(!window_->is_busy(), 15000);

    dir_->write(QStringLiteral("large.csv"), tag_list(kLargeList));
    QElapsedTimer since_tick;
    qint64 longest_gap = 0;
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(20);
    connect(&ticker, &QTimer::timeout, this, [&] {
      if (ticks++ > 0) longest_gap = std::max(longest_gap, since_tick.elapsed());
      since_tick.restart();
    });
    QElapsedTimer took;
    took.start();
    ticker.start();
    since_tick.start();
    run_and_wait([this] { import(QStringLiteral("large.csv")); });
    ticker.stop();
    qInfo("imported %d tags in %lld ms; %d ticks, longest gap %lld ms", kLargeList,
          static_cast<long long>(took.elapsed()), ticks, static_cast<long long>(longest_gap));
    QVERIFY2(longest_gap <= 250, qPrintable(QStringLiteral("gap %1 ms").arg(longest_gap)));

    const TableRows& rows = window_->paginated_table()->all_data();
    QCOMPARE(rows.size(), kLargeList);
    QCOMPARE(rows[0][1].toString(), QStringLiteral("Plant.Tag1"));
    QVERIFY(rows[99][0].toLongLong() > 0);
    QCOMPARE(rows[100][0].toString(), QString());
    QCOMPARE(rows.last()[2].toString(), QStringLiteral("Description 100000"));
    QCOMPARE(label("write_count_label")->text(),
             QStringLiteral("Current: 0 | Total: 100000 records"));
    QVERIFY(boxes_.boxes.isEmpty());
  }

  void ControlsWaitWhileWorkRuns() {
    make_window();
    dir_->write(QStringLiteral("tags.csv"), tag_list(2000));
    import(QStringLiteral("tags.csv"));
    QVERIFY(window_->is_busy());
    for (const char* name : {"host_input", "server_combo", "import_button", "tsdb_combo",
                             "opc_type_combo", "collect_button"}) {
      QVERIFY2(!widget(name)->isEnabled(), name);
    }
    // A second press while the work runs does nothing.
    window_->import_tags_from_csv();
    window_->start_collecting();
    QSignalSpy done(window_.get(), &MainWidget::tag_work_finished);
    QVERIFY(done.wait(kWorkDeadlineMsec));
    QCOMPARE(done.size(), 1);
    for (const char* name : {"host_input", "server_combo", "import_button", "tsdb_combo",
                             "opc_type_combo", "collect_button"}) {
      QVERIFY2(widget(name)->isEnabled(), name);
    }
    QVERIFY(window_->tag_tasks()->progress_dialog() == nullptr);
  }

  void CancelledImportLeavesTableAndSettings() {
    make_window();
    window_->paginated_table()->set_data(rows_for({"Kept"}));
    dir_->write(QStringLiteral("large.csv"), tag_list(kLargeList));
    run_and_wait([this] {
      import(QStringLiteral("large.csv"));
      press_cancel();
    });
    QCOMPARE(window_->paginated_table()->all_data().size(), 1);
    QCOMPARE(window_->paginated_table()->all_data()[0][1].toString(), QStringLiteral("Kept"));
    QVERIFY(!window_->tag_csv_path().has_value());
    QVERIFY(boxes_.boxes.isEmpty());
    QVERIFY(button("import_button")->isEnabled());
  }

  void CancelledRegistrationDoesNotStart() {
    make_window();
    dir_->write(QStringLiteral("tags.csv"), tag_list(25000));
    run_and_wait([this] { import(QStringLiteral("tags.csv")); });
    const TableRows before = window_->paginated_table()->all_data();
    run_and_wait([this] {
      window_->start_collecting();
      press_cancel();
    });
    QVERIFY(window_->collect_thread() == nullptr);
    QCOMPARE(button("collect_button")->text(), QStringLiteral("Start Collecting"));
    QVERIFY(button("collect_button")->isEnabled());
    QVERIFY(button("import_button")->isEnabled());
    QVERIFY(window_->paginated_table()->all_data() == before);
    QVERIFY(boxes_.boxes.isEmpty());
    // Nothing was saved either.
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_host"));
  }

  void OddRowsImportAsTheLoaderReadsThem() {
    kestrane_test::LogCapture log("Kestrane");
    make_window();
    window_->paginated_table()->set_data(rows_for({"Replaced"}));
    const QByteArray long_name(300, 'L');
    dir_->write(QStringLiteral("odd.csv"),
                "FullTagName,Description\nA,1\n,2\nB,3\nA,4\n" + long_name + ",5\n");
    run_and_wait([this] { import(QStringLiteral("odd.csv")); });
    // The blank name is skipped without a word; the repeated and the long name are rows.
    QVERIFY2(boxes_.boxes.isEmpty(), qPrintable(boxes_.boxes.value(0).text));
    const TableRows& rows = window_->paginated_table()->all_data();
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[0][1].toString(), QStringLiteral("A"));
    QCOMPARE(rows[1][1].toString(), QStringLiteral("B"));
    QCOMPARE(rows[2][1].toString(), QStringLiteral("A"));
    QCOMPARE(rows[2][2].toString(), QStringLiteral("4"));
    QCOMPARE(rows[3][1].toString(), QString::fromLatin1(long_name));
    QCOMPARE(label("write_count_label")->text(), QStringLiteral("Current: 0 | Total: 4 records"));
    QCOMPARE(window_->tag_csv_path(), std::optional<QString>(dir_->file("odd.csv")));
    // Beside the import, the log names the repeat.
    QTRY_VERIFY2(log.has_prefix("warning", "Tag list "), log.dump().c_str());
    const std::string warning = log.lines().back();
    QVERIFY2(warning.find("line 5: 'A' is listed again (first on line 2)") != std::string::npos,
             warning.c_str());
    QVERIFY2(warning.find("line 3") == std::string::npos, warning.c_str());
  }

  void ManyRepeatsAreCountedInTheWarning() {
    kestrane_test::LogCapture log("Kestrane");
    make_window();
    QByteArray text = "FullTagName,Description\n";
    for (int i = 0; i < 12; ++i) text += "Same,\n";
    dir_->write(QStringLiteral("dups.csv"), text);
    run_and_wait([this] { import(QStringLiteral("dups.csv")); });
    QVERIFY(boxes_.boxes.isEmpty());
    QCOMPARE(window_->paginated_table()->all_data().size(), 12);
    QTRY_VERIFY2(log.has_prefix("warning", "Tag list "), log.dump().c_str());
    const std::string warning = log.lines().back();
    QVERIFY2(warning.find("line 7: 'Same'") != std::string::npos, warning.c_str());
    QVERIFY2(warning.find("line 8:") == std::string::npos, warning.c_str());
    QVERIFY2(warning.ends_with("... and 6 more"), warning.c_str());
  }

  void UndecodableFileGivesTheReadErrorNamingItsLines() {
    make_window();
    window_->paginated_table()->set_data(rows_for({"Kept"}));
    dir_->write(QStringLiteral("bad.csv"), "FullTagName,Description\nA,\xFF\xFE\nB,ok\n");
    run_and_wait([this] { import(QStringLiteral("bad.csv")); });
    QCOMPARE(boxes_.boxes.size(), 1);
    const MessageBoxRequest& box = boxes_.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY2(box.text.startsWith(QStringLiteral("无法读取 CSV 文件：\nline 2: not UTF-8 text")),
             qPrintable(box.text));
    QCOMPARE(window_->paginated_table()->all_data().size(), 1);
    QCOMPARE(window_->tag_csv_path(), std::optional<QString>(dir_->file("bad.csv")));
  }

  void RepeatedTagIsRegisteredAndCollectedOnEachRow() {
    make_window();
    dir_->write(QStringLiteral("tags.csv"),
                "FullTagName,Description\nDemo.Tag1,first\nDemo.Tag2,\nDemo.Tag1,again\n");
    run_and_wait([this] { import(QStringLiteral("tags.csv")); });
    run_and_wait([this] { window_->start_collecting(); });
    QVERIFY2(boxes_.boxes.isEmpty(), qPrintable(boxes_.boxes.value(0).text));
    QVERIFY(window_->collect_thread() != nullptr);
    const TableRows& rows = window_->paginated_table()->all_data();
    QCOMPARE(rows.size(), 3);
    QVERIFY(rows[0][0].toLongLong() > 0);
    QCOMPARE(rows[2][0].toLongLong(), rows[0][0].toLongLong());
    QTRY_COMPARE_WITH_TIMEOUT(label("db_status_label")->text(),
                              QStringLiteral("DB Status: Writing successfully"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(window_->paginated_table()->all_data()[2][4].toString(),
                              QStringLiteral("Good"), 10000);
    QCOMPARE(window_->paginated_table()->all_data()[0][4].toString(), QStringLiteral("Good"));
    button("collect_button")->click();
  }

  void SyncFillsTheIdsAndShowsTheFirstPage() {
    make_window();
    dir_->write(QStringLiteral("tags.csv"), tag_list(25, "Demo.Tag"));
    run_and_wait([this] { import(QStringLiteral("tags.csv")); });
    window_->paginated_table()->last_page();
    kestrane_test::LogCapture log("Kestrane");
    run_and_wait([this] { window_->start_collecting(); });
    QVERIFY(window_->collect_thread() != nullptr);
    QCOMPARE(window_->paginated_table()->current_page(), 1);
    for (const TableRow& row : window_->paginated_table()->all_data()) {
      QVERIFY(row[0].toLongLong() > 0);
    }
    // Every tag gets its own line, in list order, beside the summary.
    const auto inserted = registration_lines(log, "INFO Inserted tag '");
    QCOMPARE(inserted.size(), std::size_t{25});
    QVERIFY2(inserted.front().starts_with("INFO Inserted tag 'Demo.Tag1' with source_id: "),
             inserted.front().c_str());
    QVERIFY2(inserted.back().starts_with("INFO Inserted tag 'Demo.Tag25' with source_id: "),
             inserted.back().c_str());
    // The collector starts with the registered ids and writes at once.
    QTRY_COMPARE_WITH_TIMEOUT(label("db_status_label")->text(),
                              QStringLiteral("DB Status: Writing successfully"), 10000);
    button("collect_button")->click();
  }

 private:
  void make_window() {
    MainWidget::Hooks hooks;
    hooks.message_box = boxes_.fn();
    hooks.choose_csv_file = [this](QWidget*) { return chosen_csv_; };
    window_ = std::make_unique<MainWidget>(std::move(hooks));
  }

  void import(const QString& name) {
    chosen_csv_ = dir_->file(name);
    window_->import_tags_from_csv();
  }

  static std::vector<std::string> registration_lines(const kestrane_test::LogCapture& log,
                                                     std::string_view prefix) {
    std::vector<std::string> found;
    for (const std::string& line : log.lines()) {
      if (line.starts_with(prefix)) found.push_back(line);
    }
    return found;
  }

  // Runs `action` and waits until the background work it started has ended.
  template <class Action>
  void run_and_wait(Action action) {
    QSignalSpy done(window_.get(), &MainWidget::tag_work_finished);
    action();
    if (done.isEmpty() && window_->is_busy()) QVERIFY(done.wait(kWorkDeadlineMsec));
  }

  // The operator's Cancel in the progress dialog.
  void press_cancel() {
    QProgressDialog* dialog = window_->tag_tasks()->progress_dialog();
    QVERIFY(dialog != nullptr);
    auto* cancel = dialog->findChild<QPushButton*>();
    QVERIFY(cancel != nullptr);
    cancel->click();
  }

  QWidget* widget(const char* name) const {
    auto* found = window_->findChild<QWidget*>(QString::fromLatin1(name));
    if (found == nullptr) qFatal("no widget %s", name);
    return found;
  }
  QLabel* label(const char* name) const { return qobject_cast<QLabel*>(widget(name)); }
  QPushButton* button(const char* name) const { return qobject_cast<QPushButton*>(widget(name)); }

  std::unique_ptr<ScratchDir> dir_;
  std::unique_ptr<MainWidget> window_;
  MessageBoxRecorder boxes_;
  QString chosen_csv_;
};

KESTRANE_TEST_MAIN(TestTagTasks)
#include "tst_tagtasks.moc"
