// The I2C test page's press and read-length rule against the emulated
// programmer, on the virtual clock.
#include "script/i2c_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "common/dialogs.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan {
namespace {

using namespace std::chrono_literals;

struct Box {
  std::string text;
  std::string caption;
};

// Keeps what the output box showed, and the message box the page shows
// after a press.
class RecordingView : public I2cTestView {
 public:
  void ShowOutput(I2cShown step, const std::string& text) override {
    shown.push_back(text);
    steps.push_back(step);
  }
  std::vector<std::string> shown;
  std::vector<I2cShown> steps;
  std::vector<Box> boxes;
};

class I2cPressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator_ = UseEmulator(std::nullopt);
    ASSERT_NE(emulator_, nullptr);
    SetReaderHandle(0);
  }
  void TearDown() override {
    DefaultStation().CloseReader();
  }

  I2cPressOutcome Press(const std::string& address, const std::string& data,
                        const std::string& readLength) {
    view_.shown.clear();
    view_.steps.clear();
    view_.boxes.clear();
    const I2cPressOutcome outcome = I2cCommandPress(view_, address, data, readLength, output_);
    if (const auto notice = I2cNoticeText(outcome.result)) {
      view_.boxes.push_back({std::string(*notice), std::string(kCaptionNotice)});
    }
    return outcome;
  }

  // Opens the programmer with a press that exchanges nothing else, then
  // forgets what was recorded.
  void OpenFirst() {
    Press("00", "", "0");
    ASSERT_NE(ReaderHandle(), 0);
    ASSERT_NE(ReaderHandle(), -2);
    emulator_->ClearRequests();
  }

  std::vector<emu::Request> Sent(std::uint8_t command) const {
    std::vector<emu::Request> out;
    for (const auto& r : emulator_->Requests()) {
      if (r.command == command) out.push_back(r);
    }
    return out;
  }

  Clock::Duration Elapsed(Clock::Duration since) { return clock_.Now() - since; }

  VirtualClock clock_;
  ScopedClock scoped_{clock_};
  std::shared_ptr<emu::Emulator> emulator_;
  RecordingView view_;
  std::string output_;
};

constexpr std::uint8_t kWrite = 0x76;
constexpr std::uint8_t kRead = 0x77;
constexpr std::uint8_t kRePower = 0x72;

TEST_F(I2cPressTest, FirstPressOpensRepowersWritesWaitsAndReads) {
  const auto start = clock_.Now();
  const auto outcome = Press("A0", "07 00 00 00", "02");
  EXPECT_EQ(outcome.result, I2cPressResult::kOk);
  EXPECT_TRUE(outcome.wrote);
  EXPECT_EQ(view_.shown, (std::vector<std::string>{"打开设备成功!\r\n", "I2C 写OK!", "9000"}));
  EXPECT_EQ(view_.steps,
            (std::vector<I2cShown>{I2cShown::kOpened, I2cShown::kWritten, I2cShown::kRead}));
  EXPECT_EQ(output_, "9000");
  EXPECT_EQ(outcome.bytesRead, (std::vector<std::uint8_t>{0x90, 0x00}));
  EXPECT_GE(Elapsed(start), 650ms);  // 100 ms after re-power, 550 ms after 0x07

  const auto requests = emulator_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].command, kRePower);
  EXPECT_EQ(requests[1].command, kWrite);
  EXPECT_EQ(requests[1].data, (std::vector<std::uint8_t>{0xA0, 4, 0, 0x07, 0, 0, 0}));
  EXPECT_EQ(requests[2].command, kRead);
  EXPECT_EQ(requests[2].data, (std::vector<std::uint8_t>{0xA1, 2, 0}));

  // The programmer stays open: the next press neither reopens nor re-powers.
  emulator_->ClearRequests();
  Press("A0", "07 00 00 00", "02");
  EXPECT_EQ(view_.shown.front(), "I2C 写OK!");
  EXPECT_TRUE(Sent(kRePower).empty());
}

TEST_F(I2cPressTest, WaitAfterWriteFollowsFirstByte) {
  OpenFirst();
  struct Case {
    const char* data;
    Clock::Duration wait;
  } cases[] = {{"07000000", 550ms}, {"4000000212 34", 600ms}, {"20", 100ms}};
  for (const auto& c : cases) {
    const auto start = clock_.Now();
    Press("A0", c.data, "0");
    const auto elapsed = Elapsed(start);
    EXPECT_GE(elapsed, c.wait) << c.data;
    EXPECT_LT(elapsed, c.wait + 50ms) << c.data;
  }
}

TEST_F(I2cPressTest, AddressRules) {
  OpenFirst();
  const int handle = ReaderHandle();

  // Lower-case digits; bit 0 is cleared for the write and set for the read.
  Press("a1", "07000000", "02");
  ASSERT_EQ(Sent(kWrite).size(), 1u);
  EXPECT_EQ(Sent(kWrite)[0].data[0], 0xA0);
  EXPECT_EQ(Sent(kRead)[0].data[0], 0xA1);

  // A space before a digit is accepted.
  emulator_->ClearRequests();
  EXPECT_EQ(Press(" 5", "07000000", "02").result, I2cPressResult::kOk);
  EXPECT_EQ(Sent(kWrite)[0].data[0], 0x04);
  EXPECT_EQ(Sent(kRead)[0].data[0], 0x05);

  emulator_->ClearRequests();
  for (const char* bad : {"5", "G0", "  ", "", "A00", "中"}) {
    const auto outcome = Press(bad, "07000000", "02");
    EXPECT_EQ(outcome.result, I2cPressResult::kBadAddress) << bad;
    EXPECT_EQ(view_.shown, std::vector<std::string>{"请输入正确的 I2C 地址!"}) << bad;
  }
  EXPECT_TRUE(emulator_->Requests().empty());
  EXPECT_EQ(ReaderHandle(), handle);  // an input failure keeps the programmer open
}

TEST_F(I2cPressTest, DataRules) {
  OpenFirst();
  // Spaces between the digits of one byte do not count.
  EXPECT_EQ(Press("A0", "0 7", "0").result, I2cPressResult::kOk);
  ASSERT_EQ(Sent(kWrite).size(), 1u);
  EXPECT_EQ(Sent(kWrite)[0].data, (std::vector<std::uint8_t>{0xA0, 1, 0, 0x07}));
  EXPECT_EQ(view_.shown.back(), "I2C 写OK!");

  emulator_->ClearRequests();
  for (const std::string& bad :
       std::vector<std::string>{"070", "0G", "07 0x", std::string(512, 'A')}) {
    EXPECT_EQ(Press("A0", bad, "02").result, I2cPressResult::kBadData) << bad;
    EXPECT_EQ(view_.shown, std::vector<std::string>{"数据域错误!"});
  }
  EXPECT_TRUE(emulator_->Requests().empty());

  // 510 digits are the most the page takes: 255 bytes in one write.
  EXPECT_EQ(Press("A0", std::string(510, 'A'), "0").result, I2cPressResult::kOk);
  ASSERT_EQ(Sent(kWrite).size(), 1u);
  EXPECT_EQ(Sent(kWrite)[0].data.size(), 3u + 255u);
}

TEST_F(I2cPressTest, ReadLengthVariants) {
  OpenFirst();
  // Empty data: no write, no "I2C 写OK!", no wait; the read still happens.
  auto start = clock_.Now();
  auto outcome = Press("A0", "   ", "04");
  EXPECT_FALSE(outcome.wrote);
  EXPECT_LT(Elapsed(start), 50ms);
  ASSERT_EQ(Sent(kRead).size(), 1u);
  EXPECT_EQ(Sent(kRead)[0].data, (std::vector<std::uint8_t>{0xA1, 4, 0}));
  EXPECT_TRUE(Sent(kWrite).empty());
  EXPECT_EQ(view_.shown.size(), 1u);  // just the digits

  // Read length 10 asks for 16 bytes; whatever is delivered is shown.
  emulator_->ClearRequests();
  outcome = Press("A0", "07000000", "10");
  EXPECT_EQ(Sent(kRead)[0].data, (std::vector<std::uint8_t>{0xA1, 0x10, 0}));
  EXPECT_EQ(output_.size(), 2 * outcome.bytesRead.size());

  // Read length 0, an empty box, and one that does not start with a hex
  // digit (a sign is not one) read nothing after the write.
  for (const char* none : {"0", "", "zz", "-1", "+4"}) {
    emulator_->ClearRequests();
    outcome = Press("A0", "07000000", none);
    EXPECT_TRUE(Sent(kRead).empty()) << none;
    EXPECT_EQ(view_.shown.back(), "I2C 写OK!") << none;
  }

  // Nothing to write and nothing to read: no exchange, the box untouched.
  emulator_->ClearRequests();
  output_ = "old";
  Press("A0", "", "00");
  EXPECT_TRUE(emulator_->Requests().empty());
  EXPECT_TRUE(view_.shown.empty());
  EXPECT_EQ(output_, "");
}

TEST_F(I2cPressTest, ReadNeverAsksForMoreThanTheAreaHolds) {
  OpenFirst();
  Press("A0", "", "FFFF");
  ASSERT_EQ(Sent(kRead).size(), 1u);
  EXPECT_EQ(Sent(kRead)[0].data, (std::vector<std::uint8_t>{0xA1, 0x00, 0x02}));

  // A reply that claims more than the area holds is refused, not copied.
  emu::Fault fault;
  fault.kind = emu::FaultKind::kLengthOverflow;
  fault.atCommand = kRead;
  emulator_->InjectFault(fault);
  const auto outcome = Press("A0", "", "200");
  EXPECT_EQ(outcome.result, I2cPressResult::kReadFailed);
  EXPECT_TRUE(outcome.bytesRead.empty());
  EXPECT_EQ(view_.shown.back(), "I2C 读通信失败!");
  EXPECT_EQ(ReaderHandle(), 0);
}

TEST_F(I2cPressTest, DeviceFailuresCloseTheProgrammer) {
  OpenFirst();
  emu::Fault fault;
  fault.kind = emu::FaultKind::kStatus;
  fault.status = 3;
  fault.atCommand = kWrite;
  emulator_->InjectFault(fault);
  auto outcome = Press("A0", "07000000", "02");
  EXPECT_EQ(outcome.result, I2cPressResult::kWriteFailed);
  EXPECT_EQ(view_.shown, std::vector<std::string>{"I2C 写通信失败, ErrCode = -9!"});
  EXPECT_TRUE(Sent(kRead).empty());  // nothing is read after a failed write
  EXPECT_EQ(ReaderHandle(), 0);

  // The next press opens afresh.
  outcome = Press("A0", "07000000", "02");
  EXPECT_EQ(outcome.result, I2cPressResult::kOk);
  EXPECT_EQ(view_.shown.front(), "打开设备成功!\r\n");

  fault.kind = emu::FaultKind::kReadFail;
  fault.atCommand = kRead;
  emulator_->InjectFault(fault);
  outcome = Press("A0", "07000000", "02");
  EXPECT_EQ(outcome.result, I2cPressResult::kReadFailed);
  EXPECT_EQ(view_.shown.back(), "I2C 读通信失败!");
  EXPECT_EQ(ReaderHandle(), 0);
}

TEST_F(I2cPressTest, NoProgrammerShowsTextAndMessageAndRetriesNextTime) {
  OpenFirst();
  emu::Fault unplug;
  unplug.kind = emu::FaultKind::kUnplug;
  emulator_->InjectFault(unplug);
  EXPECT_EQ(Press("A0", "07000000", "02").result, I2cPressResult::kWriteFailed);
  EXPECT_EQ(ReaderHandle(), 0);

  // Wrong inputs are not even looked at before the programmer is open.
  const auto outcome = Press("zz", "070", "02");
  EXPECT_EQ(outcome.result, I2cPressResult::kNoProgrammer);
  EXPECT_EQ(view_.shown, std::vector<std::string>{"打开设备失败!\r\n"});
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].text, "打开设备失败!");
  EXPECT_EQ(view_.boxes[0].caption, "提示");
  EXPECT_EQ(ReaderHandle(), -2);

  emulator_->Replug();
  EXPECT_EQ(Press("A0", "", "0").result, I2cPressResult::kOk);
  EXPECT_EQ(view_.shown, std::vector<std::string>{"打开设备成功!\r\n"});
}

TEST_F(I2cPressTest, BusyProgrammerIsLeftAlone) {
  ProgrammerLease run = ProgrammerLease::TryAcquire();
  ASSERT_TRUE(run);
  output_ = "kept";
  const auto outcome = Press("A0", "07000000", "02");
  EXPECT_EQ(outcome.result, I2cPressResult::kBusy);
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].text, kBusyTextAscii);
  EXPECT_TRUE(view_.shown.empty());
  EXPECT_EQ(output_, "kept");
  EXPECT_TRUE(emulator_->Requests().empty());
  EXPECT_EQ(ReaderHandle(), 0);

  // The press gives the programmer back when it ends.
  run.Release();
  Press("A0", "", "0");
  EXPECT_FALSE(ProgrammerBusy());
}

TEST(I2cReadLengthTest, FollowsTheFourthByteOfAFourByteCommand) {
  EXPECT_EQ(ReadLengthAfterDataChange("07 00 00 04", "02"), "06");
  EXPECT_EQ(ReadLengthAfterDataChange("07 00 00 00", "02"), std::nullopt);  // 2 is not > 2
  EXPECT_EQ(ReadLengthAfterDataChange("07 00 00 00", "01"), "02");
  EXPECT_EQ(ReadLengthAfterDataChange("070000ff", "02"), "101");
  EXPECT_EQ(ReadLengthAfterDataChange("07000004", ""), "06");              // empty box counts as 0
  EXPECT_EQ(ReadLengthAfterDataChange("07000004", "-1"), "06");            // so does a sign
  EXPECT_EQ(ReadLengthAfterDataChange("07000004", "40"), std::nullopt);    // never lowered
  EXPECT_EQ(ReadLengthAfterDataChange("0700000400", "02"), std::nullopt);  // five bytes
  EXPECT_EQ(ReadLengthAfterDataChange("0700000", "02"), std::nullopt);     // seven digits
  EXPECT_EQ(ReadLengthAfterDataChange("0700000G", "02"), std::nullopt);
}

}  // namespace
}  // namespace velkan
