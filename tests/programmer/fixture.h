// A programmer opened through the C API on a scripted platform, with a
// virtual clock for the waits.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/clock.h"
#include "programmer/backend.h"
#include "programmer/fake_platform.h"
#include "velkan/velkan.h"

namespace velkan::test {

class ProgrammerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_ = std::make_shared<FakePlatform>();
    dev_ = &platform_->Add();
    UsePlatform(platform_);
    handle_ = DllOpenReader();
    ASSERT_GT(handle_, 0);
  }
  void TearDown() override {
    DllCloseReader(handle_);
    UseSystemHid();
  }

  // Frame bytes of the output reports since the last call.
  std::vector<std::uint8_t> Sent(std::size_t frameBytes) {
    std::vector<std::uint8_t> all = dev_->SentBytes();
    dev_->written.clear();
    all.resize(std::min(all.size(), frameBytes));
    return all;
  }

  std::shared_ptr<FakePlatform> platform_;
  FakeDevice* dev_ = nullptr;
  int handle_ = 0;
  VirtualClock clock_;
  ScopedClock scoped_{clock_};
};

using Bytes = std::vector<std::uint8_t>;

}  // namespace velkan::test
