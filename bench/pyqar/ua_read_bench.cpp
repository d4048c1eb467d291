// Reads 20,000 tags in batches of 200 from the node-opcua test server, with this client and
// with node-opcua's client (tools/ua-test-server/bench-client.js), against one server; and
// 10,000 tags in one read per cycle, with security None and with Basic256Sha256
// SignAndEncrypt, to show what the security costs.
//   pyqar_ua_bench [--benchmark_filter=...]
// Counters: values_per_s (wall clock) and cpu_us_per_value (this process's CPU time only;
// the server runs in its own process).
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pyqar/rt_source.h"
#include "temp_dir.h"
#include "ua_test_server.h"

namespace {

constexpr int kTags = 20000;
constexpr int kBatch = 200;

kestrane_test::UaTestServer::Options server_options() {
  kestrane_test::UaTestServer::Options options;
  options.tags = kTags;
  options.policies = {"None", "Basic256Sha256"};
  options.modes = {"None", "SignAndEncrypt"};
  return options;
}

kestrane_test::UaTestServer& server() {
  static kestrane_test::UaTestServer instance(server_options());
  return instance;
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_KestraneClient_20000TagsInBatchesOf200(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  auto source = pyqar::make_ua_source(server().url(), 1000);
  std::vector<std::vector<pyqar::TagDescriptor>> batches;
  for (int start = 1; start <= kTags; start += kBatch) {
    std::vector<pyqar::TagDescriptor> batch;
    for (int n = start; n < start + kBatch; ++n) {
      batch.push_back(
          {.data_type = 8, .namespace_index = 2, .tag_name = "Demo.Count" + std::to_string(n)});
    }
    batches.push_back(std::move(batch));
  }
  double cpu = 0;
  std::int64_t values = 0;
  for (auto _ : state) {
    const double cpu0 = process_cpu_seconds();
    for (const auto& batch : batches) {
      auto result = source->read(batch);
      values += static_cast<std::int64_t>(result.size());
      benchmark::DoNotOptimize(result.data());
    }
    cpu += process_cpu_seconds() - cpu0;
  }
  state.counters["values_per_s"] =
      benchmark::Counter(static_cast<double>(values), benchmark::Counter::kIsRate);
  state.counters["cpu_us_per_value"] = cpu * 1e6 / static_cast<double>(values);
}
BENCHMARK(BM_KestraneClient_20000TagsInBatchesOf200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Arg 0: security None; arg 1: Basic256Sha256 SignAndEncrypt.
void BM_KestraneClient_10000TagsPerRead(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  const kestrane_test::TempDir pki("kestrane-ua-bench-pki-");
  pyqar::UaSecurity security;
  security.pki_dir = pki.path().string();
  if (state.range(0) == 1) {
    security.policy = pyqar::UaSecurityPolicy::Basic256Sha256;
    security.mode = pyqar::UaSecurityMode::SignAndEncrypt;
    std::filesystem::create_directories(pki / "trusted" / "certs");
    std::filesystem::copy_file(server().certificate_der_path(),
                               pki / "trusted" / "certs" / "server.der");
  }
  auto source = pyqar::make_ua_source(server().url(), 1000, security);
  std::vector<pyqar::TagDescriptor> batch;
  for (int n = 1; n <= 10000; ++n) {
    batch.push_back(
        {.data_type = 8, .namespace_index = 2, .tag_name = "Demo.Count" + std::to_string(n)});
  }
  double cpu = 0;
  std::int64_t values = 0;
  for (auto _ : state) {
    const double cpu0 = process_cpu_seconds();
    auto result = source->read(batch);
    cpu += process_cpu_seconds() - cpu0;
    values += static_cast<std::int64_t>(result.size());
    benchmark::DoNotOptimize(result.data());
  }
  state.SetLabel(state.range(0) == 1 ? "Basic256Sha256/SignAndEncrypt" : "None");
  state.counters["values_per_s"] =
      benchmark::Counter(static_cast<double>(values), benchmark::Counter::kIsRate);
  state.counters["cpu_us_per_value"] = cpu * 1e6 / static_cast<double>(values);
}
BENCHMARK(BM_KestraneClient_10000TagsPerRead)
    ->Arg(0)
    ->Arg(1)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);

void BM_NodeOpcuaClient_20000TagsInBatchesOf200(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  char dir[] = "/tmp/kestrane-ua-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    state.SkipWithError("cannot make a temporary folder");
    return;
  }
  const std::string command = "node " KESTRANE_UA_TEST_SERVER_DIR "/bench-client.js --url " +
                              server().url() + " --cert-dir " + dir +
                              " --tags 20000 --batch 200 --passes 3";
  std::string line;
  for (auto _ : state) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char buf[512];
    while (pipe && std::fgets(buf, sizeof buf, pipe.get())) {
      // node-opcua logs to standard output too; the result is the JSON line.
      if (std::string_view(buf).starts_with("{\"values\"")) line = buf;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  double values_per_s = 0;
  double cpu_us = 0;
  if (std::sscanf(
          line.c_str(),
          R"({"values":%*d,"wall_s":%*f,"cpu_s":%*f,"values_per_s":%lf,"cpu_us_per_value":%lf)",
          &values_per_s, &cpu_us) != 2) {
    state.SkipWithError(("node client failed: " + line).c_str());
    return;
  }
  state.counters["values_per_s"] = values_per_s;
  state.counters["cpu_us_per_value"] = cpu_us;
}
BENCHMARK(BM_NodeOpcuaClient_20000TagsInBatchesOf200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
