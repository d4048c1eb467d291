#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include "Kestrane/paginatedtablewidget.h"

namespace {

const QStringList kHeaders = {"DBID", "Tag Name", "Description", "Value", "Quality"};

// Rows numbered from 1, as the main window builds them after an import.
TableRows make_rows(int count) {
  TableRows rows;
  for (int i = 1; i <= count; ++i) {
    rows.append({QString::number(i), QStringLiteral("Demo.Tag%1").arg(i),
                 QStringLiteral("tag %1").arg(i), QString(), QString()});
  }
  return rows;
}

QString shown(const PaginatedTableWidget& widget, int row, int column) {
  const TableModel* model = widget.table_model();
  return model->data(model->index(row, column)).toString();
}

}  // namespace

class PaginatedTableWidgetTest : public QObject {
  Q_OBJECT

 private slots:
  void StartsEmptyOnPageOneOfOneWithEveryButtonDisabled();
  void OffersTheFourPageSizesAndTheGivenHeaders();
  void TwentyFiveRowsMakeThreePagesAndTheLastShowsFive();
  void ButtonsMoveBetweenPagesAndNewRowsStartOnPageOne();
  void PageSizeChangeGoesBackToPageOne();
  void KeepPageBeyondTheLastPageShowsAnEmptyPage();
  void SoftUpdateKeepsSelectionAndScroll();
  void SoftUpdateWithOtherRowCountOnThePageResetsTheView();
  void SoftUpdateRefreshesThePageCount();
  void PageRowsShowTheirValuesWholeAndTheirDetailsInTooltips();
};

void PaginatedTableWidgetTest::StartsEmptyOnPageOneOfOneWithEveryButtonDisabled() {
  PaginatedTableWidget widget(kHeaders);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 1"));
  QCOMPARE(widget.table_model()->rowCount(), 0);
  QCOMPARE(widget.current_page(), 1);
  QCOMPARE(widget.total_pages(), 1);
  QVERIFY(!widget.first_page_button()->isEnabled());
  QVERIFY(!widget.prev_button()->isEnabled());
  QVERIFY(!widget.next_button()->isEnabled());
  QVERIFY(!widget.last_page_button()->isEnabled());

  // Setting an empty list again, hard or soft, changes nothing.
  widget.set_data(TableRows(), true, true);
  widget.set_data(TableRows());
  widget.last_page();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 1"));
  QCOMPARE(widget.table_model()->rowCount(), 0);
}

void PaginatedTableWidgetTest::OffersTheFourPageSizesAndTheGivenHeaders() {
  PaginatedTableWidget widget(kHeaders);
  QComboBox* sizes = widget.rows_per_page_combobox();
  QCOMPARE(sizes->count(), 4);
  QStringList items;
  for (int i = 0; i < sizes->count(); ++i) items << sizes->itemText(i);
  QCOMPARE(items, QStringList({"10", "20", "50", "100"}));
  QCOMPARE(sizes->currentText(), QStringLiteral("10"));
  QCOMPARE(widget.rows_per_page(), 10);
  QCOMPARE(widget.rows_per_page_label()->text(), QStringLiteral("Rows per page:"));
  QCOMPARE(widget.first_page_button()->text(), QStringLiteral("First Page"));
  QCOMPARE(widget.prev_button()->text(), QStringLiteral("Previous Page"));
  QCOMPARE(widget.next_button()->text(), QStringLiteral("Next Page"));
  QCOMPARE(widget.last_page_button()->text(), QStringLiteral("Last Page"));

  QCOMPARE(widget.table()->model(), widget.table_model());
  QVERIFY(!widget.table()->verticalHeader()->isHidden());
  QCOMPARE(widget.table_model()->headers(), kHeaders);
}

void PaginatedTableWidgetTest::TwentyFiveRowsMakeThreePagesAndTheLastShowsFive() {
  PaginatedTableWidget widget(kHeaders);
  widget.set_data(make_rows(25));
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 3"));
  QCOMPARE(widget.table_model()->rowCount(), 10);
  QVERIFY(!widget.first_page_button()->isEnabled());
  QVERIFY(!widget.prev_button()->isEnabled());
  QVERIFY(widget.next_button()->isEnabled());
  QVERIFY(widget.last_page_button()->isEnabled());

  QTest::mouseClick(widget.last_page_button(), Qt::LeftButton);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 3 / 3"));
  const TableModel* model = widget.table_model();
  QCOMPARE(model->rowCount(), 5);
  QCOMPARE(shown(widget, 0, 1), QStringLiteral("Demo.Tag21"));
  QCOMPARE(shown(widget, 4, 1), QStringLiteral("Demo.Tag25"));
  QCOMPARE(model->headerData(0, Qt::Vertical).toString(), QStringLiteral("1"));
  QCOMPARE(model->headerData(4, Qt::Vertical).toString(), QStringLiteral("5"));
  QVERIFY(widget.first_page_button()->isEnabled());
  QVERIFY(widget.prev_button()->isEnabled());
  QVERIFY(!widget.next_button()->isEnabled());
  QVERIFY(!widget.last_page_button()->isEnabled());
}

void PaginatedTableWidgetTest::ButtonsMoveBetweenPagesAndNewRowsStartOnPageOne() {
  PaginatedTableWidget widget(kHeaders);
  widget.set_data(make_rows(25));
  widget.prev_page();
  QCOMPARE(widget.current_page(), 1);

  widget.next_button()->click();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 2 / 3"));
  QCOMPARE(shown(widget, 0, 1), QStringLiteral("Demo.Tag11"));
  widget.next_button()->click();
  widget.next_page();
  QCOMPARE(widget.current_page(), 3);

  widget.prev_button()->click();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 2 / 3"));
  widget.first_page_button()->click();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 3"));
  QCOMPARE(shown(widget, 0, 1), QStringLiteral("Demo.Tag1"));

  // Exactly two full pages: the second is the last.
  widget.set_data(make_rows(20));
  widget.last_page();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 2 / 2"));
  QCOMPARE(widget.table_model()->rowCount(), 10);

  // New rows without keep_page start again from page 1.
  widget.set_data(make_rows(25));
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 3"));
  QCOMPARE(shown(widget, 0, 1), QStringLiteral("Demo.Tag1"));
}

void PaginatedTableWidgetTest::PageSizeChangeGoesBackToPageOne() {
  PaginatedTableWidget widget(kHeaders);
  widget.set_data(make_rows(25));
  widget.last_page();
  QCOMPARE(widget.current_page(), 3);

  widget.rows_per_page_combobox()->setCurrentText(QStringLiteral("20"));
  QCOMPARE(widget.rows_per_page(), 20);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 2"));
  QCOMPARE(widget.table_model()->rowCount(), 20);
  widget.next_page();
  QCOMPARE(widget.table_model()->rowCount(), 5);

  widget.rows_per_page_combobox()->setCurrentText(QStringLiteral("100"));
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 1"));
  QCOMPARE(widget.table_model()->rowCount(), 25);
  QVERIFY(!widget.next_button()->isEnabled());
}

void PaginatedTableWidgetTest::KeepPageBeyondTheLastPageShowsAnEmptyPage() {
  PaginatedTableWidget widget(kHeaders);
  widget.set_data(make_rows(25));
  widget.last_page();

  widget.set_data(make_rows(25), true);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 3 / 3"));

  widget.set_data(make_rows(12), true);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 3 / 2"));
  QCOMPARE(widget.table_model()->rowCount(), 0);
  QVERIFY(!widget.next_button()->isEnabled());
  QVERIFY(!widget.last_page_button()->isEnabled());
  QVERIFY(widget.prev_button()->isEnabled());
  QVERIFY(widget.first_page_button()->isEnabled());

  widget.prev_button()->click();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 2 / 2"));
  QCOMPARE(widget.table_model()->rowCount(), 2);
  QCOMPARE(shown(widget, 1, 1), QStringLiteral("Demo.Tag12"));

  // From beyond the end, "Last Page" lands on the real last page.
  widget.set_data(make_rows(5), true);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 2 / 1"));
  widget.last_page();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 1"));
  QCOMPARE(widget.table_model()->rowCount(), 5);
}

void PaginatedTableWidgetTest::SoftUpdateKeepsSelectionAndScroll() {
  PaginatedTableWidget widget(kHeaders);
  widget.resize(640, 240);
  widget.show();
  QVERIFY(QTest::qWaitForWindowExposed(&widget));
  widget.rows_per_page_combobox()->setCurrentText(QStringLiteral("100"));
  widget.set_data(make_rows(250));
  widget.next_page();

  QTableView* view = widget.table();
  const QModelIndex chosen = widget.table_model()->index(60, 3);
  view->selectionModel()->setCurrentIndex(chosen, QItemSelectionModel::ClearAndSelect);
  view->scrollTo(chosen, QAbstractItemView::PositionAtTop);
  const int scrolled = view->verticalScrollBar()->value();
  QVERIFY(scrolled > 0);

  QSignalSpy reset(widget.table_model(), &TableModel::modelReset);
  QSignalSpy changed(widget.table_model(), &TableModel::dataChanged);
  // The owner's merge edits the rows in place and hands the same list back.
  TableRows& rows = widget.all_data();
  for (qsizetype i = 0; i < rows.size(); ++i) {
    rows[i][3] = 0.5 * static_cast<double>(i);
    rows[i][4] = (i % 2 == 0) ? QStringLiteral("Good") : QStringLiteral("Bad");
  }
  widget.set_data(widget.all_data(), true, true);

  QCOMPARE(reset.count(), 0);
  QCOMPARE(changed.count(), 1);
  QCOMPARE(widget.current_page(), 2);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 2 / 3"));
  QCOMPARE(view->selectionModel()->currentIndex(), chosen);
  QVERIFY(view->selectionModel()->isSelected(chosen));
  QCOMPARE(view->selectionModel()->selectedIndexes().size(), 1);
  QCOMPARE(view->verticalScrollBar()->value(), scrolled);
  // Row 61 of page 2 is row 161 of the list (index 160).
  QCOMPARE(widget.table_model()->data(chosen).toDouble(), 80.0);
  QCOMPARE(shown(widget, 60, 1), QStringLiteral("Demo.Tag161"));
  QCOMPARE(widget.all_data().size(), 250);
}

void PaginatedTableWidgetTest::SoftUpdateWithOtherRowCountOnThePageResetsTheView() {
  PaginatedTableWidget widget(kHeaders);
  widget.set_data(make_rows(25));
  widget.last_page();
  QTableView* view = widget.table();
  view->selectionModel()->setCurrentIndex(widget.table_model()->index(1, 1),
                                          QItemSelectionModel::ClearAndSelect);
  QVERIFY(view->selectionModel()->hasSelection());

  QSignalSpy reset(widget.table_model(), &TableModel::modelReset);
  widget.set_data(make_rows(23), true, true);
  QCOMPARE(reset.count(), 1);
  QCOMPARE(widget.table_model()->rowCount(), 3);
  QVERIFY(!view->selectionModel()->hasSelection());
}

void PaginatedTableWidgetTest::SoftUpdateRefreshesThePageCount() {
  PaginatedTableWidget widget(kHeaders);
  widget.set_data(make_rows(25));
  QVERIFY(!widget.first_page_button()->isEnabled());

  widget.set_data(make_rows(40), true, true);
  QCOMPARE(widget.table_model()->rowCount(), 10);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 4"));
  widget.last_page();
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 4 / 4"));

  // Soft but without keep_page: the model, label and buttons all follow page 1.
  widget.set_data(make_rows(40), false, true);
  QCOMPARE(widget.page_label()->text(), QStringLiteral("Page 1 / 4"));
  QCOMPARE(shown(widget, 0, 1), QStringLiteral("Demo.Tag1"));
  QVERIFY(!widget.prev_button()->isEnabled());
  QVERIFY(widget.next_button()->isEnabled());
}

void PaginatedTableWidgetTest::PageRowsShowTheirValuesWholeAndTheirDetailsInTooltips() {
  PaginatedTableWidget widget(kHeaders);
  widget.table_model()->set_detail_titles({QStringLiteral("Status")});
  widget.set_data(make_rows(25));
  widget.last_page();
  const QString text = QStringLiteral("first line\nsecond line, ") + QString(500, u'x');
  TableRows& rows = widget.all_data();
  rows[20][3] = text;
  rows[20][4] = QStringLiteral("Uncertain");
  rows[20].append(QStringLiteral("UncertainLastUsableValue"));
  widget.set_data(widget.all_data(), true, true);

  const TableModel* model = widget.table_model();
  QCOMPARE(shown(widget, 0, 1), QStringLiteral("Demo.Tag21"));
  QCOMPARE(shown(widget, 0, 3), text);
  QCOMPARE(shown(widget, 0, 4), QStringLiteral("Uncertain"));
  const QString tip = model->data(model->index(0, 3), Qt::ToolTipRole).toString();
  QVERIFY(tip.startsWith(QStringLiteral("first line\nsecond line, xxx")));
  QVERIFY(tip.endsWith(
      QStringLiteral("\u2026 (524 characters in all)\nStatus: UncertainLastUsableValue")));
  QCOMPARE(model->data(model->index(0, 4), Qt::ToolTipRole).toString(),
           QStringLiteral("Status: UncertainLastUsableValue"));
  QVERIFY(!model->data(model->index(1, 4), Qt::ToolTipRole).isValid());
  // Another page has rows without details.
  widget.first_page();
  QVERIFY(!model->data(model->index(0, 4), Qt::ToolTipRole).isValid());
}

QTEST_MAIN(PaginatedTableWidgetTest)
#include "tst_paginatedtablewidget.moc"
