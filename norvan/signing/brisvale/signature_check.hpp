#pragma once
// The check of the signature value over the signed bytes with the signer's public key.

#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/brisvale/algorithms.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace norvan::signing::brisvale::detail {

// The bytes the signature covers ("signedData"): the signed attributes with their first octet
// replaced by the SET tag, or the payload, whose digests were computed while it streamed by.
class SignedContent {
 public:
  SignedContent(std::optional<ByteView> attributes,
                std::vector<std::pair<const DigestAlgorithm*, Bytes>> payload_digests)
      : attributes_(attributes), payload_digests_(std::move(payload_digests)) {}


  // Returns the digest of the signed bytes with `digest`. Throws ossl::OpenSSLError.
  Bytes digest(const DigestAlgorithm& digest) const;

 private:
  std::optional<ByteView> attributes_;
  std::vector<std::pair<const DigestAlgorithm*, Bytes>> payload_digests_;
};

/// Checks the first signer's signature of `view` with `key` over `content`, `algo` being the
/// SignedData's digest algorithm. Throws SignatureError (the cause attached) when it does not
/// verify, MalformedSignatureError for unsupported or malformed algorithm parameters.
void check_signature(EVP_PKEY* key, const SignedDataView& view, const DigestAlgorithm& algo,
                     const SignedContent& content);

/// The hash the PSS check will need, if it can be known now; nullptr otherwise (the error
/// then comes, in its proper order, from the check itself).
const DigestAlgorithm* planned_pss_hash(const SignedDataView& view) noexcept;

}  // namespace norvan::signing::brisvale::detail
