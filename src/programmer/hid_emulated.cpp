// SPDX-License-Identifier: Apache-2.0
#include "programmer/hid_emulated.h"

#include <cstdio>
#include <string>
#include <utility>

#include "emulator/emulator.h"

namespace velkan::hid {

namespace {

#if defined(_WIN32)
constexpr int kClosedError = 6;   // ERROR_INVALID_HANDLE
constexpr int kGoneError = 1167;  // ERROR_DEVICE_NOT_CONNECTED
#else
constexpr int kClosedError = 9;  // EBADF
constexpr int kGoneError = 19;   // ENODEV
#endif

constexpr std::uint16_t kVendorId = 0x0755;
constexpr std::uint16_t kProductId = 0x0102;

// One open handle: a reader of the emulator with its own report queue.
class EmulatedDevice final : public Device {
 public:
  EmulatedDevice(std::shared_ptr<emu::Emulator> emulator, Identity identity)
      : emulator_(std::move(emulator)),
        identity_(std::move(identity)),
        reader_(emulator_->AttachReader()) {}
  ~EmulatedDevice() override { Detach(); }

  bool GetAttributes(Attributes& out) override {
    if (closed_) return Fail(kClosedError);
    if (!emulator_->Present()) return Fail(kGoneError);
    out.vendorId = kVendorId;
    out.productId = kProductId;
    return true;
  }

  bool GetIdentity(Identity& out) override {
    if (closed_) return Fail(kClosedError);
    out = identity_;
    return true;
  }

  bool WriteReport(const Report& report) override {
    if (closed_) return Fail(kClosedError);
    int code = 0;
    if (!emulator_->WriteReport(report, code)) return Fail(code);
    return true;
  }

  // The emulator itself waits kReadTimeoutMs on the process clock when no
  // reply is pending and then fails with kTimeoutError.
  bool ReadReport(Report& report, std::size_t& delivered) override {
    if (closed_) return Fail(kClosedError);
    int code = 0;
    if (!emulator_->ReadReport(reader_, report, delivered, code)) return Fail(code);
    return true;
  }

  bool ReadReportWithin(Report& report, std::size_t& delivered, int timeoutMs) override {
    if (closed_) return Fail(kClosedError);
    int code = 0;
    if (!emulator_->ReadReport(reader_, report, delivered, code,
                               std::chrono::milliseconds(timeoutMs))) {
      return Fail(code);
    }
    return true;
  }

  void DiscardPending() override {
    if (!closed_) emulator_->DiscardPending(reader_);
  }

  bool Lock(bool wait) override {
    if (closed_) return Fail(kClosedError);
    if (holds_ == 0 && !emulator_->Acquire(reader_, wait)) return Fail(kBusyError);
    ++holds_;
    return true;
  }

  void Unlock() override {
    if (holds_ == 0) return;
    if (--holds_ == 0 && !closed_) emulator_->Release(reader_);
  }

  bool Close() override {
    if (closed_) return Fail(kClosedError);
    Detach();
    return true;
  }

  int LastError() const override { return lastError_; }

 private:
  bool Fail(int code) {
    lastError_ = code != 0 ? code : kGoneError;
    return false;
  }
  void Detach() {
    if (closed_) return;
    closed_ = true;
    holds_ = 0;
    emulator_->DetachReader(reader_);  // ends a hold too
  }

  std::shared_ptr<emu::Emulator> emulator_;
  Identity identity_;
  int reader_;
  int holds_ = 0;
  bool closed_ = false;
  int lastError_ = 0;
};

// The interface list as it was when it was asked for: the programmers
// present then, by index.
class EmulatedInterfaceSet final : public InterfaceSet {
 public:
  explicit EmulatedInterfaceSet(std::vector<std::size_t> present) : present_(std::move(present)) {}

  Item At(std::size_t index) override {
    return index < present_.size() ? Item::kPresent : Item::kNoMore;
  }

  bool DevicePath(std::size_t index, std::string& path) override {
    if (index >= present_.size()) return false;
    path = EmulatorPath(present_[index]);
    return true;
  }

 private:
  std::vector<std::size_t> present_;
};

class EmulatedPlatform final : public Platform {
 public:
  explicit EmulatedPlatform(std::vector<std::shared_ptr<emu::Emulator>> emulators)
      : emulators_(std::move(emulators)) {}

  std::unique_ptr<InterfaceSet> PresentInterfaces() override {
    std::vector<std::size_t> present;
    for (std::size_t i = 0; i < emulators_.size(); ++i) {
      if (emulators_[i] && emulators_[i]->Present()) present.push_back(i);
    }
    return std::make_unique<EmulatedInterfaceSet>(std::move(present));
  }

  std::unique_ptr<Device> Open(const std::string& path) override {
    for (std::size_t i = 0; i < emulators_.size(); ++i) {
      if (path != EmulatorPath(i)) continue;
      if (!emulators_[i] || !emulators_[i]->Present()) return nullptr;
      Identity identity{EmulatorSerial(i), EmulatorPort(i), kEmulatorProduct};
      return std::make_unique<EmulatedDevice>(emulators_[i], std::move(identity));
    }
    return nullptr;
  }

 private:
  std::vector<std::shared_ptr<emu::Emulator>> emulators_;
};

}  // namespace

std::string EmulatorPath(std::size_t index) {
  return "emulator:" + std::to_string(index);
}

std::string EmulatorSerial(std::size_t index) {
  char text[32];
  std::snprintf(text, sizeof text, "EMU%04zu", index + 1);
  return text;
}

std::string EmulatorPort(std::size_t index) {
  return "emu-" + std::to_string(index + 1);
}

std::shared_ptr<Platform> MakeEmulatedPlatform(std::shared_ptr<emu::Emulator> emulator) {
  std::vector<std::shared_ptr<emu::Emulator>> one;
  one.push_back(std::move(emulator));
  return MakeEmulatedPlatform(std::move(one));
}

std::shared_ptr<Platform> MakeEmulatedPlatform(
    std::vector<std::shared_ptr<emu::Emulator>> emulators) {
  return std::make_shared<EmulatedPlatform>(std::move(emulators));
}

}  // namespace velkan::hid
