// Finding and opening the programmer among the HID interfaces.
#include <gtest/gtest.h>

#include "programmer/backend.h"
#include "programmer/fake_platform.h"
#include "velkan/velkan.h"

namespace velkan::test {
namespace {

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override { UsePlatform(platform_); }
  void TearDown() override {
    SelectDevicePath(std::nullopt);
    UseSystemHid();
  }
  std::shared_ptr<FakePlatform> platform_ = std::make_shared<FakePlatform>();
};

TEST_F(SearchTest, FirstProgrammerWinsAndOthersAreClosed) {
  FakeDevice& mouse = platform_->Add(0x046D, 0xC077);
  FakeDevice& sameVendor = platform_->Add(0x0755, 0x0103);
  FakeDevice& first = platform_->Add();
  FakeDevice& second = platform_->Add();
  const int h = DllOpenReader();
  ASSERT_GT(h, 0);
  EXPECT_EQ(first.opens, 1);
  EXPECT_EQ(first.closes, 0);
  EXPECT_EQ(second.opens, 0);
  EXPECT_EQ(mouse.closes, 1);
  EXPECT_EQ(sameVendor.closes, 1);
  EXPECT_EQ(DllCloseReader(h), 0);
  EXPECT_EQ(first.closes, 1);
}

TEST_F(SearchTest, UnopenableDeviceIsSkipped) {
  FakeDevice& busy = platform_->Add();
  busy.openFails = true;
  FakeDevice& next = platform_->Add();
  const int h = DllOpenReader();
  ASSERT_GT(h, 0);
  EXPECT_EQ(next.opens, 1);
  DllCloseReader(h);
}

// One interface that cannot be read among three programmers, for each way
// of not being readable: the other two are found, opened and listed, and
// the search names the one it passed over.
TEST_F(SearchTest, AnUnreadableInterfaceHidesNoOtherProgrammer) {
  using Reason = SkippedInterface::Reason;
  struct Case {
    const char* name;
    void (*spoil)(FakePlatform&, FakeDevice&);
    Reason reason;
    int error;
    bool idsKnown;
  };
  const Case cases[] = {
      {"no access", [](FakePlatform&, FakeDevice& d) { d.openFails = true; }, Reason::kOpen, 13,
       true},
      {"attributes", [](FakePlatform&, FakeDevice& d) { d.attributesFail = true; },
       Reason::kAttributes, 31, false},
      {"device path", [](FakePlatform& p, FakeDevice&) { p.pathFailsAt = 1; }, Reason::kNoPath, 0,
       false},
      {"identity", [](FakePlatform&, FakeDevice& d) { d.identityFails = true; }, Reason::kIdentity,
       32, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto platform = std::make_shared<FakePlatform>();
    UsePlatform(platform);
    FakeDevice& first = platform->Add();
    FakeDevice& bad = platform->Add();
    FakeDevice& third = platform->Add();
    first.serial = "A";
    bad.serial = "B";
    third.serial = "C";
    c.spoil(*platform, bad);

    const std::vector<FoundDevice> listed = ListProgrammers();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].path, first.path);
    EXPECT_EQ(listed[1].path, third.path);

    const ProgrammerSearch search = SearchProgrammers();
    EXPECT_TRUE(search.complete);
    EXPECT_EQ(search.found.size(), 2u);
    ASSERT_EQ(search.skipped.size(), 1u);
    const SkippedInterface& skipped = search.skipped[0];
    EXPECT_EQ(skipped.index, 1u);
    EXPECT_EQ(skipped.path, c.reason == Reason::kNoPath ? "" : bad.path);
    EXPECT_EQ(skipped.reason, c.reason);
    EXPECT_EQ(skipped.error, c.error);
    EXPECT_EQ(skipped.IsProgrammer(), c.idsKnown);

    // Picked by serial, the programmer behind the bad one still opens.
    SelectDevice(DeviceSelector::Parse("serial=C"));
    const int h = DllOpenReader();
    ASSERT_GT(h, 0);
    EXPECT_EQ(third.opens - third.closes, 1);
    EXPECT_EQ(DllCloseReader(h), 0);
    SelectDevice(std::nullopt);
    for (const auto& d : platform->devices) EXPECT_EQ(d->opens, d->closes);
  }
}

TEST_F(SearchTest, OnlyAFailedEnumerationEndsTheSearch) {
  FakeDevice& first = platform_->Add();
  FakeDevice& later = platform_->Add();
  first.openFails = true;
  platform_->failedAt = 1;
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  EXPECT_EQ(later.opens, 0);
  const ProgrammerSearch search = SearchProgrammers();
  EXPECT_FALSE(search.complete);
  EXPECT_TRUE(search.found.empty());
  ASSERT_EQ(search.skipped.size(), 1u);  // what came before the failure
  EXPECT_EQ(search.skipped[0].path, first.path);

  platform_->failedAt.reset();
  platform_->unavailable = true;
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  EXPECT_FALSE(SearchProgrammers().complete);

  auto empty = std::make_shared<FakePlatform>();
  UsePlatform(empty);
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  EXPECT_TRUE(SearchProgrammers().complete);
}

// Only programmers that did not open count as unopenable programmers; a
// refused mouse does not.
TEST_F(SearchTest, UnopenableProgrammersAreThoseThatDidNotOpen) {
  platform_->Add(0x046D, 0xC077).openFails = true;
  FakeDevice& locked = platform_->Add();
  locked.openFails = true;
  locked.openError = 16;
  platform_->Add().attributesFail = true;
  const auto unopenable = ListUnopenableProgrammers();
  ASSERT_EQ(unopenable.size(), 1u);
  EXPECT_EQ(unopenable[0].path, locked.path);
  EXPECT_EQ(unopenable[0].error, 16);
}

TEST_F(SearchTest, HandlesAreDistinctPositiveAndIndependent) {
  FakeDevice& a = platform_->Add();
  FakeDevice& b = platform_->Add();
  SelectDevicePath(a.path);
  const int ha = DllOpenReader();
  SelectDevicePath(b.path);
  const int hb = DllOpenReader();
  ASSERT_GT(ha, 0);
  ASSERT_GT(hb, 0);
  EXPECT_NE(ha, hb);
  EXPECT_EQ(b.opens, 1);

  b.QueueReply(0, {});
  EXPECT_EQ(DllLedControl(hb, 1), 0);
  EXPECT_TRUE(a.written.empty());
  EXPECT_EQ(b.written.size(), 1u);

  // A handle is not handed out again after it was closed.
  EXPECT_EQ(DllCloseReader(ha), 0);
  SelectDevicePath(a.path);
  const int hc = DllOpenReader();
  EXPECT_NE(hc, ha);
  EXPECT_EQ(DllCloseReader(hb), 0);
  EXPECT_EQ(DllCloseReader(hc), 0);

  SelectDevicePath("fake:none");
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
}

// Each handle keeps the last error of its own last call; the C API's
// module-wide value is the last call's on any handle.
TEST_F(SearchTest, EachHandleKeepsTheLastErrorOfItsOwnCalls) {
  FakeDevice& a = platform_->Add();
  FakeDevice& b = platform_->Add();
  SelectDevicePath(a.path);
  const int ha = DllOpenReader();
  SelectDevicePath(b.path);
  const int hb = DllOpenReader();
  ASSERT_GT(ha, 0);
  ASSERT_GT(hb, 0);

  b.QueueReply(0, {});
  EXPECT_EQ(DllLedControl(hb, 1), 0);
  a.failWriteAt = 0;
  a.writeError = 19;
  EXPECT_EQ(DllLedControl(ha, 1), 19);
  EXPECT_EQ(ReaderLastError(ha), 19);
  EXPECT_EQ(ReaderLastError(hb), 0);
  EXPECT_EQ(LastErrorValue(), 19);

  // b's next failure is b's alone; a's call after it clears only a's.
  b.QueueReadError(110);
  EXPECT_EQ(DllLedControl(hb, 2), 110);
  EXPECT_EQ(ReaderLastError(ha), 19);
  a.QueueReply(0, {});
  EXPECT_EQ(DllLedControl(ha, 2), 0);
  EXPECT_EQ(ReaderLastError(ha), 0);
  EXPECT_EQ(ReaderLastError(hb), 110);
  EXPECT_EQ(LastErrorValue(), 0);

  // A call on no handle sets only the module-wide value.
  EXPECT_EQ(DllLedControl(9999, 1), VELKAN_ERR_BAD_HANDLE);
  EXPECT_EQ(LastErrorValue(), VELKAN_ERR_BAD_HANDLE);
  EXPECT_EQ(ReaderLastError(hb), 110);

  EXPECT_EQ(DllCloseReader(ha), 0);
  EXPECT_EQ(ReaderLastError(ha), VELKAN_ERR_BAD_HANDLE);
  EXPECT_EQ(DllCloseReader(hb), 0);
}

TEST_F(SearchTest, ListProgrammersInEnumerationOrder) {
  platform_->Add();
  platform_->Add(0x1111, 0x2222);
  platform_->Add();
  const auto found = ListProgrammers();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, "fake:0");
  EXPECT_EQ(found[1].path, "fake:2");
  for (const auto& d : platform_->devices) EXPECT_EQ(d->opens, d->closes);
}

}  // namespace
}  // namespace velkan::test
