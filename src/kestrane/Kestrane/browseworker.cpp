#include "Kestrane/browseworker.h"

#include <QElapsedTimer>
#include <QThread>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

// Progress lines at most this often: the walk may visit thousands of nodes a second.
constexpr qint64 kProgressEveryMsec = 100;

QString reason_of(const std::exception& e) { return QString::fromUtf8(e.what()); }

}  // namespace

BrowseWorker::BrowseWorker(BrowseSourceFactory factory) : factory_(std::move(factory)) {}

BrowseWorker::~BrowseWorker() = default;

void BrowseWorker::open(const QString& url) {
  if (stop_requested_) return;
  try {
    if (!factory_) throw std::runtime_error("this program was built without OPC UA browsing");
    source_ = factory_(url.toStdString());
    if (!source_) throw std::runtime_error("no browse session could be made");
  } catch (const std::exception& e) {
    open_error_ = reason_of(e);
    emit open_failed(open_error_);
  }
}

void BrowseWorker::browse(quint64 key, const QString& node_id) {
  if (stop_requested_) return;
  if (!source_) {
    emit browse_failed(key, open_error_);
    return;
  }
  try {
    emit browsed(key, source_->children(node_id.toStdString()));
  } catch (const std::exception& e) {
    emit browse_failed(key, reason_of(e));
  }
}

void BrowseWorker::read_details(quint64 key, const std::vector<std::string>& node_ids) {
  if (stop_requested_) return;
  std::vector<pyqar::VariableDetails> details;
  try {
    if (!source_) throw std::runtime_error(open_error_.toStdString());
    details = source_->details(node_ids);
    if (details.size() != node_ids.size()) throw std::runtime_error("the server's answer is short");
  } catch (const std::exception& e) {
    pyqar::VariableDetails failed;
    failed.error = e.what();
    details.assign(node_ids.size(), failed);
  }
  emit details_read(key, details);
}

void BrowseWorker::collect(const std::vector<BrowseTarget>& targets) {
  if (stop_requested_) return;
  if (!source_) {
    emit collect_failed(open_error_);
    return;
  }
  QElapsedTimer since_progress;
  since_progress.start();
  const BrowseWalkHooks hooks{
      .cancelled = [this] { return stop_requested_.load(); },
      .progress =
          [&](std::size_t visited, std::size_t found) {
            if (since_progress.elapsed() < kProgressEveryMsec) return;
            since_progress.restart();
            emit collect_progress(visited, found);
          },
  };
  try {
    BrowseWalkResult result = collect_variables(*source_, targets, hooks);
    if (!result.cancelled) emit collected(result);
  } catch (const std::exception& e) {
    emit collect_failed(reason_of(e));
  }
}

void BrowseWorker::close() {
  source_.reset();
  QThread::currentThread()->quit();
}
