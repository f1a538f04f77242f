// The process-wide clock behind every wait of the programmer, the runs and
// the emulator. Tests install a virtual clock so that waits cost no time.
#pragma once

#include <atomic>
#include <chrono>

namespace velkan {

class Clock {
 public:
  using Duration = std::chrono::microseconds;

  virtual ~Clock() = default;
  // Blocks the calling thread for `d` (or advances virtual time by it).
  virtual void Sleep(Duration d) = 0;
  // Time since an arbitrary fixed point.
  virtual Duration Now() = 0;

  void SleepMs(unsigned ms) { Sleep(std::chrono::milliseconds(ms)); }
};

// Wall-clock time. Sleeps wake on time to within a few microseconds: the
// last stretch of each sleep is spent spinning, so that many short waits do
// not add up to a noticeable overshoot.
class RealClock final : public Clock {
 public:
  void Sleep(Duration d) override;
  Duration Now() override;
};

// Time that passes only when someone sleeps. Thread-safe.
class VirtualClock final : public Clock {
 public:
  void Sleep(Duration d) override { now_.fetch_add(d.count()); }
  Duration Now() override { return Duration(now_.load()); }

 private:
  std::atomic<Duration::rep> now_{0};
};

// The clock in use; a RealClock unless SetClock installed another one.
Clock& GetClock();
// Installs `clock` (nullptr: back to the real clock). The caller keeps the
// clock alive while it is installed.
void SetClock(Clock* clock);

// Installs a clock for the lifetime of this object (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) { SetClock(&clock); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace velkan
