// The worker thread of the window's long tasks: results read on the owner's thread after
// finished(), queued progress, cancellation, errors kept, one work at a time.

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Kestrane/backgroundjob.h"
#include "testsupport.h"

namespace {

// A work that waits for a cancel gives up after this long, so a broken cancel fails the test
// instead of hanging it.
constexpr auto kWorkDeadline = std::chrono::seconds(20);
constexpr int kWaitMsec = 20000;

}  // namespace

class TestBackgroundJob : public QObject {
  Q_OBJECT

 private slots:
  void ResultIsReadOnTheOwnersThreadAfterFinished() {
    BackgroundJob job;
    int result = 0;
    QThread* work_thread = nullptr;
    QThread* finished_thread = nullptr;
    int result_seen = -1;
    connect(&job, &BackgroundJob::finished, this, [&] {
      finished_thread = QThread::currentThread();
      result_seen = result;
    });
    // Received on this thread, in order.
    QList<qint64> progress;
    connect(&job, &BackgroundJob::progress, this, [&](qint64 done, qint64) { progress << done; });
    job.start([&](const JobContext& context) {
      work_thread = QThread::currentThread();
      context.progress(1, 2);
      result = 42;
      context.progress(2, 2);
    });
    QVERIFY(job.is_running());
    QSignalSpy finished(&job, &BackgroundJob::finished);
    QVERIFY(finished.wait(kWaitMsec));
    QVERIFY(!job.is_running());
    QVERIFY(work_thread != QThread::currentThread());
    QCOMPARE(finished_thread, QThread::currentThread());
    QCOMPARE(result_seen, 42);
    // Progress arrived in order, before the end.
    QCOMPARE(progress, (QList<qint64>{1, 2}));
    QVERIFY(!job.error());
  }

  void CancelReachesTheWorkAndFinishedStillFollows() {
    BackgroundJob job;
    std::atomic<bool> saw_cancel{false};
    job.start([&](const JobContext& context) {
      const auto give_up = std::chrono::steady_clock::now() + kWorkDeadline;
      while (!context.cancelled() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      saw_cancel = context.cancelled();
    });
    QSignalSpy finished(&job, &BackgroundJob::finished);
    job.cancel();
    QVERIFY(finished.wait(kWaitMsec));
    QVERIFY(saw_cancel);
    QVERIFY(job.is_cancelled());

    // The next work starts uncancelled.
    job.start([](const JobContext&) {});
    QVERIFY(!job.is_cancelled());
    QVERIFY(finished.wait(kWaitMsec));
  }

  void ErrorOfTheWorkIsKept() {
    BackgroundJob job;
    job.start([](const JobContext&) { throw std::runtime_error("database went away"); });
    QSignalSpy finished(&job, &BackgroundJob::finished);
    QVERIFY(finished.wait(kWaitMsec));
    QVERIFY(job.error() != nullptr);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, std::rethrow_exception(job.error()));
  }

  void OneWorkAtATime() {
    BackgroundJob job;
    job.start([](const JobContext& context) {
      const auto give_up = std::chrono::steady_clock::now() + kWorkDeadline;
      while (!context.cancelled() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    QVERIFY_THROWS_EXCEPTION(std::logic_error, job.start([](const JobContext&) {}));
    job.cancel();
    QSignalSpy finished(&job, &BackgroundJob::finished);
    QVERIFY(finished.wait(kWaitMsec));
  }

  void DestructionStopsAndWaitsForTheWork() {
    std::atomic<bool> ended{false};
    {
      BackgroundJob job;
      job.start([&](const JobContext& context) {
        const auto give_up = std::chrono::steady_clock::now() + kWorkDeadline;
        while (!context.cancelled() && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ended = true;
      });
    }
    QVERIFY(ended);
  }
};

KESTRANE_TEST_MAIN(TestBackgroundJob)
#include "tst_backgroundjob.moc"
