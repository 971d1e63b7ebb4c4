#include "norvan/signing/brisvale/algorithms.hpp"

#include "norvan/signing/brisvale.hpp"

namespace norvan::signing::brisvale::detail {
namespace {

struct SignatureFamily {
  std::string_view oid;
  std::string_view family;
};

constexpr std::array<SignatureFamily, 33> kSignatureFamilies{{
    {"1.2.840.113549.1.1.1", kRsaPkcs1},   // rsaEncryption
    {"1.2.840.113549.1.1.2", kRsaPkcs1},   // md2WithRSAEncryption
    {"1.2.840.113549.1.1.4", kRsaPkcs1},   // md5WithRSAEncryption
    {"1.2.840.113549.1.1.5", kRsaPkcs1},   // sha1WithRSAEncryption
    {"1.2.840.113549.1.1.14", kRsaPkcs1},  // sha224WithRSAEncryption
    {"1.2.840.113549.1.1.11", kRsaPkcs1},  // sha256WithRSAEncryption
    {"1.2.840.113549.1.1.12", kRsaPkcs1},  // sha384WithRSAEncryption
    {"1.2.840.113549.1.1.13", kRsaPkcs1},  // sha512WithRSAEncryption
    {"2.16.840.1.101.3.4.3.13", kRsaPkcs1},  // id-rsassa-pkcs1-v1_5-with-sha3-224
    {"2.16.840.1.101.3.4.3.14", kRsaPkcs1},  // ... sha3-256
    {"2.16.840.1.101.3.4.3.15", kRsaPkcs1},  // ... sha3-384
    {"2.16.840.1.101.3.4.3.16", kRsaPkcs1},  // ... sha3-512
    {"1.2.840.113549.1.1.10", kRsaPss},    // id-RSASSA-PSS
    {"1.2.840.10045.2.1", "ecdsa"},        // id-ecPublicKey
    {"1.2.840.10045.4.1", "ecdsa"},        // ecdsa-with-SHA1
    {"1.2.840.10045.4.3.1", "ecdsa"},      // ecdsa-with-SHA224
    {"1.2.840.10045.4.3.2", "ecdsa"},      // ecdsa-with-SHA256
    {"1.2.840.10045.4.3.3", "ecdsa"},      // ecdsa-with-SHA384
    {"1.2.840.10045.4.3.4", "ecdsa"},      // ecdsa-with-SHA512
    {"2.16.840.1.101.3.4.3.9", "ecdsa"},   // id-ecdsa-with-sha3-224
    {"2.16.840.1.101.3.4.3.10", "ecdsa"},  // id-ecdsa-with-sha3-256
    {"2.16.840.1.101.3.4.3.11", "ecdsa"},  // id-ecdsa-with-sha3-384
    {"2.16.840.1.101.3.4.3.12", "ecdsa"},  // id-ecdsa-with-sha3-512
    {"1.2.840.10040.4.1", "dsa"},          // id-dsa
    {"1.2.840.10040.4.3", "dsa"},          // id-dsa-with-sha1
    {"2.16.840.1.101.3.4.3.1", "dsa"},     // id-dsa-with-sha224
    {"2.16.840.1.101.3.4.3.2", "dsa"},     // id-dsa-with-sha256
    {"2.16.840.1.101.3.4.3.3", "dsa"},     // id-dsa-with-sha384
    {"2.16.840.1.101.3.4.3.4", "dsa"},     // id-dsa-with-sha512
    {"2.16.840.1.101.3.4.3.5", "dsa"},     // id-dsa-with-sha3-224
    {"2.16.840.1.101.3.4.3.6", "dsa"},     // id-dsa-with-sha3-256
    {"1.3.101.112", "ed25519"},
    {"1.3.101.113", "ed448"},
}};

// Every digest of kDigests fetched once per process (nullptr where the providers lack it):
// immutable algorithm objects, so that a verification does not repeat the provider look-ups
// and their locks.
const std::array<ossl::UniquePtr<EVP_MD>, kDigests.size()>& fetched_digests() {
  static const auto fetched = [] {
    std::array<ossl::UniquePtr<EVP_MD>, kDigests.size()> digests;
    for (std::size_t i = 0; i < kDigests.size(); ++i) {
      digests[i].reset(EVP_MD_fetch(nullptr, std::string(kDigests[i].openssl_name).c_str(), nullptr));
    }
    ossl::clear_errors();  // the missing ones are reported when they are asked for
    return digests;
  }();
  return fetched;
}

}  // namespace

const DigestAlgorithm* find_digest(std::string_view oid) noexcept {
  for (const auto& digest : kDigests) {
    if (digest.oid == oid) return &digest;
  }
  return nullptr;
}

const DigestAlgorithm& digest_algorithm(const std::string& oid, std::string_view role) {
  const DigestAlgorithm* digest = find_digest(oid);
  if (digest == nullptr) {
    throw MalformedSignatureError("Unsupported " + std::string(role) + " " + oid);
  }
  return *digest;
}

std::string_view signature_family(const std::string& oid) {
  for (const auto& entry : kSignatureFamilies) {
    if (entry.oid == oid) return entry.family;
  }
  throw MalformedSignatureError("Unsupported signature algorithm " + oid);
}

const EVP_MD* fetch_digest(const DigestAlgorithm& digest) {
  const EVP_MD* md = fetched_digests()[static_cast<std::size_t>(&digest - kDigests.data())].get();
  if (md != nullptr) return md;
  // Fetch again only to put OpenSSL's reason on the error queue.
  ossl::clear_errors();
  const ossl::UniquePtr<EVP_MD> retry(EVP_MD_fetch(nullptr, std::string(digest.openssl_name).c_str(), nullptr));
  ossl::throw_error("Digest algorithm " + std::string(digest.openssl_name) + " is not available");
}

void MultiDigest::add(const DigestAlgorithm& digest) {
  for (const auto& entry : entries_) {
    if (entry.digest == &digest) return;
  }
  Entry entry{&digest, ossl::UniquePtr<EVP_MD_CTX>(EVP_MD_CTX_new())};
  const EVP_MD* md = fetch_digest(digest);
  if (!entry.context || EVP_DigestInit_ex2(entry.context.get(), md, nullptr) != 1) {
    ossl::throw_error("Cannot start a " + std::string(digest.openssl_name) + " digest");
  }
  entries_.push_back(std::move(entry));
}

void MultiDigest::update(ByteView chunk) {
  for (auto& entry : entries_) {
    if (EVP_DigestUpdate(entry.context.get(), chunk.data(), chunk.size()) != 1) {
      ossl::throw_error("Cannot compute a " + std::string(entry.digest->openssl_name) + " digest");
    }
  }
}

std::vector<std::pair<const DigestAlgorithm*, Bytes>> MultiDigest::finish() {
  std::vector<std::pair<const DigestAlgorithm*, Bytes>> results;
  for (auto& entry : entries_) {
    Bytes value(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(entry.context.get(), value.data(), &size) != 1) {
      ossl::throw_error("Cannot compute a " + std::string(entry.digest->openssl_name) + " digest");
    }
    value.resize(size);
    results.emplace_back(entry.digest, std::move(value));
  }
  return results;
}

}  // namespace norvan::signing::brisvale::detail
