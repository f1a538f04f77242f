// SPDX-License-Identifier: Apache-2.0
// The few HID operations the programmer link needs from the platform. One
// implementation per platform (Linux hidraw, Windows HID/SetupAPI) plus the
// emulated programmer; tests script their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

// Platform error code of a device that another opener holds (Lock without
// waiting).
#if defined(_WIN32)
inline constexpr int kBusyError = 170;  // ERROR_BUSY
#else
inline constexpr int kBusyError = 11;      // EWOULDBLOCK
#endif

// How long a report read waits before it fails with kTimeoutError.
inline constexpr int kReadTimeoutMs = 10000;

struct Attributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// What tells one programmer from another. Empty where the platform does not
// know.
struct Identity {
  std::string serial;   // USB serial number string
  std::string port;     // where it is plugged in (USB port path)
  std::string product;  // product string
};

// Why a device did not open, as far as the platform can tell.
struct Refusal {
  int error = 0;  // the platform's error code; 0 when unknown
  std::optional<Attributes> attributes;
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
  // The same with a time limit of its own (kTimeoutError when it passes).
  virtual bool ReadReportWithin(Report& report, std::size_t& delivered, int /*timeoutMs*/) {
    return ReadReport(report, delivered);
  }
  // Closes the device; false when the platform reports a failure. Further
  // calls fail. A hold (Lock) ends with it.
  virtual bool Close() = 0;
  // Serial number, port and product string; false when they cannot be read.
  virtual bool GetIdentity(Identity& out) {
    out = {};
    return true;
  }
  // Throws away input reports that have arrived and not been read (the rest
  // of a reply that was given up on), without waiting for more.
  virtual void DiscardPending() {}
  // Takes the device for this opener alone, across processes. With `wait`
  // it blocks until the device is free; without, it fails at once with
  // kBusyError when another opener holds it. Holds nest: the device is free
  // again after as many Unlock() calls as successful Lock() calls.
  virtual bool Lock(bool /*wait*/) { return true; }
  virtual void Unlock() {}
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
  // For a path that Open refused: the platform's error code of the refusal
  // and, where the system tells it without opening the device, its
  // attributes. Nothing when the platform cannot tell (or it opens now).
  virtual std::optional<Refusal> DescribeUnopenable(const std::string& /*path*/) {
    return std::nullopt;
  }
};

// The real HID access of this platform.
std::shared_ptr<Platform> MakeSystemPlatform();

// The platform's own short text for one of its error codes.
std::string SystemErrorText(int code);

}  // namespace velkan::hid
