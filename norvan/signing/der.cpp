#include "norvan/signing/der.hpp"

#include <limits>
#include <stdexcept>

namespace norvan::signing::der {
namespace {

constexpr std::uint8_t kHighTagNumber = 0x1F;
constexpr std::uint8_t kContinuation = 0x80;
constexpr std::size_t kMaxLengthOctets = 8;

// Appends `value` in base 128, most significant group first, continuation bit on all but
// the last octet (the encoding of OID arcs and high tag numbers).
void append_base128(Bytes& out, std::uint64_t value) {
  std::uint8_t groups[10];
  std::size_t count = 0;
  do {
    groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (count > 1) out.push_back(static_cast<std::uint8_t>(groups[--count] | kContinuation));
  out.push_back(groups[0]);
}

// Reads one base-128 number from `bytes` at `pos`; false when it is unterminated, not
// minimally encoded or larger than `limit`.
bool read_base128(ByteView bytes, std::size_t& pos, std::uint64_t limit, std::uint64_t& value) {
  value = 0;
  if (pos >= bytes.size() || bytes[pos] == kContinuation) return false;
  while (pos < bytes.size()) {
    const std::uint8_t octet = bytes[pos++];
    if (value > (limit >> 7)) return false;
    value = (value << 7) | (octet & 0x7F);
    if ((octet & kContinuation) == 0) return value <= limit;
  }
  return false;
}

}  // namespace

const char* describe(Error error) noexcept {
  switch (error) {
    case Error::none: return "no error";
    case Error::truncated: return "truncated";
    case Error::unexpected_tag: return "has an unexpected tag";
    case Error::bad_tag: return "has an invalid tag encoding";
    case Error::indefinite_length: return "uses an indefinite length (BER, not DER)";
    case Error::non_minimal_length: return "has a non-minimal length encoding";
    case Error::length_too_large: return "has a length field that is too large";
    case Error::too_deep: return "is nested too deeply";
    case Error::trailing_data: return "is followed by unexpected data";
    case Error::bad_value: return "has invalid contents";
  }
  return "is malformed";
}

std::string tag_name(Tag tag) {
  const Tag number = tag & kNumberMask;
  const bool constructed = (tag & kConstructed) != 0;
  switch (tag & kClassMask) {
    case kContextSpecific: return "[" + std::to_string(number) + "]";
    case kApplication: return "[APPLICATION " + std::to_string(number) + "]";
    case kPrivate: return "[PRIVATE " + std::to_string(number) + "]";
    default: break;
  }
  switch (tag) {
    case kBoolean: return "BOOLEAN";
    case kInteger: return "INTEGER";
    case kBitString: return "BIT STRING";
    case kOctetString: return "OCTET STRING";
    case kNull: return "NULL";
    case kObjectIdentifier: return "OBJECT IDENTIFIER";
    case kSequence: return "SEQUENCE";
    case kSet: return "SET";
    default: break;
  }
  return "universal tag " + std::to_string(number) + (constructed ? " (constructed)" : "");
}

bool Reader::fail(Error error, std::size_t offset) noexcept {
  error_ = error;
  error_offset_ = offset;
  return false;
}

void Reader::advance(std::size_t n) noexcept {
  data_ = data_.subspan(n);
  origin_ += n;
}

bool Reader::parse_header(Header& header) {
  const std::size_t size = data_.size();
  if (size == 0) return fail(Error::truncated, end_offset());
  const std::uint8_t first = data_[0];
  Tag number = first & 0x1Fu;
  std::size_t pos = 1;
  if (number == kHighTagNumber) {
    std::uint64_t high = 0;
    const std::size_t start = pos;
    if (!read_base128(data_, pos, kNumberMask, high)) {
      // Running out of input is truncation; anything else is a bad encoding.
      bool unterminated = true;
      for (std::size_t i = start; i < size; ++i) {
        if ((data_[i] & kContinuation) == 0) unterminated = false;
      }
      return fail(unterminated ? Error::truncated : Error::bad_tag,
                  unterminated ? end_offset() : origin_);
    }
    if (high < kHighTagNumber) return fail(Error::bad_tag, origin_);
    number = static_cast<Tag>(high);
  }
  header.tag = (static_cast<Tag>(first & 0xC0u) << 24) | (static_cast<Tag>(first & 0x20u) << 24) | number;

  if (pos >= size) return fail(Error::truncated, end_offset());
  const std::uint8_t length_octet = data_[pos++];
  std::uint64_t length = length_octet;
  if (length_octet == 0x80) return fail(Error::indefinite_length, origin_);
  if (length_octet == 0xFF) return fail(Error::length_too_large, origin_);
  if ((length_octet & 0x80) != 0) {
    const std::size_t count = length_octet & 0x7Fu;
    if (count > kMaxLengthOctets) return fail(Error::length_too_large, origin_);
    if (size - pos < count) return fail(Error::truncated, end_offset());
    if (data_[pos] == 0) return fail(Error::non_minimal_length, origin_);
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data_[pos++];
    if (length < 0x80) return fail(Error::non_minimal_length, origin_);
  }
  // pos <= size here, so the subtraction cannot wrap; comparing in 64 bits keeps any
  // claimed length (up to 2^64 - 1) from overflowing.
  if (length > static_cast<std::uint64_t>(size - pos)) return fail(Error::truncated, end_offset());
  header.header_size = pos;
  header.contents_size = static_cast<std::size_t>(length);
  return true;
}

bool Reader::peek_tag(Tag& tag) {
  Header header;
  if (!parse_header(header)) return false;
  tag = header.tag;
  return true;
}

bool Reader::next_is(Tag tag) {
  if (data_.empty()) return false;
  Tag found = 0;
  Reader probe = *this;
  return probe.peek_tag(found) && found == tag;
}

bool Reader::get_any_element(Tag& tag, ByteView& element, std::size_t& header_size) {
  Header header;
  if (!parse_header(header)) return false;
  tag = header.tag;
  header_size = header.header_size;
  element = data_.first(header.header_size + header.contents_size);
  advance(element.size());
  return true;
}

bool Reader::get_any(Tag& tag, Reader& contents) {
  Header header;
  if (!parse_header(header)) return false;
  if (depth_ + 1 > kMaxDepth) return fail(Error::too_deep, origin_);
  tag = header.tag;
  contents = Reader(data_.subspan(header.header_size, header.contents_size),
                    origin_ + header.header_size, depth_ + 1);
  advance(header.header_size + header.contents_size);
  return true;
}

bool Reader::get(Tag expected, Reader& contents) {
  Header header;
  if (!parse_header(header)) return false;
  if (header.tag != expected) return fail(Error::unexpected_tag, origin_);
  Tag tag = 0;
  return get_any(tag, contents);
}

bool Reader::get_element(Tag expected, ByteView& element) {
  Header header;
  if (!parse_header(header)) return false;
  if (header.tag != expected) return fail(Error::unexpected_tag, origin_);
  Tag tag = 0;
  std::size_t header_size = 0;
  return get_any_element(tag, element, header_size);
}

bool Reader::next_has_tag(Tag expected, bool& present) {
  present = false;
  if (data_.empty()) return true;
  Tag tag = 0;
  if (!peek_tag(tag)) return false;
  present = tag == expected;
  return true;
}

bool Reader::get_optional(Tag expected, Reader& contents, bool& present) {
  return next_has_tag(expected, present) && (!present || get(expected, contents));
}

bool Reader::get_optional_element(Tag expected, ByteView& element, bool& present) {
  return next_has_tag(expected, present) && (!present || get_element(expected, element));
}

bool Reader::skip(Tag expected) {
  ByteView ignored;
  return get_element(expected, ignored);
}

bool Reader::skip_optional(Tag expected) {
  ByteView ignored;
  bool present = false;
  return get_optional_element(expected, ignored, present);
}

bool Reader::get_bytes(Tag expected, ByteView& contents) {
  Reader inner;
  if (!get(expected, inner)) return false;
  contents = inner.data();
  return true;
}

bool Reader::get_integer(ByteView& contents) {
  Reader probe = *this;
  ByteView value;
  if (!probe.get_bytes(kInteger, value)) {
    return fail(probe.error(), probe.error_offset());
  }
  if (!is_minimal_integer(value)) return fail(Error::bad_value, origin_);
  contents = value;
  *this = probe;
  return true;
}

bool Reader::get_int64(std::int64_t& value) {
  Reader probe = *this;
  ByteView contents;
  if (!probe.get_integer(contents)) return fail(probe.error(), probe.error_offset());
  if (contents.size() > 8) return fail(Error::bad_value, origin_);
  std::uint64_t bits = (contents[0] & 0x80) != 0 ? std::numeric_limits<std::uint64_t>::max() : 0;
  for (const std::uint8_t octet : contents) bits = (bits << 8) | octet;
  value = static_cast<std::int64_t>(bits);  // two's complement, well-defined since C++20
  *this = probe;
  return true;
}

bool Reader::get_oid(std::string& dotted) {
  Reader probe = *this;
  ByteView contents;
  if (!probe.get_bytes(kObjectIdentifier, contents)) return fail(probe.error(), probe.error_offset());
  std::string text = oid_to_string(contents);
  if (text.empty()) return fail(Error::bad_value, origin_);
  dotted = std::move(text);
  *this = probe;
  return true;
}

bool Reader::expect_end() {
  if (!data_.empty()) return fail(Error::trailing_data, origin_);
  return true;
}

std::string oid_to_string(ByteView contents) {
  std::size_t pos = 0;
  std::uint64_t arc = 0;
  if (!read_base128(contents, pos, std::numeric_limits<std::uint64_t>::max(), arc)) return {};
  std::string dotted;
  if (arc < 40) {
    dotted = "0." + std::to_string(arc);
  } else if (arc < 80) {
    dotted = "1." + std::to_string(arc - 40);
  } else {
    dotted = "2." + std::to_string(arc - 80);
  }
  while (pos < contents.size()) {
    if (!read_base128(contents, pos, std::numeric_limits<std::uint64_t>::max(), arc)) return {};
    dotted += "." + std::to_string(arc);
  }
  return dotted;
}

bool is_minimal_integer(ByteView contents) noexcept {
  if (contents.empty()) return false;
  if (contents.size() == 1) return true;
  if (contents[0] == 0x00 && (contents[1] & 0x80) == 0) return false;
  if (contents[0] == 0xFF && (contents[1] & 0x80) != 0) return false;
  return true;
}

Bytes encode_length(std::size_t length) {
  if (length < 0x80) return {static_cast<std::uint8_t>(length)};
  Bytes octets;
  for (std::size_t rest = length; rest != 0; rest >>= 8) {
    octets.insert(octets.begin(), static_cast<std::uint8_t>(rest & 0xFF));
  }
  octets.insert(octets.begin(), static_cast<std::uint8_t>(0x80 | octets.size()));
  return octets;
}

Bytes encode(Tag tag, ByteView contents) {
  Bytes out;
  const Tag number = tag & kNumberMask;
  const auto leading = static_cast<std::uint8_t>(((tag & kClassMask) >> 24) | ((tag & kConstructed) >> 24));
  if (number < kHighTagNumber) {
    out.push_back(static_cast<std::uint8_t>(leading | number));
  } else {
    out.push_back(static_cast<std::uint8_t>(leading | kHighTagNumber));
    append_base128(out, number);
  }
  const Bytes length = encode_length(contents.size());
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes encode_oid(const std::string& dotted) {
  std::vector<std::uint64_t> arcs;
  std::size_t pos = 0;
  while (pos <= dotted.size()) {
    const std::size_t dot = std::min(dotted.find('.', pos), dotted.size());
    const std::string part = dotted.substr(pos, dot - pos);
    if (part.empty() || part.size() > 20 || part.find_first_not_of("0123456789") != std::string::npos ||
        (part.size() > 1 && part[0] == '0')) {
      throw std::invalid_argument("invalid object identifier '" + dotted + "'");
    }
    try {
      arcs.push_back(std::stoull(part));
    } catch (const std::out_of_range&) {
      throw std::invalid_argument("invalid object identifier '" + dotted + "'");
    }
    pos = dot + 1;
  }
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) || arcs[1] > max - 80) {
    throw std::invalid_argument("invalid object identifier '" + dotted + "'");
  }
  Bytes contents;
  append_base128(contents, arcs[0] * 40 + arcs[1]);
  for (std::size_t i = 2; i < arcs.size(); ++i) append_base128(contents, arcs[i]);
  return encode(kObjectIdentifier, contents);
}

}  // namespace norvan::signing::der
