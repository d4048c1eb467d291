#pragma once
// SequencedDailyRotatingSink: the log file writer. One series of files per local calendar day,
// named "{prefix}-{MM}-{DD}.{seq:03d}.log"; the next sequence number once a file reaches
// `max_bytes`; files older than `retention_days` are deleted (at most one scan per 10 minutes).
// Owned by the logging setup; every entry point takes the sink's own re-entrant lock, so any
// thread may call it.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/sinks/base_sink.h>

namespace journel {

// File name of one file of a series; filled with fmt named arguments prefix, date and seq.
inline constexpr std::string_view NAME_PATTERN = "{prefix}-{date}.{seq:03d}.log";
// Date part of a series name (strftime): month and day of local time, no year.
inline constexpr std::string_view DATE_FMT = "%m-%d";
// Recognises the sink's own files. Groups: 1 prefix (greedy, so hyphens and points inside the
// prefix stay in it), 2 month, 3 day, 4 sequence (exactly three digits).
inline constexpr std::string_view FILENAME_REGEX = R"(^(.+)-(\d{2})-(\d{2})\.(\d{3})\.log$)";

class SequencedDailyRotatingSink final : public spdlog::sinks::base_sink<std::recursive_mutex> {
 public:
  // Local wall-clock time; tests inject their own to cross midnight and years.
  using LocalClock = std::function<std::chrono::local_seconds()>;
  static std::chrono::local_seconds system_local_now();

  // Creates `log_dir` (with parents) and opens the next file of today's series. Throws
  // std::filesystem::filesystem_error or std::system_error when either fails.
  SequencedDailyRotatingSink(std::string log_dir, std::string prefix, long long max_bytes,
                             long long retention_days, LocalClock now = system_local_now);
  ~SequencedDailyRotatingSink() override;

  SequencedDailyRotatingSink(const SequencedDailyRotatingSink&) = delete;
  SequencedDailyRotatingSink& operator=(const SequencedDailyRotatingSink&) = delete;

  // Closes the open file; errors are swallowed. A later record reopens the current file.
  void close();

  const std::string& log_dir() const { return log_dir_; }
  const std::string& prefix() const { return prefix_; }
  long long max_bytes() const { return max_bytes_; }
  long long retention_days() const { return retention_days_; }
  // Path of the file being written (taken under the lock).
  std::filesystem::path current_path();

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  using File = std::unique_ptr<std::FILE, FileCloser>;

  // Internal operations; the caller holds the lock.
  void write(std::string_view text);
  std::string date_string(std::chrono::local_seconds at) const;
  std::filesystem::path _build_path(const std::string& date_str, long long seq) const;
  std::vector<std::string> _today_files(const std::string& date_str) const;
  long long _init_seq_for_today() const;
  File _open_new_file(const std::string& date_str, long long seq);
  bool _should_rollover();
  void _rollover();
  void _new_day();
  void _cleanup_expired();

  const std::string log_dir_;
  const std::string prefix_;
  const long long max_bytes_;
  const long long retention_days_;
  const LocalClock now_;
  std::string _current_date;
  long long _seq = 1;
  File _file;
  std::filesystem::path _file_path;
  // Empty until the first cleanup, so that the first record runs it.
  std::optional<std::chrono::local_seconds> _last_cleanup;
};

}  // namespace journel
