// kestrane-browse: writes a server's Variables as a Kestrane CSV tag list.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <iostream>
#include <stop_token>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#include "KestraneBrowse/browse_command.h"

#include "journel/log.h"

int main(int argc, char** argv) {
  using namespace kestrane_browse;
  const std::vector<std::string> words(argv + 1, argv + argc);
  for (const auto& w : words) {
    if (w == "-h" || w == "--help") {
      std::cout << kUsage << '\n';
      return kExitDone;
    }
  }
  BrowseArgs args;
  try {
    args = parse_browse_args(words);
  } catch (const UsageError& e) {
    std::cerr << "kestrane-browse: " << e.what() << '\n';
    if (argc < 2) std::cerr << kUsage << '\n';
    return kExitFailed;
  }

  // The session's own debug lines would bury the progress lines.
  journel::get_logger("pyqar")->set_level(spdlog::level::warn);

  // SIGINT and SIGTERM are taken by a thread of their own, which asks the walk to stop; the
  // walk ends at its next batch and the list found so far is written.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::stop_source stop;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    const timespec tick{0, 100'000'000};
    while (!done.load()) {
      if (sigtimedwait(&signals, nullptr, &tick) > 0) {
        std::cerr << "kestrane-browse: stopping...\n";
        stop.request_stop();
      }
    }
  });
  int status = kExitFailed;
  try {
    status = run_browse(args, stop.get_token(), std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "kestrane-browse: " << e.what() << '\n';
  }
  done = true;
  watcher.join();
  journel::shutdown_logging();
  return status;
}
