#include "norvan/signing/mime/rfc8551_entity.hpp"

#include "norvan/common/shortened.hpp"
#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/entity_header.hpp"
#include "norvan/signing/mime/header_fields.hpp"
#include "norvan/signing/mime/line_ends.hpp"
#include "norvan/signing/mime/transfer_decoding.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace norvan::signing::mime::detail {
namespace {

constexpr std::string_view kNoSignature = "Could not find any signature";

[[noreturn]] void no_signature(const std::string& why) {
  throw VerificationError(std::string(kNoSignature) + ": " + why);
}

bool is_empty_line(const Line& line) { return line.has_lf && line.length_without_cr() == 0; }

bool is_signature_type(std::string_view type) {
  return type == "application/x-pkcs7-signature" || type == "application/pkcs7-signature";
}

bool is_pkcs7_mime_type(std::string_view type) {
  return type == "application/pkcs7-mime" || type == "application/x-pkcs7-mime";
}

// A header block: the fields that decide what its entity is, and where its body starts.
struct HeaderBlock {
  std::string fields;  // the selected Content-Type and Content-Transfer-Encoding fields
  std::uint64_t body_start = 0;
};

// Reads the header block at `start`, up to and including the empty line that ends it (or up to
// `end`, the end of its entity, which then has an empty body).
HeaderBlock read_header_block(LineSource& lines, std::uint64_t start,
                              std::uint64_t end = std::numeric_limits<std::uint64_t>::max()) {
  lines.seek(start);
  FieldSelection fields;
  HeaderBlock block;
  block.body_start = start;
  Line line;
  while (block.body_start < end && lines.next(line, LineSource::kWhole)) {
    block.body_start = line.end();
    if (is_empty_line(line)) break;
    if (line.length == 0 || !is_blank(line.head[0])) {
      fields.start_field(line);
    } else {
      fields.continue_field(line);
    }
  }
  block.fields = fields.take();
  return block;
}

// Returns the value of the parameter `name` of the first Content-Type field in `fields`, lower
// case, or nullopt when it has none. Enough for the token values of smime-type.
std::optional<std::string> content_type_parameter(const std::string& fields, std::string_view name) {
  std::string lower(fields.size(), '\0');
  std::transform(fields.begin(), fields.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  const std::size_t field_end = std::min(lower.find("\ncontent-transfer-encoding"), lower.size());
  const std::string_view field = std::string_view(lower).substr(0, field_end);
  for (std::size_t at = field.find(name); at != std::string_view::npos; at = field.find(name, at + 1)) {
    if (at == 0 || (field[at - 1] != ';' && !std::isspace(static_cast<unsigned char>(field[at - 1]))))
      continue;
    std::size_t next = at + name.size();
    while (next < field.size() && std::isspace(static_cast<unsigned char>(field[next]))) ++next;
    if (next >= field.size() || field[next] != '=') continue;
    ++next;
    while (next < field.size() && std::isspace(static_cast<unsigned char>(field[next]))) ++next;
    if (next < field.size() && field[next] == '"') ++next;
    std::size_t end = next;
    while (end < field.size() && field[end] != '"' && field[end] != ';' &&
           !std::isspace(static_cast<unsigned char>(field[end]))) {
      ++end;
    }
    return std::string(field.substr(next, end - next));
  }
  return std::nullopt;
}

// Whether `line` is the delimiter "--<boundary>" (close: with "--" after it), followed by
// linear white space only.
bool is_delimiter(const Line& line, const std::string& delimiter) {
  const std::size_t length = delimiter.size();
  if (line.length_without_cr() < length || line.head.size() < length) return false;
  if (std::memcmp(line.head.data(), delimiter.data(), length) != 0) return false;
  return line.last_non_lwsp == Line::kNone || line.last_non_lwsp < length;
}

// The end of a body part that a delimiter line at `delimiter_start` ends: the line end before
// the delimiter belongs to it (RFC 2046).
std::uint64_t part_end(std::uint64_t part_start, std::uint64_t delimiter_start, bool previous_ended_in_cr) {
  if (delimiter_start <= part_start) return part_start;
  return delimiter_start - (previous_ended_in_cr ? 2 : 1);
}

// Finds the two body parts of the multipart/signed whose body starts at `body_start`.
void split_signed_parts(LineSource& lines, std::uint64_t body_start, const std::string& boundary,
                        ByteRange& first, ByteRange& second) {
  const std::string open = "--" + boundary;
  const std::string close = open + "--";
  const std::size_t head = std::max<std::size_t>(256, close.size() + 2);
  lines.seek(body_start);
  Line line;
  int parts = 0;  // delimiters seen so far
  std::uint64_t part_start = 0;
  bool previous_ended_in_cr = false;
  bool closed = false;
  while (lines.next(line, head)) {
    const bool is_close = is_delimiter(line, close);
    if (is_close || is_delimiter(line, open)) {
      if (parts > 0) {
        ByteRange& range = parts == 1 ? first : second;
        range.start = part_start;
        range.length = part_end(part_start, line.start, previous_ended_in_cr) - part_start;
      }
      if (is_close) {
        closed = true;
        break;
      }
      if (++parts > 2) {
        no_signature(
            "the top-level multipart/signed has more than two body parts (RFC 1847 allows the signed "
            "part and its signature only)");
      }
      part_start = line.end();
    }
    previous_ended_in_cr = line.ends_in_cr;
  }
  if (!closed && parts > 0) {  // no close delimiter: the last part runs to the end
    ByteRange& range = parts == 1 ? first : second;
    range.start = part_start;
    range.length = std::max(line.end(), part_start) - part_start;
  }
  if (parts < 2) no_signature("the top-level multipart/signed has no signature part after the signed part");
}

Rfc8551Message locate_clear_signed(LineSource& lines, const EntityHeader& top, std::uint64_t body_start) {
  if (!top.boundary) no_signature("the top-level multipart/signed has no boundary parameter");
  Rfc8551Message found;
  found.form = Rfc8551Message::Form::clear_signed;
  ByteRange second;
  split_signed_parts(lines, body_start, *top.boundary, found.signed_entity, second);
  const HeaderBlock block = read_header_block(lines, second.start, second.start + second.length);
  EntityHeaderReader reader;
  const EntityHeader header = reader.read(block.fields, false, false);
  if (!is_signature_type(header.type)) {
    no_signature("the second part of the top-level multipart/signed is " + shortened(header.type) +
                 ", not application/pkcs7-signature");
  }
  const std::uint64_t end = second.start + second.length;
  found.signature.start = std::min(block.body_start, end);
  found.signature.length = end - found.signature.start;
  found.signature_encoding = header.encoding;
  return found;
}

}  // namespace

Rfc8551Message locate_rfc8551(LineSource& lines) {
  const HeaderBlock top_block = read_header_block(lines, 0);
  EntityHeaderReader reader;
  const EntityHeader top = reader.read(top_block.fields, false, false);
  if (top.type == "multipart/signed") return locate_clear_signed(lines, top, top_block.body_start);
  if (is_pkcs7_mime_type(top.type)) {
    const std::optional<std::string> smime_type = content_type_parameter(top_block.fields, "smime-type");
    if (smime_type && *smime_type != "signed-data") {
      no_signature("the message is " + top.type + " with smime-type=" + shortened(*smime_type, 64) +
                   ", not signed-data");
    }
    Rfc8551Message found;
    found.form = Rfc8551Message::Form::opaque;
    found.signature.start = top_block.body_start;
    Line line;
    std::uint64_t end = top_block.body_start;
    lines.seek(top_block.body_start);
    while (lines.next(line, 1)) end = line.end();
    found.signature.length = end - top_block.body_start;
    found.signature_encoding = top.encoding;
    return found;
  }
  no_signature("the message's top-level content type is " + shortened(top.type) +
               ", not multipart/signed or application/pkcs7-mime (only the top level is read)");
}

Bytes text_body(ByteView entity) {
  LineSource lines(entity);
  const HeaderBlock block = read_header_block(lines, 0);
  EntityHeaderReader reader;
  const EntityHeader header = reader.read(block.fields, false, false);
  if (header.kind != EntityHeader::Kind::part || header.type.rfind("text/", 0) != 0) {
    throw MessageFormatError("The signed entity is " + shortened(header.type) +
                             ", not a single text part: only a text part's body can be returned on its own");
  }
  const Bytes decoded =
      decode_body(entity.subspan(std::min<std::size_t>(block.body_start, entity.size())), header.encoding);
  Bytes body;
  body.reserve(decoded.size());
  append_with_lf_line_ends(decoded, body);
  return body;
}

}  // namespace norvan::signing::mime::detail
