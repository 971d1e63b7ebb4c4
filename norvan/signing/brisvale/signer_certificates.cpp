// Choosing the signer's certificate among those a SignedData carries.
#include "norvan/signing/brisvale.hpp"

#include "norvan/common/hex.hpp"
#include "norvan/common/shortened.hpp"
#include "norvan/signing/brisvale/malformed.hpp"
#include "norvan/signing/brisvale/trust.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace norvan::signing::brisvale {
namespace {

using detail::malformed;
using detail::parse_certificate;

// Returns the certificate `index` of `signed_data`: the trust root of `known` with the same
// bytes (a self-signed signer, typically, parsed when the roots were gathered), else a new
// parse. Throws MalformedSignatureError when it is not an X.509 certificate.
Certificate certificate_at(const SignedDataView& signed_data, std::size_t index, const ValidationContext* known) {
  Certificate cert = known != nullptr ? known->find_root(signed_data.certificates[index]) : nullptr;
  if (cert) return cert;
  ossl::clear_errors();
  cert = parse_certificate(signed_data.certificates[index]);
  if (!cert) {
    const std::string reason = ossl::take_error_reason();
    malformed("SignedData.certificates[" + std::to_string(index) + "] is not a valid X.509 certificate" +
              (reason.empty() ? "" : ": " + reason));
  }
  return cert;
}

// Returns the DER INTEGER element with `contents`, for OpenSSL's decoder.
Bytes integer_element(ByteView contents) {
  Bytes element{0x02};
  if (contents.size() < 0x80) {
    element.push_back(static_cast<std::uint8_t>(contents.size()));
  } else {
    Bytes length;
    for (std::size_t rest = contents.size(); rest != 0; rest >>= 8) {
      length.insert(length.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    }
    element.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
    element.insert(element.end(), length.begin(), length.end());
  }
  element.insert(element.end(), contents.begin(), contents.end());
  return element;
}

// The issuer Name of the signer's identifier, compared with certificates' issuers: by its bytes
// first (a certificate normally repeats them exactly), else as OpenSSL compares names, for
// which it is decoded once, on the first need.
class IssuerName {
 public:
  explicit IssuerName(ByteView element) : element_(element) {}

  bool issued(X509* cert) {
    X509_NAME* issuer = X509_get_issuer_name(cert);
    const unsigned char* der = nullptr;
    std::size_t size = 0;
    if (X509_NAME_get0_der(issuer, &der, &size) == 1 && std::ranges::equal(ByteView(der, size), element_)) {
      return true;
    }
    return decoded() != nullptr && X509_NAME_cmp(issuer, decoded()) == 0;
  }

 private:
  // The Name, or null when OpenSSL cannot read it as one (then no certificate's issuer
  // matches it).
  X509_NAME* decoded() {
    if (!decoded_once_) {
      decoded_once_ = true;
      const unsigned char* cursor = element_.data();
      name_.reset(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(element_.size())));
      ossl::clear_errors();
    }
    return name_.get();
  }

  ByteView element_;
  bool decoded_once_ = false;
  ossl::UniquePtr<X509_NAME> name_;
};

// Returns the index of the last certificate whose subjectKeyIdentifier extension holds
// exactly `key_id`. Throws MalformedSignatureError when none has.
std::size_t signer_by_key_id(const std::vector<Certificate>& certificates, ByteView key_id) {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < certificates.size(); ++i) {
    const ASN1_OCTET_STRING* skid = X509_get0_subject_key_id(certificates[i].get());
    if (skid != nullptr &&
        std::ranges::equal(ByteView(ASN1_STRING_get0_data(skid), static_cast<std::size_t>(ASN1_STRING_length(skid))),
                           key_id)) {
      found = i;
    }
  }
  ossl::clear_errors();
  if (!found) {
    malformed("no certificate in SignedData has the signer's subject key identifier 0x" + shortened(to_hex(key_id)));
  }
  return *found;
}

// Returns the index of the signer's certificate named by issuer and serial number: the last one
// whose serial number and issuer are those of the identifier, else the last one with that serial
// number. Throws MalformedSignatureError when no serial number matches.
std::size_t signer_by_issuer_and_serial(const std::vector<Certificate>& certificates, const SignedDataView& signed_data) {
  const Bytes serial_der = integer_element(*signed_data.signer_serial);
  const unsigned char* cursor = serial_der.data();
  ossl::UniquePtr<ASN1_STRING> serial(d2i_ASN1_INTEGER(nullptr, &cursor, static_cast<long>(serial_der.size())));
  if (!serial) ossl::throw_error("Cannot decode the signer's serial number");
  IssuerName issuer(*signed_data.signer_issuer);

  std::optional<std::size_t> last_with_serial, last_with_serial_and_issuer;
  for (std::size_t i = 0; i < certificates.size(); ++i) {
    if (ASN1_INTEGER_cmp(X509_get0_serialNumber(certificates[i].get()), serial.get()) == 0) {
      last_with_serial = i;
      if (issuer.issued(certificates[i].get())) {
        last_with_serial_and_issuer = i;
      }
    }
  }
  if (!last_with_serial) {
    malformed("no certificate in SignedData has the signer's serial number 0x" + shortened(to_hex(*signed_data.signer_serial)));
  }
  // Certificates of different issuers may share a serial number (RFC 5280 makes it unique per
  // issuer only): the one that the identifier's issuer names is the signer's, and the others
  // stay candidates for the path. Without such a one, the serial number alone decides.
  return last_with_serial_and_issuer.value_or(*last_with_serial);
}

}  // namespace

SignerCertificates choose_certificates(const SignedDataView& signed_data) {
  return choose_certificates(signed_data, nullptr);
}

SignerCertificates choose_certificates(const SignedDataView& signed_data, const ValidationContext* known) {
  return choose_certificates(signed_data, known, SignerIdentifiers::issuer_and_serial);
}

SignerCertificates choose_certificates(const SignedDataView& signed_data, const ValidationContext* known,
                                       SignerIdentifiers identifiers) {
  if (signed_data.certificates.empty()) malformed("SignedData holds no certificates");
  const bool by_key_id = !signed_data.signer_serial;
  if (by_key_id && (identifiers != SignerIdentifiers::issuer_and_serial_or_key_id || !signed_data.signer_key_id)) {
    throw MalformedSignatureError(
        "Unsupported signer identifier: the signer is named by subject key identifier, not by "
        "issuer and serial number");
  }
  std::vector<Certificate> certificates;
  for (std::size_t i = 0; i < signed_data.certificates.size(); ++i) {
    certificates.push_back(certificate_at(signed_data, i, known));
  }
  const std::size_t signer = by_key_id ? signer_by_key_id(certificates, *signed_data.signer_key_id)
                                       : signer_by_issuer_and_serial(certificates, signed_data);
  SignerCertificates chosen;
  for (std::size_t i = 0; i < certificates.size(); ++i) {
    if (i == signer) {
      chosen.cert = std::move(certificates[i]);
    } else {
      chosen.othercerts.push_back(std::move(certificates[i]));
    }
  }
  return chosen;
}

}  // namespace norvan::signing::brisvale
