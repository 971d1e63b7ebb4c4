#pragma once
// The digest and signature algorithms that verification knows, by object identifier, and the
// digest computations on them.

#include "norvan/common/bytes.hpp"
#include "norvan/common/openssl.hpp"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvan::signing::brisvale::detail {

struct DigestAlgorithm {
  std::string_view oid;
  std::string_view name;          // lower-case name
  std::string_view openssl_name;  // the upper-cased name as OpenSSL fetches it
};

inline constexpr std::array<DigestAlgorithm, 10> kDigests{{
    {"1.2.840.113549.2.5", "md5", "MD5"},
    {"1.3.14.3.2.26", "sha1", "SHA1"},
    {"2.16.840.1.101.3.4.2.4", "sha224", "SHA224"},
    {"2.16.840.1.101.3.4.2.1", "sha256", "SHA256"},
    {"2.16.840.1.101.3.4.2.2", "sha384", "SHA384"},
    {"2.16.840.1.101.3.4.2.3", "sha512", "SHA512"},
    {"2.16.840.1.101.3.4.2.7", "sha3_224", "SHA3-224"},
    {"2.16.840.1.101.3.4.2.8", "sha3_256", "SHA3-256"},
    {"2.16.840.1.101.3.4.2.9", "sha3_384", "SHA3-384"},
    {"2.16.840.1.101.3.4.2.10", "sha3_512", "SHA3-512"},
}};

/// Returns the digest algorithm with object identifier `oid`, or nullptr when it is unknown.
const DigestAlgorithm* find_digest(std::string_view oid) noexcept;

/// Returns the digest algorithm with object identifier `oid`. Throws MalformedSignatureError
/// "Unsupported <role> <oid>" when it is unknown.
const DigestAlgorithm& digest_algorithm(const std::string& oid, std::string_view role);

inline constexpr std::string_view kRsaPkcs1 = "rsassa_pkcs1v15";
inline constexpr std::string_view kRsaPss = "rsassa_pss";

/// Returns the signature family of signature algorithm `oid`: kRsaPkcs1, kRsaPss, "ecdsa",
/// "dsa", "ed25519" or "ed448". Throws MalformedSignatureError when it is unknown.
std::string_view signature_family(const std::string& oid);

/// Returns `digest`'s algorithm object (owned by a process-wide table). Throws
/// ossl::OpenSSLError with OpenSSL's reason when the providers do not offer it.
const EVP_MD* fetch_digest(const DigestAlgorithm& digest);

/// Computes several digests over the same bytes in one pass.
class MultiDigest {
 public:
  /// Adds `digest` (once; a second add is ignored). Throws ossl::OpenSSLError when it is
  /// unavailable.
  void add(const DigestAlgorithm& digest);
  void update(ByteView chunk);
  /// Returns (algorithm, digest) pairs in the order added; the object is spent afterwards.
  std::vector<std::pair<const DigestAlgorithm*, Bytes>> finish();

 private:
  struct Entry {
    const DigestAlgorithm* digest;
    ossl::UniquePtr<EVP_MD_CTX> context;
  };
  std::vector<Entry> entries_;
};

}  // namespace norvan::signing::brisvale::detail
