#include "support.hpp"

#include "norvan/signing/merrowin.hpp"

namespace norvan::python {

namespace merrowin = signing::merrowin;

void bind_merrowin(py::module_& module) {
  module.attr("RSA_PUBLIC_EXPONENT") = merrowin::RSA_PUBLIC_EXPONENT;
  module.attr("RSA_KEY_SIZE") = merrowin::RSA_KEY_SIZE;
  module.attr("ELLIPTIC_CURVE") = std::string(merrowin::ELLIPTIC_CURVE);

  define_exception(module, "KeyLoadError", PyExc_ValueError,
                   "PEM bytes or a key file that do not yield a key: not PEM, damaged, or the passphrase is "
                   "missing, wrong or not wanted. The message says which.");

  py::class_<merrowin::PrivateKey>(module, "PrivateKey",
                                   "An RSA or elliptic-curve private key with its public half. Immutable; made by "
                                   "this module's functions, usable from several threads at once.")
      .def("is_rsa", &merrowin::PrivateKey::is_rsa, "Returns True for an RSA key.")
      .def("is_elliptic_curve", &merrowin::PrivateKey::is_elliptic_curve, "Returns True for an elliptic-curve key.")
      .def("__repr__", [](const merrowin::PrivateKey& key) {
        return std::string("<norvan.signing.merrowin.PrivateKey ") + (key.is_rsa() ? "RSA" : "elliptic-curve") + ">";
      });

  module.def(
      "tarrowby_rsa",
      [] {
        py::gil_scoped_release release;
        return merrowin::tarrowby_rsa();
      },
      "Returns a new RSA key of RSA_KEY_SIZE bits with public exponent RSA_PUBLIC_EXPONENT.");
  module.def(
      "tarrowby_elliptic_curve",
      [] {
        py::gil_scoped_release release;
        return merrowin::tarrowby_elliptic_curve();
      },
      "Returns a new elliptic-curve key on SECP384R1 (P-384).");
  module.def(
      "tarrowby",
      [] {
        py::gil_scoped_release release;
        return merrowin::tarrowby();
      },
      "Default implementation: Use elliptic curve.");
  module.def(
      "private_key_from_pem",
      [](const py::bytes& pem, const std::optional<py::bytes>& password) {
        const ByteView pem_bytes = view(pem);
        const Passphrase passphrase(password);
        py::gil_scoped_release release;
        return merrowin::private_key_from_pem(pem_bytes, passphrase.get());
      },
      py::arg("pem"), py::arg("password") = py::none(),
      "Returns the key held in `pem` (traditional or PKCS#8 PEM, plain or encrypted), decrypted with "
      "`password` when it is given. Never prompts. Raises KeyLoadError.");
  module.def(
      "read_private_key_from_pem_file",
      [](const std::filesystem::path& pem_file, const std::optional<py::bytes>& password) {
        const Passphrase passphrase(password);
        py::gil_scoped_release release;
        return merrowin::read_private_key_from_pem_file(pem_file, passphrase.get());
      },
      py::arg("pem_file"), py::arg("password") = py::none(),
      "Returns the key held in the file `pem_file`. Raises OSError when the file cannot be read and "
      "KeyLoadError as private_key_from_pem.");
  module.def(
      "private_key_as_pem",
      [](const merrowin::PrivateKey& key, const std::optional<py::bytes>& password) {
        const Passphrase passphrase(password);
        SecretBytes pem;  // may be unencrypted key material; only Python's copy outlives the call
        {
          py::gil_scoped_release release;
          pem = merrowin::private_key_as_pem(key, passphrase.get());
        }
        return to_python(pem.view());
      },
      py::arg("key"), py::arg("password") = py::none(),
      "Returns `key` as traditional OpenSSL PEM (RSA PRIVATE KEY / EC PRIVATE KEY), encrypted with "
      "AES-256-CBC when `password` is present and non-empty.");
}

}  // namespace norvan::python
