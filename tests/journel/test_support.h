#pragma once
// Helpers shared by the journel tests: a temporary directory, file reading and running a
// program in a directory of its own.

#include <filesystem>
#include <string>
#include <vector>

namespace journel::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

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
