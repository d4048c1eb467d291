// Registration of a 200,000-tag list with its per-tag log lines, against registration alone:
// what the lines cost a start. Logging goes through the program's asynchronous logger into a
// file. PostgreSQL when KESTRANE_TEST_PG_* is set, SQLite always; run by hand, never by CTest.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/tag_registration.h"
#include "journel/log.h"
#include "scratch_postgres_database.h"
#include "tidewell/tidewell.h"

namespace {

constexpr std::size_t kPlantTags = 200000;

std::filesystem::path scratch_dir() {
  static const auto dir = [] {
    auto path = std::filesystem::temp_directory_path() / "kestrane_bench_registration";
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

// The program's logger, writing into a file only, as a started program does.
void set_up_logging() {
  static const bool done = [] {
    const auto ini = scratch_dir() / "config.ini";
    std::ofstream(ini) << "[KestraneLogging]\nlog_dir = " << (scratch_dir() / "log").string()
                       << "\nlevel = DEBUG\nconsole = false\n";
    journel::setup_loguru_from_ini(ini.string());
    return true;
  }();
  (void)done;
}

std::vector<kestrane_config::TagEntry> plant_tags() {
  std::vector<kestrane_config::TagEntry> tags;
  tags.reserve(kPlantTags);
  for (std::size_t i = 0; i < kPlantTags; ++i) {
    tags.push_back({"Plant.Area" + std::to_string(i / 10000) + ".Unit" +
                        std::to_string(i / 100 % 100) + ".Tag" + std::to_string(i),
                    i % 5 == 0 ? "" : "Boiler " + std::to_string(i % 97) + " temperature"});
  }
  return tags;
}

enum Mode : std::int64_t { kNoLines, kConsoleInfo, kConsoleDebug, kDesktop };

// Arguments: driver (0 SQLite, 1 PostgreSQL), mode. Every round registers the stored list
// again (a restart), so each writes the same 200,000 "updated" lines.
void BM_RegisterPlant(benchmark::State& state) {
  set_up_logging();
  const bool postgres = state.range(0) == 1;
  const auto mode = static_cast<Mode>(state.range(1));
  std::optional<kestrane_test::ScratchPostgresDatabase> database;
  tidewell::TsdbSettings settings;
  if (postgres) {
    const auto server = kestrane_test::postgres_server_settings();
    if (!server) {
      state.SkipWithError("KESTRANE_TEST_PG_HOST/_PORT not set: no server");
      return;
    }
    settings = database.emplace(*server, "bench_registration").settings();
  } else {
    settings.driver = "sqlite";
    settings.data_dir = (scratch_dir() / "data").string();
    settings.dbname = "mode" + std::to_string(mode);
  }
  const auto conn = tidewell::get_conn(settings);
  if (!conn) {
    state.SkipWithError("no connection");
    return;
  }
  const auto tags = plant_tags();
  const auto& profile =
      mode == kDesktop ? kestrane_config::desktop_profile() : kestrane_config::console_profile();
  const auto log = journel::get_logger(mode == kDesktop ? "Kestrane" : "KestraneConsole");
  log->set_level(mode == kConsoleDebug ? spdlog::level::debug : spdlog::level::info);
  const auto source = kestrane_config::find_or_create_source(
      *conn, profile, "opc.da://localhost/OstrevoV2.1.0", "OPC DA", *log);
  if (!source) {
    state.SkipWithError("no source");
    return;
  }
  std::vector<tidewell::TagRegistration> list;
  for (const auto& tag : tags) {
    list.push_back({tag.name, kestrane_config::tag_description(tag.description)});
  }
  tidewell::register_tags(*conn, *source, list);  // stored once, outside the timing
  for (auto _ : state) {
    std::size_t registered = 0;
    if (mode == kNoLines) {
      const auto result = tidewell::register_tags(*conn, *source, list);
      registered = result.created + result.updated;
    } else {
      const auto result = kestrane_config::register_tags(*conn, *source, tags, profile, *log);
      registered = result.created + result.updated;
    }
    if (registered != kPlantTags) {
      state.SkipWithError("not every tag registered");
      break;
    }
    // The start goes on while the logger writes; its queue is drained outside the timing.
    state.PauseTiming();
    log->flush();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPlantTags));
}

BENCHMARK(BM_RegisterPlant)
    ->ArgsProduct({{0, 1}, {kNoLines, kConsoleInfo, kConsoleDebug, kDesktop}})
    ->ArgNames({"pg", "mode"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
