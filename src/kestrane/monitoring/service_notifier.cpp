#include "monitoring/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>
#include <utility>

#include "journel/log.h"

namespace kestrane_monitoring {

namespace {

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

ServiceNotifier::ServiceNotifier(std::function<double()> clock)
    : clock_(clock ? std::move(clock) : std::function<double()>(steady_seconds)) {
  std::uint64_t usec = 0;
  // 0 outside systemd or without WatchdogSec=; the watchdog's pid must be ours.
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    watchdog_seconds_ = static_cast<double>(usec) / 1e6;
  }
}

void ServiceNotifier::notify(const char* state) {
  // A negative result is an error talking to systemd; nothing waits on it, so it is logged.
  const int rc = sd_notify(0, state);
  if (rc < 0) {
    journel::get_logger("KestraneConsole")
        ->warn("Telling systemd '{}' failed: error {}", state, -rc);
  }
}

void ServiceNotifier::ready() { notify("READY=1"); }

void ServiceNotifier::stopping() { notify("STOPPING=1"); }

void ServiceNotifier::tick(bool making_progress) {
  if (!watchdog_enabled() || !making_progress) return;
  const double now = clock_();
  if (pinged_ && now - last_ping_ < watchdog_seconds_ / 2) return;
  notify("WATCHDOG=1");
  last_ping_ = now;
  pinged_ = true;
}

}  // namespace kestrane_monitoring
