#include "Kestrane/eventsmodel.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <algorithm>
#include <chrono>
#include <iterator>
#include <string_view>
#include <utility>

namespace {

// The bracket of a condition refresh (RefreshStartEventType, RefreshEndEventType): no source,
// no message; the refreshed states between them carry their own mark.
bool is_refresh_marker(const pyqar::EventRecord& event) {
  return event.event_type == "i=2787" || event.event_type == "i=2788";
}

QString qstring(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// As the values table shows its times: ISO 8601 UTC with milliseconds.
QString time_text(pyqar::Timestamp time) {
  const auto msecs = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
  return QDateTime::fromMSecsSinceEpoch(msecs.count(), Qt::UTC).toString(Qt::ISODateWithMs);
}

QString source_text(const pyqar::EventRecord& event) {
  return qstring(event.source_name.empty() ? event.source_node : event.source_name);
}

bool is_condition(const pyqar::EventRecord& event) {
  return event.condition_id.has_value() || event.active.has_value() || event.acked.has_value();
}

QString tooltip(const pyqar::EventRecord& event, int column) {
  switch (column) {
    case EventsModel::kTime:
      return event.receive_time ? QStringLiteral("Received %1").arg(time_text(*event.receive_time))
                                : QString();
    case EventsModel::kSource:
      return qstring(event.source_node);
    case EventsModel::kMessage: {
      QString text = qstring(event.message);
      if (event.condition_name && !event.condition_name->empty()) {
        text += QStringLiteral("\nCondition: ") + qstring(*event.condition_name);
      }
      return text;
    }
    case EventsModel::kState:
      return event.refresh ? QStringLiteral(
                                 "Reported by a condition refresh: the state the "
                                 "condition had when the subscription began")
                           : QString();
    default:
      return QString();
  }
}

}  // namespace

EventsModel::EventsModel(QObject* parent) : QAbstractTableModel(parent) {}

int EventsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(events_.size());
}

int EventsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant EventsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount) {
    return QVariant();
  }
  const pyqar::EventRecord& shown = event(index.row());
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kTime:
          return time_text(shown.time);
        case kSeverity:
          // 0: the server sent none.
          return shown.severity > 0 ? QVariant(shown.severity) : QVariant();
        case kSource:
          return source_text(shown);
        case kMessage:
          return qstring(shown.message);
        case kState:
          return state_text(shown);
        default:
          return QVariant();
      }
    case Qt::ToolTipRole: {
      const QString text = tooltip(shown, index.column());
      return text.isEmpty() ? QVariant() : QVariant(text);
    }
    case Qt::TextAlignmentRole:
      if (index.column() == kSeverity) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
      }
      return QVariant();
    case Qt::FontRole:
      if (needs_attention(shown)) {
        QFont font;
        font.setBold(true);
        return font;
      }
      return QVariant();
    case Qt::BackgroundRole:
      return needs_attention(shown) ? QVariant(QBrush(QColor(255, 224, 160))) : QVariant();
    case Qt::ForegroundRole:
      return needs_attention(shown) ? QVariant(QBrush(QColor(150, 0, 0))) : QVariant();
    default:
      return QVariant();
  }
}

QVariant EventsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return QVariant();
  switch (section) {
    case kTime:
      return QStringLiteral("Time (UTC)");
    case kSeverity:
      return QStringLiteral("Severity");
    case kSource:
      return QStringLiteral("Source");
    case kMessage:
      return QStringLiteral("Message");
    case kState:
      return QStringLiteral("State");
    default:
      return QVariant();
  }
}

int EventsModel::add_events(std::vector<pyqar::EventRecord> events) {
  events.erase(std::remove_if(events.begin(), events.end(), is_refresh_marker), events.end());
  // Of a batch larger than the table only its newest part would survive.
  const std::size_t added = std::min<std::size_t>(events.size(), kCapacity);
  if (added == 0) return 0;
  const auto first_kept = events.end() - static_cast<std::ptrdiff_t>(added);

  const std::size_t overflow = std::max<std::size_t>(events_.size() + added, kCapacity) - kCapacity;
  if (overflow > 0) {
    const int first = static_cast<int>(events_.size() - overflow);
    beginRemoveRows(QModelIndex(), first, static_cast<int>(events_.size()) - 1);
    events_.erase(events_.end() - static_cast<std::ptrdiff_t>(overflow), events_.end());
    endRemoveRows();
  }
  beginInsertRows(QModelIndex(), 0, static_cast<int>(added) - 1);
  // The newest goes first: the batch, reversed, in front of what is shown.
  events_.insert(events_.begin(), std::make_move_iterator(std::make_reverse_iterator(events.end())),
                 std::make_move_iterator(std::make_reverse_iterator(first_kept)));
  endInsertRows();
  return static_cast<int>(added);
}

void EventsModel::clear() {
  beginResetModel();
  events_.clear();
  endResetModel();
}

const pyqar::EventRecord& EventsModel::event(int row) const {
  return events_[static_cast<std::size_t>(row)];
}

QString EventsModel::state_text(const pyqar::EventRecord& event) {
  if (!is_condition(event)) return QString();
  QStringList parts;
  if (event.active)
    parts.append(*event.active ? QStringLiteral("Active") : QStringLiteral("Inactive"));
  // An inactive alarm that was acknowledged has nothing left to do: "Inactive" says it all.
  if (event.acked && !(*event.acked && event.active && !*event.active)) {
    parts.append(*event.acked ? QStringLiteral("Acknowledged") : QStringLiteral("Unacknowledged"));
  }
  QString text = parts.join(QStringLiteral(", "));
  if (event.refresh) {
    text += text.isEmpty() ? QStringLiteral("(refresh)") : QStringLiteral(" (refresh)");
  }
  return text;
}

bool EventsModel::needs_attention(const pyqar::EventRecord& event) {
  return event.active.value_or(false) && event.acked.has_value() && !*event.acked;
}
