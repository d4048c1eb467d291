#include "KestraneConsole/signal_waiter.h"

#include <gtest/gtest.h>
#include <pthread.h>

namespace kestrane_console {
namespace {

TEST(SignalWaiter, PendingSignalIsTakenInsteadOfDelivered) {
  SignalWaiter waiter;
  EXPECT_EQ(waiter.wait(std::chrono::milliseconds(0)), std::nullopt);
  // Without the waiter this SIGINT would end the test process.
  pthread_kill(pthread_self(), SIGINT);
  EXPECT_EQ(waiter.wait(std::chrono::milliseconds(0)), SIGINT);
  pthread_kill(pthread_self(), SIGTERM);
  EXPECT_EQ(waiter.wait(std::chrono::milliseconds(1000)), SIGTERM);
  EXPECT_EQ(waiter.wait(std::chrono::milliseconds(0)), std::nullopt);
}

TEST(SignalWaiter, RestoresTheMaskItFound) {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  { SignalWaiter waiter; }
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&before, SIGINT), sigismember(&after, SIGINT));
  EXPECT_EQ(sigismember(&before, SIGTERM), sigismember(&after, SIGTERM));
}

}  // namespace
}  // namespace kestrane_console
