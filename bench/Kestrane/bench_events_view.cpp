// The desktop window's Events tab at a thousand events a second, shown on the offscreen
// platform: the GUI thread's work per collector cycle (the inbox emptied into the table, then
// the table laid out and painted), with the table already at its 10,000 rows so that every
// batch pushes as many old rows out as it brings in.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Kestrane/eventsmodel.h"
#include "Kestrane/eventsview.h"
#include "Kestrane/mainwidget.h"

namespace {

constexpr int kEventsPerSecond = 1'000;

// As a plant reports them: mostly plain events, one in ten an alarm's transition.
std::vector<pyqar::EventRecord> make_events(int first, int count) {
  std::vector<pyqar::EventRecord> events(static_cast<std::size_t>(count));
  const pyqar::Timestamp now = std::chrono::system_clock::now();
  for (int i = 0; i < count; ++i) {
    pyqar::EventRecord& event = events[static_cast<std::size_t>(i)];
    const int n = first + i;
    event.event_id = "event-" + std::to_string(n);
    event.event_type = "i=2041";
    event.source_node = "ns=2;s=Events.Plant";
    event.source_name = "Plant";
    event.time = now;
    event.receive_time = now;
    event.severity = 100 + n % 900;
    event.message = "tick " + std::to_string(n);
    if (n % 10 == 0) {
      event.event_type = "i=9341";
      event.source_name = "LevelAlarm";
      event.condition_id = "ns=2;s=Events.LevelAlarm";
      event.condition_name = "LevelAlarm";
      event.active = n % 20 == 0;
      event.acked = n % 30 == 0;
      event.message = "Level above the high limit";
    }
  }
  return events;
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The main window in a scratch folder, collecting events (the embedded database, no server),
// shown with its Events tab in front and 10,000 events in the table.
class EventsWindowFixture {
 public:
  EventsWindowFixture() {
    QDir::setCurrent(dir_.path());
    QDir(dir_.path()).mkpath(QStringLiteral("data"));
    write(QStringLiteral("data/tsdb_default.db"), {});
    write(QStringLiteral("config.ini"),
          "[TSDBConnection]\ndriver = sqlite\ndata_dir = data\n"
          "[Kestrane]\nopc_type = OPC UA\nopc_events = i=2253\n");
    MainWidget::Hooks hooks;
    hooks.message_box = [](const MessageBoxRequest&) { return QMessageBox::Ok; };
    window_ = std::make_unique<MainWidget>(std::move(hooks));
    window_->queue_timer()->stop();
    view_ = window_->findChild<EventsView*>(QStringLiteral("events_view"));
    if (view_ == nullptr || !view_->is_configured()) qFatal("no events view collecting events");
    window_->findChild<QTabWidget*>(QStringLiteral("tabs"))->setCurrentWidget(view_);
    window_->resize(980, 620);
    window_->show();
    notify_ = view_->notify_func();
    notify_(make_events(0, EventsModel::kCapacity));
    view_->drain();
    settle();
  }

  // Lays out and paints whatever the last change asked for.
  static void settle() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

  EventsView& view() { return *view_; }
  const quellin::EventsNotify& notify() const { return notify_; }

 private:
  void write(const QString& name, const QByteArray& bytes) {
    QFile file(dir_.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
      qFatal("cannot write %s", qPrintable(file.fileName()));
    }
  }

  QTemporaryDir dir_;
  std::unique_ptr<MainWidget> window_;
  EventsView* view_ = nullptr;
  quellin::EventsNotify notify_;
};

// One collector cycle's events (a second's worth at a one-second interval, or 200 ms of them)
// through the GUI thread: the inbox emptied into the table, then layout and paint.
void BM_EventsBatchToShownTable(benchmark::State& state) {
  EventsWindowFixture fixture;
  const int per_batch = static_cast<int>(state.range(0));
  int next = EventsModel::kCapacity;
  for (auto _ : state) {
    state.PauseTiming();
    fixture.notify()(make_events(next, per_batch));  // the collector thread's part
    next += per_batch;
    state.ResumeTiming();
    if (fixture.view().drain() != per_batch) {
      state.SkipWithError("events lost");
      break;
    }
    EventsWindowFixture::settle();
  }
  state.SetItemsProcessed(state.iterations() * per_batch);
  state.counters["us_per_event"] = benchmark::Counter(
      static_cast<double>(state.iterations() * per_batch),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_EventsBatchToShownTable)
    ->Arg(kEventsPerSecond)
    ->Arg(kEventsPerSecond / 5)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

// Five seconds as they pass while collecting: a collector thread hands over 1,000 events a
// second in cycles of 200 ms while the window runs its own event loop. Reports the GUI
// thread's CPU time per cycle and per event, the share of each second it was busy, and the
// longest the event loop left a 10 ms timer waiting (what an operator would feel).
void BM_EventsThousandPerSecondLive(benchmark::State& state) {
  EventsWindowFixture fixture;
  constexpr int kSeconds = 5;
  constexpr int kCyclesPerSecond = 5;
  constexpr int kPerCycle = kEventsPerSecond / kCyclesPerSecond;
  for (auto _ : state) {
    std::atomic<bool> fed{false};
    const quellin::EventsNotify notify = fixture.notify();
    std::thread collector([&] {
      auto due = std::chrono::steady_clock::now();
      for (int cycle = 0; cycle < kSeconds * kCyclesPerSecond; ++cycle) {
        notify(make_events(EventsModel::kCapacity + cycle * kPerCycle, kPerCycle));
        due += std::chrono::milliseconds(1000 / kCyclesPerSecond);
        std::this_thread::sleep_until(due);
      }
      fed = true;
    });
    QEventLoop loop;
    QElapsedTimer since_tick;
    qint64 longest_wait_ms = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
      longest_wait_ms = std::max(longest_wait_ms, since_tick.restart() - 10);
    });
    QTimer finish;
    QObject::connect(&finish, &QTimer::timeout, &loop, [&] {
      if (fed) loop.quit();
    });
    const double cpu_start = thread_cpu_seconds();
    since_tick.start();
    ticker.start(10);
    finish.start(EventsView::kDrainIntervalMsec * 2);
    loop.exec();
    const double cpu = thread_cpu_seconds() - cpu_start;
    collector.join();
    fixture.view().drain();  // the last cycle, if the loop ended before the view's timer
    const double cycles = kSeconds * kCyclesPerSecond;
    state.counters["gui_cpu_ms_per_cycle"] = cpu * 1e3 / cycles;
    state.counters["gui_cpu_us_per_event"] = cpu * 1e6 / (cycles * kPerCycle);
    state.counters["gui_busy_percent"] = cpu * 100.0 / kSeconds;
    state.counters["longest_wait_ms"] = static_cast<double>(longest_wait_ms);
  }
}
BENCHMARK(BM_EventsThousandPerSecondLive)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
