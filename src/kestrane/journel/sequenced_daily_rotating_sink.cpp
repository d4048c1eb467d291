#include "journel/sequenced_daily_rotating_sink.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <regex>
#include <system_error>
#include <utility>

#include <fmt/format.h>
// The compiled spdlog library carries base_sink only for its own mutex types.
#include <spdlog/sinks/base_sink-inl.h>

template class spdlog::sinks::base_sink<std::recursive_mutex>;

namespace journel {

namespace {

using namespace std::chrono;

// Retention beyond this cannot reach any file: a name's date always lies in this year or the last.
constexpr long long kMaxUsefulRetentionDays = 1000;
constexpr auto kCleanupInterval = minutes(10);

const std::regex& filename_regex() {
  static const std::regex compiled{std::string(FILENAME_REGEX)};
  return compiled;
}

int two_digits(const std::string& s) {
  int value = 0;
  std::from_chars(s.data(), s.data() + s.size(), value);
  return value;
}

}  // namespace

std::chrono::local_seconds SequencedDailyRotatingSink::system_local_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  const year_month_day date{year{tm.tm_year + 1900}, month{static_cast<unsigned>(tm.tm_mon + 1)},
                            day{static_cast<unsigned>(tm.tm_mday)}};
  return local_days{date} + hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec};
}

SequencedDailyRotatingSink::SequencedDailyRotatingSink(std::string log_dir, std::string prefix,
                                                       long long max_bytes,
                                                       long long retention_days, LocalClock now)
    : log_dir_(std::move(log_dir)),
      prefix_(std::move(prefix)),
      max_bytes_(max_bytes),
      retention_days_(retention_days),
      now_(std::move(now)) {
  std::filesystem::create_directories(log_dir_);
  _current_date = date_string(now_());
  _seq = _init_seq_for_today();
  _file = _open_new_file(_current_date, _seq);
}

SequencedDailyRotatingSink::~SequencedDailyRotatingSink() = default;

void SequencedDailyRotatingSink::close() {
  std::lock_guard lock(mutex_);
  _file.reset();
}

std::filesystem::path SequencedDailyRotatingSink::current_path() {
  std::lock_guard lock(mutex_);
  return _file_path;
}

void SequencedDailyRotatingSink::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t formatted;
  formatter_->format(msg, formatted);
  write(std::string_view(formatted.data(), formatted.size()));
}

void SequencedDailyRotatingSink::flush_() {
  if (_file) std::fflush(_file.get());
}

void SequencedDailyRotatingSink::write(std::string_view text) {
  if (date_string(now_()) != _current_date) _new_day();
  // After close() the record goes on in the current file rather than being lost.
  if (!_file) _file = _open_new_file(_current_date, _seq);
  if (std::fwrite(text.data(), 1, text.size(), _file.get()) != text.size()) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("cannot write log file '{}'", _file_path.string()));
  }
  if (_should_rollover()) _rollover();
  _cleanup_expired();
}

std::string SequencedDailyRotatingSink::date_string(std::chrono::local_seconds at) const {
  const year_month_day date{floor<days>(at)};
  std::tm tm{};
  tm.tm_year = static_cast<int>(date.year()) - 1900;
  tm.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  tm.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  char buffer[16];
  const std::string format(DATE_FMT);
  const std::size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &tm);
  return std::string(buffer, n);
}

std::filesystem::path SequencedDailyRotatingSink::_build_path(const std::string& date_str,
                                                              long long seq) const {
  const std::string name = fmt::format(fmt::runtime(NAME_PATTERN), fmt::arg("prefix", prefix_),
                                       fmt::arg("date", date_str), fmt::arg("seq", seq));
  return std::filesystem::path(log_dir_) / name;
}

std::vector<std::string> SequencedDailyRotatingSink::_today_files(
    const std::string& date_str) const {
  std::vector<std::string> names;
  std::smatch match;
  for (const auto& entry : std::filesystem::directory_iterator(log_dir_)) {
    const std::string name = entry.path().filename().string();
    if (!std::regex_match(name, match, filename_regex())) continue;
    if (match[1] != prefix_) continue;
    if (match[2].str() + "-" + match[3].str() != date_str) continue;
    names.push_back(name);
  }
  return names;
}

long long SequencedDailyRotatingSink::_init_seq_for_today() const {
  long long max_seq = 0;
  std::smatch match;
  for (const auto& name : _today_files(_current_date)) {
    if (!std::regex_match(name, match, filename_regex())) continue;
    const std::string seq_text = match[4].str();
    long long seq = 0;
    const auto [end, ec] = std::from_chars(seq_text.data(), seq_text.data() + seq_text.size(), seq);
    if (ec != std::errc{} || end != seq_text.data() + seq_text.size()) continue;
    max_seq = std::max(max_seq, seq);
  }
  return max_seq + 1;
}

SequencedDailyRotatingSink::File SequencedDailyRotatingSink::_open_new_file(
    const std::string& date_str, long long seq) {
  const std::filesystem::path path = _build_path(date_str, seq);
  // "e": the descriptor is not handed down to programs this process starts.
  File file(std::fopen(path.c_str(), "ae"));
  if (!file) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("cannot open log file '{}'", path.string()));
  }
  _file_path = path;
  return file;
}

bool SequencedDailyRotatingSink::_should_rollover() {
  if (std::fflush(_file.get()) != 0) return false;
  std::error_code ec;
  const auto size = std::filesystem::file_size(_file_path, ec);
  if (ec) return false;
  return static_cast<long long>(std::min<std::uintmax_t>(size, INT64_MAX)) >= max_bytes_;
}

void SequencedDailyRotatingSink::_rollover() {
  _file.reset();
  ++_seq;
  _file = _open_new_file(_current_date, _seq);
}

void SequencedDailyRotatingSink::_new_day() {
  _file.reset();
  _current_date = date_string(now_());
  _seq = _init_seq_for_today();
  _file = _open_new_file(_current_date, _seq);
}

void SequencedDailyRotatingSink::_cleanup_expired() {
  if (retention_days_ <= 0) return;
  const local_seconds now = now_();
  if (_last_cleanup && now - *_last_cleanup < kCleanupInterval) return;
  _last_cleanup = now;

  const local_days today = floor<days>(now);
  const year this_year = year_month_day{today}.year();
  const local_days cutoff = today - days{std::min(retention_days_, kMaxUsefulRetentionDays)};

  std::smatch match;
  for (const auto& entry : std::filesystem::directory_iterator(log_dir_)) {
    const std::string name = entry.path().filename().string();
    if (!std::regex_match(name, match, filename_regex()) || match[1] != prefix_) continue;
    const unsigned mm = static_cast<unsigned>(two_digits(match[2].str()));
    const unsigned dd = static_cast<unsigned>(two_digits(match[3].str()));
    year_month_day file_date{this_year, month{mm}, day{dd}};
    if (!file_date.ok()) continue;
    // Names carry no year: a December file seen in early January is last year's.
    if (local_days{file_date} > today && mm == 12) {
      file_date = year_month_day{this_year - years{1}, month{mm}, day{dd}};
    }
    if (local_days{file_date} <= cutoff) {
      std::error_code ignored;
      std::filesystem::remove(entry.path(), ignored);
    }
  }
}

}  // namespace journel
