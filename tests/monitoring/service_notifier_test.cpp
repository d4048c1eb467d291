// The service notifications as systemd would receive them: a datagram socket of the test's
// own stands in for NOTIFY_SOCKET.

#include "monitoring/service_notifier.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "temp_dir.h"

namespace kestrane_monitoring {
namespace {

class NotifySocket : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_.path() / "notify").string();
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path_.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    ASSERT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    if (fd_ >= 0) ::close(fd_);
  }
  // The next message, or nothing when none comes within a short wait.
  std::optional<std::string> next_message() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 200) != 1) return std::nullopt;
    char buf[256];
    const ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }

  kestrane_test::TempDir dir_;
  std::string path_;
  int fd_ = -1;
  double now_ = 10.0;
};

TEST_F(NotifySocket, ReadyStoppingAndTheWatchdogOnlyWhileMakingProgress) {
  ServiceNotifier notifier([this] { return now_; });
  EXPECT_TRUE(notifier.watchdog_enabled());
  notifier.ready();
  EXPECT_EQ(next_message(), "READY=1");

  notifier.tick(true);
  EXPECT_EQ(next_message(), "WATCHDOG=1");
  now_ += 0.5;  // less than half the 2 s watchdog
  notifier.tick(true);
  EXPECT_EQ(next_message(), std::nullopt);
  now_ += 0.6;
  notifier.tick(true);
  EXPECT_EQ(next_message(), "WATCHDOG=1");

  // A hung collector: no more pings, however often the main loop turns.
  for (int i = 0; i < 5; ++i) {
    now_ += 1.0;
    notifier.tick(false);
  }
  EXPECT_EQ(next_message(), std::nullopt);
  notifier.tick(true);
  EXPECT_EQ(next_message(), "WATCHDOG=1");

  notifier.stopping();
  EXPECT_EQ(next_message(), "STOPPING=1");
}

TEST_F(NotifySocket, AWatchdogMeantForAnotherProcessIsNotFed) {
  ::setenv("WATCHDOG_PID", "1", 1);
  ServiceNotifier notifier([this] { return now_; });
  EXPECT_FALSE(notifier.watchdog_enabled());
  notifier.tick(true);
  EXPECT_EQ(next_message(), std::nullopt);
}

TEST(ServiceNotifierOutsideSystemd, EveryCallIsANoOp) {
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  ServiceNotifier notifier;
  EXPECT_FALSE(notifier.watchdog_enabled());
  notifier.ready();
  notifier.tick(true);
  notifier.stopping();
}

}  // namespace
}  // namespace kestrane_monitoring
