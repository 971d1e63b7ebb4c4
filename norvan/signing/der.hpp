#pragma once
// A bounds-checked reader for DER and BER, in the style of BoringSSL's CBS.
//
// A `der::Reader` is a non-owning view of bytes. Every getter checks the input before it
// consumes anything, never trusts a length field and returns false on failure, leaving the
// reader where it was and recording what went wrong (`error()`, `error_offset()`). Offsets are
// absolute positions in the outermost input, for error messages.
//
// A reader made with Rules::der (the default) accepts only DER: indefinite lengths,
// non-minimal length or tag forms and lengths beyond the input fail. A reader made with
// Rules::ber (and every reader it hands out) also accepts what BER allows on top: indefinite
// lengths of constructed elements, closed by an end-of-contents marker, length octets that are
// not minimal, and strings sent in pieces (get_string). Element getters then still return the
// element exactly as received, marker included; contents getters leave the marker out. The
// end of an indefinite length is found by walking the element's nested indefinite-length
// elements (definite ones are skipped whole), so the work stays linear in the input for the
// bounded nesting depth.

#include "norvan/common/bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::der {

/// An identifier octet(s) decoded like CBS does: class and constructed bits in the top three
/// bits, the tag number (< 2^29) below.
using Tag = std::uint32_t;

inline constexpr Tag kConstructed = 0x20000000u;
inline constexpr Tag kContextSpecific = 0x80000000u;
inline constexpr Tag kApplication = 0x40000000u;
inline constexpr Tag kPrivate = 0xC0000000u;
inline constexpr Tag kClassMask = 0xC0000000u;
inline constexpr Tag kNumberMask = 0x1FFFFFFFu;

inline constexpr Tag kBoolean = 0x01;
inline constexpr Tag kInteger = 0x02;
inline constexpr Tag kBitString = 0x03;
inline constexpr Tag kOctetString = 0x04;
inline constexpr Tag kNull = 0x05;
inline constexpr Tag kObjectIdentifier = 0x06;
inline constexpr Tag kSequence = 0x10 | kConstructed;
inline constexpr Tag kSet = 0x11 | kConstructed;

/// Returns the tag of the context-specific field [number], constructed or primitive.
constexpr Tag context_tag(std::uint32_t number, bool constructed) noexcept {
  return kContextSpecific | (constructed ? kConstructed : 0) | (number & kNumberMask);
}

/// How deep readers may nest (each get() of contents goes one level down).
inline constexpr std::size_t kMaxDepth = 32;

/// Why a getter failed.
enum class Error {
  none,
  truncated,           // the element (or its header) runs past the end of the input
  unexpected_tag,      // the element has another tag than the one asked for
  bad_tag,             // a high tag number that is not minimally encoded or too large
  indefinite_length,   // BER indefinite length (0x80) where only DER is accepted
  indefinite_primitive,  // an indefinite length on a primitive element (never valid)
  bad_end_of_contents,   // an end-of-contents marker with contents, or where none can be
  non_minimal_length,  // a long length form where a shorter one would do
  length_too_large,    // a length field of more than 8 octets, or the reserved 0xFF
  too_deep,            // more than kMaxDepth levels of nesting
  trailing_data,       // bytes left where the input should have ended
  bad_value,           // contents not valid for the type (INTEGER, OBJECT IDENTIFIER, ...)
};

/// Returns a short English description of `error` ("truncated", ...).
const char* describe(Error error) noexcept;

/// Which encoding rules a Reader accepts.
enum class Rules { der, ber };

/// Returns a readable name of `tag` ("SEQUENCE", "[0] constructed", "tag 0x1f", ...).
std::string tag_name(Tag tag);

/// A read position in DER input. Does not own the bytes, which must outlive it.
class Reader {
 public:
  constexpr Reader() noexcept = default;
  /// Reads `data`, whose first byte lies at absolute offset `origin` of the whole input.
  explicit Reader(ByteView data, std::size_t origin = 0, std::size_t depth = 0, Rules rules = Rules::der) noexcept
      : data_(data), origin_(origin), depth_(depth), rules_(rules) {}
  /// Reads `data` (starting at absolute offset 0) under `rules`.
  Reader(ByteView data, Rules rules) noexcept : Reader(data, 0, 0, rules) {}
  /// A reader of a temporary would dangle.
  Reader(Bytes&&, std::size_t = 0, std::size_t = 0, Rules = Rules::der) = delete;
  Reader(Bytes&&, Rules) = delete;

  ByteView data() const noexcept { return data_; }
  std::size_t size() const noexcept { return data_.size(); }
  bool empty() const noexcept { return data_.empty(); }
  /// Absolute offset of the next unread byte.
  std::size_t offset() const noexcept { return origin_; }
  /// Absolute offset just past the last byte of this reader.
  std::size_t end_offset() const noexcept { return origin_ + data_.size(); }
  std::size_t depth() const noexcept { return depth_; }
  Rules rules() const noexcept { return rules_; }

  /// The failure recorded by the last getter that failed (Error::none if none did).
  Error error() const noexcept { return error_; }
  /// Absolute offset at which that failure was found.
  std::size_t error_offset() const noexcept { return error_offset_; }

  /// Reads the tag of the next element without consuming it.
  [[nodiscard]] bool peek_tag(Tag& tag);
  /// True when the next element exists, is well-formed in its identifier, and has `tag`.
  [[nodiscard]] bool next_is(Tag tag);

  /// Reads an element with tag `expected` and sets `contents` to a reader of its contents
  /// (one level deeper). CBS_get_asn1.
  [[nodiscard]] bool get(Tag expected, Reader& contents);
  /// Reads an element with tag `expected` and sets `element` to its whole encoding:
  /// identifier, length and contents octets exactly as received. CBS_get_asn1_element.
  [[nodiscard]] bool get_element(Tag expected, ByteView& element);
  /// Reads the next element, whatever its tag.
  [[nodiscard]] bool get_any(Tag& tag, Reader& contents);
  /// Reads the next element, whatever its tag, keeping its whole encoding; `header_size` is
  /// the number of identifier and length octets at its start.
  [[nodiscard]] bool get_any_element(Tag& tag, ByteView& element, std::size_t& header_size);
  /// Reads an element with tag `expected` if the next element has that tag; `present` tells
  /// whether it did. Fails only on malformed input.
  [[nodiscard]] bool get_optional(Tag expected, Reader& contents, bool& present);
  /// Like get_optional, keeping the whole encoding.
  [[nodiscard]] bool get_optional_element(Tag expected, ByteView& element, bool& present);
  /// Skips an element with tag `expected`.
  [[nodiscard]] bool skip(Tag expected);
  /// Skips the next element if it has tag `expected`.
  [[nodiscard]] bool skip_optional(Tag expected);

  /// Reads the contents of a primitive element with tag `expected` (OCTET STRING, ...).
  [[nodiscard]] bool get_bytes(Tag expected, ByteView& contents);
  /// Reads an OCTET STRING or BIT STRING (`expected`: kOctetString or kBitString) and sets
  /// `contents` to its contents octets (for a BIT STRING: the unused-bits octet, then the
  /// bits). A primitive string is viewed in place; under Rules::ber a constructed one (the
  /// string in pieces, nested pieces allowed) is joined into `storage`, which `contents` then
  /// views. Fails on a BIT STRING without unused-bits octet, with more than 7 unused bits, or
  /// with unused bits in a piece other than the last.
  [[nodiscard]] bool get_string(Tag expected, Bytes& storage, ByteView& contents);
  /// Reads an INTEGER with minimal DER contents; `contents` is its two's-complement bytes.
  [[nodiscard]] bool get_integer(ByteView& contents);
  /// Reads an INTEGER that fits an int64.
  [[nodiscard]] bool get_int64(std::int64_t& value);
  /// Reads an OBJECT IDENTIFIER and sets `dotted` to its dotted-decimal form.
  [[nodiscard]] bool get_oid(std::string& dotted);

  /// Succeeds when nothing is left to read (else Error::trailing_data).
  [[nodiscard]] bool expect_end();

 private:
  // Sets `present` when the next element has the tag `expected`; false when it cannot be read.
  [[nodiscard]] bool next_has_tag(Tag expected, bool& present);

  struct Header {
    Tag tag = 0;
    std::size_t header_size = 0;
    std::size_t contents_size = 0;
    std::size_t trailer_size = 0;  // 2 for the end-of-contents marker of an indefinite length
    std::size_t element_size() const noexcept { return header_size + contents_size + trailer_size; }
  };
  // Parses the header of the next element and checks that it fits (for an indefinite length:
  // finds its end-of-contents marker); consumes nothing.
  [[nodiscard]] bool parse_header(Header& header);
  // Sets `contents` to a reader of the contents of the element `header` describes, consumes
  // the element and fails (too_deep) when that would nest too deeply.
  [[nodiscard]] bool enter(const Header& header, Reader& contents);
  // Reads all that is left as the pieces of a constructed string of type `expected` and
  // appends their octets to `out` (for a BIT STRING without the unused-bits octets, whose
  // last value is left in `unused_bits`).
  [[nodiscard]] bool append_pieces(Tag expected, Bytes& out, std::uint8_t& unused_bits);
  [[nodiscard]] bool fail(Error error, std::size_t offset) noexcept;
  void advance(std::size_t n) noexcept;

  ByteView data_;
  std::size_t origin_ = 0;
  std::size_t depth_ = 0;
  Rules rules_ = Rules::der;
  Error error_ = Error::none;
  std::size_t error_offset_ = 0;
};

/// Returns the dotted-decimal form of OBJECT IDENTIFIER contents, or "" when they are not
/// valid (empty, an arc not minimally encoded, an arc beyond 64 bits, unterminated).
std::string oid_to_string(ByteView contents);

/// True when `contents` are minimal DER INTEGER contents (non-empty, no redundant sign octet).
bool is_minimal_integer(ByteView contents) noexcept;

}  // namespace norvan::signing::der

NORVAN_PUBLIC_END
