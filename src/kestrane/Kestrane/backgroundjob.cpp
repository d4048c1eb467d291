#include "Kestrane/backgroundjob.h"

#include <stdexcept>
#include <utility>

BackgroundJob::BackgroundJob(QObject* parent) : QObject(parent) {}

BackgroundJob::~BackgroundJob() {
  cancel();
  wait();
}

void BackgroundJob::start(Work work) {
  if (thread_) throw std::logic_error("a background job is already running");
  cancel_requested_ = false;
  error_ = nullptr;
  const JobContext context{
      .cancelled = [this] { return cancel_requested_.load(); },
      .progress = [this](qint64 done, qint64 total) { emit progress(done, total); },
  };
  thread_.reset(QThread::create([this, work = std::move(work), context] {
    // Nothing may leave a thread function; the owner reads the error after finished().
    try {
      work(context);
    } catch (...) {
      error_ = std::current_exception();
    }
  }));
  // The thread object lives here, so its end arrives as a queued call on this thread.
  connect(thread_.get(), &QThread::finished, this, &BackgroundJob::on_thread_finished);
  thread_->start();
}

void BackgroundJob::cancel() { cancel_requested_ = true; }

void BackgroundJob::wait() {
  if (thread_) thread_->wait();
}

void BackgroundJob::on_thread_finished() {
  if (!thread_) return;
  thread_->wait();
  thread_.reset();
  emit finished();
}
