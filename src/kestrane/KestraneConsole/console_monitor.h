#pragma once
// ConsoleMonitor: how operators watch the console besides its log: the collector's metrics
// and health served over HTTP when [KestraneMetrics] listen is set, and systemd's readiness
// and watchdog notifications when it runs as a notify service. The console owns it and calls
// it from its main thread; the metrics it hands out are reported from the collector's threads.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "monitoring/http_listener.h"
#include "monitoring/listen_address.h"
#include "monitoring/prometheus_collector_metrics.h"
#include "monitoring/service_notifier.h"

namespace kestrane_console {

class ConsoleMonitor {
 public:
  struct Options {
    std::optional<kestrane_monitoring::ListenAddress> listen;  // unset: no listener
    double sample_interval = 1.0;
    std::size_t tags = 0;
  };

  // Starts the listener when one is asked for (port 0: any free port) and logs the address it
  // bound, "Metrics listening on 127.0.0.1:43127: ..."; throws std::runtime_error "cannot
  // listen on <address>: <reason>" when it cannot bind.
  explicit ConsoleMonitor(Options options);
  ~ConsoleMonitor();
  ConsoleMonitor(const ConsoleMonitor&) = delete;
  ConsoleMonitor& operator=(const ConsoleMonitor&) = delete;

  // What the collector reports to; null when nothing would read it (no listener, no
  // watchdog), so that such a run measures nothing.
  std::shared_ptr<quellin::CollectorMetrics> collector_metrics() const { return metrics_; }

  void collection_started();
  void stopping();
  // Once per main-loop turn: feeds the watchdog while the collector makes progress.
  void tick();

 private:
  kestrane_monitoring::ServiceNotifier notifier_;
  std::shared_ptr<kestrane_monitoring::PrometheusCollectorMetrics> metrics_;
  std::unique_ptr<kestrane_monitoring::HttpListener> listener_;
};

}  // namespace kestrane_console
