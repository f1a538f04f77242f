// RealClock on CLOCK_MONOTONIC: Now() and the absolute-deadline sleeps read
// the same clock, so a deadline computed from Now() is exact.
#include <cerrno>
#include <ctime>

#include "common/clock.h"

namespace velkan {

namespace {

constexpr long long kMicrosPerSecond = 1'000'000;

}  // namespace

Clock::Duration RealClock::Now() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return Duration(static_cast<long long>(ts.tv_sec) * kMicrosPerSecond + ts.tv_nsec / 1000);
}

void RealClock::SleepUntil(Duration deadline) {
  if (deadline.count() <= 0) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline.count() / kMicrosPerSecond);
  ts.tv_nsec = static_cast<long>(deadline.count() % kMicrosPerSecond) * 1000;
  // A signal handler interrupts the wait; the deadline stays the same.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace velkan
