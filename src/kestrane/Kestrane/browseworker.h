#pragma once
// BrowseWorker: the browse dialog's side of the server, living on a thread of its own, where
// it makes, uses and destroys the BrowseSource. Owned by BrowseDialog, which calls it only by
// queued invocations and request_stop(); it answers by signals, queued to the dialog.

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

#include "Kestrane/browsesource.h"
#include "Kestrane/browsewalk.h"
#include "pyqar/ua_browser.h"

class BrowseWorker : public QObject {
  Q_OBJECT

 public:
  explicit BrowseWorker(BrowseSourceFactory factory);
  ~BrowseWorker() override;

  // Worker thread: each call waits its turn in the thread's event queue.
  void open(const QString& url);
  void browse(quint64 key, const QString& node_id);
  void collect(const std::vector<BrowseTarget>& targets);
  // Answers with details_read, one entry per node; a failure gives each node its reason.
  void read_details(quint64 key, const std::vector<std::string>& node_ids);
  // Drops the source here, on its own thread, and ends the thread's event loop.
  void close();

  // Any thread: a running walk stops at its next node, and later calls do nothing.
  void request_stop() { stop_requested_ = true; }

 signals:
  void open_failed(const QString& reason);
  void browsed(quint64 key, const std::vector<pyqar::BrowsedNode>& nodes);
  void browse_failed(quint64 key, const QString& reason);
  void details_read(quint64 key, const std::vector<pyqar::VariableDetails>& details);
  void collect_progress(qulonglong visited, qulonglong found);
  void collected(const BrowseWalkResult& result);
  void collect_failed(const QString& reason);

 private:
  BrowseSourceFactory factory_;
  std::unique_ptr<BrowseSource> source_;
  QString open_error_;  // why there is no source
  std::atomic<bool> stop_requested_{false};
};
