#include "script/session.h"

#include <utility>

namespace velkan {

int ReaderHandle() {
  return DefaultStation().Handle();
}

void SetReaderHandle(int handle) {
  DefaultStation().SetHandle(handle);
}

ProgrammerLease::~ProgrammerLease() {
  Release();
}

ProgrammerLease::ProgrammerLease(ProgrammerLease&& other) noexcept
    : station_(std::exchange(other.station_, nullptr)) {}

ProgrammerLease& ProgrammerLease::operator=(ProgrammerLease&& other) noexcept {
  if (this != &other) {
    Release();
    station_ = std::exchange(other.station_, nullptr);
  }
  return *this;
}

ProgrammerLease ProgrammerLease::TryAcquire(Station& station) {
  ProgrammerLease lease;
  if (station.TryTakeBusy()) lease.station_ = &station;
  return lease;
}

void ProgrammerLease::Release() {
  if (Station* station = std::exchange(station_, nullptr)) station->ReleaseBusy();
}

bool ProgrammerBusy() {
  return DefaultStation().Busy();
}

int HoldProgrammerForActivity(int handle) {
  return DefaultStation().HoldForActivity(handle);
}

}  // namespace velkan
