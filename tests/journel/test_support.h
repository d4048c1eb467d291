#pragma once
// Helpers shared by the journel tests: a temporary directory, file reading and running a
// program in a directory of its own.

#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace journel::test {

using kestrane_test::TempDir;

std::string read_text(const std::filesystem::path& path);
void write_text(const std::filesystem::path& path, const std::string& text);
// Names of the entries of `dir`, sorted.
std::vector<std::string> list_names(const std::filesystem::path& dir);
std::vector<std::string> split_lines(const std::string& text);

struct ProcessResult {
  int exit_code = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` with `cwd` as working directory; stdout and stderr are captured separately and
// are not terminals.
ProcessResult run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd);
// Runs `argv` on a pseudo-terminal (stdout and stderr both) and returns what it printed.
ProcessResult run_on_terminal(const std::vector<std::string>& argv,
                              const std::filesystem::path& cwd);

}  // namespace journel::test
