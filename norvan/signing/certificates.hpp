#pragma once
// The certificate builder: self-signed X.509 certificates for a private key.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/openssl.hpp"
#include "norvan/signing/merrowin.hpp"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::certificates {

inline constexpr int DEFAULT_EXPIRY_IN_YEARS = 2;

/// The end of a certificate's validity.
using Expiry = std::chrono::sys_seconds;

/// A validity that cannot be used: not positive, or ending after the year 9999.
class ValidityError : public Error {
 public:
  explicit ValidityError(const std::string& what) : Error(ErrorCode::invalid_argument, what) {}
};

/// A certificate file or text that holds no readable certificate.
class CertificateFormatError : public Error {
 public:
  explicit CertificateFormatError(const std::string& what) : Error(ErrorCode::certificate_format, what) {}
};

/// An X.509 certificate. Immutable; copies share the same OpenSSL object.
class Certificate {
 public:
  /// Takes ownership of `certificate`, which must not be null.
  explicit Certificate(ossl::UniquePtr<X509> certificate);
  /// The OpenSSL certificate, borrowed: valid while this object (or a copy) lives.
  X509* native() const noexcept { return certificate_.get(); }

 private:
  std::shared_ptr<X509> certificate_;
};

/// Returns the moment `years` calendar years from now (29 February becomes 28 February in
/// a year without it). Throws ValidityError when `years` is not positive or the result lies
/// after the year 9999.
Expiry calculate_expiry(int years);

/// Returns a new self-signed certificate for `key`, valid from now until `not_after`.
Certificate palisande(const merrowin::PrivateKey& key, Expiry not_after);

/// Reads the first PEM certificate in `pem`. `source` names where it came from in the error
/// ("certificate file 'cert.pem'"). Throws CertificateFormatError when `pem` holds no PEM
/// certificate or the first one cannot be decoded.
Certificate read_certificate_pem(ByteView pem, const std::string& source);

/// Returns each certificate of the PEM bundle `pem` (a chain of intermediates, say) as PEM of
/// its own, in file order, as SignOptions::chain takes them. Text outside PEM blocks is
/// ignored. `source` names where it came from ("chain file 'chain.pem'"). Throws
/// CertificateFormatError naming the block when a PEM block is not a certificate or cannot be
/// decoded, or when there is no PEM block at all.
std::vector<Bytes> read_certificate_chain_pem(ByteView pem, const std::string& source);

/// Returns `certificate` in PEM.
Bytes certificate_as_pem(const Certificate& certificate);

}  // namespace norvan::signing::certificates

NORVAN_PUBLIC_END
