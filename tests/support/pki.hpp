#pragma once
// A small test PKI: keys, CA and end-entity certificates made with OpenSSL for the tests, and
// CMS signatures made by the `openssl cms` program.
//
// Typical use:
//   auto root = make_root_ca("Test Root");
//   auto leaf = issue_certificate(root, "Signer");            // EC P-256, digitalSignature
//   Bytes sig = openssl_cms_sign(leaf, payload);               // detached DER SignedData
//   brisvale::verify(sig, payload, std::vector<Bytes>{root.cert_der()});

#include "norvan/common/bytes.hpp"
#include "norvan/common/openssl.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvan::testing {

/// The kinds of key the tests make. RSA keys have 2048 bits.
enum class KeyType { ec_p256, ec_p384, ec_p521, rsa2048, ed25519 };

/// Returns a fresh private key of `type`. Throws std::runtime_error when OpenSSL fails.
std::shared_ptr<EVP_PKEY> make_key(KeyType type = KeyType::ec_p256);

/// What a certificate made by make_root_ca / issue_certificate looks like.
struct CertificateOptions {
  KeyType key_type = KeyType::ec_p256;
  /// A CA certificate (basicConstraints CA:TRUE, keyCertSign|cRLSign added to key_usage).
  bool ca = false;
  /// keyUsage bits (KU_DIGITAL_SIGNATURE, ...); nullopt: no keyUsage extension at all.
  std::optional<unsigned> key_usage = KU_DIGITAL_SIGNATURE;
  /// Serial number; 0 picks a random positive 64-bit one.
  long serial = 0;
  /// Validity relative to now, in days (negative values lie in the past).
  long not_before_days = -1;
  long not_after_days = 365;
};

/// A key with its certificate. Copies share the same OpenSSL objects, which are not changed
/// after creation.
struct Credential {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> cert;

  /// The certificate as PEM text / DER bytes.
  std::string cert_pem() const;
  Bytes cert_der() const;
  /// The private key as unencrypted PKCS#8 PEM text.
  std::string key_pem() const;
};

/// Returns a self-signed CA certificate named CN=`common_name` with a new key
/// (options.ca is forced on). Throws std::runtime_error when OpenSSL fails.
Credential make_root_ca(const std::string& common_name, CertificateOptions options = {});

/// Returns a certificate named CN=`common_name` with a new key, signed by `issuer` with
/// SHA-256. Throws std::runtime_error when OpenSSL fails.
Credential issue_certificate(const Credential& issuer, const std::string& common_name,
                             CertificateOptions options = {});

/// Returns the PEM text / DER bytes of `cert`.
std::string to_pem(X509* cert);
Bytes to_der(X509* cert);

/// Options of `openssl cms -sign`.
struct CmsSignOptions {
  std::string digest = "sha256";          // -md
  bool signed_attributes = true;          // false: -noattr
  std::vector<std::string> key_options{}; // each passed as -keyopt (e.g. "rsa_pss_saltlen:32")
  std::vector<Credential> extra_certs{};  // -certfile, in this order
  bool include_signer_cert = true;        // false: -nocerts
  bool key_identifier = false;            // true: -keyid (signer named by subject key id)
  bool stream = false;                    // true: -stream (BER, with indefinite lengths)
};

/// Returns the detached CMS SignedData (DER ContentInfo; BER with options.stream) that
/// `openssl cms -sign -binary -outform DER` makes for `payload` with `signer`.
/// Throws std::runtime_error with openssl's standard error when the program fails.
Bytes openssl_cms_sign(const Credential& signer, ByteView payload,
                       const CmsSignOptions& options = {});

/// Returns the signature of `data` made with `key` and `digest` ("SHA256", ...; ignored
/// for Ed25519): ECDSA (DER), RSASSA-PKCS1-v1_5, or RSASSA-PSS when `pss_salt_length` is set
/// (MGF1 with the same digest). Throws std::runtime_error when OpenSSL fails.
Bytes sign_bytes(EVP_PKEY* key, ByteView data, const std::string& digest = "SHA256",
                 std::optional<int> pss_salt_length = std::nullopt);

}  // namespace norvan::testing
