#pragma once

#include <QStringList>
#include <QWidget>

#include "Kestrane/tablemodel.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

// A table view split into pages with navigation controls below it. The widget keeps every row
// and gives its model only the current page. Owned by its parent widget (the main window);
// GUI thread only. The rows themselves may be read by another thread under the owner's lock.
class PaginatedTableWidget : public QWidget {
  Q_OBJECT

 public:
  explicit PaginatedTableWidget(QStringList headers, QWidget* parent = nullptr);

  // The only way to change the rows. Unless keep_page, goes back to page 1. With soft_update
  // the shown values change in place (selection and scroll survive while the page keeps its
  // number of rows); otherwise the view is reset. Passing all_data() itself after editing it
  // in place costs no copy of the rows.
  void set_data(TableRows data, bool keep_page = false, bool soft_update = false);

  void update_ui();
  int compute_total_pages() const;
  TableRows get_current_page_data() const;
  void update_table();
  void update_button_states();

  const QStringList& headers() const { return headers_; }
  const TableRows& all_data() const { return all_data_; }
  // For in-place edits of many rows (the owner's merge of a batch of readings); follow them
  // with set_data(all_data(), true, true) so that the page shows them.
  TableRows& all_data() { return all_data_; }
  int current_page() const { return current_page_; }
  int rows_per_page() const { return rows_per_page_; }
  int total_pages() const { return total_pages_; }

  TableModel* table_model() { return &table_model_; }
  const TableModel* table_model() const { return &table_model_; }
  QTableView* table() const { return table_; }
  QLabel* page_label() const { return page_label_; }
  QLabel* rows_per_page_label() const { return rows_per_page_label_; }
  QComboBox* rows_per_page_combobox() const { return rows_per_page_combobox_; }
  QPushButton* first_page_button() const { return first_page_button_; }
  QPushButton* prev_button() const { return prev_button_; }
  QPushButton* next_button() const { return next_button_; }
  QPushButton* last_page_button() const { return last_page_button_; }

 public slots:
  void first_page();
  void prev_page();
  void next_page();
  void last_page();
  void change_rows_per_page();

 private:
  void update_page_indicator();

  QStringList headers_;
  TableRows all_data_;
  int current_page_ = 1;
  int rows_per_page_ = 10;
  int total_pages_ = 1;
  TableModel table_model_;

  // Child widgets, owned by this widget through Qt's parent chain.
  QTableView* table_ = nullptr;
  QLabel* page_label_ = nullptr;
  QLabel* rows_per_page_label_ = nullptr;
  QComboBox* rows_per_page_combobox_ = nullptr;
  QPushButton* first_page_button_ = nullptr;
  QPushButton* prev_button_ = nullptr;
  QPushButton* next_button_ = nullptr;
  QPushButton* last_page_button_ = nullptr;
};
