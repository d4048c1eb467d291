#include "config/spool_start.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "log_capture.h"

namespace kestrane_config {
namespace {

using Attempts = std::vector<std::optional<quellin::SpoolSettings>>;

SpoolConfig default_spool() { return SpoolConfig{}; }

SpoolConfig configured_spool(const std::string& dir) {
  SpoolConfig spool;
  spool.dir = dir;
  spool.dir_configured = true;
  return spool;
}

// A build that the spool's lock refuses while it is asked for, as the collector's would.
auto locked_build(Attempts& attempts) {
  return [&attempts](std::optional<quellin::SpoolSettings> spool) {
    attempts.push_back(spool);
    if (spool) {
      throw quellin::SpoolInUseError("spool folder '" + spool->dir.string() +
                                     "' is in use by another process");
    }
    return 7;
  };
}

TEST(SpoolStart, SettingsCarryTheFolderAndTheSizeInBytesOrNothingWhenOff) {
  SpoolConfig spool = configured_spool("/var/spool/k");
  spool.max_mb = 3;
  const auto settings = SpoolStart(spool, false).settings();
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->dir, "/var/spool/k");
  EXPECT_EQ(settings->max_bytes, 3u << 20);
  // The largest size still fits its bytes in 64 bits.
  spool.max_mb = static_cast<std::uint64_t>(kMaxSpoolMb);
  EXPECT_EQ(SpoolStart(spool, false).settings()->max_bytes, 1ULL << 40);
  spool.max_mb = 0;
  EXPECT_EQ(SpoolStart(spool, false).settings(), std::nullopt);
}

TEST(SpoolStart, ALockedDefaultFolderIsWarnedOnceAndLeftOut) {
  kestrane_test::LogCapture log;
  Attempts attempts;
  EXPECT_EQ(
      SpoolStart(default_spool(), false).build_collector(locked_build(attempts), log.logger()), 7);
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_TRUE(attempts[0]);
  EXPECT_FALSE(attempts[1]);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{
                "WARNING spool folder 'spool' is in use by another process: another program holds "
                "its lock; running without the spool: rows that cannot be written are dropped "
                "(set spool_dir in [Kestrane] to a folder of this program's own to keep them)"});
}

TEST(SpoolStart, ALockedFolderTheUserNamedOrThatStartWithoutTsdbNeedsStopsTheStart) {
  for (const auto& [spool, start_without_tsdb] :
       {std::pair{configured_spool("spool"), false}, std::pair{default_spool(), true}}) {
    kestrane_test::LogCapture log;
    Attempts attempts;
    const SpoolStart start(spool, start_without_tsdb);
    try {
      start.build_collector(locked_build(attempts), log.logger());
      ADD_FAILURE() << "a held folder was given up";
    } catch (const quellin::SpoolInUseError& error) {
      EXPECT_STREQ(error.what(), "spool folder 'spool' is in use by another process");
    }
    EXPECT_EQ(attempts.size(), 1u);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
  }
}

TEST(SpoolStart, OtherFailuresOfTheBuildAreNotRetried) {
  kestrane_test::LogCapture log;
  int attempts = 0;
  const auto failing = [&attempts](std::optional<quellin::SpoolSettings>) -> int {
    ++attempts;
    throw std::runtime_error("Invalid OPC schema format");
  };
  EXPECT_THROW(SpoolStart(default_spool(), false).build_collector(failing, log.logger()),
               std::runtime_error);
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(log.lines().empty());
}

TEST(SpoolStart, CollectingWithoutTheTsdbNamesTheSpoolFolder) {
  kestrane_test::LogCapture log;
  SpoolStart(configured_spool("/data/spool"), true).warn_collecting_without_tsdb(log.logger());
  EXPECT_TRUE(log.has("warning",
                      "The TSDB cannot be reached; collecting anyway (start_without_tsdb = true): "
                      "rows wait in the spool (/data/spool) and are written once the database "
                      "answers and the source and tags are registered"))
      << log.dump();
}

}  // namespace
}  // namespace kestrane_config
