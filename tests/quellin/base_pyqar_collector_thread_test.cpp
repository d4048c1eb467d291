#include "quellin/base_pyqar_collector_thread.h"

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "scripted_opc.h"

namespace {

using kestrane_test::LogCapture;
using quellin::BasePyQARCollectorThread;
using quellin::ResultList;
using quellin_test::FakeTime;
using quellin_test::ScriptedOpc;

// The smallest subclass: keeps what it is handed.
class RecordingCollector : public BasePyQARCollectorThread {
 public:
  using BasePyQARCollectorThread::BasePyQARCollectorThread;
  ~RecordingCollector() override { shutdown(); }

  std::vector<ResultList> handed;
  std::function<void(ResultList&)> on_handle;

 protected:
  void handle_data(ResultList& results) override {
    if (on_handle) on_handle(results);
    handed.push_back(results);
  }
};

std::vector<std::string> numbered_tags(int n) {
  std::vector<std::string> tags;
  for (int i = 1; i <= n; ++i) tags.push_back("Demo.Tag" + std::to_string(i));
  return tags;
}

class CollectorBaseTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordingCollector> make(std::vector<std::string> tags,
                                           std::string schema = "opc.da://localhost/OstrevoV2.1.0",
                                           int batch_size = 100, double interval = 1.0) {
    tags_ = std::move(tags);
    return std::make_unique<RecordingCollector>(BasePyQARCollectorThread::Options{
        .server_schema = std::move(schema),
        .get_tags_func = [this] { return tags_; },
        .sample_interval = interval,
        .batch_size = batch_size,
        .status_notify = [this](const std::string& text) { statuses.push_back(text); },
        .source_factory = quellin_test::scripted_factory(opc),
        .clock = [this] { return time.clock(); },
        .sleep = [this](double s) { time.sleep(s); }});
  }

  // Runs the thread body on the test thread until `waits` waits have happened.
  void run_for_waits(RecordingCollector& c, std::size_t waits) {
    time.on_sleep = [&c, this, waits] {
      if (time.sleeps.size() >= waits) c.stop();
    };
    c.run();
  }

  std::shared_ptr<ScriptedOpc> opc = std::make_shared<ScriptedOpc>();
  FakeTime time;
  std::vector<std::string> statuses;
  std::vector<std::string> tags_;
  LogCapture log{"quellin"};
};

TEST(QualityToStr, MapsTheHighBitsOfTheQualityWord) {
  EXPECT_EQ(quellin::quality_to_str(0xC0), "Good");
  EXPECT_EQ(quellin::quality_to_str(0xD8), "Good");  // local override sub-status
  EXPECT_EQ(quellin::quality_to_str(0x1C0), "Good");
  EXPECT_EQ(quellin::quality_to_str(0x40), "Uncertain");
  EXPECT_EQ(quellin::quality_to_str(0x54), "Uncertain");
  EXPECT_EQ(quellin::quality_to_str(0x00), "Bad");
  EXPECT_EQ(quellin::quality_to_str(0x18), "Bad");
  EXPECT_EQ(quellin::quality_to_str(0x80), "Invalid");
}

TEST(ParseUaTag, SplitsANumericNamespaceAtTheFirstColonOnly) {
  using P = std::pair<int, std::string>;
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("2:Demo.Tag1"), P(2, "Demo.Tag1"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("2:A:B"), P(2, "A:B"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("Demo.Tag1"), P(0, "Demo.Tag1"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag(" 3 :x"), P(3, "x"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("+4:x"), P(4, "x"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("-1:x"), P(-1, "x"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("2:"), P(2, ""));
}

TEST(ParseUaTag, KeepsTheWholeTextWhenThePrefixIsNoNumber) {
  using P = std::pair<int, std::string>;
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("Demo:Tag"), P(0, "Demo:Tag"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag(":x"), P(0, ":x"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag(" :x"), P(0, " :x"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("2x:y"), P(0, "2x:y"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("+-2:y"), P(0, "+-2:y"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("99999999999:y"), P(0, "99999999999:y"));
}

// The library reads the name as a node and splits nothing off it: NodeId text must reach it
// whole, with namespace 0 where the text carries its own.
TEST(ParseUaTag, HandsNodeIdTextOverWhole) {
  using P = std::pair<int, std::string>;
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("ns=3;i=1001"), P(0, "ns=3;i=1001"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("i=2258"), P(0, "i=2258"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("ns=2;s=A:B"), P(0, "ns=2;s=A:B"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("nsu=urn:a:b;s=X"), P(0, "nsu=urn:a:b;s=X"));
  EXPECT_EQ(BasePyQARCollectorThread::parse_ua_tag("2:s=A"), P(2, "s=A"));
}

TEST_F(CollectorBaseTest, ConstructionNeedsATagSource) {
  try {
    RecordingCollector c({.server_schema = "opc.da://localhost/OstrevoV2.1.0"});
    FAIL() << "constructed without a tag source";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Either 'get_tags_func' or 'tags' must be provided.");
  }
}

TEST_F(CollectorBaseTest, AFixedTagListServesEveryCycle) {
  RecordingCollector c({.server_schema = "opc.da://localhost/OstrevoV2.1.0",
                        .tags = std::vector<std::string>{"Demo.Tag1", "Demo.Tag2"},
                        .source_factory = quellin_test::scripted_factory(opc)});
  c._process_collection_cycle();
  c._process_collection_cycle();
  ASSERT_EQ(c.handed.size(), 2u);
  EXPECT_EQ(c.handed[1][1].tag, "Demo.Tag2");
}

TEST_F(CollectorBaseTest, RejectsAnIntervalThatIsNoDuration) {
  for (double bad : {-1.0, std::nan(""), static_cast<double>(INFINITY)}) {
    EXPECT_THROW(make({}, "opc.da://localhost/OstrevoV2.1.0", 100, bad), std::invalid_argument);
  }
}

TEST_F(CollectorBaseTest, ChoosesTheProtocolFromTheSchema) {
  EXPECT_EQ(make({}, "opc.tcp://localhost:46011")->protocol_type(), "UA");
  EXPECT_EQ(make({}, "opc.da://localhost/OstrevoV2.1.0")->protocol_type(), "DA");
  EXPECT_EQ(make({}, "mqtt://broker")->protocol_type(), "DA");
}

TEST_F(CollectorBaseTest, GivesTheLibraryTheIntervalInWholeMilliseconds) {
  make({}, "opc.da://localhost/OstrevoV2.1.0", 100, 1.0)->connect_source();
  make({}, "opc.da://localhost/OstrevoV2.1.0", 100, 0.0015)->connect_source();
  ASSERT_EQ(opc->create_args.size(), 2u);
  EXPECT_EQ(opc->create_args[0].sample_timespan_msec, 1000);
  EXPECT_EQ(opc->create_args[1].sample_timespan_msec, 1);
  EXPECT_EQ(opc->create_args[0].source_flag, 0);
  EXPECT_EQ(opc->create_args[0].source_type,
            static_cast<int>(pyqar::QAR_RTSOURCE::QAR_RTSOURCE_DA));
}

TEST_F(CollectorBaseTest, ConnectFailuresNameTheProtocol) {
  opc->fail_create = true;
  try {
    make({}, "opc.tcp://localhost:46011")->connect_source();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Create OPC UA Source failed");
  }
  opc->fail_create = false;
  opc->source_valid = false;
  auto c = make({});
  try {
    c->connect_source();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "OPC DA Source is invalid");
  }
  EXPECT_FALSE(c->opc_status());
}

TEST_F(CollectorBaseTest, Reads250TagsIn100100And50) {
  auto c = make(numbered_tags(250), "opc.da://localhost/OstrevoV2.1.0", 100);
  c->_process_collection_cycle();
  EXPECT_EQ(opc->batch_sizes(), (std::vector<std::size_t>{100, 100, 50}));
  ASSERT_EQ(c->handed.size(), 1u);
  const ResultList& r = c->handed[0];
  ASSERT_EQ(r.size(), 250u);
  EXPECT_EQ(r[0].tag, "Demo.Tag1");
  EXPECT_EQ(r[149].tag, "Demo.Tag150");
  EXPECT_EQ(std::get<double>(r[149].value), 50.0);  // 50th of the second batch
  EXPECT_EQ(r[249].tag, "Demo.Tag250");
  EXPECT_EQ(opc->batches[2][0].tag_name, "Demo.Tag201");
  EXPECT_EQ(statuses.back(), "Read 250 tags, 0 bad.");
}

TEST_F(CollectorBaseTest, NonPositiveBatchSizeReadsAllTagsAtOnceAndWarnsOnce) {
  for (int batch : {0, -5}) {
    opc->batches.clear();
    LogCapture capture{"quellin"};
    auto c = make(numbered_tags(7), "opc.da://localhost/OstrevoV2.1.0", batch);
    c->_process_collection_cycle();
    c->_process_collection_cycle();
    EXPECT_EQ(opc->batch_sizes(), (std::vector<std::size_t>{7, 7}));
    EXPECT_EQ(capture.count("WARNING Batch size " + std::to_string(batch) +
                            " is not positive; reading all tags in one batch"),
              1);
  }
}

TEST_F(CollectorBaseTest, UaTagsCarryTheirNamespaceButResultsKeepTheListText) {
  auto c = make({"2:Demo.Tag1", "Demo:Tag", "Plain"}, "opc.tcp://localhost:46011");
  c->_process_collection_cycle();
  ASSERT_EQ(opc->batches.size(), 1u);
  const auto& b = opc->batches[0];
  EXPECT_EQ(b[0].namespace_index, 2);
  EXPECT_EQ(b[0].tag_name, "Demo.Tag1");
  EXPECT_EQ(b[1].namespace_index, 0);
  EXPECT_EQ(b[1].tag_name, "Demo:Tag");
  EXPECT_EQ(b[2].data_type, static_cast<int>(pyqar::QAR_DATATYPE::QAR_DATATYPE_REAL));
  EXPECT_EQ(c->handed.at(0)[0].tag, "2:Demo.Tag1");
}

TEST_F(CollectorBaseTest, DaTagsAreReadUnderTheirWholeText) {
  auto c = make({"2:Demo.Tag1"});
  c->_process_collection_cycle();
  EXPECT_EQ(opc->batches.at(0)[0].namespace_index, 0);
  EXPECT_EQ(opc->batches.at(0)[0].tag_name, "2:Demo.Tag1");
}

TEST_F(CollectorBaseTest, SomeBadTagsStillCountAsAGoodRead) {
  opc->responder = [](const std::vector<pyqar::TagDescriptor>& batch) {
    auto out = ScriptedOpc::all_good(batch);
    out[1].quality = pyqar::QAR_QUALITY::QAR_HIGH_BAD;
    out[2].quality = pyqar::QAR_QUALITY::QAR_HIGH_UNCERTAIN;
    return out;
  };
  auto c = make(numbered_tags(3));
  c->opc_error("earlier failure");
  c->_process_collection_cycle();
  EXPECT_TRUE(c->opc_status());
  EXPECT_EQ(c->consecutive_errors(), 0);
  ASSERT_EQ(c->handed.size(), 1u);
  EXPECT_EQ(c->handed[0][1].quality, "Bad");
  EXPECT_EQ(c->handed[0][2].quality, "Uncertain");
  EXPECT_EQ(statuses.back(), "Read 3 tags, 2 bad.");
}

TEST_F(CollectorBaseTest, AllBadCycleHandsNothingOnAndReconnectsNextCycle) {
  opc->responder = ScriptedOpc::all_bad;
  auto c = make(numbered_tags(3));
  c->_process_collection_cycle();
  EXPECT_TRUE(c->handed.empty());
  EXPECT_FALSE(c->opc_status());
  EXPECT_EQ(c->consecutive_errors(), 1);
  EXPECT_EQ(statuses.back(), "All 3 tags read failed. Waiting for next cycle...");
  EXPECT_EQ(log.count("ERROR All 3 tags read failed. Waiting for next cycle..."), 1);

  opc->responder = ScriptedOpc::all_good;
  c->_process_collection_cycle();
  EXPECT_EQ(opc->creates, 2);
  EXPECT_EQ(log.count("INFO DA reconnecting..."), 2);
  EXPECT_EQ(c->handed.size(), 1u);
  EXPECT_EQ(c->consecutive_errors(), 0);
}

TEST_F(CollectorBaseTest, FewerValuesThanTagsLeaveTheLastTagsOfTheBatchOut) {
  opc->responder = [](const std::vector<pyqar::TagDescriptor>& batch) {
    auto out = ScriptedOpc::all_good(batch);
    out.pop_back();
    return out;
  };
  auto c = make(numbered_tags(5), "opc.da://localhost/OstrevoV2.1.0", 3);
  c->_process_collection_cycle();
  ASSERT_EQ(c->handed.size(), 1u);
  std::vector<std::string> got;
  for (const auto& r : c->handed[0]) got.push_back(r.tag);
  EXPECT_EQ(got, (std::vector<std::string>{"Demo.Tag1", "Demo.Tag2", "Demo.Tag4"}));
}

TEST_F(CollectorBaseTest, MoreValuesThanTagsFailTheRead) {
  opc->responder = [](const std::vector<pyqar::TagDescriptor>& batch) {
    auto out = ScriptedOpc::all_good(batch);
    out.push_back(out.back());
    return out;
  };
  auto c = make(numbered_tags(2));
  c->_process_collection_cycle();
  EXPECT_TRUE(c->handed.empty());
  EXPECT_EQ(c->consecutive_errors(), 1);
  EXPECT_EQ(statuses.back().rfind("Read DA error: ", 0), 0u) << statuses.back();
}

TEST_F(CollectorBaseTest, NoValuesAtAllIsAGoodEmptyRead) {
  opc->responder = [](const std::vector<pyqar::TagDescriptor>&) {
    return std::vector<pyqar::ValueObject>{};
  };
  auto c = make(numbered_tags(2));
  c->_process_collection_cycle();
  ASSERT_EQ(c->handed.size(), 1u);
  EXPECT_TRUE(c->handed[0].empty());
  EXPECT_EQ(statuses.back(), "Read 0 tags, 0 bad.");
}

TEST_F(CollectorBaseTest, ReadAndHandlerErrorsBecomeAFailedCycle) {
  opc->responder = [](const std::vector<pyqar::TagDescriptor>&) -> std::vector<pyqar::ValueObject> {
    throw std::runtime_error("socket reset");
  };
  auto c = make(numbered_tags(2), "opc.tcp://localhost:46011");
  c->_process_collection_cycle();
  EXPECT_EQ(statuses.back(), "Read UA error: socket reset");
  EXPECT_EQ(log.count("ERROR Read UA error: socket reset"), 1);
  EXPECT_EQ(c->consecutive_errors(), 1);
  EXPECT_FALSE(c->opc_status());

  opc->responder = ScriptedOpc::all_good;
  c->on_handle = [](ResultList&) { throw std::runtime_error("handler broke"); };
  c->_process_collection_cycle();
  EXPECT_EQ(statuses.back(), "Read UA error: handler broke");
  EXPECT_EQ(c->consecutive_errors(), 1);  // the good read reset it before the handler failed
}

TEST_F(CollectorBaseTest, FailedReconnectIsCountedAndTheCycleReadsNothing) {
  auto c = make(numbered_tags(2));
  opc->fail_create = true;
  c->_process_collection_cycle();
  EXPECT_EQ(statuses.back(), "Reconnect DA error: Create OPC DA Source failed");
  EXPECT_TRUE(opc->batches.empty());
  EXPECT_EQ(c->consecutive_errors(), 1);
}

TEST_F(CollectorBaseTest, EmptyTagListReadsNothingSaysNothingAndKeepsPacing) {
  auto c = make({});
  run_for_waits(*c, 2);
  EXPECT_TRUE(opc->batches.empty());
  EXPECT_EQ(time.sleeps, (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(statuses, (std::vector<std::string>{"Stopping OPC collector thread...",
                                                "DA source disconnected"}));
}

TEST_F(CollectorBaseTest, SixFailedCyclesPauseFiveTimesShortThenOnceLong) {
  opc->responder = ScriptedOpc::all_bad;
  auto c = make(numbered_tags(2));
  run_for_waits(*c, 7);
  EXPECT_EQ(time.sleeps, (std::vector<double>{5, 5, 5, 5, 5, 60, 5}));
  EXPECT_EQ(c->consecutive_errors(), 1);  // reset by the long pause, then one more failure
  EXPECT_EQ(log.count("WARNING Retrying in 5 seconds..."), 6);
  EXPECT_EQ(log.count("ERROR Too many consecutive errors, sleeping 60 seconds before retrying..."),
            1);
}

TEST_F(CollectorBaseTest, PausesCountAsElapsedIntervalTime) {
  opc->responder = ScriptedOpc::all_bad;
  auto c = make(numbered_tags(2), "opc.da://localhost/OstrevoV2.1.0", 100, 8.0);
  run_for_waits(*c, 2);
  EXPECT_EQ(time.sleeps, (std::vector<double>{5, 3}));
}

TEST_F(CollectorBaseTest, PacesToTheIntervalAndFollowsAnOverrunAtOnce) {
  // The second cycle takes longer than the interval; the others a quarter of it.
  opc->responder = [this](const std::vector<pyqar::TagDescriptor>& batch) {
    time.now += opc->batches.size() == 2 ? 1.5 : 0.25;
    return ScriptedOpc::all_good(batch);
  };
  auto c = make(numbered_tags(2));
  run_for_waits(*c, 2);
  EXPECT_EQ(opc->batches.size(), 3u);
  ASSERT_EQ(time.sleeps.size(), 2u);
  EXPECT_DOUBLE_EQ(time.sleeps[0], 0.75);
  EXPECT_DOUBLE_EQ(time.sleeps[1], 0.75);
}

TEST_F(CollectorBaseTest, FailedFirstConnectionEndsTheThreadBodyCleanly) {
  opc->fail_create = true;
  auto c = make(numbered_tags(2));
  c->run();
  EXPECT_EQ(statuses, (std::vector<std::string>{"DA source disconnected"}));
  EXPECT_EQ(log.count("ERROR OPC collector thread ended by an error: Create OPC DA Source failed"),
            1);
  EXPECT_EQ(log.lines().back(), "INFO OPC collector thread stopped.");
}

TEST_F(CollectorBaseTest, TagProviderErrorEndsTheThreadBodyButNotTheProcess) {
  auto c = make({});
  c = std::make_unique<RecordingCollector>(BasePyQARCollectorThread::Options{
      .server_schema = "opc.da://localhost/OstrevoV2.1.0",
      .get_tags_func = []() -> std::vector<std::string> { throw std::runtime_error("rows gone"); },
      .source_factory = quellin_test::scripted_factory(opc),
      .clock = [this] { return time.clock(); },
      .sleep = [this](double s) { time.sleep(s); }});
  c->run();
  EXPECT_EQ(log.count("ERROR OPC collector thread ended by an error: rows gone"), 1);
  EXPECT_EQ(log.lines().back(), "INFO OPC collector thread stopped.");
  EXPECT_THROW(c->_process_collection_cycle(), std::runtime_error);  // single-step: to the caller
}

TEST_F(CollectorBaseTest, StopNotifiesOnTheCallersThreadAndEndsTheLoop) {
  auto c = make(numbered_tags(1));
  c->stop();
  EXPECT_FALSE(c->running());
  EXPECT_EQ(statuses, (std::vector<std::string>{"Stopping OPC collector thread..."}));
  EXPECT_EQ(log.count("INFO Stopping OPC collector thread..."), 1);
  c->run();  // connects, sees the flag, cleans up
  EXPECT_TRUE(opc->batches.empty());
  EXPECT_EQ(statuses.back(), "DA source disconnected");
}

TEST_F(CollectorBaseTest, DisconnectIsSafeWithNothingOpen) {
  auto c = make({});
  c->disconnect_source();
  c->disconnect_source();
  EXPECT_EQ(statuses, (std::vector<std::string>(2, "DA source disconnected")));
}

}  // namespace
