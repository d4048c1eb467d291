// Events in the spool: every field through a record and back, records without events still
// in the format older builds read, malformed event bytes refused, and a spool that holds both
// kinds of record counting and returning each.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "spool/spool.h"
#include "spool/spool_record.h"
#include "temp_dir.h"

namespace {

using quellin::SpoolBatch;
using tidewell::EventRow;

EventRow full_event() {
  return EventRow{.time_us = std::numeric_limits<std::int64_t>::min(),
                  .receive_time_us = 1704164645006123,
                  .source_id = 0,
                  .event_id = std::string("\0\xff\x01id", 5),
                  .event_type = "nsu=urn:plant;i=5001",
                  .source_node = "ns=2;s=Events.LevelAlarm",
                  .source_name = "温度, \"Level\"",
                  .severity = 1000,
                  .message = std::string(70'000, 'm'),
                  .condition_id = "ns=2;s=Events.LevelAlarm",
                  .condition_name = "",
                  .branch_id = "ns=1;g=09087e75-8e5e-499b-954f-f2a9603db28a",
                  .retain = true,
                  .active = false,
                  .acked = true,
                  .confirmed = false,
                  .refresh = true,
                  .fields_json = R"({"ActiveState/Id":"true","Comment":""})"};
}

void expect_same(const EventRow& a, const EventRow& b) {
  EXPECT_EQ(a.time_us, b.time_us);
  EXPECT_EQ(a.receive_time_us, b.receive_time_us);
  EXPECT_EQ(a.event_id, b.event_id);
  EXPECT_EQ(a.event_type, b.event_type);
  EXPECT_EQ(a.source_node, b.source_node);
  EXPECT_EQ(a.source_name, b.source_name);
  EXPECT_EQ(a.severity, b.severity);
  EXPECT_EQ(a.message, b.message);
  EXPECT_EQ(a.condition_id, b.condition_id);
  EXPECT_EQ(a.condition_name, b.condition_name);
  EXPECT_EQ(a.branch_id, b.branch_id);
  EXPECT_EQ(a.retain, b.retain);
  EXPECT_EQ(a.active, b.active);
  EXPECT_EQ(a.acked, b.acked);
  EXPECT_EQ(a.confirmed, b.confirmed);
  EXPECT_EQ(a.refresh, b.refresh);
  EXPECT_EQ(a.fields_json, b.fields_json);
}

// An event with only what `set` gives it.
template <typename Set>
EventRow event_with(Set set) {
  EventRow e;
  set(e);
  return e;
}

SpoolBatch batch_with_events() {
  SpoolBatch batch{.writer_id = "w", .seq = 9, .time_us = 77, .rows = {}};
  batch.rows.push_back({.tag = "a", .value = 1.5, .quality = "Good", .status = 0u});
  batch.rows.push_back({.tag = "b", .value = 0.0, .quality = "Good", .text = "x"});
  batch.events.push_back(full_event());
  // Nothing optional set, every Boolean of the condition fields unknown.
  batch.events.push_back(event_with([](EventRow& e) {
    e.time_us = 5;
    e.event_id = "e";
    e.severity = 1;
  }));
  EventRow other = full_event();
  other.retain = false;
  other.active = true;
  other.acked = std::nullopt;
  other.refresh = false;
  batch.events.push_back(other);
  return batch;
}

std::string_view payload_of(const std::string& record) {
  return std::string_view(record).substr(quellin::kSpoolRecordHeaderBytes);
}

TEST(SpoolRecordEvents, RoundTripEveryEventFieldBesideTheRows) {
  const SpoolBatch batch = batch_with_events();
  const std::string record = quellin::encode_spool_record(batch);
  const auto header = quellin::parse_spool_record_header(record);
  EXPECT_EQ(header.magic, quellin::kSpoolRecordMagicEvents);
  EXPECT_EQ(quellin::spool_record_version(header.magic), 3);

  const auto decoded = quellin::decode_spool_payload(payload_of(record), 3);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->rows.size(), 2u);
  EXPECT_EQ(decoded->rows[0].status, 0u);
  EXPECT_EQ(decoded->rows[1].text, "x");
  ASSERT_EQ(decoded->events.size(), batch.events.size());
  for (std::size_t i = 0; i < batch.events.size(); ++i) {
    SCOPED_TRACE(i);
    expect_same(decoded->events[i], batch.events[i]);
  }

  const auto summary = quellin::summarize_spool_payload(payload_of(record), 3);
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->rows, 2u);
  EXPECT_EQ(summary->events, 3u);
  EXPECT_EQ(quellin::spool_entries(*summary), 5u);
  const auto peeked =
      quellin::peek_spool_payload(payload_of(record).substr(0, 3 + 8 + 8 + 4 + 4), 3);
  ASSERT_TRUE(peeked.has_value());
  EXPECT_EQ(peeked->events, 3u);
  EXPECT_EQ(quellin::valid_spool_record_at(record, 0), record.size());
}

TEST(SpoolRecordEvents, ABatchWithoutEventsKeepsTheFormatOlderBuildsRead) {
  SpoolBatch batch = batch_with_events();
  batch.events.clear();
  const std::string record = quellin::encode_spool_record(batch);
  EXPECT_EQ(quellin::parse_spool_record_header(record).magic, quellin::kSpoolRecordMagic);
  const auto decoded = quellin::decode_spool_payload(payload_of(record), 2);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->events.empty());
  // Read as the other version, neither record is taken for what it is not.
  EXPECT_FALSE(quellin::decode_spool_payload(payload_of(record), 3).has_value());
  const std::string with_events = quellin::encode_spool_record(batch_with_events());
  EXPECT_FALSE(quellin::decode_spool_payload(payload_of(with_events), 2).has_value());
}

TEST(SpoolRecordEvents, CutPaddedOrUnknownEventBytesAreMalformed) {
  const std::string record = quellin::encode_spool_record(batch_with_events());
  const std::string_view payload = payload_of(record);
  for (std::size_t n = 0; n < payload.size(); n += (n < 400 ? 1 : 997)) {
    EXPECT_FALSE(quellin::decode_spool_payload(payload.substr(0, n), 3).has_value()) << n;
    EXPECT_FALSE(quellin::summarize_spool_payload(payload.substr(0, n), 3).has_value()) << n;
  }
  EXPECT_FALSE(quellin::decode_spool_payload(std::string(payload) + "x", 3).has_value());

  // A flag this version does not define, on the only event.
  SpoolBatch one{.writer_id = "w", .seq = 1, .time_us = 2, .rows = {}};
  one.events.push_back(event_with([](EventRow& e) {
    e.time_us = 5;
    e.event_id = "e";
  }));
  std::string bytes(payload_of(quellin::encode_spool_record(one)));
  const std::size_t flags_at = 3 + 8 + 8 + 4 + 4 + 8;
  ASSERT_TRUE(quellin::decode_spool_payload(bytes, 3).has_value());
  bytes[flags_at + 1] = '\x20';
  EXPECT_FALSE(quellin::decode_spool_payload(bytes, 3).has_value());
  // An event count the bytes cannot hold.
  bytes = std::string(payload_of(quellin::encode_spool_record(one)));
  bytes.replace(3 + 8 + 8 + 4, 4, "\xff\xff\xff\x0f");
  EXPECT_FALSE(quellin::decode_spool_payload(bytes, 3).has_value());
}

TEST(SpoolRecordEvents, RefusesEventTextsLongerThanTheirLengthFields) {
  SpoolBatch batch{.writer_id = "w", .seq = 1, .time_us = 2, .rows = {}};
  batch.events.push_back(
      event_with([](EventRow& e) { e.source_name = std::string(0x10000, 's'); }));
  EXPECT_THROW(quellin::encode_spool_record(batch), std::invalid_argument);
  batch.events[0] = event_with([](EventRow& e) { e.condition_name = std::string(0x10000, 'c'); });
  EXPECT_THROW(quellin::encode_spool_record(batch), std::invalid_argument);
  // The message and the fields have four length bytes.
  batch.events[0] = event_with([](EventRow& e) { e.message = std::string(0x10000, 'm'); });
  batch.events[0].fields_json = "{\"x\":\"" + std::string(0x10000, 'f') + "\"}";
  EXPECT_NO_THROW(quellin::encode_spool_record(batch));
}

TEST(SpoolRecordEvents, ASpoolOfBothKindsCountsEventsAsRowsAndReturnsEachBatchWhole) {
  kestrane_test::TempDir folder("spool-events-");
  SpoolBatch old_kind{.writer_id = "w", .seq = 1, .time_us = 10, .rows = {{"a", 1.0, "Good"}}};
  {
    quellin::Spool spool({.dir = folder.path(), .max_bytes = 1 << 20});
    spool.append(old_kind);
    spool.append(batch_with_events());
    EXPECT_EQ(spool.rows(), 1u + 5u);
  }
  {
    quellin::Spool spool({.dir = folder.path(), .max_bytes = 1 << 20});
    EXPECT_EQ(spool.rows(), 6u);
    const auto first = spool.front();
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->events.empty());
    EXPECT_EQ(first->rows.size(), 1u);
    spool.pop_front();
    EXPECT_EQ(spool.rows(), 5u);
    const auto second = spool.front();
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->events.size(), 3u);
    expect_same(second->events[0], full_event());
    spool.pop_front();
    EXPECT_EQ(spool.rows(), 0u);
    EXPECT_TRUE(spool.empty());
  }
  const quellin::SpoolScan scan = quellin::scan_spool_records(
      quellin::encode_spool_record(old_kind) + quellin::encode_spool_record(batch_with_events()));
  EXPECT_EQ(scan.batches, 2u);
  EXPECT_EQ(scan.rows, 6u);
  EXPECT_TRUE(scan.corrupt.empty());
}

}  // namespace
