#include "norvan/common/job_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>

namespace norvan {
namespace {

std::string what(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  }
}

// Jobs at the same time never queue behind each other: a job may wait for one handed over after
// it (a batch's job waits for its committer). Each outcome comes back to its own waiter.
TEST(JobRunner, ConcurrentJobsEachGetAThreadAndReportTheirOwnOutcome) {
  JobRunner runner;
  std::promise<void> second_ran;
  std::future<void> second_has_run = second_ran.get_future();
  JobRunner::Job first(runner, [&second_has_run] {
    if (second_has_run.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      throw std::runtime_error("the second job never ran beside the first");
    }
    throw std::runtime_error("first failed");
  });
  JobRunner::Job second(runner, [&second_ran] { second_ran.set_value(); });
  EXPECT_EQ(second.wait(), nullptr);
  const std::exception_ptr failure = first.wait();
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(what(failure), "first failed");
  EXPECT_EQ(what(first.wait()), "first failed") << "waiting again gives the same outcome";
}

// Jobs in turn reuse the thread kept from the first; many callers at once share the runner.
TEST(JobRunner, KeepsThreadsForJobsInTurnAndServesConcurrentCallers) {
  JobRunner runner;
  std::thread::id first_thread;
  JobRunner::Job(runner, [&first_thread] { first_thread = std::this_thread::get_id(); }).wait();
  for (int round = 0; round < 3; ++round) {
    std::thread::id thread;
    JobRunner::Job(runner, [&thread] { thread = std::this_thread::get_id(); }).wait();
    EXPECT_EQ(thread, first_thread) << "round " << round;
  }
  std::atomic<int> ran{0};
  std::list<std::thread> callers;
  for (int caller = 0; caller < 4; ++caller) {
    callers.emplace_back([&runner, &ran] {
      for (int i = 0; i < 50; ++i) EXPECT_EQ(JobRunner::Job(runner, [&ran] { ++ran; }).wait(), nullptr);
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(ran.load(), 200);
}

}  // namespace
}  // namespace norvan
