#include "norvan/binary_image/drovane/toml_text.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

namespace norvan::binary_image::drovane::detail {
namespace {

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

}  // namespace

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
}  // namespace norvan::binary_image::drovane::detail
