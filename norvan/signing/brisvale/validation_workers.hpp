#pragma once
// The threads on which a verification record runs its certificate validations.

#include "norvan/signing/brisvale.hpp"

#include "norvan/common/job_runner.hpp"

#include <exception>
#include <mutex>
#include <optional>

namespace norvan::signing::brisvale::detail {

/// A record's certificate validations: the first runs on a CertificateValidatorThread of its
/// own that ends with it (a record made for one verification keeps no thread); from the second
/// on, a validation is a job of the record's JobRunner, whose threads are kept for the next
/// ones. Any number of threads may start validations at once. No validation may be in flight
/// when the object is destroyed.
class ValidationWorkers {
 public:
  /// One validation beside the caller: started by the constructor, waited for by wait() or
  /// else by the destructor.
  class Job {
   public:
    /// Starts the validation of `validator` (digitalSignature key usage). Throws
    /// std::system_error when no thread can be started.
    Job(ValidationWorkers& workers, CertificateValidator validator);
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job();

    /// Waits for the validation; returns its failure, or null when it succeeded.
    std::exception_ptr wait();

   private:
    std::optional<CertificateValidatorThread> own_thread_;  // the first validation's
    std::optional<CertificateValidator> validator_;         // a later one's, run as a job
    std::optional<JobRunner::Job> job_;
    std::exception_ptr failure_;
    bool waited_ = false;
  };

 private:
  bool first_validation();

  std::mutex mutex_;
  bool validated_ = false;  // a validation was started before
  JobRunner runner_;
};

}  // namespace norvan::signing::brisvale::detail
