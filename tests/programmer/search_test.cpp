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

TEST_F(SearchTest, ConditionsThatEndTheSearchAsNotFound) {
  // Attributes that cannot be read stop the walk before later programmers.
  platform_->Add(0x1234, 0x5678).attributesFail = true;
  FakeDevice& later = platform_->Add();
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  EXPECT_EQ(platform_->devices[0]->closes, 1);
  EXPECT_EQ(later.opens, 0);

  platform_->devices[0]->attributesFail = false;
  platform_->pathFailsAt = 0;
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  EXPECT_EQ(later.opens, 0);

  platform_->pathFailsAt.reset();
  platform_->failedAt = 1;
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
  EXPECT_EQ(later.opens, 0);

  platform_->failedAt.reset();
  platform_->unavailable = true;
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);

  auto empty = std::make_shared<FakePlatform>();
  UsePlatform(empty);
  EXPECT_EQ(DllOpenReader(), VELKAN_ERR_NO_READER);
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
