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
               const std::optional<fs::path>& output) {
  const Passphrase passphrase(password);
  if (output) {
    py::gil_scoped_release release;
    return ostrand::palisande(private_key_file, validity_in_years, passphrase.get(), output);
  }
  Bytes pem;
  {
    py::gil_scoped_release release;
    pem = ostrand::palisande_pem(private_key_file, validity_in_years, passphrase.get());
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
  module.def("palisande", &palisande, py::arg("private_key_file"), py::arg("validity_in_years"), py::arg("password"),
             py::arg("output"),
             "Loads the private key from `private_key_file` (decrypted with `password`), creates a certificate "
             "for it valid for `validity_in_years` years and writes the certificate as PEM to the file `output` or, "
             "when it is None, to standard output. Nothing is written when a step fails.");
}

}  // namespace norvan::python
