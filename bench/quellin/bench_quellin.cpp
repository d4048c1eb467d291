// Collection cycles against the simulated OPC DA server with an owner that only queues:
// values per second of one cycle of 100,000 tags in batches of 200 (without and with the
// Prometheus metrics the console serves), and resident memory before and after 1,000 cycles.

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "monitoring/prometheus_collector_metrics.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"

namespace {

constexpr int kTags = 100'000;
constexpr int kBatch = 200;

std::vector<std::string> simulated_tags() {
  static const char* const kKinds[] = {"Demo.Tag", "Demo.Count", "Demo.Random"};
  std::vector<std::string> tags;
  tags.reserve(kTags);
  for (int i = 0; i < kTags; ++i) tags.push_back(kKinds[i % 3] + std::to_string(i / 3 + 1));
  return tags;
}

double rss_mib() {
  long pages = 0;
  long resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

struct Rig {
  explicit Rig(std::shared_ptr<quellin::CollectorMetrics> metrics = {})
      : collector{{.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                   .get_tags_func = [this] { return tags; },
                   .data_deque = &queue,
                   .deque_lock = &lock,
                   .batch_size = kBatch,
                   .metrics = std::move(metrics)}} {}

  std::vector<std::string> tags = simulated_tags();
  quellin::ResultQueue queue{300};
  std::mutex lock;
  quellin::OPCCollector collector;

  // One cycle, then the owner takes the list off the queue as the front ends do.
  std::size_t cycle() {
    collector.collection_step();
    std::vector<quellin::ResultList> taken;
    {
      std::lock_guard g(lock);
      taken = queue.take_all();
    }
    return taken.empty() ? 0 : taken.front().size();
  }
};

// Argument 1: with the console's Prometheus metrics.
void BM_CollectionCycle100kTags(benchmark::State& state) {
  std::shared_ptr<quellin::CollectorMetrics> metrics;
  if (state.range(0) == 1) {
    metrics = std::make_shared<kestrane_monitoring::PrometheusCollectorMetrics>(
        kestrane_monitoring::PrometheusCollectorMetrics::Options{
            .version = "bench", .sample_interval = 1.0, .tags = kTags, .clock = {}});
  }
  Rig rig(metrics);
  rig.cycle();  // connects
  for (auto _ : state) {
    if (rig.cycle() != kTags) state.SkipWithError("a cycle lost values");
  }
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_CollectionCycle100kTags)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Memory1000Cycles(benchmark::State& state) {
  Rig rig;
  for (int i = 0; i < 10; ++i) rig.cycle();
  const double before = rss_mib();
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) rig.cycle();
  }
  const double after = rss_mib();
  state.counters["rss_before_MiB"] = before;
  state.counters["rss_after_MiB"] = after;
  state.counters["rss_growth_MiB"] = after - before;
  state.SetItemsProcessed(state.iterations() * 1000LL * kTags);
}
BENCHMARK(BM_Memory1000Cycles)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
