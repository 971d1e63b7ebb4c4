#include "support.hpp"

#include "norvan/signing/mime.hpp"

namespace norvan::python {

namespace mime = signing::mime;

void bind_mime(py::module_& module) {
  module.attr("VerificationError") = module_attribute("norvan.verification", "VerificationError");
  define_exception(module, "MessageFormatError", PyExc_ValueError,
                   "The message could not be taken apart at all (for example it is larger than the MIME parser "
                   "handles). Not a VerificationError.");

  module.def(
      "sign_payload",
      [](const py::bytes& certificate, const signing::merrowin::PrivateKey& private_key, const py::bytes& payload,
         const std::optional<std::vector<py::bytes>>& chain, bool rfc8551, bool entity, bool opaque) {
        const ByteView certificate_bytes = view(certificate);
        const ByteView payload_bytes = view(payload);
        mime::SignOptions options;
        if (chain) options.chain = copy(*chain);
        options.rfc8551 = rfc8551;
        options.entity = entity;
        options.opaque = opaque;
        Bytes message;
        {
          py::gil_scoped_release release;
          message = mime::sign_payload(certificate_bytes, private_key, payload_bytes, options);
        }
        return to_python(message);
      },
      py::arg("certificate"), py::arg("private_key"), py::arg("payload"), py::kw_only(),
      py::arg("chain") = py::none(), py::arg("rfc8551") = false, py::arg("entity") = false,
      py::arg("opaque") = false,
      "Returns the complete S/MIME message (bytes, CR LF line ends) whose second part is a detached PKCS#7 "
      "SignedData over `payload`, made with SHA-256 by `private_key` for the PEM `certificate`. Raises "
      "norvan.OpenSSLError when the certificate is not PEM, does not belong to the key, or signing fails.\n\n"
      "Keywords, all off by default (the message is then exactly the one above): `chain`, a list of PEM "
      "certificates (intermediates) put into the SignedData after the signer's, in order; anything that is "
      "not a certificate is refused. `rfc8551`, sign as mail clients do: the UTF-8 text payload becomes a "
      "text/plain; charset=utf-8 entity (7bit or quoted-printable) and the signature covers that canonical "
      "entity; `entity`, with rfc8551, `payload` is a ready MIME entity (header fields, blank line, body), "
      "signed as given after CR LF canonicalisation; `opaque`, with rfc8551, write "
      "application/pkcs7-mime; smime-type=signed-data with the entity inside.");

  module.def(
      "verify_signed_smime",
      [](const py::str& smime_message, const std::vector<py::bytes>& trusted_certs) {
        const std::string_view message = utf8(smime_message);
        const std::vector<Bytes> certs = copy(trusted_certs);
        Bytes payload;
        {
          py::gil_scoped_release release;
          payload = mime::verify_signed_smime(message, certs);
        }
        return to_python(payload);
      },
      py::arg("smime_message"), py::arg("trusted_certs") = std::vector<py::bytes>{},
      "Returns the unsigned payload when verification succeeds; raises a VerificationError otherwise.\n\n"
      "`smime_message` is the whole message text (str); `trusted_certs` a list of PEM or DER certificates "
      "(bytes), an empty list meaning the system's trust store. Raises VerificationError (\"Could not find "
      "any signature\", 'Unsupported payload \"None\" type <class 'NoneType'>'), HashValueError, SignatureError, "
      "CertificateError, and MalformedSignatureError or MessageFormatError for malformed input.");

  bind_mime_verifier(module);
}

}  // namespace norvan::python
