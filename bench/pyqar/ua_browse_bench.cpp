// Walks a node-opcua test server holding 20,000 variables (one folder of 20,000 Doubles in
// the plant namespace, beside the demo namespace and the server's own nodes) from the
// Objects folder, as kestrane-browse does.
//   pyqar_ua_browse_bench [--benchmark_filter=...]
// Counters: variables found, nodes visited, Browse and BrowseNext calls per walk.
#include <benchmark/benchmark.h>

#include <string>

#include "pyqar/address_space_walk.h"
#include "pyqar/ua_browser.h"
#include "ua_test_server.h"

namespace {

constexpr int kVariables = 20000;

kestrane_test::UaTestServer& server() {
  static kestrane_test::UaTestServer instance([] {
    kestrane_test::UaTestServer::Options options;
    options.tags = 1;
    options.flat_tags = kVariables;
    return options;
  }());
  return instance;
}

void BM_WalkTwentyThousandVariables(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  pyqar::WalkResult result;
  pyqar::BrowseCallCounts counts;
  for (auto _ : state) {
    pyqar::UaBrowser browser(server().url());
    result = pyqar::walk_address_space(browser, {});
    counts = browser.call_counts();
  }
  state.counters["variables"] = static_cast<double>(result.variables.size());
  state.counters["nodes"] = static_cast<double>(result.progress.nodes_visited);
  state.counters["browse_calls"] = static_cast<double>(counts.browse);
  state.counters["browse_next_calls"] = static_cast<double>(counts.browse_next);
  if (result.variables.size() < kVariables) state.SkipWithError("the walk missed variables");
}
BENCHMARK(BM_WalkTwentyThousandVariables)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
