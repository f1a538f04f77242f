// Stations: several programmers, each with its own reader handle, lease and
// events, running at the same time without getting in each other's way.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "emulated_programmer.h"
#include "script/runs.h"
#include "script/station.h"
#include "test_page.h"

namespace velkan::test {
namespace {

// Records the events a station's runs send besides the page.
class Recorder final : public EventSink {
 public:
  void OnEvent(const Event& event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<Event> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

DeviceSelector Path(int k) {
  return {DeviceSelector::Kind::kPath, "emulator:" + std::to_string(k)};
}

class StationTest : public ::testing::Test {
 protected:
  void TearDown() override { UseSystemHid(); }
};

// Each station's run reaches its own programmer; the events tell the run's
// course with the numbers (not the texts), the page's log keeps its texts.
TEST_F(StationTest, RunsOnTwoStationsReachTheirOwnProgrammers) {
  VirtualClock clock;
  ScopedClock scoped(clock);
  const auto emulators = UseEmulators(std::nullopt, 2);
  ASSERT_EQ(emulators.size(), 2u);
  emulators[1]->SetFused(true);

  Station first(Path(0)), second(Path(1));
  Recorder events;
  TestPage a, b;
  a.Script() = b.Script() = ProgrammingScript(PatternImage(2), false);
  RunOutcome ok, refused;
  {
    std::jthread t1([&] { ok = a.Online(first, &events); });
    std::jthread t2([&] { refused = b.Online(second); });
  }
  EXPECT_EQ(ok.result, kRunOk);
  EXPECT_EQ(refused.result, kRunStatusWord);
  EXPECT_EQ(emulators[0]->Flash(), PatternImage(2));
  EXPECT_EQ(emulators[0]->Led(), 2);
  EXPECT_EQ(emulators[1]->Led(), 1);
  EXPECT_EQ(first.Serial(), "EMU0001");
  EXPECT_EQ(second.Serial(), "EMU0002");
  EXPECT_GT(first.Handle(), 0);
  EXPECT_NE(first.Handle(), second.Handle());
  EXPECT_EQ(ReaderHandle(), 0);  // the default station was not touched
  EXPECT_EQ(a.LogText(), "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");
  EXPECT_NE(b.LogText().find(" 错误，SW = 6985\r\n下载失败！\r\n可能芯片已熔断！\r\n"),
            std::string::npos);

  const std::vector<Event> seen = events.Events();
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen.front().kind, EventKind::kProgrammerOpened);
  EXPECT_EQ(seen[1].kind, EventKind::kRunStarted);
  EXPECT_EQ(seen[1].lines, static_cast<int>(a.Script().size()));
  EXPECT_EQ(seen.back().kind, EventKind::kRunFinished);
  EXPECT_TRUE(seen.back().success);
  int done = 0;
  for (const Event& e : seen) done += e.kind == EventKind::kLineDone;
  EXPECT_EQ(done, seen[1].lines);
  for (std::size_t i = 0; i + 1 < seen.size(); ++i) {
    if (seen[i].kind == EventKind::kLineDone && seen[i + 1].kind == EventKind::kLineDone) {
      EXPECT_LE(seen[i].percent, seen[i + 1].percent);
    }
  }

  // A second activity on a busy station is refused; the other station is
  // free.
  ProgrammerLease held = ProgrammerLease::TryAcquire(first);
  ASSERT_TRUE(held);
  EXPECT_FALSE(ProgrammerLease::TryAcquire(first));
  EXPECT_TRUE(ProgrammerLease::TryAcquire(second));
  DllCloseReader(first.Handle());
  DllCloseReader(second.Handle());
}

// A programmer that stops answering holds its own station until the read
// gives up; another station's run goes through meanwhile (real time: the
// other run finishes while the silent one is still waiting).
TEST_F(StationTest, ASilentProgrammerDoesNotHoldUpTheOthers) {
  const auto emulators = UseEmulators(std::nullopt, 2);
  emu::Fault silent;
  silent.kind = emu::FaultKind::kNoAnswer;
  silent.atExchange = 3;
  emulators[0]->InjectFault(silent);

  Station stuck(Path(0)), working(Path(1));
  TestPage a, b;
  a.Script() = b.Script() = ProgrammingScript(PatternImage(1), false);
  std::atomic<bool> stuckDone{false};
  RunOutcome stuckOutcome, workingOutcome;
  std::jthread t1([&] {
    stuckOutcome = a.Online(stuck);
    stuckDone = true;
  });
  std::jthread t2([&] { workingOutcome = b.Online(working); });
  t2.join();
  EXPECT_EQ(workingOutcome.result, kRunOk);
  EXPECT_FALSE(stuckDone.load());  // still waiting for its answer
  t1.join();
  EXPECT_EQ(stuckOutcome.result, kRunCommFailure);
  EXPECT_EQ(stuck.Handle(), 0);  // closed after the communication failure
  DllCloseReader(working.Handle());
}

}  // namespace
}  // namespace velkan::test
