#include "journel/log.h"

#include <cxxabi.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <typeinfo>

#include <spdlog/sinks/stdout_sinks.h>

#include "journel/log_format.h"
#include "journel/log_router.h"
#include "journel/logging_settings.h"
#include "journel/queued_delivery.h"
#include "journel/sequenced_daily_rotating_sink.h"

namespace journel {

namespace {

// The process-wide logger: module loggers, the router they share, and the configuration state.
struct LoggingState {
  LoggingState() { router->set_routes({{plain_stderr_sink()}, nullptr}); }

  static spdlog::sink_ptr plain_stderr_sink() {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    sink->set_formatter(make_file_formatter());
    return sink;
  }

  std::shared_ptr<spdlog::logger> logger_locked(std::string_view name) {
    auto it = loggers.find(name);
    if (it != loggers.end()) return it->second;
    auto logger = std::make_shared<spdlog::logger>(std::string(name), router);
    logger->set_level(level);
    loggers.emplace(std::string(name), logger);
    return logger;
  }

  std::mutex mutex;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;  // guarded by mutex
  const std::shared_ptr<LogRouter> router = std::make_shared<LogRouter>();
  spdlog::level::level_enum level = spdlog::level::debug;  // guarded by mutex
  std::shared_ptr<SequencedDailyRotatingSink> file_sink;   // guarded by mutex
  bool logging_ready = false;                              // _LOGGING_READY, guarded by mutex
  bool exit_hook_installed = false;
};

// Never destroyed: threads that are still running while the process exits may log, and must
// not meet a destroyed logger. Queued records are written by the exit hook instead.
LoggingState& state() {
  static LoggingState& instance = *new LoggingState();
  return instance;
}

void flush_at_exit() { shutdown_logging(); }

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(std::string_view name) {
  LoggingState& s = state();
  std::lock_guard lock(s.mutex);
  return s.logger_locked(name);
}

void log_exception(spdlog::logger& logger, std::string_view message, const std::exception& error) {
  const char* mangled = typeid(error).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  logger.error("{}\n{}: {}", message, status == 0 && demangled ? demangled.get() : mangled,
               error.what());
}

std::shared_ptr<spdlog::logger> setup_loguru_from_ini(const std::string& ini_path,
                                                      const std::string& section) {
  LoggingState& s = state();
  std::lock_guard lock(s.mutex);
  if (s.logging_ready) return s.logger_locked("journel");

  // Everything that can be wrong with the file is found before the logger changes.
  const LoggingSettings settings = read_logging_settings(ini_path, section);

  s.router->set_routes({});
  s.file_sink.reset();

  auto file_sink = std::make_shared<SequencedDailyRotatingSink>(
      settings.log_dir, settings.prefix, settings.max_bytes, settings.retention_days);
  file_sink->set_formatter(make_file_formatter());
  file_sink->set_level(settings.level);

  LogRouter::Routes routes;
  routes.queued = std::make_shared<QueuedDelivery>(std::vector<spdlog::sink_ptr>{file_sink});
  if (settings.console) {
    auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    console->set_formatter(make_console_formatter(isatty(STDERR_FILENO) == 1));
    console->set_level(settings.level);
    routes.direct.push_back(std::move(console));
  }
  s.router->set_routes(std::move(routes));
  s.file_sink = std::move(file_sink);

  s.level = settings.level;
  for (auto& [name, logger] : s.loggers) logger->set_level(settings.level);
  s.logging_ready = true;
  if (!s.exit_hook_installed) {
    s.exit_hook_installed = std::atexit(flush_at_exit) == 0;
  }
  return s.logger_locked("journel");
}

void shutdown_logging() {
  LoggingState& s = state();
  std::lock_guard lock(s.mutex);
  const auto current = s.router->routes();
  if (!current->queued) {
    for (const auto& sink : current->direct) sink->flush();
    return;
  }
  // Records logged from now on go to the file directly, so late ones are not lost.
  LogRouter::Routes direct_only{current->direct, nullptr};
  if (s.file_sink) direct_only.direct.push_back(s.file_sink);
  s.router->set_routes(std::move(direct_only));
}

bool _is_absolute_path(const std::string& p) { return std::filesystem::path(p).is_absolute(); }

std::string _resolve_log_dir(const std::string& raw_dir) {
  if (_is_absolute_path(raw_dir)) return raw_dir;
  return (std::filesystem::current_path() / raw_dir).string();
}

}  // namespace journel
