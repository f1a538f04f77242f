// The few HID operations the programmer link needs from the platform. One
// implementation per platform (Linux hidraw, Windows HID/SetupAPI) plus the
// emulated programmer; tests script their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velkan::hid {

inline constexpr std::size_t kReportSize = 64;
using Report = std::array<std::uint8_t, kReportSize>;

// Platform error code of a read that got no answer in time.
#if defined(_WIN32)
inline constexpr int kTimeoutError = 1460;  // ERROR_TIMEOUT
#else
inline constexpr int kTimeoutError = 110;  // ETIMEDOUT
#endif

// How long a report read waits before it fails with kTimeoutError.
inline constexpr int kReadTimeoutMs = 10000;

struct Attributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// One open HID device.
class Device {
 public:
  virtual ~Device() = default;
  virtual bool GetAttributes(Attributes& out) = 0;
  // Writes one whole 64-byte output report, report ID first.
  virtual bool WriteReport(const Report& report) = 0;
  // Waits for one input report (at most kReadTimeoutMs) and reads it into
  // `report`; `delivered` is the number of bytes the read delivered,
  // report ID included.
  virtual bool ReadReport(Report& report, std::size_t& delivered) = 0;
  // Closes the device; false when the platform reports a failure. Further
  // calls fail.
  virtual bool Close() = 0;
  // Platform error code of the last failed call (positive).
  virtual int LastError() const = 0;
};

// The present HID device interfaces, in the platform's enumeration order.
class InterfaceSet {
 public:
  enum class Item { kPresent, kNoMore, kFailed };
  virtual ~InterfaceSet() = default;
  // Whether there is an interface at `index` (kFailed: enumeration error
  // other than the end of the list).
  virtual Item At(std::size_t index) = 0;
  // Device path of the interface at `index`; false when it cannot be had.
  virtual bool DevicePath(std::size_t index, std::string& path) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  // The set of present HID interfaces, or nullptr when unavailable.
  virtual std::unique_ptr<InterfaceSet> PresentInterfaces() = 0;
  // Opens `path` for reading and writing, shared, existing devices only.
  // nullptr on failure.
  virtual std::unique_ptr<Device> Open(const std::string& path) = 0;
};

// The real HID access of this platform.
std::shared_ptr<Platform> MakeSystemPlatform();

}  // namespace velkan::hid
