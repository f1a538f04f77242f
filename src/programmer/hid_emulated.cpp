#include "programmer/hid_emulated.h"

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

class EmulatedDevice final : public Device {
 public:
  explicit EmulatedDevice(std::shared_ptr<emu::Emulator> emulator)
      : emulator_(std::move(emulator)) {}

  bool GetAttributes(Attributes& out) override {
    if (closed_) return Fail(kClosedError);
    if (!emulator_->Present()) return Fail(kGoneError);
    out.vendorId = kVendorId;
    out.productId = kProductId;
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
    if (!emulator_->ReadReport(report, delivered, code)) return Fail(code);
    return true;
  }

  bool Close() override {
    if (closed_) return Fail(kClosedError);
    closed_ = true;
    return true;
  }

  int LastError() const override { return lastError_; }

 private:
  bool Fail(int code) {
    lastError_ = code != 0 ? code : kGoneError;
    return false;
  }

  std::shared_ptr<emu::Emulator> emulator_;
  bool closed_ = false;
  int lastError_ = 0;
};

// The interface list as it was when it was asked for.
class EmulatedInterfaceSet final : public InterfaceSet {
 public:
  explicit EmulatedInterfaceSet(bool present) : present_(present) {}

  Item At(std::size_t index) override {
    return present_ && index == 0 ? Item::kPresent : Item::kNoMore;
  }

  bool DevicePath(std::size_t index, std::string& path) override {
    if (!present_ || index != 0) return false;
    path = kEmulatorPath;
    return true;
  }

 private:
  bool present_;
};

class EmulatedPlatform final : public Platform {
 public:
  explicit EmulatedPlatform(std::shared_ptr<emu::Emulator> emulator)
      : emulator_(std::move(emulator)) {}

  std::unique_ptr<InterfaceSet> PresentInterfaces() override {
    return std::make_unique<EmulatedInterfaceSet>(emulator_ != nullptr && emulator_->Present());
  }

  std::unique_ptr<Device> Open(const std::string& path) override {
    if (emulator_ == nullptr || path != kEmulatorPath || !emulator_->Present()) return nullptr;
    return std::make_unique<EmulatedDevice>(emulator_);
  }

 private:
  std::shared_ptr<emu::Emulator> emulator_;
};

}  // namespace

std::shared_ptr<Platform> MakeEmulatedPlatform(std::shared_ptr<emu::Emulator> emulator) {
  return std::make_shared<EmulatedPlatform>(std::move(emulator));
}

}  // namespace velkan::hid
