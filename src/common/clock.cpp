#include "common/clock.h"

namespace velkan {

namespace {

RealClock g_realClock;
std::atomic<Clock*> g_clock{&g_realClock};

}  // namespace

// No spinning, not even for the host's own mandated waits (100-800 ms, a
// handful per run): each overshoots by the scheduler's latency, well below
// 0.1% of a run, and against the emulated bus a wake-up that is late by
// less than a frame costs nothing, since the next report waits for its
// frame boundary anyway. Spinning cost a core for every waiting thread.
void RealClock::Sleep(Duration d) {
  if (d.count() <= 0) return;
  SleepUntil(Now() + d);
}

Clock& GetClock() {
  return *g_clock.load(std::memory_order_acquire);
}

void SetClock(Clock* clock) {
  g_clock.store(clock != nullptr ? clock : &g_realClock, std::memory_order_release);
}

}  // namespace velkan
