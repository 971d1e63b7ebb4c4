#pragma once
// The signature side of a message: the SignedData over the payload, built while the payload
// streams by.

#include "norvan/common/bytes.hpp"
#include "norvan/common/openssl.hpp"
#include "norvan/signing/merrowin.hpp"

#include <string>
#include <vector>

namespace norvan::signing::mime::detail {

// Returns the certificate that the PEM `pem` holds. Throws ossl::OpenSSLError "The signer
// certificate is not a PEM X.509 certificate" when it holds none.
ossl::UniquePtr<X509> load_pem_certificate(ByteView pem, const std::string& what = "The signer certificate");

// The signature side of a message: the signer's certificate, the SignedData being built, the
// digest of the payload so far and the MIME boundary. digest() the payload, then finish().
class SignatureBuilder {
 public:
  // Throws ossl::OpenSSLError when `certificate` is not one PEM certificate or does not
  // belong to `private_key`, or an entry of `chain` (PEM certificates that follow the signer's
  // in the SignedData) is not a PEM certificate.
  SignatureBuilder(ByteView certificate, const merrowin::PrivateKey& private_key,
                   const std::vector<Bytes>& chain = {});

  const std::string& boundary() const noexcept { return boundary_; }

  void digest(ByteView piece);

  // Signs the payload digested so far; returns the message text that follows the payload:
  // the signature part and the close delimiter.
  std::string finish();

  // Signs the payload digested so far; returns the DER SignedData (detached).
  Bytes finish_der();

 private:
  ossl::UniquePtr<X509> certificate_;
  ossl::UniquePtr<PKCS7> signed_data_;
  // Digests what is written into it: the chain PKCS7_dataInit made, ending in a null sink.
  ossl::UniquePtr<BIO> digest_chain_;
  std::string boundary_;
};

}  // namespace norvan::signing::mime::detail
