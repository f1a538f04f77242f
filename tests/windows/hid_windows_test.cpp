// The real Windows HID backend where no programmer is attached (the wine
// test machine has no HID devices at all), and its transfers on an ordinary
// file, which the same open and overlapped read/write paths accept.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/codepage.h"
#include "programmer/backend.h"
#include "programmer/hid_platform.h"
#include "velkan/velkan.h"

namespace velkan {
namespace {

constexpr int kErrorInvalidHandle = 6;  // ERROR_INVALID_HANDLE
constexpr int kErrorHandleEof = 38;     // ERROR_HANDLE_EOF

TEST(WindowsHid, OpenReaderFindsNoProgrammerOnTheSystemPlatform) {
  UseSystemHid();
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  // -2 is only returned, never stored as the last error.
  EXPECT_EQ(LastErrorValue(), 0);
  EXPECT_TRUE(ListProgrammers().empty());
  // Asking twice changes nothing: the interface set is released each time.
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
}

TEST(WindowsHid, InterfaceWalkEndsAndEveryPresentInterfaceHasAPath) {
  auto platform = hid::MakeSystemPlatform();
  auto set = platform->PresentInterfaces();
  ASSERT_NE(set, nullptr);
  std::size_t index = 0;
  for (; index < 1000; ++index) {
    const auto item = set->At(index);
    if (item == hid::InterfaceSet::Item::kNoMore) break;
    ASSERT_EQ(item, hid::InterfaceSet::Item::kPresent);
    std::string path;
    EXPECT_TRUE(set->DevicePath(index, path));
    EXPECT_FALSE(path.empty());
  }
  EXPECT_LT(index, 1000u);
  std::string path;
  EXPECT_FALSE(set->DevicePath(index, path));
}

TEST(WindowsHid, OpenRefusesMissingAndMalformedPaths) {
  auto platform = hid::MakeSystemPlatform();
  EXPECT_EQ(platform->Open(""), nullptr);
  EXPECT_EQ(platform->Open("\\\\?\\hid#vid_0755&pid_0102#missing#{4d1e55b2-f16f-11cf-88cb-"
                           "001111000030}"),
            nullptr);
  EXPECT_EQ(platform->Open(std::string("bad\xff\xfe utf-8")), nullptr);
  EXPECT_EQ(platform->Open(std::string("nul\0inside", 10)), nullptr);
}

// A path that does not open is described from the path itself: the
// refusal's error code, and the IDs where the path carries them.
TEST(WindowsHid, UnopenablePathsAreDescribedFromThePath) {
  auto platform = hid::MakeSystemPlatform();
  const auto programmer = platform->DescribeUnopenable(
      "\\\\?\\HID#VID_0755&PID_0102#missing#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  ASSERT_TRUE(programmer);
  EXPECT_NE(programmer->error, 0);
  ASSERT_TRUE(programmer->attributes);
  EXPECT_EQ(programmer->attributes->vendorId, 0x0755);
  EXPECT_EQ(programmer->attributes->productId, 0x0102);

  const auto other = platform->DescribeUnopenable("\\\\?\\hid#no-ids#missing");
  ASSERT_TRUE(other);
  EXPECT_NE(other->error, 0);
  EXPECT_FALSE(other->attributes);
  const auto badName = platform->DescribeUnopenable(std::string("bad\xff name"));
  ASSERT_TRUE(badName);
  EXPECT_EQ(badName->error, 123);  // ERROR_INVALID_NAME
}

class WindowsHidFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // One folder per test: ctest runs the tests of this fixture in parallel.
    dir_ = std::filesystem::temp_directory_path() /
           PathFromUtf8(std::string("velkan 编程器 ") +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    file_ = dir_ / "report.bin";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  void WriteFileBytes(const std::string& bytes) {
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::filesystem::path dir_;
  std::filesystem::path file_;
};

TEST_F(WindowsHidFile, ReadsWritesAndClosesThroughTheOverlappedHandle) {
  std::string content(64, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 3 + 1);
  WriteFileBytes(content);

  auto platform = hid::MakeSystemPlatform();
  auto device = platform->Open(PathToUtf8(file_));
  ASSERT_NE(device, nullptr);

  // Not a HID device: the attributes cannot be read, with a system error.
  hid::Attributes attributes;
  EXPECT_FALSE(device->GetAttributes(attributes));
  EXPECT_GT(device->LastError(), 0);

  hid::Report report{};
  report[0] = 4;
  std::size_t delivered = 99;
  ASSERT_TRUE(device->ReadReport(report, delivered));
  EXPECT_EQ(delivered, 64u);
  EXPECT_EQ(std::string(report.begin(), report.end()), content);

  hid::Report out{};
  out[0] = 3;
  out[1] = 0x7E;
  out[63] = 0x55;
  EXPECT_TRUE(device->WriteReport(out));

  EXPECT_TRUE(device->Close());
  // Closed: every further call fails with ERROR_INVALID_HANDLE.
  EXPECT_FALSE(device->Close());
  EXPECT_EQ(device->LastError(), kErrorInvalidHandle);
  EXPECT_FALSE(device->WriteReport(out));
  EXPECT_FALSE(device->ReadReport(report, delivered));
  EXPECT_EQ(delivered, 0u);

  std::ifstream in(file_, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, std::string(out.begin(), out.end()));
}

TEST_F(WindowsHidFile, ShortAndEmptyReadsReportWhatTheyDelivered) {
  WriteFileBytes("\x04\x01\x02");
  auto device = hid::MakeSystemPlatform()->Open(PathToUtf8(file_));
  ASSERT_NE(device, nullptr);
  hid::Report report{};
  std::size_t delivered = 0;
  ASSERT_TRUE(device->ReadReport(report, delivered));
  EXPECT_EQ(delivered, 3u);
  EXPECT_EQ(report[2], 0x02);
  EXPECT_EQ(report[3], 0x00);

  // Reads start at offset 0 of the handle each time; an empty file gives
  // end-of-file as the system error rather than a report.
  WriteFileBytes("");
  EXPECT_FALSE(device->ReadReport(report, delivered));
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(device->LastError(), kErrorHandleEof);
}

}  // namespace
}  // namespace velkan
