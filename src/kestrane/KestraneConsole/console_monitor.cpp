#include "KestraneConsole/console_monitor.h"

#include <map>
#include <utility>

#include "journel/log.h"

namespace kestrane_console {

using kestrane_monitoring::HttpHandler;
using kestrane_monitoring::HttpResponse;

ConsoleMonitor::ConsoleMonitor(Options options) {
  if (!options.listen && !notifier_.watchdog_enabled()) return;
  metrics_ = std::make_shared<kestrane_monitoring::PrometheusCollectorMetrics>(
      kestrane_monitoring::PrometheusCollectorMetrics::Options{
          .version = KESTRANE_VERSION,
          .sample_interval = options.sample_interval,
          .tags = options.tags,
          .clock = {}});
  if (!options.listen) return;
  // The handlers only read the metrics, which guard themselves.
  std::map<std::string, HttpHandler> routes;
  routes["/metrics"] = [metrics = metrics_] {
    return HttpResponse{.status = 200,
                        .content_type = "text/plain; version=0.0.4; charset=utf-8",
                        .body = metrics->render()};
  };
  routes["/health"] = [metrics = metrics_] {
    const auto verdict = metrics->health().verdict();
    return HttpResponse{.status = verdict.healthy ? 200 : 503,
                        .content_type = "text/plain; charset=utf-8",
                        .body = verdict.reason + "\n"};
  };
  listener_ =
      std::make_unique<kestrane_monitoring::HttpListener>(*options.listen, std::move(routes));
  // With port 0 the system chose the port, and this line is the only place that tells it.
  const kestrane_monitoring::ListenAddress bound{options.listen->host, listener_->port()};
  journel::get_logger("KestraneConsole")
      ->info("Metrics listening on {0}: metrics on http://{0}/metrics, health on http://{0}/health",
             bound.to_text());
}

ConsoleMonitor::~ConsoleMonitor() = default;

void ConsoleMonitor::collection_started() { notifier_.ready(); }

void ConsoleMonitor::stopping() { notifier_.stopping(); }

void ConsoleMonitor::tick() {
  if (metrics_) notifier_.tick(metrics_->health().making_progress());
}

}  // namespace kestrane_console
