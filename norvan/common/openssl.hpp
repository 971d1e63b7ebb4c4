#pragma once
// Ownership of OpenSSL handles and translation of OpenSSL's error queue into exceptions.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::ossl {

/// Frees one kind of OpenSSL handle; specialised once per handle type.
template <class T>
struct Deleter;

#define NORVAN_OSSL_DELETER(type, free_function)            \
  template <>                                               \
  struct Deleter<type> {                                    \
    void operator()(type* p) const noexcept { free_function(p); } \
  }

NORVAN_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
NORVAN_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
NORVAN_OSSL_DELETER(OSSL_DECODER_CTX, OSSL_DECODER_CTX_free);
NORVAN_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
NORVAN_OSSL_DELETER(EVP_MD, EVP_MD_free);
NORVAN_OSSL_DELETER(EVP_CIPHER, EVP_CIPHER_free);
NORVAN_OSSL_DELETER(BIO, BIO_free_all);
NORVAN_OSSL_DELETER(BIGNUM, BN_free);
NORVAN_OSSL_DELETER(BN_CTX, BN_CTX_free);
NORVAN_OSSL_DELETER(EC_GROUP, EC_GROUP_free);
NORVAN_OSSL_DELETER(EC_POINT, EC_POINT_free);
// ASN1_INTEGER, ASN1_TIME, ASN1_OCTET_STRING and the other string types are all ASN1_STRING.
NORVAN_OSSL_DELETER(ASN1_STRING, ASN1_STRING_free);
NORVAN_OSSL_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
NORVAN_OSSL_DELETER(X509, X509_free);
NORVAN_OSSL_DELETER(X509_NAME, X509_NAME_free);
NORVAN_OSSL_DELETER(X509_EXTENSION, X509_EXTENSION_free);
NORVAN_OSSL_DELETER(X509_STORE, X509_STORE_free);
NORVAN_OSSL_DELETER(X509_CRL, X509_CRL_free);
NORVAN_OSSL_DELETER(X509_REQ, X509_REQ_free);
NORVAN_OSSL_DELETER(GENERAL_NAMES, GENERAL_NAMES_free);
NORVAN_OSSL_DELETER(X509_STORE_CTX, X509_STORE_CTX_free);
NORVAN_OSSL_DELETER(X509_ALGOR, X509_ALGOR_free);
NORVAN_OSSL_DELETER(PKCS7, PKCS7_free);
NORVAN_OSSL_DELETER(ECDSA_SIG, ECDSA_SIG_free);
NORVAN_OSSL_DELETER(RSA_PSS_PARAMS, RSA_PSS_PARAMS_free);
NORVAN_OSSL_DELETER(X509_SIG, X509_SIG_free);
NORVAN_OSSL_DELETER(PBEPARAM, PBEPARAM_free);
NORVAN_OSSL_DELETER(PBE2PARAM, PBE2PARAM_free);
NORVAN_OSSL_DELETER(PBKDF2PARAM, PBKDF2PARAM_free);

#undef NORVAN_OSSL_DELETER

/// A stack of certificates owns its certificates too.
template <>
struct Deleter<STACK_OF(X509)> {
  void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};

/// A stack of revocation lists owns its lists too.
template <>
struct Deleter<STACK_OF(X509_CRL)> {
  void operator()(STACK_OF(X509_CRL) * p) const noexcept { sk_X509_CRL_pop_free(p, X509_CRL_free); }
};

/// A stack of extensions owns its extensions too.
template <>
struct Deleter<STACK_OF(X509_EXTENSION)> {
  void operator()(STACK_OF(X509_EXTENSION) * p) const noexcept { sk_X509_EXTENSION_pop_free(p, X509_EXTENSION_free); }
};

/// Buffers that OpenSSL allocates for the caller (OPENSSL_malloc): names, headers, encodings.
template <>
struct Deleter<char> {
  void operator()(char* p) const noexcept { OPENSSL_free(p); }
};

template <>
struct Deleter<unsigned char> {
  void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};

/// Owning pointer for an OpenSSL handle, freed with the handle's own free function.
template <class T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

/// A number that is secret (a private scalar): wiped when freed.
struct ClearingBignumDeleter {
  void operator()(BIGNUM* p) const noexcept { BN_clear_free(p); }
};
using SecretBignum = std::unique_ptr<BIGNUM, ClearingBignumDeleter>;

/// A failure reported by OpenSSL. Its text names the operation and OpenSSL's reason.
class OpenSSLError : public Error {
 public:
  explicit OpenSSLError(const std::string& what) : Error(ErrorCode::crypto_library, what) {}
};

/// Returns the reason of the oldest error on this thread's OpenSSL error queue ("" when the
/// queue is empty) and clears the queue. Decoding failures read as plain sentences ("no PEM
/// block of the expected kind was found", "the DER encoding is malformed"); other reasons are
/// OpenSSL's own text.
std::string take_error_reason();

/// Empties this thread's OpenSSL error queue.
void clear_errors() noexcept;

/// Throws OpenSSLError "<context>: <reason>" (or just `context` when OpenSSL left no reason)
/// and clears the error queue.
[[noreturn]] void throw_error(std::string_view context);

/// Returns the DER encoding of `object` made by `i2d`, OpenSSL's encoder for its type. Throws
/// OpenSSLError with `failure` as its context when the object cannot be encoded.
template <class T>
Bytes to_der(const T* object, int (*i2d)(const T*, unsigned char**), std::string_view failure) {
  const int length = i2d(object, nullptr);
  if (length <= 0) throw_error(failure);
  Bytes der(static_cast<std::size_t>(length));
  unsigned char* out = der.data();
  if (i2d(object, &out) != length) throw_error(failure);
  return der;
}

/// Returns a memory BIO that reads `size` bytes at `data` without copying them; the bytes
/// must outlive the BIO. Throws OpenSSLError on allocation failure.
UniquePtr<BIO> memory_reader(const void* data, std::size_t size);

}  // namespace norvan::ossl

NORVAN_PUBLIC_END
