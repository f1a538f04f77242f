// The pages' view of their station: the reader handle and the lease that
// keeps two activities (online run, offline run, I2C test) off one
// programmer at the same time. Without a station argument these are the
// default station's, which the desktop pages share.
#pragma once

#include <string_view>

#include "script/events.h"
#include "script/station.h"

namespace velkan {

// The default station's reader handle: 0 not open; kNoProgrammerHandle the
// last open found no programmer; else an open handle.
int ReaderHandle();
void SetReaderHandle(int handle);

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

}  // namespace velkan
