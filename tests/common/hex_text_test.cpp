#include "common/hex_text.h"

#include <gtest/gtest.h>

namespace velkan {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HexToBytes, PairsGiveBytesAndEveryCharacterGivesANibble) {
  EXPECT_EQ(HexToBytes("20000008FF"), (Bytes{0x20, 0x00, 0x00, 0x08, 0xFF}));
  EXPECT_EQ(HexToBytes("abCD"), (Bytes{0xAB, 0xCD}));
  // No validation: 'G' is 0x47 -> 7, ':' is 0x3A -> 10, a space 0.
  EXPECT_EQ(HexToBytes("1G"), (Bytes{0x17}));
  EXPECT_EQ(HexToBytes(": "), (Bytes{0xA0}));
  // Odd length: the last byte's low nibble is 0.
  EXPECT_EQ(HexToBytes("ABC"), (Bytes{0xAB, 0xC0}));
  EXPECT_TRUE(HexToBytes("").empty());
}

TEST(IsHexText, AcceptsDigitsLettersAndSpacesUpToN) {
  EXPECT_TRUE(IsHexText("09afAF ", 7));
  EXPECT_FALSE(IsHexText("0G", 2));
  EXPECT_TRUE(IsHexText("0G", 1));  // only the first n count
  EXPECT_FALSE(IsHexText("0", 2));  // shorter than n
  EXPECT_FALSE(IsHexText("0\t", 2));
  EXPECT_TRUE(IsHexText("", 0));
}

TEST(BytesToHex, UpperCasePairsWithSeparator) {
  const std::uint8_t bytes[] = {0x00, 0x9a, 0xFF};
  EXPECT_EQ(BytesToHex(bytes, 3), "009AFF");
  EXPECT_EQ(BytesToHex(bytes, 3, " "), "00 9A FF ");
}

}  // namespace
}  // namespace velkan
