// KestraneConsole: collects OPC values into the TSDB as configured in config.ini in the base
// directory (the parent of the folder holding this program), or in the file named by
// `--config FILE`. Exit status: 0 after a normal end or SIGINT/SIGTERM, 1 when a start step
// fails or the command line is wrong.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "KestraneConsole/console_options.h"
#include "KestraneConsole/kestrane_console.h"
#include "KestraneConsole/signal_waiter.h"
#include "journel/log.h"

namespace {

// Ends the process with `status` after the last log records are written. When the collector
// thread did not stop in time it is abandoned: the process must not wait for it.
[[noreturn]] void finish(int status, bool abandon_threads) {
  journel::shutdown_logging();
  if (abandon_threads) std::_Exit(status);
  std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = kestrane_console::ConsoleOptions::parse(argc, argv);
  if (!options.error.empty()) {
    std::fprintf(stderr, "KestraneConsole: %s\n%s", options.error.c_str(),
                 kestrane_console::ConsoleOptions::usage().c_str());
    return 1;
  }
  if (options.help) {
    std::fputs(kestrane_console::ConsoleOptions::usage().c_str(), stdout);
    return 0;
  }

  // First, before any thread exists, so that every later thread leaves the signals to us.
  kestrane_console::SignalWaiter signals;
  auto log = journel::get_logger("KestraneConsole");

  std::unique_ptr<kestrane_console::KestraneConsole> console;
  try {
    kestrane_console::ConsoleHooks hooks;
    hooks.signal_wait = [&signals](std::chrono::milliseconds timeout) {
      return signals.wait(timeout);
    };
    console = std::make_unique<kestrane_console::KestraneConsole>(std::nullopt, std::move(hooks),
                                                                  options.config_file);
  } catch (const std::exception& e) {
    log->error("Error occurred: {}", e.what());
    finish(1, false);
  }

  int status = 1;
  try {
    status = console->run() ? 0 : 1;
  } catch (const std::exception& e) {
    log->error("Fatal error: {}", e.what());
    status = 1;
  }
  if (console->collector_alive()) finish(status, true);
  console.reset();
  finish(status, false);
}
