#include "support.hpp"

#include "norvan/binary_image/drovane.hpp"

namespace norvan::python {
namespace {

namespace drovane = binary_image::drovane;
using drovane::Toml;

std::string type_name(const py::handle& value) {
  return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

// A Python value as a TOML value: str, bool, int (64-bit), float, list or tuple, and dict with
// str keys. `where` names the value in errors ("project.authors[0]").
Toml to_toml(const py::handle& value, const std::string& where) {
  if (py::isinstance<py::str>(value)) return Toml(value.cast<std::string>());
  if (py::isinstance<py::bool_>(value)) return Toml(value.cast<bool>());
  if (py::isinstance<py::int_>(value)) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) throw py::value_error(where + " does not fit a TOML integer (64 bits)");
    return Toml(static_cast<std::int64_t>(number));
  }
  if (py::isinstance<py::float_>(value)) return Toml(value.cast<double>());
  if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
    Toml::array_type array;
    std::size_t index = 0;
    for (const py::handle item : value) {
      array.push_back(to_toml(item, where + "[" + std::to_string(index++) + "]"));
    }
    return Toml(std::move(array));
  }
  if (py::isinstance<py::dict>(value)) {
    Toml::table_type table;
    for (const auto& [key, item] : value.cast<py::dict>()) {
      if (!py::isinstance<py::str>(key))
        throw py::type_error("A key of " + where + " is a " + type_name(key) + "; TOML keys are str");
      const std::string name = key.cast<std::string>();
      table.emplace(name, to_toml(item, where.empty() ? name : where + "." + name));
    }
    return Toml(std::move(table));
  }
  throw py::type_error((where.empty() ? std::string("The document") : where) + " is a " + type_name(value) +
                       ", which TOML cannot hold (str, bool, int, float, list and dict can)");
}

py::object to_python(const Toml& value) {
  if (value.is_string()) return py::str(value.as_string().str);
  if (value.is_boolean()) return py::bool_(value.as_boolean());
  if (value.is_integer()) return py::int_(value.as_integer());
  if (value.is_floating()) return py::float_(value.as_floating());
  if (value.is_array()) {
    py::list list;
    for (const auto& item : value.as_array()) list.append(to_python(item));
    return list;
  }
  if (value.is_table()) {
    py::dict dict;
    for (const auto& [key, item] : value.as_table()) dict[py::str(key)] = to_python(item);
    return dict;
  }
  throw py::type_error("A TOML date or time cannot be handed back to Python here");
}

// A document holding only the [project] table of `data` (when it has one): the converters
// read nothing else.
Toml project_document(const py::dict& data) {
  Toml::table_type document;
  if (data.contains("project")) document.emplace("project", to_toml(data["project"], "project"));
  return Toml(std::move(document));
}

using Converter = void (*)(Toml&, const Toml&);

// Runs `convert` on TOML copies of the two [project] tables and sets, in
// hatch_data["project"], every key that the converter added or changed.
void run_converter(Converter convert, const py::dict& hatch_data, const py::dict& poetry_data) {
  const Toml poetry = project_document(poetry_data);
  const Toml before = project_document(hatch_data);
  Toml after = before;
  convert(after, poetry);
  py::object hatch_project = hatch_data["project"];
  const auto& old_table = before.as_table().at("project").as_table();
  for (const auto& [key, value] : after.as_table().at("project").as_table()) {
    const auto old = old_table.find(key);
    if (old == old_table.end() || !(old->second == value)) hatch_project[py::str(key)] = to_python(value);
  }
}

void define_converter(py::module_& module, const char* name, Converter convert, const char* doc) {
  module.def(
      name,
      [convert](const py::dict& hatch_data, const py::dict& poetry_data) {
        run_converter(convert, hatch_data, poetry_data);
      },
      py::arg("hatch_data"), py::arg("poetry_data"), doc);
}

}  // namespace

void bind_drovane(py::module_& module) {
  module.attr("BUILD_SYSTEM") = std::string(drovane::BUILD_SYSTEM);
  module.attr("DISABLE_KEY_RING") = std::string(drovane::DISABLE_KEY_RING);
  module.attr("DISABLE_MULTIPLE_PACKAGES") = std::string(drovane::DISABLE_MULTIPLE_PACKAGES);

  py::object conversion_error =
      define_exception(module, "ConversionError", PyExc_ValueError,
                       "A project file that cannot be converted; the message names the key, table and file.");
  py::object missing_key = define_exception(
      module, "MissingKeyError", py::make_tuple(conversion_error, py::handle(PyExc_KeyError)),
      "A required key (or the [project] table itself) is missing; `key` is its name. Also a KeyError.");
  // KeyError would show the message in quotes.
  missing_key.attr("__str__") = py::handle(PyExc_Exception).attr("__str__");
  define_exception(module, "TomlSyntaxError", conversion_error,
                   "The project file is not valid TOML; the message shows where.");

  module.def(
      "convert_drovane",
      [](const std::filesystem::path& poetry_file, const std::filesystem::path& hatch_file) {
        py::gil_scoped_release release;
        drovane::convert_drovane(poetry_file, hatch_file);
      },
      py::arg("poetry_file"), py::arg("hatch_file"),
      "Reads the project file `poetry_file`, converts its [project] table and writes the Hatch project file "
      "`hatch_file`. Raises OSError when a file cannot be read or written, TomlSyntaxError when the input is not "
      "TOML, MissingKeyError or ConversionError when it does not convert (then `hatch_file` is left as it was).");
  module.def(
      "write_hatch_pyproject_toml",
      [](const py::dict& hatch_data, const std::filesystem::path& hatch_file) {
        const Toml document = to_toml(hatch_data, "");
        py::gil_scoped_release release;
        drovane::write_hatch_pyproject_toml(document, hatch_file);
      },
      py::arg("hatch_data"), py::arg("hatch_file"),
      "Writes the dict `hatch_data` as TOML followed by the [build-system] table to `hatch_file`, replacing it "
      "whole. Raises TypeError for a value TOML cannot hold, OSError naming the file.");
  define_converter(module, "convert_mandatory_metadata", &drovane::convert_mandatory_metadata,
                   "Copies `name` and `version` from poetry_data[\"project\"] into hatch_data[\"project\"]; raises "
                   "MissingKeyError for the first one missing.");
  define_converter(module, "convert_optional_metadata", &drovane::convert_optional_metadata,
                   "Copies `description` (default \"\"), `readme` (\"README.md\"), `keywords` ([]), `license` "
                   "(\"Proprietary\") and `classifiers` ([]), in this order.");
  define_converter(module, "convert_license", &drovane::convert_license,
                   "Sets `license` to the input license, or \"LicenseRef-Proprietary\" when it is absent or is the "
                   "string \"Proprietary\".");
  define_converter(module, "convert_authors", &drovane::convert_authors,
                   "Sets `authors` to the input `authors` followed by the input `maintainers`.");
  define_converter(module, "convert_dependencies", &drovane::convert_dependencies,
                   "Copies `dependencies` and then `requires-python`; raises MissingKeyError for the first one "
                   "missing.");
}

}  // namespace norvan::python
