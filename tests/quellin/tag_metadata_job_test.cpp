// The metadata job against a scripted OPC source and a real database (both drivers): when it
// reads, what it stores, what it logs, and how it ends.

#include "quellin/tag_metadata_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "log_capture.h"
#include "pyqar/rt_source.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace quellin {
namespace {

using tidewell::testing::Row;
using tidewell::testing::TestDatabase;

constexpr std::uint32_t kBadNodeIdUnknown = 0x80340000;

// What the scripted server says; shared by every source the job opens. Any thread.
struct ScriptedServer {
  std::mutex mutex;
  std::condition_variable changed;
  std::string start_time = "2026-01-01T00:00:00Z";
  std::string unit = "°C";
  double eu_high = 100.5;
  std::vector<std::string> unreadable;  // tag names (as the source sees them) with no metadata
  int sources_opened = 0;
  int metadata_reads = 0;
  int tags_described = 0;
  std::chrono::milliseconds read_delay{0};

  void wait_for(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), done));
  }
};

class ScriptedMetadataSource : public pyqar::RtSource {
 public:
  explicit ScriptedMetadataSource(std::shared_ptr<ScriptedServer> server)
      : server_(std::move(server)) {}
  bool valid() const override { return true; }
  std::vector<pyqar::ValueObject> read(const std::vector<pyqar::TagDescriptor>& batch) override {
    std::lock_guard lock(server_->mutex);
    std::vector<pyqar::ValueObject> out(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      out[i].value = 1.5;
      out[i].quality = pyqar::QAR_QUALITY::QAR_HIGH_GOOD;
      out[i].status = 0;
      out[i].timestamp = std::chrono::system_clock::now();
      if (batch[i].namespace_index == 0 && batch[i].tag_name == "i=2257") {
        out[i].value = server_->start_time;
        out[i].status = 0;
      }
    }
    return out;
  }
  bool can_read_metadata() const override { return true; }
  std::vector<pyqar::VariableMetadata> read_metadata(
      const std::vector<pyqar::TagDescriptor>& tags) override {
    std::chrono::milliseconds delay;
    {
      std::lock_guard lock(server_->mutex);
      ++server_->metadata_reads;
      delay = server_->read_delay;
    }
    server_->changed.notify_all();
    std::this_thread::sleep_for(delay);
    std::lock_guard lock(server_->mutex);
    std::vector<pyqar::VariableMetadata> out;
    for (const pyqar::TagDescriptor& tag : tags) {
      const std::string name = std::to_string(tag.namespace_index) + ":" + tag.tag_name;
      pyqar::VariableMetadata m;
      if (std::find(server_->unreadable.begin(), server_->unreadable.end(), name) !=
          server_->unreadable.end()) {
        m.status = kBadNodeIdUnknown;
      } else {
        m.data_type = "Double";
        m.unit = server_->unit;
        m.unit_id = 4408652;
        m.eu_low = 0.0;
        m.eu_high = server_->eu_high;
        m.access_level = 5;
        m.description = "Variable " + tag.tag_name;
        if (tag.tag_name == "Demo.Mode") {
          m.data_type = "nsu=urn:demo;i=3001";
          m.enum_names = {{0, "Off"}, {1, "Manual"}, {2, "Auto \"A\""}};
        }
        ++server_->tags_described;
      }
      out.push_back(std::move(m));
    }
    return out;
  }

 private:
  std::shared_ptr<ScriptedServer> server_;
};

class TagMetadataJobTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
    conn_ = tidewell::get_conn(db_->settings());
    ASSERT_NE(conn_, nullptr);
  }

  // Registers `tags` in the database; returns their ids by name.
  std::unordered_map<std::string, std::int64_t> register_tags(
      const std::vector<std::string>& tags) {
    tidewell::SourceInfo source{"console",
                                "opc.tcp://localhost:4840",
                                tidewell::SourceStatus::ACTIVE,
                                tidewell::SourceProtocol::OPC_UA,
                                1000,
                                {},
                                "opc",
                                {}};
    EXPECT_TRUE(tidewell::insert_new_source(*conn_, source).ok);
    std::vector<tidewell::TagRegistration> list;
    for (const std::string& tag : tags) list.push_back({tag, {}});
    return tidewell::register_tags(*conn_, *source.source_id, list).tag_ids;
  }

  TagMetadataJob::Options options(const std::vector<std::string>& tags) {
    return {.server_schema = "opc.tcp://localhost:4840",
            .ua_security = {},
            .tsdb_cfg = db_->settings(),
            .get_tags_func = [tags] { return tags; },
            .tag_ids = {},
            .metrics = {},
            .metadata_notify =
                [this](const std::vector<std::pair<std::string, pyqar::VariableMetadata>>& told) {
                  {
                    std::lock_guard lock(server_->mutex);
                    notified_ += told.size();
                  }
                  server_->changed.notify_all();
                },
            .restart_check_seconds = 0.05,
            .source_factory =
                [server = server_](const pyqar::CreateSourceArgs& args) {
                  EXPECT_EQ(args.source_type,
                            static_cast<int>(pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA));
                  {
                    std::lock_guard lock(server->mutex);
                    ++server->sources_opened;
                  }
                  return std::make_unique<ScriptedMetadataSource>(server);
                },
            .tsdb_connect = {}};
  }

  std::vector<Row> stored(const std::string& tag) {
    return db_->query(
        "SELECT data_type, unit, eu_high, access_level, server_description, enum_names,"
        " CASE WHEN metadata_time IS NULL THEN 0 ELSE 1 END FROM tags WHERE tag_name = '" +
        tag + "'");
  }

  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<tidewell::Connection> conn_;
  std::shared_ptr<ScriptedServer> server_ = std::make_shared<ScriptedServer>();
  std::size_t notified_ = 0;  // under server_->mutex
};

TEST_P(TagMetadataJobTest, ReadsNothingBeforeTheFirstCycleIsStoredThenStoresEveryTag) {
  kestrane_test::LogCapture log("quellin");
  const std::vector<std::string> tags{"ns=2;s=Demo.Temperature", "2:Demo.Mode"};
  register_tags(tags);
  TagMetadataJob job(options(tags));
  job.start();
  // However long collection takes to store its first cycle, the server is not asked meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(server_->mutex);
    EXPECT_EQ(server_->sources_opened, 0);
    EXPECT_EQ(server_->metadata_reads, 0);
  }
  job.first_cycle_stored();
  job.first_cycle_stored();  // told again: nothing more
  server_->wait_for([&] { return notified_ == 2; });
  job.stop();

  EXPECT_EQ(stored("ns=2;s=Demo.Temperature"),
            (std::vector<Row>{{"Double", "°C", "100.5", "5", "Variable ns=2;s=Demo.Temperature",
                               std::nullopt, "1"}}));
  EXPECT_EQ(stored("2:Demo.Mode"),
            (std::vector<Row>{{"nsu=urn:demo;i=3001", "°C", "100.5", "5", "Variable Demo.Mode",
                               R"({"0":"Off","1":"Manual","2":"Auto \"A\""})", "1"}}));
  EXPECT_TRUE(log.has_prefix("info", "Tag metadata read for 2 of 2 tags in ")) << log.dump();
  EXPECT_FALSE(log.has_prefix("warning", "")) << log.dump();
  EXPECT_FALSE(log.has_prefix("info", "Tag '")) << log.dump();  // a first read is no change
}

TEST_P(TagMetadataJobTest, AServerRestartWithNewUnitsIsReadAgainLoggedPerTagAndStored) {
  kestrane_test::LogCapture log("quellin");
  const std::vector<std::string> tags{"ns=2;s=Demo.Temperature", "ns=2;s=Demo.Pressure"};
  auto opts = options(tags);
  opts.tag_ids = register_tags(tags);  // known ids: no lookup
  TagMetadataJob job(std::move(opts));
  job.start();
  job.first_cycle_stored();
  server_->wait_for([&] { return notified_ == 2; });
  {
    std::lock_guard lock(server_->mutex);
    server_->unit = "°F";
    server_->eu_high = 212.5;
    // Same start time: nothing is read again.
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard lock(server_->mutex);
    EXPECT_EQ(server_->metadata_reads, 1);
    server_->start_time = "2026-01-01T01:00:00Z";
  }
  server_->wait_for([&] { return notified_ == 4; });
  job.stop();

  for (const std::string& tag : tags) {
    EXPECT_EQ(stored(tag).at(0).at(1), "°F");
    EXPECT_EQ(stored(tag).at(0).at(2), "212.5");
    EXPECT_EQ(log.count("INFO Tag '" + tag +
                        "' metadata changed: unit '°C' -> '°F', eu_high 100.5 -> 212.5"),
              1)
        << log.dump();
  }
  EXPECT_TRUE(log.has_prefix("info", "Tag metadata: the OPC server restarted")) << log.dump();
}

TEST_P(TagMetadataJobTest, UnreadableTagsKeepNullsWithOneSummaryWarning) {
  kestrane_test::LogCapture log("quellin");
  std::vector<std::string> tags;
  for (int i = 0; i < 6; ++i) tags.push_back("2:Demo.T" + std::to_string(i));
  register_tags(tags);
  server_->unreadable = {"2:Demo.T1", "2:Demo.T2", "2:Demo.T3", "2:Demo.T5"};
  TagMetadataJob job(options(tags));
  job.start();
  job.first_cycle_stored();
  server_->wait_for([&] { return notified_ == 2; });
  job.stop();

  EXPECT_EQ(stored("2:Demo.T0").at(0).at(1), "°C");
  EXPECT_EQ(stored("2:Demo.T4").at(0).at(1), "°C");
  const Row nothing{std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                    std::nullopt, std::nullopt, "0"};
  EXPECT_EQ(stored("2:Demo.T1"), std::vector<Row>{nothing});
  EXPECT_EQ(stored("2:Demo.T5"), std::vector<Row>{nothing});
  EXPECT_EQ(log.count("WARNING Metadata of 4 tags could not be read (first: 2:Demo.T1, "
                      "2:Demo.T2, 2:Demo.T3 ...)"),
            1)
      << log.dump();
  EXPECT_TRUE(log.has_prefix("info", "Tag metadata read for 2 of 6 tags in ")) << log.dump();
}

TEST_P(TagMetadataJobTest, ADatabaseOutageKeepsTheReadAndWritesItLater) {
  kestrane_test::LogCapture log("quellin");
  const std::vector<std::string> tags{"2:Demo.A", "2:Demo.B"};
  register_tags(tags);
  auto opts = options(tags);
  auto refusals = std::make_shared<std::atomic<int>>(1);
  opts.tsdb_connect = [refusals](const tidewell::TsdbSettings& settings) {
    if (refusals->fetch_sub(1) > 0) return std::unique_ptr<tidewell::Connection>();
    return tidewell::get_conn(settings);
  };
  TagMetadataJob job(std::move(opts));
  job.start();
  job.first_cycle_stored();
  server_->wait_for([&] { return notified_ == 2; });
  job.stop();
  EXPECT_EQ(server_->metadata_reads, 1);  // stored from the first read, not read again
  EXPECT_EQ(stored("2:Demo.B").at(0).at(1), "°C");
  EXPECT_TRUE(log.has_prefix("warning", "Tag metadata: the database failed")) << log.dump();
}

TEST_P(TagMetadataJobTest, StopEndsBetweenChunksWhileTheServerIsSlow) {
  std::vector<std::string> tags;
  for (int i = 0; i < 20000; ++i) tags.push_back("2:Demo.T" + std::to_string(i));
  server_->read_delay = std::chrono::milliseconds(200);
  auto opts = options(tags);
  opts.tsdb_connect = [](const tidewell::TsdbSettings&) {
    return std::unique_ptr<tidewell::Connection>();
  };
  TagMetadataJob job(std::move(opts));
  job.start();
  job.first_cycle_stored();
  server_->wait_for([&] { return server_->metadata_reads >= 1; });
  job.stop();
  std::lock_guard lock(server_->mutex);
  EXPECT_LT(server_->metadata_reads, 4);  // 4 chunks of 5,000: the rest never asked
}

TEST_P(TagMetadataJobTest, AnOpcUaCollectorWithATsdbReadsMetadataOnlyWhenAsked) {
  const std::vector<std::string> tags{"2:Demo.A", "2:Demo.B"};
  register_tags(tags);
  for (const bool read_metadata : {false, true}) {
    SCOPED_TRACE(read_metadata);
    ResultQueue queue{300};
    std::atomic<int> cycles_stored{0};
    TagMetadataJob::Options job = options(tags);
    OPCCollector collector({.opc_schema = "opc.tcp://localhost:4840",
                            .get_tags_func = job.get_tags_func,
                            .data_deque = &queue,
                            .tsdb_cfg = db_->settings(),
                            .sample_interval = 0.02,
                            .db_status_notify = [&](bool, std::size_t) { ++cycles_stored; },
                            .metadata_notify = job.metadata_notify,
                            .acquisition = {.read_metadata = read_metadata},
                            .source_factory = job.source_factory});
    collector.start();
    if (read_metadata) {
      server_->wait_for([&] { return notified_ == 2; });
    } else {
      // The writer reports its first outcome; a few cycles more would have let the job ask.
      for (int i = 0; i < 3000 && cycles_stored == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    collector.stop();
    collector.join();
    EXPECT_GE(cycles_stored, 1);  // the owner's own notification still arrives
    std::lock_guard lock(server_->mutex);
    EXPECT_EQ(server_->sources_opened, read_metadata ? 3 : 1);  // collector, then job's own
    EXPECT_EQ(server_->metadata_reads, read_metadata ? 1 : 0);
  }
  EXPECT_EQ(stored("2:Demo.B").at(0).at(1), "°C");
}

INSTANTIATE_TEST_SUITE_P(Drivers, TagMetadataJobTest, ::testing::Values("postgresql", "sqlite"));

}  // namespace
}  // namespace quellin
