// The spool's record codec: round trips, refused lengths, and malformed bytes read as malformed
// (never past their end), and finding records again after damage.

#include "spool/spool_record.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace {

using quellin::SpoolBatch;
using quellin::SpoolRow;

SpoolBatch awkward_batch() {
  SpoolBatch batch{
      .writer_id = "collector-α", .seq = 0xFFFFFFFFFFFFFFFFull, .time_us = -1, .rows = {}};
  batch.rows.push_back({"", 0.0, ""});
  batch.rows.push_back(
      {std::string("nul\0inside", 10), std::numeric_limits<double>::quiet_NaN(), "Bad"});
  batch.rows.push_back({"温度.传感器 1", std::numeric_limits<double>::infinity(), "Good"});
  batch.rows.push_back(
      {"'quoted', \"tag\"\n", -std::numeric_limits<double>::infinity(), "Uncertain"});
  batch.rows.push_back({std::string(0xFFFF, 't'), -0.0, std::string(0xFF, 'q')});
  batch.rows.push_back({"tiny", std::numeric_limits<double>::denorm_min(), "Good"});
  // Rows with each optional field, alone and together, and texts of every awkward kind.
  batch.rows.push_back({.tag = "text", .value = 0.0, .quality = "Good", .text = ""});
  batch.rows.push_back({.tag = "status", .value = 7.0, .quality = "Bad", .status = 0x808A0000u});
  batch.rows.push_back({.tag = "source",
                        .value = 8.0,
                        .quality = "Good",
                        .source_time_us = std::numeric_limits<std::int64_t>::min()});
  batch.rows.push_back({.tag = "time",
                        .value = 9.0,
                        .quality = "Good",
                        .time_us = std::numeric_limits<std::int64_t>::max()});
  batch.rows.push_back({.tag = "everything",
                        .value = 0.0,
                        .quality = "Uncertain",
                        .text = std::string("a,\"b\"\n\0ü", 9) + std::string(70'000, 'x'),
                        .status = 0x40A40000u,
                        .source_time_us = -5,
                        .time_us = 1704164645006123});
  batch.rows.push_back({.tag = "json",
                        .value = 0.0,
                        .quality = "Good",
                        .text = "[1.5,2.5,3.5]",
                        .status = 0u,
                        .source_time_us = 0,
                        .time_us = 0});
  return batch;
}

std::string_view payload_of(const std::string& record) {
  return std::string_view(record).substr(quellin::kSpoolRecordHeaderBytes);
}

TEST(SpoolRecordTest, RoundTripsEveryFieldBitForBit) {
  const SpoolBatch batch = awkward_batch();
  const std::string record = quellin::encode_spool_record(batch);

  const quellin::SpoolRecordHeader header = quellin::parse_spool_record_header(record);
  EXPECT_EQ(header.magic, quellin::kSpoolRecordMagic);
  EXPECT_EQ(header.length, record.size() - quellin::kSpoolRecordHeaderBytes);
  EXPECT_EQ(header.crc, quellin::spool_payload_crc(payload_of(record)));

  const auto decoded = quellin::decode_spool_payload(payload_of(record));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->writer_id, batch.writer_id);
  EXPECT_EQ(decoded->seq, batch.seq);
  EXPECT_EQ(decoded->time_us, batch.time_us);
  ASSERT_EQ(decoded->rows.size(), batch.rows.size());
  for (std::size_t i = 0; i < batch.rows.size(); ++i) {
    EXPECT_EQ(decoded->rows[i].tag, batch.rows[i].tag) << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(decoded->rows[i].value),
              std::bit_cast<std::uint64_t>(batch.rows[i].value))
        << i;
    EXPECT_EQ(decoded->rows[i].quality, batch.rows[i].quality) << i;
    EXPECT_EQ(decoded->rows[i].text, batch.rows[i].text) << i;
    EXPECT_EQ(decoded->rows[i].status, batch.rows[i].status) << i;
    EXPECT_EQ(decoded->rows[i].source_time_us, batch.rows[i].source_time_us) << i;
    EXPECT_EQ(decoded->rows[i].time_us, batch.rows[i].time_us) << i;
  }

  const auto summary = quellin::summarize_spool_payload(payload_of(record));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->rows, batch.rows.size());
  EXPECT_EQ(summary->time_us, -1);
}

TEST(SpoolRecordTest, LaysOutTheHeaderAndPayloadLittleEndian) {
  const SpoolBatch batch{.writer_id = "w", .seq = 2, .time_us = 3, .rows = {{"t", 1.0, "G"}}};
  const std::string record = quellin::encode_spool_record(batch);
  const std::string head = std::string("\x01\x00w", 3) + std::string("\x02\0\0\0\0\0\0\0", 8) +
                           std::string("\x03\0\0\0\0\0\0\0", 8) + std::string("\x01\0\0\0", 4);
  // Version 2: tag, flags (none), value, quality.
  EXPECT_EQ(record.substr(0, 8), std::string("KSP\x02\x25\0\0\0", 8));
  EXPECT_EQ(payload_of(record), head + std::string("\x01\x00t\x00", 4) +
                                    std::string("\0\0\0\0\0\0\xf0\x3f", 8) + std::string("\x01G"));

  // Every flag: the text instead of the value, then status, source time and the row's time.
  const SpoolBatch full{.writer_id = "w",
                        .seq = 2,
                        .time_us = 3,
                        .rows = {{.tag = "t",
                                  .value = 1.0,
                                  .quality = "G",
                                  .text = "hi",
                                  .status = 0x80AB0000u,
                                  .source_time_us = 4,
                                  .time_us = 5}}};
  EXPECT_EQ(payload_of(quellin::encode_spool_record(full)),
            head + std::string("\x01\x00t\x0f", 4) + std::string("\x02\0\0\0hi", 6) +
                std::string("\x01G") + std::string("\0\0\xab\x80", 4) +
                std::string("\x04\0\0\0\0\0\0\0", 8) + std::string("\x05\0\0\0\0\0\0\0", 8));
}

TEST(SpoolRecordTest, UnknownRowFlagsAndUnknownVersionsAreMalformed) {
  const SpoolBatch batch{.writer_id = "w", .seq = 2, .time_us = 3, .rows = {{"t", 1.0, "G"}}};
  std::string record = quellin::encode_spool_record(batch);
  std::string payload(payload_of(record));
  const std::size_t flags_at = 3 + 8 + 8 + 4 + 3;
  ASSERT_TRUE(quellin::decode_spool_payload(payload).has_value());
  payload[flags_at] = '\x10';
  EXPECT_FALSE(quellin::decode_spool_payload(payload).has_value());
  EXPECT_FALSE(quellin::summarize_spool_payload(payload).has_value());

  EXPECT_EQ(quellin::spool_record_version(0x0150534Bu), 1);
  EXPECT_EQ(quellin::spool_record_version(0x0250534Bu), 2);
  EXPECT_FALSE(quellin::spool_record_version(0x0450534Bu).has_value());
  EXPECT_FALSE(quellin::decode_spool_payload(payload_of(record), 3).has_value());
  // A record of a version this build does not know is no record: it is skipped, never misread.
  record[3] = '\x03';
  EXPECT_EQ(quellin::valid_spool_record_at(record, 0), 0u);
}

TEST(SpoolRecordTest, RefusesTextsLongerThanTheirLengthFields) {
  SpoolBatch batch{.writer_id = std::string(0x10000, 'w'), .seq = 0, .time_us = 0, .rows = {}};
  EXPECT_THROW(quellin::encode_spool_record(batch), std::invalid_argument);
  batch.writer_id = "w";
  batch.rows = {{std::string(0x10000, 't'), 1.0, "Good"}};
  EXPECT_THROW(quellin::encode_spool_record(batch), std::invalid_argument);
  batch.rows = {{"t", 1.0, std::string(0x100, 'q')}};
  EXPECT_THROW(quellin::encode_spool_record(batch), std::invalid_argument);
  // A text value's length has four bytes: a long one is no fault.
  batch.rows = {{.tag = "t", .value = 0.0, .quality = "Good", .text = std::string(0x10000, 'x')}};
  EXPECT_NO_THROW(quellin::encode_spool_record(batch));
}

TEST(SpoolRecordTest, EveryCutOrPaddedPayloadIsMalformed) {
  const std::string record = quellin::encode_spool_record(awkward_batch());
  const std::string_view payload = payload_of(record);
  for (std::size_t n = 0; n < payload.size(); n += (n < 64 ? 1 : 997)) {
    EXPECT_FALSE(quellin::decode_spool_payload(payload.substr(0, n)).has_value()) << n;
    EXPECT_FALSE(quellin::summarize_spool_payload(payload.substr(0, n)).has_value()) << n;
  }
  EXPECT_FALSE(quellin::decode_spool_payload(std::string(payload) + "x").has_value());
}

TEST(SpoolRecordTest, RowCountBeyondThePayloadIsRefusedBeforeAnythingIsReserved) {
  SpoolBatch batch{.writer_id = "w", .seq = 1, .time_us = 2, .rows = {{"t", 1.0, "Good"}}};
  std::string payload(payload_of(quellin::encode_spool_record(batch)));
  const std::size_t count_at = 3 + 8 + 8;
  payload.replace(count_at, 4, "\xff\xff\xff\xff");
  EXPECT_FALSE(quellin::decode_spool_payload(payload).has_value());
  EXPECT_FALSE(quellin::summarize_spool_payload(payload).has_value());
  // The header fields alone still peek fine: peeking reads nothing past them.
  const auto peeked = quellin::peek_spool_payload(payload.substr(0, count_at + 4));
  ASSERT_TRUE(peeked.has_value());
  EXPECT_EQ(peeked->rows, 0xFFFFFFFFu);
  EXPECT_FALSE(quellin::peek_spool_payload(payload.substr(0, count_at + 3)).has_value());
}

SpoolBatch numbered(std::uint64_t seq) {
  return {.writer_id = "w",
          .seq = seq,
          .time_us = static_cast<std::int64_t>(seq) * 10,
          .rows = {{"a", 1.0, "Good"}, {"b", 2.0, "Bad"}}};
}

TEST(SpoolRecordTest, ScanSkipsADamagedRecordAndReportsGarbageAtTheEnd) {
  const std::string one = quellin::encode_spool_record(numbered(1));
  std::string two = quellin::encode_spool_record(numbered(2));
  const std::string three = quellin::encode_spool_record(numbered(3));
  two[two.size() - 1] ^= 0x01;
  const std::string bytes = one + two + three + "trailing";

  const quellin::SpoolScan scan = quellin::scan_spool_records(bytes, 100);
  EXPECT_EQ(scan.batches, 2u);
  EXPECT_EQ(scan.rows, 4u);
  EXPECT_EQ(scan.oldest_us, 10);
  EXPECT_EQ(scan.newest_us, 30);
  ASSERT_EQ(scan.corrupt.size(), 2u);
  EXPECT_EQ(scan.corrupt[0].begin, 100 + one.size());
  EXPECT_EQ(scan.corrupt[0].end, 100 + one.size() + two.size());
  EXPECT_EQ(scan.corrupt[1].begin, 100 + bytes.size() - 8);
  EXPECT_EQ(scan.corrupt[1].end, 100 + bytes.size());
  EXPECT_EQ(scan.good_end, 100 + bytes.size() - 8);
}

TEST(SpoolRecordTest, AMagicInsideARecordIsNoRecordWithoutItsCrc) {
  SpoolBatch batch = numbered(1);
  // A tag that holds a whole header (magic, a small length, a wrong CRC) must not be taken for
  // a record when the scan searches forward.
  batch.rows[0].tag = std::string("KSP\x01\x04\0\0\0\0\0\0\0abcd", 16);
  const std::string record = quellin::encode_spool_record(batch);
  EXPECT_EQ(quellin::find_spool_record(record, 1), std::string_view::npos);
  EXPECT_EQ(quellin::find_spool_record(record, 0), 0u);
  EXPECT_EQ(quellin::valid_spool_record_at(record, 0), record.size());
  EXPECT_EQ(quellin::valid_spool_record_at(record.substr(0, record.size() - 1), 0), 0u);
}

TEST(SpoolRecordTest, EmptyBytesScanToNothing) {
  const quellin::SpoolScan scan = quellin::scan_spool_records("", 7);
  EXPECT_EQ(scan.batches, 0u);
  EXPECT_TRUE(scan.corrupt.empty());
  EXPECT_EQ(scan.good_end, 7u);
}

}  // namespace
