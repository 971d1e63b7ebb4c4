// The scan that finds the signature and payload entities of a message: which entity it picks,
// where each body begins and ends, headerless parts, delimiters, and the same answers from a
// message in memory and from a file read in blocks.
#include "norvan/signing/mime/entity_scanner.hpp"
#include "norvan/signing/mime/line_source.hpp"

#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

namespace norvan::signing::mime::detail {
namespace {

using norvan::testing::TempDir;

struct Bodies {
  std::optional<std::string> signature;  // as written, not decoded
  std::optional<std::string> payload;
  GMimeContentEncoding signature_encoding = GMIME_CONTENT_ENCODING_DEFAULT;
};

std::optional<std::string> body_of(const std::string& message, const FoundEntity& entity) {
  if (!entity.found) return std::nullopt;
  return message.substr(entity.body_start, entity.body_length);
}

Bodies bodies_of(const std::string& message, const SignedEntities& found) {
  return {body_of(message, found.signature), body_of(message, found.payload), found.signature.encoding};
}

// Scans `message` from memory and from a file, expects both to agree and returns the bodies.
Bodies scan(const std::string& message) {
  LineSource memory(as_bytes(message));
  const Bodies from_memory = bodies_of(message, scan_signed_entities(memory));

  const TempDir dir;
  const std::filesystem::path path = dir / "message.eml";
  std::ofstream(path, std::ios::binary) << message;
  norvan::Input input = norvan::Input::file(path, "message file");
  LineSource file(input);
  const Bodies from_file = bodies_of(message, scan_signed_entities(file));

  EXPECT_EQ(from_file.signature, from_memory.signature);
  EXPECT_EQ(from_file.payload, from_memory.payload);
  return from_memory;
}

std::string multipart(const std::string& parts, const std::string& boundary = "B") {
  return "Content-Type: multipart/signed; boundary=\"" + boundary + "\"\r\n\r\npreamble\r\n" + parts + "--" + boundary +
         "--\r\n";
}

const std::string kSignature = "--B\r\nContent-Type: application/pkcs7-signature\r\nContent-Transfer-Encoding: base64\r\n\r\nMIIB\r\n";

TEST(EntityScanner, BodiesEndBeforeTheLineEndOfTheNextDelimiter) {
  Bodies found = scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\nabc\r\n\r\n" + kSignature));
  EXPECT_EQ(found.payload, "abc\r\n");
  EXPECT_EQ(found.signature, "MIIB");
  EXPECT_EQ(found.signature_encoding, GMIME_CONTENT_ENCODING_BASE64);
  // LF line ends, and line ends that differ between a body and its delimiter: the body loses
  // its own last line end, whatever the delimiter line ends in.
  found = scan("Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain\n\nabc\n--B--\n");
  EXPECT_EQ(found.payload, "abc");
  found = scan("Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain\n\nabc\n--B--\r\n");
  EXPECT_EQ(found.payload, "abc");
  found = scan("Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain\n\nabc\r\n--B--\n");
  EXPECT_EQ(found.payload, "abc");
  found = scan("Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain\n\nabc\r\n--B--");
  EXPECT_EQ(found.payload, "abc");
  // An empty body, and a body of one line end.
  EXPECT_EQ(scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\n\r\n")).payload, "");
  EXPECT_EQ(scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\n\n")).payload, "");
  // Without a close delimiter the last body runs to the end of the message.
  EXPECT_EQ(scan("Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\n\r\nto the end\r\n").payload, "to the end\r\n");
}

TEST(EntityScanner, TheLastSignatureAndTheLastTextWinInDocumentOrder) {
  const std::string text = "--B\r\nContent-Type: text/plain\r\n\r\nfirst\r\n";
  const std::string nested =
      "--B\r\nContent-Type: multipart/mixed; boundary=\"in\"\r\n\r\n--in\r\nContent-Type: Text/Plain; charset=utf-8\r\n\r\n"
      "nested\r\n--in--\r\n";
  const std::string embedded = "--B\r\nContent-Type: message/rfc822\r\n\r\nSubject: x\r\n\r\nembedded\r\n";
  EXPECT_EQ(scan(multipart(text + nested + kSignature)).payload, "nested");
  EXPECT_EQ(scan(multipart(nested + text + kSignature)).payload, "first");
  EXPECT_EQ(scan(multipart(text + embedded + kSignature)).payload, "embedded");
  // The children of a digest are messages by default; a header names another type.
  const std::string digest =
      "--B\r\nContent-Type: multipart/digest; boundary=D\r\n\r\n--D\r\n\r\nContent-Type: text/plain\r\n\r\nin digest\r\n"
      "--D\r\nContent-Type: application/x-pkcs7-signature\r\n\r\nlater\r\n--D--\r\n";
  const Bodies found = scan(multipart(text + digest));
  EXPECT_EQ(found.payload, "in digest");
  EXPECT_EQ(found.signature, "later");
  // A multipart without a boundary keeps its body as text: nothing inside counts.
  EXPECT_EQ(scan("Content-Type: multipart/mixed\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nx\r\n").payload, std::nullopt);
}

TEST(EntityScanner, APartWhoseFirstLineIsNoHeaderFieldHasNoHeader) {
  // As a lenient reader of RFC 822 reads it: the body starts at the part's first byte.
  Bodies found = scan("Content-Type: multipart/signed; boundary=B\n\n--B\nSigned by a producer.\nSecond line: x\n\n--B\n"
                      "Content-Type: application/pkcs7-signature\n\nsig\n--B--\n");
  EXPECT_EQ(found.payload, "Signed by a producer.\nSecond line: x\n");
  EXPECT_EQ(found.signature, "sig");
  // Also a first line with a blank before its colon-less text, or one that starts with one.
  EXPECT_EQ(scan(multipart("--B\r\nno header here\r\n" + kSignature)).payload, "no header here");
  EXPECT_EQ(scan(multipart("--B\r\n indented: x\r\n" + kSignature)).payload, " indented: x");
  // A header field first, even an unknown one or one with blanks before the colon, starts a header.
  EXPECT_EQ(scan(multipart("--B\r\nX-Note : x\r\nContent-Type: text/plain\r\n\r\nbody\r\n" + kSignature)).payload, "body");
  // An empty first line: no header fields, and the body follows it.
  EXPECT_EQ(scan(multipart("--B\r\n\r\nafter the empty line\r\n" + kSignature)).payload, "after the empty line");
  // A delimiter right after a delimiter makes no entity, and a close delimiter without a line
  // end at the very end is not a body either.
  EXPECT_EQ(scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\nkept\r\n--B\r\n" + kSignature)).payload, "kept");
  found = scan("Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nlast\r\n--B\r\n--B--");
  EXPECT_EQ(found.payload, "last");
}

TEST(EntityScanner, DelimitersAreWholeLinesOfAnEnclosingBoundary) {
  // A look-alike with more text is body; trailing blanks still make a delimiter; an outer
  // delimiter ends the inner multipart too.
  EXPECT_EQ(scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\n--Bx\r\n-- B\r\n" + kSignature)).payload, "--Bx\r\n-- B");
  EXPECT_EQ(scan(multipart("--B  \r\nContent-Type: text/plain\r\n\r\nblanks\r\n" + kSignature)).payload, "blanks");
  const std::string unclosed_inner =
      "--B\r\nContent-Type: multipart/mixed; boundary=in\r\n\r\n--in\r\nContent-Type: text/plain\r\n\r\ninner\r\n";
  const Bodies found = scan(multipart(unclosed_inner + kSignature));
  EXPECT_EQ(found.payload, "inner");
  EXPECT_EQ(found.signature, "MIIB");
  // The root's header must start with a header field: plain text has no entities at all.
  EXPECT_EQ(scan("just text\r\n--B\r\n").payload, std::nullopt);
}

TEST(EntityScanner, LinesLongerThanAFileBlockAgree) {
  // Lines of several blocks (64 KiB each) before and around delimiters, one delimiter whose
  // trailing blanks cross a block boundary, and a look-alike at the start of a block.
  const std::string long_line(200 * 1024, 'x');
  std::string payload = long_line + "\r\n" + std::string(65536 - 40, 'y') + "--B is not a delimiter\r\nend";
  Bodies found = scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\n" + payload + "\r\n" + kSignature));
  EXPECT_EQ(found.payload, payload);
  const std::string blanks(70000, ' ');
  found = scan(multipart("--B\r\nContent-Type: text/plain\r\n\r\n" + long_line + "\r\n--B" + blanks + "\r\n" +
                         kSignature.substr(5)));
  EXPECT_EQ(found.payload, long_line);
  // A long header field still names the type.
  const std::string field = "Content-Type: text/plain; x=\"" + std::string(100000, 'p') + "\"\r\n";
  EXPECT_EQ(scan(multipart("--B\r\n" + field + "\r\nlong header\r\n" + kSignature)).payload, "long header");
}

TEST(EntityScanner, LongContentTypesKeepTheirBoundaryAsGMimeReadsIt) {
  // Thousands of parameters, folded; the boundary comes last, or a second one follows it.
  std::string parameters;
  for (int i = 0; i < 5000; ++i) parameters += ";\r\n x-p" + std::to_string(i) + "=\"v " + std::to_string(i) + "\"";
  const std::string parts = "--B\r\nContent-Type: text/plain\r\n\r\ninside\r\n" + kSignature + "--B--\r\n";
  EXPECT_EQ(scan("Content-Type: multipart/signed" + parameters + "; Boundary=B\r\n\r\n" + parts).payload, "inside");
  EXPECT_EQ(scan("Content-Type: multipart/signed; boundary=\"B\"" + parameters + "; boundary=C\r\n\r\n" + parts).payload,
            "inside");
  // Read as GMime reads the list: blanks around '=' and comments are passed over, while text
  // after a quoted string ends the list, so the boundary after it is not seen and the multipart
  // keeps its body as text.
  EXPECT_EQ(scan("Content-Type: multipart/signed" + parameters + "; x = y; (note) boundary = B\r\n\r\n" + parts).payload,
            "inside");
  EXPECT_EQ(scan("Content-Type: multipart/signed" + parameters + "; x=\"y\"z; boundary=B\r\n\r\n" + parts).payload,
            std::nullopt);
}

}  // namespace
}  // namespace norvan::signing::mime::detail
