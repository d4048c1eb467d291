#include "journel/log_format.h"

#include <array>
#include <string>

namespace journel {

namespace {

struct LevelInfo {
  spdlog::level::level_enum level;
  std::string_view name;
  std::string_view colour;
};

constexpr std::array<LevelInfo, 6> kLevels{{
    {spdlog::level::trace, "TRACE", "\033[36m\033[1m"},
    {spdlog::level::debug, "DEBUG", "\033[34m\033[1m"},
    {spdlog::level::info, "INFO", "\033[1m"},
    {spdlog::level::warn, "WARNING", "\033[33m\033[1m"},
    {spdlog::level::err, "ERROR", "\033[31m\033[1m"},
    {spdlog::level::critical, "CRITICAL", "\033[41m\033[1m"},
}};

const LevelInfo* find(spdlog::level::level_enum level) {
  for (const auto& info : kLevels) {
    if (info.level == level) return &info;
  }
  return nullptr;
}

void append(spdlog::memory_buf_t& dest, std::string_view text) {
  dest.append(text.data(), text.data() + text.size());
}

constexpr const char* kFilePattern = "%Y-%m-%d %H:%M:%S - %n - %* - %v";
constexpr const char* kColourPattern =
    "\033[32m%Y-%m-%d %H:%M:%S\033[0m - \033[36m%n\033[0m - %&%*\033[0m - %v";

std::unique_ptr<spdlog::formatter> make_formatter(const char* pattern) {
  auto formatter = std::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<LevelNameFlag>('*');
  formatter->add_flag<LevelColourFlag>('&');
  formatter->set_pattern(pattern);
  return formatter;
}

}  // namespace

void LevelNameFlag::format(const spdlog::details::log_msg& msg, const std::tm&,
                           spdlog::memory_buf_t& dest) {
  append(dest, level_name(msg.level));
}

std::unique_ptr<spdlog::custom_flag_formatter> LevelNameFlag::clone() const {
  return std::make_unique<LevelNameFlag>();
}

void LevelColourFlag::format(const spdlog::details::log_msg& msg, const std::tm&,
                             spdlog::memory_buf_t& dest) {
  if (const LevelInfo* info = find(msg.level)) append(dest, info->colour);
}

std::unique_ptr<spdlog::custom_flag_formatter> LevelColourFlag::clone() const {
  return std::make_unique<LevelColourFlag>();
}

std::string_view level_name(spdlog::level::level_enum level) {
  const LevelInfo* info = find(level);
  return info ? info->name : std::string_view("OFF");
}

std::optional<spdlog::level::level_enum> parse_level(std::string_view name) {
  for (const auto& info : kLevels) {
    if (info.name == name) return info.level;
  }
  return std::nullopt;
}

std::unique_ptr<spdlog::formatter> make_file_formatter() { return make_formatter(kFilePattern); }

std::unique_ptr<spdlog::formatter> make_console_formatter(bool colour) {
  return make_formatter(colour ? kColourPattern : kFilePattern);
}

}  // namespace journel
