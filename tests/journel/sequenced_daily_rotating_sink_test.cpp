#include "journel/sequenced_daily_rotating_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>

#include "test_support.h"

namespace journel {
namespace {

using namespace std::chrono;
using test::list_names;
using test::read_text;
using test::TempDir;

local_seconds at(int y, unsigned m, unsigned d, int hh = 12, int mm = 0, int ss = 0) {
  return local_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

class SinkTest : public ::testing::Test {
 protected:
  std::unique_ptr<SequencedDailyRotatingSink> make_sink(long long max_bytes,
                                                        long long retention_days = 0,
                                                        const std::string& prefix = "default") {
    auto sink = std::make_unique<SequencedDailyRotatingSink>(
        dir_.path().string(), prefix, max_bytes, retention_days, [this] { return now_; });
    // The record text is written as given, so sizes in the tests are exact.
    sink->set_formatter(
        std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
    return sink;
  }

  static void write(SequencedDailyRotatingSink& sink, const std::string& text) {
    sink.log(spdlog::details::log_msg("test", spdlog::level::info, text));
  }

  // A record of exactly `n` bytes ending in a line break.
  static std::string record(std::size_t n, char fill = 'x') {
    return std::string(n - 1, fill) + "\n";
  }

  void touch(const std::string& name, const std::string& text = "old\n") {
    test::write_text(dir_ / name, text);
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
  std::string file(const std::string& name) const { return read_text(dir_ / name); }

  TempDir dir_;
  local_seconds now_ = at(2026, 12, 7, 9, 30);
};

class StartingSequence : public SinkTest {};

TEST_F(StartingSequence, ContinuesAfterTheHighestFileOfToday) {
  for (int i = 1; i <= 5; ++i) touch("default-12-07.00" + std::to_string(i) + ".log");
  auto sink = make_sink(1000);
  EXPECT_EQ(sink->current_path(), dir_ / "default-12-07.006.log");
  EXPECT_TRUE(exists("default-12-07.006.log"));
}

TEST_F(StartingSequence, SequenceZeroAloneStartsAtOne) {
  touch("default-12-07.000.log");
  EXPECT_EQ(make_sink(1000)->current_path(), dir_ / "default-12-07.001.log");
}

TEST_F(StartingSequence, RestartNeverAppendsToAnExistingFile) {
  {
    auto sink = make_sink(1000);
    write(*sink, "first run\n");
  }
  auto sink = make_sink(1000);
  write(*sink, "second run\n");
  EXPECT_EQ(file("default-12-07.001.log"), "first run\n");
  EXPECT_EQ(file("default-12-07.002.log"), "second run\n");
}

TEST_F(StartingSequence, IgnoresFourDigitSequencesOtherDatesAndOtherPrefixes) {
  touch("default-12-07.1000.log");
  touch("default-12-07.002.log");
  touch("default-12-06.009.log");
  touch("other-12-07.009.log");
  touch("default-12-07.009.LOG");
  touch("default-12-07.009.log.bak");
  EXPECT_EQ(make_sink(1000)->current_path(), dir_ / "default-12-07.003.log");
}

TEST_F(StartingSequence, PrefixWithHyphensIsTakenWhole) {
  touch("my-app-12-07.002.log");
  EXPECT_EQ(make_sink(1000, 0, "my-app")->current_path(), dir_ / "my-app-12-07.003.log");
  EXPECT_EQ(make_sink(1000, 0, "app")->current_path(), dir_ / "app-12-07.001.log");
}

TEST_F(StartingSequence, EmptyPrefixAlwaysStartsAtOneAndAppends) {
  touch("-12-07.001.log", "before\n");
  auto sink = make_sink(1000, 0, "");
  EXPECT_EQ(sink->current_path(), dir_ / "-12-07.001.log");
  write(*sink, "after\n");
  EXPECT_EQ(file("-12-07.001.log"), "before\nafter\n");
}

TEST_F(StartingSequence, SequencesAbove999GetFourDigits) {
  touch("default-12-07.999.log");
  EXPECT_EQ(make_sink(1000)->current_path(), dir_ / "default-12-07.1000.log");
}

class SizeRollover : public SinkTest {};

TEST_F(SizeRollover, RecordThatCrossesTheLimitStaysAndTheNextStartsANewFile) {
  auto sink = make_sink(100);
  for (char c : {'a', 'b', 'c'}) write(*sink, record(60, c));
  EXPECT_EQ(file("default-12-07.001.log"), record(60, 'a') + record(60, 'b'));
  EXPECT_EQ(file("default-12-07.002.log"), record(60, 'c'));
}

TEST_F(SizeRollover, RollsOverWhenFileReachesExactlyMaxBytes) {
  auto exact = make_sink(120);
  for (int i = 0; i < 3; ++i) write(*exact, record(60));
  EXPECT_EQ(file("default-12-07.001.log").size(), 120u);
  EXPECT_EQ(file("default-12-07.002.log").size(), 60u);

  TempDir other;
  SequencedDailyRotatingSink under(other.path().string(), "p", 121, 0, [this] { return now_; });
  under.set_pattern("%v");
  for (int i = 0; i < 3; ++i) write(under, "0123456789");
  EXPECT_EQ(read_text(other / "p-12-07.001.log").size(), 33u) << "120 bytes is under 121";
}

TEST_F(SizeRollover, NonPositiveMaxBytesPutsEveryRecordInItsOwnFile) {
  for (long long max_bytes : {0LL, -5LL}) {
    TempDir other;
    SequencedDailyRotatingSink sink(other.path().string(), "p", max_bytes, 0,
                                    [this] { return now_; });
    sink.set_formatter(
        std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
    for (int i = 1; i <= 3; ++i) write(sink, "r" + std::to_string(i) + "\n");
    EXPECT_EQ(read_text(other / "p-12-07.001.log"), "r1\n");
    EXPECT_EQ(read_text(other / "p-12-07.002.log"), "r2\n");
    EXPECT_EQ(read_text(other / "p-12-07.003.log"), "r3\n");
  }
}

TEST_F(SizeRollover, EveryRecordIsOnDiskAsSoonAsItIsWritten) {
  auto sink = make_sink(1000);
  write(*sink, "one\n");
  EXPECT_EQ(file("default-12-07.001.log"), "one\n");
}

class DayChange : public SinkTest {};

TEST_F(DayChange, FirstRecordAfterMidnightOpensTheNewDaysFirstFile) {
  now_ = at(2026, 12, 7, 23, 59, 59);
  auto sink = make_sink(1000);
  write(*sink, "late\n");
  now_ = at(2026, 12, 8, 0, 0, 1);
  write(*sink, "early\n");
  EXPECT_EQ(file("default-12-07.001.log"), "late\n");
  EXPECT_EQ(file("default-12-08.001.log"), "early\n");
  EXPECT_EQ(sink->current_path(), dir_ / "default-12-08.001.log");
}

TEST_F(DayChange, NewDayContinuesAfterThatDaysExistingFiles) {
  touch("default-12-08.003.log");
  auto sink = make_sink(1000);
  now_ = at(2026, 12, 8, 0, 0, 0);
  write(*sink, "x\n");
  EXPECT_EQ(file("default-12-08.004.log"), "x\n");
}

TEST_F(DayChange, ClockSetBackOverMidnightAlsoChangesTheFile) {
  now_ = at(2026, 12, 8, 0, 0, 5);
  auto sink = make_sink(1000);
  write(*sink, "a\n");
  now_ = at(2026, 12, 7, 23, 59, 0);
  touch("default-12-07.002.log");
  write(*sink, "b\n");
  EXPECT_EQ(file("default-12-07.003.log"), "b\n");
}

TEST_F(DayChange, NewYearStartsTheJanuarySeries) {
  now_ = at(2026, 12, 31, 23, 59, 59);
  auto sink = make_sink(1000);
  write(*sink, "old year\n");
  now_ = at(2027, 1, 1, 0, 0, 0);
  write(*sink, "new year\n");
  EXPECT_EQ(file("default-01-01.001.log"), "new year\n");
}

TEST_F(DayChange, SizeRolloverRestartsCountingOnTheNewDay) {
  auto sink = make_sink(0);
  write(*sink, "1\n");
  write(*sink, "2\n");
  now_ = at(2026, 12, 8, 8, 0, 0);
  write(*sink, "3\n");
  EXPECT_EQ(file("default-12-07.002.log"), "2\n");
  EXPECT_EQ(file("default-12-08.001.log"), "3\n");
}

class Cleanup : public SinkTest {};

TEST_F(Cleanup, DeletesFilesOnOrBeforeTheCutoffAndNothingElse) {
  for (const char* name :
       {"default-11-30.001.log", "default-11-15.004.log", "default-12-01.001.log",
        "default-12-06.002.log", "other-11-01.001.log", "default-13-01.001.log",
        "default-02-30.001.log", "default-00-10.001.log", "default-11-01.1000.log", "notes.txt"}) {
    touch(name);
  }
  auto sink = make_sink(1000, 7);
  EXPECT_TRUE(exists("default-11-30.001.log")) << "the constructor runs no cleanup";
  write(*sink, "x\n");
  EXPECT_EQ(list_names(dir_.path()),
            (std::vector<std::string>{
                "default-00-10.001.log", "default-02-30.001.log", "default-11-01.1000.log",
                "default-12-01.001.log", "default-12-06.002.log", "default-12-07.001.log",
                "default-13-01.001.log", "notes.txt", "other-11-01.001.log"}));
}

TEST_F(Cleanup, DecemberFilesSeenInJanuaryBelongToLastYear) {
  now_ = at(2027, 1, 3);
  for (const char* name : {"default-12-30.001.log", "default-12-27.001.log",
                           "default-12-20.001.log", "default-11-15.001.log"}) {
    touch(name);
  }
  auto sink = make_sink(1000, 7);
  write(*sink, "x\n");
  EXPECT_TRUE(exists("default-12-30.001.log"));
  EXPECT_FALSE(exists("default-12-27.001.log")) << "cutoff day itself is deleted";
  EXPECT_FALSE(exists("default-12-20.001.log"));
  EXPECT_TRUE(exists("default-11-15.001.log")) << "November is this year's and in the future";
}

TEST_F(Cleanup, LeapDayFileIsOnlyJudgedInLeapYears) {
  touch("default-02-29.001.log");
  now_ = at(2027, 12, 1);
  {
    auto sink = make_sink(1000, 7);
    write(*sink, "x\n");
  }
  EXPECT_TRUE(exists("default-02-29.001.log"));
  now_ = at(2028, 3, 10);
  auto sink = make_sink(1000, 7);
  write(*sink, "x\n");
  EXPECT_FALSE(exists("default-02-29.001.log"));
}

TEST_F(Cleanup, ZeroOrNegativeRetentionKeepsEverything) {
  touch("default-01-01.001.log");
  for (long long retention : {0LL, -1LL}) {
    auto sink = make_sink(1000, retention);
    write(*sink, "x\n");
    EXPECT_TRUE(exists("default-01-01.001.log"));
  }
}

TEST_F(Cleanup, ScansAtMostOncePerTenMinutes) {
  auto sink = make_sink(1000, 7);
  write(*sink, "first\n");
  touch("default-11-01.001.log");
  now_ += minutes(9) + seconds(59);
  write(*sink, "second\n");
  EXPECT_TRUE(exists("default-11-01.001.log"));
  now_ += seconds(1);
  write(*sink, "third\n");
  EXPECT_FALSE(exists("default-11-01.001.log"));
}

TEST_F(Cleanup, HugeRetentionDeletesNothing) {
  touch("default-01-01.001.log");
  auto sink = make_sink(1000, 9'000'000'000'000'000'000LL);
  write(*sink, "x\n");
  EXPECT_TRUE(exists("default-01-01.001.log"));
}

class SinkLifecycle : public SinkTest {};

TEST_F(SinkLifecycle, CreatesTheLogDirectoryWithParents) {
  SequencedDailyRotatingSink sink((dir_ / "a/b/c").string(), "default", 1000, 7,
                                  [this] { return now_; });
  EXPECT_TRUE(std::filesystem::exists(dir_ / "a/b/c/default-12-07.001.log"));
}

TEST_F(SinkLifecycle, DirectoryThatCannotBeCreatedIsAnError) {
  touch("plain-file");
  EXPECT_THROW(SequencedDailyRotatingSink((dir_ / "plain-file/sub").string(), "default", 1000, 7,
                                          [this] { return now_; }),
               std::filesystem::filesystem_error);
}

TEST_F(SinkLifecycle, WriteAfterCloseGoesOnInTheSameFile) {
  auto sink = make_sink(1000);
  write(*sink, "before\n");
  sink->close();
  sink->close();
  sink->flush();
  write(*sink, "after\n");
  EXPECT_EQ(file("default-12-07.001.log"), "before\nafter\n");
}

TEST_F(SinkLifecycle, WritesTheFormattedRecordExactly) {
  auto sink = make_sink(1000);
  sink->set_pattern("%n|%v");  // spdlog appends the platform line break
  write(*sink, "测试日志 0");
  EXPECT_EQ(file("default-12-07.001.log"), "test|测试日志 0\n");
}

TEST(SinkConstants, HaveTheirFixedValues) {
  EXPECT_EQ(NAME_PATTERN, "{prefix}-{date}.{seq:03d}.log");
  EXPECT_EQ(DATE_FMT, "%m-%d");
}

}  // namespace
}  // namespace journel
