#pragma once
// BrowseTreeModel: a server's address space as a tree with check boxes, loaded lazily: a
// node's children are asked for (fetch_requested) the first time the view wants them, and
// arrive later through add_children() or fetch_failed(). The value and unit of the variables
// among them are asked for (details_requested) as they arrive and shown once add_details()
// brings them. Owned by BrowseDialog; GUI thread only.

#include <QAbstractItemModel>
#include <QString>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Kestrane/browsewalk.h"
#include "pyqar/ua_browser.h"

class BrowseTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Column {
    kNameColumn = 0,
    kNodeIdColumn,
    kDataTypeColumn,
    kValueColumn,
    kUnitColumn,
    kColumnCount
  };

  explicit BrowseTreeModel(QObject* parent = nullptr);
  ~BrowseTreeModel() override;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

  // The answer to fetch_requested(key, ...); an unknown key (answered already) is ignored.
  void add_children(quint64 key, const std::vector<pyqar::BrowsedNode>& nodes);
  void fetch_failed(quint64 key, const QString& reason);
  // The answer to details_requested(key, ...), one entry per node asked for; an unknown key
  // is ignored.
  void add_details(quint64 key, const std::vector<pyqar::VariableDetails>& details);

  // The topmost checked nodes, each standing for itself and everything below it; a partly
  // checked node stands for its checked children only.
  std::vector<BrowseTarget> checked_targets() const;
  bool has_checked() const;

 signals:
  void fetch_requested(quint64 key, const QString& node_id);
  void details_requested(quint64 key, const std::vector<std::string>& node_ids);

 private:
  struct Node;

  Node* node_at(const QModelIndex& index) const;
  QModelIndex index_of(const Node* node, int column = kNameColumn) const;
  void check_subtree(Node& node, Qt::CheckState state);
  void update_ancestors(Node* node);
  void collect_targets(const Node& node, std::vector<BrowseTarget>& targets) const;
  std::string path_of(const Node& node) const;
  void request_details(const Node& parent);

  std::unique_ptr<Node> root_;
  // Nodes whose children were asked for, by request key. Nodes are never removed, so the
  // pointers stay valid.
  std::unordered_map<quint64, Node*> pending_;
  // Variables whose value and unit were asked for, by request key, in the order asked.
  std::unordered_map<quint64, std::vector<Node*>> details_pending_;
  quint64 next_key_ = 1;
};
