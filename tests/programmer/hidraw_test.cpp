// The hidraw backend on ordinary files: node order, whole-report transfers
// (a FIFO loops written reports back to the reader), the read timeout, and
// the failures of a node that is no HID device.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "programmer/backend.h"
#include "programmer/hid_linux.h"
#include "velkan/velkan.h"

namespace velkan::hid {
namespace {

class HidrawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velkan-hidraw-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    UseSystemHid();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Fifo(const std::string& name) {
    const std::string path = (dir_ / name).string();
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(HidrawTest, NodesAreEnumeratedInNumericOrder) {
  for (const char* name : {"hidraw10", "hidraw2", "hidraw9", "hidrawx", "hidraw", "hidraw1a"}) {
    std::ofstream(dir_ / name) << "";
  }
  const auto set = MakeHidrawPlatform(dir_)->PresentInterfaces();
  ASSERT_NE(set, nullptr);
  std::vector<std::string> names;
  for (std::size_t i = 0; set->At(i) == InterfaceSet::Item::kPresent; ++i) {
    std::string path;
    ASSERT_TRUE(set->DevicePath(i, path));
    names.push_back(std::filesystem::path(path).filename().string());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"hidraw2", "hidraw9", "hidraw10"}));
  EXPECT_EQ(MakeHidrawPlatform(dir_ / "missing")->PresentInterfaces(), nullptr);
}

TEST_F(HidrawTest, WholeReportsTimeoutAndClose) {
  const auto platform = MakeHidrawPlatform(dir_, 50);
  EXPECT_EQ(platform->Open((dir_ / "hidraw7").string()), nullptr);
  auto device = platform->Open(Fifo("hidraw0"));
  ASSERT_NE(device, nullptr);

  Report out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_TRUE(device->WriteReport(out));
  Report in{};
  std::size_t delivered = 0;
  ASSERT_TRUE(device->ReadReport(in, delivered));
  EXPECT_EQ(delivered, kReportSize);
  EXPECT_EQ(in, out);

  // Nothing more to read: the read gives up with the timeout code.
  EXPECT_FALSE(device->ReadReport(in, delivered));
  EXPECT_EQ(device->LastError(), kTimeoutError);

  // A FIFO has no HID attributes.
  Attributes attributes;
  EXPECT_FALSE(device->GetAttributes(attributes));
  EXPECT_EQ(device->LastError(), ENOTTY);

  EXPECT_TRUE(device->Close());
  EXPECT_FALSE(device->Close());
  EXPECT_FALSE(device->WriteReport(out));
  EXPECT_EQ(device->LastError(), EBADF);
}

TEST_F(HidrawTest, ANodeWithoutAttributesEndsTheSearch) {
  Fifo("hidraw0");
  UsePlatform(MakeHidrawPlatform(dir_, 50));
  EXPECT_EQ(DllOpenReader(), -2);
  EXPECT_TRUE(ListProgrammers().empty());
}

}  // namespace
}  // namespace velkan::hid
