// How long a large tag list takes to decode and parse at start-up.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "config/tag_csv.h"
#include "config/text_codec.h"

namespace {

std::string make_csv(int rows, const std::string& description) {
  std::string text = "FullTagName,Description\n";
  for (int i = 1; i <= rows; ++i) {
    text += "Demo.Tag" + std::to_string(i) + ",\"" + description + " " + std::to_string(i) + "\"\n";
  }
  return text;
}

void BM_ParseTagCsv(benchmark::State& state) {
  const std::string text = make_csv(static_cast<int>(state.range(0)), "Boiler temperature");
  for (auto _ : state) {
    std::vector<kestrane_config::TagEntry> tags;
    kestrane_config::parse_tag_csv(text, tags);
    benchmark::DoNotOptimize(tags.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseTagCsv)->Arg(50000)->Arg(200000)->Unit(benchmark::kMillisecond);

void BM_DecodeUtf8(benchmark::State& state) {
  // "温度" descriptions: valid UTF-8, checked strictly before anything else is tried.
  const std::string text = make_csv(static_cast<int>(state.range(0)), "\xE6\xB8\xA9\xE5\xBA\xA6");
  for (auto _ : state) {
    auto decoded = kestrane_config::decode_utf8_or_gbk(text);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_DecodeUtf8)->Arg(200000)->Unit(benchmark::kMillisecond);

void BM_DecodeGbk(benchmark::State& state) {
  const std::string text = make_csv(static_cast<int>(state.range(0)), "\xCE\xC2\xB6\xC8");
  for (auto _ : state) {
    auto decoded = kestrane_config::decode_utf8_or_gbk(text);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_DecodeGbk)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
