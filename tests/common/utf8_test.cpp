#include "norvan/common/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

using norvan::invalid_utf8_offset;

TEST(Utf8, AcceptsEveryWellFormedLength) {
  EXPECT_EQ(invalid_utf8_offset(""), std::string::npos);
  EXPECT_EQ(invalid_utf8_offset("ascii \x7f"), std::string::npos);
  EXPECT_EQ(invalid_utf8_offset("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), std::string::npos);
  // The edges of the ranges: U+0080, U+07FF, U+0800, U+D7FF, U+E000, U+FFFF, U+10000, U+10FFFF.
  EXPECT_EQ(invalid_utf8_offset("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
                                "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"),
            std::string::npos);
}

TEST(Utf8, NamesTheFirstByteOfTheFirstBadSequence) {
  EXPECT_EQ(invalid_utf8_offset("ab\xC0\x80"), 2U);              // overlong 2-byte form
  EXPECT_EQ(invalid_utf8_offset("\xE0\x9F\xBF"), 0U);            // overlong 3-byte form
  EXPECT_EQ(invalid_utf8_offset("\xF0\x8F\xBF\xBF"), 0U);        // overlong 4-byte form
  EXPECT_EQ(invalid_utf8_offset("x\xED\xA0\x80"), 1U);           // surrogate U+D800
  EXPECT_EQ(invalid_utf8_offset("\xF4\x90\x80\x80"), 0U);        // above U+10FFFF
  EXPECT_EQ(invalid_utf8_offset("\xF5\x80\x80\x80"), 0U);        // no such lead byte
  EXPECT_EQ(invalid_utf8_offset("ok\x80"), 2U);                  // continuation without lead
  EXPECT_EQ(invalid_utf8_offset("\xE2\x82"), 0U);                // cut short at the end
  EXPECT_EQ(invalid_utf8_offset("\xE2(\xAC"), 0U);               // continuation missing
  EXPECT_EQ(invalid_utf8_offset(std::string("a\0\xFF", 3)), 2U); // NUL is valid
}
