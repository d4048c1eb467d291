#include "config/console_config.h"

#include <fmt/format.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "database_readback.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace kestrane_config {
namespace {

using kestrane_test::LogCapture;
using kestrane_test::TempDir;

class ConsoleConfigReader : public ::testing::Test {
 protected:
  // A config.ini whose [Kestrane] section names an existing tag file, plus `extra` text.
  std::filesystem::path write_config(const std::string& tsdb_section,
                                     const std::string& kestrane_extra = "") {
    const auto tags = dir_.write("tags.csv", "FullTagName,Description\nDemo.Tag1,one\n");
    return dir_.write("config.ini", tsdb_section + "\n[Kestrane]\ntag_csv_path = " + tags.string() +
                                        "\nopc_schema = opc.da://localhost/OstrevoV2.1.0\n"
                                        "opc_type = OPC DA\n" +
                                        kestrane_extra);
  }
  bool load(const std::filesystem::path& path) {
    return load_console_config(path, config_, log_.logger());
  }
  bool logged_text(const std::string& text) const {
    return log_.dump().find(text) != std::string::npos;
  }

  TempDir dir_;
  LogCapture log_;
  ConsoleConfig config_;
};

TEST_F(ConsoleConfigReader, EmptyTsdbSectionGivesEveryDefault) {
  ASSERT_TRUE(load(write_config("[TSDBConnection]\n"))) << log_.dump();
  const auto& t = config_.tsdb_cfg;
  EXPECT_EQ(t.host, "localhost");
  EXPECT_EQ(t.port, 5432);
  EXPECT_EQ(t.user, "postgres");
  EXPECT_EQ(t.password, "");
  EXPECT_EQ(t.dbname, "tsdb_default");
  EXPECT_FALSE(t.autocommit);
  EXPECT_EQ(t.driver, "postgresql");
  EXPECT_EQ(config_.opc_schema, "opc.da://localhost/OstrevoV2.1.0");
  EXPECT_EQ(config_.opc_type, "OPC DA");
  EXPECT_DOUBLE_EQ(config_.collection_interval, 1.0);
  EXPECT_EQ(config_.batch_size, 200);
  EXPECT_EQ(config_.spool.dir, "spool");
  EXPECT_EQ(config_.spool.max_mb, 1024u);
}

TEST_F(ConsoleConfigReader, SpoolFolderIsCreatedOnlyWhileTheSpoolIsOn) {
  const auto spool = dir_.path() / "var" / "spool";
  ASSERT_TRUE(load(
      write_config("[TSDBConnection]\n", "spool_dir = " + spool.string() + "\nspool_max_mb = 5\n")))
      << log_.dump();
  EXPECT_EQ(config_.spool.max_mb, 5u);
  EXPECT_TRUE(std::filesystem::is_directory(spool));
  EXPECT_TRUE(std::filesystem::is_empty(spool));  // the write probe is gone again

  const auto off = dir_.path() / "off";
  ASSERT_TRUE(load(
      write_config("[TSDBConnection]\n", "spool_dir = " + off.string() + "\nspool_max_mb = 0\n")))
      << log_.dump();
  EXPECT_EQ(config_.spool.max_mb, 0u);
  EXPECT_FALSE(std::filesystem::exists(off));
}

// Runs the test from another working directory, and returns to the old one at its end.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& dir)
      : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDirectory() { std::filesystem::current_path(old_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path old_;
};

TEST_F(ConsoleConfigReader, DefaultSpoolFolderThatCannotBeMadeTurnsTheSpoolOffWithOneWarning) {
  // A file where the default folder would go stands in for a read-only working directory (a
  // test run as root ignores permissions).
  const auto cwd = dir_.path() / "cwd";
  std::filesystem::create_directories(cwd);
  dir_.write("cwd/spool", "not a folder");
  const auto ini = write_config("[TSDBConnection]\n");
  WorkingDirectory in(cwd);
  ASSERT_TRUE(load(ini)) << log_.dump();
  EXPECT_EQ(config_.spool.max_mb, 0u);
  const std::vector<std::string> lines = log_.lines();
  ASSERT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with("WARNING spool folder 'spool' cannot be ");
                          }),
            1)
      << log_.dump();
  EXPECT_TRUE(logged_text("running without the spool: rows that cannot be written are dropped"));
  EXPECT_FALSE(log_.has_prefix("error", "Error loading config: "));

  // Starting without the database needs the spool: the error names the folder, not a size.
  log_.clear();
  EXPECT_FALSE(load(write_config("[TSDBConnection]\n", "start_without_tsdb = true\n")));
  EXPECT_TRUE(logged_text("needs the spool, and its default folder 'spool' cannot be used"))
      << log_.dump();
  EXPECT_FALSE(logged_text("spool_max_mb = 0 turns it off")) << log_.dump();
}

TEST_F(ConsoleConfigReader, ConfiguredSpoolFolderThatCannotBeMadeFailsTheLoad) {
  dir_.write("file", "x");
  const auto bad = dir_.path() / "file" / "spool";
  EXPECT_FALSE(load(write_config("[TSDBConnection]\n", "spool_dir = " + bad.string() + "\n")));
  EXPECT_TRUE(log_.has_prefix(
      "error", "Error loading config: spool folder '" + bad.string() + "' cannot be created: "))
      << log_.dump();
  // Also when it names the default folder: the user asked for that folder.
  log_.clear();
  dir_.write("cwd2/spool", "not a folder");
  WorkingDirectory in(dir_.path() / "cwd2");
  EXPECT_FALSE(load(write_config("[TSDBConnection]\n", "spool_dir = spool\n")));
  EXPECT_TRUE(
      log_.has_prefix("error", "Error loading config: spool folder 'spool' cannot be created: "))
      << log_.dump();
}

TEST_F(ConsoleConfigReader, ReadsEveryGivenValueWithCaseInsensitiveKeys) {
  ASSERT_TRUE(load(write_config(
      "[TSDBConnection]\nHOST = db.example\nport: 6543\nuser = collector\npassword = s3cret\n"
      "dbname = plant\nautocommit = Yes\ndriver = sqlite\ndata_dir = /var/lib/k\n",
      "collection_interval = 0.25\nbatch_size = 50\n")))
      << log_.dump();
  const auto& t = config_.tsdb_cfg;
  EXPECT_EQ(t.host, "db.example");
  EXPECT_EQ(t.port, 6543);
  EXPECT_EQ(t.user, "collector");
  EXPECT_EQ(t.password, "s3cret");
  EXPECT_EQ(t.dbname, "plant");
  EXPECT_TRUE(t.autocommit);
  EXPECT_EQ(t.driver, "sqlite");
  EXPECT_EQ(t.data_dir, "/var/lib/k");
  EXPECT_DOUBLE_EQ(config_.collection_interval, 0.25);
  EXPECT_EQ(config_.batch_size, 50);
}

TEST_F(ConsoleConfigReader, MissingFileIsReportedWithItsPath) {
  const auto path = dir_.path() / "config.ini";
  EXPECT_FALSE(load(path));
  EXPECT_TRUE(log_.has("error", "Configuration file not found: " + path.string())) << log_.dump();
}

TEST_F(ConsoleConfigReader, DirectoryNamedConfigIniIsNotAFile) {
  std::filesystem::create_directories(dir_.path() / "config.ini");
  EXPECT_FALSE(load(dir_.path() / "config.ini"));
  EXPECT_TRUE(log_.has_prefix("error", "Configuration file not found: ")) << log_.dump();
}

TEST_F(ConsoleConfigReader, MissingTsdbSectionFails) {
  EXPECT_FALSE(load(dir_.write("config.ini", "[Kestrane]\nopc_type = OPC DA\n")));
  EXPECT_TRUE(log_.has("error", "Missing [TSDBConnection] section in config file")) << log_.dump();
}

TEST_F(ConsoleConfigReader, MissingKestraneSectionFailsOnTheEmptyTagPath) {
  EXPECT_FALSE(load(dir_.write("config.ini", "[TSDBConnection]\nhost = h\n")));
  EXPECT_TRUE(log_.has("error", "Invalid 'tag_csv_path': ")) << log_.dump();
  EXPECT_EQ(config_.tsdb_cfg.host, "h");  // values read before the failure stay set
}

TEST_F(ConsoleConfigReader, TagPathNamingNoFileFails) {
  EXPECT_FALSE(load(
      dir_.write("config.ini", "[TSDBConnection]\n[Kestrane]\ntag_csv_path = /no/such.csv\n")));
  EXPECT_TRUE(log_.has("error", "Invalid 'tag_csv_path': /no/such.csv")) << log_.dump();
}

TEST_F(ConsoleConfigReader, RelativeTagPathIsTakenFromTheWorkingDirectory) {
  dir_.write("tags.csv", "FullTagName,Description\n");
  const auto config = dir_.write("config.ini",
                                 "[TSDBConnection]\n[Kestrane]\ntag_csv_path = "
                                 "tags.csv\nopc_schema = opc.tcp://h:1\nopc_type = t\n");
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  const bool elsewhere = load(config);
  std::filesystem::current_path(dir_.path());
  const bool here = load(config);
  std::filesystem::current_path(old_cwd);
  EXPECT_FALSE(elsewhere);
  EXPECT_TRUE(here) << log_.dump();
}

TEST_F(ConsoleConfigReader, EmptySchemaOrTypeFails) {
  const auto tags = dir_.write("tags.csv", "FullTagName,Description\n");
  EXPECT_FALSE(load(dir_.write(
      "config.ini", "[TSDBConnection]\n[Kestrane]\ntag_csv_path = " + tags.string() + "\n")));
  EXPECT_TRUE(log_.has("error", "Missing 'opc_schema' in [Kestrane] section")) << log_.dump();
  EXPECT_FALSE(load(
      dir_.write("config.ini", "[TSDBConnection]\n[Kestrane]\ntag_csv_path = " + tags.string() +
                                   "\nopc_schema = opc.tcp://h:1\n")));
  EXPECT_TRUE(log_.has("error", "Missing 'opc_type' in [Kestrane] section")) << log_.dump();
}

TEST_F(ConsoleConfigReader, AnyNonEmptyTypeTextPasses) {
  const auto tags = dir_.write("tags.csv", "FullTagName,Description\n");
  ASSERT_TRUE(load(
      dir_.write("config.ini", "[TSDBConnection]\n[Kestrane]\ntag_csv_path = " + tags.string() +
                                   "\nopc_schema = opc.tcp://h:4840\nopc_type = UA\n")))
      << log_.dump();
  EXPECT_EQ(config_.opc_type, "UA");
}

TEST_F(ConsoleConfigReader, StartWithoutTsdbIsOffUnlessSetAndNeedsTheSpool) {
  const std::string spool = "spool_dir = " + (dir_.path() / "spool").string() + "\n";
  ASSERT_TRUE(load(write_config("[TSDBConnection]\n", spool))) << log_.dump();
  EXPECT_FALSE(config_.start_without_tsdb);
  ASSERT_TRUE(load(write_config("[TSDBConnection]\n", spool + "Start_Without_TSDB = yes\n")))
      << log_.dump();
  EXPECT_TRUE(config_.start_without_tsdb);

  EXPECT_FALSE(load(write_config("[TSDBConnection]\n", spool + "start_without_tsdb = maybe\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
  EXPECT_TRUE(logged_text("[Kestrane] start_without_tsdb: invalid boolean value 'maybe'"))
      << log_.dump();

  log_.clear();
  EXPECT_FALSE(load(
      write_config("[TSDBConnection]\n", spool + "start_without_tsdb = true\nspool_max_mb = 0\n")));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] start_without_tsdb = true needs the "
                       "spool, and spool_max_mb = 0 turns it off: nothing could hold the rows "
                       "until the database answers"))
      << log_.dump();
}

class ConsoleConfigBadValues : public ConsoleConfigReader {};

TEST_F(ConsoleConfigBadValues, PortWithLettersFailsInsteadOfFallingBack) {
  EXPECT_FALSE(load(write_config("[TSDBConnection]\nport = 54x32\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
}

TEST_F(ConsoleConfigBadValues, PortOutsideTheValidRangeFails) {
  for (const char* port : {"0", "65536", "-1", "99999999999"}) {
    log_.clear();
    EXPECT_FALSE(load(write_config(std::string("[TSDBConnection]\nport = ") + port + "\n")))
        << port;
    EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
  }
}

TEST_F(ConsoleConfigBadValues, SinglePercentInPasswordFailsAndDoubledPercentReadsAsOne) {
  EXPECT_FALSE(load(write_config("[TSDBConnection]\npassword = ab%cd\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
  log_.clear();
  ASSERT_TRUE(load(write_config("[TSDBConnection]\npassword = ab%%cd\n"))) << log_.dump();
  EXPECT_EQ(config_.tsdb_cfg.password, "ab%cd");
}

TEST_F(ConsoleConfigBadValues, InterpolationFromTheSameSectionWorks) {
  ASSERT_TRUE(load(write_config("[TSDBConnection]\nuser = plant\ndbname = %(user)s_tsdb\n")))
      << log_.dump();
  EXPECT_EQ(config_.tsdb_cfg.dbname, "plant_tsdb");
}

TEST_F(ConsoleConfigBadValues, UnknownBooleanWordFails) {
  EXPECT_FALSE(load(write_config("[TSDBConnection]\nautocommit = maybe\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
}

TEST_F(ConsoleConfigBadValues, UnknownDriverFails) {
  EXPECT_FALSE(load(write_config("[TSDBConnection]\ndriver = oracle\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
}

TEST_F(ConsoleConfigBadValues, BatchRetentionOutsideADayToACenturyFailsNamingTheKey) {
  for (const char* days : {"0", "-5", "36501", "week", "1.5"}) {
    log_.clear();
    EXPECT_FALSE(
        load(write_config(std::string("[TSDBConnection]\nbatch_retention_days = ") + days + "\n")))
        << days;
    EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << days << log_.dump();
    EXPECT_NE(log_.dump().find("batch_retention_days"), std::string::npos) << log_.dump();
  }
  log_.clear();
  ASSERT_TRUE(load(write_config("[TSDBConnection]\nbatch_retention_days = 1\n"))) << log_.dump();
  EXPECT_EQ(config_.tsdb_cfg.batch_retention_days, 1);
}

TEST_F(ConsoleConfigBadValues, NonPositiveIntervalOrBatchFails) {
  for (const char* extra :
       {"collection_interval = 0\n", "collection_interval = -1\n", "collection_interval = nan\n",
        "collection_interval = fast\n", "batch_size = 0\n", "batch_size = 2.5\n"}) {
    log_.clear();
    EXPECT_FALSE(load(write_config("[TSDBConnection]\n", extra))) << extra;
    EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << extra << log_.dump();
  }
}

TEST_F(ConsoleConfigBadValues, NumbersOutsideTheirRangeNameKeyValueAndRange) {
  struct Case {
    std::string tsdb;
    std::string extra;
    std::string error;  // after "Error loading config: "
  };
  const std::vector<Case> cases = {
      {"", "collection_interval = 1e308\n",
       "[Kestrane] collection_interval = 1e308: the interval must lie between 0 (excluded) and "
       "2305843009 seconds"},
      {"", "collection_interval = 0\n",
       "[Kestrane] collection_interval = 0: the interval must lie between 0 (excluded) and "
       "2305843009 seconds"},
      {"", "collection_interval = -0.001\n",
       "[Kestrane] collection_interval = -0.001: the interval must lie between 0 (excluded) and "
       "2305843009 seconds"},
      {"", "collection_interval = 2305843009.5\n",
       "[Kestrane] collection_interval = 2305843009.5: the interval must lie between 0 "
       "(excluded) and 2305843009 seconds"},
      {"", "batch_size = 0\n",
       "[Kestrane] batch_size = 0: the batch size must lie between 1 and 2147483647 tags"},
      {"", "batch_size = 2147483648\n",
       "[Kestrane] batch_size = 2147483648: the batch size must lie between 1 and 2147483647 "
       "tags"},
      {"", "spool_max_mb = 1048577\n",
       "[Kestrane] spool_max_mb = 1048577: the spool size (0: off) must lie between 0 and "
       "1048576 MiB"},
      {"port = 65536\n", "", "[TSDBConnection] port = 65536: a port must lie between 1 and 65535"},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(load(write_config("[TSDBConnection]\n" + c.tsdb, c.extra))) << c.extra;
    EXPECT_TRUE(log_.has("error", "Error loading config: " + c.error)) << c.extra << log_.dump();
  }
}

TEST_F(ConsoleConfigBadValues, TextThatIsNoNumberAlsoNamesTheRange) {
  for (const char* extra :
       {"collection_interval = nan\n", "collection_interval = inf\n",
        "collection_interval = -inf\n", "spool_max_mb = 99999999999999999999\n"}) {
    log_.clear();
    EXPECT_FALSE(load(write_config("[TSDBConnection]\n", extra))) << extra;
    const std::string key = std::string(extra).substr(0, std::string(extra).find(' '));
    EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
    EXPECT_NE(log_.dump().find("[Kestrane] " + key + ": invalid "), std::string::npos)
        << log_.dump();
    EXPECT_NE(log_.dump().find("; the "), std::string::npos) << log_.dump();
    EXPECT_NE(log_.dump().find(" must lie between "), std::string::npos) << log_.dump();
  }
}

// Any positive interval the collector's waits can hold is taken: tiny ones spin, huge ones stay
// within the steady clock's range.
TEST_F(ConsoleConfigBadValues, IntervalsFromAMicrosecondToTheClocksLimitLoad) {
  for (const double interval : {1e-6, 0.001, 0.005, 86400.5, 2305843009.0}) {
    log_.clear();
    ASSERT_TRUE(load(
        write_config("[TSDBConnection]\n", fmt::format("collection_interval = {}\n", interval))))
        << interval << log_.dump();
    EXPECT_DOUBLE_EQ(config_.collection_interval, interval);
  }
  // The longest interval, added twice to a steady clock that has run as long again, still fits.
  using std::chrono::steady_clock;
  const auto longest = std::chrono::ceil<steady_clock::duration>(
      std::chrono::duration<double>(kestrane_config::kMaxCollectionInterval));
  EXPECT_LE(longest.count(), steady_clock::duration::max().count() / 4);
}

TEST_F(ConsoleConfigBadValues, EveryValueAnEarlierFileCouldHoldStillLoads) {
  const auto spool = dir_.path() / "spool";
  for (const char* interval : {"0.01", "0.25", "1.0", "1", "60", "3600", "86400"}) {
    log_.clear();
    ASSERT_TRUE(load(write_config("[TSDBConnection]\nport = 1\n",
                                  std::string("collection_interval = ") + interval +
                                      "\nbatch_size = 1\nspool_dir = " + spool.string() +
                                      "\nspool_max_mb = 1048576\n")))
        << interval << log_.dump();
  }
  EXPECT_DOUBLE_EQ(config_.collection_interval, 86400.0);
  EXPECT_EQ(config_.spool.max_mb, 1048576u);
}

TEST_F(ConsoleConfigBadValues, SpoolSizeThatIsNoCountOrNegativeFails) {
  for (const char* extra :
       {"spool_max_mb = lots\n", "spool_max_mb = -1\n", "spool_max_mb = 1.5\n"}) {
    log_.clear();
    EXPECT_FALSE(load(write_config("[TSDBConnection]\n", extra))) << extra;
    EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << extra << log_.dump();
    EXPECT_NE(log_.dump().find("spool_max_mb"), std::string::npos) << log_.dump();
  }
}

TEST_F(ConsoleConfigBadValues, SpoolFolderThatCannotBeMadeFailsNamingIt) {
  const auto file = dir_.write("plain-file", "x");
  const std::string folder = (file / "spool").string();
  EXPECT_FALSE(load(write_config("[TSDBConnection]\n", "spool_dir = " + folder + "\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: spool folder '" + folder + "'"))
      << log_.dump();
}

TEST_F(ConsoleConfigBadValues, DuplicateSectionOrKeyFailsTheWholeFile) {
  EXPECT_FALSE(load(write_config("[TSDBConnection]\n[TSDBConnection]\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
  log_.clear();
  EXPECT_FALSE(load(write_config("[TSDBConnection]\nhost = a\nHost = b\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
}

TEST_F(ConsoleConfigBadValues, TextThatIsNotUtf8Fails) {
  EXPECT_FALSE(load(write_config("[TSDBConnection]\nuser = \xC9\xCF\xBA\xA3\n")));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
}

TEST_F(ConsoleConfigBadValues, SchemaWithAnUnknownPrefixFails) {
  const auto tags = dir_.write("tags.csv", "FullTagName,Description\n");
  EXPECT_FALSE(load(
      dir_.write("config.ini", "[TSDBConnection]\n[Kestrane]\ntag_csv_path = " + tags.string() +
                                   "\nopc_schema = localhost:4840\nopc_type = OPC UA\n")));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_schema = localhost:4840: must start "
                       "with 'opc.da://' or 'opc.tcp://'"))
      << log_.dump();
}

class ConsoleConfigUaSecurity : public ConsoleConfigReader {
 protected:
  // Loads with the working directory set to the test's folder, as the console runs from its
  // base directory.
  bool load_here(const std::string& kestrane_extra) {
    const auto config = write_config("[TSDBConnection]\n", kestrane_extra);
    const auto old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const bool ok = load(config);
    std::filesystem::current_path(old_cwd);
    return ok;
  }
  bool logged(const std::string& text) const { return log_.dump().find(text) != std::string::npos; }
};

TEST_F(ConsoleConfigUaSecurity, AbsentKeysMeanAnonymousWithoutSecurity) {
  ASSERT_TRUE(load_here("")) << log_.dump();
  const pyqar::UaSecurity& s = config_.opc_security;
  EXPECT_EQ(s.policy, pyqar::UaSecurityPolicy::None);
  EXPECT_EQ(s.mode, pyqar::UaSecurityMode::None);
  EXPECT_EQ(s.username, "");
  EXPECT_EQ(s.password, "");
  EXPECT_EQ(s.pki_dir, (dir_.path() / "pki").string());
  // Nothing is made before the library needs it, and nothing is said about it.
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "pki"));
  EXPECT_TRUE(log_.records().empty()) << log_.dump();
}

TEST_F(ConsoleConfigUaSecurity, ReadsEveryKey) {
  const auto pki = dir_.path() / "etc" / "pki";
  ASSERT_TRUE(
      load_here("opc_security_policy = Aes128_Sha256_RsaOaep\n"
                "opc_security_mode = Sign\nopc_username = operator\n"
                "opc_password = pa%%ss word\nopc_pki_dir = " +
                pki.string() + "\n"))
      << log_.dump();
  const pyqar::UaSecurity& s = config_.opc_security;
  EXPECT_EQ(s.policy, pyqar::UaSecurityPolicy::Aes128_Sha256_RsaOaep);
  EXPECT_EQ(s.mode, pyqar::UaSecurityMode::Sign);
  EXPECT_EQ(s.username, "operator");
  EXPECT_EQ(s.password, "pa%ss word");
  EXPECT_EQ(s.pki_dir, pki.string());
}

TEST_F(ConsoleConfigUaSecurity, RelativePkiFolderIsTakenFromTheWorkingDirectoryAtLoad) {
  ASSERT_TRUE(load_here("opc_pki_dir = certs/opc\n")) << log_.dump();
  EXPECT_EQ(config_.opc_security.pki_dir, (dir_.path() / "certs/opc").string());
  // The same file read from elsewhere gives a folder there.
  const auto config = dir_.path() / "config.ini";
  const auto elsewhere = dir_.path() / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere);
  const bool ok = load(config);
  std::filesystem::current_path(old_cwd);
  ASSERT_TRUE(ok) << log_.dump();
  EXPECT_EQ(config_.opc_security.pki_dir, (elsewhere / "certs/opc").string());
}

TEST_F(ConsoleConfigUaSecurity, EachBadValueNamesItsKeyAndValue) {
  struct Case {
    std::string extra;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"opc_security_policy = Basic128Rsa15\n",
       "[Kestrane] opc_security_policy = Basic128Rsa15: the policy must be one of None, "
       "Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss"},
      // The names are exact, as the library spells them.
      {"opc_security_policy = basic256sha256\nopc_security_mode = Sign\n",
       "[Kestrane] opc_security_policy = basic256sha256: the policy must be one of None, "
       "Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss"},
      {"opc_security_mode = Encrypt\n",
       "[Kestrane] opc_security_mode = Encrypt: the mode must be one of None, Sign, "
       "SignAndEncrypt"},
      {"opc_security_policy = Basic256Sha256\n",
       "[Kestrane] opc_security_policy = Basic256Sha256, opc_security_mode = None: security "
       "policy Basic256Sha256 needs security mode Sign or SignAndEncrypt, not None"},
      {"opc_security_mode = SignAndEncrypt\n",
       "[Kestrane] opc_security_policy = None, opc_security_mode = SignAndEncrypt: security mode "
       "SignAndEncrypt needs a security policy other than None"},
      {"opc_password = hunter2\n",
       "[Kestrane] opc_username = : a user name is needed when opc_password is set"},
      {"opc_pki_dir =\n", "[Kestrane] opc_pki_dir = : a folder for the certificates is needed"},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(load_here(c.extra)) << c.extra;
    EXPECT_TRUE(log_.has("error", "Error loading config: " + c.error)) << c.extra << log_.dump();
  }
}

TEST_F(ConsoleConfigUaSecurity, HostnameCheckIsOnUnlessTurnedOffAndABadValueNamesTheKey) {
  ASSERT_TRUE(load_here("")) << log_.dump();
  EXPECT_FALSE(config_.opc_security.skip_hostname_check);
  ASSERT_TRUE(load_here("opc_skip_hostname_check = true\n")) << log_.dump();
  EXPECT_TRUE(config_.opc_security.skip_hostname_check);
  ASSERT_TRUE(load_here("opc_skip_hostname_check = no\n")) << log_.dump();
  EXPECT_FALSE(config_.opc_security.skip_hostname_check);

  log_.clear();
  EXPECT_FALSE(load_here("opc_skip_hostname_check = sometimes\n"));
  EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
  EXPECT_TRUE(logged("[Kestrane] opc_skip_hostname_check")) << log_.dump();
  EXPECT_TRUE(logged("'sometimes'")) << log_.dump();
}

TEST_F(ConsoleConfigUaSecurity, PasswordsNeverReachTheLog) {
  // The dialect's own error would quote the rest of the value after the bad '%'.
  EXPECT_FALSE(load_here("opc_username = u\nopc_password = Hunter%Secret\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_password = (hidden): cannot be read; "
                       "write each '%' in it as '%%'"))
      << log_.dump();
  EXPECT_FALSE(logged("Secret")) << log_.dump();

  log_.clear();
  EXPECT_FALSE(load(write_config("[TSDBConnection]\npassword = Db%(Secret\n")));
  EXPECT_TRUE(
      log_.has_prefix("error", "Error loading config: [TSDBConnection] password = (hidden)"))
      << log_.dump();
  EXPECT_FALSE(logged("Secret")) << log_.dump();

  log_.clear();
  EXPECT_FALSE(load_here("opc_password = HunterSecret\nopc_security_mode = Sign\n"));
  EXPECT_FALSE(logged("Secret")) << log_.dump();

  // A good file with a password logs nothing of it either.
  log_.clear();
  ASSERT_TRUE(load_here("opc_username = u\nopc_password = HunterSecret\n")) << log_.dump();
  EXPECT_FALSE(logged("Secret")) << log_.dump();
}

TEST_F(ConsoleConfigUaSecurity, AMalformedPasswordLineIsNamedNotShown) {
  const auto config =
      write_config("[TSDBConnection]\n", "opc_username = u\nopc_password hunter2\n");
  EXPECT_FALSE(load(config));
  EXPECT_TRUE(log_.has("error", "Error loading config: " + config.string() +
                                    ", line 8: a line for opc_password without '=' or ':' (its "
                                    "text is not shown)"))
      << log_.dump();
  EXPECT_FALSE(logged("hunter2")) << log_.dump();
}

TEST_F(ConsoleConfigUaSecurity, AValueDrawnFromAPasswordIsHiddenWhereverItIsQuoted) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[TSDBConnection]\npassword = HunterSecret\nport = %(password)s\n", ""},
      {"[TSDBConnection]\npassword = HunterSecret\ndriver = %(password)s\n", ""},
      {"[TSDBConnection]\n",
       "opc_username = u\nopc_password = HunterSecret\n"
       "opc_security_mode = %(opc_password)s\n"},
      {"[TSDBConnection]\n",
       "opc_username = u\nopc_password = HunterSecret\n"
       "collection_interval = %(opc_password)s\n"},
  };
  for (const auto& [tsdb, extra] : cases) {
    log_.clear();
    EXPECT_FALSE(load(write_config(tsdb, extra))) << tsdb << extra;
    EXPECT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
    EXPECT_TRUE(logged("(hidden)")) << log_.dump();
    EXPECT_FALSE(logged("Secret")) << log_.dump();
  }
}

TEST_F(ConsoleConfigUaSecurity, ARunawayLineGivesAShortError) {
  const std::string megabyte(1 << 20, 'x');
  for (const std::string& extra :
       {megabyte + "\n", "opc_schema2 = " + megabyte + "\nbatch_size = %(opc_schema2)s\n",
        "opc_security_policy = " + megabyte + "\n",
        "[KestraneMetrics]\nlisten = " + megabyte + "\n"}) {
    log_.clear();
    EXPECT_FALSE(load(write_config("[TSDBConnection]\n", extra)));
    ASSERT_EQ(log_.records().size(), 1u) << extra.substr(0, 40);
    EXPECT_LT(log_.dump().size(), 1000u) << log_.dump().substr(0, 1000);
    EXPECT_TRUE(logged("(1048576 bytes in all)")) << log_.dump().substr(0, 1000);
  }
}

TEST_F(ConsoleConfigUaSecurity, PasswordInAFileOthersMayReadIsWarnedAbout) {
  const auto config = write_config("[TSDBConnection]\n", "opc_username = u\nopc_password = p\n");
  std::filesystem::permissions(config, std::filesystem::perms(0644));
  ASSERT_TRUE(load(config)) << log_.dump();
  EXPECT_TRUE(log_.has("warning", config.string() +
                                      " holds opc_password and other users may read it; "
                                      "restrict it with: chmod 600 " +
                                      config.string()))
      << log_.dump();

  log_.clear();
  std::filesystem::permissions(config, std::filesystem::perms(0600));
  ASSERT_TRUE(load(config)) << log_.dump();
  EXPECT_TRUE(log_.records().empty()) << log_.dump();

  // Without a password the file's mode is nobody's business.
  log_.clear();
  const auto open = write_config("[TSDBConnection]\n", "opc_username = u\n");
  std::filesystem::permissions(open, std::filesystem::perms(0644));
  ASSERT_TRUE(load(open)) << log_.dump();
  EXPECT_TRUE(log_.records().empty()) << log_.dump();
}

TEST_F(ConsoleConfigUaSecurity, ADatabasePasswordInAFileOthersMayReadIsWarnedAboutToo) {
  const auto config = write_config("[TSDBConnection]\npassword = p\n");
  std::filesystem::permissions(config, std::filesystem::perms(0640));
  ASSERT_TRUE(load(config)) << log_.dump();
  EXPECT_TRUE(log_.has("warning", config.string() +
                                      " holds [TSDBConnection] password and other users may "
                                      "read it; restrict it with: chmod 600 " +
                                      config.string()))
      << log_.dump();

  log_.clear();
  const auto both =
      write_config("[TSDBConnection]\npassword = p\n", "opc_username = u\nopc_password = q\n");
  std::filesystem::permissions(both, std::filesystem::perms(0604));
  ASSERT_TRUE(load(both)) << log_.dump();
  EXPECT_TRUE(log_.has("warning", both.string() +
                                      " holds [TSDBConnection] password and opc_password and "
                                      "other users may read it; restrict it with: chmod 600 " +
                                      both.string()))
      << log_.dump();
  EXPECT_EQ(log_.records().size(), 1u) << log_.dump();
}

// The packaged service reads root:kestrane 0640 through its group; chmod 600 would lock it out.
TEST_F(ConsoleConfigUaSecurity, APasswordReadOnlyThroughTheProcesssGroupIsNotWarnedAbout) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
  const auto config = write_config("[TSDBConnection]\npassword = p\n");
  ASSERT_EQ(::chown(config.c_str(), 65534, ::getegid()), 0);
  std::filesystem::permissions(config, std::filesystem::perms(0640));
  ASSERT_TRUE(load(config)) << log_.dump();
  EXPECT_TRUE(log_.records().empty()) << log_.dump();

  // Others may read it, or its group is not ours: warned about as before.
  for (const auto& [mode, gid] : {std::pair{0644, ::getegid()}, std::pair{0640, ::getegid() + 1}}) {
    log_.clear();
    ASSERT_EQ(::chown(config.c_str(), 65534, gid), 0);
    std::filesystem::permissions(config, std::filesystem::perms(mode));
    ASSERT_TRUE(load(config)) << log_.dump();
    EXPECT_TRUE(log_.has("warning", config.string() +
                                        " holds [TSDBConnection] password and other users may "
                                        "read it; restrict it with: chmod 600 " +
                                        config.string()))
        << mode << " " << log_.dump();
  }
}

TEST(TsdbSettingsReader, MissingSectionGivesTheDefaults) {
  const auto settings = read_tsdb_settings(journel::IniFile::parse("[Kestrane]\nopc_port = 1\n"));
  EXPECT_EQ(settings.host, "localhost");
  EXPECT_EQ(settings.port, 5432);
  EXPECT_EQ(settings.dbname, "tsdb_default");
  EXPECT_EQ(settings.batch_retention_days, 30);
}

}  // namespace
}  // namespace kestrane_config
