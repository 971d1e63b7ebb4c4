#include "norvan/signing/brisvale/validation.hpp"

#include "norvan/signing/brisvale/policy.hpp"

#include "norvan/common/shortened.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace norvan::signing::brisvale {
namespace detail {
namespace {

[[noreturn]] void validation_failure(int code, int depth, X509* cert) {
  std::string text = X509_verify_cert_error_string(code);
  if (cert != nullptr) text += " (certificate at depth " + std::to_string(depth) + ": " + subject_text(cert) + ")";
  throw CertificateValidationFailure(text, code, depth);
}

}  // namespace

void report_certificate_validation(const std::exception_ptr& failure) {
  if (!failure) return;
  std::string text;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& failure) {
    text = failure.what();
  } catch (...) {
    text = "certificate validation failed";
  }
  throw CertificateError(text, failure);
}

}  // namespace detail

using detail::validation_failure;

// ---- CertificateValidator ---------------------------------------------------------------

CertificateValidator::CertificateValidator(Certificate end_entity, std::vector<Certificate> intermediates,
                                           std::shared_ptr<const ValidationContext> validation_context)
    : CertificateValidator(std::move(end_entity), std::move(intermediates), std::move(validation_context), nullptr) {}

CertificateValidator::CertificateValidator(Certificate end_entity, std::vector<Certificate> intermediates,
                                           std::shared_ptr<const ValidationContext> validation_context,
                                           std::shared_ptr<const detail::PathPolicy> policy)
    : end_entity_(std::move(end_entity)),
      intermediates_(std::move(intermediates)),
      context_(std::move(validation_context)),
      policy_(std::move(policy)) {}

std::vector<Certificate> CertificateValidator::validate(unsigned required_key_usage) const {
  ossl::clear_errors();
  ossl::UniquePtr<STACK_OF(X509)> untrusted(sk_X509_new_null());
  if (!untrusted) ossl::throw_error("Cannot allocate the intermediate certificates");
  for (const auto& cert : intermediates_) {
    if (X509_add_cert(untrusted.get(), cert.get(), X509_ADD_FLAG_UP_REF) != 1) {
      ossl::throw_error("Cannot collect the intermediate certificates");
    }
  }
  ossl::UniquePtr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), context_->store(), end_entity_.get(), untrusted.get()) != 1) {
    ossl::throw_error("Cannot set up the certificate validation");
  }
  if (STACK_OF(X509)* roots = context_->trusted_stack()) X509_STORE_CTX_set0_trusted_stack(ctx.get(), roots);
  X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(ctx.get()), X509_V_FLAG_PARTIAL_CHAIN);
  if (X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_ANY) != 1) {
    ossl::throw_error("Cannot set the validation purpose");
  }
  detail::PathPolicy::Failure policy_failure;
  if (policy_) policy_->prepare(ctx.get(), policy_failure);
  const int verified = X509_verify_cert(ctx.get());
  if (verified != 1 && policy_ && X509_STORE_CTX_get_error(ctx.get()) != X509_V_OK) {
    policy_->report(ctx.get(), policy_failure);
  }
  if (verified != 1) {
    const int code = X509_STORE_CTX_get_error(ctx.get());
    if (code == X509_V_OK) ossl::throw_error("Certificate validation failed");
    validation_failure(code, X509_STORE_CTX_get_error_depth(ctx.get()), X509_STORE_CTX_get_current_cert(ctx.get()));
  }
  if ((X509_get_extension_flags(end_entity_.get()) & EXFLAG_KUSAGE) != 0 &&
      (X509_get_key_usage(end_entity_.get()) & required_key_usage) != required_key_usage) {
    validation_failure(X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE, 0, end_entity_.get());
  }
  if (policy_) policy_->check_purpose(end_entity_.get());
  std::vector<Certificate> path;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  path.reserve(static_cast<std::size_t>(std::max(sk_X509_num(chain), 0)));
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    if (X509_up_ref(cert) != 1) ossl::throw_error("Cannot keep the validated path");
    ossl::UniquePtr<X509> reference(cert);  // owned before anything can throw
    path.emplace_back(std::move(reference));
  }
  return path;
}

// ---- CertificateValidatorThread ---------------------------------------------------------

CertificateValidatorThread::CertificateValidatorThread(CertificateValidator validator_to_run)
    : validator(std::move(validator_to_run)), exception(nullptr) {}

CertificateValidatorThread::~CertificateValidatorThread() {
  if (thread_.joinable()) thread_.join();
}

void CertificateValidatorThread::start() {
  if (thread_.joinable()) throw std::logic_error("CertificateValidatorThread started twice");
  thread_ = std::thread([this] { run(); });
}

void CertificateValidatorThread::run() noexcept {
  try {
    result = validator.validate(KU_DIGITAL_SIGNATURE);
  } catch (...) {
    exception = std::current_exception();
  }
}

void CertificateValidatorThread::join() { thread_.join(); }

}  // namespace norvan::signing::brisvale
