#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <utility>

// One table row: its cells in column order. The main window's rows have the five shown cells
// "DBID", "Tag Name", "Description", "Value", "Quality", and after them the details of the last
// reading (its status name and source time) that only the tooltip shows; rows may be shorter
// than the headers.
using TableRow = QVariantList;
using TableRows = QList<TableRow>;

// What the server says a tag's value is measured in: its engineering unit and range.
struct ValueUnit {
  QString unit;  // "°C"; empty when the server names none
  std::optional<double> low{};
  std::optional<double> high{};
  bool operator==(const ValueUnit&) const = default;
};

// Read-only table model over one page of tag rows; the paged table owns it and feeds it page
// slices. Cells show as stored. A cell in the column titled "Quality" whose value is not "Good"
// is drawn red. The cells after the headers are the row's details: every cell's tooltip lists
// them by their titles, and the "Value" cell's tooltip also holds a long or many-line text
// value in full, within a bound, and the tag's unit and range when the server told them
// ("12.5 °C", "Range: 0 … 100"). GUI thread only.
class TableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // A cell's whole text, as "Copy Cell" takes it: never cut, times in ISO 8601 UTC.
  static constexpr int kFullTextRole = Qt::UserRole;
  // A value text longer than this, or spanning lines, is repeated in its tooltip: a cell of
  // ordinary width may show only its start.
  static constexpr qsizetype kLongValueChars = 40;
  // A tooltip shows at most this many characters of a text, and ends in "…" when it leaves
  // some out, so that a huge value cannot fill the screen.
  static constexpr qsizetype kMaxToolTipChars = 300;
  // ... and at most this many lines of it, for a text of many short lines.
  static constexpr qsizetype kMaxToolTipLines = 12;

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

  // Titles of the cells that follow the headers' columns in a row, in order; tooltips name
  // each detail by its title. Cells beyond these titles are never shown.
  void set_detail_titles(QStringList titles) { _detail_titles = std::move(titles); }

  const TableRows& rows() const { return _data; }
  const QStringList& headers() const { return _headers; }
  const QStringList& detail_titles() const { return _detail_titles; }

  // Units and ranges by tag name (the "Tag Name" cell), added to or replacing those known;
  // kept across pages and reloads.
  void set_value_units(const QHash<QString, ValueUnit>& units);
  const QHash<QString, ValueUnit>& value_units() const { return _units; }

 private:
  bool is_highlighted(const TableRow& row, int column) const;
  bool is_value_column(int column) const;
  QVariant tool_tip(const TableRow& row, int column) const;

  TableRows _data;
  QStringList _headers;
  QStringList _detail_titles;
  QHash<QString, ValueUnit> _units;
};
