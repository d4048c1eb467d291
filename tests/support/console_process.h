#pragma once
// ConsoleProcess: the built KestraneConsole run as an operator would: installed as
// <base>/bin/KestraneConsole, started with <base> as its working directory and its output in
// <base>/output.txt, signalled, waited for and killed from outside. Owns the child it started
// (killed and reaped when this goes); used from the test's main thread only. Shared by the
// console's program tests and the tests that feed it what another tool wrote.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrane_test {

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// Copies the program `exe` to <base>/bin/KestraneConsole, unless a copy is there already.
void install_console(const std::filesystem::path& base, const std::filesystem::path& exe);

class ConsoleProcess {
 public:
  // Installs `exe` in `base` (install_console); several may share one installation.
  ConsoleProcess(std::filesystem::path base, const std::filesystem::path& exe);
  ~ConsoleProcess() { kill(); }
  ConsoleProcess(const ConsoleProcess&) = delete;
  ConsoleProcess& operator=(const ConsoleProcess&) = delete;

  // Starts the program (killing a run still going); its output and errors go to
  // <base>/output.txt, after what is there when `append` (a restart keeps the first run's
  // lines), else in its place. False when fork failed.
  bool start(bool append = false);
  // The same for the program at `exe` (a link to an installation elsewhere, say) with `args`,
  // in the working directory `cwd`; its output still goes to <base>/output.txt.
  bool start_with(const std::filesystem::path& exe, const std::vector<std::string>& args,
                  const std::filesystem::path& cwd, bool append = false);
  pid_t pid() const { return pid_; }
  void signal(int signal_number) const;
  // Kills the run if it still goes and reaps it.
  void kill() noexcept;
  // The exit status, or -1 when it did not end within `limit` or ended by a signal.
  int wait_exit(std::chrono::milliseconds limit);

  std::string output() const;
  // Waits until the output holds `text` `times` times.
  bool wait_for_output(const std::string& text, int times, std::chrono::milliseconds limit) const;
  // The port of this run's metrics listener, from its "Metrics listening on" line (a listen
  // address with port 0 gets a new port on every run), or nothing when no such line came
  // within `limit`.
  std::optional<int> metrics_port(std::chrono::milliseconds limit) const;

 private:
  std::filesystem::path base_;
  pid_t pid_ = -1;
  // "Metrics listening on" lines in the output before this run began.
  int listening_lines_before_ = 0;
};

}  // namespace kestrane_test
