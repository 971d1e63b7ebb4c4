#include "norvan/binary_image/drovane.hpp"

#include "norvan/common/files.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace norvan::binary_image::drovane {
namespace {

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

// --- TOML text -------------------------------------------------------------------------------

bool is_bare_key(const std::string& key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

// A key as TOML text: bare when it can be, otherwise a basic string with every control
// character escaped (toml11's own key formatter leaves some of them raw, which is invalid).
std::string format_key(const std::string& key) {
  if (is_bare_key(key)) return key;
  std::string text = "\"";
  for (const char c : key) {
    switch (c) {
      case '"': text += "\\\""; break;
      case '\\': text += "\\\\"; break;
      case '\n': text += "\\n"; break;
      case '\t': text += "\\t"; break;
      case '\r': text += "\\r"; break;
      default:
        if ((c >= 0 && c < 0x20) || c == 0x7f) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
          text += escape;
        } else {
          text += c;
        }
    }
  }
  return text + "\"";
}

// A value as one-line TOML text. Tables become inline tables and arrays inline arrays, built
// here so that keys keep their order and nothing is split over lines; scalars are written by
// toml11 with an unlimited width, which keeps every basic string on one line (toml11 splits
// long strings with line-ending backslashes, which would drop blanks at the split points).
std::string inline_value(const Toml& value) {
  if (value.is_table()) {
    std::string text = "{";
    bool first = true;
    for (const auto& [key, item] : value.as_table()) {
      text += first ? " " : ", ";
      first = false;
      text += format_key(key) + " = " + inline_value(item);
    }
    return text + (first ? "}" : " }");
  }
  if (value.is_array()) {
    std::string text = "[";
    bool first = true;
    for (const auto& item : value.as_array()) {
      if (!first) text += ", ";
      first = false;
      text += inline_value(item);
    }
    return text + "]";
  }
  constexpr auto unlimited_width = std::numeric_limits<std::size_t>::max();
  return toml::visit(toml::serializer<Toml>(unlimited_width, std::numeric_limits<double>::max_digits10,
                                            /*can_be_inlined=*/true, /*no_comment=*/true),
                     value);
}

bool is_array_of_tables(const Toml& value) {
  return value.is_array() && !value.as_array().empty() &&
         std::all_of(value.as_array().begin(), value.as_array().end(), [](const Toml& v) { return v.is_table(); });
}

// The value of a section entry: an array of tables gets one table per line (authors read
// better that way); everything else is one line.
std::string entry_value(const Toml& value) {
  if (!is_array_of_tables(value)) return inline_value(value);
  std::string text = "[\n";
  for (const auto& item : value.as_array()) text += "    " + inline_value(item) + ",\n";
  return text + "]";
}

std::string format_entry(const std::string& key, const Toml& value) {
  return format_key(key) + " = " + entry_value(value) + "\n";
}

// The document as TOML: plain top-level entries first, then one section per top-level table.
std::string format_document(const Toml& document) {
  std::string text;
  for (const auto& [key, value] : document.as_table()) {
    if (!value.is_table()) text += format_entry(key, value);
  }
  for (const auto& [key, value] : document.as_table()) {
    if (!value.is_table()) continue;
    if (!text.empty()) text += "\n";
    text += "[" + format_key(key) + "]\n";
    for (const auto& [entry_key, entry] : value.as_table()) text += format_entry(entry_key, entry);
  }
  return text;
}

// `snippet` with blank-only lines emptied and the leading blanks common to all other lines
// removed.
std::string dedent(std::string_view snippet) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = snippet.find('\n', start);
    lines.emplace_back(snippet.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  std::size_t common = std::string::npos;
  for (auto& line : lines) {
    const std::size_t indent = line.find_first_not_of(" \t");
    if (indent == std::string::npos) {
      line.clear();
    } else {
      common = std::min(common, indent);
    }
  }
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    if (!lines[i].empty()) text += lines[i].substr(common);
  }
  return text;
}

// --- Writing a file whole -----------------------------------------------------------------

// Removes a temporary file unless it has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::filesystem::path& path() const noexcept { return path_; }
  void release() noexcept { path_.clear(); }

 private:
  std::filesystem::path path_;
};

// Creates a new file beside `target` with a unique name; returns its descriptor.
int create_sibling(const std::filesystem::path& target, std::filesystem::path& created) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = target;
    candidate += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      created = candidate;
      return fd;
    }
    if (errno != EEXIST) throw_file_error("Cannot write the Hatch project file", target, errno);
  }
  throw_file_error("Cannot write the Hatch project file", target, EEXIST);
}

void write_all(int fd, std::string_view text, const std::filesystem::path& target) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_file_error("Cannot write the Hatch project file", target, errno);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Replaces `target` with `text`: readers see either the old file or the whole new one. A
// replaced file keeps its permission bits; a new one gets the usual 0666 less the umask.
void replace_file(const std::filesystem::path& target, std::string_view text) {
  std::filesystem::path created;
  const int fd = create_sibling(target, created);
  TemporaryFile temporary(created);
  int error = 0;
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && ::fchmod(fd, existing.st_mode & 07777) != 0) error = errno;
  if (error == 0) {
    try {
      write_all(fd, text, target);
    } catch (...) {
      ::close(fd);
      throw;
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) throw_file_error("Cannot write the Hatch project file", target, error);
  if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
    throw_file_error("Cannot write the Hatch project file", target, errno);
  }
  temporary.release();
}

// --- Checks before parsing ------------------------------------------------------------------
// toml11 reads past the end of its buffer on some invalid UTF-8 sequences, and it parses
// nested arrays, inline tables and dotted keys by recursion, so that a few thousand levels
// overflow the stack. Both are refused here, with an error naming the place, before toml11
// sees the text.

// PEP 621 metadata needs a few levels; this leaves ample room and stays far from the stack's end.
constexpr std::size_t kMaxNesting = 100;

std::size_t line_of(std::string_view text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// The length of the valid UTF-8 sequence at `text[i]`, or 0 when there is none (overlong
// forms, surrogates and code points above U+10FFFF are invalid).
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

void check_utf8(std::string_view text, const std::filesystem::path& file) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) {
      throw ConversionError("The project file '" + file.string() + "' is not UTF-8 text: invalid byte sequence at byte " +
                            std::to_string(i) + " (line " + std::to_string(line_of(text, i)) + ")");
    }
    i += length;
  }
}

// The offset just past the string that starts at `text[i]` (a quote), or text.size() when it
// does not end. Single-line strings end at the line's end at the latest.
std::size_t skip_string(std::string_view text, std::size_t i) {
  const char quote = text[i];
  const bool multi_line = text.substr(i, 3) == std::string(3, quote);
  const std::size_t start = i + (multi_line ? 3 : 1);
  for (std::size_t k = start; k < text.size(); ++k) {
    if (text[k] == '\\' && quote == '"') {
      ++k;  // the escaped character, whatever it is
    } else if (!multi_line && text[k] == '\n') {
      return k;
    } else if (!multi_line && text[k] == quote) {
      return k + 1;
    } else if (multi_line && text.substr(k, 3) == std::string(3, quote)) {
      // Up to two quotes of the content may stand right before the closing three.
      std::size_t end = k + 3;
      for (int extra = 0; extra < 2 && end < text.size() && text[end] == quote; ++extra) ++end;
      return end;
    }
  }
  return text.size();
}

// Refuses a document whose arrays, inline tables and table headers nest, together with the
// dots of the dotted key in front of them, more than kMaxNesting levels deep. Strings and
// comments are skipped. The dots are counted per run between separators, so floats and
// date-times, with at most one dot each, count for little.
void check_nesting(std::string_view text, const std::filesystem::path& file) {
  std::size_t brackets = 0;
  std::size_t dots = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"':
      case '\'':
        i = skip_string(text, i) - 1;
        break;
      case '#':
        i = std::min(text.find('\n', i), text.size()) - 1;
        break;
      case '[':
      case '{':
        ++brackets;
        dots = 0;
        break;
      case ']':
      case '}':
        if (brackets > 0) --brackets;
        dots = 0;
        break;
      case '.':
        ++dots;
        break;
      case ',':
      case '=':
      case '\n':
        dots = 0;
        break;
      default:
        break;
    }
    if (brackets + dots > kMaxNesting) {
      throw ConversionError("The project file '" + file.string() + "' nests arrays, tables or dotted keys more than " +
                            std::to_string(kMaxNesting) + " levels deep (line " + std::to_string(line_of(text, i)) +
                            ")");
    }
  }
}

Toml read_toml(const std::filesystem::path& file) {
  const Bytes contents = read_file(file, "the project file");
  const std::string_view text = as_text(contents);
  check_utf8(text, file);
  check_nesting(text, file);
  std::istringstream stream{std::string(text)};
  try {
    return toml::parse<toml::discard_comments, tsl::ordered_map, TomlArray>(stream, file.string());
  } catch (const Toml::array_type::Empty& error) {
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
  replace_file(hatch_file, format_document(hatch_data) + dedent(BUILD_SYSTEM));
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
