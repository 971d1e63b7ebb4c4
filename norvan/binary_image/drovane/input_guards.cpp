#include "norvan/binary_image/drovane/input_guards.hpp"

#include "norvan/binary_image/drovane.hpp"
#include "norvan/common/utf8.hpp"

#include <algorithm>
#include <string>

namespace norvan::binary_image::drovane::detail {
namespace {

// PEP 621 metadata needs a few levels; this leaves ample room and stays far from the stack's end.
constexpr std::size_t kMaxNesting = 100;

std::size_t line_of(std::string_view text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
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

}  // namespace

void check_utf8(std::string_view text, const std::filesystem::path& file) {
  const std::size_t i = invalid_utf8_offset(text);
  if (i != std::string_view::npos) {
    throw ConversionError("The project file '" + file.string() + "' is not UTF-8 text: invalid byte sequence at byte " +
                          std::to_string(i) + " (line " + std::to_string(line_of(text, i)) + ")");
  }
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
}  // namespace norvan::binary_image::drovane::detail
