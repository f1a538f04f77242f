#include "image/hex_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "image/chip_image.h"
#include "image/hex_builder.h"
#include "image/scripted_dialogs.h"

namespace velkan {
namespace {

using testing::Bytes;
using testing::Data;
using testing::EndOfFile;
using testing::LinearBase;
using testing::Lines;
using testing::ScriptedDialogs;
using testing::SegmentBase;

constexpr std::string_view kQuestionTail = "\n地址超出芯片APP区域，是否忽略继续";

struct Loaded {
  HexLoadResult result;
  HexFile file;
  std::unique_ptr<ChipImage> image;
};

Loaded Load(const std::string& text, ScriptedDialogs& dialogs) {
  Loaded loaded;
  loaded.result = ReadHexText(dialogs, text, loaded.file);
  if (loaded.result == HexLoadResult::kOk) loaded.image = BuildChipImage(loaded.file.lines);
  return loaded;
}

std::vector<std::string> TableLines(const HexFile& file) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < file.lines.size(); ++i) lines.emplace_back(file.lines.Line(i));
  return lines;
}

std::uint8_t At(const ChipImage& image, std::uint32_t chipAddress) {
  return image[chipAddress - kAppStart];
}

TEST(ReadHexText, TrimsSkipsBlankLinesAndKeepsEveryOtherLineInOrder) {
  ScriptedDialogs dialogs;
  const std::string text = "  \t" + Data(0x2000, {1, 2}) + " \t\r\n\r\n   \n\t\r\n" +
                           ":0400000312345678E5\r\n" + ":00000005FB\n" + "garbage\n" +
                           EndOfFile();  // no line end after the last line
  const Loaded loaded = Load(text, dialogs);
  ASSERT_EQ(loaded.result, HexLoadResult::kOk);
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_EQ(TableLines(loaded.file),
            (std::vector<std::string>{Data(0x2000, {1, 2}), ":0400000312345678E5", ":00000005FB",
                                      "garbage", EndOfFile()}));
  EXPECT_EQ(loaded.file.endAddress, 0x2002u);
  EXPECT_EQ(At(*loaded.image, 0x2000), 1);
  EXPECT_EQ(At(*loaded.image, 0x2001), 2);
  EXPECT_EQ(At(*loaded.image, 0x2002), 0xFF);
}

TEST(ReadHexText, RegionBoundsAskOnlyForRecordsReachingOutside) {
  // Inside: starts at 0x2000, ends exactly at 0xA000. Outside: starts at
  // 0x1FFF, ends at 0xA001, although nearly all of them lies inside.
  const std::string inside = Lines({Data(0x2000, Bytes(16, 0)), Data(0x9FF0, Bytes(16, 0x40))});
  ScriptedDialogs quiet;
  const Loaded ok = Load(inside, quiet);
  ASSERT_EQ(ok.result, HexLoadResult::kOk);
  EXPECT_TRUE(quiet.shown.empty());
  EXPECT_EQ(ok.file.endAddress, 0xA000u);
  EXPECT_EQ(At(*ok.image, 0x9FFF), 0x4F);

  for (const std::string& outside : {Data(0x1FFF, Bytes(16, 0)), Data(0x9FF1, Bytes(16, 0))}) {
    ScriptedDialogs dialogs({MsgResult::kYes});
    const Loaded loaded = Load(Lines({Data(0x3000, {7}), outside, Data(0x3001, {8})}), dialogs);
    ASSERT_EQ(loaded.result, HexLoadResult::kOk);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, outside + std::string(kQuestionTail));
    EXPECT_EQ(dialogs.shown[0].caption, "地址非法");
    EXPECT_EQ(dialogs.shown[0].buttons, MsgButtons::kYesNo);
    // Yes drops only that record; the others keep consecutive numbers.
    EXPECT_EQ(TableLines(loaded.file),
              (std::vector<std::string>{Data(0x3000, {7}), Data(0x3001, {8})}));
    EXPECT_EQ(loaded.file.endAddress, 0x3002u);
    EXPECT_EQ(std::count(loaded.image->begin(), loaded.image->end(), 0xFF), 0x8000 - 2);
  }
}

TEST(ReadHexText, NoEndsThePassWithoutResult) {
  ScriptedDialogs dialogs({MsgResult::kYes, MsgResult::kNo});
  HexFile file;
  file.endAddress = 1234;
  const std::string text = Lines({Data(0x1000, {1}), Data(0xA000, {2}), Data(0x0000, {3})});
  EXPECT_EQ(ReadHexText(dialogs, text, file), HexLoadResult::kDeclined);
  EXPECT_EQ(dialogs.shown.size(), 2u);  // the third record is never reached
  EXPECT_EQ(file.endAddress, 1234u);    // untouched
}

TEST(ReadHexText, BaseRecordsLastOneWinsAndIsNeverAdded) {
  {
    // "02" 0x1000 -> base 0x10000: address 0 lands outside. "04" 0 -> plain.
    ScriptedDialogs dialogs({MsgResult::kYes});
    const Loaded loaded = Load(
        Lines({SegmentBase(0x1000), Data(0x0000, {1}), LinearBase(0), Data(0x2000, {2})}), dialogs);
    ASSERT_EQ(loaded.result, HexLoadResult::kOk);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, Data(0x0000, {1}) + std::string(kQuestionTail));
    EXPECT_EQ(loaded.file.lines.size(), 3u);
    EXPECT_EQ(At(*loaded.image, 0x2000), 2);
  }
  {
    // "04" then "02": the segment base replaces the linear one (0x200 * 16).
    ScriptedDialogs dialogs;
    const Loaded loaded =
        Load(Lines({LinearBase(0x0001), SegmentBase(0x0200), Data(0x0010, {0xAB})}), dialogs);
    ASSERT_EQ(loaded.result, HexLoadResult::kOk);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(At(*loaded.image, 0x2010), 0xAB);
    EXPECT_EQ(loaded.file.endAddress, 0x2011u);
  }
  {
    // An address record without hex digits in its field clears the base.
    ScriptedDialogs dialogs;
    const Loaded loaded =
        Load(Lines({SegmentBase(0x0200), ":02000002zzzz00", Data(0x2000, {5})}), dialogs);
    ASSERT_EQ(loaded.result, HexLoadResult::kOk);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(At(*loaded.image, 0x2000), 5);
  }
}

TEST(ReadHexText, SumsAboveFourGigabytesAreOutsideNotWrappedAround) {
  // Base 0xFFFF0000 + 0xFFFF + 16 wraps to 0x0F in 32 bits.
  ScriptedDialogs dialogs({MsgResult::kYes});
  const std::string wrapping = Data(0xFFFF, Bytes(16, 0x11));
  const Loaded loaded = Load(Lines({LinearBase(0xFFFF), wrapping}), dialogs);
  ASSERT_EQ(loaded.result, HexLoadResult::kOk);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].text, wrapping + std::string(kQuestionTail));
  EXPECT_EQ(loaded.file.endAddress, 0u);
  EXPECT_TRUE(std::all_of(loaded.image->begin(), loaded.image->end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(ReadHexText, RecordsAfterEndOfFileAreCheckedButNeverPlaced) {
  ScriptedDialogs dialogs({MsgResult::kYes, MsgResult::kYes});
  const Loaded loaded = Load(Lines({Data(0x2000, {1}), EndOfFile(), Data(0x3000, {2}),
                                    Data(0x0100, {3}), LinearBase(1), Data(0x2000, {4})}),
                             dialogs);
  ASSERT_EQ(loaded.result, HexLoadResult::kOk);
  EXPECT_EQ(dialogs.shown.size(), 2u);         // 0x0100 and 0x12000
  EXPECT_EQ(loaded.file.endAddress, 0x3001u);  // raised by the record after "01"
  EXPECT_EQ(loaded.file.lines.size(), 4u);
  EXPECT_EQ(At(*loaded.image, 0x2000), 1);
  EXPECT_EQ(At(*loaded.image, 0x3000), 0xFF);
}

TEST(BuildChipImage, OverlapsChecksumsCaseAndZeroCounts) {
  ScriptedDialogs dialogs;
  std::string lower = Data(0x2100, {0xAB, 0xCD});
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  const Loaded loaded = Load(Lines({
                                 Data(0x2000, {1, 2, 3, 4}), Data(0x2002, {9}),  // later line wins
                                 ":02201000AABB00",  // wrong checksum, placed anyway
                                 lower,
                                 ":00300000D0",  // count 0: raises the end only
                             }),
                             dialogs);
  ASSERT_EQ(loaded.result, HexLoadResult::kOk);
  EXPECT_TRUE(dialogs.shown.empty());
  const ChipImage& image = *loaded.image;
  EXPECT_EQ(At(image, 0x2000), 1);
  EXPECT_EQ(At(image, 0x2002), 9);
  EXPECT_EQ(At(image, 0x2003), 4);
  EXPECT_EQ(At(image, 0x2010), 0xAA);
  EXPECT_EQ(At(image, 0x2011), 0xBB);
  EXPECT_EQ(At(image, 0x2100), 0xAB);
  EXPECT_EQ(At(image, 0x2101), 0xCD);
  EXPECT_EQ(At(image, 0x3000), 0xFF);
  EXPECT_EQ(loaded.file.endAddress, 0x3000u);
}

TEST(BuildChipImage, ShortDataLineTakesChecksumThenZeros) {
  ScriptedDialogs dialogs;
  // Count 16, but only "AABB" and "CC" (which would be the checksum) follow.
  const Loaded loaded = Load(":10200000AABBCC\n", dialogs);
  ASSERT_EQ(loaded.result, HexLoadResult::kOk);
  const ChipImage& image = *loaded.image;
  EXPECT_EQ(At(image, 0x2000), 0xAA);
  EXPECT_EQ(At(image, 0x2001), 0xBB);
  EXPECT_EQ(At(image, 0x2002), 0xCC);
  for (std::uint32_t a = 0x2003; a < 0x2010; ++a) EXPECT_EQ(At(image, a), 0) << a;
  EXPECT_EQ(At(image, 0x2010), 0xFF);
}

TEST(BuildChipImage, LongLinesPlaceOnlyTheCountedBytes) {
  ScriptedDialogs dialogs;
  // 255 data bytes: 521 characters, more than a 512-byte working buffer.
  const std::string full = Data(0x2000, Bytes(255, 0x10));
  ASSERT_EQ(full.size(), 521u);
  // Count 2 followed by thousands of characters.
  const std::string trailing = ":02300000" + std::string(5000, '7');
  const Loaded loaded = Load(Lines({full, trailing}), dialogs);
  ASSERT_EQ(loaded.result, HexLoadResult::kOk);
  EXPECT_TRUE(dialogs.shown.empty());
  const ChipImage& image = *loaded.image;
  EXPECT_EQ(At(image, 0x2000), 0x10);
  EXPECT_EQ(At(image, 0x20FE), static_cast<std::uint8_t>(0x10 + 254));
  EXPECT_EQ(At(image, 0x20FF), 0xFF);
  EXPECT_EQ(At(image, 0x3000), 0x77);
  EXPECT_EQ(At(image, 0x3001), 0x77);
  EXPECT_EQ(At(image, 0x3002), 0xFF);
}

TEST(ReadHexText, MalformedCountOrAddressIsAskedAbout) {
  // Non-hex characters in the count or address field would read differently
  // in the two passes; such records are treated as lying outside.
  for (const std::string bad : {":1G20000000", ":102 000000", ":10-2000000", ":1\t200000"}) {
    ScriptedDialogs dialogs({MsgResult::kYes});
    const Loaded loaded = Load(bad + "00112233\n", dialogs);
    ASSERT_EQ(loaded.result, HexLoadResult::kOk) << bad;
    EXPECT_EQ(dialogs.shown.size(), 1u) << bad;
    EXPECT_EQ(loaded.file.lines.size(), 0u) << bad;
  }
}

TEST(ReadHexText, BinaryGarbageGivesAReadableQuestion) {
  std::string garbage;
  for (int i = 0; i < 3000; ++i) {
    const char c = static_cast<char>((i * 37 + 11) & 0xFF);
    garbage += c == '\n' ? '\0' : c;
  }
  // Type "00" with a malformed count: the question shows the line.
  ScriptedDialogs dialogs({MsgResult::kYes});
  HexFile file;
  EXPECT_EQ(ReadHexText(dialogs,
                        ":\xff\xfe"
                        "20000000" +
                            garbage + "\n" + Data(0x2000, {1}),
                        file),
            HexLoadResult::kOk);
  ASSERT_EQ(dialogs.shown.size(), 1u);
  const std::string& text = dialogs.shown[0].text;
  EXPECT_TRUE(text.starts_with(":??2000"));
  EXPECT_TRUE(text.ends_with(std::string("...") + std::string(kQuestionTail)));
  EXPECT_LE(text.size(), 1024 + 3 + kQuestionTail.size());
  const std::string_view shown =
      std::string_view(text).substr(0, text.size() - kQuestionTail.size());
  EXPECT_TRUE(std::none_of(shown.begin(), shown.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F;
  }));
  EXPECT_EQ(file.lines.size(), 1u);
}

}  // namespace
}  // namespace velkan
