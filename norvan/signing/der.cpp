#include "norvan/signing/der.hpp"

#include <limits>
#include <utility>

namespace norvan::signing::der {
namespace {

constexpr std::uint8_t kHighTagNumber = 0x1F;
constexpr std::uint8_t kContinuation = 0x80;
constexpr std::size_t kMaxLengthOctets = 8;

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


constexpr std::uint8_t kEndOfContents = 0x00;
constexpr std::size_t kEndOfContentsSize = 2;
constexpr std::uint8_t kIndefiniteLength = 0x80;
constexpr std::uint8_t kReservedLength = 0xFF;

// The identifier and length octets of one element as written.
struct RawHeader {
  Tag tag = 0;
  std::size_t size = 0;      // identifier and length octets
  bool indefinite = false;   // length 0x80: contents run to an end-of-contents marker
  std::uint64_t length = 0;  // contents octets of a definite length
};

// Reads the header of the element at `pos` of `data` under `rules` and, for a definite length,
// checks that the contents fit in `data`. Returns why it cannot be read, with `where` the
// offset in `data` of the failure (data.size() when the input runs out).
Error read_raw_header(ByteView data, std::size_t pos, Rules rules, RawHeader& header, std::size_t& where) {
  const std::size_t start = pos;
  const std::size_t size = data.size();
  where = size;
  if (pos >= size) return Error::truncated;
  const std::uint8_t first = data[pos++];
  Tag number = first & 0x1Fu;
  if (number == kHighTagNumber) {
    std::uint64_t high = 0;
    const std::size_t tag_start = pos;
    if (!read_base128(data, pos, kNumberMask, high)) {
      // Running out of input is truncation; anything else is a bad encoding.
      bool unterminated = true;
      for (std::size_t i = tag_start; i < size; ++i) {
        if ((data[i] & kContinuation) == 0) unterminated = false;
      }
      if (unterminated) return Error::truncated;
      where = start;
      return Error::bad_tag;
    }
    where = start;
    if (high < kHighTagNumber) return Error::bad_tag;
    number = static_cast<Tag>(high);
  }
  header.tag = (static_cast<Tag>(first & 0xC0u) << 24) | (static_cast<Tag>(first & 0x20u) << 24) | number;

  where = size;
  if (pos >= size) return Error::truncated;
  const std::uint8_t length_octet = data[pos++];
  where = start;
  header.indefinite = length_octet == kIndefiniteLength;
  header.length = length_octet;
  if (header.indefinite) {
    if (rules == Rules::der) return Error::indefinite_length;
    if ((header.tag & kConstructed) == 0) return Error::indefinite_primitive;
    header.length = 0;
  } else if (length_octet == kReservedLength) {
    return Error::length_too_large;
  } else if ((length_octet & 0x80) != 0) {
    const std::size_t count = length_octet & 0x7Fu;
    if (count > kMaxLengthOctets) return Error::length_too_large;
    where = size;
    if (size - pos < count) return Error::truncated;
    where = start;
    if (data[pos] == 0 && rules == Rules::der) return Error::non_minimal_length;
    header.length = 0;
    for (std::size_t i = 0; i < count; ++i) header.length = (header.length << 8) | data[pos++];
    if (header.length < 0x80 && rules == Rules::der) return Error::non_minimal_length;
  }
  header.size = pos - start;
  // pos <= size here, so the subtraction cannot wrap; comparing in 64 bits keeps any
  // claimed length (up to 2^64 - 1) from overflowing.
  where = size;
  if (header.length > static_cast<std::uint64_t>(size - pos)) return Error::truncated;
  return Error::none;
}

// True when `contents` are those of a primitive BIT STRING: the unused-bits octet (0 to 7,
// and 0 when no bits follow), then the bits.
bool is_valid_bit_string(ByteView contents) noexcept {
  return !contents.empty() && contents[0] <= 7 && (contents.size() > 1 || contents[0] == 0);
}

// Finds the end-of-contents marker that closes the indefinite-length contents starting at
// `start` of `data`, whose element lies at nesting depth `depth`; sets `end` just past it.
// Nested indefinite-length elements are walked (they may not nest beyond kMaxDepth), definite
// ones skipped whole, so each octet is looked at once. Returns why the marker cannot be found,
// with `where` the offset in `data` of the failure.
Error find_end_of_contents(ByteView data, std::size_t start, std::size_t depth, std::size_t& end, std::size_t& where) {
  std::size_t pos = start;
  std::size_t open = 1;  // indefinite lengths not yet closed, the outermost one included
  for (;;) {
    RawHeader header;
    const Error error = read_raw_header(data, pos, Rules::ber, header, where);
    if (error != Error::none) return error;
    if (data[pos] == kEndOfContents) {
      where = pos;
      if (header.size != kEndOfContentsSize || header.length != 0) return Error::bad_end_of_contents;
      pos += kEndOfContentsSize;
      if (--open == 0) {
        end = pos;
        return Error::none;
      }
    } else if (header.indefinite) {
      where = pos;
      if (depth + open + 1 > kMaxDepth) return Error::too_deep;
      ++open;
      pos += header.size;
    } else {
      pos += header.size + static_cast<std::size_t>(header.length);
    }
  }
}

}  // namespace

const char* describe(Error error) noexcept {
  switch (error) {
    case Error::none: return "no error";
    case Error::truncated: return "truncated";
    case Error::unexpected_tag: return "has an unexpected tag";
    case Error::bad_tag: return "has an invalid tag encoding";
    case Error::indefinite_length: return "uses an indefinite length (BER, not DER)";
    case Error::indefinite_primitive: return "is a primitive element with an indefinite length";
    case Error::bad_end_of_contents: return "has a misplaced or malformed end-of-contents marker";
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
  RawHeader raw;
  std::size_t where = 0;
  Error error = read_raw_header(data_, 0, rules_, raw, where);
  if (error == Error::none && rules_ == Rules::ber && data_.front() == kEndOfContents) {
    error = Error::bad_end_of_contents;  // contents getters never show the marker that closes them
    where = 0;
  }
  if (error == Error::none && raw.indefinite) {
    std::size_t end = 0;
    error = find_end_of_contents(data_, raw.size, depth_, end, where);
    raw.length = end - raw.size - kEndOfContentsSize;
    header.trailer_size = kEndOfContentsSize;
  } else {
    header.trailer_size = 0;
  }
  if (error != Error::none) return fail(error, origin_ + where);
  header.tag = raw.tag;
  header.header_size = raw.size;
  header.contents_size = static_cast<std::size_t>(raw.length);
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
  element = data_.first(header.element_size());
  advance(element.size());
  return true;
}

bool Reader::enter(const Header& header, Reader& contents) {
  if (depth_ + 1 > kMaxDepth) return fail(Error::too_deep, origin_);
  contents = Reader(data_.subspan(header.header_size, header.contents_size), origin_ + header.header_size,
                    depth_ + 1, rules_);
  advance(header.element_size());
  return true;
}

bool Reader::get_any(Tag& tag, Reader& contents) {
  Header header;
  if (!parse_header(header)) return false;
  tag = header.tag;
  return enter(header, contents);
}

bool Reader::get(Tag expected, Reader& contents) {
  Header header;
  if (!parse_header(header)) return false;
  if (header.tag != expected) return fail(Error::unexpected_tag, origin_);
  return enter(header, contents);
}

bool Reader::get_element(Tag expected, ByteView& element) {
  Header header;
  if (!parse_header(header)) return false;
  if (header.tag != expected) return fail(Error::unexpected_tag, origin_);
  element = data_.first(header.element_size());
  advance(element.size());
  return true;
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

bool Reader::get_string(Tag expected, Bytes& storage, ByteView& contents) {
  const bool bits = expected == kBitString;
  Header header;
  if (!parse_header(header)) return false;
  const std::size_t start = origin_;
  Reader probe = *this;
  Reader inner;
  if (header.tag == expected) {
    if (!probe.enter(header, inner)) return fail(probe.error(), probe.error_offset());
    if (bits && !is_valid_bit_string(inner.data())) return fail(Error::bad_value, start);
    contents = inner.data();
  } else if (header.tag == (expected | kConstructed) && rules_ == Rules::ber) {
    if (!probe.enter(header, inner)) return fail(probe.error(), probe.error_offset());
    Bytes joined;
    std::uint8_t unused_bits = 0;
    if (bits) joined.push_back(0);
    if (!inner.append_pieces(expected, joined, unused_bits)) return fail(inner.error(), inner.error_offset());
    if (bits) joined.front() = unused_bits;
    storage = std::move(joined);
    contents = storage;
  } else {
    return fail(Error::unexpected_tag, start);
  }
  *this = probe;
  return true;
}

bool Reader::append_pieces(Tag expected, Bytes& out, std::uint8_t& unused_bits) {
  const bool bits = expected == kBitString;
  while (!empty()) {
    const std::size_t piece_start = offset();
    // Only the last piece of a BIT STRING may leave bits unused.
    if (unused_bits != 0) return fail(Error::bad_value, piece_start);
    Tag tag = 0;
    Reader piece;
    if (!get_any(tag, piece)) return false;
    if (tag == (expected | kConstructed)) {
      if (!piece.append_pieces(expected, out, unused_bits)) return fail(piece.error(), piece.error_offset());
      continue;
    }
    if (tag != expected) return fail(Error::unexpected_tag, piece_start);
    ByteView octets = piece.data();
    if (bits) {
      if (!is_valid_bit_string(octets)) return fail(Error::bad_value, piece_start);
      unused_bits = octets[0];
      octets = octets.subspan(1);
    }
    out.insert(out.end(), octets.begin(), octets.end());
  }
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

}  // namespace norvan::signing::der
