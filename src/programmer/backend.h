// Which HID platform the library's module-wide API works on, and helpers the
// tools use to find programmers. Not part of the C API.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "programmer/hid_platform.h"

namespace velkan::emu {
class Emulator;
}

namespace velkan {

inline constexpr std::uint16_t kProgrammerVendorId = 0x0755;
inline constexpr std::uint16_t kProgrammerProductId = 0x0102;

// Routes DllOpenReader to `platform` (tests: scripted platforms).
void UsePlatform(std::shared_ptr<hid::Platform> platform);
// Back to the system's real HID access (the default).
void UseSystemHid();
// Routes DllOpenReader to a new emulated programmer with its state in
// `stateDir` (none: in memory) and returns it. nullptr when the folder
// cannot be used; `error` (when given) then tells why.
std::shared_ptr<emu::Emulator> UseEmulator(const std::optional<std::filesystem::path>& stateDir,
                                           std::string* error = nullptr);
// The emulator in use, or nullptr when the library is on another platform.
std::shared_ptr<emu::Emulator> CurrentEmulator();

// Makes DllOpenReader open this device path (none: the first programmer
// found). The device must still be a programmer (0755:0102).
void SelectDevicePath(std::optional<std::string> path);

struct FoundDevice {
  std::string path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};
// Every programmer (0755:0102) on the current platform, in enumeration order.
std::vector<FoundDevice> ListProgrammers();

// The module-wide last-error value (see velkan.h).
int LastErrorValue();

}  // namespace velkan
