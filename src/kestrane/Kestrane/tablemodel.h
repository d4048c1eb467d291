#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>
#include <QVariant>

// One table row: its cells in column order. The main window's rows have six cells, "DBID",
// "Tag Name", "Description", "Value", "Quality", "Source Time"; rows may be shorter than the
// headers.
using TableRow = QVariantList;
using TableRows = QList<TableRow>;

// Read-only table model over one page of tag rows; the paged table owns it and feeds it page
// slices. A cell in the column titled "Quality" whose value is not "Good" is drawn red; a text
// in the column titled "Value" that is long or spans lines shows cut, with more in its tooltip.
// GUI thread only.
class TableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // A cell's whole text, as "Copy Cell" takes it: never cut, times in ISO 8601 UTC.
  static constexpr int kFullTextRole = Qt::UserRole;
  // A value text longer than this many characters shows cut, ending in "…".
  static constexpr qsizetype kMaxValueChars = 40;
  // The tooltip of a cut value shows at most this many characters of it.
  static constexpr qsizetype kMaxToolTipChars = 2000;

  TableModel(TableRows data, QStringList headers, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  // Replaces every row with a model reset: attached views lose selection and scroll position.
  void update_data(TableRows data);
  // Replaces the rows in place when their number is unchanged, so attached views keep their
  // selection and scroll position; otherwise falls back to update_data.
  void update_values_only(TableRows data);

  const TableRows& rows() const { return _data; }
  const QStringList& headers() const { return _headers; }

 private:
  bool is_highlighted(const TableRow& row, int column) const;
  bool is_value_column(int column) const;

  TableRows _data;
  QStringList _headers;
};
