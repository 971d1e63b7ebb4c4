// norvan.signing.pkcs11: private keys held in a PKCS#11 token, named by "pkcs11:" URIs. The
// PrivateKey it returns signs in the token and is used wherever a key loaded from a file is.

#include "support.hpp"

#include "norvan/signing/pkcs11.hpp"

#include <string>

namespace norvan::python {

namespace pkcs11 = signing::pkcs11;

void bind_pkcs11(py::module_& module) {
  define_exception(module, "TokenError", PyExc_ValueError,
                   "A token key that cannot be used: a malformed URI, a module that cannot be loaded, no matching "
                   "token or key, a missing or refused PIN. The message says which.");
  module.attr("DEFAULT_MODULE") = std::string(pkcs11::DEFAULT_MODULE);
  module.def("is_pkcs11_uri", [](const std::string& location) { return pkcs11::is_pkcs11_uri(location); },
             py::arg("location"), "Returns True when `location` is a \"pkcs11:\" URI rather than a key file.");
  module.def(
      "load_private_key",
      [](const std::string& uri, const std::optional<py::bytes>& pin, const std::optional<std::filesystem::path>& module) {
        const Passphrase secret(pin);
        py::gil_scoped_release release;
        return pkcs11::load_private_key(uri, secret.get(), module);
      },
      py::arg("uri"), py::arg("pin") = py::none(), py::arg("module") = py::none(),
      "Returns the private key that the RFC 7512 URI `uri` names (\"pkcs11:token=signing;object=alice\") as a "
      "merrowin.PrivateKey whose signatures are made in the token: the key never leaves it. `pin` (bytes) "
      "logs in, else the URI's pin-value; `module` is the PKCS#11 module's path, else the URI's module-path, "
      "else DEFAULT_MODULE (p11-kit's proxy). Exactly one private key must match. Raises TokenError.");
}

}  // namespace norvan::python
