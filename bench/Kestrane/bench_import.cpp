// The desktop window's tag import end to end: a CSV of 100,000 tags read, decoded, parsed,
// checked and looked up in the embedded TSDB (half of the tags stored already), the rows
// handed to the table; and the registration of the same 100,000 tags under a source.
// Each iteration runs the window's own background work and waits for tag_work_finished().
// Runs on the offscreen platform against the embedded database driver in a scratch folder.

#include <benchmark/benchmark.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <optional>
#include <stdexcept>

#include "Kestrane/mainwidget.h"
#include "Kestrane/paginatedtablewidget.h"

namespace {

constexpr int kTags = 100'000;
constexpr int kWorkDeadlineMsec = 600'000;

QByteArray tag_list(int first, int count) {
  QByteArray text = "FullTagName,Description\n";
  for (int i = first; i < first + count; ++i) {
    text += "Plant.Area" + QByteArray::number(i % 50) + ".Tag" + QByteArray::number(i) +
            ",Sensor " + QByteArray::number(i) + "\n";
  }
  return text;
}

// A window in a scratch working directory whose TSDB already holds the first half of the
// tags, and the CSV of all of them.
class ImportFixture {
 public:
  ImportFixture() {
    QDir::setCurrent(dir_.path());
    QDir(dir_.path()).mkpath(QStringLiteral("data"));
    write(QStringLiteral("data/tsdb_default.db"), {});
    write(QStringLiteral("config.ini"),
          "[TSDBConnection]\ndriver = sqlite\ndata_dir = data\n\n"
          "[Kestrane]\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n");
    write(QStringLiteral("half.csv"), tag_list(0, kTags / 2));
    write(QStringLiteral("all.csv"), tag_list(0, kTags));
    MainWidget::Hooks hooks;
    hooks.message_box = [this](const MessageBoxRequest& box) {
      boxes_ << box.text;
      return QMessageBox::Ok;
    };
    hooks.choose_csv_file = [this](QWidget*) { return dir_.filePath(csv_); };
    window_ = std::make_unique<MainWidget>(std::move(hooks));
    window_->queue_timer()->stop();
    import(QStringLiteral("half.csv"));
    source_id_ = window_->_ensure_source(QStringLiteral("opc.da://localhost/OstrevoV2.1.0"));
    sync();
  }

  void import(const QString& csv) {
    csv_ = csv;
    run_and_wait([this] { window_->import_tags_from_csv(); });
  }
  void sync() {
    run_and_wait([this] { window_->_sync_tags_with_source(source_id_.value()); });
  }
  MainWidget& window() { return *window_; }
  // Texts of the boxes the window showed; any box means the run went wrong.
  const QStringList& boxes() const { return boxes_; }

 private:
  template <class Action>
  void run_and_wait(Action action) {
    QEventLoop loop;
    QObject::connect(window_.get(), &MainWidget::tag_work_finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kWorkDeadlineMsec, &loop, [&loop] { loop.exit(1); });
    action();
    if (loop.exec() != 0) throw std::runtime_error("the background work did not end");
  }

  void write(const QString& name, const QByteArray& bytes) {
    QFile file(dir_.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
      qFatal("cannot write %s", qPrintable(file.fileName()));
    }
  }

  QTemporaryDir dir_;
  QString csv_;
  QStringList boxes_;
  std::unique_ptr<MainWidget> window_;
  std::optional<std::int64_t> source_id_;
};

void BM_ImportTags100k(benchmark::State& state) {
  ImportFixture fixture;
  for (auto _ : state) {
    fixture.import(QStringLiteral("all.csv"));
  }
  if (!fixture.boxes().isEmpty()) state.SkipWithError(qPrintable(fixture.boxes().first()));
  if (fixture.window().paginated_table()->all_data().size() != kTags) {
    state.SkipWithError("the table does not hold every tag");
  }
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_ImportTags100k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// The start's registration of the imported list: half new on the first run, all known after.
void BM_RegisterTags100k(benchmark::State& state) {
  ImportFixture fixture;
  fixture.import(QStringLiteral("all.csv"));
  for (auto _ : state) {
    fixture.sync();
  }
  if (!fixture.boxes().isEmpty()) state.SkipWithError(qPrintable(fixture.boxes().first()));
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_RegisterTags100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
