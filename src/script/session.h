// The pages' view of their station: the reader handle and the lease that
// keeps two activities (online run, offline run, I2C test) off one
// programmer at the same time. Without a station argument these are the
// default station's, which the desktop pages share.
#pragma once

#include <string_view>

#include "common/dialogs.h"
#include "script/station.h"

namespace velkan {

// The default station's reader handle: 0 not open; -2 the last open found
// no programmer; else an open handle.
int ReaderHandle();
void SetReaderHandle(int handle);

// The refusal texts when the programmer is busy with another activity: the
// programming pages' form (full-width "！") and the I2C page's form.
inline constexpr std::string_view kBusyText = "编程器正忙，请等待当前操作结束！";
inline constexpr std::string_view kBusyTextAscii = "编程器正忙，请等待当前操作结束!";

// Holds a station's programmer for one activity while it lives. Movable (a
// run takes it onto its worker thread).
class ProgrammerLease {
 public:
  ProgrammerLease() = default;
  ~ProgrammerLease();
  ProgrammerLease(ProgrammerLease&& other) noexcept;
  ProgrammerLease& operator=(ProgrammerLease&& other) noexcept;
  ProgrammerLease(const ProgrammerLease&) = delete;
  ProgrammerLease& operator=(const ProgrammerLease&) = delete;

  // Takes the station if no other activity holds it; an empty lease
  // (false) otherwise.
  static ProgrammerLease TryAcquire(Station& station);
  static ProgrammerLease TryAcquire() { return TryAcquire(DefaultStation()); }
  explicit operator bool() const { return station_ != nullptr; }
  void Release();

 private:
  Station* station_ = nullptr;
};

// Whether some activity holds the default station now.
bool ProgrammerBusy();

// Holds the open programmer `handle` of the default station for the rest of
// the current activity (see Station::HoldForActivity).
int HoldProgrammerForActivity(int handle);

// Takes the station for a programming run started from `owner` (a page).
// When another activity holds it, shows kBusyText with the caption "提示" and
// an OK button owned by `owner` and returns an empty lease; nothing is sent
// to the programmer.
ProgrammerLease AcquireForRun(Station& station, Dialogs& owner);
inline ProgrammerLease AcquireForRun(Dialogs& owner) {
  return AcquireForRun(DefaultStation(), owner);
}

}  // namespace velkan
