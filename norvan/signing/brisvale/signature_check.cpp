#include "norvan/signing/brisvale/signature_check.hpp"

#include "norvan/signing/brisvale/malformed.hpp"
#include "norvan/signing/brisvale/signed_data.hpp"

#include <openssl/rsa.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace norvan::signing::brisvale::detail {
namespace {

constexpr std::string_view kMgf1Oid = "1.2.840.113549.1.1.8";
constexpr std::uint8_t kUniversalSet = 0x31;

struct PssParameters {
  const DigestAlgorithm* hash;
  int salt_length;
};

// RSASSA-PSS-params (RFC 4055) with their defaults: SHA-1, MGF1, salt length 20. The MGF1
// hash is always the PSS hash; the trailer field is not read.
PssParameters read_pss_parameters(const AlgorithmIdentifier& algorithm) {
  if (!algorithm.parameters) malformed("the RSASSA-PSS signature algorithm has no parameters");
  der::Reader outer(*algorithm.parameters, der::Rules::ber);
  der::Reader params;
  need(outer.get(der::kSequence, params), outer, "RSASSA-PSS parameters");
  PssParameters result{find_digest("1.3.14.3.2.26"), 20};
  der::Reader field;
  bool present = false;
  need(params.get_optional(der::context_tag(0, true), field, present), params, "RSASSA-PSS hashAlgorithm");
  if (present) {
    const AlgorithmIdentifier hash = read_algorithm(field, "RSASSA-PSS hashAlgorithm");
    need(field.expect_end(), field, "RSASSA-PSS hashAlgorithm");
    result.hash = &digest_algorithm(hash.oid, "RSASSA-PSS hash algorithm");
  }
  need(params.get_optional(der::context_tag(1, true), field, present), params,
       "RSASSA-PSS maskGenAlgorithm");
  if (present) {
    const AlgorithmIdentifier mgf = read_algorithm(field, "RSASSA-PSS maskGenAlgorithm");
    need(field.expect_end(), field, "RSASSA-PSS maskGenAlgorithm");
    if (mgf.oid != kMgf1Oid) {
      throw MalformedSignatureError("Unsupported RSASSA-PSS mask generation function " + mgf.oid);
    }
  }
  need(params.get_optional(der::context_tag(2, true), field, present), params, "RSASSA-PSS saltLength");
  if (present) {
    std::int64_t salt = 0;
    need(field.get_int64(salt), field, "RSASSA-PSS saltLength");
    need(field.expect_end(), field, "RSASSA-PSS saltLength");
    if (salt < 0 || salt > INT_MAX) {
      throw MalformedSignatureError("Unsupported RSASSA-PSS salt length " + std::to_string(salt));
    }
    result.salt_length = static_cast<int>(salt);
  }
  need(params.skip_optional(der::context_tag(3, true)), params, "RSASSA-PSS trailerField");
  need(params.expect_end(), params, "RSASSA-PSS parameters");
  return result;
}

enum class Scheme { ecdsa, rsa_pkcs1, rsa_pss };

void check_ok(int rc, const char* what) {
  if (rc <= 0) ossl::throw_error(what);
}

// Verifies `signature` over a precomputed `digest` made with `hash`. Throws
// ossl::OpenSSLError when it does not verify or OpenSSL rejects the arguments.
void verify_digest(EVP_PKEY* key, ByteView signature, ByteView digest, const DigestAlgorithm& hash,
                   Scheme scheme, int salt_length) {
  ossl::clear_errors();
  const EVP_MD* md = fetch_digest(hash);
  ossl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx) ossl::throw_error("Cannot use the signer's public key");
  check_ok(EVP_PKEY_verify_init(ctx.get()), "Cannot start the signature check");
  if (scheme == Scheme::rsa_pkcs1) {
    check_ok(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), "Cannot select PKCS#1 v1.5 padding");
  } else if (scheme == Scheme::rsa_pss) {
    check_ok(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING), "Cannot select PSS padding");
  }
  check_ok(EVP_PKEY_CTX_set_signature_md(ctx.get(), md),
           ("Cannot use " + std::string(hash.openssl_name) + " for this signature").c_str());
  if (scheme == Scheme::rsa_pss) {
    check_ok(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md), "Cannot set the MGF1 hash");
    check_ok(EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), salt_length), "Cannot set the PSS salt length");
  }
  if (EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) != 1) {
    ossl::throw_error("The signature does not verify with the signer's public key");
  }
}

// Runs `check`; any failure becomes SignatureError with an empty message and that cause.
template <class Check>
void as_signature_check(Check&& check) {
  try {
    check();
  } catch (...) {
    throw SignatureError("", std::current_exception());
  }
}

}  // namespace

Bytes SignedContent::digest(const DigestAlgorithm& digest) const {
    if (!attributes_) {
      for (const auto& [algorithm, value] : payload_digests_) {
        if (algorithm == &digest) return value;
      }
      fetch_digest(digest);  // throws when that digest is what is missing
      throw std::logic_error("The " + std::string(digest.name) + " digest of the payload was not computed");
    }
    MultiDigest md;
    md.add(digest);
    const ByteView attributes = *attributes_;
    md.update(ByteView(&kUniversalSet, 1));
    md.update(attributes.subspan(1));
    return std::move(md.finish().front().second);
  }

void check_signature(EVP_PKEY* key, const SignedDataView& view, const DigestAlgorithm& algo,
                     const SignedContent& content) {
  const std::string_view family = signature_family(view.signature_algorithm.oid);
  if (EVP_PKEY_is_a(key, "EC") == 1) {
    as_signature_check([&] { verify_digest(key, view.signature, content.digest(algo), algo, Scheme::ecdsa, 0); });
  } else if (family == kRsaPss) {
    const PssParameters pss = read_pss_parameters(view.signature_algorithm);
    as_signature_check([&] {
      verify_digest(key, view.signature, content.digest(*pss.hash), *pss.hash, Scheme::rsa_pss, pss.salt_length);
    });
  } else if (family == kRsaPkcs1) {
    as_signature_check([&] { verify_digest(key, view.signature, content.digest(algo), algo, Scheme::rsa_pkcs1, 0); });
  } else {
    throw SignatureError("Unknown signature algorithm");
  }
}

const DigestAlgorithm* planned_pss_hash(const SignedDataView& view) noexcept {
  try {
    if (signature_family(view.signature_algorithm.oid) != kRsaPss) return nullptr;
    return read_pss_parameters(view.signature_algorithm).hash;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace norvan::signing::brisvale::detail
