// Records logged from several threads through the shared router and the queue reach the rolling
// file sink complete, in each thread's order, and spread over files that respect the size limit.

#include "journel/queued_delivery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "journel/log_format.h"
#include "journel/log_router.h"
#include "journel/sequenced_daily_rotating_sink.h"
#include "test_support.h"

namespace journel {
namespace {

using test::TempDir;

// Counts what reaches it; used to check that a full queue holds the logging thread back
// instead of dropping records.
class CountingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg&) override { ++count_; }
  void flush_() override {}

 private:
  std::size_t count_ = 0;
};

class QueuedDeliveryThreads : public ::testing::Test {
 protected:
  static std::vector<std::thread> start(int threads, const std::function<void(int)>& body) {
    std::vector<std::thread> started;
    for (int t = 0; t < threads; ++t) started.emplace_back(body, t);
    return started;
  }
  static void join(std::vector<std::thread>& threads) {
    for (auto& t : threads) t.join();
  }
};

TEST_F(QueuedDeliveryThreads, SeveralThreadsLogWhileTheSinkRollsOver) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 400;
  constexpr long long kMaxBytes = 2048;
  TempDir dir;
  auto file_sink =
      std::make_shared<SequencedDailyRotatingSink>(dir.path().string(), "mt", kMaxBytes, 7);
  file_sink->set_formatter(make_file_formatter());
  auto router = std::make_shared<LogRouter>();
  router->set_routes(
      {{}, std::make_shared<QueuedDelivery>(std::vector<spdlog::sink_ptr>{file_sink})});

  std::atomic<bool> logging{true};
  std::thread flusher([&] {
    while (logging.load()) {
      router->flush();
      std::this_thread::yield();
    }
  });
  auto workers = start(kThreads, [&](int t) {
    spdlog::logger logger("worker" + std::to_string(t), router);
    for (int i = 0; i < kRecords; ++i) logger.info("record {}", i);
  });
  join(workers);
  logging = false;
  flusher.join();
  router->set_routes({});  // the last queued delivery goes: every record is written

  const std::regex line_format(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} - worker(\d) - INFO - record (\d+)$)");
  std::map<int, int> next_expected;
  std::size_t lines = 0;
  const auto names = test::list_names(dir.path());
  ASSERT_GT(names.size(), 3u) << "the sink should have rolled over several times";
  for (std::size_t f = 0; f < names.size(); ++f) {
    const std::string text = test::read_text(dir.path() / names[f]);
    const auto file_lines = test::split_lines(text);
    if (f + 1 < names.size()) {
      ASSERT_FALSE(file_lines.empty());
      EXPECT_GE(static_cast<long long>(text.size()), kMaxBytes) << names[f];
      EXPECT_LT(static_cast<long long>(text.size() - file_lines.back().size() - 1), kMaxBytes)
          << names[f] << " exceeds the limit by more than its last record";
    }
    for (const auto& line : file_lines) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, line_format)) << line;
      const int thread = std::stoi(match[1]);
      EXPECT_EQ(std::stoi(match[2]), next_expected[thread]) << "order of " << line;
      next_expected[thread] = std::stoi(match[2]) + 1;
      ++lines;
    }
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kRecords));
}

TEST_F(QueuedDeliveryThreads, FullQueueMakesLoggersWaitAndDropsNothing) {
  auto counter = std::make_shared<CountingSink>();
  auto router = std::make_shared<LogRouter>();
  router->set_routes(
      {{}, std::make_shared<QueuedDelivery>(std::vector<spdlog::sink_ptr>{counter})});
  const std::size_t per_thread = QueuedDelivery::kQueueCapacity * 2;
  auto workers = start(2, [&](int t) {
    spdlog::logger logger("flood" + std::to_string(t), router);
    for (std::size_t i = 0; i < per_thread; ++i) logger.info("x");
  });
  join(workers);
  router->set_routes({});
  EXPECT_EQ(counter->count(), 2 * per_thread);
}

}  // namespace
}  // namespace journel
