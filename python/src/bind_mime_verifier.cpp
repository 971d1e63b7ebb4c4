// norvan.signing.mime.Verifier: trust roots gathered once, any number of messages verified
// against them, from any number of threads, and the whole object picklable so that a cluster
// engine can ship it to its workers.

#include "support.hpp"
#include "verify_options.hpp"

#include "norvan/api/verify.hpp"
#include "norvan/signing/mime.hpp"

#include <memory>
#include <utility>

namespace norvan::python {
namespace {

namespace fs = std::filesystem;
namespace mime = signing::mime;

// What the Verifier was made from, kept to pickle it: the trusted certificates' bytes, the
// trusted directory's path (read again by the process that unpickles it) and the options.
struct TrustSource {
  std::optional<std::vector<Bytes>> trusted_certs;
  std::optional<fs::path> trusted_dir;
  mime::VerifyOptions options;
};

class PythonVerifier {
 public:
  explicit PythonVerifier(TrustSource source)
      : source_(std::move(source)), verifier_(source_.trusted_certs, source_.trusted_dir, source_.options) {}

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

std::vector<fs::path> paths_of(const py::object& paths) {
  if (py::isinstance<py::str>(paths) || py::isinstance<py::bytes>(paths) ||
      py::isinstance(paths, module_attribute("os", "PathLike"))) {
    throw py::type_error("paths must be a list of paths, not one path");
  }
  std::vector<fs::path> list;
  for (const py::handle entry : py::iter(paths)) {
    try {
      list.push_back(entry.cast<fs::path>());
    } catch (const py::cast_error&) {
      throw py::type_error("each entry of paths must be str or os.PathLike, not " +
                           py::str(py::type::handle_of(entry).attr("__name__")).cast<std::string>());
    }
  }
  return list;
}

unsigned jobs_of(const std::optional<long long>& jobs) {
  if (!jobs) return 0;  // one per processor
  if (*jobs < 1 || *jobs > 4096) throw py::value_error("jobs must be between 1 and 4096, not " + std::to_string(*jobs));
  return static_cast<unsigned>(*jobs);
}

// Every message verified as verify_file verifies it alone, `jobs` at once without the GIL;
// the outcomes in the order of `paths`: the payload (None when it went to output_dir) or the
// exception the message alone raises.
py::list verify_files(const PythonVerifier& self, const py::object& paths, const std::optional<long long>& jobs,
                      const std::optional<fs::path>& output_dir) {
  const std::vector<fs::path> files = paths_of(paths);
  const unsigned job_count = jobs_of(jobs);
  py::list results;
  if (files.empty()) return results;
  const api::TrustedCerts trust{self.source().trusted_certs, {}, self.source().trusted_dir};
  std::vector<api::MessageOutcome> outcomes;
  try {
    py::gil_scoped_release release;
    outcomes = api::verify_batch(files, trust, output_dir, job_count, self.source().options);
  } catch (const std::runtime_error& e) {
    // Only what makes the whole call impossible: a missing output directory, two messages
    // whose payloads would land in the same file.
    throw py::value_error(e.what());
  }
  for (const api::MessageOutcome& outcome : outcomes) {
    if (outcome.failure) {
      results.append(exception_object(outcome.failure));
    } else if (outcome.payload) {
      results.append(to_python(*outcome.payload));
    } else {
      results.append(py::none());
    }
  }
  return results;
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
  add_options_to_state(source.options, state);
  return state;
}

std::unique_ptr<PythonVerifier> from_state(const py::dict& state) {
  TrustSource source;
  source.trusted_certs = certificates_of(state["trusted_certs"]);
  const py::object trusted_dir = state["trusted_dir"];
  if (!trusted_dir.is_none()) source.trusted_dir = trusted_dir.cast<fs::path>();
  source.options = options_from_state(state);
  return make_verifier(std::move(source));
}

std::string repr(const PythonVerifier& self) {
  const TrustSource& source = self.source();
  std::string text = "<norvan.signing.mime.Verifier";
  if (source.trusted_certs) text += " trusted_certs=" + std::to_string(source.trusted_certs->size());
  if (source.trusted_dir) text += " trusted_dir=" + py::repr(path_text(*source.trusted_dir)).cast<std::string>();
  if (!source.trusted_certs && !source.trusted_dir) text += " (system trust store)";
  return text + options_repr(source.options) + ">";
}

}  // namespace

void bind_mime_verifier(py::module_& module) {
  py::class_<PythonVerifier>(module, "Verifier",
                             "Verifies any number of signed messages against trust roots gathered once. Immutable: "
                             "one Verifier serves any number of threads at once, and its calls release the GIL. "
                             "Picklable: the pickle holds the trusted certificates' bytes and the trusted directory's "
                             "path, and unpickling gathers the trust roots again in the receiving process.")
      .def(py::init([](const py::object& trusted_certs, const std::optional<fs::path>& trusted_dir,
                       const py::object& crls, const py::object& at_time, bool at_signing_time,
                       const py::object& purpose, bool rfc8551, bool body) {
             TrustSource source{certificates_of(trusted_certs), trusted_dir,
                                verify_options_of(crls, at_time, at_signing_time, purpose, rfc8551, body)};
             return make_verifier(std::move(source));
           }),
           py::arg("trusted_certs") = py::none(), py::arg("trusted_dir") = py::none(), py::kw_only(),
           py::arg("crls") = py::none(), py::arg("at_time") = py::none(), py::arg("at_signing_time") = false,
           py::arg("purpose") = py::none(), py::arg("rfc8551") = false, py::arg("body") = false,
           "Gathers the trust roots: `trusted_certs` (bytes of one certificate, or a list of them; each PEM, whose "
           "first block counts, or DER), then every \"*.pem\" file directly in the directory `trusted_dir` (read "
           "now; later changes are not seen). Both None: the system's trust store; an empty list trusts nothing. "
           "Raises InvalidTrustedCertificateError for an entry or file that is no certificate, OSError for an "
           "unreadable file or directory, TypeError for an entry that is not bytes.\n\n"
           "Keywords, all off by default: `crls`, a list of certificate revocation lists (PEM or DER) that must "
           "cover every certificate of the path, each bytes (named crls[i] in errors), a (bytes, name) pair or "
           "a file path (read now); `at_time`, validate as of this moment (a timezone-aware datetime or RFC 3339 "
           "text) instead of now; `at_signing_time`, validate as of the message's signing-time attribute (which "
           "the signer sets); `purpose`, the extended key usage the signer's certificate must carry ('smime', "
           "'codesign' or 'any'); `rfc8551`, verify messages as mail clients sign them (the first part as a "
           "canonical MIME entity, or the opaque form), returning the signed entity; `body`, with rfc8551, "
           "return the decoded body of a single text part with LF line ends instead (ValueError without rfc8551). Raises "
           "InvalidRevocationListError naming a list that is no CRL, TimeFormatError, PolicyError (an unknown "
           "purpose, at_time with at_signing_time), ValueError for a naive datetime.")
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
      .def("verify_files", &verify_files, py::arg("paths"), py::arg("jobs") = py::none(),
           py::arg("output_dir") = py::none(),
           "Verifies the message files `paths` (a list of paths), `jobs` at once (None: one per processor), "
           "without the GIL, and returns one outcome per path in order: the payload (bytes), or the exception "
           "instance that verify_file(path) raises for that message alone (returned, not raised). With "
           "`output_dir`, each payload is written there as `norvan verify --output-dir` writes it (named as its "
           "message without a final \".eml\", put in place whole only once it verified) and the outcome of a "
           "message that verified is None. Raises ValueError when output_dir is no directory or two messages "
           "would write the same payload file, TypeError for a single path instead of a list.")
      .def(py::pickle(&state_of, &from_state))
      .def("__repr__", &repr);
}

}  // namespace norvan::python
