#include "norvan/signing/mime/entity_header.hpp"

#include "norvan/signing/mime/gmime.hpp"
#include "norvan/signing/mime/header_fields.hpp"
#include "norvan/signing/mime/simple_entity_header.hpp"

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
std::string content_type_of(const GMimeApi& api, GMimeObject* entity, bool in_digest) {
  const char* header = api.object_get_header(entity, "Content-Type");
  if (header == nullptr) return in_digest ? "message/rfc822" : "text/plain";
  std::string_view value(header);
  std::string type(trim(value.substr(0, value.find(';'))));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (std::count(type.begin(), type.end(), '/') != 1) return "text/plain";
  return type;
}

// Parses `text` (a header block, or the digest around one) as a message of its own.
GObjectPtr<GMimeObject> parse(const GMimeApi& api, const std::string& text) {
  GObjectPtr<GMimeStream> stream(api.stream_mem_new_with_buffer(text.data(), text.size()));
  GObjectPtr<GMimeParser> parser(api.parser_new_with_stream(stream.get()));
  return GObjectPtr<GMimeObject>(api.parser_construct_part(parser.get(), nullptr));
}

EntityHeader classify(const GMimeApi& api, GMimeObject* entity, bool in_digest_text) {
  EntityHeader header;
  header.type = content_type_of(api, entity, in_digest_text);
  if (api.is_a(entity, api.multipart_get_type())) {
    header.kind = EntityHeader::Kind::multipart;
    if (const char* boundary = api.object_get_content_type_parameter(entity, "boundary")) header.boundary = boundary;
    header.digest = api.content_type_is_type(api.object_get_content_type(entity), "multipart", "digest");
  } else if (api.is_a(entity, api.message_part_get_type())) {
    header.kind = EntityHeader::Kind::message;
  } else if (api.is_a(entity, api.part_get_type())) {
    header.encoding = api.part_get_content_encoding(reinterpret_cast<GMimePart*>(entity));
  }
  return header;
}

// The only child of `digest` when it is a multipart with exactly one; otherwise null.
GMimeObject* only_child(const GMimeApi& api, GMimeObject* digest) {
  if (!api.is_a(digest, api.multipart_get_type())) return nullptr;
  auto* multipart = reinterpret_cast<GMimeMultipart*>(digest);
  return api.multipart_get_count(multipart) == 1 ? api.multipart_get_part(multipart, 0) : nullptr;
}

// Content-Type fields up to this size are handed to GMime as they are.
constexpr std::size_t kLongContentType = 4096;

// More boundary parameters than this: the field goes to GMime whole.
constexpr std::size_t kBoundaryParameterLimit = 64;

bool is_lwsp(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// GMime's token characters: anything but tspecials, linear white space and controls.
bool is_token_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 32 && byte != 127 && !is_lwsp(c) && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// Walks a Content-Type value (unfolded) the way GMime's content-type and parameter-list readers
// do: where the type ends, and where each parameter it reads begins and ends.
class ParameterWalk {
 public:
  explicit ParameterWalk(std::string_view text) : text_(text) {}

  struct Parameter {
    std::string_view name;
    std::string_view text;  // the whole parameter as written, from its name to its value's end
  };

  // False when GMime finds no type/subtype. `prefix_end`: just past the first ';' after it.
  bool walk(std::size_t& prefix_end, std::vector<Parameter>& parameters) {
    skip_cfws();
    while (is_token_char(at())) ++next_;
    skip_cfws();
    if (at() != '/') return false;
    ++next_;
    skip_cfws();
    const std::size_t subtype = next_;
    while (is_token_char(at())) ++next_;
    if (next_ == subtype) return false;
    skip_cfws();
    while (next_ < text_.size() && text_[next_] != ';') ++next_;
    if (next_ == text_.size()) {
      prefix_end = next_;
      return true;
    }
    prefix_end = ++next_;
    if (next_ == text_.size()) return true;
    do {
      skip_cfws();
      if (next_ == text_.size()) break;
      const std::size_t start = next_;
      std::string_view name;
      if (!parameter(name)) {
        next_ = start;
        skip_cfws();
        if (at() == ';') continue;
        break;
      }
      parameters.push_back({name, text_.substr(start, next_ - start)});
      skip_cfws();
    } while (take(';'));
    return true;
  }

 private:
  char at() const { return next_ < text_.size() ? text_[next_] : '\0'; }
  bool take(char c) {
    if (at() != c) return false;
    ++next_;
    return true;
  }
  void skip_lwsp() {
    while (is_lwsp(at())) ++next_;
  }
  // Comments nest and take backslash escapes; an unclosed one leaves the position as it was
  // after the white space before it.
  void skip_cfws() {
    skip_lwsp();
    while (at() == '(') {
      std::size_t position = next_ + 1;
      int depth = 1;
      while (position < text_.size() && depth > 0) {
        if (text_[position] == '\\' && position + 1 < text_.size()) {
          ++position;
        } else if (text_[position] == '(') {
          ++depth;
        } else if (text_[position] == ')') {
          --depth;
        }
        ++position;
      }
      if (depth != 0) return;
      next_ = position;
      skip_lwsp();
    }
  }
  // name [*[n][*]] = value, the value a quoted string or anything up to the next ';'.
  bool parameter(std::string_view& name) {
    skip_cfws();
    const std::size_t start = next_;
    while (is_token_char(at()) && at() != '*') ++next_;
    if (next_ == start) return false;
    name = text_.substr(start, next_ - start);
    skip_cfws();
    if (take('*')) {
      skip_cfws();
      if (at() != '=') {
        skip_cfws();
        while (at() >= '0' && at() <= '9') ++next_;
        skip_cfws();
        if (take('*')) skip_cfws();
      }
    }
    if (!take('=')) return false;
    skip_cfws();
    if (take('"')) {
      while (next_ < text_.size() && text_[next_] != '"') {
        if (text_[next_++] == '\\' && next_ < text_.size()) ++next_;
      }
      take('"');
      return true;
    }
    const std::size_t value = next_;
    while (next_ < text_.size() && text_[next_] != ';') ++next_;
    while (next_ > value && is_lwsp(text_[next_ - 1])) --next_;
    return next_ > value;
  }

  std::string_view text_;
  std::size_t next_ = 0;
};

}  // namespace

EntityHeader read_entity_header_with_gmime(const std::string& fields, bool in_digest_type, bool in_digest_text) {
  const GMimeApi& api = gmime();
  if (!in_digest_type) {
    const GObjectPtr<GMimeObject> entity = parse(api, fields + "\n");
    if (!entity) throw std::logic_error("GMime gave no entity for a header block");
    return classify(api, entity.get(), in_digest_text);
  }
  std::string text(kDigestOpening);
  text += fields;
  text += kDigestClosing;
  const GObjectPtr<GMimeObject> digest = parse(api, text);
  GMimeObject* entity = only_child(api, digest.get());
  if (entity == nullptr) throw std::logic_error("GMime gave no entity for a header block in a digest");
  return classify(api, entity, in_digest_text);
}

std::string shortened_content_type(std::string field) {
  if (field.size() <= kLongContentType || field.find("=?") != std::string::npos) return field;
  const std::size_t colon = field.find(':');
  if (colon == std::string::npos) return field;
  // GMime reads the value unfolded: without its CR and LF bytes.
  std::string value;
  for (std::size_t index = colon + 1; index < field.size(); ++index) {
    const char c = field[index];
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte >= 128) return field;
    if (c == '\\' && index + 1 < field.size() && (field[index + 1] == '\r' || field[index + 1] == '\n')) return field;
    if (c != '\r' && c != '\n') value += c;
  }
  std::size_t prefix_end = 0;
  std::vector<ParameterWalk::Parameter> parameters;
  if (!ParameterWalk(value).walk(prefix_end, parameters)) return field;
  std::string shortened = field.substr(0, colon + 1);
  shortened.append(value, 0, prefix_end);
  std::size_t kept = 0;
  for (const ParameterWalk::Parameter& parameter : parameters) {
    if (!equals_ignoring_case(parameter.name, "boundary")) continue;
    if (++kept > kBoundaryParameterLimit) return field;
    if (kept > 1) shortened += ';';
    shortened += ' ';
    shortened += parameter.text;
  }
  shortened += '\n';
  return shortened;
}

EntityHeader EntityHeaderReader::read(const std::string& fields, bool in_digest_type, bool in_digest_text) {
  if (std::optional<EntityHeader> simple = read_simple_entity_header(fields, in_digest_type, in_digest_text)) return *simple;
  if (fields.size() > kCachedFieldsLimit) return read_entity_header_with_gmime(fields, in_digest_type, in_digest_text);
  std::string key = fields;
  key += in_digest_type ? '1' : '0';
  key += in_digest_text ? '1' : '0';
  for (const Cached& cached : cache_) {
    if (cached.key == key) return cached.header;
  }
  EntityHeader header = read_entity_header_with_gmime(fields, in_digest_type, in_digest_text);
  if (cache_.size() < kCacheSlots) {
    cache_.push_back({std::move(key), header});
  } else {
    cache_[next_slot_] = {std::move(key), header};
    next_slot_ = (next_slot_ + 1) % kCacheSlots;
  }
  return header;
}

}  // namespace norvan::signing::mime::detail
