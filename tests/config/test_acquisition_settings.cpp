// How values are acquired: the [Kestrane] subscription keys, the tag list's own
// SamplingInterval and Deadband columns, and how the two combine into what the collector gets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/console_config.h"
#include "config/tag_csv.h"
#include "config/tag_monitoring.h"
#include "journel/ini_file.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace kestrane_config {
namespace {

using kestrane_test::LogCapture;
using kestrane_test::TempDir;

quellin::AcquisitionOptions read(const std::string& keys) {
  return read_acquisition_settings(journel::IniFile::parse("[Kestrane]\n" + keys));
}

std::string read_error(const std::string& keys) {
  try {
    read(keys);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(AcquisitionSettings, AbsentKeysPollAsBefore) {
  for (const char* text : {"", "[Kestrane]\ncollection_interval = 5\n"}) {
    const auto a = read_acquisition_settings(journel::IniFile::parse(text));
    EXPECT_EQ(a.mode, pyqar::Acquisition::read);
    // Sampling follows the publishing interval; the server picks the queue; no filter.
    EXPECT_EQ(a.monitor, pyqar::MonitorSettings{});
    EXPECT_LT(a.monitor.sampling_interval_ms, 0.0);
    EXPECT_TRUE(a.tag_monitor.empty());
    EXPECT_EQ(a.heartbeat_seconds, 0.0);
    // No backfill, and its defaults as the collector knows them.
    EXPECT_FALSE(a.backfill.enabled);
    EXPECT_EQ(a.backfill.max_age_seconds, quellin::BackfillOptions{}.max_age_seconds);
    EXPECT_EQ(a.backfill.max_age_seconds, 86400.0);
    EXPECT_EQ(a.backfill.initial_seconds, 0.0);
    EXPECT_EQ(a.backfill.rate_values_per_second, 0.0);
    // Structures by field and each tag's metadata.
    EXPECT_TRUE(a.decode_structures);
    EXPECT_TRUE(a.read_metadata);
  }
}

TEST(AcquisitionSettings, ReadsEveryKeyWithWordsInAnyCaseAndSecondsAsMilliseconds) {
  const auto a = read(
      "OPC_Acquisition = Subscribe\nopc_sampling_interval = 0.25\nopc_queue_size = 7\n"
      "opc_deadband_type = PERCENT\nopc_deadband = 100\nopc_heartbeat = 90\n");
  EXPECT_EQ(a.mode, pyqar::Acquisition::subscribe);
  EXPECT_DOUBLE_EQ(a.monitor.sampling_interval_ms, 250.0);
  EXPECT_EQ(a.monitor.queue_size, 7u);
  EXPECT_EQ(a.monitor.deadband_type, pyqar::DeadbandType::percent);
  EXPECT_DOUBLE_EQ(a.monitor.deadband, 100.0);
  EXPECT_DOUBLE_EQ(a.heartbeat_seconds, 90.0);

  // 0 asks for the server's fastest sampling, which is not the publishing interval (< 0).
  EXPECT_EQ(read("opc_sampling_interval = 0\n").monitor.sampling_interval_ms, 0.0);
  // Left empty (as the desktop leaves a key it cannot take out): the publishing interval.
  EXPECT_LT(read("opc_sampling_interval =\n").monitor.sampling_interval_ms, 0.0);
  const auto absolute = read("opc_deadband_type = absolute\nopc_deadband = 2.5\n");
  EXPECT_EQ(absolute.monitor.deadband_type, pyqar::DeadbandType::absolute);
  EXPECT_DOUBLE_EQ(absolute.monitor.deadband, 2.5);
  // A deadband of 0 is no deadband, whatever the type.
  EXPECT_NO_THROW(read("opc_deadband_type = none\nopc_deadband = 0\n"));
}

TEST(AcquisitionSettings, EachBadValueNamesItsKeyAndValue) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"opc_acquisition = poll\n",
       "[Kestrane] opc_acquisition = poll: the acquisition must be read or subscribe"},
      {"opc_acquisition =\n",
       "[Kestrane] opc_acquisition = : the acquisition must be read or subscribe"},
      {"opc_sampling_interval = -1\n",
       "[Kestrane] opc_sampling_interval = -1: the sampling interval (0: the server's fastest) "
       "must lie between 0 and 86400 seconds"},
      {"opc_queue_size = -3\n",
       "[Kestrane] opc_queue_size = -3: the queue size (0: automatic) must lie between 0 and "
       "100000 values"},
      {"opc_deadband_type = relative\n",
       "[Kestrane] opc_deadband_type = relative: the deadband type must be none, absolute or "
       "percent"},
      {"opc_deadband_type = absolute\nopc_deadband = -0.5\n",
       "[Kestrane] opc_deadband = -0.5: the deadband must be a number of 0 or more"},
      {"opc_deadband_type = percent\nopc_deadband = 100.5\n",
       "[Kestrane] opc_deadband = 100.5: a percent deadband must lie between 0 and 100"},
      {"opc_deadband = 0.5\n",
       "[Kestrane] opc_deadband = 0.5: no deadband applies while opc_deadband_type is none; set "
       "it to absolute or percent"},
      {"opc_heartbeat = -10\n",
       "[Kestrane] opc_heartbeat = -10: the heartbeat (0: off) must lie between 0 and 86400 "
       "seconds"},
  };
  for (const auto& [keys, error] : cases) EXPECT_EQ(read_error(keys), error) << keys;

  // Text that is no number fails in the file's own words, with the key and the range.
  for (const char* keys :
       {"opc_queue_size = 2.5\n", "opc_sampling_interval = fast\n", "opc_heartbeat = nan\n",
        "opc_deadband = 1,5\n", "opc_deadband = inf\n"}) {
    const std::string error = read_error(keys);
    const std::string key = std::string(keys).substr(0, std::string(keys).find(' '));
    EXPECT_NE(error.find("[Kestrane] " + key), std::string::npos) << error;
  }
}

// ---- Structures and tag metadata ----

TEST(StructureAndMetadataSettings, ReadsWordsInAnyCase) {
  EXPECT_FALSE(read("opc_structures = RAW\n").decode_structures);
  EXPECT_TRUE(read("opc_structures = Decoded\n").decode_structures);
  EXPECT_FALSE(read("OPC_Metadata = off\n").read_metadata);
  EXPECT_FALSE(read("opc_metadata = False\n").read_metadata);
  EXPECT_TRUE(read("opc_metadata = yes\n").read_metadata);
  // Each key alone leaves the other at its default.
  EXPECT_TRUE(read("opc_structures = raw\n").read_metadata);
  EXPECT_TRUE(read("opc_metadata = false\n").decode_structures);
}

TEST(StructureAndMetadataSettings, EachBadValueNamesItsKeyAndValue) {
  EXPECT_EQ(read_error("opc_structures = json\n"),
            "[Kestrane] opc_structures = json: structures must be decoded or raw");
  EXPECT_EQ(read_error("opc_structures =\n"),
            "[Kestrane] opc_structures = : structures must be decoded or raw");
  const std::string error = read_error("opc_metadata = sometimes\n");
  EXPECT_NE(error.find("[Kestrane] opc_metadata"), std::string::npos) << error;
  EXPECT_NE(error.find("sometimes"), std::string::npos) << error;
}

// ---- Filling gaps from the server's history ----

TEST(BackfillSettings, ReadsEveryKeyInBothModes) {
  for (const char* mode : {"read", "subscribe"}) {
    const auto a = read(std::string("opc_acquisition = ") + mode +
                        "\nOPC_Backfill = Yes\nopc_backfill_max_age = 3600.5\n"
                        "opc_backfill_initial = 3600.5\nopc_backfill_rate = 250\n");
    EXPECT_TRUE(a.backfill.enabled) << mode;
    EXPECT_DOUBLE_EQ(a.backfill.max_age_seconds, 3600.5);
    EXPECT_DOUBLE_EQ(a.backfill.initial_seconds, 3600.5);
    EXPECT_DOUBLE_EQ(a.backfill.rate_values_per_second, 250.0);
  }
  EXPECT_FALSE(read("opc_backfill = false\n").backfill.enabled);
  // A fraction of a value per second is a slow rate, not a slip.
  EXPECT_DOUBLE_EQ(read("opc_backfill_rate = 0.5\n").backfill.rate_values_per_second, 0.5);
}

TEST(BackfillSettings, EachBadValueNamesItsKeyAndValueAlsoWhileOff) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"opc_backfill_max_age = 0\n",
       "[Kestrane] opc_backfill_max_age = 0: the maximum age must lie between 0 (excluded) and "
       "3153600000 seconds"},
      {"opc_backfill_max_age = -5\n",
       "[Kestrane] opc_backfill_max_age = -5: the maximum age must lie between 0 (excluded) and "
       "3153600000 seconds"},
      {"opc_backfill_max_age = 1e12\n",
       "[Kestrane] opc_backfill_max_age = 1e12: the maximum age must lie between 0 (excluded) "
       "and 3153600000 seconds"},
      {"opc_backfill_initial = -1\n",
       "[Kestrane] opc_backfill_initial = -1: the initial backfill (0: none) must lie between 0 "
       "and 3153600000 seconds"},
      {"opc_backfill = true\nopc_backfill_initial = 172800\n",
       "[Kestrane] opc_backfill_initial = 172800: the initial backfill cannot reach further back "
       "than opc_backfill_max_age (86400 seconds); raise opc_backfill_max_age to at least "
       "172800"},
      {"opc_backfill_rate = -100\n",
       "[Kestrane] opc_backfill_rate = -100: the backfill rate (0: unlimited) must lie between "
       "0 and 1000000000 values per second"},
  };
  for (const auto& [keys, error] : cases) EXPECT_EQ(read_error(keys), error) << keys;

  for (const char* keys :
       {"opc_backfill = maybe\n", "opc_backfill_max_age = 1d\n", "opc_backfill_max_age = nan\n",
        "opc_backfill_initial = inf\n", "opc_backfill_rate = fast\n", "opc_backfill_rate =\n"}) {
    const std::string error = read_error(keys);
    const std::string key = std::string(keys).substr(0, std::string(keys).find(' '));
    EXPECT_NE(error.find("[Kestrane] " + key), std::string::npos) << error;
  }
  EXPECT_NE(read_error("opc_backfill_max_age = 1d\n")
                .find("the maximum age must lie between 0 (excluded) and 3153600000 seconds"),
            std::string::npos);
}

TEST(BackfillSettings, OnlyTheDaSimulationIsRefused) {
  quellin::BackfillOptions on;
  on.enabled = true;
  EXPECT_EQ(backfill_problem(on, "opc.da://localhost/OstrevoV2.1.0"),
            "the OPC DA source opc.da://localhost/OstrevoV2.1.0 keeps no history to fill gaps "
            "from (only OPC UA servers keep one)");
  EXPECT_EQ(backfill_problem(on, "opc.tcp://plant:4840"), std::nullopt);
  EXPECT_EQ(backfill_problem(quellin::BackfillOptions{}, "opc.da://localhost/OstrevoV2.1.0"),
            std::nullopt);
}

// ---- Events and alarms ----

TEST(EventSettings, ReadsEveryListInBothModes) {
  const auto none = read("");
  EXPECT_FALSE(none.events.enabled());
  EXPECT_EQ(none.events, pyqar::EventSettings{});
  EXPECT_EQ(read("opc_events =\nopc_event_fields = \nopc_event_types =\n").events,
            pyqar::EventSettings{});

  for (const char* mode : {"read", "subscribe"}) {
    const auto a = read(std::string("opc_acquisition = ") + mode +
                        "\nOPC_Events = i=2253, \"ns=2;s=Line 1,Press\"\n"
                        "opc_event_fields = Temperature, ActiveState/Id, 2:Line/2:Speed\n"
                        "opc_event_types = i=2782, nsu=urn:plant;s=PressAlarm\n");
    EXPECT_TRUE(a.events.enabled()) << mode;
    EXPECT_EQ(a.events.notifiers, (std::vector<std::string>{"i=2253", "ns=2;s=Line 1,Press"}));
    EXPECT_EQ(a.events.extra_fields,
              (std::vector<std::string>{"Temperature", "ActiveState/Id", "2:Line/2:Speed"}));
    EXPECT_EQ(a.events.types, (std::vector<std::string>{"i=2782", "nsu=urn:plant;s=PressAlarm"}));
  }
  // Fields or types without a notifier are kept, and turn nothing on.
  const auto fields_only = read("opc_event_fields = Temperature\n");
  EXPECT_FALSE(fields_only.events.enabled());
  EXPECT_EQ(fields_only.events.extra_fields, std::vector<std::string>{"Temperature"});
}

TEST(EventSettings, EachBadValueNamesItsKeyValueAndElementAlsoWhileOff) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"opc_events = i=2253, Server\n",
       "[Kestrane] opc_events = i=2253, Server: invalid NodeId text 'Server': expected i=, s=, "
       "g= or b="},
      {"opc_event_fields = Severity, 99999:Speed\n",
       "[Kestrane] opc_event_fields = Severity, 99999:Speed: invalid browse path '99999:Speed': "
       "'99999' is no namespace index (a number from 0 to 65535 before ':')"},
      {"opc_event_types = ns=2;x=7\n",
       "[Kestrane] opc_event_types = ns=2;x=7: invalid NodeId text 'ns=2;x=7': expected i=, s=, "
       "g= or b="},
  };
  for (const auto& [keys, error] : cases) EXPECT_EQ(read_error(keys), error) << keys;
}

TEST(EventSettings, OnlyTheDaSimulationIsRefused) {
  pyqar::EventSettings on;
  on.notifiers = {"i=2253"};
  EXPECT_EQ(events_problem(on, "opc.da://localhost/OstrevoV2.1.0"),
            "the OPC DA source opc.da://localhost/OstrevoV2.1.0 reports no events (only OPC UA "
            "servers do)");
  EXPECT_EQ(events_problem(on, "opc.tcp://plant:4840"), std::nullopt);
  EXPECT_EQ(events_problem(pyqar::EventSettings{}, "opc.da://localhost/OstrevoV2.1.0"),
            std::nullopt);
}

class AcquisitionAtLoad : public ::testing::Test {
 protected:
  bool load(const std::string& schema, const std::string& extra) {
    const auto tags = dir_.write("tags.csv", "FullTagName,Description\nA,one\n");
    const auto ini =
        dir_.write("config.ini", "[TSDBConnection]\n[Kestrane]\ntag_csv_path = " + tags.string() +
                                     "\nopc_schema = " + schema + "\nopc_type = OPC UA\n" + extra);
    return load_console_config(ini, config_, log_.logger());
  }

  TempDir dir_;
  LogCapture log_;
  ConsoleConfig config_;
};

TEST_F(AcquisitionAtLoad, SubscribeIsRefusedForTheDaSimulation) {
  EXPECT_FALSE(load("opc.da://localhost/OstrevoV2.1.0", "opc_acquisition = subscribe\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_acquisition = subscribe: the OPC DA "
                       "source opc.da://localhost/OstrevoV2.1.0 has no subscriptions (only OPC "
                       "UA servers have them); set opc_acquisition = read to poll it"))
      << log_.dump();
  // Polling the same source, the keys of subscriptions set or not, is as before.
  log_.clear();
  EXPECT_TRUE(
      load("opc.da://localhost/OstrevoV2.1.0", "opc_acquisition = read\nopc_heartbeat = 5\n"))
      << log_.dump();
  EXPECT_EQ(config_.acquisition.mode, pyqar::Acquisition::read);
}

TEST_F(AcquisitionAtLoad, BackfillIsRefusedForTheDaSimulationAndTakenForUa) {
  EXPECT_FALSE(load("opc.da://localhost/OstrevoV2.1.0", "opc_backfill = true\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_backfill = true: the OPC DA source "
                       "opc.da://localhost/OstrevoV2.1.0 keeps no history to fill gaps from "
                       "(only OPC UA servers keep one); set opc_backfill = false"))
      << log_.dump();
  log_.clear();
  // The other keys alone turn nothing on.
  EXPECT_TRUE(load("opc.da://localhost/OstrevoV2.1.0", "opc_backfill_initial = 60\n"))
      << log_.dump();
  EXPECT_FALSE(config_.acquisition.backfill.enabled);

  EXPECT_TRUE(load("opc.tcp://localhost:4840",
                   "opc_backfill = true\nopc_backfill_max_age = 7200\nopc_backfill_rate = 10\n"))
      << log_.dump();
  EXPECT_TRUE(config_.acquisition.backfill.enabled);
  EXPECT_EQ(config_.acquisition.backfill.max_age_seconds, 7200.0);
  EXPECT_EQ(config_.acquisition.backfill.rate_values_per_second, 10.0);

  log_.clear();
  EXPECT_FALSE(load("opc.tcp://localhost:4840", "opc_backfill_max_age = 0\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_backfill_max_age = 0: the maximum "
                       "age must lie between 0 (excluded) and 3153600000 seconds"))
      << log_.dump();
}

TEST_F(AcquisitionAtLoad, EventsAreRefusedForTheDaSimulationAndTakenForUa) {
  EXPECT_FALSE(load("opc.da://localhost/OstrevoV2.1.0", "opc_events = i=2253\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_events = i=2253: the OPC DA source "
                       "opc.da://localhost/OstrevoV2.1.0 reports no events (only OPC UA servers "
                       "do); leave opc_events empty"))
      << log_.dump();
  log_.clear();
  EXPECT_TRUE(load("opc.da://localhost/OstrevoV2.1.0", "opc_events =\n")) << log_.dump();
  EXPECT_FALSE(config_.acquisition.events.enabled());

  EXPECT_TRUE(load("opc.tcp://localhost:4840",
                   "opc_acquisition = read\nopc_events = i=2253\nopc_event_types = i=2782\n"))
      << log_.dump();
  EXPECT_EQ(config_.acquisition.events.notifiers, std::vector<std::string>{"i=2253"});
  EXPECT_EQ(config_.acquisition.events.types, std::vector<std::string>{"i=2782"});

  log_.clear();
  EXPECT_FALSE(load("opc.tcp://localhost:4840", "opc_event_fields = 2:\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_event_fields = 2:: invalid browse "
                       "path '2:': no name after '2:'"))
      << log_.dump();
}

TEST_F(AcquisitionAtLoad, StructureAndMetadataKeysAreTakenOrRefusedWithTheirValue) {
  EXPECT_TRUE(load("opc.tcp://localhost:4840", "opc_structures = raw\nopc_metadata = false\n"))
      << log_.dump();
  EXPECT_FALSE(config_.acquisition.decode_structures);
  EXPECT_FALSE(config_.acquisition.read_metadata);

  EXPECT_FALSE(load("opc.tcp://localhost:4840", "opc_structures = fields\n"));
  EXPECT_TRUE(log_.has("error",
                       "Error loading config: [Kestrane] opc_structures = fields: structures "
                       "must be decoded or raw"))
      << log_.dump();
  log_.clear();
  EXPECT_FALSE(load("opc.tcp://localhost:4840", "opc_metadata = maybe\n"));
  // Not a boolean word: the file's own words, with the line, the key and the value.
  ASSERT_TRUE(log_.has_prefix("error", "Error loading config: ")) << log_.dump();
  const std::string error = log_.records().back().message;
  EXPECT_NE(error.find("[Kestrane] opc_metadata"), std::string::npos) << error;
  EXPECT_NE(error.find("maybe"), std::string::npos) << error;
}

// ---- The tag list's own columns ----

std::vector<TagEntry> parse(std::string_view text) {
  std::vector<TagEntry> tags;
  parse_tag_csv(text, tags);
  return tags;
}

// What a subscribing collector says of the list; polling ignores the columns altogether.
std::string format_error(std::string_view text) {
  const auto tags = parse(text);
  quellin::AcquisitionOptions polling;
  EXPECT_NO_THROW(acquisition_for_tags(polling, tags));
  quellin::AcquisitionOptions subscribing;
  subscribing.mode = pyqar::Acquisition::subscribe;
  try {
    acquisition_for_tags(subscribing, tags);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(TagCsvMonitorColumns, NumbersAreReadAndEmptyOrMissingCellsStayUnset) {
  const auto tags = parse(
      "Deadband,FullTagName,Description,SamplingInterval\n"
      "0.5,A,first,0.1\n"
      " , B ,second, \n"
      "\"2\",C,third,0\n"
      "1e-3,D,fourth\n");  // too short for the last columns: the optional ones read as empty
  ASSERT_EQ(tags.size(), 4u);
  EXPECT_EQ(tags[0].deadband, 0.5);
  EXPECT_EQ(tags[0].sampling_interval, 0.1);
  EXPECT_FALSE(tags[1].deadband.has_value());
  EXPECT_FALSE(tags[1].sampling_interval.has_value());
  EXPECT_EQ(tags[2].deadband, 2.0);
  EXPECT_EQ(tags[2].sampling_interval, 0.0);
  EXPECT_EQ(tags[3].deadband, 1e-3);
  EXPECT_FALSE(tags[3].sampling_interval.has_value());
}

TEST(TagCsvMonitorColumns, ABadCellNamesItsLineAndColumn) {
  EXPECT_EQ(format_error("FullTagName,Description,SamplingInterval\nA,,1\nB,,-1\n"),
            "line 3, column 'SamplingInterval': '-1' is no number between 0 and 86400");
  EXPECT_EQ(format_error("FullTagName,Description,SamplingInterval\nA,,86401\n"),
            "line 2, column 'SamplingInterval': '86401' is no number between 0 and 86400");
  for (const char* cell : {"fast", "0.5%", "nan", "inf", "1 2", "0x10", "+1"}) {
    EXPECT_EQ(format_error(std::string("FullTagName,Description,Deadband\nA,,") + cell + "\n"),
              std::string("line 2, column 'Deadband': '") + cell + "' is no number of 0 or more")
        << cell;
  }
  // A row without a name is skipped before its cells are looked at.
  EXPECT_EQ(parse("FullTagName,Description,Deadband\n ,,junk\n").size(), 0u);
}

// ---- Both together ----

quellin::AcquisitionOptions subscribe(pyqar::DeadbandType type, double deadband) {
  quellin::AcquisitionOptions a;
  a.mode = pyqar::Acquisition::subscribe;
  a.monitor.sampling_interval_ms = 500.0;
  a.monitor.queue_size = 4;
  a.monitor.deadband_type = type;
  a.monitor.deadband = deadband;
  return a;
}

TagEntry tag(const std::string& name, std::optional<double> sampling,
             std::optional<double> deadband) {
  TagEntry entry{name, ""};
  entry.sampling_interval = sampling;
  entry.deadband = deadband;
  return entry;
}

TEST(TagMonitoring, OnlyTagsWithTheirOwnValuesGetSettingsAndKeepTheRest) {
  const auto a = acquisition_for_tags(
      subscribe(pyqar::DeadbandType::absolute, 1.0),
      {tag("plain", {}, {}), tag("fast", 0.05, {}), tag("loose", {}, 3.0), tag("exact", {}, 0.0)});
  ASSERT_EQ(a.tag_monitor.size(), 3u);
  const pyqar::MonitorSettings& fast = a.tag_monitor.at("fast");
  EXPECT_DOUBLE_EQ(fast.sampling_interval_ms, 50.0);
  EXPECT_EQ(fast.queue_size, 4u);
  EXPECT_EQ(fast.deadband_type, pyqar::DeadbandType::absolute);
  EXPECT_DOUBLE_EQ(fast.deadband, 1.0);
  EXPECT_DOUBLE_EQ(a.tag_monitor.at("loose").deadband, 3.0);
  EXPECT_DOUBLE_EQ(a.tag_monitor.at("loose").sampling_interval_ms, 500.0);
  // A deadband of 0 sends no filter at all.
  EXPECT_EQ(a.tag_monitor.at("exact").deadband_type, pyqar::DeadbandType::none);
  EXPECT_EQ(a.monitor, subscribe(pyqar::DeadbandType::absolute, 1.0).monitor);
}

TEST(TagMonitoring, AConfiguredZeroDeadbandFiltersNothingYetGivesTheTagsTheirType) {
  const auto a = acquisition_for_tags(subscribe(pyqar::DeadbandType::percent, 0.0),
                                      {tag("valve", {}, 5.0), tag("valve", {}, 7.0)});
  EXPECT_EQ(a.monitor.deadband_type, pyqar::DeadbandType::none);
  // The later row of a name listed twice counts.
  EXPECT_EQ(a.tag_monitor.at("valve").deadband_type, pyqar::DeadbandType::percent);
  EXPECT_DOUBLE_EQ(a.tag_monitor.at("valve").deadband, 7.0);
}

TEST(TagMonitoring, DeadbandsTheTypeCannotTakeNameTheTag) {
  const auto error = [](pyqar::DeadbandType type, double deadband) {
    try {
      acquisition_for_tags(subscribe(type, 0.0),
                           {tag("ok", {}, 0.0), tag("Boiler.T", {}, deadband)});
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error(pyqar::DeadbandType::percent, 150.0),
            "tag 'Boiler.T': Deadband 150 is above 100, and opc_deadband_type is percent");
  EXPECT_EQ(error(pyqar::DeadbandType::none, 0.5),
            "tag 'Boiler.T': Deadband 0.5 needs a deadband type, absolute or percent, and "
            "opc_deadband_type is none");
  EXPECT_EQ(error(pyqar::DeadbandType::absolute, 150.0), "no error");
}

TEST(TagMonitoring, PollingIgnoresTheColumns) {
  quellin::AcquisitionOptions read_mode = subscribe(pyqar::DeadbandType::none, 0.0);
  read_mode.mode = pyqar::Acquisition::read;
  // Not even a deadband the type could not take stops a polling start.
  EXPECT_TRUE(acquisition_for_tags(read_mode, {tag("a", 1.0, 5.0)}).tag_monitor.empty());
}

}  // namespace
}  // namespace kestrane_config
