// The canonical form of an entity (every line end CR LF) in one piece and read in pieces of
// every small size, so that a CR LF split between two reads stays one line end.
#include "norvan/signing/mime/canonical.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace norvan::signing::mime::detail {
namespace {

const std::vector<std::pair<std::string, std::string>> kCanonical{
    {"", ""},
    {"plain", "plain"},
    {"a\nb\n", "a\r\nb\r\n"},
    {"a\r\nb\r\n", "a\r\nb\r\n"},
    {"\nstarts", "\r\nstarts"},
    {"lone\rcr", "lone\rcr"},
    {"ends in cr\r", "ends in cr\r"},
    {"\r\r\n", "\r\r\n"},
    {"\n\n\r\n\n", "\r\n\r\n\r\n\r\n"},
    {"mixed\nlf\r\ncrlf\rcr\n", "mixed\r\nlf\r\ncrlf\rcr\r\n"},
};

std::string text_of(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(Canonical, EveryLineEndBecomesCrLfAndNothingElseChanges) {
  for (const auto& [input, expected] : kCanonical) {
    EXPECT_EQ(text_of(canonical_line_ends(as_bytes(input))), expected) << input;
  }
}

TEST(Canonical, ReaderGivesTheSameInPiecesOfAnySize) {
  const std::string prefix = "header\n\n";  // the range starts after it
  for (const auto& [input, expected] : kCanonical) {
    const std::string message = prefix + input + "\n--boundary--\n";
    for (std::size_t buffer_size = 2; buffer_size <= 9; ++buffer_size) {
      LineSource lines(as_bytes(message));
      std::string copied;
      CanonicalReader reader(lines, ByteRange{prefix.size(), input.size()},
                             [&copied](ByteView piece) { copied += text_of(piece); });
      std::string out;
      std::vector<std::uint8_t> buffer(buffer_size);
      while (const std::size_t count = reader.read(buffer)) out += text_of(ByteView(buffer).first(count));
      EXPECT_EQ(out, expected) << input << " in pieces of " << buffer_size;
      EXPECT_EQ(copied, expected);
    }
  }
  LineSource lines(as_bytes("x"));
  CanonicalReader reader(lines, ByteRange{0, 1});
  std::vector<std::uint8_t> one(1);
  EXPECT_THROW(reader.read(one), std::logic_error);
}

}  // namespace
}  // namespace norvan::signing::mime::detail
