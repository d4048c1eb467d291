// The collector's reports as Prometheus text: the names operators' dashboards rely on, the
// values they add up to, and the health they feed.

#include "monitoring/prometheus_collector_metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "http_probe.h"
#include "monitoring/http_listener.h"

namespace kestrane_monitoring {
namespace {

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos || text.rfind(line + "\n", 0) == 0;
}

TEST(PrometheusCollectorMetrics, EveryPublishedNameIsThereFromTheStart) {
  PrometheusCollectorMetrics metrics({.version = "9.8.7", .sample_interval = 1.0, .tags = 42});
  const std::string text = metrics.render();
  for (const char* line : {"kestrane_cycles_total 0",
                           "kestrane_rows_written_total{table=\"tsdata\"} 0",
                           "kestrane_rows_written_total{table=\"tsdata_text\"} 0",
                           "kestrane_rows_spooled_total 0",
                           "kestrane_spool_bytes 0",
                           "kestrane_spool_rows 0",
                           "kestrane_opc_connected 0",
                           "kestrane_tsdb_connected 0",
                           "kestrane_opc_reconnects_total 0",
                           "kestrane_tsdb_reconnects_total 0",
                           "kestrane_tags 42",
                           "kestrane_last_read_timestamp_seconds 0",
                           "kestrane_last_write_timestamp_seconds 0",
                           "kestrane_build_info{version=\"9.8.7\"} 1",
                           "kestrane_values_total{quality=\"Good\"} 0",
                           "kestrane_values_total{quality=\"Invalid\"} 0",
                           "kestrane_rows_dropped_total{reason=\"tsdb_unreachable\"} 0",
                           "kestrane_cycle_duration_seconds_count 0",
                           "kestrane_read_duration_seconds_count 0",
                           "kestrane_write_duration_seconds_count 0",
                           "# TYPE kestrane_cycle_duration_seconds histogram",
                           "# TYPE kestrane_cycles_total counter",
                           "# TYPE kestrane_tsdb_connected gauge",
                           "kestrane_subscriptions 0",
                           "kestrane_monitored_items{state=\"ok\"} 0",
                           "kestrane_monitored_items{state=\"failed\"} 0",
                           "kestrane_notifications_total 0",
                           "kestrane_publish_gaps_total 0",
                           "kestrane_values_lost_total{reason=\"not_available\"} 0",
                           "kestrane_values_lost_total{reason=\"overflow\"} 0",
                           "kestrane_subscription_recreations_total 0",
                           "kestrane_subscription_items_queue_below_need 0",
                           "kestrane_subscription_server_full_total 0",
                           "kestrane_source_time_steps_back_total 0",
                           "kestrane_backfill_values_total 0",
                           "kestrane_backfill_pending_tags 0",
                           "kestrane_backfill_unfilled_total{reason=\"too_old\"} 0",
                           "kestrane_backfill_unfilled_total{reason=\"no_history\"} 0",
                           "kestrane_backfill_unfilled_total{reason=\"refused\"} 0",
                           "kestrane_backfill_unfilled_total{reason=\"no_source_time\"} 0",
                           "kestrane_backfill_unfilled_total{reason=\"loop\"} 0",
                           "kestrane_backfill_unfilled_total{reason=\"unsupported\"} 0",
                           "kestrane_history_reads_total{result=\"Good\"} 0"}) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
}

TEST(PrometheusCollectorMetrics, ReportsAddUp) {
  PrometheusCollectorMetrics metrics({.version = "1", .sample_interval = 1.0, .tags = 3});
  metrics.cycle_read(3, {.good = 2, .uncertain = 0, .bad = 1, .invalid = 0}, 0.004,
                     1'700'000'000'500'000);
  metrics.cycle_done(0.005);
  metrics.cycle_read(3, {.good = 1, .uncertain = 1, .bad = 0, .invalid = 1}, 0.002,
                     1'700'000'001'500'000);
  metrics.opc_connected(true);
  metrics.tsdb_connected(true);
  metrics.rows_written({.tsdata = 2, .tsdata_text = 1}, 0.02, 1'700'000'001'600'000);
  metrics.rows_written({.tsdata = 4, .tsdata_text = 0}, 0.03, 1'700'000'001'600'000);
  metrics.rows_spooled(6);
  metrics.rows_dropped(2, quellin::drop_reason::kUnknownTag);
  metrics.rows_dropped(1, "something new");
  metrics.spool_size(4096, 6);
  metrics.tsdb_reconnect();
  const std::string text = metrics.render();
  for (const char* line : {"kestrane_cycles_total 2",
                           "kestrane_values_total{quality=\"Good\"} 3",
                           "kestrane_values_total{quality=\"Uncertain\"} 1",
                           "kestrane_values_total{quality=\"Bad\"} 1",
                           "kestrane_values_total{quality=\"Invalid\"} 1",
                           "kestrane_rows_written_total{table=\"tsdata\"} 6",
                           "kestrane_rows_written_total{table=\"tsdata_text\"} 1",
                           "kestrane_rows_spooled_total 6",
                           "kestrane_rows_dropped_total{reason=\"unknown_tag\"} 2",
                           "kestrane_rows_dropped_total{reason=\"something new\"} 1",
                           "kestrane_spool_bytes 4096",
                           "kestrane_spool_rows 6",
                           "kestrane_opc_connected 1",
                           "kestrane_tsdb_connected 1",
                           "kestrane_tsdb_reconnects_total 1",
                           "kestrane_last_read_timestamp_seconds 1700000001.5",
                           "kestrane_last_write_timestamp_seconds 1700000001.6",
                           "kestrane_read_duration_seconds_count 2",
                           "kestrane_cycle_duration_seconds_count 1",
                           "kestrane_write_duration_seconds_bucket{le=\"0.025\"} 1",
                           "kestrane_write_duration_seconds_count 2"}) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
}

TEST(PrometheusCollectorMetrics, OnlyRowsThatCouldNotBeKeptMakeItUnhealthy) {
  PrometheusCollectorMetrics metrics({.version = "1", .sample_interval = 1.0, .tags = 1});
  metrics.rows_dropped(5, quellin::drop_reason::kRejected);
  metrics.rows_dropped(5, quellin::drop_reason::kUnknownTag);
  EXPECT_TRUE(metrics.health().verdict().healthy);
  metrics.rows_dropped(5, quellin::drop_reason::kTsdbUnreachable);
  EXPECT_FALSE(metrics.health().verdict().healthy);
  metrics.rows_spooled(5);
  EXPECT_TRUE(metrics.health().verdict().healthy);
  metrics.rows_dropped(5, quellin::drop_reason::kSpoolError);
  EXPECT_FALSE(metrics.health().verdict().healthy);
  metrics.rows_written({.tsdata = 5, .tsdata_text = 0}, 0.01, 0);
  EXPECT_TRUE(metrics.health().verdict().healthy);
}

TEST(PrometheusCollectorMetrics, SubscriptionReportsAddUpAndTheStateIsTheLatest) {
  PrometheusCollectorMetrics metrics({.version = "1", .sample_interval = 1.0, .tags = 3});
  metrics.subscription_activity({.notifications = 4,
                                 .publish_gaps = 2,
                                 .lost_not_available = 7,
                                 .lost_overflow = 1,
                                 .recreations = 1});
  metrics.subscription_activity({.notifications = 3,
                                 .publish_gaps = 0,
                                 .lost_not_available = 0,
                                 .lost_overflow = 5,
                                 .recreations = 0,
                                 .server_full = 2,
                                 .source_time_steps_back = 2});
  metrics.subscription_state({.subscriptions = 3, .items_ok = 2000, .items_failed = 5});
  metrics.subscription_state(
      {.subscriptions = 2, .items_ok = 1998, .items_failed = 2, .items_queue_below_need = 40});
  const std::string text = metrics.render();
  for (const char* line :
       {"kestrane_notifications_total 7", "kestrane_publish_gaps_total 2",
        "kestrane_values_lost_total{reason=\"not_available\"} 7",
        "kestrane_values_lost_total{reason=\"overflow\"} 6",
        "kestrane_subscription_recreations_total 1", "kestrane_subscriptions 2",
        "kestrane_monitored_items{state=\"ok\"} 1998",
        "kestrane_monitored_items{state=\"failed\"} 2", "kestrane_subscription_server_full_total 2",
        "kestrane_subscription_items_queue_below_need 40",
        "kestrane_source_time_steps_back_total 2"}) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
}

TEST(PrometheusCollectorMetrics, SubscriptionsThatStoppedHearingFromTheServerAreUnhealthy) {
  PrometheusCollectorMetrics metrics({.version = "1", .sample_interval = 1.0, .tags = 1});
  metrics.subscription_state({.subscriptions = 1, .alive = true, .watchdog_seconds = 30.5});
  EXPECT_TRUE(metrics.health().verdict().healthy);
  metrics.subscription_state({.subscriptions = 1, .alive = false, .watchdog_seconds = 30.5});
  const auto verdict = metrics.health().verdict();
  EXPECT_FALSE(verdict.healthy);
  EXPECT_EQ(verdict.reason,
            "no notification or keep-alive from the OPC server within the subscriptions' "
            "watchdog limit of 31 s");
  // A recreated subscription that hears from the server again is healthy again.
  metrics.subscription_state({.subscriptions = 1, .alive = true, .watchdog_seconds = 30.5});
  EXPECT_TRUE(metrics.health().verdict().healthy);
}

// Read as a monitoring system reads them: over HTTP from the listener the console serves.
TEST(PrometheusCollectorMetrics, BackfillReportsAddUpAsServed) {
  const auto metrics = std::make_shared<PrometheusCollectorMetrics>(
      PrometheusCollectorMetrics::Options{.version = "1", .sample_interval = 1.0, .tags = 3});
  std::map<std::string, HttpHandler> routes;
  routes["/metrics"] = [metrics] {
    return HttpResponse{.status = 200,
                        .content_type = "text/plain; version=0.0.4; charset=utf-8",
                        .body = metrics->render()};
  };
  const HttpListener listener({.host = "127.0.0.1", .port = 0}, std::move(routes));
  const auto value = [&listener](const std::string& series) -> std::optional<double> {
    const auto body = kestrane_test::http_get(listener.port(), "/metrics");
    if (!body) return std::nullopt;
    return kestrane_test::metric_value(*body, series);
  };

  metrics->backfill_pending_tags(2000);
  metrics->backfill_values(1000);
  metrics->backfill_values(2'500'000);
  metrics->backfill_pending_tags(766);  // the latest count, not a sum
  metrics->backfill_unfilled(3, quellin::backfill_reason::kTooOld);
  metrics->backfill_unfilled(1, quellin::backfill_reason::kTooOld);
  metrics->backfill_unfilled(2, quellin::backfill_reason::kLoop);
  metrics->history_read("Good");
  metrics->history_read("Good");
  metrics->history_read("BadNoContinuationPoints");
  metrics->history_read("error");
  EXPECT_EQ(value("kestrane_backfill_values_total"), 2'501'000.0);
  EXPECT_EQ(value("kestrane_backfill_pending_tags"), 766.0);
  EXPECT_EQ(value("kestrane_backfill_unfilled_total{reason=\"too_old\"}"), 4.0);
  EXPECT_EQ(value("kestrane_backfill_unfilled_total{reason=\"loop\"}"), 2.0);
  EXPECT_EQ(value("kestrane_backfill_unfilled_total{reason=\"refused\"}"), 0.0);
  EXPECT_EQ(value("kestrane_history_reads_total{result=\"Good\"}"), 2.0);
  EXPECT_EQ(value("kestrane_history_reads_total{result=\"BadNoContinuationPoints\"}"), 1.0);
  EXPECT_EQ(value("kestrane_history_reads_total{result=\"error\"}"), 1.0);

  const auto body = kestrane_test::http_get(listener.port(), "/metrics");
  ASSERT_TRUE(body.has_value());
  for (const char* line : {"# TYPE kestrane_backfill_values_total counter",
                           "# TYPE kestrane_backfill_pending_tags gauge",
                           "# TYPE kestrane_backfill_unfilled_total counter",
                           "# TYPE kestrane_history_reads_total counter",
                           "# HELP kestrane_backfill_values_total Values stored from the OPC "
                           "server's history"}) {
    EXPECT_TRUE(has_line(*body, line)) << line << "\n" << *body;
  }
  // A failed history read is no sign of an unhealthy collector: live values go on.
  EXPECT_TRUE(metrics->health().verdict().healthy);
}

TEST(PrometheusCollectorMetrics, EventReportsAddUpAndTheItemStateIsTheLatest) {
  PrometheusCollectorMetrics metrics({.version = "1", .sample_interval = 1.0, .tags = 0});
  // Every series shows from the start, so that rate() sees the first increase.
  std::string text = metrics.render();
  for (const char* line :
       {"kestrane_events_total 0", "kestrane_event_items{state=\"ok\"} 0",
        "kestrane_event_items{state=\"failed\"} 0",
        "kestrane_condition_refreshes_total{result=\"ok\"} 0",
        "kestrane_condition_refreshes_total{result=\"failed\"} 0",
        "# TYPE kestrane_events_total counter", "# TYPE kestrane_event_items gauge",
        "# TYPE kestrane_condition_refreshes_total counter"}) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }

  metrics.events_written(3);
  metrics.events_written(1000);
  metrics.event_items(2, 1);
  metrics.event_items(3, 0);  // the latest poll, not a sum
  metrics.condition_refreshes(2, "ok");
  metrics.condition_refreshes(1, "failed");
  metrics.condition_refreshes(1, "ok");
  text = metrics.render();
  for (const char* line : {"kestrane_events_total 1003", "kestrane_event_items{state=\"ok\"} 3",
                           "kestrane_event_items{state=\"failed\"} 0",
                           "kestrane_condition_refreshes_total{result=\"ok\"} 3",
                           "kestrane_condition_refreshes_total{result=\"failed\"} 1"}) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
  // A refresh the server refused says nothing about the values: still healthy.
  EXPECT_TRUE(metrics.health().verdict().healthy);
}

TEST(PrometheusCollectorMetrics, TagsWithMetadataShowTheLatestCountBesideTheTags) {
  PrometheusCollectorMetrics metrics({.version = "1", .sample_interval = 1.0, .tags = 5});
  std::string text = metrics.render();
  for (const char* line : {"kestrane_tags_with_metadata 0",
                           "# TYPE kestrane_tags_with_metadata gauge", "kestrane_tags 5"}) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
  EXPECT_NE(text.find("# HELP kestrane_tags_with_metadata "), std::string::npos) << text;
  metrics.tags_with_metadata(3, 7);
  metrics.tags_with_metadata(6, 7);  // the latest count, not a sum
  text = metrics.render();
  EXPECT_TRUE(has_line(text, "kestrane_tags_with_metadata 6")) << text;
  EXPECT_TRUE(has_line(text, "kestrane_tags 7")) << text;
  EXPECT_TRUE(metrics.health().verdict().healthy);
}

}  // namespace
}  // namespace kestrane_monitoring
