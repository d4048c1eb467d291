// The backfill runner against a scripted history server: what it stores, how it follows the
// server's limits and refusals, and how it goes on after a stop.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "history/backfill_runner.h"

namespace quellin {
namespace {

constexpr std::int64_t kSecond = 1'000'000;
constexpr std::int64_t kNow = 1'800'000'000LL * kSecond;
constexpr std::uint32_t kBadHistoryOperationUnsupported = 0x80720000;
constexpr std::uint32_t kBadNoContinuationPoints = 0x804B0000;
constexpr std::uint32_t kBadContinuationPointInvalid = 0x804A0000;

pyqar::Timestamp at(std::int64_t us) {
  return pyqar::Timestamp(
      std::chrono::duration_cast<pyqar::Timestamp::duration>(std::chrono::microseconds(us)));
}
std::int64_t us_of(pyqar::Timestamp t) {
  return std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// A server keeping one value a second for each tag over the last hour, answering pages of at
// most the values asked, with scripted refusals.
class HistoryServer : public pyqar::RtSource {
 public:
  std::set<std::string> without_history;
  std::set<std::string> refused;
  std::size_t max_cp_nodes = 0;  // more nodes with points answer BadNoContinuationPoints
  int forget_points_once = 0;    // this many continuation calls answer it invalid
  std::size_t largest_call_values = 0;
  std::size_t largest_call_nodes = 0;
  std::size_t released = 0;
  std::size_t calls = 0;
  double* clock = nullptr;  // each call takes a while

  bool valid() const override { return true; }
  std::vector<pyqar::ValueObject> read(const std::vector<pyqar::TagDescriptor>&) override {
    return {};
  }
  bool can_read_history() const override { return true; }
  std::vector<std::optional<bool>> keeps_history(
      const std::vector<pyqar::TagDescriptor>& tags) override {
    std::vector<std::optional<bool>> out;
    for (const auto& tag : tags) out.push_back(!without_history.contains(tag.tag_name));
    return out;
  }
  pyqar::HistoryLimits history_limits() override { return {.max_nodes_per_call = 3}; }
  std::vector<pyqar::HistoryPage> read_history(const std::vector<pyqar::HistoryQuery>& queries,
                                               std::uint32_t per_node) override {
    ++calls;
    if (clock != nullptr) *clock += 0.15;
    largest_call_nodes = std::max(largest_call_nodes, queries.size());
    largest_call_values = std::max<std::size_t>(largest_call_values, queries.size() * per_node);
    std::vector<pyqar::HistoryPage> pages;
    for (const auto& query : queries) {
      pyqar::HistoryPage page;
      const std::string& tag = query.tag.tag_name;
      if (refused.contains(tag)) {
        page.status = kBadHistoryOperationUnsupported;
      } else if (max_cp_nodes > 0 && queries.size() > max_cp_nodes) {
        page.status = kBadNoContinuationPoints;
      } else if (!query.continuation_point.empty() && forget_points_once > 0) {
        --forget_points_once;
        page.status = kBadContinuationPointInvalid;
      } else {
        std::int64_t t = query.continuation_point.empty() ? us_of(query.newest) / kSecond * kSecond
                                                          : std::stoll(query.continuation_point);
        t = std::min(t, kNow);  // nothing newer is kept yet
        const std::int64_t oldest = us_of(query.oldest);
        while (t >= oldest && page.values.size() < per_node) {
          pyqar::ValueObject value;
          value.value = static_cast<double>(t / kSecond);
          value.status = 0;
          value.quality = 0xC0;
          value.source_timestamp = at(t);
          value.timestamp = at(t);
          page.values.push_back(value);
          t -= kSecond;
        }
        if (t >= oldest) page.continuation_point = std::to_string(t);
      }
      pages.push_back(page);
    }
    return pages;
  }
  void release_history(const std::vector<pyqar::HistoryQuery>& queries) noexcept override {
    released += queries.size();
  }
};

struct BackfillRunnerTest : ::testing::Test {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrane-backfill-" + std::to_string(::getpid()));
  double clock = 0.0;
  // What the database holds: (tag, time) once per batch identity.
  std::set<std::uint64_t> batches;
  std::multiset<std::pair<std::string, std::int64_t>> rows;
  std::uint64_t tickets = 0;

  void SetUp() override { std::filesystem::remove_all(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::unique_ptr<BackfillRunner> runner(BackfillOptions settings = {.enabled = true}) {
    settings.enabled = true;
    return std::make_unique<BackfillRunner>(
        BackfillRunner::Options{.settings = settings,
                                .polling = true,
                                .state_dir = dir,
                                .endpoint = "opc.tcp://test:4840",
                                .describe =
                                    [](const std::string& tag) {
                                      return pyqar::TagDescriptor{8, 0, tag};
                                    },
                                .metrics = nullptr,
                                .clock = [this] { return clock; },
                                .wall_clock_us = [] { return kNow; }});
  }
  BackfillRunner::Store store() {
    return [this](const std::string& tag, std::vector<pyqar::ValueObject>&,
                  std::vector<std::int64_t> times, std::uint64_t seq) {
      clock += 0.3;  // each write takes a while
      if (batches.insert(seq).second) {
        for (const std::int64_t t : times) rows.emplace(tag, t);
      }
      return ++tickets;
    };
  }
  // A gap of `seconds` closing now, for `tag`, found by a broken read.
  static void gap(BackfillRunner& runner, const std::string& tag, std::int64_t seconds) {
    auto value = [](std::int64_t us) {
      pyqar::ValueObject v;
      v.value = static_cast<double>(us / kSecond);
      v.status = 0;
      v.source_timestamp = at(us);
      return v;
    };
    runner.tracker().saw(tag, value(kNow - seconds * kSecond), kNow, false);
    runner.tracker().lost_all();
    runner.tracker().saw(tag, value(kNow), kNow, false);
  }
  void run_all(BackfillRunner& runner, HistoryServer& server) {
    for (int turn = 0; turn < 1000 && runner.has_work(clock); ++turn) {
      runner.run(
          server, clock + 1.0, store(), [] { return true; }, [](double) {});
      runner.kept(tickets);
      clock += 1.0;
    }
    runner.kept(tickets);
  }
  std::size_t rows_of(const std::string& tag) const {
    std::size_t n = 0;
    for (const auto& [t, time] : rows) n += t == tag;
    return n;
  }
};

TEST_F(BackfillRunnerTest, FillsEveryGapOnceWithinTheServersLimitsAndForgetsItWhenKept) {
  HistoryServer server;
  auto backfill = runner({.values_per_node = 50});
  for (const char* tag : {"a", "b", "c", "d", "e"}) gap(*backfill, tag, 300);
  backfill->take_found();
  EXPECT_TRUE(std::filesystem::exists(dir / PendingSpansFile::kName));
  run_all(*backfill, server);
  for (const char* tag : {"a", "b", "c", "d", "e"}) {
    EXPECT_EQ(rows_of(tag), 299u) << tag;  // both edges were stored live
  }
  const std::set<std::pair<std::string, std::int64_t>> distinct(rows.begin(), rows.end());
  EXPECT_EQ(rows.size(), distinct.size());
  EXPECT_LE(server.largest_call_nodes, 3u);
  EXPECT_FALSE(backfill->has_work(clock));
  EXPECT_FALSE(backfill->progress().running);
  EXPECT_EQ(backfill->progress().values, 5u * 299u);
  EXPECT_FALSE(std::filesystem::exists(dir / PendingSpansFile::kName));
}

TEST_F(BackfillRunnerTest, RefusalsAndMissingHistoryLeaveOnlyThoseTagsUnfilled) {
  HistoryServer server;
  server.without_history = {"plain"};
  server.refused = {"denied"};
  auto backfill = runner();
  for (const char* tag : {"plain", "denied", "kept"}) gap(*backfill, tag, 60);
  backfill->take_found();
  run_all(*backfill, server);
  EXPECT_EQ(rows_of("kept"), 59u);
  EXPECT_EQ(rows_of("plain"), 0u);
  EXPECT_EQ(rows_of("denied"), 0u);
  // The refused tag is asked once this run, and its gap waits for the next start.
  const std::size_t calls = server.calls;
  run_all(*backfill, server);
  EXPECT_EQ(server.calls, calls);
  const auto left = PendingSpansFile(dir, "opc.tcp://test:4840").load();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].tag, "denied");
}

TEST_F(BackfillRunnerTest, NoContinuationPointsMeansFewerNodesAndAForgottenPointIsReadAgain) {
  HistoryServer server;
  server.max_cp_nodes = 1;
  server.forget_points_once = 2;
  auto backfill = runner({.values_per_node = 20});
  for (const char* tag : {"a", "b", "c"}) gap(*backfill, tag, 200);
  backfill->take_found();
  run_all(*backfill, server);
  for (const char* tag : {"a", "b", "c"}) EXPECT_EQ(rows_of(tag), 199u) << tag;
}

TEST_F(BackfillRunnerTest, AStoppedBackfillGoesOnWhereItsKeptBatchesEnd) {
  HistoryServer server;
  server.clock = &clock;
  {
    auto backfill = runner({.values_per_node = 300});
    gap(*backfill, "a", 3000);
    backfill->take_found();
    // A few calls, some of them kept, then a stop (a crash keeps the same file, written as
    // batches were kept).
    while (server.calls < 6) {  // one call a turn, ending within a stretch
      backfill->run(
          server, clock + 0.01, store(), [] { return true; }, [](double) {});
      backfill->kept(tickets - 1);
      clock += 3.0;
    }
    backfill->stop(&server);
    EXPECT_GT(server.released, 0u);
  }
  const std::size_t before = rows_of("a");
  EXPECT_GT(before, 0u);
  auto again = runner({.values_per_node = 70});
  EXPECT_TRUE(again->has_work(clock));
  run_all(*again, server);
  // Batches read again after the stop carry the same identities: nothing is stored twice.
  EXPECT_EQ(rows_of("a"), 2999u);
}

// The writer busy with live values as the last page arrives: its batches wait, and a later turn
// (one that has nothing left to read) still hands them over.
TEST_F(BackfillRunnerTest, BatchesReadWhileTheWriterIsBusyAreHandedOverByALaterTurn) {
  HistoryServer server;
  auto backfill = runner();
  gap(*backfill, "a", 60);
  backfill->take_found();
  bool room = false;
  backfill->run(
      server, clock + 1.0, store(), [&] { return room; }, [&](double s) { clock += s; });
  EXPECT_EQ(rows_of("a"), 0u);
  ASSERT_TRUE(backfill->has_work(clock + 10.0));
  room = true;
  for (int turn = 0; turn < 10 && backfill->has_work(clock); ++turn) {
    backfill->run(
        server, clock + 1.0, store(), [&] { return room; }, [](double) {});
    backfill->kept(tickets);
    clock += 1.0;
  }
  EXPECT_EQ(rows_of("a"), 59u);
  EXPECT_FALSE(backfill->progress().running);
}

TEST_F(BackfillRunnerTest, OldGapsAreCutToTheMaximumAgeAndTheRateBoundsEachCall) {
  HistoryServer server;
  auto backfill = runner({.max_age_seconds = 100, .rate_values_per_second = 30});
  gap(*backfill, "a", 1000);
  backfill->take_found();
  run_all(*backfill, server);
  EXPECT_EQ(rows_of("a"), 100u);  // the newest 100 s, its lower end now included
  EXPECT_LE(server.largest_call_values, 30u);
}

}  // namespace
}  // namespace quellin
