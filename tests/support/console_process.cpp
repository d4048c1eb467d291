#include "console_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace kestrane_test {
namespace {

constexpr char kListening[] = "Metrics listening on ";

int count_of(const std::string& text, const std::string& part) {
  int found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

}  // namespace

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void install_console(const std::filesystem::path& base, const std::filesystem::path& exe) {
  std::filesystem::create_directories(base / "bin");
  // A copy that may be running cannot be written over, and is the same program anyway.
  std::filesystem::copy_file(exe, base / "bin" / "KestraneConsole",
                             std::filesystem::copy_options::skip_existing);
}

ConsoleProcess::ConsoleProcess(std::filesystem::path base, const std::filesystem::path& exe)
    : base_(std::move(base)) {
  install_console(base_, exe);
}

bool ConsoleProcess::start(bool append) {
  return start_with(base_ / "bin" / "KestraneConsole", {}, base_, append);
}

bool ConsoleProcess::start_with(const std::filesystem::path& exe,
                                const std::vector<std::string>& args,
                                const std::filesystem::path& cwd, bool append) {
  kill();
  listening_lines_before_ = append ? count_of(output(), kListening) : 0;
  // Everything the child needs is made before the fork: it only changes folder, redirects and
  // execs.
  const std::string exe_text = exe.string();
  const std::string out_text = (base_ / "output.txt").string();
  const std::string cwd_text = cwd.string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe_text.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (::chdir(cwd_text.c_str()) != 0) ::_exit(126);
    const int fd = ::open(out_text.c_str(), flags, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execv(exe_text.c_str(), argv.data());
    ::_exit(127);
  }
  return pid_ > 0;
}

void ConsoleProcess::signal(int signal_number) const {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

void ConsoleProcess::kill() noexcept {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

int ConsoleProcess::wait_exit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string ConsoleProcess::output() const { return read_file(base_ / "output.txt"); }

bool ConsoleProcess::wait_for_output(const std::string& text, int times,
                                     std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (count_of(output(), text) >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::optional<int> ConsoleProcess::metrics_port(std::chrono::milliseconds limit) const {
  if (!wait_for_output(kListening, listening_lines_before_ + 1, limit)) return std::nullopt;
  // "Metrics listening on 127.0.0.1:43127: ..." or "[::1]:43127: ...": the port ends the
  // address, which ends at the next ':' after the host.
  const std::string out = output();
  const auto at = out.rfind(kListening) + sizeof kListening - 1;
  const auto end = out.find(": ", at);
  const auto colon = out.rfind(':', end == std::string::npos ? std::string::npos : end - 1);
  if (end == std::string::npos || colon == std::string::npos || colon < at) return std::nullopt;
  try {
    return std::stoi(out.substr(colon + 1, end - colon - 1));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace kestrane_test
