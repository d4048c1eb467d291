// The spool shared by threads as the collector uses it: two threads append while a third reads
// and pops. Run under ThreadSanitizer in CI.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "spool/spool.h"
#include "temp_dir.h"

namespace {

using quellin::Spool;
using quellin::SpoolBatch;

constexpr std::uint64_t kBatchesPerWriter = 300;
constexpr auto kDeadline = std::chrono::seconds(60);

SpoolBatch batch(const std::string& writer, std::uint64_t seq) {
  SpoolBatch b{
      .writer_id = writer, .seq = seq, .time_us = static_cast<std::int64_t>(seq), .rows = {}};
  for (int i = 0; i < 20; ++i) b.rows.push_back({"Tag" + std::to_string(i), 1.5 * i, "Good"});
  return b;
}

TEST(SpoolThreadTest, TwoAppendersAndOneReaderLoseAndReorderNothing) {
  kestrane_test::TempDir temp("spool-thread-test-");
  kestrane_test::LogCapture log;
  // About 64 KiB segments, so the reader deletes files while the appenders start new ones, and
  // room for every batch, so none is dropped however far the reader falls behind.
  Spool spool({.dir = temp / "spool", .max_bytes = 512 << 10, .log = log.shared()});
  spool.append(batch("a", 0));
  spool.append(batch("b", 0));

  auto appender = [&spool](const std::string& writer) {
    for (std::uint64_t seq = 1; seq < kBatchesPerWriter; ++seq) {
      spool.append(batch(writer, seq));
      if (seq % 50 == 0) spool.sync_if_due();
    }
  };
  std::thread a(appender, "a");
  std::thread b(appender, "b");

  std::vector<std::uint64_t> seen_a;
  std::vector<std::uint64_t> seen_b;
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (seen_a.size() + seen_b.size() < 2 * kBatchesPerWriter &&
         std::chrono::steady_clock::now() < deadline) {
    const auto front = spool.front();
    if (!front) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(front->rows.size(), 20u);
    (front->writer_id == "a" ? seen_a : seen_b).push_back(front->seq);
    spool.pop_front();
    (void)spool.rows();
    (void)spool.span();
  }
  a.join();
  b.join();

  std::vector<std::uint64_t> expected;
  for (std::uint64_t seq = 0; seq < kBatchesPerWriter; ++seq) expected.push_back(seq);
  EXPECT_EQ(seen_a, expected);
  EXPECT_EQ(seen_b, expected);
  EXPECT_TRUE(spool.empty());
  EXPECT_EQ(spool.bytes(), 0u);
  EXPECT_EQ(log.dump(), "");
}

}  // namespace
