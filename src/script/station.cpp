#include "script/station.h"

#include "velkan/velkan.h"

namespace velkan {

Station::Station(std::optional<DeviceSelector> device) : device_(std::move(device)) {}

int Station::OpenReader() {
  const int handle = device_ ? velkan::OpenReader(device_) : DllOpenReader();
  if (handle > 0) {
    hid::Identity identity;
    if (ReaderIdentity(handle, identity)) {
      std::lock_guard lock(identityMutex_);
      serial_ = std::move(identity.serial);
      port_ = std::move(identity.port);
    }
  }
  return handle;
}

void Station::CloseReader() {
  const int handle = handle_.exchange(0, std::memory_order_acq_rel);
  if (IsOpenHandle(handle)) DllCloseReader(handle);
}

std::string Station::Serial() const {
  std::lock_guard lock(identityMutex_);
  return serial_;
}

std::string Station::Port() const {
  std::lock_guard lock(identityMutex_);
  return port_;
}

bool Station::TryTakeBusy() {
  bool expected = false;
  return busy_.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
}

void Station::ReleaseBusy() {
  if (const int handle = heldHandle_.exchange(0); handle != 0) ReleaseReader(handle);
  busy_.store(false, std::memory_order_release);
}

int Station::HoldForActivity(int handle) {
  if (heldHandle_.load() == handle) return 0;
  const int rc = HoldReader(handle);
  if (rc != 0) return rc;
  if (const int previous = heldHandle_.exchange(handle); previous != 0) ReleaseReader(previous);
  return 0;
}

Station& DefaultStation() {
  static Station station;
  return station;
}

}  // namespace velkan
