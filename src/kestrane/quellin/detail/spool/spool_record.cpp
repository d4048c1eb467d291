#include "spool/spool_record.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace quellin {
namespace {

// The collector never produces names or qualities this long; a longer one is a caller's bug,
// refused here rather than cut short on disk.
constexpr std::size_t kMaxShortText = 0xFFFF;
constexpr std::size_t kMaxQualityText = 0xFF;
// The smallest row of each version: tag length, value and quality length of a row whose
// texts are empty (version 1); tag length, flags, text length and quality length (version 2).
constexpr std::size_t kMinRowBytesV1 = 2 + 8 + 1;
constexpr std::size_t kMinRowBytesV2 = 2 + 1 + 4 + 1;
constexpr std::uint8_t kKnownRowFlags =
    kSpoolRowText | kSpoolRowStatus | kSpoolRowSourceTime | kSpoolRowTime;
// The smallest event: time, flags, four u16 text lengths, severity, message and fields
// lengths.
constexpr std::size_t kMinEventBytes = 8 + 2 + 4 * 2 + 4 + 4 + 4;
constexpr std::uint16_t kKnownEventFlags = 0x1FFF;

// An optional Boolean of an event: its presence flag and the flag of its value.
struct EventBool {
  std::optional<bool> tidewell::EventRow::*field;
  std::uint16_t present;
  std::uint16_t truth;
};
constexpr EventBool kEventBools[] = {
    {&tidewell::EventRow::retain, kSpoolEventRetain, kSpoolEventRetainTrue},
    {&tidewell::EventRow::active, kSpoolEventActive, kSpoolEventActiveTrue},
    {&tidewell::EventRow::acked, kSpoolEventAcked, kSpoolEventAckedTrue},
    {&tidewell::EventRow::confirmed, kSpoolEventConfirmed, kSpoolEventConfirmedTrue}};

template <typename T>
T to_little_endian(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(v);
    std::reverse(bytes.begin(), bytes.end());
    return std::bit_cast<T>(bytes);
  }
  return v;
}

// Writes into a buffer sized beforehand, so encoding a large batch allocates once.
class PayloadWriter {
 public:
  explicit PayloadWriter(char* out) : out_(out) {}

  template <typename T>
  void put(T v) {
    const T le = to_little_endian(v);
    std::memcpy(out_, &le, sizeof le);
    out_ += sizeof le;
  }
  void put_text_u16(std::string_view s) {
    put(static_cast<std::uint16_t>(s.size()));
    put_bytes(s);
  }
  void put_text_u32(std::string_view s) {
    put(static_cast<std::uint32_t>(s.size()));
    put_bytes(s);
  }
  void put_text_u8(std::string_view s) {
    put(static_cast<std::uint8_t>(s.size()));
    put_bytes(s);
  }

 private:
  void put_bytes(std::string_view s) {
    if (!s.empty()) std::memcpy(out_, s.data(), s.size());
    out_ += s.size();
  }

  char* out_;
};

// Every read checks the bytes left first; after a failed read the reader stays failed.
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t left() const { return bytes_.size() - pos_; }

  template <typename T>
  T get() {
    T v{};
    if (!need(sizeof v)) return v;
    std::memcpy(&v, bytes_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return to_little_endian(v);
  }
  template <typename Length>
  std::string_view get_text() {
    const std::size_t n = get<Length>();
    if (!need(n)) return {};
    const std::string_view s = bytes_.substr(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  bool need(std::size_t n) {
    if (ok_ && n <= left()) return true;
    ok_ = false;
    return false;
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

struct PayloadHead {
  std::string_view writer_id;
  std::uint64_t seq = 0;
  std::int64_t time_us = 0;
  std::uint32_t rows = 0;
  std::uint32_t events = 0;
};

std::optional<PayloadHead> read_head(PayloadReader& in, std::uint8_t version) {
  PayloadHead head;
  head.writer_id = in.get_text<std::uint16_t>();
  head.seq = in.get<std::uint64_t>();
  head.time_us = in.get<std::int64_t>();
  head.rows = in.get<std::uint32_t>();
  if (version >= 3) head.events = in.get<std::uint32_t>();
  if (!in.ok()) return std::nullopt;
  return head;
}

// One row as read from a payload; the texts point into it.
struct RowView {
  std::string_view tag;
  double value = 0.0;
  std::string_view quality;
  std::uint8_t flags = 0;
  std::string_view text;
  std::uint32_t status = 0;
  std::int64_t source_time_us = 0;
  std::int64_t time_us = 0;
};

std::size_t min_row_bytes(std::uint8_t version) {
  return version == 1 ? kMinRowBytesV1 : kMinRowBytesV2;
}

// Each reader sets every field its row's flags name (and the value), so one RowView serves a
// whole payload without being cleared between rows.
[[gnu::always_inline]] inline bool read_row_v1(PayloadReader& in, RowView& row) {
  row.tag = in.get_text<std::uint16_t>();
  row.value = in.get<double>();
  row.quality = in.get_text<std::uint8_t>();
  return in.ok();
}

[[gnu::always_inline]] inline bool read_row_v2(PayloadReader& in, RowView& row) {
  row.tag = in.get_text<std::uint16_t>();
  row.flags = in.get<std::uint8_t>();
  // A flag this version does not define means the bytes are not what they seem.
  if ((row.flags & ~kKnownRowFlags) != 0) return false;
  if ((row.flags & kSpoolRowText) != 0) {
    row.text = in.get_text<std::uint32_t>();
    row.value = 0.0;
  } else {
    row.value = in.get<double>();
  }
  row.quality = in.get_text<std::uint8_t>();
  if ((row.flags & kSpoolRowStatus) != 0) row.status = in.get<std::uint32_t>();
  if ((row.flags & kSpoolRowSourceTime) != 0) row.source_time_us = in.get<std::int64_t>();
  if ((row.flags & kSpoolRowTime) != 0) row.time_us = in.get<std::int64_t>();
  return in.ok();
}

// The loop of read_rows for one version, chosen once per payload rather than per row.
template <std::uint8_t Version, typename RowFunc>
bool read_rows_of(PayloadReader& in, std::uint32_t count, RowFunc& row) {
  // A count the bytes cannot hold is refused before anything is reserved for it.
  if (count > in.left() / min_row_bytes(Version)) return false;
  RowView view;
  for (std::uint32_t i = 0; i < count; ++i) {
    if constexpr (Version == 1) {
      if (!read_row_v1(in, view)) return false;
    } else {
      if (!read_row_v2(in, view)) return false;
    }
    row(view);
  }
  return true;
}

// Calls `row` for each row; false when the rows are malformed or the version is unknown.
template <typename RowFunc>
bool read_rows(PayloadReader& in, std::uint32_t count, std::uint8_t version, RowFunc&& row) {
  if (version == 1) return read_rows_of<1>(in, count, row);
  if (version == 2 || version == 3) return read_rows_of<2>(in, count, row);
  return false;
}

// Reads one event into `event` (every field set, source_id left alone); false when malformed.
bool read_event(PayloadReader& in, tidewell::EventRow& event) {
  event.time_us = in.get<std::int64_t>();
  const auto flags = in.get<std::uint16_t>();
  if ((flags & ~kKnownEventFlags) != 0) return false;
  event.receive_time_us.reset();
  if ((flags & kSpoolEventReceiveTime) != 0) event.receive_time_us = in.get<std::int64_t>();
  event.event_id = in.get_text<std::uint16_t>();
  event.event_type = in.get_text<std::uint16_t>();
  event.source_node = in.get_text<std::uint16_t>();
  event.source_name = in.get_text<std::uint16_t>();
  event.severity = in.get<std::int32_t>();
  event.message = in.get_text<std::uint32_t>();
  const auto optional_text = [&](std::uint16_t flag) -> std::optional<std::string> {
    if ((flags & flag) == 0) return std::nullopt;
    return std::string(in.get_text<std::uint16_t>());
  };
  event.condition_id = optional_text(kSpoolEventConditionId);
  event.condition_name = optional_text(kSpoolEventConditionName);
  event.branch_id = optional_text(kSpoolEventBranchId);
  for (const EventBool& b : kEventBools) {
    event.*b.field =
        (flags & b.present) != 0 ? std::optional((flags & b.truth) != 0) : std::nullopt;
  }
  event.refresh = (flags & kSpoolEventRefresh) != 0;
  event.fields_json = in.get_text<std::uint32_t>();
  return in.ok();
}

// Calls `each` for each of `count` events; false when they are malformed.
template <typename EventFunc>
bool read_events(PayloadReader& in, std::uint32_t count, EventFunc&& each) {
  if (count > in.left() / kMinEventBytes) return false;
  tidewell::EventRow event;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!read_event(in, event)) return false;
    each(event);
  }
  return true;
}

std::uint16_t event_flags(const tidewell::EventRow& e) {
  std::uint16_t flags = 0;
  if (e.receive_time_us) flags |= kSpoolEventReceiveTime;
  if (e.condition_id) flags |= kSpoolEventConditionId;
  if (e.condition_name) flags |= kSpoolEventConditionName;
  if (e.branch_id) flags |= kSpoolEventBranchId;
  for (const EventBool& b : kEventBools) {
    if (const std::optional<bool>& v = e.*b.field) {
      flags |= b.present;
      if (*v) flags |= b.truth;
    }
  }
  if (e.refresh) flags |= kSpoolEventRefresh;
  return flags;
}

std::uint64_t event_bytes(const tidewell::EventRow& e) {
  std::uint64_t n = kMinEventBytes + e.event_id.size() + e.event_type.size() +
                    e.source_node.size() + e.source_name.size() + e.message.size() +
                    e.fields_json.size();
  if (e.receive_time_us) n += 8;
  if (e.condition_id) n += 2 + e.condition_id->size();
  if (e.condition_name) n += 2 + e.condition_name->size();
  if (e.branch_id) n += 2 + e.branch_id->size();
  return n;
}

std::uint8_t row_flags(const SpoolRow& row) {
  std::uint8_t flags = 0;
  if (row.text) flags |= kSpoolRowText;
  if (row.status) flags |= kSpoolRowStatus;
  if (row.source_time_us) flags |= kSpoolRowSourceTime;
  if (row.time_us) flags |= kSpoolRowTime;
  return flags;
}

std::uint64_t row_bytes(const SpoolRow& row) {
  std::uint64_t n = 2 + row.tag.size() + 1 + 1 + row.quality.size();
  n += row.text ? 4 + row.text->size() : 8;
  if (row.status) n += 4;
  if (row.source_time_us) n += 8;
  if (row.time_us) n += 8;
  return n;
}

void require_length(std::size_t size, std::size_t limit, const char* what) {
  if (size > limit) {
    throw std::invalid_argument(std::string("Spool: ") + what + " of " + std::to_string(size) +
                                " bytes is longer than " + std::to_string(limit));
  }
}

void require_event_lengths(const tidewell::EventRow& e) {
  require_length(e.event_id.size(), kMaxShortText, "event id");
  require_length(e.event_type.size(), kMaxShortText, "event type");
  require_length(e.source_node.size(), kMaxShortText, "event source node");
  require_length(e.source_name.size(), kMaxShortText, "event source name");
  if (e.condition_id) require_length(e.condition_id->size(), kMaxShortText, "condition id");
  if (e.condition_name) require_length(e.condition_name->size(), kMaxShortText, "condition name");
  if (e.branch_id) require_length(e.branch_id->size(), kMaxShortText, "branch id");
}

}  // namespace

std::string encode_spool_record(const SpoolBatch& batch) {
  require_length(batch.writer_id.size(), kMaxShortText, "writer id");
  if (batch.rows.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("Spool: a batch of " + std::to_string(batch.rows.size()) +
                                " rows does not fit one record");
  }
  if (batch.events.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("Spool: a batch of " + std::to_string(batch.events.size()) +
                                " events does not fit one record");
  }
  const bool with_events = !batch.events.empty();
  std::uint64_t payload_size = 2 + batch.writer_id.size() + 8 + 8 + 4 + (with_events ? 4 : 0);
  for (const SpoolRow& row : batch.rows) {
    require_length(row.tag.size(), kMaxShortText, "tag name");
    require_length(row.quality.size(), kMaxQualityText, "quality");
    payload_size += row_bytes(row);
  }
  for (const tidewell::EventRow& event : batch.events) {
    require_event_lengths(event);
    payload_size += event_bytes(event);
  }
  if (payload_size > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("Spool: a batch of " + std::to_string(payload_size) +
                                " bytes does not fit one record");
  }

  std::string record(kSpoolRecordHeaderBytes + payload_size, '\0');
  char* payload = record.data() + kSpoolRecordHeaderBytes;
  PayloadWriter out(payload);
  out.put_text_u16(batch.writer_id);
  out.put(batch.seq);
  out.put(batch.time_us);
  out.put(static_cast<std::uint32_t>(batch.rows.size()));
  if (with_events) out.put(static_cast<std::uint32_t>(batch.events.size()));
  for (const SpoolRow& row : batch.rows) {
    out.put_text_u16(row.tag);
    out.put(row_flags(row));
    if (row.text) {
      out.put_text_u32(*row.text);
    } else {
      out.put(row.value);
    }
    out.put_text_u8(row.quality);
    if (row.status) out.put(*row.status);
    if (row.source_time_us) out.put(*row.source_time_us);
    if (row.time_us) out.put(*row.time_us);
  }
  for (const tidewell::EventRow& e : batch.events) {
    out.put(e.time_us);
    out.put(event_flags(e));
    if (e.receive_time_us) out.put(*e.receive_time_us);
    out.put_text_u16(e.event_id);
    out.put_text_u16(e.event_type);
    out.put_text_u16(e.source_node);
    out.put_text_u16(e.source_name);
    out.put(static_cast<std::int32_t>(e.severity));
    out.put_text_u32(e.message);
    if (e.condition_id) out.put_text_u16(*e.condition_id);
    if (e.condition_name) out.put_text_u16(*e.condition_name);
    if (e.branch_id) out.put_text_u16(*e.branch_id);
    out.put_text_u32(e.fields_json);
  }

  PayloadWriter header(record.data());
  header.put(with_events ? kSpoolRecordMagicEvents : kSpoolRecordMagic);
  header.put(static_cast<std::uint32_t>(payload_size));
  header.put(spool_payload_crc({payload, static_cast<std::size_t>(payload_size)}));
  return record;
}

SpoolRecordHeader parse_spool_record_header(std::string_view bytes) {
  PayloadReader in(bytes.substr(0, kSpoolRecordHeaderBytes));
  SpoolRecordHeader header;
  header.magic = in.get<std::uint32_t>();
  header.length = in.get<std::uint32_t>();
  header.crc = in.get<std::uint32_t>();
  return header;
}

std::optional<std::uint8_t> spool_record_version(std::uint32_t magic) {
  if (magic == kSpoolRecordMagicV1) return 1;
  if (magic == kSpoolRecordMagicEvents) return kSpoolRecordVersionEvents;
  if (magic == kSpoolRecordMagic) return kSpoolRecordVersion;
  return std::nullopt;
}

std::uint32_t spool_payload_crc(std::string_view payload) {
  const auto* data = reinterpret_cast<const Bytef*>(payload.data());
  return static_cast<std::uint32_t>(crc32_z(crc32_z(0L, Z_NULL, 0), data, payload.size()));
}

std::optional<SpoolBatch> decode_spool_payload(std::string_view payload, std::uint8_t version) {
  if (version < 1 || version > kSpoolRecordVersionEvents) return std::nullopt;
  PayloadReader in(payload);
  const std::optional<PayloadHead> head = read_head(in, version);
  if (!head) return std::nullopt;
  SpoolBatch batch;
  batch.writer_id = std::string(head->writer_id);
  batch.seq = head->seq;
  batch.time_us = head->time_us;
  if (head->rows > in.left() / min_row_bytes(version)) return std::nullopt;
  batch.rows.reserve(head->rows);
  const bool ok = read_rows(in, head->rows, version, [&](const RowView& view) {
    // Built whole and moved in: cheaper than filling a default row's strings afterwards.
    batch.rows.push_back(SpoolRow{
        .tag = std::string(view.tag),
        .value = view.value,
        .quality = std::string(view.quality),
        .text = (view.flags & kSpoolRowText) != 0 ? std::optional<std::string>(view.text)
                                                  : std::nullopt,
        .status = (view.flags & kSpoolRowStatus) != 0 ? std::optional(view.status) : std::nullopt,
        .source_time_us = (view.flags & kSpoolRowSourceTime) != 0
                              ? std::optional(view.source_time_us)
                              : std::nullopt,
        .time_us = (view.flags & kSpoolRowTime) != 0 ? std::optional(view.time_us) : std::nullopt});
  });
  if (!ok || !read_events(in, head->events, [&](const tidewell::EventRow& event) {
        batch.events.push_back(event);
      })) {
    return std::nullopt;
  }
  if (in.left() != 0) return std::nullopt;
  return batch;
}

std::optional<SpoolRecordSummary> summarize_spool_payload(std::string_view payload,
                                                          std::uint8_t version) {
  if (version < 1 || version > kSpoolRecordVersionEvents) return std::nullopt;
  PayloadReader in(payload);
  const std::optional<PayloadHead> head = read_head(in, version);
  if (!head || !read_rows(in, head->rows, version, [](const RowView&) {}) ||
      !read_events(in, head->events, [](const tidewell::EventRow&) {}) || in.left() != 0) {
    return std::nullopt;
  }
  return SpoolRecordSummary{head->rows, head->time_us, head->events};
}

std::optional<SpoolRecordSummary> peek_spool_payload(std::string_view payload_prefix,
                                                     std::uint8_t version) {
  PayloadReader in(payload_prefix);
  const std::optional<PayloadHead> head = read_head(in, version);
  if (!head) return std::nullopt;
  return SpoolRecordSummary{head->rows, head->time_us, head->events};
}

std::size_t valid_spool_record_at(std::string_view bytes, std::size_t offset,
                                  SpoolRecordSummary* summary) {
  if (offset > bytes.size() || bytes.size() - offset < kSpoolRecordHeaderBytes) return 0;
  const SpoolRecordHeader header = parse_spool_record_header(bytes.substr(offset));
  const std::optional<std::uint8_t> version = spool_record_version(header.magic);
  if (!version) return 0;
  const std::size_t body = offset + kSpoolRecordHeaderBytes;
  if (header.length > bytes.size() - body) return 0;
  const std::string_view payload = bytes.substr(body, header.length);
  if (spool_payload_crc(payload) != header.crc) return 0;
  const std::optional<SpoolRecordSummary> parsed = summarize_spool_payload(payload, *version);
  if (!parsed) return 0;
  if (summary != nullptr) *summary = *parsed;
  return kSpoolRecordHeaderBytes + header.length;
}

std::size_t find_spool_record(std::string_view bytes, std::size_t from) {
  // Every version's magic starts with these three bytes; the fourth is the version.
  char magic[4];
  const std::uint32_t le = to_little_endian(kSpoolRecordMagic);
  std::memcpy(magic, &le, sizeof magic);
  const std::string_view needle(magic, 3);
  for (std::size_t at = bytes.find(needle, from); at != std::string_view::npos;
       at = bytes.find(needle, at + 1)) {
    if (valid_spool_record_at(bytes, at) != 0) return at;
  }
  return std::string_view::npos;
}

SpoolScan scan_spool_records(std::string_view bytes, std::uint64_t base_offset) {
  SpoolScan scan;
  scan.good_end = base_offset;
  std::size_t at = 0;
  while (at < bytes.size()) {
    SpoolRecordSummary summary;
    const std::size_t size = valid_spool_record_at(bytes, at, &summary);
    if (size == 0) {
      const std::size_t next = find_spool_record(bytes, at + 1);
      const std::size_t end = next == std::string_view::npos ? bytes.size() : next;
      scan.corrupt.push_back({base_offset + at, base_offset + end});
      at = end;
      continue;
    }
    if (scan.batches == 0) {
      scan.oldest_us = scan.newest_us = summary.time_us;
    } else {
      scan.oldest_us = std::min(scan.oldest_us, summary.time_us);
      scan.newest_us = std::max(scan.newest_us, summary.time_us);
    }
    ++scan.batches;
    scan.rows += spool_entries(summary);
    at += size;
    scan.good_end = base_offset + at;
  }
  return scan;
}

}  // namespace quellin
