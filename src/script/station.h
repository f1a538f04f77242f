// One programmer as the runs see it: which programmer (its device choice),
// its reader handle, the lease that keeps two activities off it at once, and
// where its runs' events go. Production hosts run several stations side by
// side, each on its own thread; the desktop pages share the default one.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "programmer/backend.h"
#include "script/events.h"

namespace velkan {

class Station {
 public:
  // `device`: the programmer this station uses; none: the first one found
  // (DllOpenReader, which follows the process's device choice).
  explicit Station(std::optional<DeviceSelector> device = std::nullopt);
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  const std::optional<DeviceSelector>& Device() const { return device_; }

  // The reader handle: 0 not open, -2 the last open found no programmer,
  // otherwise open. It stays open after an activity and is closed (back to
  // 0) only after a communication failure.
  int Handle() const { return handle_.load(std::memory_order_acquire); }
  void SetHandle(int handle) { handle_.store(handle, std::memory_order_release); }
  // Opens this station's programmer: a handle or -2.
  int OpenReader();

  // The programmer's serial number (and port) once it has been opened;
  // empty before.
  std::string Serial() const;
  std::string Port() const;

  // Where the station's runs send their events besides the page (none by
  // default). Set it while no run is under way.
  void SetSink(EventSink* sink) { sink_ = sink; }
  EventSink* Sink() const { return sink_; }

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
  EventSink* sink_ = nullptr;
  mutable std::mutex identityMutex_;
  std::string serial_;
  std::string port_;
};

// The station the desktop pages (and the tools' single-programmer commands)
// share.
Station& DefaultStation();

}  // namespace velkan
