#include "support.hpp"

namespace norvan::python {

ByteView view(const py::bytes& bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw py::error_already_set();
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

Bytes copy(const py::bytes& bytes) {
  const ByteView bytes_view = view(bytes);
  return Bytes(bytes_view.begin(), bytes_view.end());
}

std::optional<Bytes> copy(const std::optional<py::bytes>& bytes) {
  if (!bytes) return std::nullopt;
  return copy(*bytes);
}

std::vector<Bytes> copy(const std::vector<py::bytes>& list) {
  std::vector<Bytes> copies;
  copies.reserve(list.size());
  for (const auto& bytes : list) copies.push_back(copy(bytes));
  return copies;
}

std::optional<std::vector<Bytes>> copy(const std::optional<std::vector<py::bytes>>& list) {
  if (!list) return std::nullopt;
  return copy(*list);
}

Passphrase::Passphrase(const std::optional<py::bytes>& password) {
  if (std::optional<Bytes> bytes = copy(password)) value_.emplace(std::move(*bytes));
}

py::bytes to_python(ByteView bytes) {
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string_view utf8(const py::str& text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

py::module_ submodule(py::module_& parent, const char* public_parent_name, const char* name, const char* doc) {
  const std::string full_name = std::string(public_parent_name) + "." + name;
  auto module = py::reinterpret_steal<py::module_>(PyModule_New(full_name.c_str()));
  if (!module) throw py::error_already_set();
  module.doc() = doc;
  parent.attr(name) = module;
  py::module_::import("sys").attr("modules")[full_name.c_str()] = module;
  return module;
}

py::object define_exception(py::module_& module, const char* name, py::handle bases, const char* doc) {
  const std::string full_name = module.attr("__name__").cast<std::string>() + "." + name;
  auto cls = py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc(full_name.c_str(), doc, bases.ptr(), nullptr));
  if (!cls) throw py::error_already_set();
  module.attr(name) = cls;
  return cls;
}

py::object module_attribute(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

void flush_python_streams() {
  for (const char* stream : {"stdout", "stderr"}) {
    py::object file = py::module_::import("sys").attr(stream);
    if (file.is_none()) continue;
    try {
      file.attr("flush")();
    } catch (const py::error_already_set&) {
      // A stream that cannot be flushed must not stop the work; its data stays buffered.
    }
  }
}

}  // namespace norvan::python
