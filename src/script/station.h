// One programmer as the runs see it: which programmer (its device choice),
// its reader handle and the lease that keeps two activities off it at once.
// Production hosts run several stations side by side, each on its own
// thread; the desktop pages share the default one.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "programmer/backend.h"

namespace velkan {

// The reader handle of a station whose last open found no programmer.
inline constexpr int kNoProgrammerHandle = -2;

// Whether a reader handle value stands for an open programmer (not 0, not
// kNoProgrammerHandle).
inline bool IsOpenHandle(int handle) {
  return handle != 0 && handle != kNoProgrammerHandle;
}

class Station {
 public:
  // `device`: the programmer this station uses; none: the first one found
  // (DllOpenReader, which follows the process's device choice).
  explicit Station(std::optional<DeviceSelector> device = std::nullopt);
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  const std::optional<DeviceSelector>& Device() const { return device_; }

  // The reader handle: 0 not open, kNoProgrammerHandle the last open found
  // no programmer, otherwise open. It stays open after an activity and is
  // closed (back to 0) only after a communication failure.
  int Handle() const { return handle_.load(std::memory_order_acquire); }
  void SetHandle(int handle) { handle_.store(handle, std::memory_order_release); }
  // Opens this station's programmer: a handle or kNoProgrammerHandle.
  int OpenReader();
  // Closes the programmer if it is open; the handle is 0 afterwards.
  void CloseReader();

  // The programmer's serial number (and port) once it has been opened;
  // empty before.
  std::string Serial() const;
  std::string Port() const;

  // ---- Used by ProgrammerLease and the runs ----
  bool TryTakeBusy();
  void ReleaseBusy();
  bool Busy() const { return busy_.load(std::memory_order_acquire); }
  // Holds the open programmer `handle` until ReleaseBusy: 0, kReaderBusy,
  // or another error number.
  int HoldForActivity(int handle);

 private:
  std::optional<DeviceSelector> device_;
  std::atomic<int> handle_{0};
  std::atomic<bool> busy_{false};
  std::atomic<int> heldHandle_{0};
  mutable std::mutex identityMutex_;
  std::string serial_;
  std::string port_;
};

// The station the desktop pages (and the tools' single-programmer commands)
// share.
Station& DefaultStation();

}  // namespace velkan
