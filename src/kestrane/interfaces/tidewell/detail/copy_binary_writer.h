#pragma once
// CopyBinaryWriter: rows in the binary format of the server's COPY. Values travel as their
// bits, so NaN and infinities arrive unchanged, and text needs no escaping (tabs, newlines,
// backslashes and quotes are plain bytes). One writer per stream; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tidewell {

class CopyBinaryWriter {
 public:
  // Starts a stream: the signature and an empty header.
  CopyBinaryWriter();

  // A row of tsdata: (time, tag_id, value, quality), time in microseconds since 1970-01-01 UTC.
  void add_row(std::int64_t time_us, std::int64_t tag_id, double value, std::string_view quality);

  // A row of tsdata or tsdata_text from schema version 3 on: (time, tag_id, value, quality,
  // status, source_time), the value a double or a text; unset status and source time go as
  // NULL.
  void add_row(std::int64_t time_us, std::int64_t tag_id, double value, std::string_view quality,
               std::optional<std::uint32_t> status, std::optional<std::int64_t> source_time_us);
  void add_row(std::int64_t time_us, std::int64_t tag_id, std::string_view text,
               std::string_view quality, std::optional<std::uint32_t> status,
               std::optional<std::int64_t> source_time_us);

  // Room for `bytes` more, so that a stream of known size grows once.
  void reserve(std::size_t bytes);

  // A row of any table: start_row(n), then exactly n fields in the COPY column order.
  void start_row(std::uint16_t fields);
  void add_bigint(std::int64_t v);
  // A timestamptz: microseconds since 1970-01-01 UTC. Throws std::out_of_range for a time so
  // far in the past that the server's own epoch (2000-01-01) cannot express it.
  void add_timestamp(std::int64_t unix_us);
  void add_double(double v);
  void add_text(std::string_view text);
  // An integer (int4).
  void add_integer(std::int32_t v);
  void add_boolean(bool v);
  // A bytea: the bytes as they are, zero bytes included.
  void add_bytes(std::string_view bytes);
  // A jsonb: the JSON text, which the server checks.
  void add_jsonb(std::string_view json);
  void add_null();

  // Ends the stream and returns it; the writer is empty afterwards.
  std::string finish();

 private:
  void put16(std::uint16_t v);
  void put32(std::uint32_t v);
  void put64(std::uint64_t v);
  // status and source_time, the last two fields of a version 3 row.
  void add_status_and_source_time(std::optional<std::uint32_t> status,
                                  std::optional<std::int64_t> source_time_us);

  std::string out_;
};

}  // namespace tidewell
