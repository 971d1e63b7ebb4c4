#pragma once
// Verification of detached CMS SignedData signatures and validation of the signer's
// certificate against trusted certificates.
//
// (Interface draft: the error types and the module-level verify() are fixed; the record, the
// validation context and the worker are to be completed with their implementation.)

#include "norvan/common/bytes.hpp"
#include "norvan/verification/verification.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

namespace norvan::signing::brisvale {

using verification::VerificationError;

/// Raw and signed payload digests have different hash values.
class HashValueError : public VerificationError {
 public:
  using VerificationError::VerificationError;
  const char* type_name() const noexcept override { return "HashValueError"; }
};

/// Verification of Signature failed.
class SignatureError : public VerificationError {
 public:
  using VerificationError::VerificationError;
  const char* type_name() const noexcept override { return "SignatureError"; }
};

/// The certificate of the signed S/MIME message cannot be verified, or is untrusted, expired.
class CertificateError : public VerificationError {
 public:
  using VerificationError::VerificationError;
  const char* type_name() const noexcept override { return "CertificateError"; }
};

/// Signature data that is malformed or uses something unsupported. Not a VerificationError.
class MalformedSignatureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Return unsigned payload in case of successful verification.
/// Otherwise raises a VerificationError.
///
/// Checks the detached SignedData `datas` over `datau` and validates the signer's certificate
/// against `certs` (PEM or DER; absent: the system's trust store; empty: nothing is trusted)
/// and the "*.pem" files of `systemCertsPath`. Returns `datau` itself (moved through).
Bytes verify(ByteView datas, Bytes datau, const std::optional<std::vector<Bytes>>& certs,
             const std::optional<std::filesystem::path>& systemCertsPath = std::nullopt);

}  // namespace norvan::signing::brisvale
