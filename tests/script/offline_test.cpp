#include <gtest/gtest.h>

#include "emulated_programmer.h"
#include "script/runs.h"
#include "test_page.h"

namespace velkan::test {
namespace {

using emu::OfflineRecord;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kOpened = "打开设备成功！\r\n";
constexpr const char* kLoading = "脱机程序装载...\r\n";
constexpr const char* kStoredTail =
    "脱机文件装载正确！\r\n熔断位未选择，可重复编程！\r\n"
    "\r\n请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！\r\n";

class OfflineRunTest : public EmulatedProgrammerTest {
 protected:
  void SetScript(const std::vector<std::string>& lines) {
    page_.Script().clear();
    std::int32_t n = 1;
    for (const std::string& line : lines) page_.Script()[n++] = line;
  }
  TestPage page_;
};

TEST_F(OfflineRunTest, GeneratedScriptBecomesNumberedRecords) {
  const ChipImage image = PatternImage(3);
  page_.Script() = ProgrammingScript(image, false);
  page_.SetHexPath("C:\\work\\fw\\app.hex");
  EXPECT_EQ(page_.Offline().result, 0);

  const auto records = emulator_->OfflineRecords();
  ASSERT_EQ(records.size(), 11u);
  EXPECT_EQ(records[0], (OfflineRecord{0, 0x02, {}}));
  EXPECT_EQ(records[1], (OfflineRecord{1, 0x15, {}}));
  EXPECT_EQ(records[2], (OfflineRecord{2, 0x10, {0x00}}));
  EXPECT_EQ(
      records[3],
      (OfflineRecord{3, 0x11, {0x20, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));
  EXPECT_EQ(records[4], (OfflineRecord{4, 0x11, {0x07, 0, 0, 0}}));
  for (int block = 0; block < 3; ++block) {
    const OfflineRecord& r = records[5 + block];
    EXPECT_EQ(r.number, 5 + block);
    EXPECT_EQ(r.kind, 0x11);
    Bytes expected{0xDC, 0x00, static_cast<std::uint8_t>(0x40 + block), 0x80};
    expected.insert(expected.end(), image.begin() + block * 128, image.begin() + block * 128 + 128);
    EXPECT_EQ(r.content, expected);
  }
  const std::uint16_t crc = Crc16Xmodem(image.data(), image.size());
  EXPECT_EQ(records[8], (OfflineRecord{8,
                                       0x11,
                                       {0x40, 0, 0, 2, static_cast<std::uint8_t>(crc >> 8),
                                        static_cast<std::uint8_t>(crc & 0xFF)}}));
  EXPECT_EQ(records[9], (OfflineRecord{9, 0x11, {0x08, 0, 0, 0}}));
  EXPECT_EQ(records[10], (OfflineRecord{10, 0x03, {}}));
  EXPECT_EQ(emulator_->OfflineName(), "app.hex");

  // Record 2 as it travels: number low, high, kind, length, content.
  const auto requests = emulator_->Requests();
  std::vector<Bytes> sent;
  for (const auto& r : requests) {
    if (r.command == 0x7D) sent.push_back(r.data);
  }
  ASSERT_EQ(sent.size(), 11u);
  EXPECT_EQ(sent[0], (Bytes{0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(sent[2], (Bytes{0x02, 0x00, 0x10, 0x01, 0x00}));
  EXPECT_EQ(sent[10], (Bytes{0x0A, 0x00, 0x03, 0x00}));

  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kLoading + kStoredTail);
  EXPECT_EQ(page_.LogBox(), page_.LogText());
  EXPECT_EQ(page_.Tails(), (std::vector<std::string>{"11%", "22%", "33%", "44%", "55%", "66%",
                                                     "77%", "88%", "100%"}));
  EXPECT_GT(ReaderHandle(), 0);
}

TEST_F(OfflineRunTest, SkippedLinesTakeNoNumber) {
  SetScript({"REBOOT", "  ; comment", "", "I-ADDR \t A0", "DELAY 0A", "CHG-I", "CHG-C", "RESET",
             "REPOWER", "I-READ 9000", "I-WRITE 01", "C-APDU 00A4", "C-RPDU 9000"});
  page_.SetHexPath("app.hex");
  page_.Offline();
  const std::vector<OfflineRecord> expected = {
      {0, 0x02, {}},
      {1, 0x15, {}},
      {2, 0x10, {0xA0}},
      {3, 0x22, {0x0A}},
      {4, 0x21, {}},
      {5, 0x20, {}},
      {6, 0x06, {}},
      {7, 0x14, {}},
      {8, 0x13, {0x90, 0x00}},
      {9, 0x12, {0x01}},
      {10, 0x04, {0x00, 0xA4}},
      {11, 0x05, {0x90, 0x00}},
      {12, 0x03, {}},
  };
  EXPECT_EQ(emulator_->OfflineRecords(), expected);
  EXPECT_EQ(emulator_->OfflineName(), "app.hex");  // no separator: the whole path
  EXPECT_EQ(page_.Tails().front(), "7%");          // line 1 of 13
}

TEST_F(OfflineRunTest, EmptyScriptAndForwardSlashPath) {
  SetScript({});
  page_.SetHexPath("/home/user/firmware/out.hex");
  page_.SetFuse(true);
  page_.Offline();
  EXPECT_EQ(emulator_->OfflineRecords(),
            (std::vector<OfflineRecord>{{0, 0x02, {}}, {1, 0x03, {}}}));
  EXPECT_EQ(emulator_->OfflineName(), "out.hex");
  EXPECT_EQ(page_.LogText(),
            std::string(kOpened) + kLoading +
                "脱机文件装载正确！\r\n熔断位已选择，编程后将锁死，不能再编程！\r\n"
                "\r\n请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！\r\n");
}

TEST_F(OfflineRunTest, NonAsciiNameIsStoredInTheSystemCodePage) {
  SetScript({"REBOOT"});
  page_.SetHexPath("D:\\固件\\芯片程序.hex");
  page_.Offline();
  EXPECT_EQ(emulator_->OfflineName(), ToSystemCodePage("芯片程序.hex"));
}

TEST_F(OfflineRunTest, EraseFailureClosesAndTheNextRunReopens) {
  SetScript({"REBOOT"});
  emulator_->InjectFault(FaultAtCommand(emu::FaultKind::kStatus, 0x7C));
  const RunOutcome outcome = page_.Offline();
  EXPECT_EQ(outcome.result, -1);
  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kLoading + "擦除原有数据错误！\r\n");
  EXPECT_EQ(ReaderHandle(), 0);
  EXPECT_EQ(page_.Offline().result, 0);
  EXPECT_EQ(page_.LogText().rfind(kOpened, 0), 0u);
}

TEST_F(OfflineRunTest, UnsupportedLineKeepsTheProgrammerOpen) {
  SetScript({"REBOOT", "I-ADDR 00", "write 01", "REBOOT"});
  const RunOutcome outcome = page_.Offline();
  EXPECT_EQ(outcome.result, 3);
  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kLoading + "write01命令不被支持！\r\n");
  EXPECT_EQ(emulator_->OfflineRecords(),
            (std::vector<OfflineRecord>{{0, 0x02, {}}, {1, 0x15, {}}, {2, 0x10, {0x00}}}));
  EXPECT_GT(ReaderHandle(), 0);
}

TEST_F(OfflineRunTest, RecordFailureShowsTheArgumentText) {
  SetScript({"REBOOT", "I-CMD 07 00 00 00"});
  emulator_->InjectFault(FaultAtExchange(emu::FaultKind::kBadCheck, 4));  // re-power, erase,
                                                                          // begin, record 1
  EXPECT_EQ(page_.Offline().result, -1);
  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kLoading + "07000000写入命令错误！\r\n");
  EXPECT_EQ(ReaderHandle(), 0);
}

// A script that was stored before; refusals must leave it in place.
class OfflineRefusalTest : public OfflineRunTest {
 protected:
  void SetUp() override {
    OfflineRunTest::SetUp();
    SetScript({"REBOOT"});
    page_.SetHexPath("old.hex");
    page_.Offline();
    stored_ = emulator_->OfflineRecords();
    exchanges_ = emulator_->ExchangeCount();
    page_.ClearRecords();
  }
  void ExpectRefused(const std::string& text) {
    const RunOutcome outcome = page_.Offline();
    EXPECT_EQ(outcome.result, 4);
    EXPECT_EQ(page_.LogText(), text);
    EXPECT_EQ(page_.LogBox(), text);
    EXPECT_EQ(emulator_->ExchangeCount(), exchanges_);
    EXPECT_EQ(emulator_->OfflineRecords(), stored_);
    EXPECT_EQ(emulator_->OfflineName(), "old.hex");
  }
  std::vector<OfflineRecord> stored_;
  std::uint64_t exchanges_ = 0;
};

TEST_F(OfflineRefusalTest, LineBeyond255BytesIsRefusedBeforeTheErase) {
  const std::string text(512, 'A');  // 256 bytes
  SetScript({"REBOOT", "I-WRITE " + text});
  ExpectRefused(text + "数据超过255字节，不能装载！\r\n");
  const std::string huge(600, '1');  // beyond the argument buffer too
  SetScript({"C-APDU" + huge});
  page_.ClearRecords();
  ExpectRefused(huge + "数据超过255字节，不能装载！\r\n");
}

TEST_F(OfflineRefusalTest, NameBeyond255BytesIsRefusedBeforeTheErase) {
  SetScript({"REBOOT"});
  page_.SetHexPath("C:\\" + std::string(252, 'n') + ".hex");
  ExpectRefused("下载文件名超过255字节，不能装载！\r\n");
}

TEST_F(OfflineRefusalTest, RecordNumbersMustNotWrap) {
  std::vector<std::string> lines(65535, "CHG-I");
  SetScript(lines);
  ExpectRefused("脚本超过65534行，不能装载！\r\n");
}

TEST_F(OfflineRunTest, LargestLineAndNameAreStored) {
  const std::string text(510, 'C');  // 255 bytes
  SetScript({"I-WRITE " + text});
  const std::string name = std::string(251, 'n') + ".hex";
  page_.SetHexPath("C:\\" + name);
  EXPECT_EQ(page_.Offline().result, 0);
  const auto records = emulator_->OfflineRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].content, Bytes(255, 0xCC));
  EXPECT_EQ(emulator_->OfflineName(), name);
}

}  // namespace
}  // namespace velkan::test
