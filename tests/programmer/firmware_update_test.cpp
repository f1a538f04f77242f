// The whole firmware update against the emulated programmer: the blocks it
// sends, progress, where a failure or a stop leaves the programmer, and
// that it shares no state with the C API's own update calls.
#include <gtest/gtest.h>

#include <stop_token>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "programmer/firmware_update.h"
#include "velkan/velkan.h"

namespace velkan::test {
namespace {

using Outcome = FirmwareUpdateResult::Outcome;

std::vector<std::uint8_t> Image(std::size_t size, std::uint8_t seed = 0) {
  std::vector<std::uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return image;
}

// (command, data length) of every request the programmer received.
std::vector<std::pair<int, std::size_t>> Sent(const emu::Emulator& emulator) {
  std::vector<std::pair<int, std::size_t>> out;
  for (const emu::Request& r : emulator.Requests()) out.emplace_back(r.command, r.data.size());
  return out;
}

class FirmwareUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator_ = UseEmulator(std::nullopt);
    ASSERT_NE(emulator_, nullptr);
    handle_ = DllOpenReader();
    ASSERT_GT(handle_, 0);
  }
  void TearDown() override {
    DllCloseReader(handle_);
    UseSystemHid();
  }

  VirtualClock clock_;
  ScopedClock scoped_{clock_};
  std::shared_ptr<emu::Emulator> emulator_;
  int handle_ = 0;
};

TEST_F(FirmwareUpdateTest, HeaderAndBlocksWithProgress) {
  const std::vector<std::uint8_t> image = Image(8 + 600);
  std::vector<std::pair<std::size_t, std::size_t>> progress;
  const FirmwareUpdateResult result = UpdateFirmware(
      handle_, image,
      [&](std::size_t sent, std::size_t total) { progress.emplace_back(sent, total); });
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.offset, image.size());
  EXPECT_EQ(Sent(*emulator_),
            (std::vector<std::pair<int, std::size_t>>{
                {0x8A, 0}, {0x8B, 8}, {0x8C, 256}, {0x8C, 256}, {0x8C, 88}, {0x8D, 0}}));
  EXPECT_EQ(emulator_->Requests()[1].data,
            std::vector<std::uint8_t>(image.begin(), image.begin() + 8));
  EXPECT_EQ(emulator_->Firmware(), std::vector<std::uint8_t>(image.begin() + 8, image.end()));
  EXPECT_EQ(progress, (std::vector<std::pair<std::size_t, std::size_t>>{
                          {8, 608}, {264, 608}, {520, 608}, {608, 608}}));
  // The programmer is given its time after start and after completion.
  EXPECT_GE(clock_.Now(), std::chrono::milliseconds(2 * 800));

  // A header alone is an empty firmware; a shorter image sends nothing.
  emulator_->ClearRequests();
  ASSERT_TRUE(UpdateFirmware(handle_, Image(8)).ok());
  EXPECT_EQ(Sent(*emulator_),
            (std::vector<std::pair<int, std::size_t>>{{0x8A, 0}, {0x8B, 8}, {0x8D, 0}}));
  EXPECT_TRUE(emulator_->Firmware().empty());
  emulator_->ClearRequests();
  const FirmwareUpdateResult tooShort = UpdateFirmware(handle_, Image(7));
  EXPECT_EQ(tooShort.outcome, Outcome::kBadImage);
  EXPECT_TRUE(emulator_->Requests().empty());
}

// A failed exchange ends the update there: nothing after it is sent, the
// old firmware stays unless completion itself failed late, and the result
// carries the handle's error.
TEST_F(FirmwareUpdateTest, AFailureStopsTheUpdateWhereItHappened) {
  const std::vector<std::uint8_t> old = Image(8 + 300, 1);
  ASSERT_TRUE(UpdateFirmware(handle_, old).ok());
  const std::vector<std::uint8_t> kept = emulator_->Firmware();
  struct Case {
    std::uint8_t command;
    Outcome outcome;
    std::size_t offset;
    std::size_t requests;  // received before the failure, the failed one included
  };
  for (const Case& c :
       {Case{0x8A, Outcome::kStartFailed, 0, 1}, Case{0x8B, Outcome::kSendFailed, 0, 2},
        Case{0x8C, Outcome::kSendFailed, 8, 3}, Case{0x8D, Outcome::kCompleteFailed, 608, 6}}) {
    SCOPED_TRACE(c.command);
    emulator_->ClearRequests();
    emu::Fault fault;
    fault.kind = emu::FaultKind::kStatus;
    fault.atCommand = c.command;
    fault.status = 5;
    emulator_->InjectFault(fault);
    const FirmwareUpdateResult result = UpdateFirmware(handle_, Image(8 + 600));
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.offset, c.offset);
    EXPECT_NE(result.error, 0);
    EXPECT_EQ(result.error, ReaderLastError(handle_));
    EXPECT_EQ(emulator_->Requests().size(), c.requests);
    EXPECT_EQ(emulator_->Firmware(), kept);
  }
}

TEST_F(FirmwareUpdateTest, StopBetweenBlocksAndBusyProgrammer) {
  std::stop_source stop;
  const FirmwareUpdateResult stopped = UpdateFirmware(
      handle_, Image(8 + 600),
      [&](std::size_t sent, std::size_t) {
        if (sent == 264) stop.request_stop();
      },
      stop.get_token());
  EXPECT_EQ(stopped.outcome, Outcome::kCancelled);
  EXPECT_EQ(stopped.offset, 264u);
  EXPECT_EQ(Sent(*emulator_),
            (std::vector<std::pair<int, std::size_t>>{{0x8A, 0}, {0x8B, 8}, {0x8C, 256}}));
  EXPECT_TRUE(emulator_->Firmware().empty());

  // Another opener holds the programmer: nothing is sent.
  const int other = OpenReader(DeviceSelector::Parse("emulator:0"));
  ASSERT_GT(other, 0);
  ASSERT_EQ(HoldReader(other), 0);
  emulator_->ClearRequests();
  const FirmwareUpdateResult busy = UpdateFirmware(handle_, Image(8 + 10));
  EXPECT_EQ(busy.outcome, Outcome::kBusy);
  EXPECT_TRUE(emulator_->Requests().empty());
  ReleaseReader(other);
  EXPECT_TRUE(UpdateFirmware(handle_, Image(8 + 10)).ok());
  DllCloseReader(other);

  EXPECT_EQ(UpdateFirmware(9999, Image(8)).outcome, Outcome::kStartFailed);
}

// A C caller's update in progress on one programmer is not disturbed by a
// tool's update of another: the process-wide first-block flag is the C
// API's alone.
TEST_F(FirmwareUpdateTest, LeavesTheCApiFirstBlockFlagAlone) {
  DllCloseReader(handle_);
  const auto emulators = UseEmulators(std::nullopt, 2);
  ASSERT_EQ(emulators.size(), 2u);
  handle_ = OpenReader(DeviceSelector::Parse("emulator:0"));
  const int tool = OpenReader(DeviceSelector::Parse("emulator:1"));
  ASSERT_GT(handle_, 0);
  ASSERT_GT(tool, 0);
  std::vector<std::uint8_t> image = Image(8 + 300, 3);
  ASSERT_EQ(DllDownloadFirmwareStart(handle_), 0);
  ASSERT_EQ(DllDownloadFirmware(handle_, image.data(), 8 + 100), 0);
  ASSERT_TRUE(UpdateFirmware(tool, Image(8 + 40)).ok());
  ASSERT_EQ(DllDownloadFirmware(handle_, image.data() + 108, 200), 0);
  unsigned char none[1] = {0};
  ASSERT_EQ(DllDownloadFirmwareComplete(handle_, none, 0), 0);
  EXPECT_EQ(emulators[0]->Firmware(), std::vector<std::uint8_t>(image.begin() + 8, image.end()));
  EXPECT_EQ(emulators[1]->Firmware().size(), 40u);
  DllCloseReader(tool);
}

}  // namespace
}  // namespace velkan::test
