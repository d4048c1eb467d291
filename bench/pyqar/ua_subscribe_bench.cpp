// Subscriptions of the OPC UA client against the node-opcua test server, through the public
// source (make_ua_source, subscribe, poll, acknowledge, resume):
//   - BM_Create: N monitored items (--flat-tags N) created (create_s) and their initial values
//     taken (initial_values_s, from the same start); the heap the source holds for them per
//     item; then the server killed and started again on the same port, and the time from its
//     ready line until resume() returned (resume_s: new session, every item created again,
//     every tag read once) and until the first poll after it (healed_s);
//   - BM_ChangeList: N monitored items (--flat-tags N + 1000), then the list with 1,000 tags more
//     subscribed: the time of that subscribe() (change_s: only the new items created, none
//     deleted or created again) and the heap per item after the first subscribe();
//   - BM_ValueChanges: value changes per second of --ramp N variables (each steps every 50 ms)
//     sampled as fast as the server can, and this thread's CPU per value in poll + acknowledge.
//   pyqar_ua_subscribe_bench [--benchmark_filter=...]
// Another server: KESTRANE_BENCH_UA_URL=opc.tcp://host:port KESTRANE_BENCH_UA_NODES=ns:prefix:N
// (string node ids prefix1..prefixN in namespace index ns) runs BM_ValueChanges against it,
// sampled at KESTRANE_BENCH_UA_SAMPLING_MS (default 0: the server's fastest).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pyqar/rt_source.h"
#include "ua_test_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPlantNs = 3;  // urn:kestrane:plant, registered after the demo namespace
constexpr int kDemoNs = 2;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Bytes in use on the heap, the blocks malloc maps on their own (large vectors) included.
double heap_bytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

std::vector<pyqar::MonitoredTag> tags_named(int ns, const std::string& prefix, int count,
                                            const pyqar::MonitorSettings& settings) {
  std::vector<pyqar::MonitoredTag> tags;
  tags.reserve(static_cast<std::size_t>(count));
  for (int n = 1; n <= count; ++n) {
    tags.push_back(
        {.tag = {.data_type = 8, .namespace_index = ns, .tag_name = prefix + std::to_string(n)},
         .settings = settings});
  }
  return tags;
}

// After the server came back: resume() until it succeeds, then poll until every one of `count`
// items is monitored, as a collector would, but without its backoff (the time measured is the
// client's). Nothing when `limit` passed first.
struct Healing {
  double resumed_s = 0;  // until the resume() that succeeded returned
  std::uint64_t recreations = 0;
};
std::optional<Healing> heal(pyqar::RtSource& source, std::size_t count,
                            std::chrono::seconds limit) {
  const auto start = Clock::now();
  Healing healing;
  bool resumed = false;
  while (Clock::now() - start < limit) {
    try {
      if (!resumed) {
        source.resume();
        resumed = true;
        healing.resumed_s = seconds_since(start);
      }
      const pyqar::SubscriptionUpdate update = source.poll(200ms);
      source.acknowledge(update.ack_token);
      healing.recreations += update.recreations;
      if (source.subscription_status().items_ok == count) return healing;
    } catch (const std::runtime_error& e) {
      std::fprintf(stderr, "healing: %s\n", e.what());
      resumed = false;
      std::this_thread::sleep_for(200ms);
    }
  }
  return std::nullopt;
}

void BM_Create(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  const int count = static_cast<int>(state.range(0));
  kestrane_test::UaTestServer::Options options;
  options.tags = 1;
  options.flat_tags = count;
  std::optional<kestrane_test::UaTestServer> server(std::in_place, options);
  options.port = server->port();

  // Sampled rarely: the server's work of sampling 200,000 getters is not what is measured.
  const pyqar::MonitorSettings settings{.sampling_interval_ms = 10'000};
  for (auto _ : state) {
    auto source = pyqar::make_ua_source(server->url(), 1000);
    const double heap0 = heap_bytes();
    auto t0 = Clock::now();
    double subscribe_failures = 0;
    try {
      source->subscribe(tags_named(kPlantNs, "Flat.", count, settings),
                        {.publishing_interval_ms = 1000});
    } catch (const std::runtime_error& e) {
      // A collector resumes the source; so does this, and the time counts.
      std::fprintf(stderr, "subscribe failed: %s\n", e.what());
      subscribe_failures = 1;
      if (!heal(*source, static_cast<std::size_t>(count), 600s)) {
        state.SkipWithError("the items were not all monitored within 10 minutes");
        return;
      }
    }
    const double create_s = seconds_since(t0);
    state.counters["subscribe_failures"] = subscribe_failures;
    const double heap1 = heap_bytes();
    const pyqar::SubscriptionStatus first = source->subscription_status();
    if (first.items_ok != static_cast<std::size_t>(count)) {
      state.SkipWithError(("only " + std::to_string(first.items_ok) + " items monitored").c_str());
      return;
    }

    // The initial value of every item, as the first polls bring them.
    std::size_t initial = 0;
    while (initial < static_cast<std::size_t>(count) && seconds_since(t0) < 300) {
      const pyqar::SubscriptionUpdate update = source->poll(200ms);
      source->acknowledge(update.ack_token);
      initial += update.changes.size();
    }
    state.counters["initial_values_s"] = seconds_since(t0);

    server->kill();
    bool failed = false;
    for (int k = 0; k < 50 && !failed; ++k) {
      try {
        source->acknowledge(source->poll(200ms).ack_token);
      } catch (const std::runtime_error&) {
        failed = true;
      }
    }
    if (!failed) {
      state.SkipWithError("the source did not notice the server was gone");
      return;
    }
    server.reset();
    server.emplace(options);  // same port
    t0 = Clock::now();
    const std::optional<Healing> healed = heal(*source, static_cast<std::size_t>(count), 600s);
    if (!healed) {
      state.SkipWithError("the items were not all monitored again within 10 minutes");
      return;
    }
    const double healed_s = seconds_since(t0);
    // resume: a new session, every item created again and every tag read once; healed: and
    // the first poll after it (the initial values of every item) returned.
    state.counters["resume_s"] = healed->resumed_s;
    state.counters["healed_s"] = healed_s;
    state.counters["recreated_subscriptions"] = static_cast<double>(healed->recreations);
    state.counters["items"] = count;
    state.counters["subscriptions"] = static_cast<double>(first.subscriptions);
    state.counters["create_s"] = create_s;
    state.counters["heap_bytes_per_item"] = (heap1 - heap0) / count;
    source->unsubscribe();
  }
}
BENCHMARK(BM_Create)
    ->Arg(200'000)
    ->Arg(50'000)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

void BM_ChangeList(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  const int count = static_cast<int>(state.range(0));
  constexpr int kAdded = 1000;
  kestrane_test::UaTestServer::Options options;
  options.tags = 1;
  options.flat_tags = count + kAdded;
  kestrane_test::UaTestServer server(options);
  const pyqar::MonitorSettings settings{.sampling_interval_ms = 10'000};
  for (auto _ : state) {
    auto source = pyqar::make_ua_source(server.url(), 1000);
    const double heap0 = heap_bytes();
    try {
      source->subscribe(tags_named(kPlantNs, "Flat.", count, settings),
                        {.publishing_interval_ms = 1000});
    } catch (const std::runtime_error& e) {
      // A busy server: resumed as a collector would; not what is measured here.
      std::fprintf(stderr, "subscribe failed: %s\n", e.what());
      if (!heal(*source, static_cast<std::size_t>(count), 600s)) {
        state.SkipWithError("the items were not all monitored within 10 minutes");
        return;
      }
    }
    const double heap1 = heap_bytes();
    const pyqar::SubscriptionStatus first = source->subscription_status();
    // The initial values, so that the change is timed on a settled subscription.
    std::size_t initial = 0;
    const auto settle = Clock::now();
    while (initial < static_cast<std::size_t>(count) && seconds_since(settle) < 300) {
      const pyqar::SubscriptionUpdate update = source->poll(200ms);
      source->acknowledge(update.ack_token);
      initial += update.changes.size();
    }
    const auto t0 = Clock::now();
    source->subscribe(tags_named(kPlantNs, "Flat.", count + kAdded, settings),
                      {.publishing_interval_ms = 1000});
    const double change_s = seconds_since(t0);
    const pyqar::SubscriptionStatus after = source->subscription_status();
    // The new items' initial values, and nothing else.
    std::size_t values = 0;
    std::uint64_t recreations = 0;
    const auto t1 = Clock::now();
    while (values < kAdded && seconds_since(t1) < 60) {
      const pyqar::SubscriptionUpdate update = source->poll(200ms);
      source->acknowledge(update.ack_token);
      values += update.changes.size();
      recreations += update.recreations;
    }
    state.counters["items"] = count;
    state.counters["heap_bytes_per_item"] = (heap1 - heap0) / count;
    state.counters["change_s"] = change_s;
    state.counters["items_ok_after"] = static_cast<double>(after.items_ok);
    state.counters["subscriptions_before"] = static_cast<double>(first.subscriptions);
    state.counters["subscriptions_after"] = static_cast<double>(after.subscriptions);
    state.counters["values_after_change"] = static_cast<double>(values);
    state.counters["recreations"] = static_cast<double>(recreations);
    source->unsubscribe();
  }
}
BENCHMARK(BM_ChangeList)
    ->Arg(200'000)
    ->Arg(50'000)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

// Polls `source` for `duration`, timing this thread's CPU in poll and acknowledge.
void measure_changes(benchmark::State& state, pyqar::RtSource& source,
                     std::chrono::seconds duration) {
  // Until the initial values have passed.
  for (int k = 0; k < 10; ++k) source.acknowledge(source.poll(100ms).ack_token);
  std::int64_t values = 0;
  std::uint64_t overflow = 0;
  std::uint64_t notifications = 0;
  double cpu = 0;
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < duration) {
    const double cpu0 = thread_cpu_seconds();
    const pyqar::SubscriptionUpdate update = source.poll(100ms);
    source.acknowledge(update.ack_token);
    cpu += thread_cpu_seconds() - cpu0;
    values += static_cast<std::int64_t>(update.changes.size());
    overflow += update.lost_overflow;
    notifications += update.notifications;
    benchmark::DoNotOptimize(update.changes.data());
  }
  const double wall = seconds_since(t0);
  state.counters["values_per_s"] = static_cast<double>(values) / wall;
  state.counters["cpu_us_per_value"] = values > 0 ? cpu * 1e6 / static_cast<double>(values) : 0;
  state.counters["cpu_share"] = cpu / wall;
  state.counters["overflowed"] = static_cast<double>(overflow);
  state.counters["notifications"] = static_cast<double>(notifications);
}

// Arg: ramp variables; the server changes each every 50 ms (20 N changes a second offered).
void BM_ValueChanges(benchmark::State& state) {
  if (auto reason = kestrane_test::UaTestServer::unavailable_reason()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  const int count = static_cast<int>(state.range(0));
  kestrane_test::UaTestServer::Options options;
  options.tags = 1;
  options.ramp = count;
  kestrane_test::UaTestServer server(options);
  const pyqar::MonitorSettings fastest{.sampling_interval_ms = 0};
  for (auto _ : state) {
    auto source = pyqar::make_ua_source(server.url(), 1000);
    source->subscribe(tags_named(kDemoNs, "Ramp.", count, fastest),
                      {.publishing_interval_ms = 100});
    measure_changes(state, *source, 20s);
    state.counters["offered_per_s"] = 20.0 * count;
    source->unsubscribe();
  }
}
BENCHMARK(BM_ValueChanges)
    ->Arg(1'000)
    ->Arg(5'000)
    ->Arg(20'000)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

// KESTRANE_BENCH_UA_NODES "ns:prefix:N".
void BM_ValueChangesElsewhere(benchmark::State& state) {
  const char* url = std::getenv("KESTRANE_BENCH_UA_URL");
  const char* nodes = std::getenv("KESTRANE_BENCH_UA_NODES");
  if (url == nullptr || nodes == nullptr) {
    state.SkipWithError("set KESTRANE_BENCH_UA_URL and KESTRANE_BENCH_UA_NODES=ns:prefix:N");
    return;
  }
  const std::string wanted(nodes);
  const auto first = wanted.find(':');
  const auto last = wanted.rfind(':');
  if (first == std::string::npos || first == last) {
    state.SkipWithError("KESTRANE_BENCH_UA_NODES is not ns:prefix:N");
    return;
  }
  const int ns = std::atoi(wanted.substr(0, first).c_str());
  const std::string prefix = wanted.substr(first + 1, last - first - 1);
  const int count = std::atoi(wanted.substr(last + 1).c_str());
  const char* sampling = std::getenv("KESTRANE_BENCH_UA_SAMPLING_MS");
  const pyqar::MonitorSettings fastest{.sampling_interval_ms =
                                           sampling != nullptr ? std::atof(sampling) : 0.0};
  for (auto _ : state) {
    auto source = pyqar::make_ua_source(url, 1000);
    source->subscribe(tags_named(ns, prefix, count, fastest), {.publishing_interval_ms = 100});
    state.counters["items_ok"] = static_cast<double>(source->subscription_status().items_ok);
    measure_changes(state, *source, 20s);
    source->unsubscribe();
  }
}
BENCHMARK(BM_ValueChangesElsewhere)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
