#include "norvan/signing/mime/signature_builder.hpp"

#include "norvan/signing/mime/message_text.hpp"

#include <algorithm>

namespace norvan::signing::mime::detail {
namespace {

// BIO_write takes an int length; larger pieces are fed in slices of this size.
constexpr std::size_t kMaxDigestSlice = 1U << 30;

// The signature options: no content in the SignedData, the payload signed as the bytes given
// (no LF to CR LF canonicalisation, no text header), and the SignedData finished by our own
// streaming code rather than by PKCS7_sign.
constexpr int kSigningFlags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_PARTIAL;

// Never asked for: certificates are not encrypted, and nothing may prompt on the terminal.
int refuse_password(char*, int, int, void*) { return 0; }

}  // namespace

ossl::UniquePtr<X509> load_pem_certificate(ByteView pem, const std::string& what) {
  const auto bio = ossl::memory_reader(pem.data(), pem.size());
  ossl::UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, refuse_password, nullptr));
  if (!certificate) ossl::throw_error(what + " is not a PEM X.509 certificate");
  return certificate;
}

namespace {

// SHA-256, fetched once per process: an immutable algorithm object that saves the provider
// look-up (and its lock) on every message.
const EVP_MD* sha256() {
  static const ossl::UniquePtr<EVP_MD> fetched(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  if (!fetched) ossl::throw_error("SHA-256 is not available");
  return fetched.get();
}

}  // namespace

SignatureBuilder::SignatureBuilder(ByteView certificate, const merrowin::PrivateKey& private_key,
                                   const std::vector<Bytes>& chain)
    : certificate_(load_pem_certificate(certificate)) {
  std::vector<ossl::UniquePtr<X509>> chain_certificates;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    chain_certificates.push_back(load_pem_certificate(chain[i], "Chain certificate #" + std::to_string(i + 1)));
  }
  signed_data_.reset(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, kSigningFlags));
  if (!signed_data_) ossl::throw_error("Cannot create the SignedData");
  // One signer by issuer and serial number, SHA-256, the standard signed attributes (content
  // type and S/MIME capabilities now; signing time and message digest when it is finished),
  // and the signer's certificate. OpenSSL signs RSA keys with PKCS#1 v1.5 padding and EC
  // keys with ECDSA here. It refuses a key that does not belong to the certificate.
  if (PKCS7_sign_add_signer(signed_data_.get(), certificate_.get(), private_key.native(), sha256(),
                            kSigningFlags) == nullptr) {
    ossl::throw_error("Cannot add the signer to the SignedData");
  }
  // The chain follows the signer's certificate, in the order given.
  for (const auto& chain_certificate : chain_certificates) {
    if (PKCS7_add_certificate(signed_data_.get(), chain_certificate.get()) != 1) {
      ossl::throw_error("Cannot add a chain certificate to the SignedData");
    }
  }
  digest_chain_.reset(PKCS7_dataInit(signed_data_.get(), nullptr));
  if (!digest_chain_) ossl::throw_error("Cannot start digesting the payload");
  boundary_ = random_boundary();
}

void SignatureBuilder::digest(ByteView piece) {
  for (std::size_t offset = 0; offset < piece.size(); offset += kMaxDigestSlice) {
    const std::size_t count = std::min(kMaxDigestSlice, piece.size() - offset);
    if (BIO_write(digest_chain_.get(), piece.data() + offset, static_cast<int>(count)) != static_cast<int>(count)) {
      ossl::throw_error("Cannot digest the payload");
    }
  }
}

Bytes SignatureBuilder::finish_der() {
  if (BIO_flush(digest_chain_.get()) != 1) ossl::throw_error("Cannot digest the payload");
  if (PKCS7_dataFinal(signed_data_.get(), digest_chain_.get()) != 1) ossl::throw_error("Cannot sign the payload");
  return ossl::to_der(signed_data_.get(), i2d_PKCS7, "Cannot encode the SignedData");
}

std::string SignatureBuilder::finish() { return message_trailer(boundary_, finish_der()); }

}  // namespace norvan::signing::mime::detail
