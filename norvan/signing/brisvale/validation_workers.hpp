#pragma once
// The worker threads on which a verification record runs its certificate validations.

#include "norvan/signing/brisvale.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace norvan::signing::brisvale::detail {

/// Worker threads kept for certificate validations, so that a record that verifies many
/// messages starts a thread only when all of its workers are busy, instead of once per
/// message. The first validation runs on a CertificateValidatorThread of its own that ends
/// with it (a record made for one verification keeps nothing); from the second on, a
/// validation is handed to an idle kept worker (or to a new one), runs there while the caller
/// goes on, and is waited for by the caller. Any number of threads may hand over validations at
/// once; each gets a worker of its own. The destructor stops and joins every kept worker; no
/// validation may be in flight then.
///
/// A child process made by fork() has none of its parent's threads: there the workers started
/// before the fork are left alone (never joined, their memory given up) and new ones started.
class ValidationWorkers {
 private:
  struct Worker;

 public:
  /// One validation on a worker: handed over by the constructor, waited for by wait() or else
  /// by the destructor, so that the worker never outlives the validation it runs.
  class Job {
   public:
    /// Starts the validation of `validator` (digitalSignature key usage) on a worker of
    /// `workers`. Throws std::system_error when no thread can be started.
    Job(ValidationWorkers& workers, CertificateValidator validator);
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job();

    /// Waits for the validation; returns its failure, or null when it succeeded.
    std::exception_ptr wait();

   private:
    friend struct Worker;
    void run() noexcept;  // on the worker

    ValidationWorkers& workers_;
    std::optional<CertificateValidatorThread> own_thread_;  // the first validation's
    std::optional<CertificateValidator> validator_;         // for a kept worker
    std::exception_ptr failure_;
    Worker* worker_ = nullptr;
    bool waited_ = false;
  };

  ValidationWorkers();
  ValidationWorkers(const ValidationWorkers&) = delete;
  ValidationWorkers& operator=(const ValidationWorkers&) = delete;
  ~ValidationWorkers();

 private:
  bool first_validation();
  Worker* hand_over(Job& job);
  void give_back(Worker& worker) noexcept;
  void forget_workers_of_parent();  // with mutex_ held

  mutable std::mutex mutex_;
  bool validated_ = false;  // a validation was started before
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<Worker*> idle_;  // capacity kept at workers_.size(), so that give_back cannot fail
  std::uint64_t forks_;        // the process's fork count when workers_ were started
};

}  // namespace norvan::signing::brisvale::detail
