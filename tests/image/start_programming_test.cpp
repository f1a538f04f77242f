#include "image/start_programming.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "common/codepage.h"
#include "image/hex_builder.h"
#include "image/scripted_dialogs.h"

namespace velkan {
namespace {

using testing::Bytes;
using testing::Data;
using testing::EndOfFile;
using testing::Lines;
using testing::ScriptedDialogs;

const std::string kSixteenBytesLine =
    "I-CMD\tDC 00 40 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ";

class StartProgrammingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           PathFromUtf8("velkan 映像测试 " +
                        std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Writes `content` to a file named `name` (UTF-8) and returns its UTF-8 path.
  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::filesystem::path path = dir_ / PathFromUtf8(name);
    std::ofstream(path, std::ios::binary) << content;
    return PathToUtf8(path);
  }

  std::filesystem::path dir_;
};

TEST_F(StartProgrammingTest, BuildsTheScriptFromAFileWithANonAsciiNameAndCrLf) {
  const std::string path =
      WriteFile("程序 ä.hex", Lines({Data(0x2000, Bytes(16, 0)), EndOfFile()}, "\r\n"));
  ScriptedDialogs dialogs;
  ScriptTable script = {{1, "old"}, {2, "old"}, {50, "old"}};
  ASSERT_TRUE(StartProgramming(dialogs, path, true, script));
  EXPECT_TRUE(dialogs.shown.empty());
  EXPECT_EQ(script, (ScriptTable{{1, "REBOOT"},
                                 {2, "I-ADDR \t00"},
                                 {3, "I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF"},
                                 {4, "I-CMD \t07 00 00 00"},
                                 {5, kSixteenBytesLine},
                                 {6, "I-CMD\t40 00 00 02 EA 62 "},
                                 {7, "I-CMD\t08 01 00 00"}}));
}

#if !defined(_WIN32)
// The file is opened and read once: a FIFO whose writer writes the file once
// gives the whole script; a missing file says why.
TEST_F(StartProgrammingTest, ReadsTheFileOnceSoAFifoWorks) {
  const std::filesystem::path fifo = dir_ / "image.hex";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string text = Lines({Data(0x2000, Bytes(16, 0x00, 1)), EndOfFile()});
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << text; });
  ScriptedDialogs dialogs;
  ScriptTable script;
  std::string why = "stale";
  EXPECT_TRUE(StartProgramming(dialogs, PathToUtf8(fifo), false, script, &why));
  writer.join();
  EXPECT_EQ(why, "");
  ASSERT_EQ(script.size(), 7u);
  EXPECT_EQ(script.at(5).substr(0, kSixteenBytesLine.size()), kSixteenBytesLine);

  EXPECT_FALSE(StartProgramming(dialogs, PathToUtf8(dir_ / "none.hex"), false, script, &why));
  EXPECT_EQ(why, "no such file");
  EXPECT_EQ(dialogs.shown.back().text, "hex文件打开错误！");
}
#endif

TEST_F(StartProgrammingTest, EmptyFileGivesSixLines) {
  ScriptedDialogs dialogs;
  ScriptTable script;
  ASSERT_TRUE(StartProgramming(dialogs, WriteFile("empty.hex", ""), false, script));
  ASSERT_EQ(script.size(), 6u);
  EXPECT_EQ(script[5], "I-CMD\t40 00 00 02 1E F0 ");
  EXPECT_EQ(script[6], "I-CMD\t08 00 00 00");
}

TEST_F(StartProgrammingTest, ZeroCountRecordRaisesTheEndButSendsNothing) {
  // End address 0x2081; block 0x41 holds only fill and gives no line.
  ScriptedDialogs dialogs;
  ScriptTable script;
  const std::string text = Lines({Data(0x2000, Bytes(16, 0)),
                                  ":00208100"
                                  "5F"});
  ASSERT_TRUE(StartProgramming(dialogs, WriteFile("zero.hex", text), false, script));
  ASSERT_EQ(script.size(), 7u);
  EXPECT_TRUE(script[5].starts_with("I-CMD\tDC 00 40 80 00 01 "));
  EXPECT_EQ(script[6], "I-CMD\t40 00 00 02 EA 62 ");
}

TEST_F(StartProgrammingTest, AbortsKeepThePreviousScriptAndShowTheirMessage) {
  const ScriptTable previous = {{1, "REBOOT"}, {2, "I-CMD\t08 00 00 00"}};
  struct Case {
    std::string path;
    std::deque<MsgResult> answers;
    std::vector<std::pair<std::string, std::string>> boxes;  // text, caption
  };
  const std::string outside = Data(0x1FF0, Bytes(16, 0));
  const std::vector<Case> cases = {
      {"", {}, {{"请打开hex文件！", "提示"}}},
      {PathToUtf8(dir_ / PathFromUtf8("缺少.hex")), {}, {{"hex文件打开错误！", "提示"}}},
      {PathToUtf8(dir_), {}, {{"hex文件打开错误！", "提示"}}},  // a folder
      {WriteFile("outside.hex", Lines({Data(0x2000, {1}), outside})),
       {MsgResult::kNo},
       {{outside + "\n地址超出芯片APP区域，是否忽略继续", "地址非法"}}},
#ifndef _WIN32
      // Endless input is refused after a bound, not read until memory runs out.
      {"/dev/zero", {}, {{"hex文件过大，不能装载！", "提示"}}},
#endif
  };
  for (const Case& c : cases) {
    ScriptedDialogs dialogs(c.answers);
    ScriptTable script = previous;
    EXPECT_FALSE(StartProgramming(dialogs, c.path, true, script)) << c.path;
    EXPECT_EQ(script, previous) << c.path;
    ASSERT_EQ(dialogs.shown.size(), c.boxes.size()) << c.path;
    for (std::size_t i = 0; i < c.boxes.size(); ++i) {
      EXPECT_EQ(dialogs.shown[i].text, c.boxes[i].first);
      EXPECT_EQ(dialogs.shown[i].caption, c.boxes[i].second);
    }
  }
}

TEST_F(StartProgrammingTest, YesDropsTheRecordAndASecondPressReplacesTheScript) {
  const std::string path = WriteFile(
      "mixed.hex", Lines({Data(0x2000, Bytes(16, 0)), Data(0xA000, {1}), Data(0x9F80, {2})}));
  ScriptedDialogs dialogs({MsgResult::kYes});
  ScriptTable script;
  ASSERT_TRUE(StartProgramming(dialogs, path, false, script));
  ASSERT_EQ(script.size(), 8u);
  EXPECT_EQ(script[6], "I-CMD\tDC 01 3F 01 02 ");

  WriteFile("mixed.hex", Lines({Data(0x2000, Bytes(16, 0))}, "\r\n"));
  ScriptedDialogs again;
  ASSERT_TRUE(StartProgramming(again, path, false, script));
  ASSERT_EQ(script.size(), 7u);
  EXPECT_EQ(script[5], kSixteenBytesLine);
  EXPECT_EQ(script[6], "I-CMD\t40 00 00 02 EA 62 ");
}

}  // namespace
}  // namespace velkan
