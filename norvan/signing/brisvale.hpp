#pragma once
// Verification of detached CMS SignedData signatures and validation of the signer's
// certificate against trusted certificates.
//
// The SignedData is parsed with our own bounds-checked reader (der.hpp), in DER or in the BER
// that CMS allows (as openssl cms -stream and gpgsm write it), so that the signed attributes
// are hashed exactly as received; certificates inside it are parsed by OpenSSL from their
// exact bytes. Signatures are checked on precomputed digests, which lets
// the payload be streamed in chunks (VerifyData::verify_streamed). The signer's certificate
// is validated with OpenSSL's X509_verify_cert on a worker thread while the caller checks the
// signature: a record's first validation on a CertificateValidatorThread that the caller starts
// and joins, later ones on workers that the record keeps and joins when it goes (so a record
// made for one verification leaves no thread behind).
//
// Thread safety: every function and every const member may be called from several threads at
// once; a ValidationContext is immutable once built and shared by reference count.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/openssl.hpp"
#include "norvan/verification/verification.hpp"

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::brisvale {

namespace detail {
class NORVAN_INTERNAL ValidationWorkers;
class NORVAN_INTERNAL PathPolicy;
}

using verification::VerificationError;

/// Raw and signed payload digests have different hash values.
class HashValueError : public VerificationError {
 public:
  using VerificationError::VerificationError;
  const char* type_name() const noexcept override { return "HashValueError"; }
};

/// Verification of Signature failed.
class SignatureError : public VerificationError {
 public:
  using VerificationError::VerificationError;
  const char* type_name() const noexcept override { return "SignatureError"; }
};

/// The certificate of the signed S/MIME message cannot be verified, or is untrusted, expired.
class CertificateError : public VerificationError {
 public:
  using VerificationError::VerificationError;
  const char* type_name() const noexcept override { return "CertificateError"; }
};

/// Signature data that is malformed or uses something unsupported. Not a VerificationError.
class MalformedSignatureError : public Error {
 public:
  explicit MalformedSignatureError(const std::string& what) : Error(ErrorCode::malformed_signature, what) {}
};

/// A trusted-certificate entry or file that is not a certificate (PEM or DER). Not a
/// VerificationError.
class InvalidTrustedCertificateError : public Error {
 public:
  explicit InvalidTrustedCertificateError(const std::string& what)
      : Error(ErrorCode::invalid_trusted_certificate, what) {}
};

/// Checks `entry` as a trusted certificate is read: one X.509 certificate in DER, or in PEM
/// (the first block counts). Lets a caller that knows where the entry came from report a bad
/// one by that name before verifying. Throws InvalidTrustedCertificateError whose text starts
/// with `what` ("Trusted certificate file 'roots.pem'") when it is not a certificate.
void check_trusted_certificate(ByteView entry, const std::string& what);

/// Why a certificate failed validation: the text names the failure (OpenSSL's wording) and the
/// certificate; error_code() is the X509_V_ERR_* code, depth() the position in the path
/// (0: the signer's certificate). Carried as the cause of CertificateError.
class CertificateValidationFailure : public Error {
 public:
  CertificateValidationFailure(const std::string& text, int error_code, int depth)
      : Error(ErrorCode::certificate_validation, text), error_code_(error_code), depth_(depth) {}
  int error_code() const noexcept { return error_code_; }
  int depth() const noexcept { return depth_; }

 private:
  int error_code_;
  int depth_;
};

/// A parsed X.509 certificate, shared; never changed after parsing.
using Certificate = std::shared_ptr<X509>;

/// The trust roots of certificate validation. Immutable once built; share it through
/// std::shared_ptr<const ValidationContext>.
class ValidationContext {
 public:
  /// Returns a context that trusts the system's default trust store
  /// (X509_STORE_set_default_paths). Throws ossl::OpenSSLError when OpenSSL fails.
  static std::shared_ptr<const ValidationContext> system_default();
  /// Returns a context whose trust anchors are exactly `trust_roots` (any of them is an
  /// anchor, self-signed or not); an empty list trusts nothing.
  static std::shared_ptr<const ValidationContext> with_roots(std::vector<Certificate> trust_roots);

  /// The trust roots in the order given, or nullopt for the system's default store.
  const std::optional<std::vector<Certificate>>& trust_roots() const noexcept { return roots_; }
  /// The OpenSSL store of the validation: the system's trust store, or an empty store when
  /// the roots are given (they are handed over as trusted_stack()); owned by this context,
  /// safe for concurrent X509_verify_cert calls.
  X509_STORE* store() const noexcept { return store_.get(); }
  /// The given roots as the trusted stack of each validation (X509_STORE_CTX_set0_trusted_stack),
  /// null for the system's trust store. Handing them over as a stack costs one step per root;
  /// inserting them into a store one by one costs a step per root already inserted. Shared by
  /// concurrent validations, which only read it.
  STACK_OF(X509)* trusted_stack() const noexcept { return trusted_stack_.get(); }
  /// Returns the trust root whose DER encoding is exactly `der` (shared), or null when none
  /// is. Lets a certificate that is also a root be used without parsing it again.
  Certificate find_root(ByteView der) const;

 private:
  ValidationContext(std::optional<std::vector<Certificate>> roots, std::vector<Bytes> encodings,
                    std::shared_ptr<X509_STORE> store, std::shared_ptr<STACK_OF(X509)> trusted_stack)
      : roots_(std::move(roots)),
        encodings_(std::move(encodings)),
        store_(std::move(store)),
        trusted_stack_(std::move(trusted_stack)) {}
  std::optional<std::vector<Certificate>> roots_;
  std::vector<Bytes> encodings_;  // the DER of each root, in the order of roots_
  std::shared_ptr<X509_STORE> store_;
  std::shared_ptr<STACK_OF(X509)> trusted_stack_;
};

/// One certificate validation: the end-entity certificate, the candidate intermediates and the
/// trust roots. Holds shared references only.
class CertificateValidator {
 public:
  CertificateValidator(Certificate end_entity, std::vector<Certificate> intermediates,
                       std::shared_ptr<const ValidationContext> validation_context);
  /// The same with `policy` (null: none), the checks of a VerificationPolicy as VerifyData
  /// prepares them; internal to the library.
  NORVAN_INTERNAL CertificateValidator(Certificate end_entity, std::vector<Certificate> intermediates,
                                       std::shared_ptr<const ValidationContext> validation_context,
                                       std::shared_ptr<const detail::PathPolicy> policy);

  /// Returns the validated path, end entity first, trust anchor last. Throws
  /// CertificateValidationFailure when no valid path to a trust root exists (at the current
  /// time, purpose "any", no revocation checks, unless the policy says otherwise) or when the
  /// end entity has a keyUsage extension that lacks any bit of `required_key_usage` (KU_*
  /// flags), or lacks the extended key usage the policy requires. A certificate without
  /// keyUsage extension is not restricted (RFC 5280, 4.2.1.3) and passes.
  std::vector<Certificate> validate(unsigned required_key_usage = KU_DIGITAL_SIGNATURE) const;

  const Certificate& end_entity() const noexcept { return end_entity_; }
  const std::vector<Certificate>& intermediates() const noexcept { return intermediates_; }

 private:
  Certificate end_entity_;
  std::vector<Certificate> intermediates_;
  std::shared_ptr<const ValidationContext> context_;
  std::shared_ptr<const detail::PathPolicy> policy_;
};

/// A worker thread that runs one validation for the digitalSignature key usage. Use once:
/// construct, start(), join(), then read `exception` (set when the validation failed) or
/// `result`. run() never lets an exception escape. The destructor joins a started thread.
class CertificateValidatorThread {
 public:
  explicit CertificateValidatorThread(CertificateValidator validator_to_run);
  CertificateValidatorThread(const CertificateValidatorThread&) = delete;
  CertificateValidatorThread& operator=(const CertificateValidatorThread&) = delete;
  ~CertificateValidatorThread();

  /// Starts run() on a new thread. Throws std::system_error when no thread can be started,
  /// std::logic_error when called twice.
  void start();
  /// The worker body: validates and stores `result` or `exception`.
  void run() noexcept;
  /// Waits for the thread started by start().
  void join();

  CertificateValidator validator;
  std::exception_ptr exception;
  std::optional<std::vector<Certificate>> result;

 private:
  std::thread thread_;
};

/// A source of payload bytes, read once from start to end.
class PayloadReader {
 public:
  virtual ~PayloadReader() = default;
  /// Fills the front of `buffer` with the next bytes and returns how many (at most
  /// buffer.size()); returns 0 only at the end. Throws on read errors.
  virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
};

/// What verification digested of the payload: the signer's digest algorithm (the name OpenSSL
/// fetches it by, such as "SHA256") and the payload's digest with it. Other bytes with this
/// digest verify with the same signature.
struct PayloadDigest {
  std::string algorithm;
  Bytes value;
};

/// An algorithm identifier as received: dotted OID and the whole parameters element, if any.
struct AlgorithmIdentifier {
  std::string oid;
  std::optional<ByteView> parameters;
};

/// The fields of a detached SignedData that verification reads. Views into the input bytes,
/// which must outlive it, except for the signature value, which may have come in pieces.
struct SignedDataView {
  AlgorithmIdentifier digest_algorithm;  // the first entry of digestAlgorithms
  std::vector<ByteView> certificates;    // each certificate's element as received, in stored order
  // The first signer (issuer and serial number nullopt when it is named by key identifier):
  std::optional<ByteView> signer_issuer;      // the issuer Name element as received
  std::optional<ByteView> signer_serial;      // the serial number's INTEGER contents
  std::optional<ByteView> signer_key_id;      // the subjectKeyIdentifier's octets, when named by it
  std::optional<ByteView> signed_attributes;  // the [0] element exactly as received
  AlgorithmIdentifier signature_algorithm;
  Bytes signature;                            // the octets of the signature value, joined
  std::string content_type;                   // encapContentInfo.eContentType, dotted
  std::optional<ByteView> encapsulated_content;  // the eContent OCTET STRING element as received, when present
};

/// Returns the fields of the ContentInfo `datas` that holds a SignedData, in DER or BER (which
/// CMS allows: indefinite lengths, surplus length octets, strings in pieces). Throws
/// MalformedSignatureError naming the element and byte offset when `datas` is not of that
/// shape, or has no signer or no digest algorithm, and when the first signer has signed
/// attributes that break RFC 5652, 11.1: not exactly one content-type attribute with exactly one
/// value equal to the eContentType, or an eContentType other than id-data (so that a signature
/// made over another kind of CMS content cannot pass for signed data). Object identifiers taken
/// from the input are cut to kNameLimitInErrors bytes in the view and in error texts.
SignedDataView parse_signed_data(ByteView datas);

/// Returns the encapsulated content of `signed_data` (the eContent octets, joined when they
/// came in pieces). Throws MalformedSignatureError when the SignedData carries none (a detached
/// signature) or its encoding is broken.
Bytes encapsulated_content(const SignedDataView& signed_data);

/// The forms of SignerInfo.sid that name the signer's certificate. issuer_and_serial is the
/// default everywhere; mail clients (Outlook among them) also name the signer by the
/// certificate's subjectKeyIdentifier (SignerInfo version 3, RFC 5652, 5.3).
enum class SignerIdentifiers {
  issuer_and_serial,          // only issuerAndSerialNumber; a key identifier is refused
  issuer_and_serial_or_key_id,  // either form
};

/// The signer's certificate and the other certificates of a SignedData.
struct SignerCertificates {
  Certificate cert;
  std::vector<Certificate> othercerts;  // in stored order
};

/// Returns the signer's certificate and all others in stored order. The signer's is the last
/// one whose serial number and issuer equal those of the first signer's identifier; when no
/// certificate with that serial number has that issuer, the last one with that serial number.
/// Throws MalformedSignatureError when there are no
/// certificates, one is not X.509 DER, the signer is identified by subject key identifier, or
/// no serial number matches.
SignerCertificates choose_certificates(const SignedDataView& signed_data);

/// Same as choose_certificates(signed_data), except that a certificate whose bytes are those
/// of a trust root of `known` (when not null) is that root's object instead of a new parse.
SignerCertificates choose_certificates(const SignedDataView& signed_data, const ValidationContext* known);

/// Same as choose_certificates(signed_data, known), accepting the signer identifiers of
/// `identifiers`: with a key identifier, the signer's certificate is the last one whose
/// subjectKeyIdentifier extension equals it (MalformedSignatureError when none has).
SignerCertificates choose_certificates(const SignedDataView& signed_data, const ValidationContext* known,
                                       SignerIdentifiers identifiers);

/// A certificate revocation list as given (PEM or DER) and where it came from, which errors
/// about the list name.
struct RevocationList {
  Bytes bytes;
  std::string source;
};

/// A certificate revocation list that cannot be used: not a CRL in PEM or DER. Its text names
/// the list's source. Not a VerificationError (a list that is expired or badly signed is found
/// while validating, and reported by CertificateError).
class InvalidRevocationListError : public Error {
 public:
  explicit InvalidRevocationListError(const std::string& what) : Error(ErrorCode::revocation_list, what) {}
};

/// A verification policy whose settings contradict each other. Not a VerificationError.
class PolicyError : public Error {
 public:
  explicit PolicyError(const std::string& what) : Error(ErrorCode::invalid_argument, what) {}
};

/// The extended key usage that a verification may require of the signer's certificate. The
/// certificate must have an extendedKeyUsage extension; anyExtendedKeyUsage in it stands for
/// every purpose (RFC 8550, 4.4.4).
enum class Purpose {
  smime,     // emailProtection
  codesign,  // codeSigning
  any,       // any extended key usage at all: the certificate states some purpose
};

/// What certificate validation checks beyond the default (a path to a trust root, now, with
/// digitalSignature where key usage is given). A default-made policy changes nothing.
struct VerificationPolicy {
  std::vector<RevocationList> crls;  // every certificate of the path must be covered; none: no revocation check
  std::optional<std::chrono::system_clock::time_point> at_time;  // validate as of this time instead of now
  bool at_signing_time = false;      // validate as of the signer's signing-time attribute (the signer sets it)
  std::optional<Purpose> purpose;    // required extended key usage of the signer's certificate

  bool is_default() const noexcept { return crls.empty() && !at_time && !at_signing_time && !purpose; }
};

/// Returns the name of `purpose` as the command line spells it ("smime", "codesign", "any").
const char* purpose_name(Purpose purpose) noexcept;

/// Returns the purpose named `name` ("smime", "codesign" or "any"). Throws PolicyError naming
/// the accepted names otherwise.
Purpose parse_purpose(std::string_view name);

/// Checks that `list.bytes` holds CRLs (one in DER, or one or more PEM "X509 CRL" blocks).
/// Throws InvalidRevocationListError naming `list.source` when it does not. Lets a caller
/// report a bad file by its name before verifying anything.
void check_revocation_list(const RevocationList& list);

/// The verification record: trust roots gathered once, any number of verifications, from any
/// number of threads at once. Its first certificate validation runs on a thread that ends with
/// it; from the second on it keeps worker threads (one per verification running at the same
/// time) until it is destroyed, which joins them.
class VerifyData {
 public:
  /// Builds the trust roots: each entry of `trustedCerts` (the first PEM block when the bytes
  /// hold "-----BEGIN" anywhere, else DER), then every "*.pem" file directly in
  /// `systemCertsPath` (listing order, no dot-files, case-sensitive; a missing directory gives
  /// none). Both absent: the system's default trust store. Throws
  /// InvalidTrustedCertificateError for an entry or file that is no certificate, FileError for
  /// an unreadable file or directory.
  ///
  /// `policy` adds checks to every validation (see VerificationPolicy): the CRLs are read here
  /// (InvalidRevocationListError for one that is no CRL; PolicyError when both at_time and
  /// at_signing_time are set). A default policy validates exactly as before.
  explicit VerifyData(const std::optional<std::vector<Bytes>>& trustedCerts = std::nullopt,
                      const std::optional<std::filesystem::path>& systemCertsPath = std::nullopt,
                      const VerificationPolicy& policy = {});

  /// Return unsigned payload in case of successful verification.
  /// Otherwise raises a VerificationError.
  ///
  /// Returns `datau` (moved through) when `datas` is a valid detached signature over it by a
  /// certificate that validates against `context` for digital signatures. Throws
  /// HashValueError, SignatureError, CertificateError, or MalformedSignatureError (and
  /// ossl::OpenSSLError when a digest is unavailable) for malformed or unsupported input.
  Bytes verify(ByteView datas, Bytes datau) const;

  /// Same as verify(datas, datau), naming the signer by any form of `identifiers`.
  Bytes verify(ByteView datas, Bytes datau, SignerIdentifiers identifiers) const;

  /// Same checks as verify(), reading the payload once from `payload` in chunks, so that it
  /// never has to be held in memory. Returns exactly when verify() would return: the digest of
  /// the payload read, with which a caller can tell whether bytes read again are the same.
  PayloadDigest verify_streamed(ByteView datas, PayloadReader& payload,
                                SignerIdentifiers identifiers = SignerIdentifiers::issuer_and_serial) const;

  /// The trust roots.
  const std::shared_ptr<const ValidationContext> context;

 private:
  using ChunkSink = std::function<void(ByteView)>;
  using PayloadFeeder = std::function<void(const ChunkSink&)>;
  PayloadDigest verify_payload(ByteView datas, const PayloadFeeder& feed, SignerIdentifiers identifiers) const;

  std::shared_ptr<detail::ValidationWorkers> workers_;  // shared by copies of the record
  std::shared_ptr<const detail::PathPolicy> policy_;    // null for the default policy
};

/// Return unsigned payload in case of successful verification.
/// Otherwise raises a VerificationError.
///
/// Checks the detached SignedData `datas` over `datau` and validates the signer's certificate
/// against `certs` (PEM or DER; absent: the system's trust store; empty: nothing is trusted)
/// and the "*.pem" files of `systemCertsPath`. Returns `datau` itself (moved through).
Bytes verify(ByteView datas, Bytes datau, const std::optional<std::vector<Bytes>>& certs,
             const std::optional<std::filesystem::path>& systemCertsPath = std::nullopt);

}  // namespace norvan::signing::brisvale

NORVAN_PUBLIC_END
