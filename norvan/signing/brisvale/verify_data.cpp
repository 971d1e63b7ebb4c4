// The verification record and the steps of one verification.
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/brisvale/algorithms.hpp"
#include "norvan/signing/brisvale/policy.hpp"
#include "norvan/signing/brisvale/signature_check.hpp"
#include "norvan/signing/brisvale/signed_data.hpp"
#include "norvan/signing/brisvale/trust.hpp"
#include "norvan/signing/brisvale/validation.hpp"
#include "norvan/signing/brisvale/validation_workers.hpp"

#include <stdexcept>
#include <string>

namespace norvan::signing::brisvale {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

}  // namespace

using namespace detail;

VerifyData::VerifyData(const std::optional<std::vector<Bytes>>& trustedCerts,
                       const std::optional<std::filesystem::path>& systemCertsPath, const VerificationPolicy& policy)
    : context(build_context(trustedCerts, systemCertsPath)),
      workers_(std::make_shared<ValidationWorkers>()),
      policy_(PathPolicy::build(policy)) {}

PayloadDigest VerifyData::verify_payload(ByteView datas, const PayloadFeeder& feed,
                                         SignerIdentifiers identifiers) const {
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
    md_signed = signed_message_digest(*view.signed_attributes);
  } else {
    md_signed = md_data;
  }
  const SignedContent content(view.signed_attributes, std::move(payload_digests));

  // The policy of this verification: as of the signing time when asked (read before any
  // check, so that a malformed attribute is reported as malformed input).
  std::shared_ptr<const PathPolicy> policy = policy_;
  bool signing_time_missing = false;
  if (policy && policy->at_signing_time()) {
    const auto signed_at = view.signed_attributes ? signing_time(*view.signed_attributes) : std::nullopt;
    if (signed_at) {
      policy = policy->at(*signed_at);
    } else {
      signing_time_missing = true;
    }
  }

  // 4. Digest check, before any certificate or signature work.
  if (!md_signed || *md_signed != md_data) {
    throw HashValueError("Different hash values for raw and signed payload digests");
  }

  // 5. and 6. The signer's certificate and public key.
  const SignerCertificates certificates = choose_certificates(view, context.get(), identifiers);
  EVP_PKEY* public_key = X509_get0_pubkey(certificates.cert.get());
  if (public_key == nullptr) {
    const std::string reason = ossl::take_error_reason();
    throw MalformedSignatureError("The public key of the signer's certificate cannot be loaded" +
                                  (reason.empty() ? "" : ": " + reason));
  }

  // 7. Signature, while the certificate validation already runs on a worker thread (both
  //    only read the certificate and key). A signature failure is reported first; the job's
  //    destructor then waits for the validation.
  std::optional<ValidationWorkers::Job> validation;
  if (!signing_time_missing) {
    validation.emplace(*workers_, CertificateValidator(certificates.cert, certificates.othercerts, context, policy));
  }
  check_signature(public_key, view, algo, content);

  // 8. Certificate.
  if (signing_time_missing) {
    throw CertificateError(
        "The signer's certificate cannot be validated as of the signing time: the signature has no signing-time "
        "attribute");
  }
  report_certificate_validation(validation->wait());
  return PayloadDigest{std::string(algo.openssl_name), md_data};
}

Bytes VerifyData::verify(ByteView datas, Bytes datau) const {
  return verify(datas, std::move(datau), SignerIdentifiers::issuer_and_serial);
}

Bytes VerifyData::verify(ByteView datas, Bytes datau, SignerIdentifiers identifiers) const {
  verify_payload(datas, [&datau](const ChunkSink& sink) { sink(datau); }, identifiers);
  return datau;
}

PayloadDigest VerifyData::verify_streamed(ByteView datas, PayloadReader& payload, SignerIdentifiers identifiers) const {
  return verify_payload(datas, [&payload](const ChunkSink& sink) {
    Bytes buffer(kChunkSize);
    for (;;) {
      const std::size_t count = payload.read(buffer);
      if (count == 0) break;
      if (count > buffer.size()) throw std::logic_error("PayloadReader::read returned more bytes than asked for");
      sink(ByteView(buffer).first(count));
    }
  }, identifiers);
}

Bytes verify(ByteView datas, Bytes datau, const std::optional<std::vector<Bytes>>& certs,
             const std::optional<std::filesystem::path>& systemCertsPath) {
  const VerifyData record(certs, systemCertsPath);
  return record.verify(datas, std::move(datau));
}

}  // namespace norvan::signing::brisvale
