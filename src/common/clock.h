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
  // Blocks the calling thread until Now() has reached `deadline`; returns at
  // once when it already has. Deadlines do not drift: a schedule of
  // deadlines on a fixed grid stays on it however late a wake-up was.
  virtual void SleepUntil(Duration deadline) = 0;
  // Time since an arbitrary fixed point.
  virtual Duration Now() = 0;

  void SleepMs(unsigned ms) { Sleep(std::chrono::milliseconds(ms)); }
};

// The system's monotonic time. Every sleep is one absolute-deadline timer
// wait of the operating system (no spinning): the thread uses no CPU while
// it waits, and wakes after the deadline by the scheduler's latency (tens
// of microseconds on a quiet machine). Sleep(d) waits at least `d`.
class RealClock final : public Clock {
 public:
  void Sleep(Duration d) override;
  void SleepUntil(Duration deadline) override;
  Duration Now() override;
};

// Time that passes only when someone sleeps: Sleep adds to it, SleepUntil
// moves it forward to the deadline (never back). Thread-safe.
class VirtualClock final : public Clock {
 public:
  void Sleep(Duration d) override { now_.fetch_add(d.count()); }
  void SleepUntil(Duration deadline) override {
    auto now = now_.load();
    while (now < deadline.count() && !now_.compare_exchange_weak(now, deadline.count())) {
    }
  }
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
