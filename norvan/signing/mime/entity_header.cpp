#include "norvan/signing/mime/entity_header.hpp"

#include "norvan/signing/mime/gmime.hpp"
#include "norvan/signing/mime/header_fields.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace norvan::signing::mime::detail {
namespace {

// Header blocks up to this size are remembered, in this many slots.
constexpr std::size_t kCachedFieldsLimit = 4096;
constexpr std::size_t kCacheSlots = 16;

// A multipart/digest around the entity, so that GMime applies a digest child's default type.
constexpr std::string_view kDigestOpening =
    "Content-Type: multipart/digest; boundary=\"norvan-digest\"\n\n--norvan-digest\n";
constexpr std::string_view kDigestClosing = "\n--norvan-digest--\n";

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The entity's first Content-Type field as lower-case "type/subtype" without parameters.
std::string content_type_of(GMimeObject* entity, bool in_digest) {
  const char* header = g_mime_object_get_header(entity, "Content-Type");
  if (header == nullptr) return in_digest ? "message/rfc822" : "text/plain";
  std::string_view value(header);
  std::string type(trim(value.substr(0, value.find(';'))));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (std::count(type.begin(), type.end(), '/') != 1) return "text/plain";
  return type;
}

// Parses `text` (a header block, or the digest around one) as a message of its own.
GObjectPtr<GMimeObject> parse(const std::string& text) {
  GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  return GObjectPtr<GMimeObject>(g_mime_parser_construct_part(parser.get(), nullptr));
}

EntityHeader classify(GMimeObject* entity, bool in_digest_text) {
  EntityHeader header;
  header.type = content_type_of(entity, in_digest_text);
  if (GMIME_IS_MULTIPART(entity)) {
    header.kind = EntityHeader::Kind::multipart;
    if (const char* boundary = g_mime_object_get_content_type_parameter(entity, "boundary")) header.boundary = boundary;
    header.digest = g_mime_content_type_is_type(g_mime_object_get_content_type(entity), "multipart", "digest");
  } else if (GMIME_IS_MESSAGE_PART(entity)) {
    header.kind = EntityHeader::Kind::message;
  } else if (GMIME_IS_PART(entity)) {
    header.encoding = g_mime_part_get_content_encoding(GMIME_PART(entity));
  }
  return header;
}

EntityHeader read_with_gmime(const std::string& fields, bool in_digest_type, bool in_digest_text) {
  initialise_gmime();
  if (!in_digest_type) {
    const GObjectPtr<GMimeObject> entity = parse(fields + "\n");
    if (!entity) throw std::logic_error("GMime gave no entity for a header block");
    return classify(entity.get(), in_digest_text);
  }
  std::string text(kDigestOpening);
  text += fields;
  text += kDigestClosing;
  const GObjectPtr<GMimeObject> digest = parse(text);
  GMimeObject* entity = digest && GMIME_IS_MULTIPART(digest.get()) && g_mime_multipart_get_count(GMIME_MULTIPART(digest.get())) == 1
                            ? g_mime_multipart_get_part(GMIME_MULTIPART(digest.get()), 0)
                            : nullptr;
  if (entity == nullptr) throw std::logic_error("GMime gave no entity for a header block in a digest");
  return classify(entity, in_digest_text);
}

// Content-Type fields up to this size are handed to GMime as they are.
constexpr std::size_t kLongContentType = 4096;

bool is_fold_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A token character of RFC 2045 (printable ASCII other than space and tspecials).
bool is_token_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 32 && byte < 127 && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// Reads plain RFC 2045 parameter syntax from a Content-Type value.
class PlainValue {
 public:
  explicit PlainValue(std::string_view text) : text_(text) {}

  void skip_space() {
    while (next_ < text_.size() && is_fold_space(text_[next_])) ++next_;
  }
  bool at_end() const { return next_ == text_.size(); }
  bool take(char c) {
    if (next_ == text_.size() || text_[next_] != c) return false;
    ++next_;
    return true;
  }
  // A token; names of parameter continuations ('*') are not plain.
  std::string_view token(bool name) {
    const std::size_t start = next_;
    while (next_ < text_.size() && is_token_char(text_[next_]) && !(name && text_[next_] == '*')) ++next_;
    return text_.substr(start, next_ - start);
  }
  // A quoted string without escapes or line ends.
  bool quoted_string() {
    if (!take('"')) return false;
    while (next_ < text_.size() && text_[next_] != '"') {
      const auto byte = static_cast<unsigned char>(text_[next_]);
      if (byte == '\\' || byte < 32 || byte > 126) return false;
      ++next_;
    }
    return take('"');
  }
  std::size_t position() const { return next_; }
  std::string_view between(std::size_t from, std::size_t to) const { return text_.substr(from, to - from); }

 private:
  std::string_view text_;
  std::size_t next_ = 0;
};

}  // namespace

std::string shortened_content_type(std::string field) {
  if (field.size() <= kLongContentType || field.find("=?") != std::string::npos) return field;
  const std::size_t colon = field.find(':');
  if (colon == std::string::npos) return field;
  PlainValue value(std::string_view(field).substr(colon + 1));
  value.skip_space();
  const std::size_t type_start = value.position();
  if (value.token(false).empty() || !value.take('/') || value.token(false).empty()) return field;
  const std::size_t type_end = value.position();
  std::string_view boundary;
  for (;;) {
    value.skip_space();
    if (value.at_end()) break;
    if (!value.take(';')) return field;
    value.skip_space();
    if (value.at_end()) break;
    const std::size_t start = value.position();
    const std::string_view name = value.token(true);
    if (name.empty() || !value.take('=')) return field;
    if (!value.quoted_string() && value.token(false).empty()) return field;
    if (boundary.empty() && equals_ignoring_case(name, "boundary")) boundary = value.between(start, value.position());
  }
  std::string shortened = field.substr(0, colon + 1) + " ";
  shortened += value.between(type_start, type_end);
  if (!boundary.empty()) {
    shortened += "; ";
    shortened += boundary;
  }
  shortened += '\n';
  return shortened;
}

EntityHeader EntityHeaderReader::read(const std::string& fields, bool in_digest_type, bool in_digest_text) {
  if (fields.size() > kCachedFieldsLimit) return read_with_gmime(fields, in_digest_type, in_digest_text);
  std::string key = fields;
  key += in_digest_type ? '1' : '0';
  key += in_digest_text ? '1' : '0';
  for (const Cached& cached : cache_) {
    if (cached.key == key) return cached.header;
  }
  EntityHeader header = read_with_gmime(fields, in_digest_type, in_digest_text);
  if (cache_.size() < kCacheSlots) {
    cache_.push_back({std::move(key), header});
  } else {
    cache_[next_slot_] = {std::move(key), header};
    next_slot_ = (next_slot_ + 1) % kCacheSlots;
  }
  return header;
}

}  // namespace norvan::signing::mime::detail
