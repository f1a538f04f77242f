#include "script/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "emulated_programmer.h"
#include "script/runs.h"
#include "test_page.h"

namespace velkan::test {
namespace {

TEST(ProgrammerLease, OnlyOneActivityAtATime) {
  ASSERT_FALSE(ProgrammerBusy());
  ProgrammerLease first = ProgrammerLease::TryAcquire();
  EXPECT_TRUE(first);
  EXPECT_TRUE(ProgrammerBusy());
  EXPECT_FALSE(ProgrammerLease::TryAcquire());

  // Moving hands the programmer on without freeing it.
  ProgrammerLease moved = std::move(first);
  EXPECT_FALSE(first);
  EXPECT_TRUE(moved);
  EXPECT_TRUE(ProgrammerBusy());
  first.Release();  // an empty lease releases nothing
  EXPECT_TRUE(ProgrammerBusy());

  ProgrammerLease other;
  other = std::move(moved);
  EXPECT_TRUE(ProgrammerBusy());
  other = ProgrammerLease();  // assigning over a held lease frees it
  EXPECT_FALSE(ProgrammerBusy());
  {
    ProgrammerLease scoped = ProgrammerLease::TryAcquire();
    EXPECT_TRUE(scoped);
  }
  EXPECT_FALSE(ProgrammerBusy());
}

// A run on its own thread holds the lease it was given until it ends.
TEST(ProgrammerLease, ARunThreadHoldsTheLeaseUntilItEnds) {
  ProgrammerLease lease = ProgrammerLease::TryAcquire();
  ASSERT_TRUE(lease);
  std::atomic<bool> started{false}, finish{false};
  std::thread run([&, held = std::move(lease)]() mutable {
    started = true;
    while (!finish) std::this_thread::yield();
    held.Release();
  });
  while (!started) std::this_thread::yield();
  EXPECT_TRUE(ProgrammerBusy());
  EXPECT_FALSE(ProgrammerLease::TryAcquire());
  finish = true;
  run.join();
  EXPECT_FALSE(ProgrammerBusy());
  EXPECT_TRUE(ProgrammerLease::TryAcquire());
}

class RunThreadTest : public EmulatedProgrammerTest {};

TEST_F(RunThreadTest, OnlineRunOnItsOwnThread) {
  TestPage page;
  page.Script() = ProgrammingScript(PatternImage(2), false);
  std::thread run([&page] { page.Online(); });
  run.join();
  EXPECT_FALSE(ProgrammerBusy());
  EXPECT_EQ(page.LogText(), "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");
  EXPECT_TRUE(page.Boxes().empty());
}

}  // namespace
}  // namespace velkan::test
