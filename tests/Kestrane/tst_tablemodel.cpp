#include <QAbstractItemModelTester>
#include <QColor>
#include <QDateTime>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <limits>
#include <thread>

#include "Kestrane/metadatabridge.h"
#include "Kestrane/tablemodel.h"

namespace {

const QStringList kHeaders = {"DBID", "Tag Name", "Description", "Value", "Quality"};

TableRow make_row(int n, const QVariant& value, const QString& quality) {
  return {QString::number(n), QStringLiteral("Demo.Tag%1").arg(n), QStringLiteral("tag %1").arg(n),
          value, quality};
}

TableRows make_rows(int count, const QString& quality = QStringLiteral("Good")) {
  TableRows rows;
  for (int i = 1; i <= count; ++i) rows.append(make_row(i, 1.5 * i, quality));
  return rows;
}

// Reaches cells outside the rows, which index() refuses to build.
class ProbeModel : public TableModel {
 public:
  using TableModel::TableModel;
  QModelIndex raw_index(int row, int column) const { return createIndex(row, column); }
};

}  // namespace

class TableModelTest : public QObject {
  Q_OBJECT

 private slots:
  void HeadersGiveColumnsAndRowsAreNumberedFromOne();
  void HorizontalHeaderBeyondTitlesReadsColN();
  void CellsOutsideTheModelHaveNoData();
  void CellsAreShownAsStored();
  void ShortRowShowsEmptyTextWithoutColour();
  void QualityOtherThanGoodIsRed_data();
  void QualityOtherThanGoodIsRed();
  void SameTextInOtherColumnsIsNeverColoured();
  void SoftUpdateWithSameRowCountChangesCellsInPlace();
  void SoftUpdateWithOtherRowCountResets();
  void SoftUpdateOfEmptyPageAnnouncesNothing();
  void StaysConsistentForViewsThroughUpdates();
  void LongOrManyLineValueTextIsKeptWhole();
  void ToolTipOfAVeryLongValueIsBounded();
  void DetailsAfterTheColumnsShowInTheRowsToolTips();
  void IntegersAndTimesShowExactly();
  void ValueToolTipShowsTheUnitAndRangeTheServerTold();
  void UnitsReadOnAnotherThreadReachTheGuiThread();
};

void TableModelTest::HeadersGiveColumnsAndRowsAreNumberedFromOne() {
  TableModel model(make_rows(3), kHeaders);
  QCOMPARE(model.columnCount(), 5);
  QCOMPARE(model.rowCount(), 3);
  for (int i = 0; i < kHeaders.size(); ++i) {
    QCOMPARE(model.headerData(i, Qt::Horizontal).toString(), kHeaders.at(i));
  }
  QCOMPARE(model.headerData(0, Qt::Vertical).toString(), QStringLiteral("1"));
  QCOMPARE(model.headerData(2, Qt::Vertical).toString(), QStringLiteral("3"));
  // A table has no rows beneath a cell.
  QCOMPARE(model.rowCount(model.index(0, 0)), 0);
  QCOMPARE(model.columnCount(model.index(0, 0)), 0);
}

void TableModelTest::HorizontalHeaderBeyondTitlesReadsColN() {
  TableModel model(TableRows(), kHeaders);
  QCOMPARE(model.headerData(7, Qt::Horizontal).toString(), QStringLiteral("Col 7"));
  QCOMPARE(model.headerData(5, Qt::Horizontal).toString(), QStringLiteral("Col 5"));
  QCOMPARE(model.headerData(-1, Qt::Horizontal).toString(), QStringLiteral("Col -1"));
  QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
  QVERIFY(!model.headerData(0, Qt::Vertical, Qt::DecorationRole).isValid());
  TableModel untitled(TableRows{}, QStringList{});
  QCOMPARE(untitled.columnCount(), 0);
  QCOMPARE(untitled.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Col 0"));
}

void TableModelTest::CellsOutsideTheModelHaveNoData() {
  ProbeModel model(make_rows(2, QStringLiteral("Bad")), kHeaders);
  QVERIFY(!model.data(QModelIndex()).isValid());
  QVERIFY(!model.data(model.raw_index(2, 0)).isValid());
  QVERIFY(!model.data(model.raw_index(0, 5)).isValid());
  QVERIFY(!model.data(model.raw_index(5, 4), Qt::ForegroundRole).isValid());
}

void TableModelTest::CellsAreShownAsStored() {
  TableModel model({make_row(7, 2.25, QStringLiteral("Good"))}, kHeaders);
  const QVariant value = model.data(model.index(0, 3));
  QCOMPARE(value.userType(), QMetaType::Double);
  QCOMPARE(value.toDouble(), 2.25);
  QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("Demo.Tag7"));
  QVERIFY(!model.data(model.index(0, 1), Qt::EditRole).isValid());
  QVERIFY(!model.data(model.index(0, 1), Qt::ToolTipRole).isValid());
}

void TableModelTest::ShortRowShowsEmptyTextWithoutColour() {
  TableModel model({TableRow{QStringLiteral("1"), QStringLiteral("Demo.Tag1")}}, kHeaders);
  const QVariant missing = model.data(model.index(0, 4));
  QCOMPARE(missing.userType(), QMetaType::QString);
  QCOMPARE(missing.toString(), QString());
  QVERIFY(!model.data(model.index(0, 4), Qt::ForegroundRole).isValid());
  QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("Demo.Tag1"));
}

void TableModelTest::QualityOtherThanGoodIsRed_data() {
  QTest::addColumn<QVariant>("quality");
  QTest::addColumn<bool>("red");
  QTest::newRow("Good") << QVariant(QStringLiteral("Good")) << false;
  QTest::newRow("Bad") << QVariant(QStringLiteral("Bad")) << true;
  QTest::newRow("Uncertain") << QVariant(QStringLiteral("Uncertain")) << true;
  QTest::newRow("lower-case uncertain") << QVariant(QStringLiteral("uncertain")) << true;
  QTest::newRow("lower-case good") << QVariant(QStringLiteral("good")) << true;
  QTest::newRow("empty text") << QVariant(QString()) << true;
  QTest::newRow("not text") << QVariant(1) << true;
}

void TableModelTest::QualityOtherThanGoodIsRed() {
  QFETCH(QVariant, quality);
  QFETCH(bool, red);
  TableModel model({make_row(1, 0.0, QString())}, kHeaders);
  TableRow row = make_row(1, 0.0, QString());
  row[4] = quality;
  model.update_data({row});
  const QVariant colour = model.data(model.index(0, 4), Qt::ForegroundRole);
  if (red) {
    QCOMPARE(colour.value<QColor>(), QColor(Qt::red));
  } else {
    QVERIFY(!colour.isValid());
  }
}

void TableModelTest::SameTextInOtherColumnsIsNeverColoured() {
  TableRow row = {QStringLiteral("Bad"), QStringLiteral("Bad"), QStringLiteral("Bad"),
                  QStringLiteral("Bad"), QStringLiteral("Bad")};
  TableModel model({row}, kHeaders);
  for (int column = 0; column < 4; ++column) {
    QVERIFY(!model.data(model.index(0, column), Qt::ForegroundRole).isValid());
  }
  QVERIFY(model.data(model.index(0, 4), Qt::ForegroundRole).isValid());
  // Only a column titled exactly "Quality" holds qualities.
  TableModel other({row}, {"DBID", "Tag Name", "Description", "Value", "quality"});
  QVERIFY(!other.data(other.index(0, 4), Qt::ForegroundRole).isValid());
}

void TableModelTest::SoftUpdateWithSameRowCountChangesCellsInPlace() {
  TableModel model(make_rows(4), kHeaders);
  QSignalSpy reset(&model, &TableModel::modelAboutToBeReset);
  QSignalSpy changed(&model, &TableModel::dataChanged);
  TableRows next = make_rows(4, QStringLiteral("Bad"));
  next[2][3] = 42.0;
  model.update_values_only(next);

  QCOMPARE(reset.count(), 0);
  QCOMPARE(changed.count(), 1);
  const QList<QVariant> args = changed.takeFirst();
  QCOMPARE(args.at(0).value<QModelIndex>(), model.index(0, 0));
  QCOMPARE(args.at(1).value<QModelIndex>(), model.index(3, 4));
  const auto roles = args.at(2).value<QList<int>>();
  QVERIFY(roles.contains(Qt::DisplayRole));
  // The red colour follows the quality, so its role is announced too.
  QVERIFY(roles.contains(Qt::ForegroundRole));
  QCOMPARE(model.data(model.index(2, 3)).toDouble(), 42.0);
  QVERIFY(model.data(model.index(0, 4), Qt::ForegroundRole).isValid());
}

void TableModelTest::SoftUpdateWithOtherRowCountResets() {
  TableModel model(make_rows(4), kHeaders);
  QSignalSpy reset(&model, &TableModel::modelReset);
  QSignalSpy changed(&model, &TableModel::dataChanged);
  model.update_values_only(make_rows(3));
  QCOMPARE(reset.count(), 1);
  QCOMPARE(changed.count(), 0);
  QCOMPARE(model.rowCount(), 3);
}

void TableModelTest::SoftUpdateOfEmptyPageAnnouncesNothing() {
  TableModel model(TableRows(), kHeaders);
  QSignalSpy reset(&model, &TableModel::modelReset);
  QSignalSpy changed(&model, &TableModel::dataChanged);
  model.update_values_only(TableRows());
  QCOMPARE(reset.count(), 0);
  QCOMPARE(changed.count(), 0);

  TableModel untitled(make_rows(2), QStringList());
  QSignalSpy untitled_changed(&untitled, &TableModel::dataChanged);
  untitled.update_values_only(make_rows(2));
  QCOMPARE(untitled_changed.count(), 0);
}

void TableModelTest::StaysConsistentForViewsThroughUpdates() {
  TableModel model(make_rows(3), kHeaders);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
  model.update_values_only(make_rows(3, QStringLiteral("Bad")));
  model.update_values_only(make_rows(1));
  model.update_values_only(TableRows());
  model.update_values_only(TableRows());
  model.update_data(make_rows(10));
  model.update_values_only(make_rows(10));
  QCOMPARE(model.rowCount(), 10);
}

void TableModelTest::LongOrManyLineValueTextIsKeptWhole() {
  // An emoji (two UTF-16 units) where a cell of ordinary width would end.
  constexpr qsizetype kBefore = TableModel::kLongValueChars - 2;
  const QString long_text =
      QString(kBefore, u'x') + QString::fromUtf8("\U0001F600") + QString(250 - kBefore, u'y');
  TableRows rows = {
      make_row(1, QStringLiteral("short, \"quoted\""), QStringLiteral("Good")),
      make_row(2, long_text, QStringLiteral("Good")),
      make_row(3, QStringLiteral("line one\r\nline two\tend"), QStringLiteral("Good"))};
  rows[1][2] = long_text;  // the same text as a description
  TableModel model(rows, kHeaders);

  QCOMPARE(model.data(model.index(0, 3)).toString(), QStringLiteral("short, \"quoted\""));
  QVERIFY(!model.data(model.index(0, 3), Qt::ToolTipRole).isValid());

  // The cell holds the whole text; eliding it to the column's width is the view's business.
  QCOMPARE(model.data(model.index(1, 3)).toString(), long_text);
  const QString tip = model.data(model.index(1, 3), Qt::ToolTipRole).toString();
  QCOMPARE(tip, long_text.left(100) + u'\n' + long_text.mid(100, 100) + u'\n' + long_text.mid(200));
  QCOMPARE(model.data(model.index(1, 3), TableModel::kFullTextRole).toString(), long_text);
  // Only a value is repeated in its tooltip; the view elides its stretching description column.
  QCOMPARE(model.data(model.index(1, 2)).toString(), long_text);
  QVERIFY(!model.data(model.index(1, 2), Qt::ToolTipRole).isValid());

  // A short text of many lines keeps its line breaks and tabs, and the tooltip shows its lines.
  QCOMPARE(model.data(model.index(2, 3)).toString(), QStringLiteral("line one\r\nline two\tend"));
  QCOMPARE(model.data(model.index(2, 3), Qt::ToolTipRole).toString(),
           QStringLiteral("line one\r\nline two\tend"));
}

void TableModelTest::ToolTipOfAVeryLongValueIsBounded() {
  const QString huge(70'000, u'z');
  const QString markup = QStringLiteral("<b>bold</b>") + QString(100, u'm');
  QString many_lines;
  for (int i = 0; i < 100; ++i) many_lines += QStringLiteral("%1\n").arg(i);
  TableModel model({make_row(1, huge, QStringLiteral("Good")), make_row(2, markup, QString()),
                    make_row(3, many_lines, QString())},
                   kHeaders);
  const QString tip = model.data(model.index(0, 3), Qt::ToolTipRole).toString();
  QVERIFY(tip.startsWith(QString(100, u'z') + u'\n' + QString(100, u'z') + u'\n'));
  QVERIFY(tip.endsWith(QStringLiteral("\n\u2026 (70000 characters in all)")));
  QCOMPARE(tip.count(u'z'), TableModel::kMaxToolTipChars);
  QCOMPARE(model.data(model.index(0, 3)).toString(), huge);
  // A value that looks like markup is shown as written, not drawn as markup.
  const QString markup_tip = model.data(model.index(1, 3), Qt::ToolTipRole).toString();
  QVERIFY(markup_tip.contains(QStringLiteral("&lt;b&gt;bold&lt;/b&gt;")));
  // Short lines, few characters: the number of lines is bounded too.
  const QString lines_tip = model.data(model.index(2, 3), Qt::ToolTipRole).toString();
  QCOMPARE(lines_tip.split(u'\n').size(), TableModel::kMaxToolTipLines + 1);
  QVERIFY(lines_tip.startsWith(QStringLiteral("0\n1\n2\n")));
  QVERIFY(lines_tip.endsWith(QStringLiteral("\n11\n\u2026 (290 characters in all)")));
  QCOMPARE(model.data(model.index(2, 3)).toString(), many_lines);
}

void TableModelTest::DetailsAfterTheColumnsShowInTheRowsToolTips() {
  const QDateTime time =
      QDateTime::fromString(QStringLiteral("2020-01-02T03:04:05.678Z"), Qt::ISODateWithMs);
  const QString long_text = QString(30, u'a') + QStringLiteral("\nsecond line");
  TableRows rows = {make_row(1, 1.5, QStringLiteral("Bad")), make_row(2, long_text, QString()),
                    make_row(3, 2.5, QStringLiteral("Good")), make_row(4, 3.5, QString())};
  rows[0] += QVariantList{QStringLiteral("BadSensorFailure"), time.toOffsetFromUtc(3600),
                          QStringLiteral("x")};
  rows[1] += QVariantList{QVariant(), time};
  rows[2] += QVariantList{QVariant(), QVariant()};  // details cleared
  rows[3] += QVariantList{QString(7000, u'q')};
  TableModel model(rows, kHeaders);
  model.set_detail_titles({QStringLiteral("Status"), QStringLiteral("Source time")});

  // The details are not columns of their own.
  QCOMPARE(model.columnCount(), 5);
  QCOMPARE(model.headerData(5, Qt::Horizontal).toString(), QStringLiteral("Col 5"));
  const QString details =
      QStringLiteral("Status: BadSensorFailure\nSource time: 2020-01-02T03:04:05.678Z");
  for (int column = 0; column < 5; ++column) {
    QCOMPARE(model.data(model.index(0, column), Qt::ToolTipRole).toString(), details);
  }
  // The quality cell keeps the word alone.
  QCOMPARE(model.data(model.index(0, 4)).toString(), QStringLiteral("Bad"));
  // A long value comes first, then the details that the row has.
  QCOMPARE(model.data(model.index(1, 3), Qt::ToolTipRole).toString(),
           long_text + QStringLiteral("\nSource time: 2020-01-02T03:04:05.678Z"));
  QCOMPARE(model.data(model.index(1, 1), Qt::ToolTipRole).toString(),
           QStringLiteral("Source time: 2020-01-02T03:04:05.678Z"));
  QVERIFY(!model.data(model.index(2, 3), Qt::ToolTipRole).isValid());
  // Even a detail is bounded.
  const QString status_tip = model.data(model.index(3, 0), Qt::ToolTipRole).toString();
  QVERIFY(status_tip.startsWith(QStringLiteral("Status: qqq")));
  QCOMPARE(status_tip.count(u'q'), TableModel::kMaxToolTipChars);
  QVERIFY(status_tip.endsWith(QStringLiteral("(7000 characters in all)")));

  // Without titles, the extra cells stay out of sight.
  TableModel untitled(rows, kHeaders);
  QVERIFY(!untitled.data(untitled.index(0, 4), Qt::ToolTipRole).isValid());
}

void TableModelTest::IntegersAndTimesShowExactly() {
  const QDateTime time =
      QDateTime::fromString(QStringLiteral("2020-01-02T03:04:05.678Z"), Qt::ISODateWithMs);
  QVERIFY(time.isValid());
  TableRows rows = {make_row(1, QVariant(std::numeric_limits<qulonglong>::max()), QString()),
                    make_row(2, QVariant(std::numeric_limits<qlonglong>::min()), QString()),
                    make_row(3, QVariant(qlonglong{9'007'199'254'740'993}), QString()),
                    make_row(4, QVariant(time.toOffsetFromUtc(3600)), QString())};
  rows[3].append(time);  // a source time
  TableModel model(rows, kHeaders + QStringList{QStringLiteral("Source Time")});
  QCOMPARE(model.data(model.index(0, 3)).toString(), QStringLiteral("18446744073709551615"));
  QCOMPARE(model.data(model.index(1, 3)).toString(), QStringLiteral("-9223372036854775808"));
  QCOMPARE(model.data(model.index(2, 3)).toString(), QStringLiteral("9007199254740993"));
  // Times read in UTC, whatever zone they were made in.
  QCOMPARE(model.data(model.index(3, 3)).toString(), QStringLiteral("2020-01-02T03:04:05.678Z"));
  QCOMPARE(model.data(model.index(3, 5)).toString(), QStringLiteral("2020-01-02T03:04:05.678Z"));
  QCOMPARE(model.data(model.index(3, 5), TableModel::kFullTextRole).toString(),
           QStringLiteral("2020-01-02T03:04:05.678Z"));
  // A short row has no time to show.
  QCOMPARE(model.data(model.index(0, 5)).toString(), QString());
}

void TableModelTest::ValueToolTipShowsTheUnitAndRangeTheServerTold() {
  const QString long_text = QString(50, u'a');
  TableRows rows = {make_row(1, 12.5, QStringLiteral("Good")), make_row(2, 3.0, QString()),
                    make_row(3, QVariant(), QStringLiteral("Bad")),
                    make_row(4, long_text, QString()), make_row(5, 1.0, QString())};
  rows[0] += QVariantList{QVariant(), QStringLiteral("2020-01-02")};
  TableModel model(rows, kHeaders);
  model.set_detail_titles({QStringLiteral("Status"), QStringLiteral("Source time")});
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  model.set_value_units({{QStringLiteral("Demo.Tag1"), {QStringLiteral("\u00b0C"), 0.0, 100.0}},
                         {QStringLiteral("Demo.Tag2"), {QStringLiteral("bar"), {}, {}}},
                         {QStringLiteral("Demo.Tag3"), {QStringLiteral("m"), -1e6, 1e6}},
                         {QStringLiteral("Demo.Tag4"), {QString(), -0.5, 2.5}}});
  QCOMPARE(changed.count(), 1);
  const auto tip = [&](int row, int column = 3) {
    return model.data(model.index(row, column), Qt::ToolTipRole).toString();
  };
  // The unit beside the value, then the range, then the reading's details.
  QCOMPARE(tip(0), QStringLiteral("12.5 \u00b0C\nRange: 0 \u2026 100\nSource time: 2020-01-02"));
  QCOMPARE(tip(1), QStringLiteral("3 bar"));
  // No value to stand beside: the unit alone; ranges in plain digits.
  QCOMPARE(tip(2), QStringLiteral("Unit: m\nRange: -1000000 \u2026 1000000"));
  QCOMPARE(tip(3), long_text + QStringLiteral("\nRange: -0.5 \u2026 2.5"));
  // A tag the server told nothing of, and the other columns, stay as they were.
  QVERIFY(!model.data(model.index(4, 3), Qt::ToolTipRole).isValid());
  QCOMPARE(tip(0, 1), QStringLiteral("Source time: 2020-01-02"));
  // The five columns stay the five columns.
  QCOMPARE(model.columnCount(), 5);

  // Read again (a restarted server with new units): replaced, the others kept.
  model.set_value_units({{QStringLiteral("Demo.Tag2"), {QStringLiteral("kPa"), {}, {}}}});
  QCOMPARE(tip(1), QStringLiteral("3 kPa"));
  QVERIFY(tip(0).startsWith(QStringLiteral("12.5 \u00b0C")));
  // New rows (another page) find the units by name.
  model.update_data({make_row(2, 7.0, QString())});
  QCOMPARE(tip(0), QStringLiteral("7 kPa"));
}

void TableModelTest::UnitsReadOnAnotherThreadReachTheGuiThread() {
  MetadataBridge bridge;
  QList<QHash<QString, ValueUnit>> received;
  Qt::HANDLE receiving_thread = nullptr;
  QObject::connect(&bridge, &MetadataBridge::units_read, &bridge,
                   [&](const QHash<QString, ValueUnit>& units) {
                     received.append(units);
                     receiving_thread = QThread::currentThreadId();
                   });
  pyqar::VariableMetadata celsius;
  celsius.unit = "\u00b0C";
  celsius.eu_low = -40.0;
  celsius.eu_high = 125.0;
  pyqar::VariableMetadata unreadable;
  unreadable.status = 0x80340000u;  // BadNodeIdUnknown
  pyqar::VariableMetadata plain;
  plain.data_type = "Boolean";
  const quellin::MetadataNotify notify = bridge.notify_func();
  std::thread reader([&] {
    notify({{"Demo.Double", celsius}, {"Demo.Gone", unreadable}, {"Demo.Boolean", plain}});
    notify({{"Demo.Gone", unreadable}});  // nothing told: nothing sent
  });
  reader.join();
  QVERIFY(received.isEmpty());  // queued: delivered by the GUI thread's event loop
  QTRY_COMPARE(received.size(), 1);
  QCOMPARE(receiving_thread, QThread::currentThreadId());
  const QHash<QString, ValueUnit> expected = {
      {QStringLiteral("Demo.Double"), {QStringLiteral("\u00b0C"), -40.0, 125.0}},
      {QStringLiteral("Demo.Boolean"), {QString(), {}, {}}}};
  QCOMPARE(received.front(), expected);
}

QTEST_MAIN(TableModelTest)
#include "tst_tablemodel.moc"
