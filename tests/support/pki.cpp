#include "tests/support/pki.hpp"

#include "tests/support/test_support.hpp"

#include <openssl/rand.h>

#include <stdexcept>

namespace norvan::testing {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("test PKI: " + what + ": " + ossl::take_error_reason());
}

void check(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

std::shared_ptr<EVP_PKEY> share(EVP_PKEY* key) { return {key, EVP_PKEY_free}; }
std::shared_ptr<X509> share(X509* cert) { return {cert, X509_free}; }

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string key_usage_text(unsigned bits) {
  static constexpr std::pair<unsigned, const char*> kNames[] = {
      {KU_DIGITAL_SIGNATURE, "digitalSignature"}, {KU_NON_REPUDIATION, "nonRepudiation"},
      {KU_KEY_ENCIPHERMENT, "keyEncipherment"},   {KU_DATA_ENCIPHERMENT, "dataEncipherment"},
      {KU_KEY_AGREEMENT, "keyAgreement"},         {KU_KEY_CERT_SIGN, "keyCertSign"},
      {KU_CRL_SIGN, "cRLSign"}};
  std::string text = "critical";
  for (const auto& [bit, name] : kNames) {
    if ((bits & bit) != 0) text += std::string(",") + name;
  }
  if (text == "critical") throw std::runtime_error("test PKI: a keyUsage needs at least one bit");
  return text;
}

void add_extension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  ossl::UniquePtr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  check(ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1, "cannot add extension " + value);
}

void set_serial(X509* cert, long serial) {
  ossl::UniquePtr<BIGNUM> bn(BN_new());
  check(bn != nullptr, "BN_new");
  if (serial != 0) {
    check(BN_set_word(bn.get(), static_cast<BN_ULONG>(serial)) == 1, "BN_set_word");
  } else {
    check(BN_rand(bn.get(), 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1, "BN_rand");
  }
  check(BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr, "serial");
}

// Makes a certificate for a new key; `issuer` null means self-signed.
Credential make_certificate(const Credential* issuer, const std::string& common_name,
                            const CertificateOptions& options) {
  Credential made;
  made.key = make_key(options.key_type);
  made.cert = share(X509_new());
  X509* cert = made.cert.get();
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert, X509_VERSION_3) == 1, "X509_set_version");
  set_serial(cert, options.serial);
  ossl::UniquePtr<X509_NAME> name(X509_NAME_new());
  check(name && X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char*>(common_name.c_str()),
                                           -1, -1, 0) == 1,
        "subject name");
  check(X509_set_subject_name(cert, name.get()) == 1, "X509_set_subject_name");
  X509* issuer_cert = issuer != nullptr ? issuer->cert.get() : cert;
  EVP_PKEY* issuer_key = issuer != nullptr ? issuer->key.get() : made.key.get();
  check(X509_set_issuer_name(cert, X509_get_subject_name(issuer_cert)) == 1, "issuer name");
  check(X509_gmtime_adj(X509_getm_notBefore(cert), options.not_before_days * 86400L) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert), options.not_after_days * 86400L) != nullptr,
        "validity");
  check(X509_set_pubkey(cert, made.key.get()) == 1, "X509_set_pubkey");

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer_cert, cert, nullptr, nullptr, 0);
  add_extension(cert, &ctx, NID_basic_constraints, options.ca ? "critical,CA:TRUE" : "CA:FALSE");
  std::optional<unsigned> usage = options.key_usage;
  if (options.ca) usage = usage.value_or(0) | KU_KEY_CERT_SIGN | KU_CRL_SIGN;
  if (usage) add_extension(cert, &ctx, NID_key_usage, key_usage_text(*usage));
  add_extension(cert, &ctx, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) add_extension(cert, &ctx, NID_authority_key_identifier, "keyid:always");

  const bool pure_signature = EVP_PKEY_is_a(issuer_key, "ED25519") == 1;
  check(X509_sign(cert, issuer_key, pure_signature ? nullptr : EVP_sha256()) > 0, "X509_sign");
  return made;
}

}  // namespace

std::shared_ptr<EVP_PKEY> make_key(KeyType type) {
  EVP_PKEY* key = nullptr;
  switch (type) {
    case KeyType::ec_p256: key = EVP_EC_gen("P-256"); break;
    case KeyType::ec_p384: key = EVP_EC_gen("P-384"); break;
    case KeyType::ec_p521: key = EVP_EC_gen("P-521"); break;
    case KeyType::rsa2048: key = EVP_RSA_gen(2048); break;
    case KeyType::ed25519: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"); break;
  }
  check(key != nullptr, "key generation");
  return share(key);
}

std::string Credential::cert_pem() const { return to_pem(cert.get()); }

Bytes Credential::cert_der() const { return to_der(cert.get()); }

std::string Credential::key_pem() const {
  ossl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
  return bio_text(bio.get());
}

Credential make_root_ca(const std::string& common_name, CertificateOptions options) {
  options.ca = true;
  return make_certificate(nullptr, common_name, options);
}

Credential issue_certificate(const Credential& issuer, const std::string& common_name,
                             CertificateOptions options) {
  return make_certificate(&issuer, common_name, options);
}

std::string to_pem(X509* cert) {
  ossl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
  return bio_text(bio.get());
}

Bytes to_der(X509* cert) {
  unsigned char* data = nullptr;
  const int size = i2d_X509(cert, &data);
  check(size > 0, "i2d_X509");
  Bytes der(data, data + size);
  OPENSSL_free(data);
  return der;
}

Bytes openssl_cms_sign(const Credential& signer, ByteView payload, const CmsSignOptions& options) {
  TempDir dir;
  write_file(dir / "payload", as_text(payload));
  write_file(dir / "signer.pem", signer.cert_pem());
  write_file(dir / "key.pem", signer.key_pem());
  std::vector<std::string> argv{"openssl", "cms", "-sign", "-binary", "-outform", "DER",
                                "-in", (dir / "payload").string(),
                                "-signer", (dir / "signer.pem").string(),
                                "-inkey", (dir / "key.pem").string(),
                                "-md", options.digest,
                                "-out", (dir / "signature.der").string()};
  if (!options.signed_attributes) argv.push_back("-noattr");
  if (!options.include_signer_cert) argv.push_back("-nocerts");
  if (options.key_identifier) argv.push_back("-keyid");
  if (options.stream) argv.push_back("-stream");
  for (const auto& key_option : options.key_options) {
    argv.push_back("-keyopt");
    argv.push_back(key_option);
  }
  if (!options.extra_certs.empty()) {
    std::string bundle;
    for (const auto& extra : options.extra_certs) bundle += extra.cert_pem();
    write_file(dir / "extra.pem", bundle);
    argv.push_back("-certfile");
    argv.push_back((dir / "extra.pem").string());
  }
  const ProcessResult result = run_process(argv);
  if (result.exit_status != 0) {
    throw std::runtime_error("openssl cms -sign failed (" + std::to_string(result.exit_status) +
                             "): " + result.err);
  }
  return to_bytes(read_text(dir / "signature.der"));
}

Bytes sign_bytes(EVP_PKEY* key, ByteView data, const std::string& digest,
                 std::optional<int> pss_salt_length) {
  ossl::UniquePtr<EVP_MD_CTX> md_ctx(EVP_MD_CTX_new());
  check(md_ctx != nullptr, "EVP_MD_CTX_new");
  const bool pure_signature = EVP_PKEY_is_a(key, "ED25519") == 1;
  EVP_PKEY_CTX* pkey_ctx = nullptr;  // owned by md_ctx
  check(EVP_DigestSignInit_ex(md_ctx.get(), &pkey_ctx, pure_signature ? nullptr : digest.c_str(),
                              nullptr, nullptr, key, nullptr) == 1,
        "EVP_DigestSignInit_ex");
  if (pss_salt_length) {
    check(EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(pkey_ctx, *pss_salt_length) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md_name(pkey_ctx, digest.c_str(), nullptr) == 1,
          "PSS parameters");
  }
  std::size_t size = 0;
  check(EVP_DigestSign(md_ctx.get(), nullptr, &size, data.data(), data.size()) == 1, "EVP_DigestSign");
  Bytes signature(size);
  check(EVP_DigestSign(md_ctx.get(), signature.data(), &size, data.data(), data.size()) == 1,
        "EVP_DigestSign");
  signature.resize(size);
  return signature;
}

}  // namespace norvan::testing
