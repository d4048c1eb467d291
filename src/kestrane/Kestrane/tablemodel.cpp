#include "Kestrane/tablemodel.h"

#include <algorithm>
#include <utility>

#include <QColor>
#include <QDateTime>
#include <QTextDocument>

namespace {

const QString kQualityHeader = QStringLiteral("Quality");
const QString kValueHeader = QStringLiteral("Value");
const QString kTagNameHeader = QStringLiteral("Tag Name");
const QString kGoodQuality = QStringLiteral("Good");
// A tooltip does not wrap plain text by itself: its lines are broken at this many characters.
constexpr qsizetype kToolTipLineChars = 100;

bool is_line_break(QChar c) { return c == u'\n' || c == u'\r'; }

// A value text that a cell of ordinary width may not show whole.
bool is_long_value(const QVariant& cell) {
  if (cell.userType() != QMetaType::QString) return false;
  const QString text = cell.toString();
  if (text.size() > TableModel::kLongValueChars) return true;
  return std::any_of(text.cbegin(), text.cend(), is_line_break);
}

// Where a text may be cut at or before `end` without splitting a character in two.
qsizetype cut_point(const QString& text, qsizetype end) {
  return end > 0 && end < text.size() && text.at(end - 1).isHighSurrogate() ? end - 1 : end;
}

// As much of a text as a tooltip shows: its start, in lines short enough for the screen and
// not too many of them, and its length when this leaves some out.
QString bounded(const QString& text) {
  const qsizetype limit = cut_point(text, std::min(text.size(), TableModel::kMaxToolTipChars));
  QString shown;
  shown.reserve(limit + limit / kToolTipLineChars + 40);
  qsizetype column = 0;
  qsizetype lines = 1;
  qsizetype end = 0;
  for (; end < limit; ++end) {
    const QChar c = text.at(end);
    const bool wraps = c != u'\n' && column >= kToolTipLineChars && !c.isLowSurrogate();
    if (c == u'\n' || wraps) {
      if (lines == TableModel::kMaxToolTipLines) break;
      ++lines;
      column = 0;
      if (wraps) shown += u'\n';
    }
    if (c != u'\n') ++column;
    shown += c;
  }
  if (end < text.size()) {
    shown += QStringLiteral("\n\u2026 (%1 characters in all)").arg(text.size());
  }
  return shown;
}

// A cell's text in full: integers in plain digits (no group separators, so that a counter
// reads as stored), times in ISO 8601 UTC with milliseconds.
QString full_text(const QVariant& cell) {
  if (cell.userType() == QMetaType::QDateTime) {
    return cell.toDateTime().toUTC().toString(Qt::ISODateWithMs);
  }
  return cell.toString();
}

// A bound of a range as written in the server: no exponent for ordinary magnitudes.
QString range_bound(double value) { return QString::number(value, 'g', 15); }

// "12.5 °C" and "Range: 0 … 100", as far as they are known.
QStringList unit_lines(const QVariant& value, const ValueUnit& unit) {
  QStringList lines;
  if (!unit.unit.isEmpty()) {
    const QString text = full_text(value);
    lines.append(text.isEmpty() || is_long_value(value) ? QStringLiteral("Unit: ") + unit.unit
                                                        : text + u' ' + unit.unit);
  }
  if (unit.low && unit.high) {
    lines.append(QStringLiteral("Range: ") + range_bound(*unit.low) + QStringLiteral(" \u2026 ") +
                 range_bound(*unit.high));
  }
  return lines;
}

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
  if (column >= row.size()) {
    return role == Qt::DisplayRole || role == kFullTextRole ? QVariant(QString()) : QVariant();
  }
  const QVariant& cell = row.at(column);
  switch (role) {
    case Qt::DisplayRole:
      switch (cell.userType()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::QDateTime:
          return full_text(cell);
        default:
          return cell;
      }
    case Qt::ToolTipRole:
      return tool_tip(row, column);
    case kFullTextRole:
      return full_text(cell);
    case Qt::ForegroundRole:
      return is_highlighted(row, column) ? QVariant(QColor(Qt::red)) : QVariant();
    default:
      return QVariant();
  }
}

QVariant TableModel::tool_tip(const TableRow& row, int column) const {
  QStringList parts;
  if (is_value_column(column) && is_long_value(row.at(column))) {
    parts.append(bounded(row.at(column).toString()));
  }
  if (is_value_column(column) && !_units.isEmpty()) {
    const qsizetype name_column = _headers.indexOf(kTagNameHeader);
    if (name_column >= 0 && name_column < row.size()) {
      const auto found = _units.constFind(row.at(name_column).toString());
      if (found != _units.constEnd()) parts.append(unit_lines(row.at(column), *found));
    }
  }
  for (qsizetype i = 0; i < _detail_titles.size(); ++i) {
    const qsizetype cell = _headers.size() + i;
    if (cell >= row.size()) break;
    const QString text = full_text(row.at(cell));
    if (!text.isEmpty()) parts.append(_detail_titles.at(i) + QStringLiteral(": ") + bounded(text));
  }
  if (parts.isEmpty()) return QVariant();
  const QString tip = parts.join(u'\n');
  // A text that looks like markup would be drawn as markup; it is shown as written.
  return Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip) : tip;
}

bool TableModel::is_value_column(int column) const {
  return column < _headers.size() && _headers.at(column) == kValueHeader;
}

bool TableModel::is_highlighted(const TableRow& row, int column) const {
  if (column >= row.size() || _headers.at(column) != kQualityHeader) return false;
  const QVariant& cell = row.at(column);
  // Only the text "Good" counts as good; any other value, text or not, is flagged.
  return cell.userType() != QMetaType::QString || cell.toString() != kGoodQuality;
}

void TableModel::set_value_units(const QHash<QString, ValueUnit>& units) {
  for (auto it = units.constBegin(); it != units.constEnd(); ++it)
    _units.insert(it.key(), it.value());
  const int rows = static_cast<int>(_data.size());
  const int columns = columnCount();
  if (rows == 0 || columns == 0) return;
  emit dataChanged(index(0, 0), index(rows - 1, columns - 1), {Qt::ToolTipRole});
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
