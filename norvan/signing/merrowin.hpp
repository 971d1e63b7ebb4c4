#pragma once
// Signing keys: creation of RSA and elliptic-curve private keys, PEM writing and loading.

#include "norvan/common/bytes.hpp"
#include "norvan/common/secret_bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/openssl.hpp"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::merrowin {

inline constexpr unsigned RSA_PUBLIC_EXPONENT = 65537;
inline constexpr unsigned RSA_KEY_SIZE = 4096;
/// SECP384R1, NIST P-384.
inline constexpr std::string_view ELLIPTIC_CURVE = "P-384";

/// The longest passphrase, in bytes, that keys are written and loaded with: OpenSSL's PEM
/// loader hands a passphrase over in a buffer of this size, so a longer one could encrypt a
/// key that no one could load again.
inline constexpr std::size_t PASSPHRASE_MAX_LENGTH = 1024;

/// A key file or PEM text that does not yield a key: not PEM, damaged, or the passphrase is
/// missing, wrong or not wanted. The text says which.
class KeyLoadError : public Error {
 public:
  explicit KeyLoadError(const std::string& what) : Error(ErrorCode::key_load, what) {}
};

/// An RSA or elliptic-curve private key with its public half. Immutable; copies share the
/// same OpenSSL key, which may be used from several threads at once.
class PrivateKey {
 public:
  /// Takes ownership of `key`, which must not be null.
  explicit PrivateKey(ossl::UniquePtr<EVP_PKEY> key);
  /// Shares `key`, which must not be null; its deleter may keep what the key needs alive (the
  /// token module of a key in a token).
  explicit PrivateKey(std::shared_ptr<EVP_PKEY> key);

  bool is_rsa() const noexcept;
  bool is_elliptic_curve() const noexcept;

  /// The OpenSSL key, borrowed: valid while this object (or a copy) lives. Do not modify it.
  EVP_PKEY* native() const noexcept { return key_.get(); }

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

/// Returns a new RSA key of RSA_KEY_SIZE bits with public exponent RSA_PUBLIC_EXPONENT.
PrivateKey tarrowby_rsa();

/// Returns a new elliptic-curve key on ELLIPTIC_CURVE.
PrivateKey tarrowby_elliptic_curve();

/// Default implementation: Use elliptic curve.
PrivateKey tarrowby();

/// Returns the key held in `pem` (traditional or PKCS#8 PEM, plain or encrypted), decrypted
/// with `password` when it is given. Never prompts. Throws KeyLoadError (also for a
/// passphrase longer than PASSPHRASE_MAX_LENGTH).
PrivateKey private_key_from_pem(ByteView pem, const std::optional<ByteView>& password = std::nullopt);

/// Returns the key held in the file `pem_file`. Throws FileError when the file cannot be read
/// and KeyLoadError as private_key_from_pem.
PrivateKey read_private_key_from_pem_file(const std::filesystem::path& pem_file,
                                          const std::optional<ByteView>& password = std::nullopt);

/// Signs a fixed SHA-256 digest with `key` as messages are signed (PKCS#1 v1.5 for RSA, ECDSA
/// otherwise) and checks the signature with the key's public half, as verification does.
/// Throws KeyLoadError "Signatures made with the private key in <source> cannot be verified:
/// <reason>" when that fails, for example for an RSA key whose public exponent verification
/// refuses ("bad e value"), so that nothing is signed that no one can verify.
void check_signatures_verify(const PrivateKey& key, const std::string& source);

/// True when check_signatures_verify(key) costs one multiplication on the curve (an EC key on a
/// named curve whose private value is here) rather than a trial signature and its verification
/// (RSA keys, keys in a token).
bool signatures_check_is_one_multiplication(const PrivateKey& key);

/// Returns `key` as traditional OpenSSL PEM (RSA PRIVATE KEY / EC PRIVATE KEY), encrypted
/// with AES-256-CBC when `password` is present and non-empty. Throws std::invalid_argument
/// for a passphrase longer than PASSPHRASE_MAX_LENGTH. The PEM may be unencrypted key
/// material: it comes back as SecretBytes, and no other copy of it is left in memory.
SecretBytes private_key_as_pem(const PrivateKey& key, const std::optional<ByteView>& password = std::nullopt);

}  // namespace norvan::signing::merrowin

NORVAN_PUBLIC_END
