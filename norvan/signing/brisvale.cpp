#include "norvan/signing/brisvale.hpp"

#include "norvan/common/files.hpp"
#include "norvan/signing/der.hpp"

#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string_view>
#include <system_error>

namespace norvan::signing::brisvale {
namespace {

constexpr std::string_view kSignedDataOid = "1.2.840.113549.1.7.2";
constexpr std::string_view kMessageDigestOid = "1.2.840.113549.1.9.4";
constexpr std::string_view kMgf1Oid = "1.2.840.113549.1.1.8";
constexpr std::uint8_t kUniversalSet = 0x31;
constexpr std::size_t kChunkSize = 64 * 1024;

// ---------------------------------------------------------------------------------------
// Algorithm tables

struct DigestAlgorithm {
  std::string_view oid;
  std::string_view name;          // lower-case name
  std::string_view openssl_name;  // the upper-cased name as OpenSSL fetches it
};

constexpr std::array<DigestAlgorithm, 10> kDigests{{
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

const DigestAlgorithm* find_digest(std::string_view oid) noexcept {
  for (const auto& digest : kDigests) {
    if (digest.oid == oid) return &digest;
  }
  return nullptr;
}

constexpr std::string_view kRsaPkcs1 = "rsassa_pkcs1v15";
constexpr std::string_view kRsaPss = "rsassa_pss";

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

// ---------------------------------------------------------------------------------------
// Errors for malformed input

[[noreturn]] void malformed(const std::string& text) {
  throw MalformedSignatureError("Malformed signature: " + text);
}

// Throws MalformedSignatureError describing the failure that `reader` recorded for `what`.
void need(bool ok, const der::Reader& reader, std::string_view what) {
  if (ok) return;
  malformed(std::string(what) + " " + der::describe(reader.error()) + " at byte " +
            std::to_string(reader.error_offset()));
}

std::string hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t octet : bytes) {
    text += kDigits[octet >> 4];
    text += kDigits[octet & 0x0F];
  }
  return text;
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

// ---------------------------------------------------------------------------------------
// SignedData parsing

AlgorithmIdentifier read_algorithm(der::Reader& outer, const std::string& what) {
  der::Reader reader;
  need(outer.get(der::kSequence, reader), outer, what);
  AlgorithmIdentifier algorithm;
  need(reader.get_oid(algorithm.oid), reader, what + ".algorithm");
  if (!reader.empty()) {
    der::Tag tag = 0;
    ByteView parameters;
    std::size_t header_size = 0;
    need(reader.get_any_element(tag, parameters, header_size), reader, what + ".parameters");
    algorithm.parameters = parameters;
  }
  need(reader.expect_end(), reader, what);
  return algorithm;
}

void skip_all(der::Reader& reader, der::Tag tag, const std::string& what) {
  while (!reader.empty()) need(reader.skip(tag), reader, what);
}

void read_certificates(der::Reader& signed_data, SignedDataView& view) {
  der::Reader certificates;
  bool present = false;
  need(signed_data.get_optional(der::context_tag(0, true), certificates, present), signed_data,
       "SignedData.certificates");
  for (std::size_t index = 0; !certificates.empty(); ++index) {
    const std::size_t offset = certificates.offset();
    const std::string what = "SignedData.certificates[" + std::to_string(index) + "]";
    der::Tag tag = 0;
    ByteView element;
    std::size_t header_size = 0;
    need(certificates.get_any_element(tag, element, header_size), certificates, what);
    if (tag != der::kSequence) {
      throw MalformedSignatureError("Unsupported certificate choice " + der::tag_name(tag) + " in " +
                                    what + " at byte " + std::to_string(offset) +
                                    ": only X.509 certificates are supported");
    }
    view.certificates.push_back(element);
  }
}

void read_signer_identifier(der::Reader& signer, SignedDataView& view) {
  if (signer.next_is(der::context_tag(0, false))) {
    need(signer.skip(der::context_tag(0, false)), signer, "SignerInfo.sid");
    return;  // subjectKeyIdentifier: rejected when the certificate is chosen
  }
  der::Reader issuer_and_serial;
  need(signer.get(der::kSequence, issuer_and_serial), signer, "SignerInfo.sid");
  need(issuer_and_serial.skip(der::kSequence), issuer_and_serial, "SignerInfo.sid.issuer");
  der::Reader probe = issuer_and_serial;
  ByteView contents;
  need(probe.get_integer(contents), probe, "SignerInfo.sid.serialNumber");
  ByteView serial;
  need(issuer_and_serial.get_element(der::kInteger, serial), issuer_and_serial,
       "SignerInfo.sid.serialNumber");
  need(issuer_and_serial.expect_end(), issuer_and_serial, "SignerInfo.sid");
  view.signer_serial = serial;
}

void read_first_signer(der::Reader& signer, SignedDataView& view) {
  std::int64_t version = 0;
  need(signer.get_int64(version), signer, "SignerInfo.version");
  read_signer_identifier(signer, view);
  need(signer.skip(der::kSequence), signer, "SignerInfo.digestAlgorithm");
  ByteView attributes;
  bool present = false;
  need(signer.get_optional_element(der::context_tag(0, true), attributes, present), signer,
       "SignerInfo.signedAttrs");
  if (present) view.signed_attributes = attributes;
  view.signature_algorithm = read_algorithm(signer, "SignerInfo.signatureAlgorithm");
  need(signer.get_bytes(der::kOctetString, view.signature), signer, "SignerInfo.signature");
  need(signer.skip_optional(der::context_tag(1, true)), signer, "SignerInfo.unsignedAttrs");
  need(signer.expect_end(), signer, "SignerInfo");
}

// ---------------------------------------------------------------------------------------
// Digests

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

// Returns `digest`'s algorithm object (owned by the process-wide table). Throws
// ossl::OpenSSLError with OpenSSL's reason when the providers do not offer it.
const EVP_MD* fetch_digest(const DigestAlgorithm& digest) {
  const EVP_MD* md = fetched_digests()[static_cast<std::size_t>(&digest - kDigests.data())].get();
  if (md != nullptr) return md;
  // Fetch again only to put OpenSSL's reason on the error queue.
  ossl::clear_errors();
  const ossl::UniquePtr<EVP_MD> retry(EVP_MD_fetch(nullptr, std::string(digest.openssl_name).c_str(), nullptr));
  ossl::throw_error("Digest algorithm " + std::string(digest.openssl_name) + " is not available");
}

// Computes several digests over the same bytes in one pass.
class MultiDigest {
 public:
  void add(const DigestAlgorithm& digest) {
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

  void update(ByteView chunk) {
    for (auto& entry : entries_) {
      if (EVP_DigestUpdate(entry.context.get(), chunk.data(), chunk.size()) != 1) {
        ossl::throw_error("Cannot compute a " + std::string(entry.digest->openssl_name) + " digest");
      }
    }
  }

  // Returns (algorithm, digest) pairs; the object is spent afterwards.
  std::vector<std::pair<const DigestAlgorithm*, Bytes>> finish() {
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

 private:
  struct Entry {
    const DigestAlgorithm* digest;
    ossl::UniquePtr<EVP_MD_CTX> context;
  };
  std::vector<Entry> entries_;
};

// The bytes the signature covers ("signedData"): the signed attributes with their first octet
// replaced by the SET tag, or the payload, whose digests were computed while it streamed by.
class SignedContent {
 public:
  SignedContent(std::optional<ByteView> attributes,
                std::vector<std::pair<const DigestAlgorithm*, Bytes>> payload_digests)
      : attributes_(attributes), payload_digests_(std::move(payload_digests)) {}

  // Returns the digest of the signed bytes with `digest`. Throws ossl::OpenSSLError.
  Bytes digest(const DigestAlgorithm& digest) const {
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

 private:
  std::optional<ByteView> attributes_;
  std::vector<std::pair<const DigestAlgorithm*, Bytes>> payload_digests_;
};

// Returns the value of the last message-digest attribute, or nullopt when there is none.
std::optional<ByteView> signed_message_digest(ByteView attributes_element) {
  der::Reader outer(attributes_element);  // offsets relative to the element
  der::Reader attributes;
  need(outer.get(der::context_tag(0, true), attributes), outer, "SignerInfo.signedAttrs");
  std::optional<ByteView> message_digest;
  for (std::size_t index = 0; !attributes.empty(); ++index) {
    const std::string what = "signed attribute " + std::to_string(index);
    der::Reader attribute;
    need(attributes.get(der::kSequence, attribute), attributes, what);
    std::string type;
    need(attribute.get_oid(type), attribute, what + " type");
    der::Reader values;
    need(attribute.get(der::kSet, values), attribute, what + " values");
    need(attribute.expect_end(), attribute, what);
    if (type != kMessageDigestOid) continue;
    if (values.empty()) malformed("the message-digest attribute has no value");
    ByteView value;
    need(values.get_bytes(der::kOctetString, value), values, "message-digest value");
    message_digest = value;
  }
  return message_digest;
}

// ---------------------------------------------------------------------------------------
// Signature check

struct PssParameters {
  const DigestAlgorithm* hash;
  int salt_length;
};

// RSASSA-PSS-params (RFC 4055) with their defaults: SHA-1, MGF1, salt length 20. The MGF1
// hash is always the PSS hash; the trailer field is not read.
PssParameters read_pss_parameters(const AlgorithmIdentifier& algorithm) {
  if (!algorithm.parameters) malformed("the RSASSA-PSS signature algorithm has no parameters");
  der::Reader outer(*algorithm.parameters);
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

// The hash the PSS check will need, if it can be known now; nullptr otherwise (the error
// then comes, in its proper order, from the check itself).
const DigestAlgorithm* planned_pss_hash(const SignedDataView& view) noexcept {
  try {
    if (signature_family(view.signature_algorithm.oid) != kRsaPss) return nullptr;
    return read_pss_parameters(view.signature_algorithm).hash;
  } catch (...) {
    return nullptr;
  }
}

// ---------------------------------------------------------------------------------------
// Certificates

Certificate parse_certificate(ByteView der_bytes) {
  const unsigned char* cursor = der_bytes.data();
  if (der_bytes.size() > static_cast<std::size_t>(LONG_MAX)) return nullptr;
  X509* parsed = d2i_X509(nullptr, &cursor, static_cast<long>(der_bytes.size()));
  if (parsed == nullptr) return nullptr;
  Certificate cert(parsed, X509_free);
  if (cursor != der_bytes.data() + der_bytes.size()) return nullptr;
  // Compute OpenSSL's cached extension data now, so that the object is not changed later.
  X509_check_purpose(parsed, -1, 0);
  ossl::clear_errors();
  return cert;
}

// The DER encoding of `cert`. Throws ossl::OpenSSLError when it cannot be encoded.
Bytes der_of(X509* cert) {
  const int length = i2d_X509(cert, nullptr);
  if (length <= 0) ossl::throw_error("Cannot encode a trusted certificate");
  Bytes der(static_cast<std::size_t>(length));
  unsigned char* out = der.data();
  if (i2d_X509(cert, &out) != length) ossl::throw_error("Cannot encode a trusted certificate");
  return der;
}

std::string subject_of(X509* cert) {
  ossl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0) return "?";
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

[[noreturn]] void validation_failure(int code, int depth, X509* cert) {
  std::string text = X509_verify_cert_error_string(code);
  if (cert != nullptr) text += " (certificate at depth " + std::to_string(depth) + ": " + subject_of(cert) + ")";
  throw CertificateValidationFailure(text, code, depth);
}

// Returns the first PEM block's contents when `entry` holds a PEM boundary, else `entry`.
Bytes certificate_der(ByteView entry, const std::string& what) {
  static constexpr std::string_view kBoundary = "-----BEGIN";
  const std::string_view text = as_text(entry);
  if (text.find(kBoundary) == std::string_view::npos) return Bytes(entry.begin(), entry.end());
  const ossl::UniquePtr<BIO> bio = ossl::memory_reader(entry.data(), entry.size());
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long size = 0;
  ossl::clear_errors();
  const int ok = PEM_read_bio(bio.get(), &name, &header, &data, &size);
  Bytes contents;
  if (ok == 1) contents.assign(data, data + size);
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(data);
  if (ok != 1) {
    const std::string reason = ossl::take_error_reason();
    throw InvalidTrustedCertificateError(what + " holds no valid PEM block" +
                                         (reason.empty() ? "" : ": " + reason));
  }
  return contents;
}

Certificate load_trusted_certificate(ByteView entry, const std::string& what) {
  const Bytes der_bytes = certificate_der(entry, what);
  ossl::clear_errors();
  Certificate cert = parse_certificate(der_bytes);
  if (!cert) {
    const std::string reason = ossl::take_error_reason();
    throw InvalidTrustedCertificateError(what + " is not an X.509 certificate in PEM or DER" +
                                         (reason.empty() ? "" : ": " + reason));
  }
  return cert;
}

// The entries of `directory` matching "*.pem" (not recursive, no names starting with a dot,
// case-sensitive), in listing order. A missing directory (or a non-directory) has none.
std::vector<std::filesystem::path> pem_files(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return files;
  std::filesystem::directory_iterator it(directory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 4 && name.front() != '.' && name.ends_with(".pem")) files.push_back(it->path());
  }
  if (error) throw_file_error("Cannot list trusted certificate directory", directory, error.value());
  return files;
}

std::shared_ptr<const ValidationContext> build_context(const std::optional<std::vector<Bytes>>& trusted,
                                                       const std::optional<std::filesystem::path>& directory) {
  std::optional<std::vector<Certificate>> roots;
  if (trusted) {
    roots.emplace();
    for (std::size_t i = 0; i < trusted->size(); ++i) {
      roots->push_back(load_trusted_certificate((*trusted)[i], "Trusted certificate #" + std::to_string(i + 1)));
    }
  }
  if (directory) {
    if (!roots) roots.emplace();
    for (const auto& file : pem_files(*directory)) {
      const Bytes contents = read_file(file, "trusted certificate file");
      roots->push_back(load_trusted_certificate(contents, "Trusted certificate file '" + file.string() + "'"));
    }
  }
  return roots ? ValidationContext::with_roots(std::move(*roots)) : ValidationContext::system_default();
}

// Throws CertificateError carrying the failure of the finished validation `thread`, if any.
void report_certificate_validation(const CertificateValidatorThread& thread) {
  if (!thread.exception) return;
  std::string text;
  try {
    std::rethrow_exception(thread.exception);
  } catch (const std::exception& failure) {
    text = failure.what();
  } catch (...) {
    text = "certificate validation failed";
  }
  throw CertificateError(text, thread.exception);
}

}  // namespace

// -----------------------------------------------------------------------------------------

SignedDataView parse_signed_data(ByteView datas) {
  if (datas.empty()) malformed("the signature data is empty");
  der::Reader input(datas);
  der::Reader content_info;
  need(input.get(der::kSequence, content_info), input, "ContentInfo");
  need(input.expect_end(), input, "ContentInfo");
  std::string content_type;
  need(content_info.get_oid(content_type), content_info, "ContentInfo.contentType");
  if (content_type != kSignedDataOid) {
    malformed("ContentInfo holds content type " + content_type + ", not SignedData");
  }
  der::Reader explicit_content;
  need(content_info.get(der::context_tag(0, true), explicit_content), content_info, "ContentInfo.content");
  need(content_info.expect_end(), content_info, "ContentInfo");
  der::Reader signed_data;
  need(explicit_content.get(der::kSequence, signed_data), explicit_content, "SignedData");
  need(explicit_content.expect_end(), explicit_content, "ContentInfo.content");

  SignedDataView view;
  std::int64_t version = 0;
  need(signed_data.get_int64(version), signed_data, "SignedData.version");
  der::Reader digest_algorithms;
  need(signed_data.get(der::kSet, digest_algorithms), signed_data, "SignedData.digestAlgorithms");
  if (digest_algorithms.empty()) malformed("SignedData has no digest algorithm");
  view.digest_algorithm = read_algorithm(digest_algorithms, "SignedData.digestAlgorithms[0]");
  skip_all(digest_algorithms, der::kSequence, "SignedData.digestAlgorithms");
  need(signed_data.skip(der::kSequence), signed_data, "SignedData.encapContentInfo");
  read_certificates(signed_data, view);
  need(signed_data.skip_optional(der::context_tag(1, true)), signed_data, "SignedData.crls");
  der::Reader signer_infos;
  need(signed_data.get(der::kSet, signer_infos), signed_data, "SignedData.signerInfos");
  need(signed_data.expect_end(), signed_data, "SignedData");
  if (signer_infos.empty()) malformed("SignedData has no signer");
  der::Reader signer;
  need(signer_infos.get(der::kSequence, signer), signer_infos, "SignerInfo");
  read_first_signer(signer, view);
  skip_all(signer_infos, der::kSequence, "SignedData.signerInfos");
  return view;
}

SignerCertificates choose_certificates(const SignedDataView& signed_data) {
  return choose_certificates(signed_data, nullptr);
}

SignerCertificates choose_certificates(const SignedDataView& signed_data, const ValidationContext* known) {
  if (signed_data.certificates.empty()) malformed("SignedData holds no certificates");
  if (!signed_data.signer_serial) {
    throw MalformedSignatureError(
        "Unsupported signer identifier: the signer is named by subject key identifier, not by "
        "issuer and serial number");
  }
  const ByteView serial_der = *signed_data.signer_serial;
  const unsigned char* cursor = serial_der.data();
  ossl::UniquePtr<ASN1_STRING> serial(d2i_ASN1_INTEGER(nullptr, &cursor, static_cast<long>(serial_der.size())));
  if (!serial) ossl::throw_error("Cannot decode the signer's serial number");

  SignerCertificates chosen;
  for (std::size_t i = 0; i < signed_data.certificates.size(); ++i) {
    // A certificate that is also a trust root (a self-signed signer, typically) was parsed
    // when the roots were gathered: same bytes, same object.
    Certificate cert = known != nullptr ? known->find_root(signed_data.certificates[i]) : nullptr;
    if (!cert) {
      ossl::clear_errors();
      cert = parse_certificate(signed_data.certificates[i]);
    }
    if (!cert) {
      const std::string reason = ossl::take_error_reason();
      malformed("SignedData.certificates[" + std::to_string(i) + "] is not a valid X.509 certificate" +
                (reason.empty() ? "" : ": " + reason));
    }
    if (ASN1_INTEGER_cmp(X509_get0_serialNumber(cert.get()), serial.get()) == 0) {
      chosen.cert = std::move(cert);
    } else {
      chosen.othercerts.push_back(std::move(cert));
    }
  }
  if (!chosen.cert) {
    der::Reader reader(serial_der);
    ByteView contents;
    if (!reader.get_integer(contents)) contents = serial_der;
    malformed("no certificate in SignedData has the signer's serial number 0x" + hex(contents));
  }
  return chosen;
}

// ---- ValidationContext ------------------------------------------------------------------

std::shared_ptr<const ValidationContext> ValidationContext::system_default() {
  std::shared_ptr<X509_STORE> store(X509_STORE_new(), X509_STORE_free);
  if (!store) ossl::throw_error("Cannot create a certificate store");
  if (X509_STORE_set_default_paths(store.get()) != 1) ossl::throw_error("Cannot load the system's trust store");
  return std::shared_ptr<const ValidationContext>(new ValidationContext(std::nullopt, {}, std::move(store)));
}

std::shared_ptr<const ValidationContext> ValidationContext::with_roots(std::vector<Certificate> trust_roots) {
  std::shared_ptr<X509_STORE> store(X509_STORE_new(), X509_STORE_free);
  if (!store) ossl::throw_error("Cannot create a certificate store");
  std::vector<Bytes> encodings;
  encodings.reserve(trust_roots.size());
  for (const auto& root : trust_roots) {
    X509_check_purpose(root.get(), -1, 0);  // fill OpenSSL's caches before sharing
    if (X509_STORE_add_cert(store.get(), root.get()) != 1) ossl::throw_error("Cannot add a trusted certificate");
    encodings.push_back(der_of(root.get()));
  }
  return std::shared_ptr<const ValidationContext>(
      new ValidationContext(std::move(trust_roots), std::move(encodings), std::move(store)));
}

Certificate ValidationContext::find_root(ByteView der) const {
  for (std::size_t i = 0; i < encodings_.size(); ++i) {
    if (std::ranges::equal(encodings_[i], der)) return (*roots_)[i];
  }
  return nullptr;
}

// ---- CertificateValidator ---------------------------------------------------------------

CertificateValidator::CertificateValidator(Certificate end_entity, std::vector<Certificate> intermediates,
                                           std::shared_ptr<const ValidationContext> validation_context)
    : end_entity_(std::move(end_entity)),
      intermediates_(std::move(intermediates)),
      context_(std::move(validation_context)) {}

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
  X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(ctx.get()), X509_V_FLAG_PARTIAL_CHAIN);
  if (X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_ANY) != 1) {
    ossl::throw_error("Cannot set the validation purpose");
  }
  const int verified = X509_verify_cert(ctx.get());
  if (verified != 1) {
    const int code = X509_STORE_CTX_get_error(ctx.get());
    if (code == X509_V_OK) ossl::throw_error("Certificate validation failed");
    validation_failure(code, X509_STORE_CTX_get_error_depth(ctx.get()), X509_STORE_CTX_get_current_cert(ctx.get()));
  }
  if ((X509_get_extension_flags(end_entity_.get()) & EXFLAG_KUSAGE) != 0 &&
      (X509_get_key_usage(end_entity_.get()) & required_key_usage) != required_key_usage) {
    validation_failure(X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE, 0, end_entity_.get());
  }
  std::vector<Certificate> path;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    if (X509_up_ref(cert) != 1) ossl::throw_error("Cannot keep the validated path");
    path.emplace_back(cert, X509_free);
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

// ---- VerifyData -------------------------------------------------------------------------

VerifyData::VerifyData(const std::optional<std::vector<Bytes>>& trustedCerts,
                       const std::optional<std::filesystem::path>& systemCertsPath)
    : context(build_context(trustedCerts, systemCertsPath)) {}

void VerifyData::verify_payload(ByteView datas, const PayloadFeeder& feed) const {
  // 1. Parse.
  const SignedDataView view = parse_signed_data(datas);
  const DigestAlgorithm& algo = digest_algorithm(view.digest_algorithm.oid, "digest algorithm");

  // 2. Digest the payload, in one pass with the PSS hash when the signature covers the
  //    payload directly and the check will need that hash.
  MultiDigest payload_digest;
  payload_digest.add(algo);
  if (!view.signed_attributes) {
    if (const DigestAlgorithm* pss_hash = planned_pss_hash(view)) {
      try {
        payload_digest.add(*pss_hash);
      } catch (const ossl::OpenSSLError&) {
        // Unavailable: the signature check reports it.
      }
    }
  }
  feed([&payload_digest](ByteView chunk) { payload_digest.update(chunk); });
  auto payload_digests = payload_digest.finish();
  const Bytes md_data = payload_digests.front().second;

  // 3. Signed attributes.
  std::optional<Bytes> md_signed;
  if (view.signed_attributes) {
    if (const auto value = signed_message_digest(*view.signed_attributes)) md_signed = Bytes(value->begin(), value->end());
  } else {
    md_signed = md_data;
  }
  const SignedContent content(view.signed_attributes, std::move(payload_digests));

  // 4. Digest check, before any certificate or signature work.
  if (!md_signed || *md_signed != md_data) {
    throw HashValueError("Different hash values for raw and signed payload digests");
  }

  // 5. and 6. The signer's certificate and public key.
  const SignerCertificates certificates = choose_certificates(view, context.get());
  EVP_PKEY* public_key = X509_get0_pubkey(certificates.cert.get());
  if (public_key == nullptr) {
    const std::string reason = ossl::take_error_reason();
    throw MalformedSignatureError("The public key of the signer's certificate cannot be loaded" +
                                  (reason.empty() ? "" : ": " + reason));
  }

  // 7. Signature, while the certificate validation already runs on its worker thread (both
  //    only read the certificate and key). A signature failure is reported first; the
  //    thread's destructor then joins it.
  CertificateValidatorThread validation(CertificateValidator(certificates.cert, certificates.othercerts, context));
  validation.start();
  check_signature(public_key, view, algo, content);

  // 8. Certificate.
  validation.join();
  report_certificate_validation(validation);
}

Bytes VerifyData::verify(ByteView datas, Bytes datau) const {
  verify_payload(datas, [&datau](const ChunkSink& sink) { sink(datau); });
  return datau;
}

void VerifyData::verify_streamed(ByteView datas, PayloadReader& payload) const {
  verify_payload(datas, [&payload](const ChunkSink& sink) {
    Bytes buffer(kChunkSize);
    for (;;) {
      const std::size_t count = payload.read(buffer);
      if (count == 0) break;
      if (count > buffer.size()) throw std::logic_error("PayloadReader::read returned more bytes than asked for");
      sink(ByteView(buffer).first(count));
    }
  });
}

Bytes verify(ByteView datas, Bytes datau, const std::optional<std::vector<Bytes>>& certs,
             const std::optional<std::filesystem::path>& systemCertsPath) {
  const VerifyData record(certs, systemCertsPath);
  return record.verify(datas, std::move(datau));
}

}  // namespace norvan::signing::brisvale
