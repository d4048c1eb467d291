#pragma once
// The console's command line. Without options the program reads config.ini from its base
// directory; `--config FILE` names the configuration file instead, and the file's folder then
// takes the base directory's place.

#include <filesystem>
#include <optional>
#include <string>

namespace kestrane_console {

struct ConsoleOptions {
  std::optional<std::filesystem::path> config_file;  // as given, not made absolute
  bool help = false;
  // Empty when the command line is usable; else one line naming the argument and the problem.
  std::string error;

  // Reads argv[1..argc-1]: `--config FILE`, `--config=FILE`, `-h`/`--help`. A FILE that does
  // not exist or is a folder is an error here, before anything is started.
  static ConsoleOptions parse(int argc, const char* const* argv);
  // The usage text, for --help and after an error.
  static std::string usage();
};

}  // namespace kestrane_console
