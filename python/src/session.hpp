#pragma once
// A Python object (a nox.Session or anything with the same methods) seen as norvan's session.

#include "support.hpp"

#include "norvan/binary_image/nox.hpp"

namespace norvan::python {

/// Calls the Python session's chdir(path) and error(code), each with the GIL taken, so it may be
/// used from C++ code that runs with the GIL released, on any thread. What those methods raise
/// passes through as py::error_already_set. Output goes to Python's sys.stdout and sys.stderr.
/// Holds a reference to the session; the GIL must be held when it is made and destroyed.
class PythonSession : public binary_image::nox::Session {
 public:
  explicit PythonSession(py::object session) : session_(std::move(session)) {}

  void chdir(const std::filesystem::path& path) override;
  void error(int code) override;
  void write_output(std::string_view text) override;
  void write_error_output(std::string_view text) override;

  const py::object& object() const noexcept { return session_; }

 private:
  py::object session_;
};

}  // namespace norvan::python
