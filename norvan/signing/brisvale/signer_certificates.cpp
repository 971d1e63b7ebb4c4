// Choosing the signer's certificate among those a SignedData carries.
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/brisvale/malformed.hpp"
#include "norvan/signing/brisvale/trust.hpp"

#include <string>

namespace norvan::signing::brisvale {
namespace {

std::string hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t octet : bytes) {
    text += kDigits[octet >> 4];
    text += kDigits[octet & 0x0F];
  }
  return text;
}

}  // namespace

using detail::malformed;
using detail::parse_certificate;

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

}  // namespace norvan::signing::brisvale
