#include "script/syntax.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace velkan {
namespace {

std::vector<std::uint8_t> Bytes(const ScriptLine& line) {
  return {line.bytes.begin(), line.bytes.begin() + static_cast<std::ptrdiff_t>(line.count)};
}

TEST(ScriptSyntax, BlanksAnywhereAreRemovedAndNothingElse) {
  const ScriptLine line = ParseScriptLine("I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF ");
  ASSERT_EQ(line.kind, ScriptLine::Kind::kCommand);
  EXPECT_EQ(line.keyword, ScriptKeyword::kICmd);
  EXPECT_EQ(line.argumentText, "20000008FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Bytes(line), (std::vector<std::uint8_t>{0x20, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                    0xFF, 0xFF, 0xFF}));
  // Blanks inside the keyword join it; other whitespace stays in the line.
  EXPECT_EQ(ParseScriptLine("I- CMD\t0800").keyword, ScriptKeyword::kICmd);
  EXPECT_EQ(RemoveBlanks("A\r\nB\xC2\xA0"
                         "C"),
            "A\r\nB\xC2\xA0"
            "C");
  const ScriptLine crlf = ParseScriptLine("I-CMD 08\r\n");
  EXPECT_EQ(crlf.argumentText, "08\r\n");
}

TEST(ScriptSyntax, EmptyAndCommentLinesAreSkipped) {
  for (const char* text : {"", " \t \t", "  ;note", "\t; I-CMD 08 00 00 00", ";"}) {
    EXPECT_EQ(ParseScriptLine(text).kind, ScriptLine::Kind::kSkipped) << text;
  }
  // A ";" later in the line is no comment.
  EXPECT_EQ(ParseScriptLine("REBOOT;x").kind, ScriptLine::Kind::kCommand);
  EXPECT_EQ(ParseScriptLine("x;").kind, ScriptLine::Kind::kUnsupported);
}

TEST(ScriptSyntax, KeywordsArePrefixesAndCaseSensitive) {
  const std::vector<std::pair<const char*, ScriptKeyword>> keywords = {
      {"REBOOT", ScriptKeyword::kReboot}, {"REPOWER", ScriptKeyword::kRepower},
      {"I-CMD", ScriptKeyword::kICmd},    {"I-WRITE", ScriptKeyword::kIWrite},
      {"I-READ", ScriptKeyword::kIRead},  {"I-ADDR", ScriptKeyword::kIAddr},
      {"RESET", ScriptKeyword::kReset},   {"C-APDU", ScriptKeyword::kCApdu},
      {"C-RPDU", ScriptKeyword::kCRpdu},  {"CHG-I", ScriptKeyword::kChgI},
      {"CHG-C", ScriptKeyword::kChgC},    {"DELAY", ScriptKeyword::kDelay},
  };
  for (const auto& [text, keyword] : keywords) {
    const ScriptLine line = ParseScriptLine(std::string(text) + " 01");
    EXPECT_EQ(line.kind, ScriptLine::Kind::kCommand) << text;
    EXPECT_EQ(line.keyword, keyword) << text;
    EXPECT_EQ(KeywordText(keyword), text);
  }
  const ScriptLine now = ParseScriptLine("REBOOTNOW");
  EXPECT_EQ(now.keyword, ScriptKeyword::kReboot);
  EXPECT_EQ(now.argumentText, "NOW");
  for (const char* text : {"reboot", "i-cmd 08", "I-Cmd 08", "WRITE 01", "I-", "REBOO", "DELA"}) {
    const ScriptLine line = ParseScriptLine(text);
    EXPECT_EQ(line.kind, ScriptLine::Kind::kUnsupported) << text;
  }
  EXPECT_EQ(ParseScriptLine(" w r i t e 0 1").text, "write01");
}

TEST(ScriptSyntax, ArgumentTextGivesBytesWithoutValidation) {
  EXPECT_EQ(Bytes(ParseScriptLine("I-WRITE ABC")), (std::vector<std::uint8_t>{0xAB, 0xC0}));
  EXPECT_EQ(Bytes(ParseScriptLine("I-WRITE 1G")), (std::vector<std::uint8_t>{0x17}));
  EXPECT_EQ(Bytes(ParseScriptLine("I-WRITE af:9")), (std::vector<std::uint8_t>{0xAF, 0xA9}));
  EXPECT_EQ(ParseScriptLine("REBOOT").count, 0u);
  EXPECT_EQ(ParseScriptLine("DELAY 0100").bytes[0], 0x01);
}

TEST(ScriptSyntax, ArgumentTextBeyondTheBufferIsRefused) {
  const std::string longest(521, 'F');
  const ScriptLine fits = ParseScriptLine("I-WRITE " + longest);
  ASSERT_EQ(fits.kind, ScriptLine::Kind::kCommand);
  EXPECT_EQ(fits.count, 261u);
  EXPECT_EQ(fits.bytes[260], 0xF0);
  const ScriptLine tooLong = ParseScriptLine("I-WRITE " + longest + "F");
  EXPECT_EQ(tooLong.kind, ScriptLine::Kind::kTooLong);
  EXPECT_EQ(tooLong.count, 0u);
  EXPECT_EQ(tooLong.keyword, ScriptKeyword::kIWrite);
  // Blanks do not count.
  std::string spaced;
  for (int i = 0; i < 521; ++i) spaced += "F ";
  EXPECT_EQ(ParseScriptLine("I-WRITE" + spaced).kind, ScriptLine::Kind::kCommand);
  // A huge line is refused without reading past any buffer.
  EXPECT_EQ(ParseScriptLine("C-APDU" + std::string(100000, '0')).kind, ScriptLine::Kind::kTooLong);
}

TEST(ScriptSyntax, OfflineRecordKinds) {
  const std::vector<std::pair<ScriptKeyword, int>> kinds = {
      {ScriptKeyword::kCApdu, 0x04},  {ScriptKeyword::kCRpdu, 0x05},
      {ScriptKeyword::kReset, 0x06},  {ScriptKeyword::kIAddr, 0x10},
      {ScriptKeyword::kICmd, 0x11},   {ScriptKeyword::kIWrite, 0x12},
      {ScriptKeyword::kIRead, 0x13},  {ScriptKeyword::kRepower, 0x14},
      {ScriptKeyword::kReboot, 0x15}, {ScriptKeyword::kChgC, 0x20},
      {ScriptKeyword::kChgI, 0x21},   {ScriptKeyword::kDelay, 0x22},
  };
  for (const auto& [keyword, kind] : kinds) {
    EXPECT_EQ(OfflineRecordKind(keyword), kind) << KeywordText(keyword);
  }
}

TEST(ScriptSyntax, ProgressDividesBeforeMultiplying) {
  const std::vector<int> seven = {14, 28, 42, 57, 71, 85, 100};
  for (int line = 1; line <= 7; ++line) EXPECT_EQ(ProgressPercent(line, 7), seven[line - 1]);
  EXPECT_EQ(ProgressPercent(29, 100), 28);
  EXPECT_EQ(ProgressPercent(57, 100), 56);
  EXPECT_EQ(ProgressPercent(3, 10), 30);
  // Line numbers outside 1..N stay defined.
  EXPECT_EQ(ProgressPercent(-1, 1), INT_MAX);
  EXPECT_EQ(ProgressPercent(200, 100), 200);
}

}  // namespace
}  // namespace velkan
