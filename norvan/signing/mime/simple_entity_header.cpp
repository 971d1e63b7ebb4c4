#include "norvan/signing/mime/simple_entity_header.hpp"

#include "norvan/signing/mime/header_fields.hpp"

#include <algorithm>
#include <cctype>
#include <string>

namespace norvan::signing::mime::detail {
namespace {

// Longer fields are left to GMime.
constexpr std::size_t kFieldLimit = 4096;

bool is_token_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  // RFC 2045 token characters, without '*' (which marks RFC 2231 parameters).
  return byte > 32 && byte < 127 && std::string_view("()<>@,;:\\\"/[]?=*").find(c) == std::string_view::npos;
}

// Plain quoted-string content: printable ASCII and blanks, no quote, no backslash.
bool is_plain_quoted_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 32 && byte < 127 && c != '"' && c != '\\') || c == '\t';
}

std::string lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

// Reads one field's value (after the colon, up to the field's final line end) in the plain
// form. White space is blanks and folds (a line end followed by a blank).
class ValueReader {
 public:
  explicit ValueReader(std::string_view value) : text_(value) {}

  bool at_end() const { return next_ == text_.size(); }

  // Skips blanks and folds; false on a line end that is not a fold or a stray CR.
  bool skip_space() {
    while (next_ < text_.size()) {
      const char c = text_[next_];
      if (c == ' ' || c == '\t') {
        ++next_;
      } else if (c == '\n' || c == '\r') {
        const std::size_t after = next_ + (c == '\r' ? 1 : 0);
        if (after >= text_.size() || text_[after] != '\n') return false;
        if (after + 1 >= text_.size() || (text_[after + 1] != ' ' && text_[after + 1] != '\t')) return false;
        next_ = after + 1;
      } else {
        break;
      }
    }
    return true;
  }

  bool take(char c) {
    if (at_end() || text_[next_] != c) return false;
    ++next_;
    return true;
  }

  std::string_view token() {
    const std::size_t start = next_;
    while (next_ < text_.size() && is_token_char(text_[next_])) ++next_;
    return text_.substr(start, next_ - start);
  }

  // After the opening quote: the content up to the closing quote; false when it is not plain
  // (an escape, a control character, an 8-bit byte or an encoded word) or not closed.
  bool quoted(std::string_view& content) {
    const std::size_t start = next_;
    while (next_ < text_.size() && is_plain_quoted_char(text_[next_])) ++next_;
    content = text_.substr(start, next_ - start);
    return take('"') && content.find("=?") == std::string_view::npos;
  }

 private:
  std::string_view text_;
  std::size_t next_ = 0;
};

struct ContentType {
  std::string type, subtype;  // lower case
  std::optional<std::string> boundary;
};

// type "/" subtype *( ";" name "=" ( token / plain quoted-string ) ) [ ";" ]
std::optional<ContentType> parse_content_type(std::string_view value) {
  ValueReader reader(value);
  ContentType result;
  if (!reader.skip_space()) return std::nullopt;
  const std::string_view type = reader.token();
  if (type.empty() || !reader.take('/')) return std::nullopt;
  const std::string_view subtype = reader.token();
  if (subtype.empty() || !reader.skip_space()) return std::nullopt;
  result.type = lower(type);
  result.subtype = lower(subtype);
  while (reader.take(';')) {
    if (!reader.skip_space()) return std::nullopt;
    if (reader.at_end()) break;
    const std::string_view name = reader.token();
    if (name.empty() || !reader.take('=')) return std::nullopt;
    std::string_view parameter;
    if (reader.take('"')) {
      if (!reader.quoted(parameter)) return std::nullopt;
    } else {
      parameter = reader.token();
    }
    if (parameter.empty() || !reader.skip_space()) return std::nullopt;
    if (equals_ignoring_case(name, "boundary")) {
      if (result.boundary) return std::nullopt;
      result.boundary = std::string(parameter);
    }
  }
  if (!reader.at_end()) return std::nullopt;
  return result;
}

std::optional<GMimeContentEncoding> parse_encoding(std::string_view value) {
  ValueReader reader(value);
  if (!reader.skip_space()) return std::nullopt;
  const std::string_view token = reader.token();
  if (!reader.skip_space() || !reader.at_end()) return std::nullopt;
  if (equals_ignoring_case(token, "7bit")) return GMIME_CONTENT_ENCODING_7BIT;
  if (equals_ignoring_case(token, "8bit")) return GMIME_CONTENT_ENCODING_8BIT;
  if (equals_ignoring_case(token, "binary")) return GMIME_CONTENT_ENCODING_BINARY;
  if (equals_ignoring_case(token, "base64")) return GMIME_CONTENT_ENCODING_BASE64;
  if (equals_ignoring_case(token, "quoted-printable")) return GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
  return std::nullopt;
}

// The fields split into the value of the Content-Type field and that of the
// Content-Transfer-Encoding field (each with its folds, without its final line end).
struct Values {
  std::optional<std::string_view> type, encoding;
};

bool has_only_text_bytes(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 32 && byte < 127) || c == '\t' || c == '\r' || c == '\n';
  });
}

// The length of the field that starts at `fields[start]`: up to and with the line feed of its
// last line (a line that is not followed by one starting with a blank).
std::size_t field_length(std::string_view fields, std::size_t start) {
  std::size_t end = start;
  for (;;) {
    end = fields.find('\n', end);
    if (end == std::string_view::npos) return std::string_view::npos;
    ++end;
    if (end == fields.size() || (fields[end] != ' ' && fields[end] != '\t')) return end - start;
  }
}

std::optional<Values> split_fields(std::string_view fields) {
  constexpr std::string_view kType = "Content-Type:";
  constexpr std::string_view kEncoding = "Content-Transfer-Encoding:";
  Values values;
  for (std::size_t start = 0; start < fields.size();) {
    const std::size_t length = field_length(fields, start);
    if (length == std::string_view::npos || length > kFieldLimit) return std::nullopt;
    std::string_view field = fields.substr(start, length);
    start += length;
    field.remove_suffix(field.size() >= 2 && field[field.size() - 2] == '\r' ? 2 : 1);
    std::optional<std::string_view>* slot = nullptr;
    std::size_t name_length = 0;
    if (equals_ignoring_case(field.substr(0, kType.size()), kType)) {
      slot = &values.type;
      name_length = kType.size();
    } else if (equals_ignoring_case(field.substr(0, kEncoding.size()), kEncoding)) {
      slot = &values.encoding;
      name_length = kEncoding.size();
    }
    if (slot == nullptr || slot->has_value()) return std::nullopt;
    *slot = field.substr(name_length);
  }
  return values;
}

}  // namespace

std::optional<EntityHeader> read_simple_entity_header(std::string_view fields, bool in_digest_type,
                                                      bool in_digest_text) {
  if (!has_only_text_bytes(fields)) return std::nullopt;
  const std::optional<Values> values = split_fields(fields);
  if (!values) return std::nullopt;
  EntityHeader header;
  std::optional<GMimeContentEncoding> encoding = GMIME_CONTENT_ENCODING_DEFAULT;
  if (values->encoding && !(encoding = parse_encoding(*values->encoding))) return std::nullopt;
  bool message = false;
  if (!values->type) {
    header.type = in_digest_text ? "message/rfc822" : "text/plain";
    message = in_digest_type;
  } else {
    std::optional<ContentType> type = parse_content_type(*values->type);
    if (!type) return std::nullopt;
    header.type = type->type + "/" + type->subtype;
    if (type->type == "multipart") {
      header.kind = EntityHeader::Kind::multipart;
      header.boundary = std::move(type->boundary);
      header.digest = type->subtype == "digest";
      return header;
    }
    if (type->type == "message" && type->subtype != "rfc822") return std::nullopt;
    message = type->type == "message";
  }
  // GMime keeps an embedded message that is base64 or quoted-printable encoded as a leaf.
  if (message && *encoding != GMIME_CONTENT_ENCODING_BASE64 &&
      *encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
    header.kind = EntityHeader::Kind::message;
  } else {
    header.encoding = *encoding;
  }
  return header;
}

}  // namespace norvan::signing::mime::detail
