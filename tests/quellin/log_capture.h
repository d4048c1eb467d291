#pragma once
// LogCapture: records what the "quellin" logger writes while it exists, as "LEVEL message"
// lines, so tests can check the exact texts. Attach before any collector thread starts.

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "journel/log.h"

namespace quellin_test {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    static const char* const kNames[] = {"TRACE", "DEBUG",    "INFO", "WARNING",
                                         "ERROR", "CRITICAL", "OFF"};
    lines_.push_back(std::string(kNames[msg.level]) + " " +
                     std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines_;
};

class LogCapture {
 public:
  explicit LogCapture(const std::string& name = "quellin")
      : logger_(journel::get_logger(name)), sink_(std::make_shared<CaptureSink>()) {
    logger_->sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() { return sink_->lines(); }
  int count(const std::string& line) {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace quellin_test
