#include "KestraneConsole/console_options.h"

#include <string_view>
#include <system_error>
#include <utility>

namespace kestrane_console {

namespace {

constexpr std::string_view kConfigOption = "--config";

// Checks the file named by --config so that a typo is reported at once, not as a log file that
// never appears.
std::string config_file_problem(const std::filesystem::path& file) {
  if (file.empty()) return "--config: the file name is empty";
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    return "--config " + file.string() + ": no such file";
  }
  if (ec) return "--config " + file.string() + ": " + ec.message();
  if (std::filesystem::is_directory(status)) {
    return "--config " + file.string() + ": is a folder, not a configuration file";
  }
  return {};
}

}  // namespace

ConsoleOptions ConsoleOptions::parse(int argc, const char* const* argv) {
  ConsoleOptions options;
  // A refused command line carries nothing but its error.
  const auto refuse = [](std::string error) {
    ConsoleOptions refused;
    refused.error = std::move(error);
    return refused;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      continue;
    }
    std::optional<std::string> value;
    if (arg == kConfigOption) {
      if (i + 1 >= argc) return refuse("--config needs a file name");
      value = argv[++i];
    } else if (arg.starts_with(kConfigOption) && arg.size() > kConfigOption.size() &&
               arg[kConfigOption.size()] == '=') {
      value = std::string(arg.substr(kConfigOption.size() + 1));
    } else {
      return refuse("unknown argument '" + std::string(arg) + "'");
    }
    if (options.config_file) return refuse("--config given more than once");
    if (auto problem = config_file_problem(*value); !problem.empty()) return refuse(problem);
    options.config_file = std::filesystem::path(*value);
  }
  return options;
}

std::string ConsoleOptions::usage() {
  return "usage: KestraneConsole [--config FILE]\n"
         "  Without options, reads config.ini from the parent of the program's folder.\n"
         "  --config FILE  read FILE instead; its folder stands in for that folder.\n";
}

}  // namespace kestrane_console
