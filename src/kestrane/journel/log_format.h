#pragma once
// Line formats of the log sinks: the file line "YYYY-MM-DD HH:MM:SS - name - LEVEL - message" and
// the same fields on the console, coloured when the console is a terminal. Level names print as
// DEBUG, INFO, WARNING, ERROR (and TRACE, CRITICAL). Stateless; any thread may call.

#include <memory>
#include <optional>
#include <string_view>

#include <spdlog/common.h>
#include <spdlog/pattern_formatter.h>

namespace journel {

// "%*": the level's name in upper case, WARNING rather than spdlog's own "warning".
class LevelNameFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm& tm_time,
              spdlog::memory_buf_t& dest) override;
  std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;
};

// "%&": the terminal colour of the record's level; the pattern resets it after the name.
class LevelColourFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm& tm_time,
              spdlog::memory_buf_t& dest) override;
  std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;
};

std::string_view level_name(spdlog::level::level_enum level);
// The level named by `name` (upper case: TRACE, DEBUG, INFO, WARNING, ERROR, CRITICAL).
std::optional<spdlog::level::level_enum> parse_level(std::string_view name);

std::unique_ptr<spdlog::formatter> make_file_formatter();
std::unique_ptr<spdlog::formatter> make_console_formatter(bool colour);

}  // namespace journel
