#include "console_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace kestrane_console_test {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void install_console(const std::filesystem::path& base, const std::filesystem::path& exe) {
  std::filesystem::create_directories(base / "bin");
  std::filesystem::copy_file(exe, base / "bin" / "KestraneConsole");
}

pid_t launch_console(const std::filesystem::path& base, bool append) {
  // Everything the child needs is made before the fork: it only changes folder, redirects and
  // execs.
  const std::string exe = (base / "bin" / "KestraneConsole").string();
  const std::string out = (base / "output.txt").string();
  const std::string cwd = base.string();
  const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    const int fd = ::open(out.c_str(), flags, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

pid_t launch_program(const std::filesystem::path& exe, const std::vector<std::string>& args,
                     const std::filesystem::path& cwd, const std::filesystem::path& out) {
  const std::string exe_text = exe.string();
  const std::string cwd_text = cwd.string();
  const std::string out_text = out.string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe_text.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd_text.c_str()) != 0) ::_exit(126);
    const int fd = ::open(out_text.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execv(exe_text.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

void kill_and_reap(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  pid = -1;
}

int wait_for_exit(pid_t& pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace kestrane_console_test
