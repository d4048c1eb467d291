#include "console_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

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

ConsoleProcess::ConsoleProcess(std::filesystem::path base, const std::filesystem::path& exe)
    : base_(std::move(base)) {
  std::filesystem::create_directories(base_ / "bin");
  std::filesystem::copy_file(exe, base_ / "bin" / "KestraneConsole");
}

bool ConsoleProcess::start(bool append) {
  kill();
  listening_lines_before_ = append ? count_of(output(), kListening) : 0;
  // Everything the child needs is made before the fork: it only changes folder, redirects and
  // execs.
  const std::string exe = (base_ / "bin" / "KestraneConsole").string();
  const std::string out = (base_ / "output.txt").string();
  const std::string cwd = base_.string();
  const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    const int fd = ::open(out.c_str(), flags, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
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
