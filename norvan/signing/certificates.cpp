#include "norvan/signing/certificates.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <ctime>

namespace norvan::signing::certificates {
namespace {

constexpr const char* kCommonName = "norvan signing key";
constexpr int kLastYear = 9999;
constexpr int kSerialBits = 127;  // positive, and well over the 64 bits of entropy asked for

void check(int result, const char* what) {
  if (result <= 0) ossl::throw_error(std::string("Cannot create the certificate: ") + what);
}

ossl::UniquePtr<BIGNUM> random_serial() {
  ossl::UniquePtr<BIGNUM> serial(BN_new());
  if (!serial) ossl::throw_error("Cannot create the certificate: out of memory");
  do {
    check(BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), "no random serial number");
  } while (BN_is_zero(serial.get()));
  return serial;
}

void set_serial(X509* certificate) {
  const auto serial = random_serial();
  ossl::UniquePtr<ASN1_STRING> integer(BN_to_ASN1_INTEGER(serial.get(), nullptr));
  if (!integer) ossl::throw_error("Cannot create the certificate: serial number");
  check(X509_set_serialNumber(certificate, integer.get()), "serial number");
}

void set_names(X509* certificate) {
  X509_NAME* name = X509_get_subject_name(certificate);
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(kCommonName), -1, -1, 0),
        "subject name");
  check(X509_set_issuer_name(certificate, name), "issuer name");
}

void set_validity(X509* certificate, Expiry not_after) {
  check(X509_gmtime_adj(X509_getm_notBefore(certificate), 0) != nullptr, "start of validity");
  const auto seconds = static_cast<time_t>(not_after.time_since_epoch().count());
  check(ASN1_TIME_set(X509_getm_notAfter(certificate), seconds) != nullptr, "end of validity");
}

void add_extension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  ossl::UniquePtr<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension) ossl::throw_error(std::string("Cannot create the certificate: extension ") + value);
  check(X509_add_ext(certificate, extension.get(), -1), value);
}

// SHA-256 for RSA; for EC the hash that matches the curve's strength (P-384: SHA-384).
const EVP_MD* signature_digest(const merrowin::PrivateKey& key) {
  if (!key.is_elliptic_curve()) return key.is_rsa() ? EVP_sha256() : nullptr;
  const int bits = EVP_PKEY_get_bits(key.native());
  if (bits <= 256) return EVP_sha256();
  if (bits <= 384) return EVP_sha384();
  return EVP_sha512();
}

}  // namespace

Certificate::Certificate(ossl::UniquePtr<X509> certificate) : certificate_(std::move(certificate)) {}

Expiry calculate_expiry(int years) {
  using namespace std::chrono;
  if (years <= 0) {
    throw ValidityError("The validity must be at least one year, not " + std::to_string(years));
  }
  const auto now = floor<seconds>(system_clock::now());
  const auto today = floor<days>(now);
  const year_month_day date{today};
  if (static_cast<int>(date.year()) + static_cast<long long>(years) > kLastYear) {
    throw ValidityError("A validity of " + std::to_string(years) + " years would end after the year " +
                        std::to_string(kLastYear));
  }
  year_month_day end = date + std::chrono::years(years);
  if (!end.ok()) end = end.year() / end.month() / last;  // 29 February in a common year
  return sys_days(end) + (now - today);
}

Certificate palisande(const merrowin::PrivateKey& key, Expiry not_after) {
  ossl::clear_errors();
  ossl::UniquePtr<X509> certificate(X509_new());
  if (!certificate) ossl::throw_error("Cannot create the certificate: out of memory");
  X509* x = certificate.get();
  check(X509_set_version(x, X509_VERSION_3), "version");
  set_serial(x);
  set_names(x);
  set_validity(x, not_after);
  check(X509_set_pubkey(x, key.native()), "public key");
  add_extension(x, NID_basic_constraints, "critical,CA:FALSE");
  add_extension(x, NID_key_usage, "critical,digitalSignature");
  add_extension(x, NID_subject_key_identifier, "hash");
  if (X509_sign(x, key.native(), signature_digest(key)) <= 0) {
    ossl::throw_error("Cannot sign the certificate with the private key");
  }
  return Certificate(std::move(certificate));
}

Certificate read_certificate_pem(ByteView pem, const std::string& source) {
  ossl::clear_errors();
  const auto bio = ossl::memory_reader(pem.data(), pem.size());
  // No passphrase callback answer: certificates are never encrypted, and nothing may prompt.
  ossl::UniquePtr<X509> certificate(
      PEM_read_bio_X509(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
  if (certificate) return Certificate(std::move(certificate));
  const unsigned long error = ERR_peek_last_error();
  if (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE) {
    ossl::clear_errors();
    throw CertificateFormatError("The " + source + " holds no PEM certificate");
  }
  const std::string reason = ossl::take_error_reason();
  throw CertificateFormatError("The " + source + " holds a PEM certificate that cannot be read" +
                               (reason.empty() ? std::string() : ": " + reason));
}

std::vector<Bytes> read_certificate_chain_pem(ByteView pem, const std::string& source) {
  ossl::clear_errors();
  const auto bio = ossl::memory_reader(pem.data(), pem.size());
  std::vector<Bytes> chain;
  for (int block = 1;; ++block) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long size = 0;
    const int read = PEM_read_bio(bio.get(), &name, &header, &data, &size);
    const ossl::UniquePtr<char> owned_name(name);
    const ossl::UniquePtr<char> owned_header(header);
    const ossl::UniquePtr<unsigned char> owned_data(data);
    if (read != 1) {
      const unsigned long error = ERR_peek_last_error();
      if (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE) {
        ossl::clear_errors();
        if (chain.empty()) throw CertificateFormatError("The " + source + " holds no PEM certificate");
        return chain;
      }
      const std::string reason = ossl::take_error_reason();
      throw CertificateFormatError("The " + source + " holds a damaged PEM block (#" + std::to_string(block) + ")" +
                                   (reason.empty() ? std::string() : ": " + reason));
    }
    const std::string label(name);
    if (label != PEM_STRING_X509 && label != PEM_STRING_X509_OLD) {
      throw CertificateFormatError("The " + source + " holds a \"" + label + "\" PEM block (#" +
                                   std::to_string(block) + "), not a certificate");
    }
    const unsigned char* cursor = data;
    ossl::UniquePtr<X509> certificate(d2i_X509(nullptr, &cursor, size));
    if (!certificate || cursor != data + size) {
      const std::string reason = ossl::take_error_reason();
      throw CertificateFormatError("The " + source + " holds a certificate (#" + std::to_string(block) +
                                   ") that cannot be decoded" + (reason.empty() ? std::string() : ": " + reason));
    }
    chain.push_back(certificate_as_pem(Certificate(std::move(certificate))));
  }
}

Bytes certificate_as_pem(const Certificate& certificate) {
  ossl::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_X509(out.get(), certificate.native()) != 1) {
    ossl::throw_error("Cannot write the certificate as PEM");
  }
  const char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return Bytes(data, data + size);
}

}  // namespace norvan::signing::certificates
