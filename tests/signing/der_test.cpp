#include "norvan/signing/der.hpp"

#include <gtest/gtest.h>

#include <random>

namespace norvan::signing::der {
namespace {

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
  const Bytes octets = encode(kOctetString, long_contents);
  ASSERT_EQ(octets[1], 0x81);  // multi-octet length form
  Bytes inner = encode(kInteger, bytes({0x05}));
  inner.insert(inner.end(), octets.begin(), octets.end());
  const Bytes sequence = encode(kSequence, inner);

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
  const Bytes high_tagged = encode(context_tag(1000, false), bytes({7}));
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
  for (std::size_t i = 0; i < kMaxDepth; ++i) nested = encode(kSequence, nested);
  EXPECT_TRUE(walk(Reader(nested)));
  nested = encode(kSequence, nested);
  EXPECT_FALSE(walk(Reader(nested)));
  Reader reader(nested, 0, kMaxDepth);
  Reader contents;
  EXPECT_FALSE(reader.get(kSequence, contents));
  EXPECT_EQ(reader.error(), Error::too_deep);
}

TEST(DerReader, IntegersAndObjectIdentifiers) {
  std::int64_t value = 0;
  const Bytes minus_one = encode(kInteger, bytes({0xFF}));
  ASSERT_TRUE(Reader(minus_one).get_int64(value));
  EXPECT_EQ(value, -1);
  const Bytes big = encode(kInteger, bytes({0x00, 0x80}));
  ASSERT_TRUE(Reader(big).get_int64(value));
  EXPECT_EQ(value, 128);
  for (const Bytes& bad : {Bytes{}, bytes({0x00, 0x01}), bytes({0xFF, 0x80})}) {
    const Bytes element = encode(kInteger, bad);
    Reader reader(element);
    ByteView contents;
    EXPECT_FALSE(reader.get_integer(contents));
    EXPECT_EQ(reader.error(), Error::bad_value);
  }
  const Bytes too_wide = encode(kInteger, bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(Reader(too_wide).get_int64(value));

  for (const std::string oid : {"1.2.840.113549.1.7.2", "2.16.840.1.101.3.4.2.10", "0.0", "2.999.18446744073709551615"}) {
    const Bytes element = encode_oid(oid);
    Reader reader(element);
    std::string dotted;
    ASSERT_TRUE(reader.get_oid(dotted)) << oid;
    EXPECT_EQ(dotted, oid);
  }
  EXPECT_EQ(encode_oid("1.2.840.113549.1.7.2"), bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}));
  EXPECT_EQ(oid_to_string({}), "");
  EXPECT_EQ(oid_to_string(bytes({0x2A, 0x80, 0x01})), "");  // non-minimal arc
  EXPECT_EQ(oid_to_string(bytes({0x2A, 0x86})), "");        // unterminated arc
  EXPECT_EQ(oid_to_string(bytes({0x2A, 0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00})), "");
  EXPECT_THROW(encode_oid("3.1"), std::invalid_argument);
  EXPECT_THROW(encode_oid("1.40"), std::invalid_argument);
  EXPECT_THROW(encode_oid("1..2"), std::invalid_argument);
}

TEST(DerWriter, LengthFormsRoundTrip) {
  EXPECT_EQ(encode_length(127), bytes({0x7F}));
  EXPECT_EQ(encode_length(128), bytes({0x81, 0x80}));
  EXPECT_EQ(encode_length(256), bytes({0x82, 0x01, 0x00}));
  for (const std::size_t size : {0u, 127u, 128u, 255u, 256u, 65536u}) {
    const Bytes element = encode(context_tag(3, true), Bytes(size, 0x5A));
    Reader reader(element);
    Reader contents;
    ASSERT_TRUE(reader.get(context_tag(3, true), contents)) << size;
    EXPECT_EQ(contents.size(), size);
  }
}

// Every prefix and every single-byte change of a nested structure is read without undefined
// behaviour (the sanitizer builds catch it) and never claims more bytes than it has.
TEST(DerReader, SurvivesTruncationAndCorruption) {
  Bytes inner = encode(kOctetString, Bytes(300, 1));
  const Bytes oid = encode_oid("1.2.840.113549.1.9.4");
  inner.insert(inner.end(), oid.begin(), oid.end());
  const Bytes structure = encode(kSequence, encode(context_tag(0, true), encode(kSet, inner)));
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

}  // namespace
}  // namespace norvan::signing::der
