#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "emulated_programmer.h"
#include "image/start_programming.h"
#include "script/runs.h"
#include "test_page.h"

namespace velkan::test {
namespace {

constexpr const char* kOpened = "打开设备成功！\r\n";
constexpr const char* kOnline = "联机编程...\r\n";

std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Runs the executor alone on an open programmer.
class ExecutorTest : public EmulatedProgrammerTest {
 protected:
  int Run(const std::vector<std::string>& lines) {
    if (ReaderHandle() == 0) SetReaderHandle(DllOpenReader());
    page_.Script().clear();
    std::int32_t n = 1;
    for (const std::string& line : lines) page_.Script()[n++] = line;
    page_.ClearLog();
    page_.ClearRecords();
    emulator_->ClearRequests();
    start_ = ElapsedMs();
    return RunOnlineScript(DefaultStation(), page_.Context(false, page_));
  }
  long long RunMs() { return ElapsedMs() - start_; }
  std::vector<std::uint8_t> Commands() {
    std::vector<std::uint8_t> commands;
    for (const auto& r : emulator_->Requests()) commands.push_back(r.command);
    return commands;
  }

  TestPage page_;
  long long start_ = 0;
};

TEST_F(ExecutorTest, EmptyScriptRepowersAndWaits) {
  EXPECT_EQ(Run({}), kRunOk);
  EXPECT_EQ(page_.LogText(), kOnline);
  EXPECT_EQ(Commands(), (std::vector<std::uint8_t>{0x72}));
  EXPECT_EQ(RunMs(), 100);
  EXPECT_EQ(page_.Displays().back(), (TestPage::Shown{kOnline, ""}));
}

TEST_F(ExecutorTest, ICmdSendsBlankFreeBytesAndAsksForTheStatusWord) {
  EXPECT_EQ(Run({"I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF ", "I-CMD\t08 00 00 00"}), kRunOk);
  const auto requests = emulator_->Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].command, 0x76);
  EXPECT_EQ(requests[0].data,
            Cat({{0x00, 12, 0}, {0x20, 0, 0, 8}, std::vector<std::uint8_t>(8, 0xFF)}));
  EXPECT_EQ(requests[1].command, 0x77);
  EXPECT_EQ(requests[1].data, (std::vector<std::uint8_t>{0x01, 0x02, 0x00}));
  EXPECT_EQ(requests[2].data, (std::vector<std::uint8_t>{0x00, 4, 0, 0x08, 0, 0, 0}));
  EXPECT_EQ(page_.LogText(), kOnline);
}

TEST_F(ExecutorTest, StatusWordFailureStopsWithTheArgumentDigits) {
  emulator_->SetFused(true);
  EXPECT_EQ(Run({"I-CMD\t08 01 00 00", "REBOOT"}), kRunStatusWord);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "08010000 错误，SW = 6985\r\n");
  // Nothing after the failing line, no final re-power, no percentage left.
  EXPECT_EQ(Commands(), (std::vector<std::uint8_t>{0x76, 0x77}));
  EXPECT_EQ(page_.Displays().back().tail, "");
  EXPECT_TRUE(page_.Tails().empty());
}

TEST_F(ExecutorTest, AddressAppliesUntilTheRunEnds) {
  EXPECT_EQ(Run({"I-WRITE 08 00 00 00", "I-ADDR A0", "I-WRITE 08 00 00 00", "I-READ 9000"}),
            kRunOk);
  auto requests = emulator_->Requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[0].data[0], 0x00);
  EXPECT_EQ(requests[1].data[0], 0xA0);
  EXPECT_EQ(requests[2].command, 0x77);
  EXPECT_EQ(requests[2].data, (std::vector<std::uint8_t>{0xA1, 0x02, 0x00}));
  EXPECT_EQ(Run({"I-WRITE 08 00 00 00"}), kRunOk);
  EXPECT_EQ(emulator_->Requests()[0].data[0], 0x00);
}

TEST_F(ExecutorTest, ReadComparesTheReceivedBytes) {
  EXPECT_EQ(Run({"I-WRITE 08000000", "I-READ 90 00"}), kRunOk);
  // A shorter reply is compared as far as it goes.
  EXPECT_EQ(Run({"I-WRITE 08000000", "I-READ 90 00 55"}), kRunOk);
  EXPECT_EQ(Run({"I-WRITE 08000000", "I-READ 90 01", "REBOOT"}), kRunDataMismatch);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "9001 比对数据错误, 返回值：90 00 ");
}

TEST_F(ExecutorTest, CardApduAndResponseCheck) {
  emulator_->SetApduResponse({0x61, 0x10});
  EXPECT_EQ(Run({"C-APDU 00 A4 00 00", "C-RPDU 61 10"}), kRunOk);
  EXPECT_EQ(emulator_->Requests()[0].data, (std::vector<std::uint8_t>{0x00, 0xA4, 0x00, 0x00}));
  EXPECT_EQ(Run({"C-APDU 00 A4 00 00", "C-RPDU 61 11"}), kRunDataMismatch);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "6111 比对数据错误, 返回值：61 10 ");
  // A reset's answer is a reply too.
  EXPECT_EQ(Run({"RESET", "C-RPDU 3B 02"}), kRunOk);
}

TEST_F(ExecutorTest, ResponseCheckBeforeAnyReplyFails) {
  EXPECT_EQ(Run({"C-RPDU 00 00"}), kRunDataMismatch);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "0000 比对数据错误, 返回值：");
  EXPECT_TRUE(Commands().empty());
}

// "C-APDU" answers land in the executor's 300-byte reply buffer: replies of
// 259 to 300 bytes pass, longer ones are refused; the exported
// Dll7816CardAPDU keeps its 258-byte area.
TEST_F(ExecutorTest, ApduRepliesFillTheWholeReplyBufferAndNoMore) {
  for (std::size_t size : {259u, 300u}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> response(size, 0x11);
    response[0] = 0x6F;
    emulator_->SetApduResponse(response);
    EXPECT_EQ(Run({"C-APDU 00 B0 00 00 00", "C-RPDU 6F1111"}), kRunOk) << page_.LogText();
  }
  emulator_->SetApduResponse(std::vector<std::uint8_t>(301, 0x90));
  EXPECT_EQ(Run({"C-APDU 00 B0 00 00 00"}), kRunCommFailure);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "00B0000000 通信错误！\r\n");

  emulator_->SetApduResponse(std::vector<std::uint8_t>(259, 0x90));
  const int handle = DllOpenReader();
  ASSERT_GT(handle, 0);
  unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  std::vector<unsigned char> response(VELKAN_APDU_RESPONSE_MAX + 64, 0);
  int length = 0;
  EXPECT_NE(Dll7816CardAPDU(handle, apdu, 5, 0, response.data(), &length), 0);
  DllCloseReader(handle);
}

TEST_F(ExecutorTest, ResetFailureHasItsOwnText) {
  emulator_->SetAnswerToReset({0x3C, 0x00});
  EXPECT_EQ(Run({"RESET"}), kRunCommFailure);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "RESET 复位错误！\r\n");
}

TEST_F(ExecutorTest, RepowerWaitsAlsoWhenItFails) {
  EXPECT_EQ(Run({"REPOWER"}), kRunOk);
  EXPECT_EQ(RunMs(), 200);
  emulator_->InjectFault(FaultAtCommand(emu::FaultKind::kWriteFail, 0x72));
  EXPECT_EQ(Run({"REPOWER", "REBOOT"}), kRunCommFailure);
  EXPECT_EQ(RunMs(), 100);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "REPOWER 通信错误！\r\n");
}

TEST_F(ExecutorTest, DelayUsesTheFirstByte) {
  EXPECT_EQ(Run({"DELAY FF"}), kRunOk);
  EXPECT_EQ(RunMs(), 255 + 100);
  EXPECT_EQ(Run({"DELAY 0100"}), kRunOk);
  EXPECT_EQ(RunMs(), 1 + 100);
}

TEST_F(ExecutorTest, UnsupportedLinesShowTheWholeLine) {
  EXPECT_EQ(Run({"i-cmd 08 00 00 00"}), kRunUnsupported);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "i-cmd08000000 命令不被支持！\r\n");
  EXPECT_EQ(Run({"CHG-I", "WRITE 01"}), kRunUnsupported);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "WRITE01 命令不被支持！\r\n");
  EXPECT_TRUE(Commands().empty());
}

TEST_F(ExecutorTest, LinesWithoutTheirValueOrBeyondTheBufferAreNotPerformed) {
  EXPECT_EQ(Run({"I-ADDR", "I-WRITE 08000000"}), kRunUnsupported);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "I-ADDR 命令不被支持！\r\n");
  EXPECT_EQ(Run({"DELAY \t"}), kRunUnsupported);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "DELAY 命令不被支持！\r\n");
  const std::string text(522, '0');
  EXPECT_EQ(Run({"I-WRITE " + text}), kRunUnsupported);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "I-WRITE" + text + " 命令不被支持！\r\n");
  EXPECT_TRUE(Commands().empty());
  // 521 characters are still sent (261 bytes).
  EXPECT_EQ(Run({"I-WRITE " + std::string(521, '0')}), kRunOk);
  EXPECT_EQ(emulator_->Requests()[0].data.size(), 3u + 261u);
}

TEST_F(ExecutorTest, ProgressFollowsPerformedLinesOnly) {
  EXPECT_EQ(Run({"CHG-I", "  ; note", "CHG-C", " \t ", "I-ADDR 00", "DELAY 00", "CHG-I"}), kRunOk);
  EXPECT_EQ(page_.Tails(), (std::vector<std::string>{"14%", "42%", "71%", "85%", "100%"}));
  for (const auto& shown : page_.Displays()) EXPECT_EQ(shown.log, kOnline);

  std::vector<std::string> hundred(100, "CHG-C");
  EXPECT_EQ(Run(hundred), kRunOk);
  const auto tails = page_.Tails();
  ASSERT_EQ(tails.size(), 100u);
  EXPECT_EQ(tails[28], "28%");
  EXPECT_EQ(tails[56], "56%");
  EXPECT_EQ(tails[99], "100%");
}

// ---- The online programming run ----

class OnlineRunTest : public EmulatedProgrammerTest {
 protected:
  TestPage page_;
};

TEST_F(OnlineRunTest, FullApplicationIsProgrammedAndChecked) {
  const ChipImage image = PatternImage();
  page_.Script() = ProgrammingScript(image, false);
  ASSERT_EQ(page_.Script().size(), 262u);
  EXPECT_EQ(page_.Online().result, 0);

  EXPECT_EQ(emulator_->Flash(), image);
  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kOnline + "下载成功！\r\n");
  EXPECT_EQ(page_.LogBox(), page_.LogText());
  const auto displays = page_.Displays();
  EXPECT_EQ(displays.front(), (TestPage::Shown{kOpened, ""}));
  EXPECT_EQ(displays[1], (TestPage::Shown{std::string(kOpened) + kOnline, ""}));
  const auto tails = page_.Tails();
  ASSERT_EQ(tails.size(), 262u);
  EXPECT_EQ(tails.back(), "100%");
  EXPECT_TRUE(page_.Boxes().empty());
  EXPECT_EQ(emulator_->Led(), 2);
  EXPECT_EQ(emulator_->Speaker(), 0);
  EXPECT_FALSE(emulator_->Fused());
  EXPECT_GT(ReaderHandle(), 0);
  // Open re-power, erase, CRC check and the closing re-power.
  EXPECT_GE(ElapsedMs(), 100 + 550 + 600 + 100);
}

// Intel HEX text of a whole image, 16 bytes per data record.
std::string HexFileText(const ChipImage& image) {
  std::string text;
  for (std::size_t offset = 0; offset < image.size(); offset += 16) {
    const unsigned address = static_cast<unsigned>(emu::kFlashBase + offset);
    std::uint8_t record[20] = {16, static_cast<std::uint8_t>(address >> 8),
                               static_cast<std::uint8_t>(address & 0xFF), 0};
    std::uint8_t sum = 0;
    for (int i = 0; i < 16; ++i) record[4 + i] = image[offset + i];
    for (std::uint8_t b : record) sum = static_cast<std::uint8_t>(sum + b);
    const std::uint8_t check = static_cast<std::uint8_t>(0x100 - sum);
    text += ":" + BytesToHex(record, 20) + BytesToHex(&check, 1) + "\r\n";
  }
  return text + ":00000001FF\r\n";
}

TEST_F(OnlineRunTest, GeneratedFromAHexFileWithTheFuse) {
  const ChipImage image = PatternImage();
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("velkan_script_full_" + std::to_string(std::random_device{}()) + ".hex");
  std::ofstream(path, std::ios::binary) << HexFileText(image);
  page_.SetFuse(true);
  ASSERT_TRUE(StartProgramming(page_, path.string(), true, page_.Script()));
  std::filesystem::remove(path);
  ASSERT_EQ(page_.Script().size(), 262u);

  EXPECT_EQ(page_.Online().result, kRunOk);
  EXPECT_EQ(emulator_->Flash(), image);
  EXPECT_TRUE(emulator_->Fused());
  EXPECT_EQ(page_.LogText(),
            std::string(kOpened) + kOnline + "下载成功！\r\n芯片已锁死，不能再编程！\r\n");

  // A second run finds the chip locked; the programmer stays open.
  const int handle = ReaderHandle();
  EXPECT_EQ(page_.Online().result, kRunStatusWord);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) +
                                 "20000008FFFFFFFFFFFFFFFF 错误，SW = 6985\r\n"
                                 "下载失败！\r\n可能芯片已熔断！\r\n");
  EXPECT_EQ(emulator_->Flash(), image);
  EXPECT_EQ(ReaderHandle(), handle);
  EXPECT_EQ(emulator_->Led(), 1);
  EXPECT_EQ(emulator_->Speaker(), 1);
}

TEST_F(OnlineRunTest, SecondRunUsesTheOpenProgrammer) {
  page_.Script() = ProgrammingScript(PatternImage(2), false);
  page_.Online();
  const int handle = ReaderHandle();
  emulator_->ClearRequests();
  page_.Online();
  EXPECT_EQ(ReaderHandle(), handle);
  EXPECT_EQ(page_.LogText(), std::string(kOnline) + "下载成功！\r\n");
  EXPECT_EQ(emulator_->Requests().front().command, 0x78);  // LED, no re-power
}

TEST_F(OnlineRunTest, MismatchLineContinuesWithTheClosingText) {
  page_.Script() = {{1, "I-WRITE 08000000"}, {2, "I-READ 9001"}};
  EXPECT_EQ(page_.Online().result, kRunDataMismatch);
  EXPECT_EQ(page_.LogText(),
            std::string(kOpened) + kOnline + "9001 比对数据错误, 返回值：90 00 下载失败！\r\n");
  EXPECT_GT(ReaderHandle(), 0);
}

TEST_F(OnlineRunTest, CommunicationFailureClosesAndTheNextRunReopens) {
  page_.Script() = ProgrammingScript(PatternImage(1), false);
  emulator_->InjectFault(FaultAtCommand(emu::FaultKind::kReadFail, 0x70));
  EXPECT_EQ(page_.Online().result, kRunCommFailure);
  EXPECT_EQ(page_.LogText(),
            std::string(kOpened) + kOnline + "REBOOT 通信错误！\r\n下载失败！\r\n");
  EXPECT_EQ(ReaderHandle(), 0);
  EXPECT_EQ(emulator_->Led(), 1);

  emulator_->ClearRequests();
  EXPECT_EQ(page_.Online().result, kRunOk);
  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kOnline + "下载成功！\r\n");
  EXPECT_EQ(emulator_->Requests().front().command, 0x72);
}

// A HID platform with no devices at all.
class NoDevices : public hid::Platform {
 public:
  std::unique_ptr<hid::InterfaceSet> PresentInterfaces() override { return nullptr; }
  std::unique_ptr<hid::Device> Open(const std::string&) override { return nullptr; }
};

TEST_F(OnlineRunTest, NoProgrammerShowsOneBoxPerPress) {
  UsePlatform(std::make_shared<NoDevices>());
  page_.Script() = ProgrammingScript(PatternImage(1), false);
  for (int press = 1; press <= 2; ++press) {
    const RunOutcome outcome = page_.Online();
    EXPECT_FALSE(outcome.opened);
    EXPECT_EQ(page_.LogText(), "打开设备失败！\r\n");
    EXPECT_EQ(ReaderHandle(), -2);
    const auto boxes = page_.Boxes();
    ASSERT_EQ(boxes.size(), static_cast<std::size_t>(press));
    EXPECT_EQ(boxes.back().text, "打开设备失败！");
    EXPECT_EQ(boxes.back().caption, "提示");
    EXPECT_EQ(boxes.back().buttons, MsgButtons::kOk);
  }
  EXPECT_EQ(emulator_->ExchangeCount(), 0u);
}

// Sets a cancellation flag once `after` lines are done.
class CancelAfter final : public EventSink {
 public:
  CancelAfter(std::atomic<bool>& cancel, int after) : cancel_(cancel), after_(after) {}
  void OnEvent(const Event& event) override {
    if (event.kind == EventKind::kLineDone && ++done_ == after_) cancel_ = true;
  }

 private:
  std::atomic<bool>& cancel_;
  int after_;
  int done_ = 0;
};

// A cancelled run ends before its next line: no further line, no closing
// re-power, a failure on the programmer; the offline storage keeps what was
// stored without its end record.
TEST_F(OnlineRunTest, ACancelledRunEndsBeforeItsNextLine) {
  page_.Script() = ProgrammingScript(PatternImage(3), false);
  std::atomic<bool> cancel{false};
  CancelAfter after(cancel, 2);
  TeeSink sink(page_, &after);
  RunContext run = page_.Context(false, sink);
  run.cancel = &cancel;
  const RunOutcome outcome = OnlineProgramRun(DefaultStation(), run);
  EXPECT_EQ(outcome.result, kRunStopped);
  EXPECT_EQ(page_.LogText(), std::string(kOpened) + kOnline + "下载失败！\r\n");
  EXPECT_EQ(page_.Tails().size(), 2u);
  EXPECT_EQ(emulator_->Led(), 1);
  EXPECT_GT(ReaderHandle(), 0);  // not a programmer failure: it stays open
  const auto requests = emulator_->Requests();
  EXPECT_NE(requests[requests.size() - 3].command, 0x72);  // no closing re-power

  cancel = false;
  CancelAfter afterOne(cancel, 1);
  TeeSink offlineSink(page_, &afterOne);
  page_.ClearLog();
  run = page_.Context(false, offlineSink);
  run.cancel = &cancel;
  EXPECT_EQ(OfflineLoadRun(DefaultStation(), run).result, kRunStopped);
  const auto records = emulator_->OfflineRecords();
  ASSERT_EQ(records.size(), 2u);  // the begin record and line 1
  EXPECT_NE(records.back().kind, 0x03);
  EXPECT_EQ(page_.LogText(), "脱机程序装载...\r\n");
}

}  // namespace
}  // namespace velkan::test
