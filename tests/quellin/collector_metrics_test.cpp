// What a collector and its write stage report to their metrics, on a scripted server and
// database: the counts operators' dashboards and the health endpoint are built on.

#include "quellin/collector_metrics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quellin/opc_collector.h"
#include "scripted_collector_test.h"

namespace {

using quellin::OPCCollector;
using quellin_test::ScriptedOpc;

// Adds every report up.
class RecordingMetrics : public quellin::CollectorMetrics {
 public:
  void cycle_read(std::size_t tags, const quellin::QualityCounts& values, double,
                  std::int64_t time_us) override {
    std::lock_guard lock(mutex);
    ++cycles;
    last_tags = tags;
    good += values.good;
    uncertain += values.uncertain;
    bad += values.bad;
    invalid += values.invalid;
    last_read_us = time_us;
  }
  void cycle_done(double) override {}
  void pausing(double seconds) override {
    std::lock_guard lock(mutex);
    pauses.push_back(seconds);
  }
  void opc_connected(bool) override {}
  void opc_reconnect() override {}
  void subscription_activity(const quellin::SubscriptionActivity& a) override {
    std::lock_guard lock(mutex);
    notifications += a.notifications;
    gaps += a.publish_gaps;
    lost += a.lost_not_available + a.lost_overflow;
    recreations += a.recreations;
    server_full += a.server_full;
  }
  void subscription_state(const pyqar::SubscriptionStatus& status) override {
    std::lock_guard lock(mutex);
    state = status;
  }
  void rows_written(const quellin::RowsWritten& rows, double, std::int64_t) override {
    std::lock_guard lock(mutex);
    written += rows.total();
    written_text += rows.tsdata_text;
  }
  void rows_spooled(std::size_t rows) override {
    std::lock_guard lock(mutex);
    spooled += rows;
  }
  void rows_dropped(std::size_t rows, std::string_view reason) override {
    std::lock_guard lock(mutex);
    dropped[std::string(reason)] += rows;
  }
  void handoff_rows(std::uint64_t) override {}
  void spool_size(std::uint64_t, std::uint64_t rows) override {
    std::lock_guard lock(mutex);
    spool_rows = rows;
  }
  void tsdb_connected(bool connected) override {
    std::lock_guard lock(mutex);
    tsdb_up = connected;
  }
  void tsdb_reconnect() override {
    std::lock_guard lock(mutex);
    ++tsdb_reconnects;
  }

  std::mutex mutex;
  std::size_t cycles = 0, last_tags = 0, good = 0, uncertain = 0, bad = 0, invalid = 0;
  std::int64_t last_read_us = 0;
  std::vector<double> pauses;
  std::size_t written = 0, written_text = 0, spooled = 0;
  std::map<std::string, std::size_t> dropped;
  std::uint64_t spool_rows = 0;
  std::optional<bool> tsdb_up;
  int tsdb_reconnects = 0;
  std::uint64_t notifications = 0, gaps = 0, lost = 0, recreations = 0, server_full = 0;
  std::optional<pyqar::SubscriptionStatus> state;
};

class CollectorMetricsTest : public quellin_test::ScriptedCollectorTest {
 protected:
  CollectorMetricsTest() {
    db->tags = {{"Demo.Tag1", 11}, {"Demo.Tag2", 12}, {"Demo.Tag3", 13}};
    tags = {"Demo.Tag1", "Demo.Tag2", "Demo.Tag3", "Demo.Unknown"};
  }

  std::unique_ptr<OPCCollector> make(bool with_spool) {
    OPCCollector::Options options = collector_options();
    options.metrics = metrics;
    if (with_spool) options.spool = quellin::SpoolSettings{dir.path() / "spool", 1 << 20};
    return std::make_unique<OPCCollector>(std::move(options));
  }
  void serve_mixed_qualities() {
    opc->responder = [](const std::vector<pyqar::TagDescriptor>& batch) {
      std::vector<pyqar::ValueObject> values;
      const int qualities[] = {0xC0, 0x40, 0x00, 0x80};  // Good, Uncertain, Bad, Invalid
      for (std::size_t i = 0; i < batch.size(); ++i) {
        values.push_back({1.0 + static_cast<double>(i), qualities[i % 4], {}});
      }
      return values;
    };
  }

  std::shared_ptr<RecordingMetrics> metrics = std::make_shared<RecordingMetrics>();
};

TEST_F(CollectorMetricsTest, CyclesValuesByQualityAndRowsWrittenOrDropped) {
  serve_mixed_qualities();
  auto c = make(false);
  EXPECT_EQ(metrics->tsdb_up, true);
  c->collection_step();
  c->collection_step();
  EXPECT_EQ(metrics->cycles, 2u);
  EXPECT_EQ(metrics->last_tags, 4u);
  EXPECT_EQ(metrics->good, 2u);
  EXPECT_EQ(metrics->uncertain, 2u);
  EXPECT_EQ(metrics->bad, 2u);
  EXPECT_EQ(metrics->invalid, 2u);
  EXPECT_GT(metrics->last_read_us, 1'700'000'000'000'000);
  // The tag the TSDB does not know is dropped each cycle; the other three are written.
  EXPECT_EQ(metrics->written, 6u);
  EXPECT_EQ(metrics->dropped["unknown_tag"], 2u);
}

TEST_F(CollectorMetricsTest, RowsWrittenAreCountedByTheTableTheyWentTo) {
  opc->responder = [](const std::vector<pyqar::TagDescriptor>& batch) {
    std::vector<pyqar::ValueObject> values;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      pyqar::Value v = i == 1 ? pyqar::Value(std::string("text")) : pyqar::Value(1.0);
      values.push_back({std::move(v), pyqar::QAR_QUALITY::QAR_HIGH_GOOD, {}});
    }
    return values;
  };
  auto c = make(false);
  c->collection_step();
  // Demo.Unknown is dropped; of the three written, Demo.Tag2's text went to tsdata_text.
  EXPECT_EQ(metrics->written, 3u);
  EXPECT_EQ(metrics->written_text, 1u);
}

TEST_F(CollectorMetricsTest, WithoutASpoolAnOutageDropsRowsAndTheReconnectIsCounted) {
  serve_mixed_qualities();
  auto c = make(false);
  database_down();
  c->collection_step();
  EXPECT_EQ(metrics->dropped["tsdb_unreachable"], 4u);
  EXPECT_EQ(metrics->tsdb_up, false);
  EXPECT_EQ(metrics->tsdb_reconnects, 0);
  database_up();
  c->collection_step();  // reconnects; that cycle's rows are not written
  EXPECT_EQ(metrics->tsdb_up, true);
  EXPECT_EQ(metrics->tsdb_reconnects, 1);
  c->collection_step();
  EXPECT_EQ(metrics->written, 3u);
}

TEST_F(CollectorMetricsTest, WithASpoolAnOutageSpoolsRowsThatAreWrittenLater) {
  serve_mixed_qualities();
  auto c = make(true);
  database_down();
  c->collection_step();
  c->collection_step();
  EXPECT_EQ(metrics->spooled, 8u);
  EXPECT_EQ(metrics->spool_rows, 8u);
  EXPECT_EQ(metrics->dropped["tsdb_unreachable"], 0u);
  database_up();
  c->collection_step();
  // The live cycle and both spooled ones, each without its unknown tag.
  EXPECT_EQ(metrics->written, 9u);
  EXPECT_EQ(metrics->spool_rows, 0u);
}

TEST_F(CollectorMetricsTest, ASpoolSegmentLostDuringAnOutageCountsAsASpoolErrorAndWritingGoesOn) {
  serve_mixed_qualities();
  auto c = make(true);
  database_down();
  c->collection_step();
  c->collection_step();
  ASSERT_EQ(metrics->spool_rows, 8u);
  std::filesystem::remove(dir.path() / "spool" / "spool-0000000000000001.dat");
  database_up();
  c->collection_step();  // spools its rows while it reconnects, then replays
  EXPECT_EQ(metrics->dropped["spool_error"], 12u) << log.dump();
  EXPECT_EQ(c->spooled_rows(), 0u);
  EXPECT_EQ(metrics->spool_rows, 0u);  // the gauge follows the loss, not only writes
  c->collection_step();
  EXPECT_EQ(metrics->written, 3u);
}

TEST_F(CollectorMetricsTest, PausesAfterReadErrorsAreAnnounced) {
  auto c = make(false);
  c->opc_error("Read DA error: scripted");
  c->_handle_error_retry();
  ASSERT_EQ(metrics->pauses.size(), 1u);
  EXPECT_EQ(metrics->pauses[0], 5.0);
}

TEST_F(CollectorMetricsTest, ASubscribingCollectorReportsWhatEachPassReceivedAndItsState) {
  opc->subscribable = true;
  opc->on_wait = [this](double seconds) { time.now += seconds; };
  quellin::AcquisitionOptions acquisition;
  acquisition.mode = pyqar::Acquisition::subscribe;
  acquisition.heartbeat_seconds = 1.0;
  OPCCollector c({.opc_schema = "opc.tcp://localhost:46011",
                  .get_tags_func = [this] { return tags; },
                  .data_deque = &queue,
                  .deque_lock = &lock,
                  .metrics = metrics,
                  .acquisition = acquisition,
                  .source_factory = quellin_test::scripted_factory(opc),
                  .clock = [this] { return time.clock(); },
                  .sleep = [this](double s) { time.sleep(s); }});
  pyqar::SubscriptionUpdate update = ScriptedOpc::changes(
      {{0, pyqar::Timestamp{std::chrono::seconds(1)}}, {1, pyqar::Timestamp{}}}, 1);
  update.changes[1].value.quality = 0x00;
  update.publish_gaps = 2;
  update.lost_not_available = 3;
  update.lost_overflow = 1;
  update.recreations = 1;
  update.server_full = 1;
  opc->updates.push_back(update);
  opc->status.items_failed = 1;
  opc->status.items_queue_below_need = 2;
  c.collection_step();
  time.now += 2.0;
  c.collection_step();  // heartbeat rows only: stored, not counted as values read
  std::lock_guard g(metrics->mutex);
  EXPECT_EQ(metrics->cycles, 2u);
  EXPECT_EQ(metrics->last_tags, 4u);
  EXPECT_EQ(metrics->good, 1u);
  EXPECT_EQ(metrics->bad, 1u);
  EXPECT_EQ(metrics->notifications, 1u);
  EXPECT_EQ(metrics->gaps, 2u);
  EXPECT_EQ(metrics->lost, 4u);
  EXPECT_EQ(metrics->recreations, 1u);
  EXPECT_EQ(metrics->server_full, 1u);
  ASSERT_TRUE(metrics->state.has_value());
  EXPECT_EQ(metrics->state->items_ok, 4u);
  EXPECT_EQ(metrics->state->items_failed, 1u);
  EXPECT_EQ(metrics->state->items_queue_below_need, 2u);
  EXPECT_EQ(c.subscription_totals().notifications, 1u);
  EXPECT_EQ(c.subscription_totals().items_failed, 1u);
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue.back().size(), 2u);
}

}  // namespace
