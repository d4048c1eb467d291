// The collector on its own thread: against the simulated OPC DA server while the owner drains
// the queue, and stopped in the middle of its waits. Run under ThreadSanitizer in CI.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "quellin/backfill_progress.h"
#include "quellin/opc_collector.h"
#include "scripted_opc.h"
#include "scripted_tsdb.h"
#include "temp_dir.h"

namespace {

using quellin::OPCCollector;
using quellin::ResultList;
using quellin::ResultQueue;
using quellin_test::ScriptedOpc;
using quellin_test::ScriptedTsdb;

// Generous bound for "at once": far below the 5 s and 60 s waits being interrupted.
constexpr double kPromptSeconds = 3.0;

class CollectorThreadTest : public ::testing::Test {
 protected:
  void record_status(const std::string& text) {
    std::lock_guard g(status_mutex);
    statuses.push_back(text);
    if (text == wait_for_status && !status_seen_set) {
      status_seen_set = true;
      status_seen.set_value();
    }
  }

  std::vector<ResultList> drain() {
    std::lock_guard g(deque_lock);
    return queue.take_all();
  }

  ResultQueue queue{300};
  std::mutex deque_lock;
  std::mutex status_mutex;
  std::vector<std::string> statuses;
  std::string wait_for_status;
  bool status_seen_set = false;
  std::promise<void> status_seen;
  kestrane_test::LogCapture log{"quellin"};
};

TEST_F(CollectorThreadTest, CollectsFromTheSimulatedServerWhileTheOwnerDrainsAndStops) {
  const std::vector<std::string> tags{"Demo.Tag1", "Demo.Count2", "Demo.Random3", "Demo.CCCTag10",
                                      "Demo.Nothing"};
  auto db = std::make_shared<ScriptedTsdb>();
  db->tags = {{"Demo.Tag1", 1},
              {"Demo.Count2", 2},
              {"Demo.Random3", 3},
              {"Demo.CCCTag10", 4},
              {"Demo.Nothing", 5}};
  std::mutex db_status_mutex;
  std::size_t rows_reported = 0;
  OPCCollector collector({.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                          .get_tags_func = [tags] { return tags; },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .tsdb_cfg = tidewell::TsdbSettings{},
                          .sample_interval = 0.002,
                          .batch_size = 2,
                          .status_notify = [this](const std::string& t) { record_status(t); },
                          .db_status_notify =
                              [&](bool ok, std::size_t n) {
                                std::lock_guard g(db_status_mutex);
                                if (ok) rows_reported += n;
                              },
                          .tsdb_connect = db->connect_func(db)});
  collector.start();
  EXPECT_TRUE(collector.is_alive());

  std::vector<ResultList> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (got.size() < 20) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "only " << got.size() << " cycles";
    for (auto& list : drain()) got.push_back(std::move(list));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(collector.is_alive()) << "collector ended early";
  }
  collector.stop();  // closes the TSDB connection while the thread may be writing
  ASSERT_TRUE(collector.join(kPromptSeconds));
  EXPECT_FALSE(collector.is_alive());
  for (auto& list : drain()) got.push_back(std::move(list));

  for (const ResultList& list : got) {
    ASSERT_EQ(list.size(), tags.size());
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(list[i].tag, tags[i]);
      EXPECT_EQ(list[i].quality, "Good");
    }
    EXPECT_EQ(list[4].quality, "Bad");
  }
  EXPECT_FALSE(db->used_after_close);
  EXPECT_EQ(db->closes, 1);
  EXPECT_GE(rows_reported, 20u * tags.size());
  EXPECT_EQ(log.lines().back(), "INFO OPC collector thread stopped.");
}

TEST_F(CollectorThreadTest, AHangingDatabaseHoldsUpNoReadingAndLosesNoRow) {
  const std::vector<std::string> tags{"Demo.Tag1", "Demo.Tag2", "Demo.Tag3"};
  auto db = std::make_shared<ScriptedTsdb>();
  db->tags = {{"Demo.Tag1", 1}, {"Demo.Tag2", 2}, {"Demo.Tag3", 3}};
  std::mutex hang_mutex;
  std::condition_variable hang_cv;
  bool released = false;
  db->before_write = [&] {
    std::unique_lock hang(hang_mutex);
    hang_cv.wait(hang, [&] { return released; });
  };
  const auto release = [&] {
    {
      std::lock_guard hang(hang_mutex);
      released = true;
    }
    hang_cv.notify_all();
  };
  kestrane_test::TempDir dir;
  OPCCollector collector({.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                          .get_tags_func = [tags] { return tags; },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .tsdb_cfg = tidewell::TsdbSettings{},
                          .sample_interval = 0.01,
                          .spool = quellin::SpoolSettings{dir.path() / "spool", 1 << 20},
                          .tsdb_connect = db->connect_func(db)});
  // Destroyed before the collector, also on an early way out, or the collector's destructor would
  // wait for the write forever.
  struct Releaser {
    std::function<void()> release;
    ~Releaser() { release(); }
  } releaser{release};
  collector.start();

  // Reading goes on while the first write hangs.
  std::size_t cycles = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (cycles < 20) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "only " << cycles << " cycles read";
    cycles += drain().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(collector.spooled_rows(), 0u);
  release();
  // The spool drains once the database answers again.
  while (collector.spooled_rows() > 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << collector.spooled_rows() << " left";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  collector.stop();
  ASSERT_TRUE(collector.join(kPromptSeconds));
  cycles += drain().size();

  // Every cycle read is stored once or still waits on disk after the stop.
  std::set<std::pair<std::int64_t, std::int64_t>> stored;  // (time, tag id)
  std::size_t rows = 0;
  for (const auto& write : db->writes) {
    for (const auto& row : write) {
      stored.insert({row.time_us, row.tag_id});
      ++rows;
    }
  }
  EXPECT_EQ(rows, stored.size()) << "a row was written twice";
  EXPECT_EQ(rows + collector.spooled_rows(), cycles * tags.size());
}

TEST_F(CollectorThreadTest, StopEndsARetryPauseAtOnce) {
  auto opc = std::make_shared<ScriptedOpc>();
  opc->responder = ScriptedOpc::all_bad;
  wait_for_status = "Retrying in 5 seconds...";
  OPCCollector collector({.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                          .get_tags_func = [] { return std::vector<std::string>{"Demo.Tag1"}; },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .status_notify = [this](const std::string& t) { record_status(t); },
                          .source_factory = quellin_test::scripted_factory(opc)});
  collector.start();
  ASSERT_EQ(status_seen.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "the status '" << wait_for_status << "' never came";
  collector.stop();
  EXPECT_TRUE(collector.join(kPromptSeconds)) << "stop() did not end the 5 s pause";
}

TEST_F(CollectorThreadTest, StopEndsTheIntervalWaitAtOnce) {
  wait_for_status = "Read 1 tags, 0 bad.";
  OPCCollector collector({.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                          .get_tags_func = [] { return std::vector<std::string>{"Demo.Tag1"}; },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .sample_interval = 600.0,
                          .status_notify = [this](const std::string& t) { record_status(t); }});
  collector.start();
  ASSERT_EQ(status_seen.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "the status '" << wait_for_status << "' never came";
  EXPECT_FALSE(collector.join(0.01));  // it is waiting out the interval
  EXPECT_TRUE(collector.is_alive());
  collector.stop();
  EXPECT_TRUE(collector.join(kPromptSeconds)) << "stop() did not end the interval wait";
  EXPECT_EQ(drain().size(), 1u);
}

TEST_F(CollectorThreadTest, AFailedFirstConnectionEndsTheThreadWithoutEndingTheProcess) {
  OPCCollector collector({.opc_schema = "opc.da://otherhost/OstrevoV2.1.0",
                          .get_tags_func = [] { return std::vector<std::string>{"Demo.Tag1"}; },
                          .data_deque = &queue,
                          .status_notify = [this](const std::string& t) { record_status(t); }});
  collector.start();
  ASSERT_TRUE(collector.join(kPromptSeconds)) << "the thread did not end by itself";
  EXPECT_FALSE(collector.is_alive());
  EXPECT_EQ(log.count("ERROR OPC collector thread ended by an error: Create OPC DA Source failed"),
            1);
  std::lock_guard g(status_mutex);
  EXPECT_EQ(statuses, (std::vector<std::string>{"DA source disconnected"}));
}

TEST_F(CollectorThreadTest, DestroyingARunningCollectorStopsAndJoinsIt) {
  auto collector = std::make_unique<OPCCollector>(
      OPCCollector::Options{.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                            .get_tags_func = [] { return std::vector<std::string>{"Demo.Tag1"}; },
                            .data_deque = &queue,
                            .deque_lock = &deque_lock,
                            .sample_interval = 600.0});
  collector->start();
  EXPECT_THROW(collector->start(), std::logic_error);
  collector.reset();
  SUCCEED();
}

pyqar::Timestamp at_us(std::int64_t us) { return pyqar::Timestamp(std::chrono::microseconds(us)); }

quellin::AcquisitionOptions subscribing() {
  quellin::AcquisitionOptions a;
  a.mode = pyqar::Acquisition::subscribe;
  return a;
}

TEST_F(CollectorThreadTest,
       ASubscribingTurnPollsInShortSlicesUntilItsIntervalEndsThenHandsOverOnce) {
  // Time is the scripted one; everything that touches it runs on the collector thread, and the
  // test looks only after the thread has ended.
  auto opc = std::make_shared<ScriptedOpc>();
  opc->subscribable = true;
  opc->updates.push_back(ScriptedOpc::changes({{0, at_us(1000)}, {1, at_us(2000)}}, 1));
  opc->updates.push_back(ScriptedOpc::changes({{0, at_us(3000)}}, 2));
  quellin_test::FakeTime time;
  OPCCollector* self = nullptr;
  opc->on_wait = [&](double seconds) {
    time.now += seconds;
    if (time.now >= 104.0) self->stop();  // two turns of 2 s from 100
  };
  OPCCollector collector({.opc_schema = "opc.tcp://localhost:46011",
                          .get_tags_func =
                              [] {
                                return std::vector<std::string>{"2:Flow", "2:Level"};
                              },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .sample_interval = 2.0,
                          .acquisition = subscribing(),
                          .source_factory = quellin_test::scripted_factory(opc),
                          .clock = [&time] { return time.clock(); },
                          .sleep = [&time](double s) { time.sleep(s); }});
  self = &collector;
  collector.start();
  ASSERT_TRUE(collector.join(30.0)) << "the collector did not stop by itself";

  const std::vector<ResultList> lists = drain();
  ASSERT_EQ(lists.size(), 1u);  // the quiet second turn hands nothing over
  ASSERT_EQ(lists[0].size(), 3u);
  EXPECT_EQ(lists[0][1].tag, "2:Level");
  EXPECT_EQ(lists[0][2].source_time, at_us(3000));
  for (const std::int64_t wait : opc->poll_waits_ms) {
    EXPECT_LE(wait, 500);
    EXPECT_GT(wait, 0);
  }
  EXPECT_TRUE(time.sleeps.empty()) << "a subscribing turn waits in its polls, not in a sleep";
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{2});
  EXPECT_EQ(opc->subscribed.size(), 1u);
  EXPECT_EQ(opc->unsubscribes, 1);
  EXPECT_TRUE(opc->batches.empty());
}

TEST_F(CollectorThreadTest, AHangingDatabaseHoldsBackTheAcknowledgementNotTheSubscription) {
  auto opc = std::make_shared<ScriptedOpc>();
  opc->subscribable = true;
  opc->updates.push_back(ScriptedOpc::changes({{0, at_us(1'000'000)}}, 1));
  // Read on the collector thread only (where acknowledge() and poll() run), published here.
  std::atomic<std::size_t> polls{0};
  std::atomic<std::size_t> acks{0};
  opc->before_poll = [&] {
    acks = opc->acknowledged.size();
    ++polls;
  };
  opc->on_wait = [](double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 0.002)));
  };
  auto db = std::make_shared<ScriptedTsdb>();
  db->tags = {{"2:Flow", 1}};
  std::mutex hang_mutex;
  std::condition_variable hang_cv;
  bool hanging = false;
  bool released = false;
  db->before_write = [&] {
    std::unique_lock hang(hang_mutex);
    hanging = true;
    hang_cv.notify_all();
    hang_cv.wait(hang, [&] { return released; });
  };
  const auto release = [&] {
    {
      std::lock_guard hang(hang_mutex);
      released = true;
    }
    hang_cv.notify_all();
  };
  struct Releaser {
    std::function<void()> release;
    ~Releaser() { release(); }
  } releaser{release};
  OPCCollector collector({.opc_schema = "opc.tcp://localhost:46011",
                          .get_tags_func = [] { return std::vector<std::string>{"2:Flow"}; },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .tsdb_cfg = tidewell::TsdbSettings{},
                          .sample_interval = 0.01,
                          .acquisition = subscribing(),
                          .source_factory = quellin_test::scripted_factory(opc),
                          .tsdb_connect = db->connect_func(db)});
  collector.start();
  {
    std::unique_lock hang(hang_mutex);
    ASSERT_TRUE(hang_cv.wait_for(hang, std::chrono::seconds(30), [&] { return hanging; }));
  }
  // The subscription is served on while the write hangs, but nothing is acknowledged.
  const std::size_t seen = polls;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (polls < seen + 20) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(acks, 0u);
  release();
  while (acks == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never acknowledged";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  collector.stop();
  ASSERT_TRUE(collector.join(kPromptSeconds));
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{1});
  ASSERT_EQ(db->writes.size(), 1u);
  EXPECT_EQ(db->writes[0][0].time_us, 1'000'000);
}

}  // namespace

// Polling on its own thread with backfill on: the start edges go to the writer's thread and
// back, history batches reach the database beside the live cycles, and the owner watches the
// progress meanwhile. Run under ThreadSanitizer.
TEST(CollectorBackfillThreadTest, HistoryFillsTheStartBesideLiveCyclesWhileTheOwnerWatches) {
  kestrane_test::TempDir dir;
  auto opc = std::make_shared<ScriptedOpc>();
  const auto now = [] { return std::chrono::system_clock::now(); };
  opc->responder = [now](const std::vector<pyqar::TagDescriptor>& batch) {
    std::vector<pyqar::ValueObject> out;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      pyqar::ValueObject value{1.0, pyqar::QAR_QUALITY::QAR_HIGH_GOOD, now()};
      value.status = 0;
      value.source_timestamp = value.timestamp;
      out.push_back(value);
    }
    return out;
  };
  // One value a second, whole seconds, all of them in one page.
  opc->history = [](const std::vector<pyqar::HistoryQuery>& queries, std::uint32_t) {
    std::vector<pyqar::HistoryPage> pages;
    for (const auto& query : queries) {
      pyqar::HistoryPage page;
      auto t = std::chrono::floor<std::chrono::seconds>(query.newest);
      for (; t >= query.oldest; t -= std::chrono::seconds(1)) {
        pyqar::ValueObject value{2.0, pyqar::QAR_QUALITY::QAR_HIGH_GOOD, t};
        value.status = 0;
        value.source_timestamp = t;
        page.values.push_back(value);
      }
      pages.push_back(page);
    }
    return pages;
  };
  auto db = std::make_shared<ScriptedTsdb>();
  db->tags = {{"2:A", 1}, {"2:B", 2}, {"2:C", 3}};
  ResultQueue queue{300};
  std::mutex deque_lock;
  quellin::AcquisitionOptions acquisition;
  acquisition.backfill = {.enabled = true, .initial_seconds = 60};
  OPCCollector collector({.opc_schema = "opc.tcp://localhost:46011",
                          .get_tags_func =
                              [] {
                                return std::vector<std::string>{"2:A", "2:B", "2:C"};
                              },
                          .data_deque = &queue,
                          .deque_lock = &deque_lock,
                          .tsdb_cfg = tidewell::TsdbSettings{},
                          .sample_interval = 0.05,
                          .spool = quellin::SpoolSettings{dir.path() / "spool", 1 << 20},
                          .acquisition = acquisition,
                          .source_factory = quellin_test::scripted_factory(opc),
                          .tsdb_connect = db->connect_func(db)});
  collector.start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  quellin::BackfillProgress progress;
  while (std::chrono::steady_clock::now() < deadline) {
    progress = collector.backfill_progress();
    if (progress.values >= 3 * 59 && !progress.running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  collector.stop();
  ASSERT_TRUE(collector.join(10.0));
  EXPECT_GE(progress.values, 3u * 59u);
  EXPECT_EQ(progress.tags_total, 3u);
  EXPECT_EQ(db->last_stored_asked, 3u);
  std::size_t history_batches = 0;
  for (const auto& [writer, seq] : db->batches) history_batches += writer == "history";
  EXPECT_GE(history_batches, 3u);
  std::set<std::pair<std::int64_t, std::int64_t>> history_rows;
  for (const auto& rows : db->writes) {
    for (const auto& row : rows) {
      if (row.value == 2.0) {
        EXPECT_TRUE(history_rows.insert({row.tag_id, row.time_us}).second);
      }
    }
  }
  EXPECT_EQ(history_rows.size(), progress.values);
}
