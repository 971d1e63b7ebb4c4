#include "norvan/common/deferred_signals.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace {

using norvan::DeferredSignals;

// wait() gives back a held-back signal instead of letting it end the process, and SIGCHLD that
// another thread sends only wakes the waiting thread (a hang here ends in the test's timeout).
TEST(DeferredSignals, WaitGivesHeldBackSignalsAndWakesOnSigchld) {
  DeferredSignals deferred;
  EXPECT_EQ(deferred.wait(std::chrono::milliseconds(1)), std::nullopt);

  const pthread_t waiting = ::pthread_self();
  std::thread waker([waiting] { ::pthread_kill(waiting, SIGCHLD); });
  EXPECT_EQ(deferred.wait(std::chrono::hours(1)), std::nullopt);
  waker.join();

  ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
  EXPECT_EQ(deferred.wait(std::chrono::hours(1)), SIGUSR1);
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  EXPECT_EQ(deferred.wait(std::chrono::milliseconds(1)), SIGUSR1);  // the first one stays the answer
  EXPECT_EQ(deferred.received(), SIGUSR1);
}

}  // namespace
