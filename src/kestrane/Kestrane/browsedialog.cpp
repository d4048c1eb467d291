#include "Kestrane/browsedialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <utility>

#include "Kestrane/browsetreemodel.h"
#include "Kestrane/browseworker.h"

template <class Call>
void BrowseDialog::post(Call call) {
  BrowseWorker* worker = worker_.get();
  QMetaObject::invokeMethod(
      worker, [worker, call = std::move(call)] { call(*worker); }, Qt::QueuedConnection);
}

BrowseDialog::BrowseDialog(const QString& url, BrowseSourceFactory factory, QWidget* parent)
    : QDialog(parent), url_(url), worker_(std::make_unique<BrowseWorker>(std::move(factory))) {
  setObjectName(QStringLiteral("browse_dialog"));
  setWindowTitle(QStringLiteral("Browse Server - ") + url);
  resize(960, 520);

  auto* layout = new QVBoxLayout(this);
  auto* server_label = new QLabel(QStringLiteral("Server: ") + url, this);
  server_label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(server_label);

  model_ = new BrowseTreeModel(this);
  tree_ = new QTreeView(this);
  tree_->setObjectName(QStringLiteral("browse_tree"));
  tree_->setUniformRowHeights(true);
  tree_->setModel(model_);
  tree_->header()->setSectionResizeMode(BrowseTreeModel::kNameColumn, QHeaderView::Interactive);
  tree_->header()->resizeSection(BrowseTreeModel::kNameColumn, 300);
  layout->addWidget(tree_);

  status_label_ = new QLabel(QStringLiteral("Connecting to ") + url + QStringLiteral(" ..."), this);
  status_label_->setObjectName(QStringLiteral("browse_status"));
  status_label_->setWordWrap(true);
  status_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(status_label_);

  auto* buttons = new QDialogButtonBox(this);
  import_button_ =
      buttons->addButton(QStringLiteral("Import Selected"), QDialogButtonBox::AcceptRole);
  import_button_->setObjectName(QStringLiteral("import_selected_button"));
  import_button_->setEnabled(false);
  QPushButton* close_button = buttons->addButton(QDialogButtonBox::Close);
  close_button->setObjectName(QStringLiteral("close_button"));
  layout->addWidget(buttons);
  // The box's accepted() stays unconnected: the walk decides when the dialog closes.
  connect(import_button_, &QPushButton::clicked, this, &BrowseDialog::import_selected);
  connect(close_button, &QPushButton::clicked, this, &QDialog::reject);

  worker_->moveToThread(&thread_);
  connect(worker_.get(), &BrowseWorker::open_failed, this, [this](const QString& reason) {
    open_failed_ = true;
    show_error(QStringLiteral("Cannot browse ") + url_ + QStringLiteral(": ") + reason);
  });
  connect(worker_.get(), &BrowseWorker::browsed, model_, &BrowseTreeModel::add_children);
  connect(worker_.get(), &BrowseWorker::details_read, model_, &BrowseTreeModel::add_details);
  connect(worker_.get(), &BrowseWorker::browsed, this, [this] {
    if (!collecting_ && !status_label_->property("error").toBool()) {
      show_status(QStringLiteral("Connected. Expand a folder to browse it; check what to import."));
    }
  });
  connect(worker_.get(), &BrowseWorker::browse_failed, this,
          [this](quint64 key, const QString& reason) {
            model_->fetch_failed(key, reason);
            // Without a session every browse fails for the reason already shown.
            if (open_failed_) return;
            show_error(QStringLiteral("Browsing ") + url_ + QStringLiteral(" failed: ") + reason);
          });
  connect(worker_.get(), &BrowseWorker::collect_progress, this,
          [this](qulonglong visited, qulonglong found) {
            show_status(QStringLiteral("Collecting variables: %1 nodes visited, %2 found ...")
                            .arg(visited)
                            .arg(found));
          });
  connect(worker_.get(), &BrowseWorker::collected, this, &BrowseDialog::on_collected);
  connect(worker_.get(), &BrowseWorker::collect_failed, this, [this](const QString& reason) {
    set_collecting(false);
    show_error(QStringLiteral("Browsing ") + url_ + QStringLiteral(" failed: ") + reason);
  });
  connect(model_, &BrowseTreeModel::fetch_requested, this,
          [this](quint64 key, const QString& node_id) {
            post([key, node_id](BrowseWorker& worker) { worker.browse(key, node_id); });
          });
  connect(model_, &BrowseTreeModel::details_requested, this,
          [this](quint64 key, const std::vector<std::string>& node_ids) {
            post([key, node_ids](BrowseWorker& worker) { worker.read_details(key, node_ids); });
          });
  connect(model_, &QAbstractItemModel::dataChanged, this, &BrowseDialog::update_import_button);
  connect(model_, &QAbstractItemModel::rowsInserted, this, &BrowseDialog::update_import_button);

  thread_.setObjectName(QStringLiteral("browse worker"));
  thread_.start();
  post([url](BrowseWorker& worker) { worker.open(url); });
  model_->fetchMore(QModelIndex());
}

BrowseDialog::~BrowseDialog() {
  worker_->request_stop();
  post([](BrowseWorker& worker) { worker.close(); });
  thread_.wait();
  worker_.reset();
}

void BrowseDialog::import_selected() {
  std::vector<BrowseTarget> targets = model_->checked_targets();
  if (targets.empty()) {
    show_status(QStringLiteral("Check the variables or folders to import first."));
    return;
  }
  set_collecting(true);
  show_status(QStringLiteral("Collecting variables ..."));
  post([targets = std::move(targets)](BrowseWorker& worker) { worker.collect(targets); });
}

void BrowseDialog::on_collected(const BrowseWalkResult& result) {
  set_collecting(false);
  if (result.tags.empty()) {
    QString text = QStringLiteral("No numeric variable at or below the checked nodes");
    if (result.not_numeric > 0) {
      text += QStringLiteral(" (%1 variables of other types left out)").arg(result.not_numeric);
    }
    show_status(text + QLatin1Char('.'));
    return;
  }
  emit tags_chosen(result.tags);
  accept();
}

void BrowseDialog::show_error(const QString& text) {
  status_label_->setProperty("error", true);
  status_label_->setStyleSheet(QStringLiteral("color: red"));
  status_label_->setText(text);
}

void BrowseDialog::show_status(const QString& text) {
  status_label_->setProperty("error", false);
  status_label_->setStyleSheet(QString());
  status_label_->setText(text);
}

void BrowseDialog::set_collecting(bool collecting) {
  collecting_ = collecting;
  tree_->setEnabled(!collecting);
  update_import_button();
}

void BrowseDialog::update_import_button() {
  import_button_->setEnabled(!collecting_ && model_->has_checked());
}
