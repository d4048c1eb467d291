#pragma once
// Running the built KestraneConsole as an operator would: installed as <base>/bin/KestraneConsole,
// started with <base> as its working directory and its output in <base>/output.txt, signalled,
// waited for and killed from outside. Free functions for the program tests' main thread.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrane_console_test {

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// Copies the program `exe` to <base>/bin/KestraneConsole.
void install_console(const std::filesystem::path& base, const std::filesystem::path& exe);

// Starts the program installed in `base`; its output and errors go to <base>/output.txt, after
// what is there when `append` (a restart keeps the first run's lines), else in its place.
// Returns the child's pid, or -1 when fork failed.
pid_t launch_console(const std::filesystem::path& base, bool append = false);

// Starts `exe` with `args` in the folder `cwd`, its output and errors in `out` (replaced).
// Returns the child's pid, or -1 when fork failed.
pid_t launch_program(const std::filesystem::path& exe, const std::vector<std::string>& args,
                     const std::filesystem::path& cwd, const std::filesystem::path& out);

// Kills the child `pid` if it still runs and reaps it (then -1 in `pid`).
void kill_and_reap(pid_t& pid);

// The exit status of the child `pid` (then -1 in `pid`), or -1 when it did not end within
// `limit` or ended by a signal.
int wait_for_exit(pid_t& pid, std::chrono::milliseconds limit);

}  // namespace kestrane_console_test
