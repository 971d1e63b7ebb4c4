#pragma once
// What every submodule of the Python face shares: conversions between Python's values and
// norvan's, the creation of submodules and exception classes.

#include "norvan/common/bytes.hpp"
#include "norvan/common/secret_bytes.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvan::python {

namespace py = pybind11;

/// Returns a view of the bytes of `bytes`; valid while the object lives. Python's bytes are
/// immutable, so the view may be read with the GIL released as long as `bytes` is held.
ByteView view(const py::bytes& bytes);

/// Returns a copy of `bytes`.
Bytes copy(const py::bytes& bytes);

/// Returns a copy of `bytes`, or nullopt for None.
std::optional<Bytes> copy(const std::optional<py::bytes>& bytes);

/// Returns a copy of each element.
std::vector<Bytes> copy(const std::vector<py::bytes>& list);

/// Returns a copy of each element, or nullopt for None.
std::optional<std::vector<Bytes>> copy(const std::optional<std::vector<py::bytes>>& list);

/// A passphrase taken from Python's bytes (or None) in the form norvan's functions take it.
/// Its copy is handed to SecretBytes when the object goes, which wipes it: no passphrase is
/// left in freed memory by the binding. Lives on the stack of one call; not copyable.
class Passphrase {
 public:
  explicit Passphrase(const std::optional<py::bytes>& password);
  Passphrase(const Passphrase&) = delete;
  Passphrase& operator=(const Passphrase&) = delete;

  /// The passphrase, or absent; a view of bytes that are wiped when this object goes.
  std::optional<ByteView> get() const noexcept {
    if (!value_) return std::nullopt;
    return value_->view();
  }

 private:
  std::optional<SecretBytes> value_;
};

/// Returns a Python bytes object holding a copy of `bytes`.
py::bytes to_python(ByteView bytes);

/// Returns the UTF-8 encoding of `text`, cached inside the str object (valid while it lives,
/// readable with the GIL released). Raises UnicodeEncodeError for lone surrogates.
std::string_view utf8(const py::str& text);

/// Returns the module `<parent.__name__>.<name>`, created empty, set as `parent.<name>` and
/// registered in sys.modules so that `import norvan.signing.mime` finds it.
py::module_ submodule(py::module_& parent, const char* public_parent_name, const char* name, const char* doc);

/// Creates the exception class `<module>.<name>` deriving from `bases` (a class or a tuple
/// of classes), sets it as an attribute of `module` and returns it.
py::object define_exception(py::module_& module, const char* name, py::handle bases, const char* doc);

/// Returns the attribute `name` of the already imported module `module`.
py::object module_attribute(const char* module, const char* name);

/// Flushes sys.stdout and sys.stderr, so that what Python buffered comes before what a child
/// process or C++ code writes to the same descriptors. Errors of the flush are ignored.
void flush_python_streams();

// One function per submodule: defines its functions, classes and constants.
void bind_verification(py::module_& module);
void bind_merrowin(py::module_& module);
void bind_certificates(py::module_& module);
void bind_brisvale(py::module_& module);
void bind_mime(py::module_& module);
void bind_mime_verifier(py::module_& module);  // the Verifier class, part of bind_mime
void bind_pkcs11(py::module_& module);
void bind_ostrand(py::module_& module);
void bind_drovane(py::module_& module);
void bind_kelvory(py::module_& module);
void bind_docker(py::module_& module);

/// Returns the Python exception for the C++ exception `error` (needs the GIL): our error types
/// as their Python classes, file-system failures as OSError, a verification error's cause as
/// its __cause__, a Python exception that passed through C++ as itself.
py::object exception_object(const std::exception_ptr& error);

/// Sets `exception` (an exception instance) as the current Python error.
void raise(const py::object& exception);

/// Defines norvan.OpenSSLError and installs the translation of norvan's C++ exceptions.
void bind_errors(py::module_& module);

}  // namespace norvan::python
