#pragma once
// ServiceNotifier: tells systemd how the service is doing (READY=1 once collection runs,
// STOPPING=1 on shutdown) and feeds its watchdog (WATCHDOG=1), but only while the collector
// makes progress, so that a hung collector is restarted. Outside systemd (no NOTIFY_SOCKET)
// every call does nothing. Owned by the console and called from its main thread.

#include <functional>

namespace kestrane_monitoring {

class ServiceNotifier {
 public:
  // `clock`: monotonic seconds; empty: steady_clock. Reads the watchdog interval systemd set.
  explicit ServiceNotifier(std::function<double()> clock = {});

  void ready();
  void stopping();
  // Sends WATCHDOG=1 when `making_progress` and half the watchdog interval has passed since
  // the last one; without a watchdog it does nothing.
  void tick(bool making_progress);

  bool watchdog_enabled() const { return watchdog_seconds_ > 0; }

 private:
  void notify(const char* state);

  std::function<double()> clock_;
  double watchdog_seconds_ = 0;
  double last_ping_ = 0;
  bool pinged_ = false;
};

}  // namespace kestrane_monitoring
