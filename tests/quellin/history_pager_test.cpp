// The pieces of a backfill that decide what is stored: the pager's stretches and identities,
// the gaps the tracker finds, and the pending spans on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "history/gap_tracker.h"
#include "history/history_pager.h"
#include "history/pending_spans_file.h"

namespace quellin {
namespace {

constexpr std::int64_t kSecond = 1'000'000;
constexpr std::int64_t kBase = 1'800'000'000LL * kSecond;  // on a stretch boundary

pyqar::Timestamp at(std::int64_t us) {
  return pyqar::Timestamp(
      std::chrono::duration_cast<pyqar::Timestamp::duration>(std::chrono::microseconds(us)));
}

pyqar::ValueObject value_at(std::int64_t us, double v) {
  pyqar::ValueObject value;
  value.value = v;
  value.status = 0;
  value.quality = 0xC0;
  value.source_timestamp = at(us);
  value.timestamp = at(us);
  return value;
}

HistorySpan span_of(std::int64_t low, std::int64_t high) {
  return {.tag = "2:T", .low_us = low, .high_us = high, .done_above_us = high + 1};
}

// What a server keeps: one value every `step`, newest first from `newest` down to `oldest`.
std::vector<pyqar::ValueObject> history(std::int64_t oldest, std::int64_t newest,
                                        std::int64_t step) {
  std::vector<pyqar::ValueObject> values;
  for (std::int64_t t = newest - (newest - oldest) % step; t >= oldest; t -= step) {
    values.push_back(value_at(t, static_cast<double>(t / step)));
  }
  return values;
}

// Serves `all` (newest first) in pages of `size` values within the pager's query.
struct PagedServer {
  std::vector<pyqar::ValueObject> all;
  std::size_t size;
  std::size_t next = 0;  // the continuation point: where the page goes on
  pyqar::HistoryPage answer(const pyqar::HistoryQuery& query) {
    if (query.continuation_point.empty()) {
      next = 0;
      while (next < all.size() && *all[next].source_timestamp > query.newest) ++next;
    }
    pyqar::HistoryPage page;
    while (next < all.size() && page.values.size() < size &&
           *all[next].source_timestamp >= query.oldest) {
      page.values.push_back(all[next++]);
    }
    if (next < all.size() && *all[next].source_timestamp >= query.oldest) {
      page.continuation_point = "cp" + std::to_string(next);
    }
    return page;
  }
};

struct Stored {
  std::vector<std::int64_t> times;
  std::set<std::uint64_t> identities;
  std::size_t duplicates = 0;
  void store(const HistoryPager::Batch& batch) {
    if (!identities.insert(batch.seq).second) {
      ++duplicates;  // the database skips a batch it has
      return;
    }
    times.insert(times.end(), batch.time_us.begin(), batch.time_us.end());
  }
};

std::vector<HistoryPager::Batch> read_all(HistoryPager& pager, PagedServer& server,
                                          std::size_t max_pages = 1000) {
  std::vector<HistoryPager::Batch> batches;
  for (std::size_t i = 0; i < max_pages; ++i) {
    const auto state = pager.take(server.answer(pager.query({})), batches);
    if (state != HistoryPager::State::more) break;
  }
  return batches;
}

TEST(HistoryPager, EveryValueOnceOldestFirstWithinBatchesAndEdgesLeftOut) {
  const std::int64_t low = kBase + 10 * kSecond;
  const std::int64_t high = kBase + 250 * kSecond;
  HistorySpan span = span_of(low, high);
  // The rows stored at both ends are what history repeats there.
  span.low_edge = {value_fingerprint(static_cast<double>(low / (2 * kSecond)), 0)};
  span.high_edge = {value_fingerprint(static_cast<double>(high / (2 * kSecond)), 0)};
  HistoryPager pager(span);
  PagedServer server{history(kBase, kBase + 300 * kSecond, 2 * kSecond), 7};
  Stored stored;
  for (const auto& batch : read_all(pager, server)) {
    EXPECT_TRUE(std::is_sorted(batch.time_us.begin(), batch.time_us.end()));
    stored.store(batch);
  }
  std::vector<std::int64_t> expected;
  for (std::int64_t t = low + 2 * kSecond; t < high; t += 2 * kSecond) expected.push_back(t);
  std::sort(stored.times.begin(), stored.times.end());
  EXPECT_EQ(stored.times, expected);
  EXPECT_EQ(pager.position_us(), low);
}

TEST(HistoryPager, ReadingAgainFromAnyPointMakesTheSameBatches) {
  // A crash or a lost session restarts reading from the last batch handed out: the batches
  // made again carry the identities of the first reading, so the database skips them.
  const HistorySpan span = span_of(kBase + 5 * kSecond, kBase + 600 * kSecond);
  const auto all = history(kBase, kBase + 700 * kSecond, kSecond / 5);
  HistoryPager first(span);
  PagedServer server{all, 100};
  Stored stored;
  for (const auto& batch : read_all(first, server)) stored.store(batch);
  const std::size_t once = stored.times.size();

  for (const std::size_t page_size : {37u, 1000u, 3u}) {
    HistoryPager again(span);
    PagedServer other{all, page_size};
    std::vector<HistoryPager::Batch> batches;
    // Stop halfway, restart from the position, and read to the end.
    for (int i = 0; i < 5; ++i) again.take(other.answer(again.query({})), batches);
    again.restart();
    for (const auto& batch : read_all(again, other)) batches.push_back(batch);
    for (const auto& batch : batches) stored.store(batch);
  }
  EXPECT_EQ(stored.times.size(), once);
  EXPECT_GT(stored.duplicates, 0u);
}

TEST(HistoryPager, SeveralValuesAtOneInstantAcrossAPageBoundaryAreAllStored) {
  HistorySpan span = span_of(kBase, kBase + 120 * kSecond);
  std::vector<pyqar::ValueObject> all;
  for (int i = 0; i < 5; ++i) all.push_back(value_at(kBase + 60 * kSecond, i));  // one instant
  for (const auto& v : history(kBase, kBase + 59 * kSecond, kSecond)) all.push_back(v);
  HistoryPager pager(span);
  PagedServer server{all, 2};
  Stored stored;
  for (const auto& batch : read_all(pager, server)) stored.store(batch);
  EXPECT_EQ(stored.times.size(), all.size());
}

TEST(HistoryPager, ALoopingContinuationPointEndsWithWhatCameAndGoesOnByTime) {
  HistoryPager pager(span_of(kBase, kBase + 100 * kSecond));
  std::vector<HistoryPager::Batch> batches;
  pyqar::HistoryPage page;
  page.values = history(kBase + 90 * kSecond, kBase + 100 * kSecond, kSecond);
  page.continuation_point = "same";
  ASSERT_EQ(pager.take(page, batches), HistoryPager::State::more);
  // No values and the same point again: the values so far are handed out, the next query
  // goes on below them without the point.
  pyqar::HistoryPage looping;
  looping.continuation_point = "same";
  EXPECT_EQ(pager.take(looping, batches), HistoryPager::State::more);
  EXPECT_TRUE(pager.continuation_point().empty());
  EXPECT_EQ(pager.take_abandoned_point(), "same");  // given back to the server
  EXPECT_TRUE(pager.take_abandoned_point().empty());
  EXPECT_EQ(pager.position_us(), kBase + 90 * kSecond);
  std::size_t values = 0;
  for (const auto& batch : batches) values += batch.values.size();
  EXPECT_EQ(values, 11u);
  // Looping again with nothing new: the rest cannot be read.
  pyqar::HistoryPage empty_with_point;
  empty_with_point.continuation_point = "again";
  ASSERT_EQ(pager.take(empty_with_point, batches), HistoryPager::State::more);
  EXPECT_EQ(pager.take(empty_with_point, batches), HistoryPager::State::loop);
}

TEST(HistoryPager, RowsStoredLiveInsideTheSpanAreLeftOutOnceEach) {
  // After a value read once, the server may still send the changes it had queued before it:
  // they are stored live, inside the span the read value closed.
  GapTracker tracker(/*polling=*/false, 0);
  const auto served = [](std::int64_t t) { return value_at(t, static_cast<double>(t / kSecond)); };
  tracker.saw("2:T", served(kBase), kBase, false);
  tracker.take_edge_requests();
  tracker.saw("2:T", served(kBase + 10 * kSecond), kBase + 10 * kSecond, true);
  tracker.saw("2:T", served(kBase + 4 * kSecond), kBase + 4 * kSecond, false);
  const auto inside = tracker.take_inside();
  ASSERT_EQ(inside.size(), 1u);
  HistoryPager pager(tracker.take_spans().at(0));
  pager.also_stored(inside[0].time_us, inside[0].fingerprint);
  PagedServer server{history(kBase, kBase + 10 * kSecond, kSecond), 4};
  Stored stored;
  for (const auto& batch : read_all(pager, server)) stored.store(batch);
  std::sort(stored.times.begin(), stored.times.end());
  std::vector<std::int64_t> expected;
  for (int s = 1; s < 10; ++s) {
    if (s != 4) expected.push_back(kBase + s * kSecond);
  }
  EXPECT_EQ(stored.times, expected);
}

TEST(HistoryPager, ValuesOutsideTheSpanOrWithoutTimeAreNotStored) {
  HistoryPager pager(span_of(kBase + 10 * kSecond, kBase + 20 * kSecond));
  pyqar::HistoryPage page;
  page.values = {value_at(kBase + 30 * kSecond, 1), value_at(kBase + 15 * kSecond, 2),
                 value_at(kBase + 5 * kSecond, 3)};
  pyqar::ValueObject untimed;
  untimed.value = 4.0;
  page.values.push_back(untimed);
  std::vector<HistoryPager::Batch> batches;
  EXPECT_EQ(pager.take(page, batches), HistoryPager::State::done);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].time_us, std::vector<std::int64_t>{kBase + 15 * kSecond});
  EXPECT_EQ(pager.untimed(), 1u);
}

TEST(RowFingerprint, TellsValuesTextsAndStatusesApartButNotTheOverflowBit) {
  EXPECT_NE(number_fingerprint(1.0, 0), number_fingerprint(2.0, 0));
  EXPECT_NE(number_fingerprint(1.0, 0), number_fingerprint(1.0, 0x40000000));
  EXPECT_NE(number_fingerprint(1.0, 0), text_fingerprint("1", 0));
  EXPECT_EQ(number_fingerprint(1.0, 0), number_fingerprint(1.0, 0x00000480));
  EXPECT_EQ(value_fingerprint(std::int64_t{3}, 0), number_fingerprint(3.0, 0));
  EXPECT_EQ(value_fingerprint(pyqar::Value{}, std::nullopt), number_fingerprint(std::nan(""), 0));
}

TEST(GapTracker, SpansAfterLostReadsAndMarkedValuesWithTheirEdges) {
  GapTracker tracker(/*polling=*/true, 0);
  tracker.saw("a", value_at(kBase, 1), kBase, false);
  tracker.saw("a", value_at(kBase, 1), kBase + kSecond, false);  // polled again, same row
  tracker.edges_known(tracker.take_edge_requests(), {});         // nothing stored before
  EXPECT_TRUE(tracker.take_spans().empty());
  tracker.lost_all();
  tracker.saw("a", value_at(kBase + 10 * kSecond, 2), kBase + 11 * kSecond, false);
  auto spans = tracker.take_spans();
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].low_us, kBase);
  EXPECT_EQ(spans[0].high_us, kBase + 10 * kSecond);
  EXPECT_EQ(spans[0].low_edge.size(), 1u);  // one row at the lower end, however often polled
  // The same value again closes nothing; a value flagged after a gap does.
  tracker.saw("a", value_at(kBase + 10 * kSecond, 2), kBase + 12 * kSecond, false);
  tracker.saw("a", value_at(kBase + 20 * kSecond, 3), kBase + 20 * kSecond, true);
  spans = tracker.take_spans();
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].low_us, kBase + 10 * kSecond);
}

TEST(GapTracker, SubscribedChangesAtTheUpperInstantAllJoinItsEdge) {
  GapTracker tracker(/*polling=*/false, 0);
  tracker.saw("a", value_at(kBase, 1), kBase, false);
  tracker.take_edge_requests();
  tracker.saw("a", value_at(kBase + kSecond, 2), kBase + kSecond, true);
  tracker.saw("a", value_at(kBase + kSecond, 3), kBase + kSecond, false);
  tracker.saw("a", value_at(kBase + kSecond, 3), kBase + kSecond, false);
  const auto spans = tracker.take_spans();
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].high_edge.size(), 3u);
}

TEST(GapTracker, StartGapsFromWhatTheDatabaseStoredLast) {
  GapTracker tracker(/*polling=*/false, 30 * kSecond);
  tracker.saw("stored", value_at(kBase + 100 * kSecond, 1), kBase + 100 * kSecond, false);
  tracker.saw("new", value_at(kBase + 100 * kSecond, 1), kBase + 100 * kSecond, false);
  tracker.saw("untimed_edge", value_at(kBase + 100 * kSecond, 1), kBase + 100 * kSecond, false);
  tracker.saw("current", value_at(kBase + 100 * kSecond, 1), kBase + 100 * kSecond, false);
  const auto asked = tracker.take_edge_requests();
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_EQ(asked[0].before_us, kBase + 100 * kSecond);
  tracker.edges_known(asked, {{"stored", kBase + 40 * kSecond, {7}},
                              {"untimed_edge", std::nullopt, {}},
                              {"current", kBase + 100 * kSecond, {}}});
  auto spans = tracker.take_spans();
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_EQ(spans[0].tag, "stored");
  EXPECT_EQ(spans[0].low_us, kBase + 40 * kSecond);
  EXPECT_EQ(spans[0].low_edge, std::vector<RowFingerprint>{7});
  EXPECT_EQ(spans[1].tag, "new");  // opc_backfill_initial before its first value
  EXPECT_EQ(spans[1].low_us, kBase + 70 * kSecond);
  EXPECT_EQ(tracker.take_untimed(), std::vector<std::string>{"untimed_edge"});
}

TEST(PendingSpansFile, KeepsSpansOfThisServerAndRefusesOthersAndBrokenFiles) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("kestrane-pending-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(dir);
  HistorySpan span = span_of(kBase, kBase + kSecond);
  span.tag = "ns=2;s=A tag with spaces, % and ümlaut";
  span.low_edge = {1, 0xffffffffffffffffULL};
  span.inside = {{kBase + 3, 0xabcULL}, {kBase + 4, 7}};
  span.done_above_us = kBase + 5;
  PendingSpansFile file(dir, "opc.tcp://host:4840");
  file.save({span});
  const auto loaded = file.load();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].tag, span.tag);
  EXPECT_EQ(loaded[0].low_edge, span.low_edge);
  EXPECT_TRUE(loaded[0].high_edge.empty());
  EXPECT_EQ(loaded[0].inside, span.inside);
  EXPECT_EQ(loaded[0].done_above_us, span.done_above_us);
  EXPECT_TRUE(PendingSpansFile(dir, "opc.tcp://other:4840").load().empty());
  {
    std::ofstream out(file.path(), std::ios::app);
    out << "12 not-a-number\n";
  }
  EXPECT_TRUE(file.load().empty());
  file.save({});
  EXPECT_FALSE(std::filesystem::exists(file.path()));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quellin
