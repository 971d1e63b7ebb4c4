#include "session.hpp"

namespace norvan::python {
namespace {

void write_to(const char* stream, std::string_view text) {
  py::gil_scoped_acquire acquire;
  py::object file = py::module_::import("sys").attr(stream);
  if (file.is_none()) return;  // Python runs without that stream (pythonw, a closed descriptor)
  file.attr("write")(py::str(text.data(), text.size()));
  file.attr("flush")();
}

}  // namespace

void PythonSession::chdir(const std::filesystem::path& path) {
  py::gil_scoped_acquire acquire;
  session_.attr("chdir")(path.string());
}

void PythonSession::error(int code) {
  py::gil_scoped_acquire acquire;
  session_.attr("error")(code);
}

void PythonSession::write_output(std::string_view text) { write_to("stdout", text); }

void PythonSession::write_error_output(std::string_view text) { write_to("stderr", text); }

}  // namespace norvan::python
