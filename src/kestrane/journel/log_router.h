#pragma once
// LogRouter: the one sink every module logger writes to. It passes each record straight to the
// direct sinks (the console, written by the logging thread) and to the queued delivery (the
// file, written by the worker). The logging setup swaps the routes while loggers stay in use.
// Shared by all module loggers; any thread may call.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/sink.h>

#include "journel/queued_delivery.h"

namespace journel {

class LogRouter final : public spdlog::sinks::sink {
 public:
  struct Routes {
    std::vector<spdlog::sink_ptr> direct;
    std::shared_ptr<QueuedDelivery> queued;
  };

  void set_routes(Routes routes);
  std::shared_ptr<const Routes> routes() const;

  void log(const spdlog::details::log_msg& msg) override;
  void flush() override;
  // The routed sinks keep their own formats.
  void set_pattern(const std::string& pattern) override;
  void set_formatter(std::unique_ptr<spdlog::formatter> sink_formatter) override;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Routes> routes_ = std::make_shared<const Routes>();  // guarded by mutex_
};

}  // namespace journel
