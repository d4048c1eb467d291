#include "Kestrane/paginatedtablewidget.h"

#include <algorithm>
#include <utility>

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSizePolicy>
#include <QSpacerItem>
#include <QTableView>
#include <QVBoxLayout>

PaginatedTableWidget::PaginatedTableWidget(QStringList headers, QWidget* parent)
    : QWidget(parent), headers_(std::move(headers)), table_model_(TableRows(), headers_) {
  table_ = new QTableView();
  table_->setModel(&table_model_);
  table_->verticalHeader()->setVisible(true);
  table_->verticalHeader()->setDefaultAlignment(Qt::AlignVCenter);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(table_);

  page_label_ = new QLabel();
  rows_per_page_label_ = new QLabel(QStringLiteral("Rows per page:"));
  rows_per_page_combobox_ = new QComboBox();
  rows_per_page_combobox_->addItems(
      {QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("50"), QStringLiteral("100")});
  rows_per_page_combobox_->setCurrentText(QString::number(rows_per_page_));
  connect(rows_per_page_combobox_, &QComboBox::currentIndexChanged, this,
          &PaginatedTableWidget::change_rows_per_page);

  first_page_button_ = new QPushButton(QStringLiteral("First Page"));
  prev_button_ = new QPushButton(QStringLiteral("Previous Page"));
  next_button_ = new QPushButton(QStringLiteral("Next Page"));
  last_page_button_ = new QPushButton(QStringLiteral("Last Page"));
  connect(first_page_button_, &QPushButton::clicked, this, &PaginatedTableWidget::first_page);
  connect(prev_button_, &QPushButton::clicked, this, &PaginatedTableWidget::prev_page);
  connect(next_button_, &QPushButton::clicked, this, &PaginatedTableWidget::next_page);
  connect(last_page_button_, &QPushButton::clicked, this, &PaginatedTableWidget::last_page);

  auto* navigation = new QHBoxLayout();
  navigation->addWidget(rows_per_page_label_);
  navigation->addWidget(rows_per_page_combobox_);
  navigation->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
  navigation->addWidget(first_page_button_);
  navigation->addWidget(prev_button_);
  navigation->addWidget(page_label_);
  navigation->addWidget(next_button_);
  navigation->addWidget(last_page_button_);
  layout->addLayout(navigation);

  update_ui();
}

void PaginatedTableWidget::set_data(TableRows data, bool keep_page, bool soft_update) {
  // When the caller hands back all_data() itself, this only moves the shared handle.
  all_data_ = std::move(data);
  if (!keep_page) current_page_ = 1;
  if (soft_update) {
    table_model_.update_values_only(get_current_page_data());
    // The row count may have changed, so the label and buttons must not go stale; refreshing
    // them leaves the view's selection and scroll position alone.
    update_page_indicator();
    return;
  }
  update_ui();
}

void PaginatedTableWidget::update_ui() {
  update_page_indicator();
  update_table();
}

void PaginatedTableWidget::update_page_indicator() {
  total_pages_ = compute_total_pages();
  page_label_->setText(QStringLiteral("Page %1 / %2").arg(current_page_).arg(total_pages_));
  update_button_states();
}

int PaginatedTableWidget::compute_total_pages() const {
  const qsizetype rows = all_data_.size();
  const qsizetype pages = (rows + rows_per_page_ - 1) / rows_per_page_;
  return static_cast<int>(std::max<qsizetype>(pages, 1));
}

TableRows PaginatedTableWidget::get_current_page_data() const {
  if (all_data_.isEmpty()) return TableRows();
  const qsizetype start = static_cast<qsizetype>(current_page_ - 1) * rows_per_page_;
  if (start >= all_data_.size()) return TableRows();
  // Rows are implicitly shared: the slice copies handles, not cells.
  return all_data_.mid(start, rows_per_page_);
}

void PaginatedTableWidget::update_table() { table_model_.update_data(get_current_page_data()); }

void PaginatedTableWidget::update_button_states() {
  first_page_button_->setEnabled(current_page_ > 1);
  prev_button_->setEnabled(current_page_ > 1);
  next_button_->setEnabled(current_page_ < total_pages_);
  last_page_button_->setEnabled(current_page_ < total_pages_);
}

void PaginatedTableWidget::first_page() {
  current_page_ = 1;
  update_ui();
}

void PaginatedTableWidget::prev_page() {
  if (current_page_ <= 1) return;
  --current_page_;
  update_ui();
}

void PaginatedTableWidget::next_page() {
  if (current_page_ >= total_pages_) return;
  ++current_page_;
  update_ui();
}

void PaginatedTableWidget::last_page() {
  current_page_ = total_pages_;
  update_ui();
}

void PaginatedTableWidget::change_rows_per_page() {
  bool ok = false;
  const int rows = rows_per_page_combobox_->currentText().toInt(&ok);
  // The selector only offers positive sizes; anything else would divide by zero.
  if (!ok || rows <= 0) return;
  rows_per_page_ = rows;
  current_page_ = 1;
  update_ui();
}
