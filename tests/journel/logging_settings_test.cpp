#include "journel/logging_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>

#include <spdlog/details/log_msg.h>

#include "journel/errors.h"
#include "journel/ini_file.h"
#include "journel/log.h"
#include "journel/log_format.h"
#include "test_support.h"

namespace journel {
namespace {

using test::TempDir;

// Runs each test inside a temporary working directory, restored afterwards.
class LoggingSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    cwd_ = std::filesystem::current_path().string();
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  LoggingSettings read(const std::string& text, const std::string& section = "KestraneLogging") {
    test::write_text(dir_ / "config.ini", text);
    return read_logging_settings("config.ini", section);
  }

  TempDir dir_;
  std::filesystem::path previous_;
  std::string cwd_;
};

TEST_F(LoggingSettingsTest, FileWithoutTheSectionGivesTheDefaults) {
  const auto s = read("[TSDBConnection]\nhost = db\n");
  EXPECT_EQ(s.log_dir, cwd_ + "/log");
  EXPECT_EQ(s.prefix, "default");
  EXPECT_EQ(s.level_name, "INFO");
  EXPECT_EQ(s.level, spdlog::level::info);
  EXPECT_EQ(s.max_bytes, 2097152);
  EXPECT_EQ(s.retention_days, 7);
  EXPECT_TRUE(s.console);
}

TEST_F(LoggingSettingsTest, ReadsEveryKeyOfTheNamedSection) {
  const auto s = read(
      "[Other]\nlog_dir = /var/log/kestrane\nprefix = my-app\nlevel = warning\n"
      "max_bytes_mb = 0.5\nretention_days = 30\nconsole = off\n",
      "Other");
  EXPECT_EQ(s.log_dir, "/var/log/kestrane");
  EXPECT_EQ(s.prefix, "my-app");
  EXPECT_EQ(s.level_name, "WARNING");
  EXPECT_EQ(s.level, spdlog::level::warn);
  EXPECT_EQ(s.max_bytes, 524288);
  EXPECT_EQ(s.retention_days, 30);
  EXPECT_FALSE(s.console);
}

TEST_F(LoggingSettingsTest, MegabyteFractionsAreTruncatedToBytes) {
  EXPECT_EQ(read("[KestraneLogging]\nmax_bytes_mb = 0.001\n").max_bytes, 1048);
  EXPECT_EQ(read("[KestraneLogging]\nmax_bytes_mb = 0\n").max_bytes, 0);
  EXPECT_EQ(read("[KestraneLogging]\nmax_bytes_mb = -0.0000001\n").max_bytes, 0);
  EXPECT_EQ(read("[KestraneLogging]\nmax_bytes_mb = 1e300\n").max_bytes,
            std::numeric_limits<long long>::max());
}

TEST_F(LoggingSettingsTest, UnreadableValuesFailWithTheParsersMessage) {
  EXPECT_THROW(read("[KestraneLogging]\nretention_days = seven\n"), IniError);
  EXPECT_THROW(read("[KestraneLogging]\nconsole = maybe\n"), IniError);
  EXPECT_THROW(read("[KestraneLogging]\nmax_bytes_mb = two\n"), IniError);
  EXPECT_THROW(read("[KestraneLogging]\nprefix = 100%\n"), IniError);
  EXPECT_THROW(read("[KestraneLogging]\nlevel = INFO\nlevel = DEBUG\n"), IniError);
}

TEST_F(LoggingSettingsTest, EmptyLogDirIsTheWorkingDirectory) {
  const auto s = read("[KestraneLogging]\nlog_dir =\n");
  EXPECT_TRUE(std::filesystem::equivalent(s.log_dir, cwd_));
}

TEST(LogPaths, AbsolutePathsAreThoseWithARoot) {
  EXPECT_TRUE(_is_absolute_path("/var/log"));
  EXPECT_FALSE(_is_absolute_path("log"));
  EXPECT_FALSE(_is_absolute_path(""));
  EXPECT_FALSE(_is_absolute_path("D:\\logs"));  // a drive letter means nothing here
  EXPECT_EQ(_resolve_log_dir("/var/log"), "/var/log");
  EXPECT_EQ(_resolve_log_dir("log"), (std::filesystem::current_path() / "log").string());
}

TEST(LogFormat, LevelNamesAndTheirParsing) {
  EXPECT_EQ(level_name(spdlog::level::debug), "DEBUG");
  EXPECT_EQ(level_name(spdlog::level::info), "INFO");
  EXPECT_EQ(level_name(spdlog::level::warn), "WARNING");
  EXPECT_EQ(level_name(spdlog::level::err), "ERROR");
  EXPECT_EQ(parse_level("WARNING"), spdlog::level::warn);
  EXPECT_FALSE(parse_level("WARN").has_value());
  EXPECT_FALSE(parse_level("info").has_value());
}

}  // namespace
}  // namespace journel
