// RealClock on the performance counter (steady_clock). Waits use a
// high-resolution waitable timer where the system has one (Windows 10 1803
// on); an ordinary timer wakes on the system tick, up to 15.6 ms late.
#include <windows.h>

#include <chrono>
#include <thread>

#include "common/clock.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace velkan {

namespace {

// One timer per thread, made on its first wait.
class ThreadTimer {
 public:
  ThreadTimer() {
    timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                      TIMER_ALL_ACCESS);
    if (timer_ == nullptr) timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~ThreadTimer() {
    if (timer_ != nullptr) ::CloseHandle(timer_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  // Waits `micros` (> 0); false when no timer could be made.
  bool Wait(long long micros) {
    if (timer_ == nullptr) return false;
    LARGE_INTEGER due{};
    due.QuadPart = -micros * 10;  // relative, in 100 ns units
    if (!::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) return false;
    ::WaitForSingleObject(timer_, INFINITE);
    return true;
  }

 private:
  HANDLE timer_ = nullptr;
};

}  // namespace

Clock::Duration RealClock::Now() {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void RealClock::SleepUntil(Duration deadline) {
  thread_local ThreadTimer timer;
  // The timer is relative: a wake-up before the deadline (rounding of the
  // timer) waits again for the rest.
  for (Duration now = Now(); now < deadline; now = Now()) {
    if (!timer.Wait((deadline - now).count())) {
      std::this_thread::sleep_for(deadline - now);
    }
  }
}

}  // namespace velkan
