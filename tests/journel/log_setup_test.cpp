// The logging setup configures the whole process once, so every case runs the probe program
// (or journel-demo) as a process of its own in a temporary working directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "journel/sequenced_daily_rotating_sink.h"
#include "test_support.h"

namespace journel {
namespace {

using test::ProcessResult;
using test::TempDir;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string date_in_days(int offset) {
  using namespace std::chrono;
  const year_month_day date{floor<days>(SequencedDailyRotatingSink::system_local_now()) +
                            days{offset}};
  return fmt::format("{:02}-{:02}", static_cast<unsigned>(date.month()),
                     static_cast<unsigned>(date.day()));
}

class LoggingSetup : public ::testing::Test {
 protected:
  ProcessResult probe(const std::string& ini_text, std::vector<std::string> extra = {}) {
    test::write_text(dir_ / "config.ini", ini_text);
    std::vector<std::string> argv{JOURNEL_SETUP_PROBE, "config.ini", "KestraneLogging"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return test::run_process(argv, dir_.path());
  }

  // All lines of all log files in `log_dir`, in file order.
  std::vector<std::string> log_lines(const std::filesystem::path& log_dir) const {
    std::vector<std::string> lines;
    for (const auto& name : test::list_names(log_dir)) {
      for (auto& line : test::split_lines(test::read_text(log_dir / name))) {
        lines.push_back(std::move(line));
      }
    }
    return lines;
  }

  static bool has_line_ending(const std::vector<std::string>& lines, const std::string& tail) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.size() >= tail.size() &&
             line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    });
  }

  std::string today_file(const std::string& prefix = "default", int seq = 1) const {
    return fmt::format("{}-{}.{:03}.log", prefix, date_in_days(0), seq);
  }

  TempDir dir_;
};

TEST_F(LoggingSetup, FileWithoutLoggingSectionUsesDefaults) {
  std::filesystem::create_directories(dir_ / "log");
  const std::string expired = "default-" + date_in_days(-8) + ".001.log";
  const std::string kept = "default-" + date_in_days(-6) + ".001.log";
  test::write_text(dir_ / "log" / expired, "old\n");
  test::write_text(dir_ / "log" / kept, "old\n");

  const auto result = probe("[TSDBConnection]\nhost = localhost\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "log" / today_file()));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "log" / expired)) << "seven days of retention";
  EXPECT_TRUE(std::filesystem::exists(dir_ / "log" / kept));

  const auto lines = test::split_lines(test::read_text(dir_ / "log" / today_file()));
  EXPECT_FALSE(has_line_ending(lines, " - probe - DEBUG - record debug"));
  EXPECT_TRUE(has_line_ending(lines, " - probe - INFO - record info"));
  EXPECT_TRUE(has_line_ending(lines, " - probe - WARNING - record warning"));
  EXPECT_TRUE(has_line_ending(lines, " - early - INFO - early logger after setup"))
      << "loggers made before the setup use the configured sinks";
  EXPECT_TRUE(has_line_ending(lines, " - probe - INFO - after shutdown"))
      << "records after shutdown still reach the file";
  // Console on, not a terminal: the same lines without colour.
  EXPECT_TRUE(contains(result.err, " - early - INFO - before setup\n"));
  EXPECT_TRUE(contains(result.err, " - probe - WARNING - record warning\n"));
  EXPECT_FALSE(contains(result.err, "\033["));
}

TEST_F(LoggingSetup, FileLinesHaveTheExactFormat) {
  const auto result = probe("[KestraneLogging]\nlevel = DEBUG\nconsole = false\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const std::regex line_format(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} - (early|probe) - (DEBUG|INFO|WARNING|ERROR) - .*$)");
  const auto lines = log_lines(dir_ / "log");
  ASSERT_FALSE(lines.empty());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "std::runtime_error: boom") {
      EXPECT_TRUE(i > 0 && contains(lines[i - 1], " - probe - ERROR - operation failed"));
      continue;
    }
    EXPECT_TRUE(std::regex_match(lines[i], line_format)) << lines[i];
  }
  EXPECT_TRUE(has_line_ending(lines, " - probe - DEBUG - record debug"));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "std::runtime_error: boom"), lines.end());
}

TEST_F(LoggingSetup, SecondCallChangesNothing) {
  test::write_text(dir_ / "second.ini", "[Other]\nlog_dir = second-logs\nlevel = ERROR\n");
  const auto result = probe("[KestraneLogging]\nconsole = off\n", {"second.ini", "Other"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "same logger"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "second-logs"));
  EXPECT_TRUE(has_line_ending(log_lines(dir_ / "log"), " - probe - INFO - record info"));
}

TEST_F(LoggingSetup, AbsoluteLogDirIsUsedAsIs) {
  TempDir elsewhere;
  const auto result = probe(
      fmt::format("[KestraneLogging]\nlog_dir = {}\nprefix = app\n", (elsewhere / "abs").string()));
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(std::filesystem::exists(elsewhere / "abs" / today_file("app")));
}

TEST_F(LoggingSetup, RelativeLogDirIsUnderTheWorkingDirectoryEvenForAConfigElsewhere) {
  std::filesystem::create_directories(dir_ / "conf");
  test::write_text(dir_ / "conf/config.ini", "[KestraneLogging]\nlog_dir = logs/app\n");
  const auto result =
      test::run_process({JOURNEL_SETUP_PROBE, "conf/config.ini", "KestraneLogging"}, dir_.path());
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "logs/app" / today_file()));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "conf/logs"));
}

TEST_F(LoggingSetup, EmptyLogDirWritesIntoTheWorkingDirectory) {
  const auto result = probe("[KestraneLogging]\nlog_dir =\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / today_file()));
}

TEST_F(LoggingSetup, LevelWarningAppliesToFileAndConsole) {
  const auto result = probe("[KestraneLogging]\nlevel = warning\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const auto lines = log_lines(dir_ / "log");
  EXPECT_FALSE(has_line_ending(lines, " - probe - INFO - record info"));
  EXPECT_TRUE(has_line_ending(lines, " - probe - WARNING - record warning"));
  EXPECT_TRUE(has_line_ending(lines, " - probe - ERROR - record error"));
  EXPECT_FALSE(contains(result.err, "record info"));
  EXPECT_TRUE(contains(result.err, " - probe - WARNING - record warning"));
}

TEST_F(LoggingSetup, ConsoleOffAttachesOnlyTheFileSink) {
  const auto result = probe("[KestraneLogging]\nconsole = OFF\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains(result.err, "before setup")) << "before the setup records go to stderr";
  EXPECT_FALSE(contains(result.err, "record"));
  EXPECT_TRUE(has_line_ending(log_lines(dir_ / "log"), " - probe - ERROR - record error"));
}

TEST_F(LoggingSetup, MissingConfigFailsWithItsPathAndLeavesTheLoggerAsItWas) {
  const auto result =
      test::run_process({JOURNEL_SETUP_PROBE, "config.ini", "KestraneLogging"}, dir_.path());
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.out, "error: journel::FileNotFoundError: 无法读取配置文件：config.ini\n");
  EXPECT_TRUE(contains(result.err, " - probe - ERROR - after failure"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "log"));
}

TEST_F(LoggingSetup, UnreadableValueFailsBeforeTouchingTheLogger) {
  const auto result = probe("[KestraneLogging]\nretention_days = seven\n");
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.out,
            "error: journel::IniError: config.ini, line 2: [KestraneLogging] retention_days: "
            "invalid integer value 'seven'\n");
  EXPECT_TRUE(contains(result.err, " - probe - ERROR - after failure"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "log"));
}

TEST_F(LoggingSetup, UnknownLevelFailsBeforeTouchingTheLogger) {
  const auto result = probe("[KestraneLogging]\nlevel = verbose\n");
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_TRUE(contains(result.out, "error: std::invalid_argument: ")) << result.out;
  EXPECT_TRUE(contains(result.out, "'VERBOSE'")) << result.out;
  EXPECT_TRUE(contains(result.err, " - probe - ERROR - after failure"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "log"));
}

TEST_F(LoggingSetup, LogDirThatCannotBeCreatedFailsAndLeavesNoSinks) {
  test::write_text(dir_ / "occupied", "a file, not a directory\n");
  const auto result = probe("[KestraneLogging]\nlog_dir = occupied/logs\n");
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_TRUE(contains(result.out, (dir_ / "occupied/logs").string())) << result.out;
  EXPECT_FALSE(contains(result.err, "after failure")) << result.err;
}

class JournelDemo : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(JournelDemo, Writes50LinesOverFilesOf1048BytesPlusOneRecord) {
  test::write_text(dir_ / "config.ini", "[KestraneLogging]\nmax_bytes_mb = 0.001\n");
  const auto result = test::run_process({JOURNEL_DEMO}, dir_.path());
  ASSERT_EQ(result.exit_code, 0) << result.err;

  const std::regex name_format(R"(^default-(\d{2})-(\d{2})\.(\d{3})\.log$)");
  const std::regex line_format(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} - journel - INFO - 测试日志 (\d+)$)");
  const auto names = test::list_names(dir_ / "log");
  ASSERT_GE(names.size(), 2u);
  int expected = 0;
  for (std::size_t f = 0; f < names.size(); ++f) {
    std::smatch name_match;
    ASSERT_TRUE(std::regex_match(names[f], name_match, name_format)) << names[f];
    EXPECT_EQ(std::stoi(name_match[3]), static_cast<int>(f) + 1);
    const std::string text = test::read_text(dir_ / "log" / names[f]);
    const auto lines = test::split_lines(text);
    ASSERT_FALSE(lines.empty()) << names[f];
    const std::size_t before_last = text.size() - lines.back().size() - 1;
    EXPECT_LT(before_last, 1048u) << names[f] << " took a record after reaching 1048 bytes";
    if (f + 1 < names.size()) {
      EXPECT_GE(text.size(), 1048u) << names[f];
    }
    for (const auto& line : lines) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, line_format)) << line;
      EXPECT_EQ(std::stoi(match[1]), expected++);
    }
  }
  EXPECT_EQ(expected, 50);
  EXPECT_EQ(test::split_lines(result.err).size(), 50u) << "console shows the same lines";
}

TEST_F(JournelDemo, ShowsColouredLinesOnATerminal) {
  test::write_text(dir_ / "config.ini", "[KestraneLogging]\nlog_dir = logs\n");
  const auto result = test::run_on_terminal({JOURNEL_DEMO}, dir_.path());
  ASSERT_EQ(result.exit_code, 0) << result.out;
  EXPECT_TRUE(std::regex_search(
      result.out,
      std::regex("\033\\[32m\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\033\\[0m - \033\\[36mjournel"
                 "\033\\[0m - \033\\[1mINFO\033\\[0m - 测试日志 49\r?\n")))
      << result.out;
  const auto file = test::read_text(dir_ / "logs" / test::list_names(dir_ / "logs").front());
  EXPECT_FALSE(contains(file, "\033[")) << "the file never gets colour codes";
}

TEST_F(JournelDemo, MissingConfigIsReportedAndExitsWithFailure) {
  const auto result = test::run_process({JOURNEL_DEMO}, dir_.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(contains(result.err, "无法读取配置文件：config.ini")) << result.err;
}

}  // namespace
}  // namespace journel
