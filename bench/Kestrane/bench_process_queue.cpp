// One timer tick of the desktop window while collecting: take one batch of 100,000 readings
// off the queue, merge it into 100,000 table rows and refresh the shown page.
// Runs on the offscreen platform against the embedded database driver in a scratch folder.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "Kestrane/mainwidget.h"
#include "Kestrane/paginatedtablewidget.h"

namespace {

constexpr int kTags = 100'000;

std::string tag_name(int i) { return "Demo.Tag" + std::to_string(i + 1); }

quellin::ResultList make_batch(int cycle) {
  quellin::ResultList batch;
  batch.reserve(kTags);
  for (int i = 0; i < kTags; ++i) {
    batch.push_back({tag_name(i), static_cast<double>(i + cycle), (i % 10) ? "Good" : "Bad", {}});
  }
  return batch;
}

// As a UA server gives them: every reading with a status and a source time, one in ten Bad
// with a named status.
quellin::ResultList make_status_batch(int cycle) {
  quellin::ResultList batch = make_batch(cycle);
  const pyqar::Timestamp now = std::chrono::system_clock::now();
  for (quellin::ResultTuple& result : batch) {
    result.status = result.quality == "Good" ? 0x00000000u : 0x80050000u;
    result.source_time = now;
  }
  return batch;
}

// A window over 100,000 rows in a scratch working directory.
class WindowFixture {
 public:
  WindowFixture() {
    QDir::setCurrent(dir_.path());
    QDir(dir_.path()).mkpath(QStringLiteral("data"));
    write(QStringLiteral("data/tsdb_default.db"), {});
    write(QStringLiteral("config.ini"), "[TSDBConnection]\ndriver = sqlite\ndata_dir = data\n");
    MainWidget::Hooks hooks;
    hooks.message_box = [](const MessageBoxRequest&) { return QMessageBox::Ok; };
    window_ = std::make_unique<MainWidget>(std::move(hooks));
    window_->queue_timer()->stop();  // the benchmark drives the ticks itself
    TableRows rows;
    rows.reserve(kTags);
    for (int i = 0; i < kTags; ++i) {
      rows.append(TableRow{QString(), QString::fromStdString(tag_name(i)), QString(), QString(),
                           QString()});
    }
    window_->paginated_table()->set_data(rows);
  }

  void queue(quellin::ResultList batch) {
    const std::lock_guard<std::mutex> lock(window_->deque_lock());
    window_->data_deque().push_back(std::move(batch));
  }

  MainWidget& window() { return *window_; }

 private:
  void write(const QString& name, const QByteArray& bytes) {
    QFile file(dir_.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
      qFatal("cannot write %s", qPrintable(file.fileName()));
    }
  }

  QTemporaryDir dir_;
  std::unique_ptr<MainWidget> window_;
};

// The steady state: the same tags as the tick before, as while collecting.
void BM_ProcessQueueTick100k(benchmark::State& state) {
  WindowFixture fixture;
  fixture.queue(make_batch(0));
  fixture.window().process_queue();  // the first tick learns which reading feeds which row
  int cycle = 1;
  for (auto _ : state) {
    state.PauseTiming();
    fixture.queue(make_batch(cycle++));
    state.ResumeTiming();
    fixture.window().process_queue();
  }
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_ProcessQueueTick100k)->Unit(benchmark::kMillisecond)->Iterations(20);

// The same with a status and a source time on every reading.
void BM_ProcessQueueTickWithStatus100k(benchmark::State& state) {
  WindowFixture fixture;
  fixture.queue(make_status_batch(0));
  fixture.window().process_queue();
  int cycle = 1;
  for (auto _ : state) {
    state.PauseTiming();
    fixture.queue(make_status_batch(cycle++));
    state.ResumeTiming();
    fixture.window().process_queue();
  }
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_ProcessQueueTickWithStatus100k)->Unit(benchmark::kMillisecond)->Iterations(20);

// The first tick after an import, when the rows and the batch are matched by name.
void BM_FirstTickAfterImport100k(benchmark::State& state) {
  WindowFixture fixture;
  int cycle = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Rows rebuilt, as an import does, so the tick matches by name again.
    TableRows rows = fixture.window().paginated_table()->all_data();
    rows[0][1] = QStringLiteral("Renamed.%1").arg(cycle);
    fixture.window().paginated_table()->set_data(rows);
    fixture.queue(make_batch(cycle++));
    state.ResumeTiming();
    fixture.window().process_queue();
  }
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_FirstTickAfterImport100k)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
