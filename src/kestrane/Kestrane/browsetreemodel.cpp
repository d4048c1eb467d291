#include "Kestrane/browsetreemodel.h"

#include <QBrush>
#include <QColor>
#include <algorithm>

struct BrowseTreeModel::Node {
  enum class Fetch { kNotFetched, kFetching, kFetched, kFailed };

  pyqar::BrowsedNode info;
  Node* parent = nullptr;
  int row = 0;
  std::vector<std::unique_ptr<Node>> children;
  Fetch fetch = Fetch::kNotFetched;
  Qt::CheckState check = Qt::Unchecked;
  QString error;
  pyqar::VariableDetails details;
  bool has_details = false;
};

namespace {

QString value_cell(const pyqar::VariableDetails& d) {
  const QString value = QString::fromStdString(d.value);
  if (d.status.empty()) return value;
  const QString status = QString::fromStdString(d.status);
  return value.isEmpty() ? status : value + QStringLiteral(" (") + status + QLatin1Char(')');
}

}  // namespace

BrowseTreeModel::BrowseTreeModel(QObject* parent)
    : QAbstractItemModel(parent), root_(std::make_unique<Node>()) {
  root_->info.node_id = kObjectsFolderId;
}

BrowseTreeModel::~BrowseTreeModel() = default;

BrowseTreeModel::Node* BrowseTreeModel::node_at(const QModelIndex& index) const {
  return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

QModelIndex BrowseTreeModel::index_of(const Node* node, int column) const {
  if (node == root_.get()) return {};
  return createIndex(node->row, column, const_cast<Node*>(node));
}

QModelIndex BrowseTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!hasIndex(row, column, parent)) return {};
  return createIndex(row, column, node_at(parent)->children[static_cast<std::size_t>(row)].get());
}

QModelIndex BrowseTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return index_of(node_at(child)->parent);
}

int BrowseTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  return static_cast<int>(node_at(parent)->children.size());
}

int BrowseTreeModel::columnCount(const QModelIndex&) const { return kColumnCount; }

bool BrowseTreeModel::hasChildren(const QModelIndex& parent) const {
  if (parent.column() > 0) return false;
  const Node* node = node_at(parent);
  switch (node->fetch) {
    case Node::Fetch::kNotFetched:
    case Node::Fetch::kFetching:
      return true;  // unknown until browsed: offer the expander
    case Node::Fetch::kFetched:
      return !node->children.empty();
    case Node::Fetch::kFailed:
      return false;
  }
  return false;
}

QVariant BrowseTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Node* node = node_at(index);
  const pyqar::BrowsedNode& info = node->info;
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kNodeIdColumn:
          return QString::fromStdString(info.node_id);
        case kDataTypeColumn:
          return QString::fromStdString(info.data_type);
        case kValueColumn:
          if (!node->has_details) return {};
          return node->details.error.empty() ? value_cell(node->details) : QStringLiteral("?");
        case kUnitColumn:
          return node->has_details ? QString::fromStdString(node->details.unit) : QVariant();
        default:
          return QString::fromStdString(browse_label(info));
      }
    case Qt::CheckStateRole:
      if (index.column() == kNameColumn) return node->check;
      return {};
    case Qt::ToolTipRole: {
      if (!node->error.isEmpty()) return QStringLiteral("Browse failed: ") + node->error;
      if (index.column() == kValueColumn && node->has_details) {
        if (!node->details.error.empty()) {
          return QStringLiteral("Not read: ") + QString::fromStdString(node->details.error);
        }
        const QString value = value_cell(node->details);
        return value.isEmpty() ? QVariant() : QVariant(value);
      }
      QString tip = QString::fromStdString(info.description);
      if (info.is_variable && !info.numeric) {
        if (!tip.isEmpty()) tip += QLatin1Char('\n');
        tip += QStringLiteral("Not numeric: not imported");
      }
      return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    case Qt::ForegroundRole:
      if (!node->error.isEmpty()) return QBrush(QColor(Qt::red));
      if (info.is_variable && !info.numeric) return QBrush(QColor(Qt::gray));
      return {};
    default:
      return {};
  }
}

Qt::ItemFlags BrowseTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kNameColumn) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant BrowseTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kNameColumn:
      return QStringLiteral("Name");
    case kNodeIdColumn:
      return QStringLiteral("Node Id");
    case kDataTypeColumn:
      return QStringLiteral("Data Type");
    case kValueColumn:
      return QStringLiteral("Value");
    case kUnitColumn:
      return QStringLiteral("Unit");
    default:
      return {};
  }
}

bool BrowseTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || index.column() != kNameColumn) {
    return false;
  }
  // A partly checked box that is clicked becomes checked; a tristate value from outside is
  // no choice of the operator's.
  const auto state = static_cast<Qt::CheckState>(value.toInt());
  if (state == Qt::PartiallyChecked) return false;
  Node* node = node_at(index);
  check_subtree(*node, state);
  update_ancestors(node->parent);
  return true;
}

void BrowseTreeModel::check_subtree(Node& node, Qt::CheckState state) {
  if (node.check != state) {
    node.check = state;
    const QModelIndex changed = index_of(&node);
    emit dataChanged(changed, changed, {Qt::CheckStateRole});
  }
  for (const std::unique_ptr<Node>& child : node.children) check_subtree(*child, state);
}

void BrowseTreeModel::update_ancestors(Node* node) {
  for (; node != nullptr && node != root_.get(); node = node->parent) {
    const bool all_checked = std::all_of(node->children.begin(), node->children.end(),
                                         [](const auto& c) { return c->check == Qt::Checked; });
    const bool none_checked = std::all_of(node->children.begin(), node->children.end(),
                                          [](const auto& c) { return c->check == Qt::Unchecked; });
    const Qt::CheckState state = all_checked    ? Qt::Checked
                                 : none_checked ? Qt::Unchecked
                                                : Qt::PartiallyChecked;
    if (node->check == state) return;
    node->check = state;
    const QModelIndex changed = index_of(node);
    emit dataChanged(changed, changed, {Qt::CheckStateRole});
  }
}

bool BrowseTreeModel::canFetchMore(const QModelIndex& parent) const {
  if (parent.column() > 0) return false;
  return node_at(parent)->fetch == Node::Fetch::kNotFetched;
}

void BrowseTreeModel::fetchMore(const QModelIndex& parent) {
  if (!canFetchMore(parent)) return;
  Node* node = node_at(parent);
  node->fetch = Node::Fetch::kFetching;
  const quint64 key = next_key_++;
  pending_.emplace(key, node);
  emit fetch_requested(key, QString::fromStdString(node->info.node_id));
}

void BrowseTreeModel::add_children(quint64 key, const std::vector<pyqar::BrowsedNode>& nodes) {
  const auto found = pending_.find(key);
  if (found == pending_.end()) return;
  Node* node = found->second;
  pending_.erase(found);
  node->fetch = Node::Fetch::kFetched;
  if (!nodes.empty()) {
    beginInsertRows(index_of(node), 0, static_cast<int>(nodes.size()) - 1);
    // Children come unchecked under a partly checked node (only its loaded children
    // were chosen), like their parent otherwise.
    const Qt::CheckState inherited = node->check == Qt::Checked ? Qt::Checked : Qt::Unchecked;
    for (const pyqar::BrowsedNode& info : nodes) {
      auto child = std::make_unique<Node>();
      child->info = info;
      child->parent = node;
      child->row = static_cast<int>(node->children.size());
      child->check = inherited;
      node->children.push_back(std::move(child));
    }
    endInsertRows();
    request_details(*node);
  }
  if (node != root_.get()) {
    // The expander goes away when the node turned out to be empty.
    const QModelIndex changed = index_of(node);
    emit dataChanged(changed, changed);
  }
}

void BrowseTreeModel::fetch_failed(quint64 key, const QString& reason) {
  const auto found = pending_.find(key);
  if (found == pending_.end()) return;
  Node* node = found->second;
  pending_.erase(found);
  node->fetch = Node::Fetch::kFailed;
  node->error = reason;
  if (node != root_.get()) {
    emit dataChanged(index_of(node, kNameColumn), index_of(node, kColumnCount - 1));
  }
}

void BrowseTreeModel::request_details(const Node& parent) {
  std::vector<Node*> variables;
  std::vector<std::string> ids;
  for (const std::unique_ptr<Node>& child : parent.children) {
    if (!child->info.is_variable || child->has_details) continue;
    variables.push_back(child.get());
    ids.push_back(child->info.node_id);
  }
  if (variables.empty()) return;
  const quint64 key = next_key_++;
  details_pending_.emplace(key, std::move(variables));
  emit details_requested(key, ids);
}

void BrowseTreeModel::add_details(quint64 key, const std::vector<pyqar::VariableDetails>& details) {
  const auto found = details_pending_.find(key);
  if (found == details_pending_.end()) return;
  const std::vector<Node*> nodes = std::move(found->second);
  details_pending_.erase(found);
  for (std::size_t i = 0; i < nodes.size() && i < details.size(); ++i) {
    nodes[i]->details = details[i];
    nodes[i]->has_details = true;
    emit dataChanged(index_of(nodes[i], kValueColumn), index_of(nodes[i], kUnitColumn),
                     {Qt::DisplayRole, Qt::ToolTipRole});
  }
}

std::vector<BrowseTarget> BrowseTreeModel::checked_targets() const {
  std::vector<BrowseTarget> targets;
  for (const std::unique_ptr<Node>& child : root_->children) collect_targets(*child, targets);
  return targets;
}

void BrowseTreeModel::collect_targets(const Node& node, std::vector<BrowseTarget>& targets) const {
  if (node.check == Qt::Checked) {
    targets.push_back({node.info, path_of(node)});
  } else if (node.check == Qt::PartiallyChecked) {
    for (const std::unique_ptr<Node>& child : node.children) collect_targets(*child, targets);
  }
}

bool BrowseTreeModel::has_checked() const {
  return std::any_of(root_->children.begin(), root_->children.end(),
                     [](const auto& child) { return child->check != Qt::Unchecked; });
}

std::string BrowseTreeModel::path_of(const Node& node) const {
  std::string path = browse_label(node.info);
  for (const Node* up = node.parent; up != nullptr && up != root_.get(); up = up->parent) {
    path = browse_label(up->info) + "/" + path;
  }
  return path;
}
