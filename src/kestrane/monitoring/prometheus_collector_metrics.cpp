#include "monitoring/prometheus_collector_metrics.h"

#include <utility>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace kestrane_monitoring {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;
using prometheus::Registry;

// From a millisecond to half a minute: reads and writes of small lists to the statement
// timeout of a hanging database.
const prometheus::Histogram::BucketBoundaries& duration_buckets() {
  static const prometheus::Histogram::BucketBoundaries buckets{
      0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
  return buckets;
}

prometheus::Counter& counter(Registry& registry, const std::string& name, const std::string& help) {
  return BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

prometheus::Gauge& gauge(Registry& registry, const std::string& name, const std::string& help) {
  return BuildGauge().Name(name).Help(help).Register(registry).Add({});
}

prometheus::Histogram& histogram(Registry& registry, const std::string& name,
                                 const std::string& help) {
  return BuildHistogram().Name(name).Help(help).Register(registry).Add({}, duration_buckets());
}

std::shared_ptr<Registry> registry_with_build_info(const std::string& version) {
  auto registry = std::make_shared<Registry>();
  BuildGauge()
      .Name("kestrane_build_info")
      .Help("The running build; always 1")
      .Register(*registry)
      .Add({{"version", version}})
      .Set(1);
  return registry;
}

}  // namespace

PrometheusCollectorMetrics::PrometheusCollectorMetrics(Options options)
    : registry_(registry_with_build_info(options.version)),
      health_(options.sample_interval, std::move(options.clock)),
      cycles_(counter(*registry_, "kestrane_cycles_total", "Collection cycles read")),
      cycle_duration_(histogram(*registry_, "kestrane_cycle_duration_seconds",
                                "Duration of a pass of the collection loop")),
      read_duration_(histogram(*registry_, "kestrane_read_duration_seconds",
                               "Duration of reading every tag of a cycle")),
      write_duration_(histogram(*registry_, "kestrane_write_duration_seconds",
                                "Duration of a write of one cycle's rows to the TSDB")),
      values_(BuildCounter()
                  .Name("kestrane_values_total")
                  .Help("Values read, by quality")
                  .Register(*registry_)),
      values_good_(values_.Add({{"quality", "Good"}})),
      values_uncertain_(values_.Add({{"quality", "Uncertain"}})),
      values_bad_(values_.Add({{"quality", "Bad"}})),
      values_invalid_(values_.Add({{"quality", "Invalid"}})),
      // By table; the sum over `table` is every row the TSDB took, as before the split.
      rows_written_(BuildCounter()
                        .Name("kestrane_rows_written_total")
                        .Help("Rows the TSDB took, by table")
                        .Register(*registry_)),
      rows_written_tsdata_(rows_written_.Add({{"table", "tsdata"}})),
      rows_written_text_(rows_written_.Add({{"table", "tsdata_text"}})),
      rows_dropped_(BuildCounter()
                        .Name("kestrane_rows_dropped_total")
                        .Help("Rows that never reached the TSDB, by reason")
                        .Register(*registry_)),
      rows_spooled_(counter(*registry_, "kestrane_rows_spooled_total",
                            "Rows put in the spool to wait for the TSDB")),
      spool_bytes_(gauge(*registry_, "kestrane_spool_bytes", "Bytes the spool holds on disk")),
      spool_rows_(gauge(*registry_, "kestrane_spool_rows", "Rows waiting in the spool")),
      opc_connected_(gauge(*registry_, "kestrane_opc_connected",
                           "1 while the OPC server is connected and read")),
      tsdb_connected_(
          gauge(*registry_, "kestrane_tsdb_connected", "1 while a TSDB connection is open")),
      opc_reconnects_(counter(*registry_, "kestrane_opc_reconnects_total",
                              "Connections to the OPC server made again after a failure")),
      tsdb_reconnects_(counter(*registry_, "kestrane_tsdb_reconnects_total",
                               "Connections to the TSDB made again after a failure")),
      tags_(gauge(*registry_, "kestrane_tags", "Tags read each cycle")),
      last_read_(gauge(*registry_, "kestrane_last_read_timestamp_seconds",
                       "Unix time of the last cycle read")),
      last_write_(gauge(*registry_, "kestrane_last_write_timestamp_seconds",
                        "Unix time of the last rows the TSDB took")),
      subscriptions_(gauge(*registry_, "kestrane_subscriptions",
                           "Subscriptions on the OPC server (0 while polling)")),
      monitored_items_(BuildGauge()
                           .Name("kestrane_monitored_items")
                           .Help("Monitored items, by state: created, or refused and tried again")
                           .Register(*registry_)),
      monitored_ok_(monitored_items_.Add({{"state", "ok"}})),
      monitored_failed_(monitored_items_.Add({{"state", "failed"}})),
      notifications_(counter(*registry_, "kestrane_notifications_total",
                             "Notification messages with data received from subscriptions")),
      publish_gaps_(counter(*registry_, "kestrane_publish_gaps_total",
                            "Missing notification sequence numbers found")),
      values_lost_(BuildCounter()
                       .Name("kestrane_values_lost_total")
                       .Help("Values the OPC server could not deliver, by reason: "
                             "not_available counts notification messages it no longer had, "
                             "overflow counts values flagged as following a queue overflow, "
                             "each standing for at least one lost value")
                       .Register(*registry_)),
      lost_not_available_(values_lost_.Add({{"reason", "not_available"}})),
      lost_overflow_(values_lost_.Add({{"reason", "overflow"}})),
      recreations_(counter(*registry_, "kestrane_subscription_recreations_total",
                           "Subscriptions created again after they were lost")),
      queue_below_need_(gauge(*registry_, "kestrane_subscription_items_queue_below_need",
                              "Monitored items whose queue the server made smaller than one "
                              "publishing interval needs: changes beyond it are lost")),
      server_full_(counter(*registry_, "kestrane_subscription_server_full_total",
                           "Monitored item creations refused because the OPC server holds no "
                           "more (tried again a minute later)")),
      source_time_steps_back_(
          counter(*registry_, "kestrane_source_time_steps_back_total",
                  "Values stored with a source time earlier than their tag's previous one")),
      backfill_values_(counter(*registry_, "kestrane_backfill_values_total",
                               "Values stored from the OPC server's history")),
      backfill_pending_tags_(gauge(*registry_, "kestrane_backfill_pending_tags",
                                   "Tags with spans of history still waiting to be read")),
      backfill_unfilled_(BuildCounter()
                             .Name("kestrane_backfill_unfilled_total")
                             .Help("Spans of history (or their older parts) left unfilled, by "
                                   "reason")
                             .Register(*registry_)),
      history_reads_(BuildCounter()
                         .Name("kestrane_history_reads_total")
                         .Help("HistoryRead calls to the OPC server, by result: Good, the status "
                               "that refused the call, or error when the connection failed")
                         .Register(*registry_)),
      events_(counter(*registry_, "kestrane_events_total",
                      "Events the TSDB took (refreshed condition states stored before left out)")),
      event_items_(BuildGauge()
                       .Name("kestrane_event_items")
                       .Help("Event monitored items, by state: created, or refused and tried "
                             "again")
                       .Register(*registry_)),
      event_items_ok_(event_items_.Add({{"state", "ok"}})),
      event_items_failed_(event_items_.Add({{"state", "failed"}})),
      condition_refreshes_(BuildCounter()
                               .Name("kestrane_condition_refreshes_total")
                               .Help("ConditionRefresh calls to the OPC server, by result")
                               .Register(*registry_)),
      tags_with_metadata_(gauge(*registry_, "kestrane_tags_with_metadata",
                                "Tags whose data type, unit and range from the OPC server are "
                                "stored (of kestrane_tags)")) {
  tags_.Set(static_cast<double>(options.tags));
  // Every reason shows from the start, at 0, so that rate() sees its first increase.
  for (const std::string_view reason :
       {quellin::drop_reason::kTsdbUnreachable, quellin::drop_reason::kSpoolFull,
        quellin::drop_reason::kSpoolError, quellin::drop_reason::kRejected,
        quellin::drop_reason::kUnknownTag, quellin::drop_reason::kNotANumber}) {
    rows_dropped_.Add({{"reason", std::string(reason)}});
  }
  for (const std::string_view reason :
       {quellin::backfill_reason::kTooOld, quellin::backfill_reason::kNoHistory,
        quellin::backfill_reason::kRefused, quellin::backfill_reason::kNoSourceTime,
        quellin::backfill_reason::kLoop, quellin::backfill_reason::kUnsupported}) {
    backfill_unfilled_.Add({{"reason", std::string(reason)}});
  }
  // The other results are the server's status names, shown once they occur.
  history_reads_.Add({{"result", "Good"}});
  condition_refreshes_.Add({{"result", "ok"}});
  condition_refreshes_.Add({{"result", "failed"}});
}

PrometheusCollectorMetrics::~PrometheusCollectorMetrics() = default;

std::string PrometheusCollectorMetrics::render() const {
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

void PrometheusCollectorMetrics::cycle_read(std::size_t tags, const quellin::QualityCounts& values,
                                            double read_seconds, std::int64_t read_time_us) {
  health_.cycle_read();
  cycles_.Increment();
  read_duration_.Observe(read_seconds);
  tags_.Set(static_cast<double>(tags));
  if (values.good > 0) values_good_.Increment(static_cast<double>(values.good));
  if (values.uncertain > 0) values_uncertain_.Increment(static_cast<double>(values.uncertain));
  if (values.bad > 0) values_bad_.Increment(static_cast<double>(values.bad));
  if (values.invalid > 0) values_invalid_.Increment(static_cast<double>(values.invalid));
  last_read_.Set(static_cast<double>(read_time_us) / 1e6);
}

void PrometheusCollectorMetrics::cycle_done(double seconds) {
  health_.cycle_done(seconds);
  cycle_duration_.Observe(seconds);
}

void PrometheusCollectorMetrics::pausing(double seconds) { health_.pausing(seconds); }

void PrometheusCollectorMetrics::opc_connected(bool connected) {
  opc_connected_.Set(connected ? 1 : 0);
}

void PrometheusCollectorMetrics::opc_reconnect() { opc_reconnects_.Increment(); }

void PrometheusCollectorMetrics::subscription_activity(
    const quellin::SubscriptionActivity& activity) {
  // Counters that moved only: an Increment(0) is harmless, but most passes count nothing.
  if (activity.notifications > 0) {
    notifications_.Increment(static_cast<double>(activity.notifications));
  }
  if (activity.publish_gaps > 0)
    publish_gaps_.Increment(static_cast<double>(activity.publish_gaps));
  if (activity.lost_not_available > 0) {
    lost_not_available_.Increment(static_cast<double>(activity.lost_not_available));
  }
  if (activity.lost_overflow > 0) {
    lost_overflow_.Increment(static_cast<double>(activity.lost_overflow));
  }
  if (activity.recreations > 0) recreations_.Increment(static_cast<double>(activity.recreations));
  if (activity.server_full > 0) server_full_.Increment(static_cast<double>(activity.server_full));
  if (activity.source_time_steps_back > 0) {
    source_time_steps_back_.Increment(static_cast<double>(activity.source_time_steps_back));
  }
}

void PrometheusCollectorMetrics::subscription_state(const pyqar::SubscriptionStatus& status) {
  health_.subscriptions_alive(status.alive, status.watchdog_seconds);
  subscriptions_.Set(static_cast<double>(status.subscriptions));
  monitored_ok_.Set(static_cast<double>(status.items_ok));
  monitored_failed_.Set(static_cast<double>(status.items_failed));
  queue_below_need_.Set(static_cast<double>(status.items_queue_below_need));
}

void PrometheusCollectorMetrics::backfill_values(std::uint64_t values) {
  backfill_values_.Increment(static_cast<double>(values));
}

void PrometheusCollectorMetrics::backfill_pending_tags(std::size_t tags) {
  backfill_pending_tags_.Set(static_cast<double>(tags));
}

void PrometheusCollectorMetrics::backfill_unfilled(std::size_t spans, std::string_view reason) {
  backfill_unfilled_.Add({{"reason", std::string(reason)}}).Increment(static_cast<double>(spans));
}

void PrometheusCollectorMetrics::history_read(std::string_view result) {
  history_reads_.Add({{"result", std::string(result)}}).Increment();
}

void PrometheusCollectorMetrics::event_items(std::size_t ok, std::size_t failed) {
  event_items_ok_.Set(static_cast<double>(ok));
  event_items_failed_.Set(static_cast<double>(failed));
}

void PrometheusCollectorMetrics::tags_with_metadata(std::size_t with, std::size_t tags) {
  tags_with_metadata_.Set(static_cast<double>(with));
  // The metadata job reads the whole list; a cycle may not have read every tag yet.
  tags_.Set(static_cast<double>(tags));
}

void PrometheusCollectorMetrics::condition_refreshes(std::uint64_t calls, std::string_view result) {
  condition_refreshes_.Add({{"result", std::string(result)}}).Increment(static_cast<double>(calls));
}

void PrometheusCollectorMetrics::events_written(std::size_t events) {
  events_.Increment(static_cast<double>(events));
}

void PrometheusCollectorMetrics::rows_written(const quellin::RowsWritten& rows,
                                              double write_seconds, std::int64_t time_us) {
  health_.rows_kept();
  health_.rows_written();
  rows_written_tsdata_.Increment(static_cast<double>(rows.tsdata));
  rows_written_text_.Increment(static_cast<double>(rows.tsdata_text));
  write_duration_.Observe(write_seconds);
  last_write_.Set(static_cast<double>(time_us) / 1e6);
}

void PrometheusCollectorMetrics::rows_spooled(std::size_t rows) {
  health_.rows_kept();
  rows_spooled_.Increment(static_cast<double>(rows));
}

void PrometheusCollectorMetrics::rows_dropped(std::size_t rows, std::string_view reason) {
  // Rows that could not be kept anywhere make the service unhealthy; rows the database
  // refused, or of tags it does not know, are the data's fault and are only counted.
  if (reason == quellin::drop_reason::kTsdbUnreachable ||
      reason == quellin::drop_reason::kSpoolError) {
    health_.rows_lost();
  }
  rows_dropped_.Add({{"reason", std::string(reason)}}).Increment(static_cast<double>(rows));
}

void PrometheusCollectorMetrics::spool_size(std::uint64_t bytes, std::uint64_t rows) {
  health_.spool_rows(rows);
  spool_bytes_.Set(static_cast<double>(bytes));
  spool_rows_.Set(static_cast<double>(rows));
}

void PrometheusCollectorMetrics::handoff_rows(std::uint64_t rows) { health_.handoff_rows(rows); }

void PrometheusCollectorMetrics::tsdb_connected(bool connected) {
  health_.tsdb_connected(connected);
  tsdb_connected_.Set(connected ? 1 : 0);
}

void PrometheusCollectorMetrics::tsdb_reconnect() { tsdb_reconnects_.Increment(); }

}  // namespace kestrane_monitoring
