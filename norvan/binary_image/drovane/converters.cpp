// Reading the project file and converting its [project] table.
#include "norvan/binary_image/drovane.hpp"

#include "norvan/binary_image/drovane/input_guards.hpp"
#include "norvan/binary_image/drovane/toml_text.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"

#include <array>
#include <sstream>
#include <utility>

namespace norvan::binary_image::drovane {
namespace {

// The array type the parser builds: a std::vector whose back() throws on an empty array. The
// parser calls back() when a dotted key or a table header extends an array (an array of
// tables), and an empty inline array there would otherwise be read before its storage. The
// parsed document is then copied into the plain Toml type.
template <class T, class Allocator = std::allocator<T>>
class GuardedArray : public std::vector<T, Allocator> {
 public:
  using std::vector<T, Allocator>::vector;

  class Empty : public std::runtime_error {
   public:
    Empty() : std::runtime_error("a key or table extends an empty array") {}
  };

  T& back() {
    if (this->empty()) throw Empty();
    return std::vector<T, Allocator>::back();
  }
  const T& back() const {
    if (this->empty()) throw Empty();
    return std::vector<T, Allocator>::back();
  }
};

using ParsedToml = toml::basic_value<toml::discard_comments, tsl::ordered_map, GuardedArray>;

constexpr const char* kProject = "project";
constexpr const char* kUnknownFile = "unknown file";  // toml11's name for values made in memory

// "table [project] of 'pyproject.toml'", or without the file for documents made in memory.
std::string describe_table(const std::string& table, const Toml& value) {
  std::string where = "table [" + table + "]";
  const std::string file = value.location().file_name();
  if (!file.empty() && file != kUnknownFile) where += " of '" + file + "'";
  return where;
}

std::string describe_document(const Toml& document) {
  const std::string file = document.location().file_name();
  if (file.empty() || file == kUnknownFile) return "the document";
  return "'" + file + "'";
}

// The [project] table of `document`; throws MissingKeyError when it has none.
const Toml& project_table(const Toml& document) {
  if (!document.is_table() || !document.contains(kProject)) {
    throw MissingKeyError(kProject, describe_document(document));
  }
  return document.at(kProject);
}

Toml::table_type& output_project_table(Toml& document) {
  if (!document.is_table() || !document.contains(kProject)) {
    throw MissingKeyError(kProject, "the output document");
  }
  return document.at(kProject).as_table();
}

const Toml& required(const Toml& project, const std::string& key) {
  if (!project.contains(key)) throw MissingKeyError(key, describe_table(kProject, project));
  return project.at(key);
}

// The value of `key` as an array; an empty one when the key is absent.
Toml::array_type array_or_empty(const Toml& project, const std::string& key) {
  if (!project.contains(key)) return {};
  const Toml& value = project.at(key);
  if (!value.is_array()) {
    throw ConversionError("The value of '" + key + "' in " + describe_table(kProject, project) +
                          " is not an array");
  }
  return value.as_array();
}

// Converts the parsed document into the plain Toml type node by node, taking each table's and
// array's elements out before the node itself is converted. toml11's own conversion of a table
// copies every converted element once more, so its cost doubled with each level of nesting: a
// key of thirty dots took minutes. The converted nodes keep their place in the file (for errors).
Toml plain(ParsedToml&& parsed) {
  if (parsed.is_table()) {
    ParsedToml::table_type elements = std::move(parsed.as_table());
    parsed.as_table().clear();
    Toml node(parsed);
    Toml::table_type& table = node.as_table();
    for (auto element = elements.begin(); element != elements.end(); ++element) {
      table.emplace(element->first, plain(std::move(element.value())));
    }
    return node;
  }
  if (parsed.is_array()) {
    ParsedToml::array_type elements = std::move(parsed.as_array());
    parsed.as_array().clear();
    Toml node(parsed);
    Toml::array_type& array = node.as_array();
    array.reserve(elements.size());
    for (ParsedToml& element : elements) array.push_back(plain(std::move(element)));
    return node;
  }
  return Toml(parsed);
}

Toml read_toml(const std::filesystem::path& file) {
  const Bytes contents = read_file(file, "the project file");
  const std::string_view text = as_text(contents);
  detail::check_utf8(text, file);
  detail::check_nesting(text, file);
  std::istringstream stream{std::string(text)};
  try {
    return plain(toml::parse<toml::discard_comments, tsl::ordered_map, GuardedArray>(stream, file.string()));
  } catch (const ParsedToml::array_type::Empty& error) {
    throw ConversionError("Invalid TOML in '" + file.string() + "': " + error.what());
  }
}

}  // namespace

MissingKeyError::MissingKeyError(std::string key, const std::string& where)
    : ConversionError("Missing key '" + key + "' in " + where), key_(std::move(key)) {}

void convert_mandatory_metadata(Toml& hatch_data, const Toml& poetry_data) {
  const Toml& input = project_table(poetry_data);
  auto& output = output_project_table(hatch_data);
  for (const char* key : {"name", "version"}) output[key] = required(input, key);
}

void convert_optional_metadata(Toml& hatch_data, const Toml& poetry_data) {
  const Toml& input = project_table(poetry_data);
  auto& output = output_project_table(hatch_data);
  const std::array<std::pair<const char*, Toml>, 5> defaults{{
      {"description", Toml("")},
      {"readme", Toml("README.md")},
      {"keywords", Toml(Toml::array_type())},
      {"license", Toml("Proprietary")},
      {"classifiers", Toml(Toml::array_type())},
  }};
  for (const auto& [key, fallback] : defaults) output[key] = input.contains(key) ? input.at(key) : fallback;
}

void convert_license(Toml& hatch_data, const Toml& poetry_data) {
  const Toml& input = project_table(poetry_data);
  auto& output = output_project_table(hatch_data);
  const Toml fallback("LicenseRef-Proprietary");
  const Toml& license = input.contains("license") ? input.at("license") : fallback;
  const bool proprietary = license.is_string() && license.as_string().str == "Proprietary";
  output["license"] = proprietary ? fallback : license;
}

void convert_authors(Toml& hatch_data, const Toml& poetry_data) {
  const Toml& input = project_table(poetry_data);
  auto& output = output_project_table(hatch_data);
  Toml::array_type authors = array_or_empty(input, "authors");
  const Toml::array_type maintainers = array_or_empty(input, "maintainers");
  authors.insert(authors.end(), maintainers.begin(), maintainers.end());
  output["authors"] = Toml(std::move(authors));
}

void convert_dependencies(Toml& hatch_data, const Toml& poetry_data) {
  const Toml& input = project_table(poetry_data);
  auto& output = output_project_table(hatch_data);
  for (const char* key : {"dependencies", "requires-python"}) output[key] = required(input, key);
}

void write_hatch_pyproject_toml(const Toml& hatch_data, const std::filesystem::path& hatch_file) {
  const std::string text = detail::format_document(hatch_data) + detail::dedent(BUILD_SYSTEM);
  write_file(hatch_file, as_bytes(text), FileMode::standard, "the Hatch project file");
}

void convert_drovane(const std::filesystem::path& poetry_file, const std::filesystem::path& hatch_file) {
  const Toml poetry_data = read_toml(poetry_file);
  Toml::table_type document;
  document.emplace(kProject, Toml(Toml::table_type()));
  Toml hatch_data(std::move(document));
  convert_mandatory_metadata(hatch_data, poetry_data);
  convert_optional_metadata(hatch_data, poetry_data);
  convert_license(hatch_data, poetry_data);
  convert_authors(hatch_data, poetry_data);
  convert_dependencies(hatch_data, poetry_data);
  write_hatch_pyproject_toml(hatch_data, hatch_file);
}

}  // namespace norvan::binary_image::drovane
