#include "norvan/signing/brisvale/validation_workers.hpp"

#include <utility>

namespace norvan::signing::brisvale::detail {

ValidationWorkers::Job::Job(ValidationWorkers& workers, CertificateValidator validator) {
  if (workers.first_validation()) {
    own_thread_.emplace(std::move(validator));
    own_thread_->start();
  } else {
    validator_.emplace(std::move(validator));
    job_.emplace(workers.runner_, [this] { (void)validator_->validate(KU_DIGITAL_SIGNATURE); });
  }
}

ValidationWorkers::Job::~Job() { (void)wait(); }

std::exception_ptr ValidationWorkers::Job::wait() {
  if (waited_) return failure_;
  waited_ = true;
  if (own_thread_) {
    own_thread_->join();
    failure_ = own_thread_->exception;
  } else {
    failure_ = job_->wait();
  }
  return failure_;
}

bool ValidationWorkers::first_validation() {
  const std::lock_guard lock(mutex_);
  return !std::exchange(validated_, true);
}

}  // namespace norvan::signing::brisvale::detail
