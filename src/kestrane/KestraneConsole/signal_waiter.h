#pragma once
// SignalWaiter: takes SIGINT and SIGTERM (or the signals it is given) out of asynchronous delivery
// so that the main thread picks them up in its own loop and runs the logged shutdown itself. Make
// it first thing in main(), before any thread exists: threads created later inherit the blocked
// mask, so the signals stay pending for wait(). Used by the thread that made it.

#include <signal.h>

#include <chrono>
#include <initializer_list>
#include <optional>

namespace kestrane_console {

class SignalWaiter {
 public:
  // Blocks `signals` (SIGINT and SIGTERM unless told otherwise) for the calling thread.
  explicit SignalWaiter(std::initializer_list<int> signals = {SIGINT, SIGTERM});
  // Restores the calling thread's previous mask.
  ~SignalWaiter();
  SignalWaiter(const SignalWaiter&) = delete;
  SignalWaiter& operator=(const SignalWaiter&) = delete;

  // The number of a pending signal of those it blocks, taking it; else waits up to `timeout` for
  // one. A zero timeout only looks.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  sigset_t watched_{};
  sigset_t previous_{};
};

}  // namespace kestrane_console
