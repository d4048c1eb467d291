// Filling gaps from a server's history into PostgreSQL, beside live polling: an OPCCollector on
// its own thread with its writer on another, as the console runs them, against an in-process
// server that reads live values at once (source time now, on a 200 ms grid) and answers
// HistoryRead at once from generated history (one value every 200 ms per tag, newest first,
// pages of the values asked per node, continuation points). The database starts empty, so each
// tag gets opc_backfill_initial = 300 s of history before its first value.
//   - BM_BackfillThroughput: 2,000 tags (3M history values): the time from start until the
//     backfill says it has finished, in values/s, and this process's CPU (every thread) per
//     backfilled value, with and without what the in-process server spent generating answers;
//   - BM_LiveWhileBackfilling: 10,000 tags read every second in batches of 200 while the
//     backfill of 10,000 tags x 300 s (15M values) runs: the period between live reads (p50,
//     p95, max) and whether every live cycle read was stored (polled rows keep the read time,
//     history rows their source time).
// PostgreSQL's own CPU is not counted. Reads KESTRANE_TEST_PG_* like the tests.
//   bench_backfill [--benchmark_filter=Throughput|Live]
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "database_readback.h"
#include "pyqar/rt_source.h"
#include "quellin/collector_metrics.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"
#include "scratch_postgres_database.h"
#include "temp_dir.h"
#include "tidewell/tidewell.h"

namespace {

constexpr std::int64_t kStepUs = 200'000;  // one history value per tag every 200 ms
constexpr double kInitialSeconds = 300.0;
constexpr int kReadBatch = 200;  // the console's default batch size
constexpr std::uint32_t kValuesWhenUnbounded = 1'000;

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
double process_cpu_seconds() { return cpu_seconds(CLOCK_PROCESS_CPUTIME_ID); }

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::int64_t us_of(pyqar::Timestamp t) {
  return std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch()).count();
}
pyqar::Timestamp at_us(std::int64_t us) {
  return pyqar::Timestamp(
      std::chrono::duration_cast<pyqar::Timestamp::duration>(std::chrono::microseconds(us)));
}
std::int64_t floor_to_step(std::int64_t us) {
  std::int64_t steps = us / kStepUs;
  if (us % kStepUs < 0) --steps;
  return steps * kStepUs;
}

std::string tag_name(std::size_t n) { return "Bench." + std::to_string(n); }

// The tag's number, from the name tag_name() gave it.
std::int64_t tag_number(std::string_view name) {
  std::int64_t n = 0;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) std::from_chars(name.data() + dot + 1, name.end(), n);
  return n;
}

// What the server holds for tag `n` at `us` (on the 200 ms grid), live and in its history.
pyqar::ValueObject value_at(std::int64_t n, std::int64_t us) {
  pyqar::ValueObject v;
  v.value = static_cast<double>(n) + static_cast<double>((us / kStepUs) % 100'000);
  v.quality = pyqar::QAR_QUALITY::QAR_HIGH_GOOD;
  v.status = pyqar::QAR_STATUS::QAR_STATUS_GOOD;
  v.timestamp = at_us(us);
  v.source_timestamp = v.timestamp;
  v.server_timestamp = v.timestamp;
  return v;
}

// The server: answers at once. Counts the CPU its answers took on the caller's thread, so that
// it can be told apart from the collector's.
class GeneratedHistorySource : public pyqar::RtSource {
 public:
  explicit GeneratedHistorySource(double& source_cpu, std::mutex& mutex)
      : source_cpu_(source_cpu), mutex_(mutex) {}

  bool valid() const override { return true; }
  std::vector<pyqar::ValueObject> read(const std::vector<pyqar::TagDescriptor>& batch) override {
    const double cpu0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const std::int64_t now = floor_to_step(us_of(std::chrono::system_clock::now()));
    std::vector<pyqar::ValueObject> out;
    out.reserve(batch.size());
    for (const pyqar::TagDescriptor& tag : batch)
      out.push_back(value_at(tag_number(tag.tag_name), now));
    count(cpu0);
    return out;
  }
  bool can_read_history() const override { return true; }
  std::vector<std::optional<bool>> keeps_history(
      const std::vector<pyqar::TagDescriptor>& tags) override {
    return std::vector<std::optional<bool>>(tags.size(), true);
  }
  pyqar::HistoryLimits history_limits() override { return {}; }
  std::vector<pyqar::HistoryPage> read_history(const std::vector<pyqar::HistoryQuery>& queries,
                                               std::uint32_t values_per_node) override {
    const double cpu0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const std::uint32_t most = values_per_node > 0 ? values_per_node : kValuesWhenUnbounded;
    // Nothing newer than now is kept yet.
    const std::int64_t now = floor_to_step(us_of(std::chrono::system_clock::now()));
    std::vector<pyqar::HistoryPage> pages(queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const pyqar::HistoryQuery& query = queries[q];
      pyqar::HistoryPage& page = pages[q];
      const std::int64_t n = tag_number(query.tag.tag_name);
      const std::int64_t oldest = us_of(query.oldest);
      std::int64_t t = 0;
      if (query.continuation_point.empty()) {
        t = std::min(now, floor_to_step(us_of(query.newest)));
      } else {
        std::from_chars(query.continuation_point.data(),
                        query.continuation_point.data() + query.continuation_point.size(), t);
      }
      page.values.reserve(most);
      while (t >= oldest && page.values.size() < most) {
        page.values.push_back(value_at(n, t));
        t -= kStepUs;
      }
      if (t >= oldest) page.continuation_point = std::to_string(t);
    }
    count(cpu0);
    return pages;
  }
  void release_history(const std::vector<pyqar::HistoryQuery>&) noexcept override {}

 private:
  void count(double cpu0) {
    const double spent = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    std::lock_guard lock(mutex_);
    source_cpu_ += spent;
  }
  double& source_cpu_;
  std::mutex& mutex_;
};

// The times of the live reads and what the writer stored, spooled and dropped.
class RecordingMetrics : public quellin::CollectorMetrics {
 public:
  void cycle_read(std::size_t, const quellin::QualityCounts&, double,
                  std::int64_t read_time_us) override {
    std::lock_guard lock(mutex_);
    reads_.push_back(steady_seconds());
    last_read_us_ = read_time_us;
  }
  void cycle_done(double seconds) override {
    std::lock_guard lock(mutex_);
    cycles_.push_back(seconds);
  }
  void pausing(double) override {}
  void opc_connected(bool) override {}
  void opc_reconnect() override {}
  void rows_written(const quellin::RowsWritten&, double, std::int64_t) override {}
  void rows_spooled(std::size_t rows) override {
    std::lock_guard lock(mutex_);
    spooled_ += rows;
  }
  void rows_dropped(std::size_t rows, std::string_view) override {
    std::lock_guard lock(mutex_);
    dropped_ += rows;
  }
  void spool_size(std::uint64_t, std::uint64_t) override {}
  void handoff_rows(std::uint64_t) override {}
  void tsdb_connected(bool) override {}
  void tsdb_reconnect() override {}

  std::vector<double> reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  std::int64_t last_read_us() const {
    std::lock_guard lock(mutex_);
    return last_read_us_;
  }
  std::vector<double> cycles() const {
    std::lock_guard lock(mutex_);
    return cycles_;
  }
  std::uint64_t spooled() const {
    std::lock_guard lock(mutex_);
    return spooled_;
  }
  std::uint64_t dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<double> reads_;   // steady seconds at each live read
  std::vector<double> cycles_;  // each pass of the collection loop, in seconds
  std::int64_t last_read_us_ = 0;
  std::uint64_t spooled_ = 0;
  std::uint64_t dropped_ = 0;
};

// An empty scratch database with the tags registered, and a polling collector with backfill
// storing into it from the generated server, with a spool as the console has by default.
class Rig {
 public:
  Rig(benchmark::State& state, std::size_t tags) : tags_count_(tags) {
    const auto server = kestrane_test::postgres_server_settings();
    if (!server) {
      state.SkipWithError("KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL");
      return;
    }
    database_.emplace(*server, "bench_backfill");
    std::vector<tidewell::TagRegistration> listing;
    for (std::size_t n = 0; n < tags; ++n) {
      tags_.push_back(tag_name(n));
      listing.push_back({.tag_name = tags_.back(), .description = {}});
    }
    auto conn = tidewell::get_conn(database_->settings());
    tidewell::SourceInfo source;
    source.source_name = "bench";
    source.endpoint = "opc.tcp://generated:4840";
    if (!conn || !tidewell::insert_new_source(*conn, source).ok) {
      state.SkipWithError("the scratch database cannot be prepared");
      return;
    }
    auto ids = tidewell::register_tags(*conn, source.source_id.value_or(-1), listing).tag_ids;
    quellin::AcquisitionOptions acquisition;
    acquisition.backfill.enabled = true;
    acquisition.backfill.initial_seconds = kInitialSeconds;
    collector_.emplace(quellin::OPCCollector::Options{
        .opc_schema = "opc.tcp://generated:4840",
        .get_tags_func = [this] { return tags_; },
        .data_deque = &queue_,
        .deque_lock = &lock_,
        .tsdb_cfg = database_->settings(),
        .sample_interval = 1.0,
        .batch_size = kReadBatch,
        .metrics = metrics_,
        .tag_ids = std::move(ids),
        .spool = quellin::SpoolSettings{.dir = spool_dir_ / "spool", .max_bytes = 8ULL << 30},
        .acquisition = acquisition,
        .source_factory =
            [this](const pyqar::CreateSourceArgs&) -> std::unique_ptr<pyqar::RtSource> {
          return std::make_unique<GeneratedHistorySource>(source_cpu_, source_cpu_mutex_);
        }});
  }

  bool ready() const { return collector_.has_value(); }
  quellin::OPCCollector& collector() { return *collector_; }
  const RecordingMetrics& metrics() const { return *metrics_; }
  std::size_t tags() const { return tags_count_; }
  double source_cpu() {
    std::lock_guard lock(source_cpu_mutex_);
    return source_cpu_;
  }
  // The owner's queue of latest values is emptied now and then, as the console does.
  void drain() {
    std::lock_guard g(lock_);
    (void)queue_.take_all();
  }
  // Waits (draining the queue) until the backfill has stored values and finished, or `limit`
  // passed; whether it finished.
  bool wait_finished(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const quellin::BackfillProgress progress = collector_->backfill_progress();
      if (progress.values > 0 && !progress.running) return true;
      drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  void stop() {
    collector_->stop();
    collector_->join();
  }
  std::vector<std::string> query(const std::string& sql) {
    return kestrane_test::query_postgres(database_->settings(), sql);
  }

 private:
  std::size_t tags_count_;
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  kestrane_test::TempDir spool_dir_{"kestrane-bench-backfill-"};
  std::vector<std::string> tags_;
  std::shared_ptr<RecordingMetrics> metrics_ = std::make_shared<RecordingMetrics>();
  std::mutex source_cpu_mutex_;
  double source_cpu_ = 0.0;
  quellin::ResultQueue queue_{300};
  std::mutex lock_;
  std::optional<quellin::OPCCollector> collector_;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void BM_BackfillThroughput(benchmark::State& state) {
  Rig rig(state, static_cast<std::size_t>(state.range(0)));
  if (!rig.ready()) return;
  for (auto _ : state) {
    const double cpu0 = process_cpu_seconds();
    const double start = steady_seconds();
    rig.collector().start();
    const bool finished = rig.wait_finished(std::chrono::seconds(600));
    const double elapsed = steady_seconds() - start;
    const double cpu = process_cpu_seconds() - cpu0;
    const double source_cpu = rig.source_cpu();
    const quellin::BackfillProgress progress = rig.collector().backfill_progress();
    rig.stop();
    if (!finished) state.SkipWithError("the backfill did not finish within 600 s");
    const auto values = static_cast<double>(progress.values);
    state.counters["values"] = values;
    state.counters["seconds"] = elapsed;
    state.counters["values_per_s"] = values / elapsed;
    state.counters["cpu_us_per_value"] = values > 0 ? cpu * 1e6 / values : 0;
    state.counters["cpu_us_per_value_without_source"] =
        values > 0 ? (cpu - source_cpu) * 1e6 / values : 0;
    state.counters["history_rows"] =
        std::stod(rig.query("SELECT count(*) FROM tsdata WHERE time = source_time").at(0));
  }
}
BENCHMARK(BM_BackfillThroughput)
    ->Arg(2'000)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_LiveWhileBackfilling(benchmark::State& state) {
  Rig rig(state, static_cast<std::size_t>(state.range(0)));
  if (!rig.ready()) return;
  for (auto _ : state) {
    const double cpu0 = process_cpu_seconds();
    const double start = steady_seconds();
    rig.collector().start();
    const bool finished = rig.wait_finished(std::chrono::seconds(900));
    const double end = steady_seconds();
    const double cpu = process_cpu_seconds() - cpu0;
    const quellin::BackfillProgress progress = rig.collector().backfill_progress();
    // The live cycles read so far, each stored by the time the writer catches up.
    const std::vector<double> reads = rig.metrics().reads();
    const std::vector<double> cycles = rig.metrics().cycles();
    // A polled row's time is taken just after its read ends, well before the next read.
    const std::int64_t cutoff_us = rig.metrics().last_read_us() + 500'000;
    const std::string live_sql =
        "SELECT count(DISTINCT time) || ' ' || count(*) FROM tsdata WHERE time <> source_time "
        "AND time <= to_timestamp(" +
        std::to_string(cutoff_us) + " / 1e6)";
    std::size_t cycles_stored = 0;
    std::size_t live_rows = 0;
    const double settle_until = steady_seconds() + 60.0;
    while (true) {
      const std::string answer = rig.query(live_sql).at(0);
      const std::size_t space = answer.find(' ');
      cycles_stored = std::stoull(answer.substr(0, space));
      live_rows = std::stoull(answer.substr(space + 1));
      if (cycles_stored >= reads.size() || steady_seconds() > settle_until) break;
      rig.drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    rig.stop();
    if (!finished) state.SkipWithError("the backfill did not finish within 900 s");
    std::vector<double> periods;
    for (std::size_t i = 1; i < reads.size(); ++i) periods.push_back(reads[i] - reads[i - 1]);
    state.counters["backfill_values"] = static_cast<double>(progress.values);
    state.counters["backfill_seconds"] = end - start;
    state.counters["backfill_values_per_s"] = static_cast<double>(progress.values) / (end - start);
    state.counters["cpu_us_per_value"] =
        progress.values > 0 ? cpu * 1e6 / static_cast<double>(progress.values) : 0;
    state.counters["period_p50_s"] = percentile(periods, 0.50);
    state.counters["period_p95_s"] = percentile(periods, 0.95);
    state.counters["period_max_s"] = percentile(periods, 1.0);
    state.counters["cycle_p95_s"] = percentile(cycles, 0.95);
    state.counters["cycles_read"] = static_cast<double>(reads.size());
    state.counters["cycles_stored"] = static_cast<double>(cycles_stored);
    state.counters["live_rows_missing"] =
        static_cast<double>(reads.size() * rig.tags()) - static_cast<double>(live_rows);
    state.counters["rows_spooled"] = static_cast<double>(rig.metrics().spooled());
    state.counters["rows_dropped"] = static_cast<double>(rig.metrics().dropped());
  }
}
BENCHMARK(BM_LiveWhileBackfilling)
    ->Arg(10'000)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
