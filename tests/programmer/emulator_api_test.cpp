// The C API end to end against the emulated programmer: operations, fault
// replies, the traffic trace and programmers used from several threads.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "velkan/velkan.h"

namespace velkan::test {
namespace {

emu::Fault MakeFault(emu::FaultKind kind, std::uint8_t status = 5, int errorCode = 5) {
  emu::Fault fault;
  fault.kind = kind;
  fault.status = status;
  fault.errorCode = errorCode;
  return fault;
}

class EmulatorApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator_ = UseEmulator(std::nullopt);
    ASSERT_NE(emulator_, nullptr);
    EXPECT_EQ(CurrentEmulator(), emulator_);
    handle_ = DllOpenReader();
    ASSERT_GT(handle_, 0);
  }
  void TearDown() override {
    DllCloseReader(handle_);
    VelkanTraceTo(nullptr);
    UseSystemHid();
  }

  VirtualClock clock_;
  ScopedClock scoped_{clock_};
  std::shared_ptr<emu::Emulator> emulator_;
  int handle_ = 0;
};

TEST_F(EmulatorApiTest, KeyCheckAndOfflineStorage) {
  std::uint8_t key[12] = {0x20, 0x00, 0x00, 0x08};
  std::fill(key + 4, key + 12, 0xFF);
  std::array<std::uint8_t, 16> response{};
  unsigned long length = 2;
  ASSERT_EQ(DllI2cCommand(handle_, 0xA0, key, sizeof key, response.data(), &length), 0);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(response[0], 0x90);

  char name[] = "app.hex";
  ASSERT_EQ(DllEraseOfflineData(handle_), 0);
  ASSERT_EQ(DllSetOfflineFileName(handle_, name, 7), 0);
  std::uint8_t content[] = {1, 2, 3};
  ASSERT_EQ(DllWriteOfflineData(handle_, 1, 2, content, 3), 0);
  EXPECT_EQ(emulator_->OfflineName().substr(0, 7), "app.hex");
  ASSERT_EQ(emulator_->OfflineRecords().size(), 1u);
  EXPECT_EQ(emulator_->OfflineRecords()[0].content, (std::vector<std::uint8_t>{1, 2, 3}));

  ASSERT_EQ(DllLedControl(handle_, 2), 0);
  EXPECT_EQ(emulator_->Led(), 2);
  EXPECT_EQ(LastErrorValue(), 0);
}

TEST_F(EmulatorApiTest, FaultRepliesGiveTheirErrors) {
  std::uint8_t state = 0;
  emulator_->InjectFault(MakeFault(emu::FaultKind::kStatus, 9));
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), -21);
  EXPECT_EQ(LastErrorValue(), -21);

  emulator_->InjectFault(MakeFault(emu::FaultKind::kLengthOverflow));
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), VELKAN_ERR_REPLY_TOO_LONG);
  // The emulator drops the unread rest of a reply when the next request
  // comes, so the handle stays usable.
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 0);

  emulator_->InjectFault(MakeFault(emu::FaultKind::kEmptyReport));
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), VELKAN_ERR_EMPTY_REPORT);

  emulator_->InjectFault(MakeFault(emu::FaultKind::kWriteFail, 0, 5));
  EXPECT_EQ(DllI2cRePower(handle_), 5);
  EXPECT_EQ(LastErrorValue(), 5);
  EXPECT_EQ(DllI2cRePower(handle_), 0);
  EXPECT_EQ(LastErrorValue(), 0);
}

TEST_F(EmulatorApiTest, TraceHasOneLinePerReport) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("velkan_trace_" +
                     std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".txt");
  std::filesystem::remove(path);
  ASSERT_EQ(VelkanTraceTo(path.string().c_str()), 0);
  ASSERT_EQ(DllI2cRePower(handle_), 0);
  ASSERT_EQ(VelkanTraceTo(nullptr), 0);
  ASSERT_EQ(DllI2cRePower(handle_), 0);  // not traced

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 20), "> 03 00 72 00 00 72 ");
  EXPECT_EQ(lines[1].substr(0, 2), "< ");
  const std::regex format("[<>]( [0-9A-F]{2}){64}");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, format)) << line;
  in.close();
  std::filesystem::remove(path);

  EXPECT_EQ(VelkanTraceTo("/nonexistent-dir/trace.txt"), -1);
}

TEST_F(EmulatorApiTest, ProgrammersOnSeveralThreads) {
  // A second emulated programmer with a handle of its own.
  auto other = UseEmulator(std::nullopt);
  const int second = DllOpenReader();
  ASSERT_GT(second, 0);
  auto work = [](int handle, std::uint8_t led, int& failures) {
    for (int i = 0; i < 200; ++i) {
      if (DllLedControl(handle, led) != 0) ++failures;
      std::uint8_t state = 0;
      if (DllI2cGetStatus(handle, &state) != 0) ++failures;
    }
  };
  int failuresA = 0;
  int failuresB = 0;
  std::thread a(work, handle_, 1, std::ref(failuresA));
  std::thread b(work, second, 2, std::ref(failuresB));
  a.join();
  b.join();
  EXPECT_EQ(failuresA, 0);
  EXPECT_EQ(failuresB, 0);
  EXPECT_EQ(emulator_->Led(), 1);
  EXPECT_EQ(other->Led(), 2);
  EXPECT_EQ(DllCloseReader(second), 0);
}

}  // namespace
}  // namespace velkan::test
