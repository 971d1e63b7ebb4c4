#pragma once
// The checks a VerificationPolicy adds to certificate validation: revocation lists for every
// certificate of the path, the time of validation, and the signer's extended key usage.

#include "norvan/signing/brisvale.hpp"

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvan::signing::brisvale::detail {

/// A VerificationPolicy made ready for OpenSSL: the CRLs parsed once and shared by every
/// validation, the time as time_t. Immutable; shared by concurrent validations.
class PathPolicy {
 public:
  /// Returns the policy to apply, or null when `policy` is the default (nothing to add).
  /// Throws InvalidRevocationListError, PolicyError.
  static std::shared_ptr<const PathPolicy> build(const VerificationPolicy& policy);

  /// Whether the time of validation comes from each message's signing-time attribute.
  bool at_signing_time() const noexcept { return at_signing_time_; }

  /// Returns a copy of this policy that validates as of `moment`.
  std::shared_ptr<const PathPolicy> at(std::chrono::system_clock::time_point moment) const;

  /// Sets up `ctx` (initialised, not yet verified): the CRLs and flags, the time, and a
  /// callback that records the first failure in `failure` (which must outlive the check).
  struct Failure;
  void prepare(X509_STORE_CTX* ctx, Failure& failure) const;

  /// Throws CertificateValidationFailure for a failed X509_verify_cert on a `ctx` set up by
  /// prepare(), naming the certificate and, for revocation failures, the CRL and dates.
  [[noreturn]] void report(X509_STORE_CTX* ctx, const Failure& failure) const;

  /// Throws CertificateValidationFailure when `end_entity` lacks the required extended key
  /// usage.
  void check_purpose(X509* end_entity) const;

  /// What the verify callback saw at the first failure.
  struct Failure {
    bool seen = false;
    int code = 0;
    int depth = 0;
    X509* cert = nullptr;            // borrowed from the context
    const X509_CRL* crl = nullptr;  // one of the policy's lists, or null
    std::optional<std::time_t> revoked_at;
  };

 private:
  struct Lists;
  std::shared_ptr<const Lists> crls_;
  std::optional<std::time_t> time_;
  bool at_signing_time_ = false;
  std::optional<Purpose> purpose_;
};

/// Returns the signing-time attribute (1.2.840.113549.1.9.5) of the signed attributes element
/// `attributes_element`, or nullopt when there is none. Throws MalformedSignatureError when it
/// is not one UTCTime or GeneralizedTime, or occurs more than once.
std::optional<std::chrono::system_clock::time_point> signing_time(ByteView attributes_element);

/// Returns the subject of `cert` in RFC 2253 form, shortened for error texts.
std::string subject_text(X509* cert);

}  // namespace norvan::signing::brisvale::detail
