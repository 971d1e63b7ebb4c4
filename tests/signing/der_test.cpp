#include "norvan/signing/der.hpp"

#include "tests/support/der_writer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>

namespace norvan::signing::der {
namespace {

using testing::der_element;
using testing::der_length;
using testing::der_oid;

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// Reads `input` as one element of any tag and reports the error recorded on failure.
Error first_element_error(const Bytes& input) {
  Reader reader(input);
  Tag tag = 0;
  Reader contents;
  return reader.get_any(tag, contents) ? Error::none : reader.error();
}

// Reads `input` under BER as one element of any tag; the error and where it was found.
std::pair<Error, std::size_t> first_ber_error(const Bytes& input) {
  Reader reader(input, Rules::ber);
  Tag tag = 0;
  Reader contents;
  if (reader.get_any(tag, contents)) return {Error::none, 0};
  return {reader.error(), reader.error_offset()};
}

// Walks every element recursively (constructed ones descended into); false on any failure.
bool walk(Reader reader) {
  while (!reader.empty()) {
    Tag tag = 0;
    Reader contents;
    if (!reader.get_any(tag, contents)) return false;
    if ((tag & kConstructed) != 0 && !walk(contents)) return false;
  }
  return true;
}

TEST(DerReader, ReadsNestedElementsAndKeepsExactEncodings) {
  const Bytes long_contents(200, 0x41);
  const Bytes octets = der_element(kOctetString, long_contents);
  ASSERT_EQ(octets[1], 0x81);  // multi-octet length form
  Bytes inner = der_element(kInteger, bytes({0x05}));
  inner.insert(inner.end(), octets.begin(), octets.end());
  const Bytes sequence = der_element(kSequence, inner);

  Reader reader(sequence);
  Reader contents;
  ASSERT_TRUE(reader.get(kSequence, contents));
  EXPECT_TRUE(reader.empty());
  EXPECT_EQ(contents.offset(), 3u);
  EXPECT_EQ(contents.depth(), 1u);
  std::int64_t value = 0;
  ASSERT_TRUE(contents.get_int64(value));
  EXPECT_EQ(value, 5);
  ByteView element;
  ASSERT_TRUE(contents.get_element(kOctetString, element));
  EXPECT_EQ(Bytes(element.begin(), element.end()), octets);
  EXPECT_TRUE(contents.expect_end());

  // Wrong tag: fails, records why and where, consumes nothing.
  Reader again(sequence);
  EXPECT_FALSE(again.get(kSet, contents));
  EXPECT_EQ(again.error(), Error::unexpected_tag);
  EXPECT_EQ(again.size(), sequence.size());
  bool present = true;
  ASSERT_TRUE(again.get_optional(context_tag(0, true), contents, present));
  EXPECT_FALSE(present);
}

TEST(DerReader, RejectsEverythingButDefiniteMinimalLengths) {
  EXPECT_EQ(first_element_error({}), Error::truncated);
  EXPECT_EQ(first_element_error(bytes({0x30})), Error::truncated);
  EXPECT_EQ(first_element_error(bytes({0x30, 0x80, 0x00, 0x00})), Error::indefinite_length);
  EXPECT_EQ(first_element_error(bytes({0x04, 0x81, 0x05, 1, 2, 3, 4, 5})), Error::non_minimal_length);
  Bytes leading_zero = bytes({0x04, 0x82, 0x00, 0x80});
  leading_zero.resize(leading_zero.size() + 0x80);
  EXPECT_EQ(first_element_error(leading_zero), Error::non_minimal_length);
  EXPECT_EQ(first_element_error(bytes({0x04, 0xFF, 0x00})), Error::length_too_large);
  // 2^64 needs nine length octets.
  EXPECT_EQ(first_element_error(bytes({0x04, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0})), Error::length_too_large);
  // 2^64 - 1 fits the length field but not the input: no overflow, just truncation.
  EXPECT_EQ(first_element_error(bytes({0x04, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
            Error::truncated);
  EXPECT_EQ(first_element_error(bytes({0x04, 0x83, 0x01, 0x00})), Error::truncated);

  const Bytes short_input = bytes({0x30, 0x05, 0x02, 0x01});
  Reader truncated(short_input, 10);
  Reader ignored;
  EXPECT_FALSE(truncated.get(kSequence, ignored));
  EXPECT_EQ(truncated.error(), Error::truncated);
  EXPECT_EQ(truncated.error_offset(), 14u);  // where the input ran out

  // High tag numbers: valid only minimally encoded and >= 31.
  const Bytes high_tagged = der_element(context_tag(1000, false), bytes({7}));
  Reader high(high_tagged);
  Tag tag = 0;
  ASSERT_TRUE(high.peek_tag(tag));
  EXPECT_EQ(tag, context_tag(1000, false));
  EXPECT_EQ(first_element_error(bytes({0x1F, 0x1E, 0x00})), Error::bad_tag);
  EXPECT_EQ(first_element_error(bytes({0x1F, 0x80, 0x1F, 0x00})), Error::bad_tag);
  EXPECT_EQ(first_element_error(bytes({0x1F, 0x81})), Error::truncated);
  EXPECT_EQ(first_element_error(bytes({0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00})), Error::bad_tag);
}

TEST(DerReader, BoundsNesting) {
  Bytes nested;
  for (std::size_t i = 0; i < kMaxDepth; ++i) nested = der_element(kSequence, nested);
  EXPECT_TRUE(walk(Reader(nested)));
  nested = der_element(kSequence, nested);
  EXPECT_FALSE(walk(Reader(nested)));
  Reader reader(nested, 0, kMaxDepth);
  Reader contents;
  EXPECT_FALSE(reader.get(kSequence, contents));
  EXPECT_EQ(reader.error(), Error::too_deep);
}

TEST(DerReader, IntegersAndObjectIdentifiers) {
  std::int64_t value = 0;
  const Bytes minus_one = der_element(kInteger, bytes({0xFF}));
  ASSERT_TRUE(Reader(minus_one).get_int64(value));
  EXPECT_EQ(value, -1);
  const Bytes big = der_element(kInteger, bytes({0x00, 0x80}));
  ASSERT_TRUE(Reader(big).get_int64(value));
  EXPECT_EQ(value, 128);
  for (const Bytes& bad : {Bytes{}, bytes({0x00, 0x01}), bytes({0xFF, 0x80})}) {
    const Bytes element = der_element(kInteger, bad);
    Reader reader(element);
    ByteView contents;
    EXPECT_FALSE(reader.get_integer(contents));
    EXPECT_EQ(reader.error(), Error::bad_value);
  }
  const Bytes too_wide = der_element(kInteger, bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(Reader(too_wide).get_int64(value));

  for (const std::string oid : {"1.2.840.113549.1.7.2", "2.16.840.1.101.3.4.2.10", "0.0", "2.999.18446744073709551615"}) {
    const Bytes element = der_oid(oid);
    Reader reader(element);
    std::string dotted;
    ASSERT_TRUE(reader.get_oid(dotted)) << oid;
    EXPECT_EQ(dotted, oid);
  }
  EXPECT_EQ(der_oid("1.2.840.113549.1.7.2"), bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}));
  EXPECT_EQ(oid_to_string({}), "");
  EXPECT_EQ(oid_to_string(bytes({0x2A, 0x80, 0x01})), "");  // non-minimal arc
  EXPECT_EQ(oid_to_string(bytes({0x2A, 0x86})), "");        // unterminated arc
  EXPECT_EQ(oid_to_string(bytes({0x2A, 0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00})), "");
  EXPECT_THROW(der_oid("3.1"), std::invalid_argument);
  EXPECT_THROW(der_oid("1.40"), std::invalid_argument);
  EXPECT_THROW(der_oid("1..2"), std::invalid_argument);
}

TEST(DerWriter, LengthFormsRoundTrip) {
  EXPECT_EQ(der_length(127), bytes({0x7F}));
  EXPECT_EQ(der_length(128), bytes({0x81, 0x80}));
  EXPECT_EQ(der_length(256), bytes({0x82, 0x01, 0x00}));
  for (const std::size_t size : {0u, 127u, 128u, 255u, 256u, 65536u}) {
    const Bytes element = der_element(context_tag(3, true), Bytes(size, 0x5A));
    Reader reader(element);
    Reader contents;
    ASSERT_TRUE(reader.get(context_tag(3, true), contents)) << size;
    EXPECT_EQ(contents.size(), size);
  }
}

// Every prefix and every single-byte change of a nested structure is read without undefined
// behaviour (the sanitizer builds catch it) and never claims more bytes than it has.
TEST(DerReader, SurvivesTruncationAndCorruption) {
  Bytes inner = der_element(kOctetString, Bytes(300, 1));
  const Bytes oid = der_oid("1.2.840.113549.1.9.4");
  inner.insert(inner.end(), oid.begin(), oid.end());
  const Bytes structure = der_element(kSequence, der_element(context_tag(0, true), der_element(kSet, inner)));
  ASSERT_TRUE(walk(Reader(structure)));
  for (std::size_t size = 1; size < structure.size(); ++size) {
    EXPECT_FALSE(walk(Reader(ByteView(structure).first(size)))) << size;
  }
  std::mt19937 random(42);
  for (std::size_t i = 0; i < 2000; ++i) {
    Bytes mutated = structure;
    mutated[random() % 12] = static_cast<std::uint8_t>(random());
    Reader reader(mutated);
    Tag tag = 0;
    ByteView element;
    std::size_t header_size = 0;
    if (reader.get_any_element(tag, element, header_size)) {
      EXPECT_LE(element.size(), mutated.size());
    }
    (void)walk(Reader(mutated));
  }
}

TEST(BerReader, IndefiniteLengthsEndAtTheirOwnMarkerAndKeepTheExactEncoding) {
  // SEQUENCE (indefinite) { INTEGER 5, [0] (indefinite) { SEQUENCE (indefinite) {} }, NULL }
  const Bytes input = bytes({0x30, 0x80, 0x02, 0x01, 0x05, 0xA0, 0x80, 0x30, 0x80, 0x00, 0x00, 0x00, 0x00,
                             0x05, 0x00, 0x00, 0x00});
  EXPECT_EQ(first_element_error(input), Error::indefinite_length);  // DER readers still refuse

  Reader reader(input, Rules::ber);
  ByteView whole;
  ASSERT_TRUE(Reader(reader).get_element(kSequence, whole));
  EXPECT_EQ(Bytes(whole.begin(), whole.end()), input);  // end-of-contents marker included
  Reader sequence;
  ASSERT_TRUE(reader.get(kSequence, sequence));
  EXPECT_TRUE(reader.empty());
  EXPECT_EQ(sequence.offset(), 2u);
  EXPECT_EQ(sequence.size(), input.size() - 4);  // the marker is not contents
  EXPECT_EQ(sequence.rules(), Rules::ber);
  std::int64_t value = 0;
  ASSERT_TRUE(sequence.get_int64(value));
  EXPECT_EQ(value, 5);
  ByteView tagged;
  ASSERT_TRUE(sequence.get_element(context_tag(0, true), tagged));
  EXPECT_EQ(tagged.size(), 8u);
  ASSERT_TRUE(sequence.skip(kNull));
  EXPECT_TRUE(sequence.expect_end());

  // Non-minimal length octets are BER.
  for (const Bytes& lengthy : {bytes({0x04, 0x81, 0x02, 0xAA, 0xBB}), bytes({0x04, 0x88, 0, 0, 0, 0, 0, 0, 0, 0x02, 0xAA, 0xBB})}) {
    Reader octets(lengthy, Rules::ber);
    ByteView contents;
    ASSERT_TRUE(octets.get_bytes(kOctetString, contents));
    EXPECT_EQ(Bytes(contents.begin(), contents.end()), bytes({0xAA, 0xBB}));
  }
}

TEST(BerReader, MalformedIndefiniteLengthsFailAtTheRightByte) {
  using Found = std::pair<Error, std::size_t>;
  // No end-of-contents before the input ends: truncated where it ends.
  EXPECT_EQ(first_ber_error(bytes({0x30, 0x80, 0x02, 0x01, 0x05})), Found(Error::truncated, 5));
  EXPECT_EQ(first_ber_error(bytes({0x30, 0x80, 0x30, 0x80, 0x00, 0x00})), Found(Error::truncated, 6));
  EXPECT_EQ(first_ber_error(bytes({0x30, 0x80, 0x00})), Found(Error::truncated, 3));
  // A primitive element cannot have an indefinite length, at the top or nested.
  EXPECT_EQ(first_ber_error(bytes({0x04, 0x80, 0x00, 0x00})), Found(Error::indefinite_primitive, 0));
  EXPECT_EQ(first_ber_error(bytes({0x30, 0x80, 0x04, 0x80, 0x00, 0x00})), Found(Error::indefinite_primitive, 2));
  // An end-of-contents marker is exactly 00 00.
  EXPECT_EQ(first_ber_error(bytes({0x30, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00})), Found(Error::bad_end_of_contents, 2));
  EXPECT_EQ(first_ber_error(bytes({0x30, 0x80, 0x00, 0x81, 0x00, 0x00, 0x00})), Found(Error::bad_end_of_contents, 2));
  EXPECT_EQ(first_ber_error(bytes({0x00, 0x00})), Found(Error::bad_end_of_contents, 0));
  // ... and closes only an indefinite length: one inside definite contents is misplaced.
  const Bytes stray = bytes({0x30, 0x02, 0x00, 0x00});
  Reader outer(stray, Rules::ber);
  Reader contents;
  ASSERT_TRUE(outer.get(kSequence, contents));
  Tag tag = 0;
  Reader inner;
  EXPECT_FALSE(contents.get_any(tag, inner));
  EXPECT_EQ(contents.error(), Error::bad_end_of_contents);
  EXPECT_EQ(contents.error_offset(), 2u);
  // An indefinite length inside definite contents must end inside them.
  const Bytes escaping = bytes({0x30, 0x03, 0x30, 0x80, 0x00, 0x00, 0x00});
  Reader escaping_outer(escaping, Rules::ber);
  ASSERT_TRUE(escaping_outer.get(kSequence, contents));
  EXPECT_FALSE(contents.get_any(tag, inner));
  EXPECT_EQ(contents.error(), Error::truncated);
  EXPECT_EQ(contents.error_offset(), 5u);
  // The bounds that hold for DER hold for BER.
  EXPECT_EQ(first_ber_error(bytes({0x04, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0})).first, Error::length_too_large);
  EXPECT_EQ(first_ber_error(bytes({0x04, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})).first, Error::truncated);
  EXPECT_EQ(first_ber_error(bytes({0x04, 0xFF, 0x00})).first, Error::length_too_large);
  EXPECT_EQ(first_ber_error(bytes({0x1F, 0x80, 0x1F, 0x00})).first, Error::bad_tag);
}

TEST(BerReader, BoundsNestingOfIndefiniteLengths) {
  const auto nested = [](std::size_t levels) {
    Bytes out;
    for (std::size_t i = 0; i < levels; ++i) out.insert(out.end(), {0x30, 0x80});
    for (std::size_t i = 0; i < levels; ++i) out.insert(out.end(), {0x00, 0x00});
    return out;
  };
  const Bytes deepest = nested(kMaxDepth), too_deep = nested(kMaxDepth + 1);
  EXPECT_TRUE(walk(Reader(deepest, Rules::ber)));
  EXPECT_FALSE(walk(Reader(too_deep, Rules::ber)));
  // Too deep is found while looking for the end, before any contents are read.
  const Bytes deep = nested(5000);
  EXPECT_EQ(first_ber_error(deep), std::make_pair(Error::too_deep, 2 * kMaxDepth));
  EXPECT_EQ(first_ber_error(Bytes(deep.begin(), deep.begin() + 5000 * 2)).first, Error::too_deep);
}

TEST(BerReader, StringsInPiecesAreJoined) {
  const auto read = [](const Bytes& input, Tag type, Rules rules = Rules::ber) {
    Reader reader(input, rules);
    Bytes storage;
    ByteView contents;
    const bool ok = reader.get_string(type, storage, contents);
    return std::make_tuple(ok, Bytes(contents.begin(), contents.end()), reader.error(), reader.error_offset());
  };
  // OCTET STRING: primitive, in pieces (indefinite and definite), nested pieces, no pieces.
  const Bytes primitive = bytes({0x04, 0x02, 0xAA, 0xBB});
  EXPECT_EQ(std::get<1>(read(primitive, kOctetString, Rules::der)), bytes({0xAA, 0xBB}));
  const Bytes pieces = bytes({0x24, 0x80, 0x04, 0x02, 0xAA, 0xBB, 0x04, 0x00, 0x04, 0x01, 0xCC, 0x00, 0x00});
  EXPECT_EQ(std::get<1>(read(pieces, kOctetString)), bytes({0xAA, 0xBB, 0xCC}));
  const Bytes nested_pieces = bytes({0x24, 0x09, 0x04, 0x01, 0xAA, 0x24, 0x80, 0x04, 0x01, 0xBB, 0x00, 0x00});
  EXPECT_EQ(read(nested_pieces, kOctetString), std::make_tuple(false, Bytes{}, Error::truncated, nested_pieces.size() - 1));
  const Bytes nested_fitting = bytes({0x24, 0x0A, 0x04, 0x01, 0xAA, 0x24, 0x80, 0x04, 0x01, 0xBB, 0x00, 0x00});
  EXPECT_EQ(std::get<1>(read(nested_fitting, kOctetString)), bytes({0xAA, 0xBB}));
  EXPECT_EQ(read(bytes({0x24, 0x00}), kOctetString), std::make_tuple(true, Bytes{}, Error::none, std::size_t{0}));
  // DER has no strings in pieces; a piece of another type is no piece.
  EXPECT_EQ(std::get<2>(read(pieces, kOctetString, Rules::der)), Error::indefinite_length);
  EXPECT_EQ(std::get<2>(read(bytes({0x24, 0x02, 0x04, 0x00}), kOctetString, Rules::der)), Error::unexpected_tag);
  EXPECT_EQ(read(bytes({0x24, 0x03, 0x02, 0x01, 0x05}), kOctetString), std::make_tuple(false, Bytes{}, Error::unexpected_tag, std::size_t{2}));
  EXPECT_EQ(std::get<2>(read(bytes({0x30, 0x00}), kOctetString)), Error::unexpected_tag);

  // BIT STRING: the unused-bits octet of the last piece leads the joined contents.
  const Bytes bits = bytes({0x23, 0x80, 0x03, 0x02, 0x00, 0xAA, 0x03, 0x02, 0x04, 0xB0, 0x00, 0x00});
  EXPECT_EQ(std::get<1>(read(bits, kBitString)), bytes({0x04, 0xAA, 0xB0}));
  EXPECT_EQ(std::get<1>(read(bytes({0x23, 0x00}), kBitString)), bytes({0x00}));
  // Unused bits before the last piece, more than 7, or without any bits are invalid.
  const Bytes early_unused = bytes({0x23, 0x08, 0x03, 0x02, 0x04, 0xA0, 0x03, 0x02, 0x00, 0xBB});
  EXPECT_EQ(read(early_unused, kBitString), std::make_tuple(false, Bytes{}, Error::bad_value, std::size_t{6}));
  EXPECT_EQ(std::get<2>(read(bytes({0x03, 0x02, 0x08, 0xFF}), kBitString)), Error::bad_value);
  EXPECT_EQ(std::get<2>(read(bytes({0x03, 0x01, 0x01}), kBitString)), Error::bad_value);
  EXPECT_EQ(std::get<2>(read(bytes({0x03, 0x00}), kBitString)), Error::bad_value);
  EXPECT_EQ(std::get<2>(read(bytes({0x23, 0x02, 0x03, 0x00}), kBitString)), Error::bad_value);

  // Pieces nest no deeper than anything else.
  Bytes deep = bytes({0x04, 0x01, 0x07});
  for (std::size_t i = 0; i < kMaxDepth; ++i) deep = der_element(kOctetString | kConstructed, deep);
  EXPECT_EQ(std::get<2>(read(deep, kOctetString)), Error::too_deep);
}

TEST(BerReader, SurvivesTruncationAndCorruption) {
  const Bytes structure = bytes({0x30, 0x80, 0xA0, 0x80, 0x31, 0x80, 0x24, 0x80, 0x04, 0x03, 1, 2, 3, 0x24, 0x02,
                                 0x04, 0x00, 0x00, 0x00, 0x06, 0x03, 0x2A, 0x86, 0x48, 0x00, 0x00, 0x00, 0x00,
                                 0x04, 0x82, 0x00, 0x02, 9, 9, 0x00, 0x00});
  ASSERT_TRUE(walk(Reader(structure, Rules::ber)));
  for (std::size_t size = 1; size < structure.size(); ++size) {
    EXPECT_FALSE(walk(Reader(ByteView(structure).first(size), Rules::ber))) << size;
  }
  std::mt19937 random(7);
  for (std::size_t i = 0; i < 5000; ++i) {
    Bytes mutated = structure;
    mutated[random() % mutated.size()] = static_cast<std::uint8_t>(random());
    Reader reader(mutated, Rules::ber);
    Tag tag = 0;
    ByteView element;
    std::size_t header_size = 0;
    if (reader.get_any_element(tag, element, header_size)) {
      EXPECT_LE(element.size(), mutated.size());
    }
    (void)walk(Reader(mutated, Rules::ber));
    Reader strings(mutated, Rules::ber);
    Bytes storage;
    ByteView contents;
    if (strings.get_string(kOctetString, storage, contents)) {
      EXPECT_LE(contents.size(), mutated.size());
    }
  }
}

}  // namespace
}  // namespace norvan::signing::der
