#pragma once
// PrometheusCollectorMetrics: the collector's counters, gauges and histograms in a Prometheus
// registry, rendered in the text exposition format, plus the health the collector's reports
// add up to. The console owns it (shared with its collector); the collector and writer threads
// report, the HTTP listener's thread renders: every member is thread-safe.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "monitoring/collector_health.h"
#include "quellin/collector_metrics.h"

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

namespace kestrane_monitoring {

class PrometheusCollectorMetrics : public quellin::CollectorMetrics {
 public:
  struct Options {
    std::string version{};            // for kestrane_build_info
    double sample_interval = 1.0;     // seconds, for the health verdict
    std::size_t tags = 0;             // the tag list's size at start
    std::function<double()> clock{};  // monotonic seconds; empty: steady_clock
  };

  explicit PrometheusCollectorMetrics(Options options);
  ~PrometheusCollectorMetrics() override;
  PrometheusCollectorMetrics(const PrometheusCollectorMetrics&) = delete;
  PrometheusCollectorMetrics& operator=(const PrometheusCollectorMetrics&) = delete;

  // Every metric in the Prometheus text format (version 0.0.4).
  std::string render() const;
  const CollectorHealth& health() const { return health_; }

  void cycle_read(std::size_t tags, const quellin::QualityCounts& values, double read_seconds,
                  std::int64_t read_time_us) override;
  void cycle_done(double seconds) override;
  void pausing(double seconds) override;
  void opc_connected(bool connected) override;
  void opc_reconnect() override;
  void subscription_activity(const quellin::SubscriptionActivity& activity) override;
  void subscription_state(const pyqar::SubscriptionStatus& status) override;
  void backfill_values(std::uint64_t values) override;
  void backfill_pending_tags(std::size_t tags) override;
  void backfill_unfilled(std::size_t spans, std::string_view reason) override;
  void history_read(std::string_view result) override;
  void event_items(std::size_t ok, std::size_t failed) override;
  void condition_refreshes(std::uint64_t calls, std::string_view result) override;
  void tags_with_metadata(std::size_t with, std::size_t tags) override;
  void rows_written(const quellin::RowsWritten& rows, double write_seconds,
                    std::int64_t time_us) override;
  void events_written(std::size_t events) override;
  void rows_spooled(std::size_t rows) override;
  void rows_dropped(std::size_t rows, std::string_view reason) override;
  void spool_size(std::uint64_t bytes, std::uint64_t rows) override;
  void handoff_rows(std::uint64_t rows) override;
  void tsdb_connected(bool connected) override;
  void tsdb_reconnect() override;

 private:
  std::shared_ptr<prometheus::Registry> registry_;
  CollectorHealth health_;

  prometheus::Counter& cycles_;
  prometheus::Histogram& cycle_duration_;
  prometheus::Histogram& read_duration_;
  prometheus::Histogram& write_duration_;
  prometheus::Family<prometheus::Counter>& values_;
  prometheus::Counter& values_good_;
  prometheus::Counter& values_uncertain_;
  prometheus::Counter& values_bad_;
  prometheus::Counter& values_invalid_;
  prometheus::Family<prometheus::Counter>& rows_written_;
  prometheus::Counter& rows_written_tsdata_;
  prometheus::Counter& rows_written_text_;
  prometheus::Family<prometheus::Counter>& rows_dropped_;
  prometheus::Counter& rows_spooled_;
  prometheus::Gauge& spool_bytes_;
  prometheus::Gauge& spool_rows_;
  prometheus::Gauge& opc_connected_;
  prometheus::Gauge& tsdb_connected_;
  prometheus::Counter& opc_reconnects_;
  prometheus::Counter& tsdb_reconnects_;
  prometheus::Gauge& tags_;
  prometheus::Gauge& last_read_;
  prometheus::Gauge& last_write_;
  prometheus::Gauge& subscriptions_;
  prometheus::Family<prometheus::Gauge>& monitored_items_;
  prometheus::Gauge& monitored_ok_;
  prometheus::Gauge& monitored_failed_;
  prometheus::Counter& notifications_;
  prometheus::Counter& publish_gaps_;
  prometheus::Family<prometheus::Counter>& values_lost_;
  prometheus::Counter& lost_not_available_;
  prometheus::Counter& lost_overflow_;
  prometheus::Counter& recreations_;
  prometheus::Gauge& queue_below_need_;
  prometheus::Counter& server_full_;
  prometheus::Counter& source_time_steps_back_;
  prometheus::Counter& backfill_values_;
  prometheus::Gauge& backfill_pending_tags_;
  prometheus::Family<prometheus::Counter>& backfill_unfilled_;
  prometheus::Family<prometheus::Counter>& history_reads_;
  prometheus::Counter& events_;
  prometheus::Family<prometheus::Gauge>& event_items_;
  prometheus::Gauge& event_items_ok_;
  prometheus::Gauge& event_items_failed_;
  prometheus::Family<prometheus::Counter>& condition_refreshes_;
  prometheus::Gauge& tags_with_metadata_;
};

}  // namespace kestrane_monitoring
