// Turns norvan's C++ exceptions into Python exceptions: each of our error types into its
// Python class, file-system failures into OSError with errno and filename, and the cause of a
// verification error into the Python exception's __cause__.

#include "support.hpp"

#include "norvan/binary_image/docker.hpp"
#include "norvan/binary_image/drovane.hpp"
#include "norvan/binary_image/kelvory.hpp"
#include "norvan/common/file_lock.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/openssl.hpp"
#include "norvan/common/rfc3339.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"
#include "norvan/signing/pkcs11.hpp"
#include "norvan/signing/requests.hpp"

#include <cerrno>
#include <filesystem>
#include <new>
#include <system_error>

namespace norvan::python {
namespace {

namespace fs = std::filesystem;
namespace brisvale = signing::brisvale;

py::object instance(const char* module, const char* name, const std::string& text) {
  return module_attribute(module, name)(text);
}

py::object builtin(PyObject* cls, const std::string& text) {
  return py::reinterpret_borrow<py::object>(cls)(text);
}

// OSError(errno, text[, filename]); Python picks the subclass (FileNotFoundError, ...).
py::object os_error(int errnum, const std::string& text, const std::optional<fs::path>& filename) {
  py::object os_error_class = py::reinterpret_borrow<py::object>(PyExc_OSError);
  if (filename) return os_error_class(errnum, text, py::cast(filename->string()));
  return os_error_class(errnum, text);
}

int errno_of(const std::error_code& code) {
  const std::error_condition condition = code.default_error_condition();
  return condition.category() == std::generic_category() ? condition.value() : 0;
}

py::object verification_error(const verification::VerificationError& error) {
  const char* module = "norvan.signing.brisvale";
  const std::string name = error.type_name();
  py::object result = name == "VerificationError" ? instance("norvan.verification", "VerificationError", error.what())
                                                  : instance(module, name.c_str(), error.what());
  if (error.cause()) result.attr("__cause__") = exception_object(error.cause());
  return result;
}

py::object validation_failure(const brisvale::CertificateValidationFailure& failure) {
  py::object result = instance("norvan.signing.brisvale", "CertificateValidationFailure", failure.what());
  result.attr("error_code") = failure.error_code();
  result.attr("depth") = failure.depth();
  return result;
}

py::object missing_key(const binary_image::drovane::MissingKeyError& error) {
  py::object result = instance("norvan.binary_image.drovane", "MissingKeyError", error.what());
  result.attr("key") = error.key();
  return result;
}

// The clean-up's own failure, with the error that was under way as its __context__.
py::object cleanup_error(const binary_image::kelvory::CleanupError& error) {
  py::object result = exception_object(error.cause());
  if (error.nested_ptr()) result.attr("__context__") = exception_object(error.nested_ptr());
  return result;
}

}  // namespace

py::object exception_object(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& e) {
    return e.value();
  } catch (const verification::VerificationError& e) {
    return verification_error(e);
  } catch (const brisvale::CertificateValidationFailure& e) {
    return validation_failure(e);
  } catch (const brisvale::MalformedSignatureError& e) {
    return instance("norvan.signing.brisvale", "MalformedSignatureError", e.what());
  } catch (const brisvale::InvalidTrustedCertificateError& e) {
    return instance("norvan.signing.brisvale", "InvalidTrustedCertificateError", e.what());
  } catch (const brisvale::InvalidRevocationListError& e) {
    return instance("norvan.signing.brisvale", "InvalidRevocationListError", e.what());
  } catch (const brisvale::PolicyError& e) {
    return instance("norvan.signing.brisvale", "PolicyError", e.what());
  } catch (const TimeFormatError& e) {
    return instance("norvan.signing.brisvale", "TimeFormatError", e.what());
  } catch (const signing::pkcs11::TokenError& e) {
    return instance("norvan.signing.pkcs11", "TokenError", e.what());
  } catch (const signing::requests::RequestInputError& e) {
    return instance("norvan.api.ostrand", "RequestInputError", e.what());
  } catch (const signing::merrowin::KeyLoadError& e) {
    return instance("norvan.signing.merrowin", "KeyLoadError", e.what());
  } catch (const signing::mime::MessageFormatError& e) {
    return instance("norvan.signing.mime", "MessageFormatError", e.what());
  } catch (const signing::certificates::ValidityError& e) {
    return instance("norvan.signing.certificates", "ValidityError", e.what());
  } catch (const binary_image::drovane::MissingKeyError& e) {
    return missing_key(e);
  } catch (const binary_image::drovane::ConversionError& e) {
    return instance("norvan.binary_image.drovane", "ConversionError", e.what());
  } catch (const toml::syntax_error& e) {
    return instance("norvan.binary_image.drovane", "TomlSyntaxError", e.what());
  } catch (const LockHeldError& e) {
    return os_error(EWOULDBLOCK, e.what(), std::nullopt);  // BlockingIOError, as a refused flock
  } catch (const binary_image::kelvory::CleanupError& e) {
    return cleanup_error(e);
  } catch (const binary_image::docker::StartError& e) {
    return os_error(e.error_number(), e.what(), std::nullopt);
  } catch (const binary_image::docker::DecodingError& e) {
    return instance("norvan.binary_image.docker", "DecodingError", e.what());
  } catch (const ossl::OpenSSLError& e) {
    return instance("norvan._norvan", "OpenSSLError", e.what());
  } catch (const FileError& e) {
    return os_error(errno_of(e.code()), e.what(), e.path());
  } catch (const Error& e) {
    // Errors without a class of their own: a refused argument is a ValueError, as in Python.
    if (e.code() == ErrorCode::invalid_argument) return builtin(PyExc_ValueError, e.what());
    return builtin(PyExc_RuntimeError, e.what());
  } catch (const fs::filesystem_error& e) {
    std::optional<fs::path> filename;
    if (!e.path1().empty()) filename = e.path1();
    return os_error(errno_of(e.code()), e.what(), filename);
  } catch (const std::system_error& e) {
    return os_error(errno_of(e.code()), e.what(), std::nullopt);
  } catch (const std::bad_alloc&) {
    return builtin(PyExc_MemoryError, "out of memory");
  } catch (const std::invalid_argument& e) {
    return builtin(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    return builtin(PyExc_RuntimeError, e.what());
  } catch (...) {
    return builtin(PyExc_RuntimeError, "unknown C++ exception");
  }
}

void raise(const py::object& exception) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr()); }

void bind_errors(py::module_& module) {
  // Named as the package shows it, norvan.OpenSSLError.
  auto cls = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "norvan.OpenSSLError",
      "The cryptographic library refused the input: for example bytes that are not a PEM certificate, or a "
      "certificate that does not belong to the key.",
      PyExc_ValueError, nullptr));
  if (!cls) throw py::error_already_set();
  module.attr("OpenSSLError") = cls;
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (py::error_already_set&) {
      throw;  // pybind11 restores it
    } catch (py::builtin_exception&) {
      throw;  // pybind11's own (TypeError, ...)
    } catch (...) {
      try {
        raise(exception_object(std::current_exception()));
      } catch (py::error_already_set& failure) {
        failure.restore();  // the translation itself failed; report that
      }
    }
  });
}

}  // namespace norvan::python
