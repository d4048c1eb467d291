#pragma once
// The process-wide logger: one asynchronous spdlog core (one worker thread, a queue that
// blocks rather than drops) whose records carry the name of the module that logged them.
// Every function here is safe to call from any thread once the program has started.

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/logger.h>

namespace journel {

// The logger for one module ("quellin", "journel", "KestraneConsole", "Kestrane", ...).
// Before setup_loguru_from_ini has run, records go to standard error in the file format.
std::shared_ptr<spdlog::logger> get_logger(std::string_view name);

// An "error with traceback": the message, then the exception's type and text.
void log_exception(spdlog::logger& logger, std::string_view message, const std::exception& error);

// Configures the logger once per process from the logging section of `ini_path` and returns the
// "journel" logger; later calls change nothing. Throws FileNotFoundError
// "无法读取配置文件：<ini_path>" when the file cannot be read, IniError on a syntax error or bad
// value, std::invalid_argument on an unknown level name (all three before the logger changes),
// and the sink's error when the log directory or first file cannot be made (the logger is then
// left without sinks).
std::shared_ptr<spdlog::logger> setup_loguru_from_ini(
    const std::string& ini_path = "config.ini", const std::string& section = "KestraneLogging");

// Writes every queued record and stops the worker; call before the process exits (it also runs
// at exit). Records logged afterwards are written to the file directly.
void shutdown_logging();

bool _is_absolute_path(const std::string& p);
std::string _resolve_log_dir(const std::string& raw_dir);

}  // namespace journel
