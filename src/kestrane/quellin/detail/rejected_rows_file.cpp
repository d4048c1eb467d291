#include "rejected_rows_file.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "spool/posix_spool_env.h"

namespace quellin {

namespace {

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::tm utc_fields(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm fields{};
  gmtime_r(&t, &fields);
  return fields;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// The columns a row gained after the first four, each empty when the row has none.
std::string added_fields(const SpoolRow& row) {
  return fmt::format(",{},{},{}", row.text ? csv_field(*row.text) : std::string(),
                     row.status ? fmt::format("0x{:08X}", *row.status) : std::string(),
                     row.source_time_us ? utc_text(*row.source_time_us, UtcPrecision::kMicroseconds)
                                        : std::string());
}

std::string hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) out += fmt::format("{:02x}", static_cast<unsigned char>(c));
  return out;
}

// An event's line: marked as such, so that it cannot be taken for a row.
std::string event_line(const tidewell::EventRow& e) {
  return fmt::format("event,{},{},{},{},{},{}\n", utc_text(e.time_us, UtcPrecision::kMicroseconds),
                     csv_field(e.source_name), hex(e.event_id), e.severity, csv_field(e.message),
                     csv_field(e.fields_json));
}

}  // namespace

RejectedRowsFile::RejectedRowsFile(std::filesystem::path dir, std::shared_ptr<SpoolEnv> env)
    : dir_(std::move(dir)), env_(env ? std::move(env) : std::make_shared<PosixSpoolEnv>()) {}

bool RejectedRowsFile::append(const SpoolBatch& batch, const std::string& reason,
                              std::string& error) {
  const auto now_us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const std::tm day = utc_fields(floor_div(now_us, 1'000'000));
  const std::filesystem::path path =
      dir_ / fmt::format("rejected-{:04}-{:02}-{:02}.csv", day.tm_year + 1900, day.tm_mon + 1,
                         day.tm_mday);
  std::string one_line = reason;
  for (char& c : one_line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::string text = "# " + utc_text(now_us) + " " + one_line + "\n";
  const std::string batch_time = utc_text(batch.time_us);
  for (const SpoolRow& row : batch.rows) {
    const std::string when = row.time_us ? utc_text(*row.time_us) : batch_time;
    // A text row has no number: its value column stays empty.
    const std::string value = row.text ? std::string() : fmt::format("{}", row.value);
    text += fmt::format("{},{},{},{}{}\n", when, csv_field(row.tag), value, csv_field(row.quality),
                        added_fields(row));
  }
  for (const tidewell::EventRow& event : batch.events) text += event_line(event);
  try {
    if (!file_ || file_path_ != path) {
      file_.reset();
      file_ = env_->open_file(path, SpoolFile::Mode::kAppend);
      file_path_ = path;
      folder_synced_ = false;
    }
    file_->write_all(text);
    file_->datasync();
    // The folder entry of a file just created; once per open is enough.
    if (!folder_synced_) {
      env_->sync_folder(dir_);
      folder_synced_ = true;
    }
  } catch (const std::exception&) {
    file_.reset();
    error = "cannot append to " + path.string();
    return false;
  }
  return true;
}

}  // namespace quellin
