#include "common/clock.h"

#include <thread>

namespace velkan {

namespace {

RealClock g_realClock;
std::atomic<Clock*> g_clock{&g_realClock};

// Spin for the last part of a sleep: the scheduler's wake-up latency is
// 50 us on a quiet machine but reaches several hundred microseconds on a busy
// or virtualised one, which would add up over thousands of 1 ms waits. Waits
// of up to this margin are spun whole; longer ones sleep first.
constexpr Clock::Duration kSpinMargin{1500};

}  // namespace

void RealClock::Sleep(Duration d) {
  if (d.count() <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + d;
  if (d > kSpinMargin) std::this_thread::sleep_for(d - kSpinMargin);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

Clock::Duration RealClock::Now() {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

Clock& GetClock() {
  return *g_clock.load(std::memory_order_acquire);
}

void SetClock(Clock* clock) {
  g_clock.store(clock != nullptr ? clock : &g_realClock, std::memory_order_release);
}

}  // namespace velkan
