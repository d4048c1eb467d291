#include "log_capture.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <sstream>

#include <spdlog/sinks/base_sink.h>

#include "journel/log.h"

namespace kestrane_test {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogRecord> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const auto name = spdlog::level::to_string_view(msg.level);
    std::string level(name.data(), name.size());
    if (level == "warn") level = "warning";
    records_.push_back({level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<LogRecord> records_;
};

LogCapture::LogCapture()
    : sink_(std::make_shared<Sink>()), logger_(std::make_shared<spdlog::logger>("test", sink_)) {
  logger_->set_level(spdlog::level::trace);
}

LogCapture::LogCapture(const std::string& name)
    : sink_(std::make_shared<Sink>()), logger_(journel::get_logger(name)), attached_(true) {
  logger_->sinks().push_back(sink_);
}

LogCapture::~LogCapture() {
  if (!attached_) return;
  auto& sinks = logger_->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

std::vector<LogRecord> LogCapture::records() const { return sink_->records(); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> lines;
  for (const LogRecord& r : records()) {
    std::string level = r.level;
    std::transform(level.begin(), level.end(), level.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    lines.push_back(level + " " + r.message);
  }
  return lines;
}

int LogCapture::count(const std::string& line) const {
  const std::vector<std::string> all = lines();
  return static_cast<int>(std::count(all.begin(), all.end(), line));
}

bool LogCapture::has(std::string_view level, std::string_view message) const {
  const std::vector<LogRecord> all = records();
  return std::any_of(all.begin(), all.end(),
                     [&](const LogRecord& r) { return r.level == level && r.message == message; });
}

bool LogCapture::has_prefix(std::string_view level, std::string_view prefix) const {
  const std::vector<LogRecord> all = records();
  return std::any_of(all.begin(), all.end(), [&](const LogRecord& r) {
    return r.level == level && r.message.rfind(prefix, 0) == 0;
  });
}

std::string LogCapture::dump() const {
  std::ostringstream out;
  for (const LogRecord& r : records()) out << r.level << " " << r.message << "\n";
  return out.str();
}

void LogCapture::clear() { sink_->clear(); }

}  // namespace kestrane_test
