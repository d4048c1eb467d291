// The spool with cycles of 200,000 rows (about 7 MB a batch): append, front() + pop_front(), and
// opening a spool left by an earlier run. Bytes per second count the encoded records. Folders live
// under the system's temporary folder and are removed at the end.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>

#include "spool/spool.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 200'000;

// typed: every row with a status and a source time and every tenth a text, as a UA server's
// readings are spooled; else numbers with a quality only.
quellin::SpoolBatch big_batch(std::uint64_t seq, bool typed = false) {
  quellin::SpoolBatch batch{.writer_id = "bench", .seq = seq, .time_us = 0, .rows = {}};
  batch.rows.reserve(kRows);
  for (int i = 0; i < kRows; ++i) {
    batch.rows.push_back({"Plant.Area" + std::to_string(i % 50) + ".Tag" + std::to_string(i),
                          0.5 * i, i % 97 == 0 ? "Bad" : "Good"});
    if (!typed) continue;
    quellin::SpoolRow& row = batch.rows.back();
    row.status = i % 97 == 0 ? 0x808A0000u : 0u;
    row.source_time_us = 1'700'000'000'000'000 + i;
    if (i % 10 == 0) row.text = "valve " + std::to_string(i) + " open";
  }
  return batch;
}

std::int64_t record_bytes(const quellin::SpoolBatch& batch) {
  return static_cast<std::int64_t>(quellin::encode_spool_record(batch).size());
}

// A fresh spool folder, removed with its files when the benchmark ends.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "bench-spool-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::unique_ptr<quellin::Spool> open_spool(const fs::path& dir, bool sync_every_append) {
  // Without a logger sink: a full spool's drop lines would only measure the terminal.
  auto quiet = std::make_shared<spdlog::logger>("bench");
  quellin::Spool::Options options{.dir = dir, .max_bytes = 2ull << 30, .log = quiet, .clock = {}};
  if (sync_every_append) {
    // Every append sees a sync a second old: what a cycle once a second does.
    options.clock = [t = 0.0]() mutable { return t += 1.0; };
  } else {
    options.clock = [] { return 0.0; };
  }
  return std::make_unique<quellin::Spool>(std::move(options));
}

// arg 0: no fdatasync in the loop (the write only); arg 1: fdatasync after every append;
// arg 2: as 0, with typed rows.
void BM_SpoolAppend200kRows(benchmark::State& state) {
  ScratchFolder folder;
  const quellin::SpoolBatch batch = big_batch(1, state.range(0) == 2);
  const bool sync = state.range(0) == 1;
  auto spool = open_spool(folder.path() / "spool", sync);
  for (auto _ : state) {
    spool->append(batch);
    state.PauseTiming();
    // Keeps the folder small: the cost measured is the append, not a growing disk.
    while (spool->batches() > 4) spool->pop_front();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * record_bytes(batch));
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpoolAppend200kRows)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// arg 1: typed rows.
void BM_SpoolFrontPop200kRows(benchmark::State& state) {
  ScratchFolder folder;
  const quellin::SpoolBatch batch = big_batch(1, state.range(0) == 1);
  auto spool = open_spool(folder.path() / "spool", false);
  for (auto _ : state) {
    state.PauseTiming();
    spool->append(batch);
    state.ResumeTiming();
    auto front = spool->front();
    if (!front || front->rows.size() != static_cast<std::size_t>(kRows)) {
      state.SkipWithError("front() did not return the batch");
      break;
    }
    spool->pop_front();
    benchmark::DoNotOptimize(front);
  }
  state.SetBytesProcessed(state.iterations() * record_bytes(batch));
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpoolFrontPop200kRows)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Opening a spool that an earlier run left with 20 such batches (about 140 MB): every record
// is read and validated.
void BM_SpoolOpen20Batches(benchmark::State& state) {
  ScratchFolder folder;
  const quellin::SpoolBatch batch = big_batch(1);
  const fs::path dir = folder.path() / "spool";
  {
    auto spool = open_spool(dir, false);
    for (int i = 0; i < 20; ++i) spool->append(batch);
  }
  for (auto _ : state) {
    auto spool = open_spool(dir, false);
    if (spool->batches() != 20) {
      state.SkipWithError("the reopened spool lost batches");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * 20 * record_bytes(batch));
}
BENCHMARK(BM_SpoolOpen20Batches)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
