// The line-end conversions of the message format, checked directly: CR LF to LF when a
// message is read, every line end to CR LF when one is written, and the count that sizes a
// written message in advance.
#include "norvan/signing/mime/line_ends.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace norvan::signing::mime::detail {
namespace {

// The reading direction: input and the expected result.
const std::vector<std::pair<std::string, std::string>> kToLf{
    {"", ""},
    {"plain", "plain"},
    {"a\r\nb\r\n", "a\nb\n"},
    {"\r\nstarts", "\nstarts"},
    {"lone\rcr", "lone\rcr"},
    {"ends in cr\r", "ends in cr\r"},
    {"\r\r\n", "\r\n"},
    {"\n\r", "\n\r"},
    {"\r\n\r\n\r\n", "\n\n\n"},
    {"mixed\nlf\r\ncrlf\rcr", "mixed\nlf\ncrlf\rcr"},
};

TEST(LineEnds, CrLfToLfInPlaceKeepsLoneCrAndLf) {
  for (const auto& [input, expected] : kToLf) {
    Bytes bytes = to_bytes(input);
    const std::size_t length = crlf_to_lf(bytes);
    EXPECT_EQ(as_text(ByteView(bytes).first(length)), expected) << "input: " << input;
  }
}

TEST(LineEnds, CopyingConversionMatchesInPlaceAndAppends) {
  for (const auto& [input, expected] : kToLf) {
    Bytes output = to_bytes("kept:");
    append_with_lf_line_ends(as_bytes(input), output);
    EXPECT_EQ(as_text(output), "kept:" + expected) << "input: " << input;
  }
}

// Collects what a LineEndWriter produces.
struct TextOutput {
  std::string text;
  void append(const std::uint8_t* from, const std::uint8_t* to) { text.append(from, to); }
  void append_line_end() { text += "\r\n"; }
};

std::string to_crlf(const std::vector<std::string_view>& pieces) {
  TextOutput output;
  LineEndWriter<TextOutput> writer(output);
  for (const auto piece : pieces) writer.write(as_bytes(piece));
  writer.close();
  return output.text;
}

TEST(LineEnds, WriterMakesEveryLineEndCrLf) {
  EXPECT_EQ(to_crlf({"a\nb\rc\r\nd"}), "a\r\nb\r\nc\r\nd");
  EXPECT_EQ(to_crlf({"\r\r"}), "\r\n\r\n");
  EXPECT_EQ(to_crlf({"\n\r\n\r"}), "\r\n\r\n\r\n");
  EXPECT_EQ(to_crlf({""}), "");
}

TEST(LineEnds, WriterJoinsCrLfSplitBetweenPiecesAndEndsTrailingCr) {
  EXPECT_EQ(to_crlf({"a\r", "\nb"}), "a\r\nb");
  EXPECT_EQ(to_crlf({"a\r", "", "\nb"}), "a\r\nb");
  EXPECT_EQ(to_crlf({"a\r", "b"}), "a\r\nb");
  EXPECT_EQ(to_crlf({"a\r"}), "a\r\n");
  EXPECT_EQ(to_crlf({"\r", "\r", "\n"}), "\r\n\r\n");
}

// The count must predict the writer's output size exactly, wherever the payload is cut
// into pieces: a message is reserved at that size before it is written.
TEST(LineEnds, CountPredictsWriterGrowthAtEverySplit) {
  const std::vector<std::string> payloads{"a\r\nb", "\r\n", "x\r", "\r\r\n\n", "\n\r\n\r", "no line end", ""};
  for (const auto& payload : payloads) {
    const ByteView bytes = as_bytes(payload);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      LineEndCount count;
      count.add(bytes.first(cut), bytes.data() + bytes.size());
      count.add(bytes.subspan(cut), bytes.data() + bytes.size());
      const std::string written = to_crlf({as_text(bytes.first(cut)), as_text(bytes.subspan(cut))});
      EXPECT_EQ(payload.size() + count.added_bytes(), written.size()) << "payload: " << payload << " cut " << cut;
    }
  }
}

TEST(LineEnds, LineFeedCountHasNoByteCounterOverflow) {
  EXPECT_EQ(count_line_feeds(as_bytes(std::string(1000, '\n'))), 1000U);
  std::string mixed(777, 'x');
  for (std::size_t i = 0; i < mixed.size(); i += 3) mixed[i] = '\n';
  EXPECT_EQ(count_line_feeds(as_bytes(mixed)), 259U);
}

}  // namespace
}  // namespace norvan::signing::mime::detail
