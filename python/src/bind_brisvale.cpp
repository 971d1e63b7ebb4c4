#include "support.hpp"

#include "norvan/signing/brisvale.hpp"

#include <algorithm>
#include <cstring>

namespace norvan::python {
namespace {

namespace brisvale = signing::brisvale;

// Hands out the bytes of a view in order.
class ViewReader : public brisvale::PayloadReader {
 public:
  explicit ViewReader(ByteView bytes) : rest_(bytes) {}
  std::size_t read(std::span<std::uint8_t> buffer) override {
    const std::size_t count = std::min(buffer.size(), rest_.size());
    if (count != 0) std::memcpy(buffer.data(), rest_.data(), count);
    rest_ = rest_.subspan(count);
    return count;
  }

 private:
  ByteView rest_;
};

// Checks `datas` over `datau` against `record`'s trust roots and returns `datau` itself. The
// payload is read in place, never copied.
py::bytes verify_with(const brisvale::VerifyData& record, const py::bytes& datas, const py::bytes& datau) {
  const ByteView signature = view(datas);
  ViewReader payload(view(datau));
  {
    py::gil_scoped_release release;
    record.verify_streamed(signature, payload);
  }
  return datau;
}

brisvale::VerifyData make_record(const std::optional<std::vector<py::bytes>>& trusted_certs,
                                 const std::optional<std::filesystem::path>& system_certs_path) {
  const std::optional<std::vector<Bytes>> certs = copy(trusted_certs);
  py::gil_scoped_release release;
  return brisvale::VerifyData(certs, system_certs_path);
}

void define_exceptions(py::module_& module) {
  py::object base = module_attribute("norvan.verification", "VerificationError");
  module.attr("VerificationError") = base;
  define_exception(module, "HashValueError", base,
                   "Raw and signed payload digests have different hash values. The signature then differs from "
                   "the one expected for the current payload: the payload or the signature was changed after "
                   "signing.");
  define_exception(module, "SignatureError", base,
                   "Verification of Signature failed: the signature is invalid (the failure is the __cause__), "
                   "or its algorithm is not supported (\"Unknown signature algorithm\").");
  define_exception(module, "CertificateError", base,
                   "The certificate of the signed S/MIME message cannot be verified, or is untrusted, expired, "
                   "or may not sign. The message is the validation failure's text; the failure, a "
                   "CertificateValidationFailure, is the __cause__.");
  define_exception(module, "MalformedSignatureError", PyExc_ValueError,
                   "Signature data that is malformed or uses something unsupported. Not a VerificationError.");
  define_exception(module, "InvalidTrustedCertificateError", PyExc_ValueError,
                   "A trusted-certificate entry or file that is not a certificate (PEM or DER). Not a "
                   "VerificationError.");
  define_exception(module, "InvalidRevocationListError", PyExc_ValueError,
                   "A certificate revocation list that is not a CRL in PEM or DER; the message names the list. Not "
                   "a VerificationError (an expired or badly signed CRL is found while validating: CertificateError).");
  define_exception(module, "PolicyError", PyExc_ValueError,
                   "Verification options that cannot be used: an unknown purpose, or at_time together with "
                   "at_signing_time.");
  define_exception(module, "TimeFormatError", PyExc_ValueError,
                   "A time text that is not an RFC 3339 date-time; the message names the faulty piece.");
  define_exception(module, "CertificateValidationFailure", PyExc_Exception,
                   "Why a certificate failed validation: the message names the failure and the certificate; "
                   "`error_code` is OpenSSL's X509_V_ERR_* code, `depth` the position in the path (0: the "
                   "signer's certificate).");
}

}  // namespace

void bind_brisvale(py::module_& module) {
  define_exceptions(module);

  py::class_<brisvale::VerifyData>(module, "VerifyData",
                                   "The verification record: trust roots gathered once, any number of "
                                   "verifications, from any number of threads.")
      .def(py::init(&make_record), py::arg("trustedCerts") = py::none(), py::arg("systemCertsPath") = py::none(),
           "Builds the trust roots: each entry of `trustedCerts` (bytes: the first PEM block when they hold "
           "\"-----BEGIN\", else DER), then every \"*.pem\" file directly in `systemCertsPath`. Both None: the "
           "system's default trust store; an empty list trusts nothing. Raises InvalidTrustedCertificateError "
           "for an entry or file that is no certificate, OSError for an unreadable file.")
      .def("verify", &verify_with, py::arg("datas"), py::arg("datau"),
           "Return unsigned payload in case of successful verification.\n"
           "Otherwise raises a VerificationError.\n\n"
           "Returns `datau` itself when `datas` (DER ContentInfo holding a detached SignedData) is a valid "
           "signature over it by a certificate that validates against the trust roots for digital signatures. "
           "Raises HashValueError, SignatureError, CertificateError, or MalformedSignatureError for malformed "
           "or unsupported input.");

  module.def(
      "verify",
      [](const py::bytes& datas, const py::bytes& datau, const std::optional<std::vector<py::bytes>>& certs,
         const std::optional<std::filesystem::path>& systemCertsPath) {
        return verify_with(make_record(certs, systemCertsPath), datas, datau);
      },
      py::arg("datas"), py::arg("datau"), py::arg("certs"), py::arg("systemCertsPath") = py::none(),
      "Return unsigned payload in case of successful verification.\n"
      "Otherwise raises a VerificationError.\n\n"
      "Checks the detached SignedData `datas` over `datau` and validates the signer's certificate against "
      "`certs` (list of PEM or DER bytes; None: the system's trust store; empty: nothing is trusted) and the "
      "\"*.pem\" files of `systemCertsPath`. Returns `datau` itself.");
}

}  // namespace norvan::python
