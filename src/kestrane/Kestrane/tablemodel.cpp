#include "Kestrane/tablemodel.h"

#include <utility>

#include <QColor>

namespace {

const QString kQualityHeader = QStringLiteral("Quality");
const QString kGoodQuality = QStringLiteral("Good");

}  // namespace

TableModel::TableModel(TableRows data, QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), _data(std::move(data)), _headers(std::move(headers)) {}

int TableModel::rowCount(const QModelIndex& parent) const {
  // A table has no children below its cells; views rely on that to stop descending.
  return parent.isValid() ? 0 : static_cast<int>(_data.size());
}

int TableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(_headers.size());
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return QVariant();
  if (orientation == Qt::Horizontal) {
    if (section >= 0 && section < _headers.size()) return _headers.at(section);
    return QStringLiteral("Col %1").arg(section);
  }
  // Rows are numbered from 1 on every page, not by their place in the whole list.
  return QString::number(section + 1);
}

QVariant TableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= _data.size() || index.column() >= _headers.size()) {
    return QVariant();
  }
  const TableRow& row = _data.at(index.row());
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      return column < row.size() ? row.at(column) : QVariant(QString());
    case Qt::ForegroundRole:
      return is_highlighted(row, column) ? QVariant(QColor(Qt::red)) : QVariant();
    default:
      return QVariant();
  }
}

bool TableModel::is_highlighted(const TableRow& row, int column) const {
  if (column >= row.size() || _headers.at(column) != kQualityHeader) return false;
  const QVariant& cell = row.at(column);
  // Only the text "Good" counts as good; any other value, text or not, is flagged.
  return cell.userType() != QMetaType::QString || cell.toString() != kGoodQuality;
}

void TableModel::update_data(TableRows data) {
  beginResetModel();
  _data = std::move(data);
  endResetModel();
}

void TableModel::update_values_only(TableRows data) {
  if (data.size() != _data.size()) {
    update_data(std::move(data));
    return;
  }
  _data = std::move(data);
  const int rows = static_cast<int>(_data.size());
  const int columns = columnCount();
  // An empty page has no cells to announce, and indexes outside it would be invalid.
  if (rows == 0 || columns == 0) return;
  // The colour follows the quality text, so listeners filtering by role must hear of both.
  emit dataChanged(index(0, 0), index(rows - 1, columns - 1),
                   {Qt::DisplayRole, Qt::ForegroundRole});
}
