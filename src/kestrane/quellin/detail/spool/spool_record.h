#pragma once
// The spool's record format: one batch of unwritten rows (and events) per record, and the functions
// that encode it, check it and find records in a segment's bytes. Pure functions over buffers; safe
// from any thread.
//
// A record is: magic, payload length, CRC-32 of the payload (three little-endian u32), then
// the payload: writer id (u16 length + bytes), seq (u64), time_us (i64), row count (u32), and
// the rows; every number little-endian. The magic's last byte is the record format's version;
// a spool reads every version, and writes version 2 for a batch without events (so that a
// build from before events still reads it) and version 3 for a batch with events:
//   1: per row the tag (u16 length + bytes), the value (f64 bits) and the quality (u8 length +
//      bytes).
//   2: per row the tag (u16 length + bytes), a flags byte saying which optional fields follow
//      (kSpoolRowText, kSpoolRowStatus, kSpoolRowSourceTime, kSpoolRowTime), the text (u32
//      length + bytes) when it has one else the value (f64 bits), the quality (u8 length +
//      bytes), then the status (u32), the source time (i64) and the row's time (i64), each
//      only when its flag is set.
//   3: after the row count an event count (u32); the rows as in version 2, then per event its
//      time (i64), a flags word (u16: kSpoolEvent*) saying which optional fields follow and
//      the values of the Booleans present, the receive time (i64, when flagged), the event
//      id, event type, source node and source name (u16 length + bytes each), the severity
//      (i32), the message (u32 length + bytes), the condition id, condition name and branch
//      id (u16 length + bytes each, when flagged), and the fields as JSON (u32 length +
//      bytes). The source id is not kept: the writer finds it again.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tidewell/types.h"

namespace quellin {

struct SpoolRow {
  std::string tag;                               // tag name as read
  double value = 0.0;                            // a number or Boolean; unused when text is set
  std::string quality;                           // "Good", "Bad", "Uncertain", ...
  std::optional<std::string> text{};             // a value stored as text
  std::optional<std::uint32_t> status{};         // the full status code, when known
  std::optional<std::int64_t> source_time_us{};  // as the server gave it
  std::optional<std::int64_t> time_us{};         // this row's own time; absent: the batch's
};

// One cycle's rows that could not be written, with the identity that lets the database skip
// a batch it already committed (writer id + sequence) and the time the cycle was read.
struct SpoolBatch {
  std::string writer_id;
  std::uint64_t seq = 0;
  std::int64_t time_us = 0;  // UTC microseconds since the epoch
  std::vector<SpoolRow> rows;
  // Events read with the rows (their source_id is the writer's to fill in).
  std::vector<tidewell::EventRow> events{};
};

// "KSP" and a format version, so a record start is easy to spot in a hex dump.
inline constexpr std::uint32_t kSpoolRecordMagicV1 = 0x0150534Bu;
// What encode writes for a batch without events.
inline constexpr std::uint32_t kSpoolRecordMagic = 0x0250534Bu;
inline constexpr std::uint8_t kSpoolRecordVersion = 2;
// What encode writes for a batch with events.
inline constexpr std::uint32_t kSpoolRecordMagicEvents = 0x0350534Bu;
inline constexpr std::uint8_t kSpoolRecordVersionEvents = 3;
// The flags byte of a version-2 row.
inline constexpr std::uint8_t kSpoolRowText = 0x01;
inline constexpr std::uint8_t kSpoolRowStatus = 0x02;
inline constexpr std::uint8_t kSpoolRowSourceTime = 0x04;
inline constexpr std::uint8_t kSpoolRowTime = 0x08;
// The flags word of a version-3 event: which optional fields follow, and the Booleans' values.
inline constexpr std::uint16_t kSpoolEventReceiveTime = 0x0001;
inline constexpr std::uint16_t kSpoolEventConditionId = 0x0002;
inline constexpr std::uint16_t kSpoolEventConditionName = 0x0004;
inline constexpr std::uint16_t kSpoolEventBranchId = 0x0008;
inline constexpr std::uint16_t kSpoolEventRetain = 0x0010;  // present; its value below
inline constexpr std::uint16_t kSpoolEventActive = 0x0020;
inline constexpr std::uint16_t kSpoolEventAcked = 0x0040;
inline constexpr std::uint16_t kSpoolEventConfirmed = 0x0080;
inline constexpr std::uint16_t kSpoolEventRetainTrue = 0x0100;
inline constexpr std::uint16_t kSpoolEventActiveTrue = 0x0200;
inline constexpr std::uint16_t kSpoolEventAckedTrue = 0x0400;
inline constexpr std::uint16_t kSpoolEventConfirmedTrue = 0x0800;
inline constexpr std::uint16_t kSpoolEventRefresh = 0x1000;
inline constexpr std::size_t kSpoolRecordHeaderBytes = 12;
// Enough of a payload for peek_spool_payload whatever the writer id's length.
inline constexpr std::size_t kSpoolPayloadPeekBytes = 2 + 0xFFFF + 8 + 8 + 4 + 4;

struct SpoolRecordHeader {
  std::uint32_t magic = 0;
  std::uint32_t length = 0;  // payload bytes
  std::uint32_t crc = 0;
};

// What bookkeeping needs from a record, read without building its rows.
struct SpoolRecordSummary {
  std::uint64_t rows = 0;
  std::int64_t time_us = 0;
  std::uint64_t events = 0;
};

// What the spool counts as waiting ("rows" in its bookkeeping and log lines): an event
// counts as one row.
inline std::uint64_t spool_entries(const SpoolRecordSummary& s) { return s.rows + s.events; }
inline std::uint64_t spool_entries(const SpoolBatch& b) { return b.rows.size() + b.events.size(); }

// The whole record, header included, ready for one write: version 2 without events, else
// version 3. Throws
// std::invalid_argument when a writer id, tag or event text kept with a u16 length is longer
// than 65,535 bytes, a quality longer than 255 bytes, or the payload would pass 4 GiB.
std::string encode_spool_record(const SpoolBatch& batch);

// Reads the header from the first kSpoolRecordHeaderBytes of `bytes` (which must hold them).
SpoolRecordHeader parse_spool_record_header(std::string_view bytes);
// The format version a record's magic names, or nullopt when it is no record magic (or one of
// a version this build does not know).
std::optional<std::uint8_t> spool_record_version(std::uint32_t magic);
std::uint32_t spool_payload_crc(std::string_view payload);

// Every length is checked before it is used; nullopt when the payload is malformed or has bytes
// left over after the last row (or event), or `version` is unknown (the default: a record
// without events). Rows of version 1 come back
// with only tag, value and quality; events (version 3) with source_id 0.
std::optional<SpoolBatch> decode_spool_payload(std::string_view payload,
                                               std::uint8_t version = kSpoolRecordVersion);
// The same checks as decode_spool_payload, without building the rows.
std::optional<SpoolRecordSummary> summarize_spool_payload(
    std::string_view payload, std::uint8_t version = kSpoolRecordVersion);
// Reads only the fields before the rows, from the first bytes of a payload (at most
// kSpoolPayloadPeekBytes are needed); nullopt when they are short. Checks no CRC. Version 3
// adds the event count to those fields.
std::optional<SpoolRecordSummary> peek_spool_payload(std::string_view payload_prefix,
                                                     std::uint8_t version = kSpoolRecordVersion);

// The size of the valid record of any version (magic, length in bounds, CRC, well-formed
// payload) that starts at `offset` in `bytes`, or 0 when there is none; `summary` is filled
// when it is valid.
std::size_t valid_spool_record_at(std::string_view bytes, std::size_t offset,
                                  SpoolRecordSummary* summary = nullptr);
// The offset of the first valid record at or after `from`, or std::string_view::npos.
std::size_t find_spool_record(std::string_view bytes, std::size_t from);

// What a segment's bytes hold: the valid records, and the ranges skipped because no valid
// record starts there. A last range that ends at the end of the bytes is a torn tail or
// garbage after the last record.
struct SpoolScan {
  struct Range {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };
  std::uint64_t batches = 0;
  std::uint64_t rows = 0;      // rows and events (spool_entries)
  std::int64_t oldest_us = 0;  // meaningful when batches > 0
  std::int64_t newest_us = 0;
  std::vector<Range> corrupt;
  std::uint64_t good_end = 0;  // end of the last valid record, else base_offset
};
// Offsets in the result are `base_offset` plus positions in `bytes`.
SpoolScan scan_spool_records(std::string_view bytes, std::uint64_t base_offset = 0);

}  // namespace quellin
