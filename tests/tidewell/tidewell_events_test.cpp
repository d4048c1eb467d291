// Events stored with their batch's rows, exactly once, and the newest event of each condition
// read back. Run against both drivers.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver_test.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::DriverTest;
using testing::Row;

constexpr std::int64_t kTime = 1709618828123457;  // 2024-03-05 06:07:08.123457 UTC
constexpr std::int64_t kSource = 3;

EventRow plain_event(std::string id, std::int64_t time_us = kTime) {
  EventRow event;
  event.time_us = time_us;
  event.receive_time_us = time_us + 1500;
  event.source_id = kSource;
  event.event_id = std::move(id);
  event.event_type = "i=2041";
  event.source_node = "i=2253";
  event.source_name = "Server";
  event.severity = 200;
  event.message = "Cycle done";
  event.fields_json = R"({"Message":"Cycle done","Severity":"200"})";
  return event;
}

EventRow condition_event(std::string condition, std::string id, std::int64_t time_us,
                         bool active = true) {
  EventRow event = plain_event(std::move(id), time_us);
  event.event_type = "i=9341";
  event.source_node = "ns=1;s=Boiler";
  event.source_name = "Boiler";
  event.severity = 800;
  event.message = "Level high";
  event.condition_id = std::move(condition);
  event.condition_name = "LevelAlarm";
  event.branch_id = "";
  event.retain = active;
  event.active = active;
  event.acked = false;
  event.confirmed = std::nullopt;
  return event;
}

TsdataRow number(std::int64_t tag_id, double value) {
  return {kTime, tag_id, value, {}, "Good", 0u, {}};
}

class WriteEvents : public DriverTest {
 protected:
  // Every column of every event in the order written: times in microseconds, the event id in
  // hexadecimal digits, Booleans as 0/1, fields as stored text.
  std::vector<Row> stored_events() {
    const std::string columns =
        sqlite() ? "time, receive_time, source_id, lower(hex(event_id)), event_type, source_node,"
                   " source_name, severity, message, condition_id, condition_name, branch_id,"
                   " retain, active, acked, confirmed, refresh, fields FROM events ORDER BY rowid"
                 : "(extract(epoch FROM time) * 1000000)::bigint,"
                   " (extract(epoch FROM receive_time) * 1000000)::bigint, source_id,"
                   " encode(event_id, 'hex'), event_type, source_node, source_name, severity,"
                   " message, condition_id, condition_name, branch_id, retain::int, active::int,"
                   " acked::int, confirmed::int, refresh::int, fields::text FROM events"
                   " ORDER BY time, event_id";
    return db_->query("SELECT " + columns);
  }

  std::vector<Row> count(const std::string& table) {
    return db_->query("SELECT count(*) FROM " + table);
  }
};

TEST_P(WriteEvents, BatchStoresRowsAndEventsOnceAndAReplayStoresNeither) {
  const std::vector<TsdataRow> rows = {number(1, 1.5), number(2, 2.5)};
  const std::vector<EventRow> events = {plain_event("a", kTime),
                                        condition_event("ns=1;s=Boiler.Level", "b", kTime + 1)};
  const auto first = write_rows_and_events(*conn_, {"console", 1}, rows, events);
  EXPECT_TRUE(first.success);
  EXPECT_FALSE(first.duplicate);
  EXPECT_EQ(first.count, 2u);
  EXPECT_EQ(first.event_count, 2u);

  const auto again = write_rows_and_events(*conn_, {"console", 1}, rows, events);
  EXPECT_TRUE(again.duplicate);
  EXPECT_EQ(again.count, 0u);
  EXPECT_EQ(again.event_count, 0u);
  // A replay that carries only events is recognised too.
  EXPECT_TRUE(write_rows_and_events(*conn_, {"console", 1}, {}, events).duplicate);
  EXPECT_EQ(count("tsdata"), (std::vector<Row>{{"2"}}));
  EXPECT_EQ(count("events"), (std::vector<Row>{{"2"}}));
  EXPECT_EQ(count("write_batches"), (std::vector<Row>{{"1"}}));

  // A batch of events alone, and one of rows alone, store what they carry.
  const auto events_only = write_rows_and_events(*conn_, {"console", 2}, {}, events);
  EXPECT_EQ(events_only.count, 0u);
  EXPECT_EQ(events_only.event_count, 2u);
  EXPECT_EQ(write_tsdata(*conn_, {"console", 3}, rows).event_count, 0u);
  EXPECT_EQ(count("tsdata"), (std::vector<Row>{{"4"}}));
  EXPECT_EQ(count("events"), (std::vector<Row>{{"4"}}));
}

TEST_P(WriteEvents, EveryColumnKeptAsGivenNullsIncluded) {
  EventRow bare = plain_event(std::string("\0\x01\xff\0", 4), kTime);
  bare.receive_time_us = std::nullopt;
  bare.fields_json = "{}";
  EventRow full = condition_event("ns=1;s=Boiler.Level", "", kTime + 10);
  full.refresh = true;
  full.confirmed = true;
  full.fields_json = R"({"ActiveState/Id":"true","Comment":"tab\there"})";
  const std::vector<EventRow> events = {bare, full};
  ASSERT_EQ(write_rows_and_events(*conn_, {"console", 1}, {}, events).event_count, 2u);

  const auto stored = stored_events();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0],
            (Row{std::to_string(kTime), std::nullopt, "3", "0001ff00", "i=2041", "i=2253", "Server",
                 "200", "Cycle done", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt, std::nullopt, std::nullopt, "0", "{}"}));
  // PostgreSQL keeps JSON in its own spelling: compare it through the database's reading.
  const std::string fields =
      sqlite() ? full.fields_json : R"({"Comment": "tab\there", "ActiveState/Id": "true"})";
  EXPECT_EQ(stored[1],
            (Row{std::to_string(kTime + 10), std::to_string(kTime + 1510), "3", "", "i=9341",
                 "ns=1;s=Boiler", "Boiler", "800", "Level high", "ns=1;s=Boiler.Level",
                 "LevelAlarm", "", "1", "1", "0", "1", "1", fields}));
}

TEST_P(WriteEvents, AnEventTheDatabaseCannotStoreLeavesTheWholeBatchUnstored) {
  const std::vector<TsdataRow> rows = {number(1, 1.5)};
  EventRow nul = plain_event("a");
  nul.message = std::string("bad\0text", 8);
  EventRow no_object = plain_event("b");
  no_object.fields_json = "[1, 2]";
  EventRow broken = plain_event("c");
  broken.fields_json = R"({"Message": )";
  EventRow too_early = plain_event("d", -210866803200000001);
  for (const EventRow& bad : {nul, no_object, broken, too_early}) {
    SCOPED_TRACE(bad.event_id);
    const std::vector<EventRow> events = {plain_event("ok"), bad};
    try {
      write_rows_and_events(*conn_, {"console", 1}, rows, events);
      ADD_FAILURE() << "stored";
    } catch (const RequestRejected& e) {
      EXPECT_NE(std::string(e.what()).find("event 2 of 2"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(count("tsdata"), (std::vector<Row>{{"0"}}));
  EXPECT_EQ(count("events"), (std::vector<Row>{{"0"}}));
  // The batch was not recorded, so written again as it should be, it is stored.
  const std::vector<EventRow> good = {plain_event("ok")};
  EXPECT_EQ(write_rows_and_events(*conn_, {"console", 1}, rows, good).event_count, 1u);
}

TEST_P(WriteEvents, LatestEventOfEachConditionOfASource) {
  const std::string level = "ns=1;s=Boiler.Level";
  const std::string pressure = "ns=1;s=Boiler.Pressure";
  const std::string id_zero("\0\0", 2);
  EventRow other_source = condition_event(level, "other", kTime + 900);
  other_source.source_id = kSource + 1;
  EventRow same_time_later_receipt = condition_event(pressure, id_zero, kTime + 50, false);
  same_time_later_receipt.receive_time_us = kTime + 9000;
  const std::vector<EventRow> first = {condition_event(level, "l1", kTime),
                                       condition_event(pressure, "p1", kTime + 50),
                                       plain_event("plain", kTime + 990), other_source};
  // Written in a later batch but older by its time: the newest stays the newest by time.
  const std::vector<EventRow> second = {condition_event(level, "l2", kTime + 100),
                                        condition_event(level, "l0", kTime - 100),
                                        same_time_later_receipt};
  ASSERT_EQ(write_rows_and_events(*conn_, {"console", 1}, {}, first).event_count, 4u);
  ASSERT_EQ(write_rows_and_events(*conn_, {"console", 2}, {}, second).event_count, 3u);

  const std::vector<ConditionEvent> all = {{level, "l2", kTime + 100},
                                           {pressure, id_zero, kTime + 50}};
  EXPECT_EQ(latest_condition_events(*conn_, kSource), all);
  const std::vector<std::string> wanted = {pressure, "ns=1;s=Unknown", std::string("x\0y", 3)};
  EXPECT_EQ(latest_condition_events(*conn_, kSource, wanted),
            (std::vector<ConditionEvent>{{pressure, id_zero, kTime + 50}}));
  EXPECT_EQ(latest_condition_events(*conn_, kSource + 1),
            (std::vector<ConditionEvent>{{level, "other", kTime + 900}}));
  EXPECT_TRUE(latest_condition_events(*conn_, kSource + 2).empty());
}

INSTANTIATE_TEST_SUITE_P(Drivers, WriteEvents, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
