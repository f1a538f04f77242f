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

TEST(ProgrammerLease, AcquireForRunRefusesWithAMessage) {
  TestPage page;
  ProgrammerLease held = AcquireForRun(page);
  ASSERT_TRUE(held);
  EXPECT_TRUE(page.Boxes().empty());
  TestPage other;
  EXPECT_FALSE(AcquireForRun(other));
  const auto boxes = other.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "编程器正忙，请等待当前操作结束！");
  EXPECT_EQ(boxes[0].caption, "提示");
  EXPECT_EQ(boxes[0].buttons, MsgButtons::kOk);
}

std::atomic<bool> g_started{false};
std::atomic<bool> g_finish{false};

int WaitingRun(Station&, Page&) {
  g_started = true;
  while (!g_finish) std::this_thread::yield();
  return 0;
}

TEST(ProgrammerLease, RunThreadHoldsTheLeaseUntilItEnds) {
  TestPage page;
  ProgrammerLease lease = AcquireForRun(page);
  ASSERT_TRUE(lease);
  std::thread run = StartRunThread(DefaultStation(), page, std::move(lease), &WaitingRun);
  while (!g_started) std::this_thread::yield();
  EXPECT_TRUE(ProgrammerBusy());
  TestPage other;
  EXPECT_FALSE(AcquireForRun(other));
  g_finish = true;
  run.join();
  EXPECT_FALSE(ProgrammerBusy());
  EXPECT_TRUE(AcquireForRun(other));
}

class RunThreadTest : public EmulatedProgrammerTest {};

TEST_F(RunThreadTest, OnlineRunOnItsOwnThread) {
  TestPage page;
  page.Script() = ProgrammingScript(PatternImage(2), false);
  std::thread run =
      StartRunThread(DefaultStation(), page, AcquireForRun(page), &OnlineProgramThread);
  run.join();
  EXPECT_FALSE(ProgrammerBusy());
  EXPECT_EQ(page.LogText(), "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");
  EXPECT_EQ(page.Enables(), (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace velkan::test
