#include "quellin/tag_metadata_job.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "journel/log.h"
#include "pyqar/rt_source.h"
#include "quellin/base_pyqar_collector_thread.h"
#include "tidewell/tidewell.h"

namespace quellin {

namespace {

// Tags per read_metadata call: small enough for progress and a prompt stop, large enough that
// the source's own batching stays full.
constexpr std::size_t kChunk = 5000;
constexpr double kProgressSeconds = 10.0;
constexpr double kFirstBackoffSeconds = 5.0;
constexpr double kLongestBackoffSeconds = 60.0;
// Server.ServerStatus.StartTime: changes when the server restarts.
constexpr const char* kStartTimeNode = "i=2257";

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool good(std::uint32_t status) { return (status >> 30) == 0; }

// "200000" as "200,000".
std::string grouped(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

// {"0":"Off","1":"Manual"}; nothing for a type that is no enumeration.
std::optional<std::string> enum_names_json(const std::vector<pyqar::EnumName>& names) {
  if (names.empty()) return std::nullopt;
  std::string out = "{";
  for (const pyqar::EnumName& name : names) {
    if (out.size() > 1) out += ',';
    out += '"' + std::to_string(name.value) + "\":";
    append_json_string(out, name.name);
  }
  out += '}';
  return out;
}

tidewell::TagMetadata row_of(std::int64_t tag_id, const pyqar::VariableMetadata& m,
                             std::int64_t time_us) {
  return {.tag_id = tag_id,
          .data_type = m.data_type,
          .unit = m.unit,
          .unit_id = m.unit_id,
          .eu_low = m.eu_low,
          .eu_high = m.eu_high,
          .access_level = m.access_level,
          .server_description = m.description,
          .enum_names = enum_names_json(m.enum_names),
          .metadata_time_us = time_us};
}

std::string shown(const std::optional<std::string>& text) {
  return text ? "'" + *text + "'" : "none";
}

template <typename T>
std::string shown(const std::optional<T>& value) {
  return value ? fmt::format("{}", *value) : "none";
}

template <typename T>
void note_change(std::string& out, const char* field, const std::optional<T>& before,
                 const std::optional<T>& after) {
  if (before == after) return;
  if (!out.empty()) out += ", ";
  out += fmt::format("{} {} -> {}", field, shown(before), shown(after));
}

std::string first_names(const std::vector<std::string>& names, std::size_t count) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  if (count > names.size()) out += " ...";
  return out;
}

}  // namespace

TagMetadataJob::TagMetadataJob(Options options)
    : options_(std::move(options)), log_(journel::get_logger("quellin")) {
  if (!options_.get_tags_func) throw std::invalid_argument("TagMetadataJob needs get_tags_func");
}

TagMetadataJob::~TagMetadataJob() { stop(); }

void TagMetadataJob::start() {
  if (thread_.joinable()) throw std::logic_error("TagMetadataJob started twice");
  thread_ = std::thread([this] { run(); });
}

void TagMetadataJob::first_cycle_stored() {
  {
    std::lock_guard lock(mutex_);
    go_ = true;
  }
  wake_.notify_all();
}

void TagMetadataJob::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool TagMetadataJob::wait_for(double seconds) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, std::chrono::duration<double>(std::max(seconds, 0.0)),
                 [this] { return stopping_.load(); });
  return !stopping_;
}

void TagMetadataJob::run() {
  {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return go_ || stopping_.load(); });
  }
  std::optional<pyqar::Value> start_time;
  bool read_due = true;
  double backoff = kFirstBackoffSeconds;
  while (!stopping_) {
    try {
      if (!source_) {
        open_source();
        const auto now_started = server_start_time();
        if (start_time && now_started && *now_started != *start_time) {
          log_->info("Tag metadata: the OPC server restarted; reading every tag's metadata again");
          read_due = true;
        }
        if (now_started) start_time = now_started;
        backoff = kFirstBackoffSeconds;
      }
      if (read_due) {
        if (!read_all()) break;
        read_due = false;
      } else if (!unstored_.empty()) {
        store();
      }
      double wait = options_.restart_check_seconds;
      if (!unstored_.empty()) wait = std::min(wait, db_retry_at_ - steady_seconds());
      if (!wait_for(wait)) break;
      const auto now_started = server_start_time();
      if (now_started && start_time && *now_started != *start_time) {
        log_->info("Tag metadata: the OPC server restarted; reading every tag's metadata again");
        read_due = true;
      }
      if (now_started) start_time = now_started;
    } catch (const std::logic_error& e) {
      // A source that cannot read metadata never will: asking again changes nothing. Collection
      // goes on as before, so no warning.
      log_->info("Tag metadata: not read: {}", e.what());
      break;
    } catch (const std::exception& e) {
      log_->warn("Tag metadata: OPC server connection failed: {}; trying again in {:.0f} s",
                 e.what(), backoff);
      close_source();
      if (!wait_for(backoff)) break;
      backoff = std::min(backoff * 2.0, kLongestBackoffSeconds);
    }
  }
  close_source();
  conn_.reset();
}

void TagMetadataJob::open_source() {
  qar_ = std::make_unique<pyqar::QARLibrary>(options_.source_factory);
  const pyqar::SourceHandle handle =
      qar_->create_source({.source_type = static_cast<int>(pyqar::QAR_RTSOURCE::QAR_RTSOURCE_UA),
                           .source_schema = options_.server_schema,
                           .sample_timespan_msec = 1000,
                           .source_flag = 0,
                           .ua_security = options_.ua_security,
                           .ua_decode_structures = true});
  if (handle == pyqar::QAR_INVALID_HANDLE || !qar_->is_source_valid(handle)) {
    qar_.reset();
    throw std::runtime_error("cannot connect to " + options_.server_schema);
  }
  source_ = handle;
  if (!qar_->source(handle).can_read_metadata()) {
    throw std::logic_error("the OPC source of " + options_.server_schema +
                           " cannot read what the server says of its variables");
  }
}

void TagMetadataJob::close_source() {
  try {
    if (qar_) qar_->destroy();
  } catch (...) {
    // Closing a broken session fails as often as not; it is gone either way.
  }
  source_.reset();
  qar_.reset();
}

std::optional<pyqar::Value> TagMetadataJob::server_start_time() {
  if (!source_) return std::nullopt;
  pyqar::RtSource& source = qar_->source(*source_);
  std::vector<pyqar::ValueObject> values =
      source.read({BasePyQARCollectorThread::ua_tag_descriptor(kStartTimeNode)});
  if (!source.valid()) throw std::runtime_error("the OPC session was lost");
  if (values.size() != 1 || !good(values[0].status)) return std::nullopt;
  return std::move(values[0].value);
}

bool TagMetadataJob::read_all() {
  const double started = steady_seconds();
  double last_progress = started;
  const std::vector<std::string> tags = options_.get_tags_func();
  tags_listed_ = tags.size();
  pyqar::RtSource& source = qar_->source(*source_);
  std::size_t read = 0;
  std::size_t unreadable = 0;
  std::vector<std::string> first_unreadable;
  for (std::size_t at = 0; at < tags.size(); at += kChunk) {
    if (stopping_) return false;
    const std::size_t end = std::min(tags.size(), at + kChunk);
    std::vector<pyqar::TagDescriptor> chunk;
    chunk.reserve(end - at);
    for (std::size_t i = at; i < end; ++i) {
      chunk.push_back(BasePyQARCollectorThread::ua_tag_descriptor(tags[i]));
    }
    std::vector<pyqar::VariableMetadata> results = source.read_metadata(chunk);
    if (results.size() != chunk.size()) {
      throw std::runtime_error("the OPC source gave " + std::to_string(results.size()) +
                               " metadata results for " + std::to_string(chunk.size()) + " tags");
    }
    const std::int64_t time_us = now_us();
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (good(results[i].status)) {
        ++read;
        unstored_[tags[at + i]] = {std::move(results[i]), time_us};
      } else {
        ++unreadable;
        if (first_unreadable.size() < 3) first_unreadable.push_back(tags[at + i]);
      }
    }
    store();
    if (end < tags.size() && steady_seconds() - last_progress >= kProgressSeconds) {
      last_progress = steady_seconds();
      log_->info("Tag metadata: read {} of {} tags", grouped(end), grouped(tags.size()));
    }
  }
  if (unreadable > 0) {
    log_->warn("Metadata of {} tags could not be read (first: {})", unreadable,
               first_names(first_unreadable, unreadable));
  }
  log_->info("Tag metadata read for {} of {} tags in {:.1f} s", read, tags.size(),
             steady_seconds() - started);
  return true;
}

bool TagMetadataJob::store() {
  if (unstored_.empty()) return true;
  if (db_failing_ && steady_seconds() < db_retry_at_) return false;
  try {
    if (!conn_) conn_ = tidewell::connect_with(options_.tsdb_connect, options_.tsdb_cfg);
    if (!conn_) throw tidewell::DatabaseError("the TSDB cannot be reached");
    std::vector<std::string> unknown;
    for (const auto& [tag, unused] : unstored_) {
      if (!options_.tag_ids.contains(tag)) unknown.push_back(tag);
    }
    if (!unknown.empty()) {
      for (auto& [tag, id] : tidewell::get_tag_ids(*conn_, unknown)) {
        options_.tag_ids.emplace(tag, id);
      }
    }
    std::vector<tidewell::TagMetadata> rows;
    std::unordered_map<std::int64_t, const std::string*> tag_of;
    std::vector<std::string> missing;
    std::size_t missing_count = 0;
    for (const auto& [tag, item] : unstored_) {
      const auto id = options_.tag_ids.find(tag);
      if (id == options_.tag_ids.end()) {
        if (++missing_count <= 3) missing.push_back(tag);
        continue;
      }
      rows.push_back(row_of(id->second, item.metadata, item.time_us));
      tag_of.emplace(id->second, &tag);
    }
    const tidewell::TagMetadataUpdate update = tidewell::update_tag_metadata(*conn_, rows);
    for (const tidewell::TagMetadataChange& change : update.changed) {
      if (!change.first_read()) log_change(*tag_of.at(change.after.tag_id), change);
    }
    for (const std::int64_t id : update.unknown_tags) {
      if (++missing_count <= 3) missing.push_back(*tag_of.at(id));
      tag_of.erase(id);
    }
    if (missing_count > 0) {
      log_->warn("Tag metadata of {} tags not stored: not in the database (first: {})",
                 missing_count, first_names(missing, missing_count));
    }
    std::vector<std::pair<std::string, pyqar::VariableMetadata>> told;
    for (const auto& [id, tag] : tag_of) {
      stored_.insert(*tag);
      if (options_.metadata_notify) told.emplace_back(*tag, unstored_.at(*tag).metadata);
    }
    if (db_failing_) log_->info("Tag metadata: the database takes it again");
    db_failing_ = false;
    unstored_.clear();
    if (options_.metadata_notify && !told.empty()) options_.metadata_notify(told);
    if (options_.metrics) {
      options_.metrics->tags_with_metadata(std::min(stored_.size(), tags_listed_), tags_listed_);
    }
    return true;
  } catch (const tidewell::RequestRejected& e) {
    // The database will refuse the same list again: dropped with its reason, never retried.
    log_->error("Tag metadata of {} tags not stored: {}", unstored_.size(), e.what());
    unstored_.clear();
    return true;
  } catch (const std::exception& e) {
    db_backoff_ =
        db_failing_ ? std::min(db_backoff_ * 2.0, kLongestBackoffSeconds) : kFirstBackoffSeconds;
    if (!db_failing_) {
      log_->warn("Tag metadata: the database failed: {}; {} tags wait to be stored", e.what(),
                 unstored_.size());
    }
    db_failing_ = true;
    db_retry_at_ = steady_seconds() + db_backoff_;
    conn_.reset();
    return false;
  }
}

void TagMetadataJob::log_change(const std::string& tag,
                                const tidewell::TagMetadataChange& change) const {
  const tidewell::TagMetadata& b = change.before;
  const tidewell::TagMetadata& a = change.after;
  std::string fields;
  note_change(fields, "data_type", b.data_type, a.data_type);
  note_change(fields, "unit", b.unit, a.unit);
  note_change(fields, "unit_id", b.unit_id, a.unit_id);
  note_change(fields, "eu_low", b.eu_low, a.eu_low);
  note_change(fields, "eu_high", b.eu_high, a.eu_high);
  note_change(fields, "access_level", b.access_level, a.access_level);
  note_change(fields, "description", b.server_description, a.server_description);
  note_change(fields, "enum_names", b.enum_names, a.enum_names);
  log_->info("Tag '{}' metadata changed: {}", tag, fields);
}

}  // namespace quellin
