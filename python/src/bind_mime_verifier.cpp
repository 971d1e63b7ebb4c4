// norvan.signing.mime.Verifier: trust roots gathered once, any number of messages verified
// against them, from any number of threads, and the whole object picklable so that a cluster
// engine can ship it to its workers.

#include "support.hpp"

#include "norvan/signing/mime.hpp"

#include <memory>
#include <utility>

namespace norvan::python {
namespace {

namespace fs = std::filesystem;
namespace mime = signing::mime;

// What the Verifier was made from, kept to pickle it: the trusted certificates' bytes and the
// trusted directory's path (read again by the process that unpickles it).
struct TrustSource {
  std::optional<std::vector<Bytes>> trusted_certs;
  std::optional<fs::path> trusted_dir;
};

class PythonVerifier {
 public:
  explicit PythonVerifier(TrustSource source)
      : source_(std::move(source)), verifier_(source_.trusted_certs, source_.trusted_dir) {}

  const TrustSource& source() const noexcept { return source_; }
  const mime::Verifier& verifier() const noexcept { return verifier_; }

 private:
  TrustSource source_;
  mime::Verifier verifier_;
};

// `trusted_certs` as the C++ side takes it: None stays absent, one bytes object is one
// certificate, any other iterable is a list of certificates (each bytes).
std::optional<std::vector<Bytes>> certificates_of(const py::object& trusted_certs) {
  if (trusted_certs.is_none()) return std::nullopt;
  if (py::isinstance<py::bytes>(trusted_certs)) return std::vector<Bytes>{copy(trusted_certs.cast<py::bytes>())};
  if (py::isinstance<py::str>(trusted_certs)) {
    throw py::type_error("trusted_certs must be bytes or a list of bytes (PEM or DER), not str");
  }
  std::vector<Bytes> certs;
  for (const py::handle entry : py::iter(trusted_certs)) {
    if (!py::isinstance<py::bytes>(entry)) {
      throw py::type_error("each entry of trusted_certs must be bytes (PEM or DER), not " +
                           py::str(py::type::handle_of(entry).attr("__name__")).cast<std::string>());
    }
    certs.push_back(copy(py::reinterpret_borrow<py::bytes>(entry)));
  }
  return certs;
}

std::unique_ptr<PythonVerifier> make_verifier(TrustSource source) {
  py::gil_scoped_release release;  // reading the trust store may take a while
  return std::make_unique<PythonVerifier>(std::move(source));
}

py::bytes verify(const PythonVerifier& self, ByteView message) {
  Bytes payload;
  {
    py::gil_scoped_release release;
    payload = self.verifier().verify(message);
  }
  return to_python(payload);
}

py::bytes verify_file(const PythonVerifier& self, const fs::path& message_file) {
  Bytes payload;
  {
    py::gil_scoped_release release;
    self.verifier().verify_file(message_file, [&payload](ByteView piece) {
      payload.insert(payload.end(), piece.begin(), piece.end());
    });
  }
  return to_python(payload);
}

// The path as Python's str, in the file-system encoding (a name that is not UTF-8 keeps its
// bytes as surrogates, which pickle carries and the path conversion turns back into them).
py::object path_text(const fs::path& path) { return py::str(py::cast(path)); }

// The pickled state: a dict, so that options added later travel under names of their own.
py::dict state_of(const PythonVerifier& self) {
  py::dict state;
  const TrustSource& source = self.source();
  if (source.trusted_certs) {
    py::list certs;
    for (const Bytes& cert : *source.trusted_certs) certs.append(to_python(cert));
    state["trusted_certs"] = certs;
  } else {
    state["trusted_certs"] = py::none();
  }
  state["trusted_dir"] = source.trusted_dir ? path_text(*source.trusted_dir) : py::none();
  return state;
}

std::unique_ptr<PythonVerifier> from_state(const py::dict& state) {
  TrustSource source;
  source.trusted_certs = certificates_of(state["trusted_certs"]);
  const py::object trusted_dir = state["trusted_dir"];
  if (!trusted_dir.is_none()) source.trusted_dir = trusted_dir.cast<fs::path>();
  return make_verifier(std::move(source));
}

std::string repr(const PythonVerifier& self) {
  const TrustSource& source = self.source();
  std::string text = "<norvan.signing.mime.Verifier";
  if (source.trusted_certs) text += " trusted_certs=" + std::to_string(source.trusted_certs->size());
  if (source.trusted_dir) text += " trusted_dir=" + py::repr(path_text(*source.trusted_dir)).cast<std::string>();
  if (!source.trusted_certs && !source.trusted_dir) text += " (system trust store)";
  return text + ">";
}

}  // namespace

void bind_mime_verifier(py::module_& module) {
  py::class_<PythonVerifier>(module, "Verifier",
                             "Verifies any number of signed messages against trust roots gathered once. Immutable: "
                             "one Verifier serves any number of threads at once, and its calls release the GIL. "
                             "Picklable: the pickle holds the trusted certificates' bytes and the trusted directory's "
                             "path, and unpickling gathers the trust roots again in the receiving process.")
      .def(py::init([](const py::object& trusted_certs, const std::optional<fs::path>& trusted_dir) {
             return make_verifier(TrustSource{certificates_of(trusted_certs), trusted_dir});
           }),
           py::arg("trusted_certs") = py::none(), py::arg("trusted_dir") = py::none(),
           "Gathers the trust roots: `trusted_certs` (bytes of one certificate, or a list of them; each PEM, whose "
           "first block counts, or DER), then every \"*.pem\" file directly in the directory `trusted_dir` (read "
           "now; later changes are not seen). Both None: the system's trust store; an empty list trusts nothing. "
           "Raises InvalidTrustedCertificateError for an entry or file that is no certificate, OSError for an "
           "unreadable file or directory, TypeError for an entry that is not bytes.")
      .def(
          "verify", [](const PythonVerifier& self, const py::bytes& message) { return verify(self, view(message)); },
          py::arg("message"))
      .def(
          "verify",
          [](const PythonVerifier& self, const py::str& message) { return verify(self, as_bytes(utf8(message))); },
          py::arg("message"),
          "Returns the payload (bytes) of the signed message `message` (bytes, or str: its UTF-8 encoding), as "
          "verify_signed_smime does. Raises VerificationError (its subclasses HashValueError, SignatureError, "
          "CertificateError), MalformedSignatureError or MessageFormatError.")
      .def("verify_file", &verify_file, py::arg("path"),
           "Returns the payload (bytes) of the signed message in the file `path`, with the results and errors of "
           "verify(), and OSError when the file cannot be read or is not a regular file. The payload is handed "
           "out only once it verified.")
      .def(py::pickle(&state_of, &from_state))
      .def("__repr__", &repr);
}

}  // namespace norvan::python
