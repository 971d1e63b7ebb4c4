#include "support.hpp"

#include "norvan/api/ostrand.hpp"

namespace norvan::python {
namespace {

namespace fs = std::filesystem;
namespace ostrand = api::ostrand;

// Writes `content` to Python's standard output as raw bytes (sys.stdout.buffer), so that it
// lands where the program's own output goes, also when that is redirected inside Python. A
// sys.stdout without a byte layer gets the bytes on descriptor 1 after its text is flushed.
void write_standard_output(ByteView content) {
  py::object out = py::module_::import("sys").attr("stdout");
  if (!out.is_none() && py::hasattr(out, "buffer")) {
    out.attr("flush")();
    py::object buffer = out.attr("buffer");
    buffer.attr("write")(to_python(content));
    buffer.attr("flush")();
    return;
  }
  flush_python_streams();
  py::gil_scoped_release release;
  ostrand::write_bytes(std::nullopt, content);
}

void write_bytes(const std::optional<fs::path>& output, const py::bytes& content) {
  const ByteView bytes = view(content);
  if (!output) return write_standard_output(bytes);
  py::gil_scoped_release release;
  ostrand::write_bytes(output, bytes);
}

// Without an output file the PEM goes to Python's standard output rather than descriptor 1.
void tarrowby(const std::optional<fs::path>& output, const std::optional<py::bytes>& password) {
  const Passphrase passphrase(password);
  if (output) {
    py::gil_scoped_release release;
    return ostrand::tarrowby(output, passphrase.get());
  }
  SecretBytes pem;
  {
    py::gil_scoped_release release;
    pem = ostrand::tarrowby_pem(passphrase.get());
  }
  write_standard_output(pem.view());
}

void palisande(const fs::path& private_key_file, int validity_in_years, const std::optional<py::bytes>& password,
               const std::optional<fs::path>& output, const std::optional<fs::path>& pkcs11_module) {
  const Passphrase passphrase(password);
  if (output) {
    py::gil_scoped_release release;
    return ostrand::palisande(private_key_file, validity_in_years, passphrase.get(), output, pkcs11_module);
  }
  Bytes pem;
  {
    py::gil_scoped_release release;
    pem = ostrand::palisande_pem(private_key_file, validity_in_years, passphrase.get(), pkcs11_module);
  }
  write_standard_output(pem);
}

void request(const fs::path& private_key_file, const std::optional<py::bytes>& password, const std::string& subject,
             const std::vector<std::string>& emails, const std::vector<std::string>& dns_names,
             const std::optional<fs::path>& output, const std::optional<fs::path>& pkcs11_module) {
  const Passphrase passphrase(password);
  if (output) {
    py::gil_scoped_release release;
    return ostrand::request(private_key_file, passphrase.get(), subject, emails, dns_names, output, pkcs11_module);
  }
  Bytes pem;
  {
    py::gil_scoped_release release;
    pem = ostrand::request_pem(private_key_file, passphrase.get(), subject, emails, dns_names, pkcs11_module);
  }
  write_standard_output(pem);
}

}  // namespace

void bind_ostrand(py::module_& module) {
  module.def("write_bytes", &write_bytes, py::arg("output"), py::arg("content"),
             "Write bytes to file given by parameter output if output is not None.\n"
             "Otherwise write bytes to stdout.\n\n"
             "An existing file is replaced whole, and only once everything is written: a failure leaves it "
             "intact. Standard output is Python's sys.stdout (its byte layer). Raises OSError naming the path.");
  module.def("tarrowby", &tarrowby, py::arg("output"), py::arg("password"),
             "Creates the default private key (elliptic curve, P-384) and writes it as PEM to the file `output` "
             "(a new file gets mode 0600) or, when it is None, to standard output; encrypted with `password` "
             "when that is non-empty bytes.");
  define_exception(module, "RequestInputError", PyExc_ValueError,
                   "A subject, e-mail address or DNS name that cannot go into a certificate request; the message "
                   "names the faulty piece.");
  module.def("palisande", &palisande, py::arg("private_key_file"), py::arg("validity_in_years"), py::arg("password"),
             py::arg("output"), py::arg("pkcs11_module") = py::none(),
             "Loads the private key from `private_key_file` (decrypted with `password`), creates a certificate "
             "for it valid for `validity_in_years` years and writes the certificate as PEM to the file `output` or, "
             "when it is None, to standard output. Nothing is written when a step fails. `private_key_file` may "
             "be a \"pkcs11:\" URI naming a key in a token instead; `password` is then its PIN and "
             "`pkcs11_module` the PKCS#11 module (None: p11-kit's proxy). Raises TokenError for a token key "
             "that cannot be used.");
  module.def("request", &request, py::arg("private_key_file"), py::arg("password"), py::arg("subject"),
             py::arg("emails"), py::arg("dns_names"), py::arg("output"), py::arg("pkcs11_module") = py::none(),
             "Loads the private key (a PEM file decrypted with `password`, or a \"pkcs11:\" URI with `password` as "
             "its PIN and `pkcs11_module` as the module) and writes a PKCS#10 certificate request for it as PEM to "
             "the file `output` or, when it is None, to standard output: `subject` in the `openssl -subj` form "
             "(\"/CN=Alice/O=Example\", \"\" for none), `emails` and `dns_names` (lists of str) as "
             "subjectAltName, key usage digitalSignature requested, signed with SHA-256. Raises RequestInputError "
             "naming a malformed piece, KeyLoadError or TokenError; nothing is written then.");
}

}  // namespace norvan::python
