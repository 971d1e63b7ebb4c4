// Bodies decoded without GMime, against GMime itself: base64 in lines of any length with LF or
// CR LF, bodies left as they are, and the near misses that are left to GMime.

#include "norvan/signing/mime/transfer_decoding.hpp"

#include "tests/support/base64.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace norvan::signing::mime::detail {
namespace {

using namespace std::string_literals;

Bytes random_bytes(std::mt19937& random, std::size_t size) {
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// `text` cut into lines of `width` characters (0: one line) ending in `line_end`, the last
// one with or without it.
std::string in_lines(const std::string& text, std::size_t width, const std::string& line_end,
                     bool final_line_end) {
  if (width == 0) return final_line_end ? text + line_end : text;
  std::string result;
  for (std::size_t index = 0; index < text.size(); index += width) {
    if (index > 0) result += line_end;
    result += text.substr(index, width);
  }
  if (final_line_end) result += line_end;
  return result;
}

// Checks that the plain decoder answers exactly when `plain` says so, with GMime's bytes.
void check(const std::string& body, GMimeContentEncoding encoding, bool plain) {
  const std::optional<Bytes> simple = decode_plain_body(as_bytes(body), encoding);
  EXPECT_EQ(simple.has_value(), plain) << "encoding " << encoding << " body \"" << body << "\"";
  if (simple) {
    EXPECT_EQ(*simple, decode_body_with_gmime(as_bytes(body), encoding))
        << "encoding " << encoding << " body \"" << body << "\"";
  }
}

TEST(TransferDecoding, Base64InLinesDecodesAsGMimeDecodesIt) {
  std::mt19937 random(8551);
  for (std::size_t size = 0; size < 80; ++size) {
    const std::string text = norvan::testing::base64(random_bytes(random, size));
    for (const std::size_t width : {0, 4, 64, 76, 7}) {
      for (const char* line_end : {"\n", "\r\n"}) {
        for (const bool final_line_end : {false, true})
          check(in_lines(text, width, line_end, final_line_end), GMIME_CONTENT_ENCODING_BASE64, true);
      }
    }
  }
  const std::string large = norvan::testing::base64(random_bytes(random, 5000));
  check(in_lines(large, 76, "\r\n", true), GMIME_CONTENT_ENCODING_BASE64, true);
  // Empty lines between lines, and a body of line ends only.
  check("QUJD\n\nREVG\r\n\r\n", GMIME_CONTENT_ENCODING_BASE64, true);
  check("\r\n\n", GMIME_CONTENT_ENCODING_BASE64, true);
  // Bits after the last byte that a canonical encoder leaves zero.
  check("QR==", GMIME_CONTENT_ENCODING_BASE64, true);
  check("QUJ=", GMIME_CONTENT_ENCODING_BASE64, true);
}

TEST(TransferDecoding, Base64NearMissesAreLeftToGMime) {
  for (const char* body : {
           "QUJD REVG",        // a space
           "QUJD\tREVG",       // a tab
           "QUJD*REVG",        // a character outside the alphabet
           "QUJDRA",           // no padding
           "QUJDRA=",          // too little padding
           "QUJDRA===",        // too much padding
           "QQ==QQ==",         // padding inside
           "QQ==\nQUJD",       // padding before the last line
           "QUJ",              // not whole groups
           "====",             // padding only
           "QUJD\rREVG",       // a CR not before a LF
           "QUJD\r",           // a CR at the end
           "QUJD\x80REVG",     // an 8-bit byte
           "-----BEGIN-----",  // not base64 at all
       }) {
    check(body, GMIME_CONTENT_ENCODING_BASE64, false);
  }
}

TEST(TransferDecoding, BodiesWithoutEncodingStayAsTheyAre) {
  std::mt19937 random(2045);
  for (const GMimeContentEncoding encoding : {GMIME_CONTENT_ENCODING_DEFAULT, GMIME_CONTENT_ENCODING_7BIT,
                                              GMIME_CONTENT_ENCODING_8BIT, GMIME_CONTENT_ENCODING_BINARY}) {
    check("", encoding, true);
    check("line\r\n=41=\n\0end"s, encoding, true);
    for (const std::size_t size : {1, 2, 100, 4096}) {
      const Bytes bytes = random_bytes(random, size);
      check(std::string(bytes.begin(), bytes.end()), encoding, true);
    }
  }
}

TEST(TransferDecoding, OtherEncodingsAreLeftToGMime) {
  check("=41=42\r\n", GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE, false);
  check("begin 644 x\n#04)#\n`\nend\n", GMIME_CONTENT_ENCODING_UUENCODE, false);
  // Both decode through decode_body, with GMime.
  EXPECT_EQ(decode_body(as_bytes(std::string("=41=42")), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE),
            to_bytes("AB"));
  EXPECT_EQ(decode_body(as_bytes(std::string("QUJD REVG")), GMIME_CONTENT_ENCODING_BASE64),
            to_bytes("ABCDEF"));
}

// Base64 bodies changed at random in one character: wherever the plain decoder answers, GMime
// agrees.
TEST(TransferDecoding, ChangedBase64AgreesWithGMime) {
  const std::string changes = "=\r\n \t*-_AQz09+/\x80";
  std::mt19937 random(4648);
  int answered = 0;
  for (int round = 0; round < 5000; ++round) {
    std::string body = in_lines(norvan::testing::base64(random_bytes(random, random() % 40)),
                                1 + random() % 20, random() % 2 == 0 ? "\n" : "\r\n", random() % 2 == 0);
    if (!body.empty()) {
      const std::size_t at = random() % body.size();
      const char change = changes[random() % changes.size()];
      switch (random() % 3) {
        case 0:
          body.insert(body.begin() + static_cast<long>(at), change);
          break;
        case 1:
          body.erase(at, 1);
          break;
        default:
          body[at] = change;
      }
    }
    const std::optional<Bytes> simple = decode_plain_body(as_bytes(body), GMIME_CONTENT_ENCODING_BASE64);
    if (!simple) continue;
    ++answered;
    EXPECT_EQ(*simple, decode_body_with_gmime(as_bytes(body), GMIME_CONTENT_ENCODING_BASE64))
        << "body \"" << body << "\"";
  }
  EXPECT_GT(answered, 1000);
}

}  // namespace
}  // namespace norvan::signing::mime::detail
