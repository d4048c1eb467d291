// The built KestraneConsole program filling its gaps from the node-opcua test server's history,
// as an operator meets it: stopped and started again, killed in the middle of a long backfill,
// cut off from the server while polling, and against servers whose continuation points loop or
// run out.

#include "console_program_fixture.h"

namespace kestrane_console {
namespace {

// History.K's values count up by one every 200 ms.
constexpr std::int64_t kStepUs = 200'000;

// A server with `history` historizing variables (and `past` seconds of their past), and the
// ramp, which keeps none.
UaTestServer::Options history_server(int history, int past = 0) {
  UaTestServer::Options options = ramp_server(1);
  options.history = history;
  options.history_past = past;
  return options;
}

// Backfill on, every change subscribed.
constexpr const char* kBackfillSettings =
    "collection_interval = 0.5\nopc_sampling_interval = 0\nopc_backfill = true\n";

class BackfillProgram : public SubscribeProgram {
 protected:
  // Rows of `tag` in source-time order.
  std::vector<StoredRow> by_source_time(const std::string& tag) const {
    auto rows = rows_of(tag);
    std::sort(rows.begin(), rows.end(),
              [](const StoredRow& a, const StoredRow& b) { return a.source_time < b.source_time; });
    return rows;
  }
  // Every 200 ms step of `tag` between its first and its last stored row is there, once: the
  // first break in that, or nothing.
  static std::optional<std::string> break_in_history(const std::vector<StoredRow>& rows) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
      // The server's timer is not exact: a change comes 200 ms after the one before it, give
      // or take what a busy machine adds.
      const std::int64_t step = rows[i].source_time - rows[i - 1].source_time;
      if (step <= 0 || step > kStepUs * 5 || rows[i].value != rows[i - 1].value + 1)
        return "row " + std::to_string(i) + ": " + std::to_string(rows[i - 1].value) + " at " +
               std::to_string(rows[i - 1].source_time) + " then " + std::to_string(rows[i].value) +
               " at " + std::to_string(rows[i].source_time);
    }
    return std::nullopt;
  }
  void expect_unbroken(const std::string& tag, std::size_t at_least) const {
    const auto rows = by_source_time(tag);
    EXPECT_GE(rows.size(), at_least) << tag << "\n" << output();
    const auto broken = break_in_history(rows);
    EXPECT_FALSE(broken) << tag << ": " << *broken << "\n" << output();
  }
  // The backfill's pending spans are on disk (beside the spool, or in state/).
  bool pending_file_exists() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      if (entry.path().filename() == "backfill.pending") return true;
    }
    return false;
  }
  // A backfill ran to its end since the program started.
  [[nodiscard]] bool wait_for_backfill(int times = 1, std::chrono::seconds limit = kEventLimit) {
    if (wait_for_output("Backfill finished", times, limit)) return true;
    ADD_FAILURE() << "no end of a backfill\n" << output();
    return false;
  }
};

// Stopped for 20 s and started again: every change of those 20 s is stored, once, at its
// source time, for the historizing tags; the ramp keeps no history and is said to be unfilled.
TEST_F(BackfillProgram, AStopOfTwentySecondsIsFilledOnceForEveryHistorizingTag) {
  ASSERT_TRUE(launch({.server = history_server(2),
                      .tags = {"ns=2;s=History.1,", "ns=2;s=History.2,", "ns=2;s=Ramp.1,"},
                      .settings = kBackfillSettings}));
  ASSERT_EQ(stop(), 0) << output();
  std::this_thread::sleep_for(20s);
  ASSERT_TRUE(console_.start(true));
  ASSERT_TRUE(wait_for_backfill());
  ASSERT_TRUE(wait_for_notifications());
  ASSERT_EQ(stop(), 0) << output();

  expect_unbroken("ns=2;s=History.1", 100);
  expect_unbroken("ns=2;s=History.2", 100);
  EXPECT_EQ(duplicates(), "0");
  for (const auto& row : rows_of("ns=2;s=History.1")) EXPECT_EQ(row.time, row.source_time);
  EXPECT_TRUE(wait_for_output("keep no history on the server")) << output();
  EXPECT_TRUE(wait_for_output("ns=2;s=Ramp.1")) << output();
}

// Killed with SIGKILL in the middle of a large initial backfill held back by its rate: the next
// start goes on where the kept batches end, and no row is stored twice.
TEST_F(BackfillProgram, KilledInTheMiddleOfALargeBackfillTheNextStartFinishesIt) {
  const std::string tags[] = {"ns=2;s=History.1,", "ns=2;s=History.2,", "ns=2;s=History.3,",
                              "ns=2;s=History.4,", "ns=2;s=History.5,"};
  ASSERT_TRUE(launch({.server = history_server(5, 1800),
                      .tags = {std::begin(tags), std::end(tags)},
                      .settings = std::string(kBackfillSettings) +
                                  "opc_backfill_initial = 1800\nopc_backfill_rate = 4000\n",
                      .notifications = 0}));
  ASSERT_TRUE(wait_for([&] { return metric_or_zero("kestrane_backfill_values_total") >= 8000; }))
      << output();
  console_.signal(SIGKILL);
  console_.wait_exit(15s);
  EXPECT_TRUE(pending_file_exists()) << output();

  // Started again without the rate limit, it finishes what was left.
  dir_.write("config.ini", [&] {
    auto text = kestrane_test::read_file(dir_.path() / "config.ini");
    text.replace(text.find("opc_backfill_rate = 4000"), 24, "opc_backfill_rate = 0");
    return text;
  }());
  ASSERT_TRUE(console_.start(true));
  ASSERT_TRUE(wait_for_output("go on where they stood")) << output();
  ASSERT_TRUE(wait_for_backfill(1, 90s));
  ASSERT_EQ(stop(), 0) << output();

  EXPECT_EQ(duplicates(), "0");
  for (int k = 1; k <= 5; ++k) expect_unbroken("ns=2;s=History." + std::to_string(k), 9000);
  EXPECT_FALSE(pending_file_exists()) << output();
}

// Subscribed with a queue of six values, every change reported (a sampling interval as long as
// the server's 200 ms step skips a change now and then), the line cut for longer than the queue
// bridges: the server discards what its queue cannot hold and flags the next value, and the span
// before it is read from history.
TEST_F(BackfillProgram, ACutLongerThanTheServersQueueIsFilledFromHistory) {
  ASSERT_TRUE(launch({.server = history_server(1),
                      .tags = {"ns=2;s=History.1,"},
                      .settings = "collection_interval = 1\nopc_sampling_interval = 0\n"
                                  "opc_queue_size = 6\nopc_backfill = true\n",
                      .through_proxy = true}));
  proxy_->set_refusing(true);
  proxy_->cut_connections();
  std::this_thread::sleep_for(6s);
  proxy_->set_refusing(false);
  ASSERT_TRUE(wait_for_backfill());
  ASSERT_TRUE(wait_for_notifications());
  ASSERT_EQ(stop(), 0) << output();
  expect_unbroken("ns=2;s=History.1", 40);
  EXPECT_EQ(duplicates(), "0");
}

// Polling once a second, the server out of reach for ten cycles: the span is read from history
// once it answers again.
TEST_F(BackfillProgram, PollingCyclesLostToAnOutageAreFilledFromHistory) {
  ASSERT_TRUE(launch({.server = history_server(1),
                      .tags = {"ns=2;s=History.1,"},
                      .settings = "collection_interval = 1\nopc_backfill = true\n",
                      .through_proxy = true,
                      .notifications = 0,
                      .acquisition = "read"}));
  ASSERT_TRUE(wait_for_metric_growth("kestrane_cycles_total", 3)) << output();
  proxy_->set_refusing(true);
  proxy_->cut_connections();
  std::this_thread::sleep_for(10s);
  proxy_->set_refusing(false);
  ASSERT_TRUE(wait_for_backfill());
  ASSERT_EQ(stop(), 0) << output();

  // Polled rows come once a second (with the read time in `time`); the outage is filled with
  // every 200 ms change between the last row before it and the first after it.
  auto rows = by_source_time("ns=2;s=History.1");
  std::int64_t longest = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    longest = std::max(longest, rows[i].source_time - rows[i - 1].source_time);
  }
  EXPECT_LE(longest, 2'000'000) << output();
  std::size_t filled = 0;
  for (const auto& row : rows) filled += row.time == row.source_time;
  EXPECT_GE(filled, 40u) << output();
  EXPECT_EQ(duplicates(), "0");
}

// A server that gives 30 values per call and two continuation points per session: the gap is
// read through pages and fewer nodes per call, complete. A server whose continuation point
// loops: the rest is logged as unfilled and collection goes on.
TEST_F(BackfillProgram, ContinuationPointsThatRunOutOrLoopNeverStopCollection) {
  auto server = history_server(4, 120);
  server.history_max_values = 30;
  server.history_quirks = "nocp";
  ASSERT_TRUE(launch(
      {.server = std::move(server),
       .tags = {"ns=2;s=History.1,", "ns=2;s=History.2,", "ns=2;s=History.3,", "ns=2;s=History.4,"},
       .settings = std::string(kBackfillSettings) + "opc_backfill_initial = 60\n"}));
  ASSERT_TRUE(wait_for_backfill());
  ASSERT_EQ(stop(), 0) << output();
  for (int k = 1; k <= 4; ++k) expect_unbroken("ns=2;s=History." + std::to_string(k), 300);
  EXPECT_TRUE(wait_for_output("no continuation points left")) << output();
}

TEST_F(BackfillProgram, ALoopingContinuationPointIsLoggedAndLeftUnfilled) {
  auto server = history_server(1, 120);
  server.history_max_values = 30;
  server.history_quirks = "loop";
  ASSERT_TRUE(launch({.server = std::move(server),
                      .tags = {"ns=2;s=History.1,"},
                      .settings = std::string(kBackfillSettings) + "opc_backfill_initial = 60\n"}));
  ASSERT_TRUE(wait_for_backfill());
  ASSERT_TRUE(wait_for_notifications());
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_TRUE(wait_for_output("the same point again")) << output();
  EXPECT_EQ(duplicates(), "0");
}

}  // namespace
}  // namespace kestrane_console
