#include "image/script_generator.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "image/crc16.h"
#include "image/hex_builder.h"

namespace velkan {
namespace {

using testing::Bytes;

const std::vector<std::string> kHeader = {
    "REBOOT", "I-ADDR \t00", "I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF", "I-CMD \t07 00 00 00"};
constexpr std::string_view kNoFuse = "I-CMD\t08 00 00 00";

std::unique_ptr<ChipImage> Erased() {
  return AllocateChipImage();
}

void Put(ChipImage& image, std::uint32_t chipAddress, const std::vector<std::uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), image.begin() + (chipAddress - kAppStart));
}

// The lines in order, after checking that the numbers are 1..N.
std::vector<std::string> Generate(const ChipImage& image, std::uint32_t end, bool fuse = false) {
  ScriptTable script = {{99, "stale"}};
  EXPECT_TRUE(GenerateScript(image, end, fuse, script));
  std::vector<std::string> lines;
  std::int32_t expected = 1;
  for (const auto& [number, line] : script) {
    EXPECT_EQ(number, expected++);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> With(std::vector<std::string> middle, std::string_view fuse = kNoFuse) {
  std::vector<std::string> lines = kHeader;
  lines.insert(lines.end(), middle.begin(), middle.end());
  lines.emplace_back(fuse);
  return lines;
}

TEST(Crc16Xmodem, KnownValues) {
  EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x31C3);
  const auto image = Erased();
  EXPECT_EQ(Crc16Xmodem(image->data(), image->size()), 0x1EF0);
}

TEST(GenerateScript, SixteenBytesAtTheRegionStartGiveSevenLines) {
  const auto image = Erased();
  Put(*image, 0x2000, Bytes(16, 0));
  EXPECT_EQ(Generate(*image, 0x2010),
            With({"I-CMD\tDC 00 40 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ",
                  "I-CMD\t40 00 00 02 EA 62 "}));
}

TEST(GenerateScript, EmptyImageGivesHeaderCrcAndFuseLine) {
  const auto image = Erased();
  EXPECT_EQ(Generate(*image, 0), With({"I-CMD\t40 00 00 02 1E F0 "}));
  EXPECT_EQ(Generate(*image, 0, true), With({"I-CMD\t40 00 00 02 1E F0 "}, "I-CMD\t08 01 00 00"));
}

TEST(GenerateScript, FullRegionGivesAllBlocks) {
  const auto image = Erased();
  for (std::size_t i = 0; i < image->size(); ++i) (*image)[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<std::string> lines = Generate(*image, kAppEnd);
  ASSERT_EQ(lines.size(), 262u);
  for (std::uint32_t b = 0; b < 256; ++b) {
    const std::string& line = lines[4 + b];
    const std::uint32_t block = 0x40 + b;
    char head[32];
    std::snprintf(head, sizeof head, "I-CMD\tDC %02X %02X 80 ", block >> 8, block & 0xFF);
    ASSERT_TRUE(line.starts_with(head)) << line;
    ASSERT_EQ(line.size(), 6 + 3 * 132u);
    const std::uint8_t* data = image->data() + b * 128;
    EXPECT_EQ(line.substr(6 + 12), BytesToHex(data, 128, " "));
  }
  const std::uint16_t crc = Crc16Xmodem(image->data(), image->size());
  const std::uint8_t crcBytes[] = {
      0x40, 0, 0, 2, static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
  EXPECT_EQ(lines[260], "I-CMD\t" + BytesToHex(crcBytes, 6, " "));
}

TEST(GenerateScript, LastBlockIsCutAtTheEndAddressAndErasedBlocksAreSkipped) {
  const auto image = Erased();
  (*image)[0] = 0x00;
  (*image)[0x80] = 0x5A;
  (*image)[0x81] = 0x00;  // beyond the end address: not sent, but in the CRC
  const std::vector<std::string> lines = Generate(*image, 0x2081);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_TRUE(lines[4].starts_with("I-CMD\tDC 00 40 80 00 FF FF "));
  EXPECT_EQ(lines[5], "I-CMD\tDC 00 41 01 5A ");
  const std::uint16_t crc = Crc16Xmodem(image->data(), image->size());
  char crcLine[64];
  std::snprintf(crcLine, sizeof crcLine, "I-CMD\t40 00 00 02 %02X %02X ", crc >> 8, crc & 0xFF);
  EXPECT_EQ(lines[6], crcLine);

  // Blocks holding only 0xFF (from the file or the fill) give no line; a
  // block with one other byte is sent whole.
  const auto sparse = Erased();
  Put(*sparse, 0x2000, std::vector<std::uint8_t>(128, 0xFF));
  (*sparse)[0x100 + 127] = 0xFE;
  (*sparse)[0x7F80] = 0x01;
  const std::vector<std::string> sparseLines = Generate(*sparse, kAppEnd);
  ASSERT_EQ(sparseLines.size(), 8u);
  EXPECT_TRUE(sparseLines[4].starts_with("I-CMD\tDC 00 42 80 FF "));
  EXPECT_TRUE(sparseLines[4].ends_with(" FE "));
  EXPECT_TRUE(sparseLines[5].starts_with("I-CMD\tDC 01 3F 80 01 FF "));
}

}  // namespace
}  // namespace velkan
