#include "common/clock.h"

namespace velkan {

namespace {

RealClock g_realClock;
std::atomic<Clock*> g_clock{&g_realClock};

}  // namespace

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
