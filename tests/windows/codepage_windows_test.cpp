// Text in the ANSI code page and file names from UTF-8 on Windows. The GBK
// cases need the Chinese system locale (code page 936), which the test run
// selects for them alone through VELKAN_WINE_LOCALE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/codepage.h"
#include "common/hex_text.h"

namespace velkan {
namespace {

bool ChineseLocale() {
  const char* locale = std::getenv("VELKAN_WINE_LOCALE");
  return locale != nullptr && std::string(locale).rfind("zh_CN", 0) == 0;
}

TEST(WindowsCodePage, AsciiIsUnchangedAndEmptyStaysEmpty) {
  EXPECT_EQ(ToSystemCodePage(""), "");
  EXPECT_EQ(ToSystemCodePage("I-CMD 00 84 00 00 08\r\n"), "I-CMD 00 84 00 00 08\r\n");
  EXPECT_EQ(ToSystemCodePage(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(WindowsCodePageGbk, ChineseTextBecomesGbkAndUnknownCharactersQuestionMarks) {
  if (!ChineseLocale()) GTEST_SKIP() << "needs the zh_CN system locale (ANSI code page 936)";
  EXPECT_EQ(ToSystemCodePage("加密芯片"), "\xBC\xD3\xC3\xDC\xD0\xBE\xC6\xAC");
  EXPECT_EQ(ToSystemCodePage("A加"), "A\xBC\xD3");
  // Hangul is not in GBK.
  EXPECT_EQ(ToSystemCodePage("한"), "?");
  // Full-width text counts as characters for the hex check, not as digits.
  EXPECT_TRUE(IsHexText("00 A4 04", 8));
  EXPECT_FALSE(IsHexText("００", 2));
}

TEST(WindowsCodePage, NonAsciiFileNamesRoundTrip) {
  const auto dir = std::filesystem::temp_directory_path() / PathFromUtf8("velkan 测试");
  std::filesystem::create_directories(dir);
  const auto file = dir / PathFromUtf8("应用程序.hex");
  {
    std::ofstream out(file);
    out << ":00000001FF\n";
  }
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    found = found || PathToUtf8(entry.path().filename()) == "应用程序.hex";
  }
  EXPECT_TRUE(found);
  std::ifstream in(PathFromUtf8(PathToUtf8(file)));
  std::string line;
  EXPECT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, ":00000001FF");
  in.close();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velkan
