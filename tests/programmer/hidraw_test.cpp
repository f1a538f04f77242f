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

// Nodes that cannot be read are passed over, each named with its reason:
// a FIFO opens but has no HID attributes, a directory does not open.
TEST_F(HidrawTest, UnreadableNodesAreSkippedAndNamed) {
  Fifo("hidraw0");
  std::filesystem::create_directories(dir_ / "hidraw1");
  std::ofstream(dir_ / "hidraw2") << "";
  UsePlatform(MakeHidrawPlatform(dir_, 50, dir_ / "no-sysfs"));
  EXPECT_EQ(DllOpenReader(), -2);
  const ProgrammerSearch search = SearchProgrammers();
  EXPECT_TRUE(search.complete);
  EXPECT_TRUE(search.found.empty());
  ASSERT_EQ(search.skipped.size(), 3u);
  EXPECT_EQ(search.skipped[0].reason, SkippedInterface::Reason::kAttributes);
  EXPECT_EQ(search.skipped[0].error, ENOTTY);
  EXPECT_EQ(search.skipped[1].path, (dir_ / "hidraw1").string());
  EXPECT_EQ(search.skipped[1].reason, SkippedInterface::Reason::kOpen);
  EXPECT_EQ(search.skipped[1].error, EISDIR);
  EXPECT_FALSE(search.skipped[1].attributes);
  EXPECT_EQ(search.skipped[2].index, 2u);
  EXPECT_EQ(search.skipped[2].reason, SkippedInterface::Reason::kAttributes);
}

// Reports already waiting are read away without blocking; what comes later
// is read as usual.
TEST_F(HidrawTest, DiscardPendingEmptiesTheQueueWithoutWaiting) {
  const auto platform = MakeHidrawPlatform(dir_, 50);
  auto device = platform->Open(Fifo("hidraw0"));
  ASSERT_NE(device, nullptr);
  Report out{};
  for (int i = 0; i < 3; ++i) {
    out[1] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(device->WriteReport(out));
  }
  device->DiscardPending();
  Report in{};
  std::size_t delivered = 0;
  EXPECT_FALSE(device->ReadReport(in, delivered));
  EXPECT_EQ(device->LastError(), kTimeoutError);
  out[1] = 9;
  ASSERT_TRUE(device->WriteReport(out));
  ASSERT_TRUE(device->ReadReport(in, delivered));
  EXPECT_EQ(in[1], 9);
  device->DiscardPending();  // nothing there: returns at once
}

// The hold is flock on the open node: a second opener (here or in another
// process) is refused without waiting, holds nest, and closing ends them.
TEST_F(HidrawTest, LockKeepsOtherOpenersOut) {
  std::ofstream(dir_ / "hidraw0") << "";
  const auto platform = MakeHidrawPlatform(dir_, 50);
  const std::string path = (dir_ / "hidraw0").string();
  auto first = platform->Open(path);
  auto second = platform->Open(path);
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->Lock(false));
  ASSERT_TRUE(first->Lock(true));  // nested: no self-deadlock
  EXPECT_FALSE(second->Lock(false));
  EXPECT_EQ(second->LastError(), kBusyError);
  first->Unlock();
  EXPECT_FALSE(second->Lock(false));
  first->Unlock();
  ASSERT_TRUE(second->Lock(false));
  EXPECT_FALSE(first->Lock(false));
  ASSERT_TRUE(second->Close());
  EXPECT_TRUE(first->Lock(false));
  first->Unlock();
}

// A node that exists but does not open is described from sysfs, so that
// the tools can tell "no programmer" from "no access to the programmer".
TEST_F(HidrawTest, UnopenableProgrammersAreToldFromSysfs) {
  const auto dev = dir_ / "dev";
  const auto sys = dir_ / "sys";
  // Directories do not open for reading and writing (EISDIR), whoever runs
  // the test.
  std::filesystem::create_directories(dev / "hidraw0");
  std::filesystem::create_directories(dev / "hidraw1");
  std::filesystem::create_directories(sys / "hidraw0" / "device");
  std::filesystem::create_directories(sys / "hidraw1" / "device");
  std::ofstream(sys / "hidraw0" / "device" / "uevent")
      << "DRIVER=hid-generic\nHID_ID=0003:00000755:00000102\nHID_NAME=x\n";
  std::ofstream(sys / "hidraw1" / "device" / "uevent") << "HID_ID=0003:0000046D:0000C52B\n";
  UsePlatform(MakeHidrawPlatform(dev, 50, sys));
  EXPECT_EQ(DllOpenReader(), -2);
  const auto unopenable = ListUnopenableProgrammers();
  ASSERT_EQ(unopenable.size(), 1u);
  EXPECT_EQ(unopenable[0].path, (dev / "hidraw0").string());
  EXPECT_EQ(unopenable[0].error, EISDIR);
}

}  // namespace
}  // namespace velkan::hid
