// State the pages share: the module-wide reader handle and the guard that
// keeps two activities (online run, offline run, I2C test) off the
// programmer at the same time.
#pragma once

#include <string_view>

#include "common/dialogs.h"

namespace velkan {

// 0: not open; -2: the last open found no programmer; else an open handle.
int ReaderHandle();
void SetReaderHandle(int handle);

// The refusal texts when the programmer is busy with another activity: the
// programming pages' form (full-width "！") and the I2C page's form.
inline constexpr std::string_view kBusyText = "编程器正忙，请等待当前操作结束！";
inline constexpr std::string_view kBusyTextAscii = "编程器正忙，请等待当前操作结束!";

// Holds the programmer for one activity while it lives. Movable (a run
// takes it onto its worker thread).
class ProgrammerLease {
 public:
  ProgrammerLease() = default;
  ~ProgrammerLease();
  ProgrammerLease(ProgrammerLease&& other) noexcept;
  ProgrammerLease& operator=(ProgrammerLease&& other) noexcept;
  ProgrammerLease(const ProgrammerLease&) = delete;
  ProgrammerLease& operator=(const ProgrammerLease&) = delete;

  // Takes the programmer if no other activity holds it; an empty lease
  // (false) otherwise.
  static ProgrammerLease TryAcquire();
  explicit operator bool() const { return held_; }
  void Release();

 private:
  bool held_ = false;
};

// Whether some activity holds the programmer now.
bool ProgrammerBusy();

// Holds the open programmer `handle` for the rest of the current activity,
// against other processes and other handles: the hold ends when the
// activity's lease is released (or the handle closed). 0, kReaderBusy when
// another program holds the programmer (nothing may be sent then), or
// another error number.
int HoldProgrammerForActivity(int handle);

// Takes the programmer for a programming run started from `owner` (a page).
// When another activity holds it, shows kBusyText with the caption "提示" and
// an OK button owned by `owner` and returns an empty lease; nothing is sent
// to the programmer.
ProgrammerLease AcquireForRun(Dialogs& owner);

}  // namespace velkan
