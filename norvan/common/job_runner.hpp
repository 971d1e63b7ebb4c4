#pragma once
// Running work beside the caller, on threads that are kept for the next piece of work.
//
// The library's one way of starting threads for its own work: the verifier's certificate
// validations, the key check of `sign`, and the jobs of a batch and their committing threads
// all run as jobs of a runner. (The validation of a record made for one verification runs on a
// CertificateValidatorThread of its own, which ends with it.)

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace norvan {

/// Threads for jobs that run beside their caller. A job is handed over when its Job is made,
/// and waited for by Job::wait() or the Job's destructor. Each job gets a thread of its own, an
/// idle kept one or else a new one, so jobs never queue behind each other and one job may wait
/// for another; a runner therefore keeps as many threads as it ever ran jobs at once. Keeping
/// them is what pays: for a Verifier, a thread's start and join cost about as much as the
/// certificate validation it runs (bench/norvan_bench, mime_verifier at 1 KiB). Any number of threads
/// may hand over jobs at once. The destructor stops and joins the kept threads; every Job must
/// have ended before it.
///
/// A child process made by fork() has none of its parent's threads: there the threads started
/// before the fork are left alone (neither joined nor freed) and new ones are started. Python's
/// multiprocessing and Dask fork workers that already hold a Verifier.
class JobRunner {
 private:
  struct Worker;

 public:
  /// One job on a thread of the runner.
  class Job {
   public:
    /// Starts `work` on a thread of `runner`. Throws std::system_error when no thread can be
    /// started (nothing runs then).
    Job(JobRunner& runner, std::function<void()> work);
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    /// Waits for the job, if wait() did not.
    ~Job();

    /// Waits for the job to end; returns the exception that escaped it, or null.
    std::exception_ptr wait();

   private:
    friend struct Worker;
    void run() noexcept;  // on the worker's thread

    JobRunner& runner_;
    std::function<void()> work_;
    std::exception_ptr failure_;
    Worker* worker_ = nullptr;
    bool waited_ = false;
  };

  JobRunner();
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;
  ~JobRunner();

 private:
  Worker* hand_over(Job& job);
  void give_back(Worker& worker) noexcept;
  void forget_workers_of_parent();  // with mutex_ held

  std::mutex mutex_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<Worker*> idle_;  // capacity kept at workers_.size(), so that give_back cannot fail
  std::uint64_t forks_;        // the process's fork count when workers_ were started
};

}  // namespace norvan
