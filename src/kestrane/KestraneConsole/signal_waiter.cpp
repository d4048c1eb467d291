#include "KestraneConsole/signal_waiter.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace kestrane_console {

SignalWaiter::SignalWaiter(std::initializer_list<int> signals) {
  sigemptyset(&watched_);
  for (const int signo : signals) sigaddset(&watched_, signo);
  pthread_sigmask(SIG_BLOCK, &watched_, &previous_);
}

SignalWaiter::~SignalWaiter() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

std::optional<int> SignalWaiter::wait(std::chrono::milliseconds timeout) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    auto left = duration_cast<nanoseconds>(deadline - steady_clock::now());
    if (left < nanoseconds::zero()) left = nanoseconds::zero();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(duration_cast<seconds>(left).count());
    ts.tv_nsec = static_cast<long>((left - duration_cast<seconds>(left)).count());
    const int signo = sigtimedwait(&watched_, nullptr, &ts);
    if (signo > 0) return signo;
    // EINTR: another signal's handler ran; wait out the rest of the timeout.
    if (errno != EINTR || left == nanoseconds::zero()) return std::nullopt;
  }
}

}  // namespace kestrane_console
