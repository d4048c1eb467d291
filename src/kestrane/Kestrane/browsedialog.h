#pragma once
// BrowseDialog: "Browse Server…": the address space of one OPC UA server as a lazily loaded
// tree with check boxes; "Import Selected" walks the checked nodes on the worker's thread and
// hands the variables found to the window. Made by the window (its Qt parent); GUI thread only.

#include <QDialog>
#include <QString>
#include <QThread>
#include <memory>
#include <vector>

#include "Kestrane/browsesource.h"
#include "Kestrane/browsewalk.h"
#include "config/tag_csv.h"

class BrowseTreeModel;
class BrowseWorker;
class QLabel;
class QPushButton;
class QTreeView;

class BrowseDialog : public QDialog {
  Q_OBJECT

 public:
  BrowseDialog(const QString& url, BrowseSourceFactory factory, QWidget* parent = nullptr);
  // Stops a running walk and waits for the worker's thread: at most one server answer.
  ~BrowseDialog() override;

  BrowseTreeModel* model() const { return model_; }
  QTreeView* tree() const { return tree_; }

 signals:
  // The variables to add to the tag table, once, just before the dialog closes.
  void tags_chosen(const std::vector<kestrane_config::TagEntry>& tags);

 private:
  template <class Call>
  void post(Call call);
  void import_selected();
  void on_collected(const BrowseWalkResult& result);
  void show_error(const QString& text);
  void show_status(const QString& text);
  void set_collecting(bool collecting);
  void update_import_button();

  QString url_;
  std::unique_ptr<BrowseWorker> worker_;
  QThread thread_;
  bool collecting_ = false;
  bool open_failed_ = false;
  BrowseTreeModel* model_ = nullptr;  // children of the dialog
  QTreeView* tree_ = nullptr;
  QLabel* status_label_ = nullptr;
  QPushButton* import_button_ = nullptr;
};
