// Cost of one log record on the way to disk (every record is written, flushed and its file's
// size checked), of the queued path a logging thread sees, and of reading a configuration file.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "journel/ini_file.h"
#include "journel/log_format.h"
#include "journel/log_router.h"
#include "journel/queued_delivery.h"
#include "journel/sequenced_daily_rotating_sink.h"

namespace {

// A fresh directory for one benchmark, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "journel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

void BM_SinkWrite(benchmark::State& state) {
  ScratchDir dir;
  auto sink =
      std::make_shared<journel::SequencedDailyRotatingSink>(dir.str(), "bench", state.range(0), 7);
  sink->set_formatter(journel::make_file_formatter());
  const spdlog::details::log_msg msg("quellin", spdlog::level::info,
                                     "Cycle 12345 finished: 200 tags read, 0 bad, 3.2 ms");
  for (auto _ : state) sink->log(msg);
  state.SetItemsProcessed(state.iterations());
}
// 2 MiB files (the default) and 4 KiB files (a rollover every ~40 records).
BENCHMARK(BM_SinkWrite)->Arg(2 * 1024 * 1024)->Arg(4096);

void BM_QueuedLogging(benchmark::State& state) {
  ScratchDir dir;
  auto sink =
      std::make_shared<journel::SequencedDailyRotatingSink>(dir.str(), "bench", 2 * 1024 * 1024, 7);
  sink->set_formatter(journel::make_file_formatter());
  auto router = std::make_shared<journel::LogRouter>();
  router->set_routes(
      {{}, std::make_shared<journel::QueuedDelivery>(std::vector<spdlog::sink_ptr>{sink})});
  spdlog::logger logger("quellin", router);
  int i = 0;
  for (auto _ : state) logger.info("Cycle {} finished: 200 tags read, 0 bad", ++i);
  router->set_routes({});  // the remaining records are written before the figure is taken
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueuedLogging)->UseRealTime();

void BM_IniParse(benchmark::State& state) {
  std::string text = "[DEFAULT]\nroot = /srv/kestrane\n";
  for (int s = 0; s < 10; ++s) {
    text += fmt::format("[Section{}]\n", s);
    for (int k = 0; k < 10; ++k) text += fmt::format("key_{} = %(root)s/value {}\n", k, k);
  }
  for (auto _ : state) {
    auto ini = journel::IniFile::parse(text, "bench.ini");
    benchmark::DoNotOptimize(ini.get("Section9", "key_9"));
  }
}
BENCHMARK(BM_IniParse);

}  // namespace

BENCHMARK_MAIN();
