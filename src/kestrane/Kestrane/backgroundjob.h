#pragma once
// BackgroundJob: runs one piece of work at a time on a thread of its own, reporting progress
// and the end by queued signals. Owned by a GUI-thread object, whose thread alone calls it;
// the work runs on the job's thread and may touch only what it was given.

#include <QObject>
#include <QThread>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>

// What a piece of work may ask and tell while it runs; both callable from the job's thread.
struct JobContext {
  std::function<bool()> cancelled;
  std::function<void(qint64 done, qint64 total)> progress;
};

class BackgroundJob : public QObject {
  Q_OBJECT

 public:
  using Work = std::function<void(const JobContext&)>;

  explicit BackgroundJob(QObject* parent = nullptr);
  // Asks a running work to stop and waits for its thread.
  ~BackgroundJob() override;
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  // Throws std::logic_error while another work runs.
  void start(Work work);
  // Asks the work to stop at its next check; finished() still follows.
  void cancel();
  // Blocks until the work's thread has ended; finished() is then delivered by the event loop.
  void wait();

  bool is_running() const { return thread_ != nullptr; }
  bool is_cancelled() const { return cancel_requested_.load(); }
  // What escaped the last work, if anything; read after finished().
  std::exception_ptr error() const { return error_; }

 signals:
  // Emitted on the job's thread; delivered queued to receivers on the owner's thread.
  void progress(qint64 done, qint64 total);
  // On the owner's thread, after the work's thread has ended: its results may be read.
  void finished();

 private:
  void on_thread_finished();

  std::unique_ptr<QThread> thread_;
  std::atomic<bool> cancel_requested_{false};
  // Written by the work's thread before it ends, read by the owner after finished().
  std::exception_ptr error_;
};
