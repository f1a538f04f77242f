// The C API end to end against the emulated programmer: operations, fault
// replies, the traffic trace and programmers used from several threads.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
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
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), 0);

  emulator_->InjectFault(MakeFault(emu::FaultKind::kEmptyReport));
  EXPECT_EQ(DllI2cGetStatus(handle_, &state), VELKAN_ERR_EMPTY_REPORT);

  emulator_->InjectFault(MakeFault(emu::FaultKind::kWriteFail, 0, 5));
  EXPECT_EQ(DllI2cRePower(handle_), 5);
  EXPECT_EQ(LastErrorValue(), 5);
  EXPECT_EQ(DllI2cRePower(handle_), 0);
  EXPECT_EQ(LastErrorValue(), 0);
}

// Every way an exchange can fail, each followed by further operations on
// the same handle: the rest of a reply that was given up on (a declared
// length beyond the frame buffer, a failure status in a reply of several
// reports, an empty report before the real reply, a reply longer than the
// caller's buffer) stays queued, as in the kernel, and must never be taken
// for the answer to a later request.
TEST_F(EmulatorApiTest, AbandonedRepliesNeverAnswerLaterRequests) {
  char name[] = "app.hex";
  ASSERT_EQ(DllSetOfflineFileName(handle_, name, 7), 0);
  emulator_->SetApduResponse(std::vector<std::uint8_t>(300, 0x61));

  struct Case {
    const char* what;
    emu::Fault fault;
    int expected;  // result of the failing operation
  };
  emu::Fault statusWithData = MakeFault(emu::FaultKind::kStatus, 9);
  statusWithData.statusData = 200;
  const Case cases[] = {
      {"600-byte reply", MakeFault(emu::FaultKind::kLengthOverflow), VELKAN_ERR_REPLY_TOO_LONG},
      {"status in a long reply", statusWithData, -21},
      {"empty report", MakeFault(emu::FaultKind::kEmptyReport), VELKAN_ERR_EMPTY_REPORT},
      {"bad check byte", MakeFault(emu::FaultKind::kBadCheck), VELKAN_ERR_STATUS_CHECK},
      {"status", MakeFault(emu::FaultKind::kStatus, 3), -9},
      {"read failure", MakeFault(emu::FaultKind::kReadFail, 0, 121), 121},
      {"write failure", MakeFault(emu::FaultKind::kWriteFail, 0, 5), 5},
      {"no answer", MakeFault(emu::FaultKind::kNoAnswer), hid::kTimeoutError},
      {"reply beyond the caller's buffer", {}, VELKAN_ERR_REPLY_TOO_LONG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    std::uint8_t response[VELKAN_APDU_RESPONSE_MAX];
    int responseLength = 0;
    if (std::string(c.what) != "reply beyond the caller's buffer") {
      emulator_->InjectFault(c.fault);
    }
    // A 300-byte APDU reply spans five reports and exceeds the caller's 258.
    EXPECT_EQ(Dll7816CardAPDU(handle_, apdu, 5, 0, response, &responseLength), c.expected);

    char version[VELKAN_VERSION_TEXT_MAX];
    unsigned versionLength = 0, value = 0;
    ASSERT_EQ(DllGetFirmwareVersion(handle_, version, &versionLength, &value), 0);
    EXPECT_EQ(std::string(version, versionLength), emu::kFirmwareVersionText);
    char stored[VELKAN_OFFLINE_NAME_MAX];
    unsigned storedLength = 0;
    ASSERT_EQ(DllGetOfflineFileName(handle_, stored, &storedLength), 0);
    EXPECT_EQ(std::string(stored, storedLength), "app.hex");
    std::uint8_t key[12] = {0x20, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint8_t sw[8] = {};
    unsigned long swLength = 2;
    ASSERT_EQ(DllI2cCommand(handle_, 0xA0, key, sizeof key, sw, &swLength), 0);
    EXPECT_EQ(sw[0], 0x90);
    EXPECT_EQ(LastErrorValue(), 0);
  }
}

// Exclusive use: a hold for an activity keeps other handles (other
// processes alike) out; their exchanges wait for the end of the hold
// rather than interleave, and the holder's own exchanges go on.
TEST_F(EmulatorApiTest, HoldKeepsOtherHandlesOut) {
  const int other = DllOpenReader();
  ASSERT_GT(other, 0);
  ASSERT_EQ(HoldReader(handle_), 0);
  ASSERT_EQ(HoldReader(handle_), 0);  // nested
  EXPECT_EQ(HoldReader(other), VELKAN_ERR_BUSY);
  EXPECT_EQ(DllI2cRePower(handle_), 0);

  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_EQ(DllLedControl(other, 2), 0);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  ReleaseReader(handle_);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());  // still held once
  ReleaseReader(handle_);
  waiter.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(emulator_->Led(), 2);

  // Closing a handle ends its hold.
  ASSERT_EQ(HoldReader(other), 0);
  EXPECT_EQ(HoldReader(handle_), VELKAN_ERR_BUSY);
  ASSERT_EQ(DllCloseReader(other), 0);
  EXPECT_EQ(HoldReader(handle_), 0);
  ReleaseReader(handle_);
  EXPECT_EQ(HoldReader(other), VELKAN_ERR_BAD_HANDLE);
}

// Several emulated programmers: listed with distinct paths, serials and
// ports, opened by path or picked by serial or port, each its own device.
TEST_F(EmulatorApiTest, SeveralProgrammersAreToldApart) {
  DllCloseReader(handle_);
  const auto emulators = UseEmulators(std::nullopt, 3);
  ASSERT_EQ(emulators.size(), 3u);
  VelkanProgrammerInfo list[2];
  ASSERT_EQ(VelkanListProgrammers(list, 2), 3);
  EXPECT_STREQ(list[0].path, "emulator:0");
  EXPECT_STREQ(list[1].serial, "EMU0002");
  EXPECT_STREQ(list[1].port, "emu-2");
  EXPECT_EQ(list[1].vendorId, 0x0755);
  EXPECT_EQ(list[1].productId, 0x0102);
  EXPECT_GT(std::strlen(list[1].product), 0u);
  EXPECT_EQ(VelkanListProgrammers(nullptr, 0), 3);

  handle_ = VelkanOpenReaderPath("emulator:2");
  ASSERT_GT(handle_, 0);
  ASSERT_EQ(DllLedControl(handle_, 1), 0);
  EXPECT_EQ(emulators[2]->Led(), 1);
  EXPECT_EQ(emulators[0]->Led(), 0);
  EXPECT_EQ(VelkanOpenReaderPath("emulator:7"), VELKAN_ERR_NO_READER);
  EXPECT_EQ(VelkanOpenReaderPath(nullptr), VELKAN_ERR_NO_READER);

  SelectDevice(DeviceSelector::Parse("serial=EMU0002"));
  int picked = DllOpenReader();
  ASSERT_GT(picked, 0);
  ASSERT_EQ(DllLedControl(picked, 2), 0);
  EXPECT_EQ(emulators[1]->Led(), 2);
  hid::Identity identity;
  ASSERT_TRUE(ReaderIdentity(picked, identity));
  EXPECT_EQ(identity.serial, "EMU0002");
  DllCloseReader(picked);
  SelectDevice(DeviceSelector::Parse("port=emu-3"));
  picked = DllOpenReader();
  ASSERT_EQ(DllLedControl(picked, 3), 0);
  EXPECT_EQ(emulators[2]->Led(), 3);
  DllCloseReader(picked);
  SelectDevice(DeviceSelector::Parse("serial=NOPE"));
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  SelectDevice(std::nullopt);
}

// Firmware updates of two programmers at once: handles with a first-block
// flag of their own each send their own header block; the C library's
// process-wide flag is left as it is.
TEST_F(EmulatorApiTest, OwnFirmwareFlagsKeepUpdatesApart) {
  DllCloseReader(handle_);
  const auto emulators = UseEmulators(std::nullopt, 2);
  handle_ = DllOpenReader();
  const int a = OpenReader(DeviceSelector::Parse("emulator:0"), true);
  const int b = OpenReader(DeviceSelector::Parse("emulator:1"), true);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  // The process-wide flag is set, whatever earlier tests left it at.
  ASSERT_EQ(DllDownloadFirmwareStart(handle_), 0);
  emulators[0]->ClearRequests();
  std::vector<std::uint8_t> image(8 + 300, 0x42);
  ASSERT_EQ(DllDownloadFirmware(a, image.data(), 8), 0);  // a's header only
  ASSERT_EQ(DllDownloadFirmware(b, image.data(), static_cast<int>(image.size())), 0);
  ASSERT_EQ(DllDownloadFirmware(a, image.data() + 8, 300), 0);
  for (const auto& emulator : emulators) {
    const auto requests = emulator->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().command, 0x8B);  // each began with its header
  }
  // The process-wide flag is still set: the first update through a plain
  // handle begins with a header too.
  emulators[0]->ClearRequests();
  ASSERT_EQ(DllDownloadFirmware(handle_, image.data(), 8), 0);
  EXPECT_EQ(emulators[0]->Requests().front().command, 0x8B);
  DllCloseReader(a);
  DllCloseReader(b);
}

TEST(ErrorTextTest, EveryNumberHasAText) {
  for (int e : {0,   -2,  -4,  -5,  -8,  -9,  -11, -13, -14, -20, -21,
                -22, -24, -25, -30, -31, -32, -33, -34, -35, -36}) {
    const std::string text = VelkanErrorText(e);
    EXPECT_FALSE(text.empty()) << e;
    EXPECT_NE(text, VelkanErrorText(-999)) << e;
  }
  EXPECT_STRNE(VelkanErrorText(13), "");  // a system code: the platform's text
  EXPECT_STRNE(VelkanErrorText(13), VelkanErrorText(-999));
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

// A trace that lost lines is reported by the call that ends it, once; the
// exchanges themselves go on.
TEST_F(EmulatorApiTest, TraceThatCannotBeWrittenIsReportedWhenItEnds) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
  ASSERT_EQ(VelkanTraceTo("/dev/full"), 0);
  EXPECT_EQ(DllI2cRePower(handle_), 0);
  EXPECT_EQ(VelkanTraceTo(nullptr), -2);
  EXPECT_EQ(VelkanTraceTo(nullptr), 0);

  // Ended by starting the next trace: that one is in effect.
  const auto path = std::filesystem::temp_directory_path() /
                    ("velkan_trace_next_" +
                     std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".txt");
  ASSERT_EQ(VelkanTraceTo("/dev/full"), 0);
  EXPECT_EQ(DllI2cRePower(handle_), 0);
  EXPECT_EQ(VelkanTraceTo(path.string().c_str()), -2);
  EXPECT_EQ(DllI2cRePower(handle_), 0);
  EXPECT_EQ(VelkanTraceTo(nullptr), 0);
  EXPECT_GT(std::filesystem::file_size(path), 0u);
  std::filesystem::remove(path);
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
