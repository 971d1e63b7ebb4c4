#include "norvan/common/job_runner.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <utility>

namespace norvan {
namespace {

// How many times this process's ancestry forked since the library was loaded, as a child sees
// it: a fork handler counts up in every child. Lets a runner tell that its threads stayed
// behind in the parent, without a system call per job.
std::uint64_t forks_so_far() {
  static std::atomic<std::uint64_t> forks{0};
  static const int registered = pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });
  (void)registered;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace

struct JobRunner::Worker {
  std::mutex mutex;
  std::condition_variable work;  // a job was handed over, or the worker is to stop
  std::condition_variable done;  // the job has ended
  Job* job = nullptr;            // handed over and not ended yet
  bool stop = false;
  std::thread thread;

  void loop() noexcept {
    std::unique_lock lock(mutex);
    for (;;) {
      work.wait(lock, [this] { return job != nullptr || stop; });
      if (job == nullptr) return;
      Job* current = job;
      lock.unlock();
      current->run();
      lock.lock();
      job = nullptr;
      done.notify_one();
    }
  }
};

// ---- Job --------------------------------------------------------------------------------

JobRunner::Job::Job(JobRunner& runner, std::function<void()> work) : runner_(runner), work_(std::move(work)) {
  worker_ = runner_.hand_over(*this);
}

JobRunner::Job::~Job() { (void)wait(); }

std::exception_ptr JobRunner::Job::wait() {
  if (waited_) return failure_;
  waited_ = true;
  {
    std::unique_lock lock(worker_->mutex);
    worker_->done.wait(lock, [this] { return worker_->job == nullptr; });
  }
  runner_.give_back(*worker_);
  return failure_;
}

void JobRunner::Job::run() noexcept {
  try {
    work_();
  } catch (...) {
    failure_ = std::current_exception();
  }
}

// ---- JobRunner ----------------------------------------------------------------------------

JobRunner::JobRunner() : forks_(forks_so_far()) {}

JobRunner::~JobRunner() {
  forget_workers_of_parent();
  for (const auto& worker : workers_) {
    {
      const std::lock_guard lock(worker->mutex);
      worker->stop = true;
    }
    worker->work.notify_one();
    worker->thread.join();
  }
}

JobRunner::Worker* JobRunner::hand_over(Job& job) {
  std::unique_lock lock(mutex_);
  forget_workers_of_parent();
  if (!idle_.empty()) {
    Worker* worker = idle_.back();
    idle_.pop_back();
    lock.unlock();
    {
      const std::lock_guard worker_lock(worker->mutex);
      worker->job = &job;
    }
    worker->work.notify_one();
    return worker;
  }
  // A new worker, started with its job: reserve first, so that nothing can fail once its
  // thread runs.
  workers_.reserve(workers_.size() + 1);
  idle_.reserve(workers_.size() + 1);
  auto worker = std::make_unique<Worker>();
  worker->job = &job;
  Worker* started = worker.get();
  worker->thread = std::thread([started] { started->loop(); });
  workers_.push_back(std::move(worker));
  return started;
}

void JobRunner::forget_workers_of_parent() {
  const std::uint64_t forks = forks_so_far();
  if (forks == forks_) return;
  // Their threads do not exist in this process: neither joined nor destroyed (a joinable
  // std::thread may not be), their memory is given up.
  for (auto& worker : workers_) (void)worker.release();
  workers_.clear();
  idle_.clear();
  forks_ = forks;
}

void JobRunner::give_back(Worker& worker) noexcept {
  const std::lock_guard lock(mutex_);
  idle_.push_back(&worker);
}

}  // namespace norvan
