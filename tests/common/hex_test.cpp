#include "norvan/common/hex.hpp"

#include <gtest/gtest.h>

TEST(Hex, TwoLowerCaseDigitsPerByteHighNibbleFirst) {
  EXPECT_EQ(norvan::to_hex({}), "");
  const norvan::Bytes bytes{0x00, 0x0F, 0xF0, 0xA5, 0xFF};
  EXPECT_EQ(norvan::to_hex(bytes), "000ff0a5ff");
}
