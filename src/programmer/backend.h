// SPDX-License-Identifier: Apache-2.0
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
// The same with `count` emulated programmers (serials EMU0001, ...): with a
// folder and more than one, programmer k keeps its state in
// `stateDir`/<its serial>/. Empty when a folder cannot be used.
std::vector<std::shared_ptr<emu::Emulator>> UseEmulators(
    const std::optional<std::filesystem::path>& stateDir, std::size_t count,
    std::string* error = nullptr);
// The first emulator in use, or nullptr when the library is on another
// platform; all of them.
std::shared_ptr<emu::Emulator> CurrentEmulator();
std::vector<std::shared_ptr<emu::Emulator>> CurrentEmulators();

struct FoundDevice {
  std::string path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial;   // empty when unknown
  std::string port;     // empty when unknown
  std::string product;  // empty when unknown
};

// Which programmer to use: by device path, serial number or port.
struct DeviceSelector {
  enum class Kind { kPath, kSerial, kPort };
  Kind kind = Kind::kPath;
  std::string value;
  // "serial=SN", "port=P", anything else is a path.
  static DeviceSelector Parse(const std::string& text);
  bool Picks(const FoundDevice& device) const;
};

// Makes DllOpenReader open only the programmer `selector` picks (none: the
// first programmer found). It must still be a programmer (0755:0102).
void SelectDevice(std::optional<DeviceSelector> selector);
void SelectDevicePath(std::optional<std::string> path);

// Every programmer (0755:0102) on the current platform, in enumeration
// order, with serial, port and product where the platform tells them.
// Interfaces that cannot be read are passed over (see SearchProgrammers).
std::vector<FoundDevice> ListProgrammers();

// The platform the library works on now (the system's HID unless a program
// chose another), and whether it is the system's HID.
std::shared_ptr<hid::Platform> ActivePlatform();
bool UsesSystemHid();

// A HID interface the search passed over because it could not be read.
struct SkippedInterface {
  enum class Reason {
    kNoPath,      // the platform gave no device path for it
    kOpen,        // it did not open (no access rights, gone, held exclusively)
    kAttributes,  // its vendor and product IDs could not be read
    kIdentity,    // a programmer whose serial number and port could not be read
  };
  std::size_t index = 0;  // its place in the enumeration
  std::string path;       // empty with kNoPath
  Reason reason = Reason::kOpen;
  int error = 0;  // the platform's error code; 0 when it did not tell one
  // Vendor and product, where known: read before the failure, or told by the
  // platform without opening the device.
  std::optional<hid::Attributes> attributes;
  bool IsProgrammer() const;
};

// What a search over every interface found and passed over. `complete` is
// false when the interface list itself could not be had or its enumeration
// failed; what was found before that is still there.
struct ProgrammerSearch {
  std::vector<FoundDevice> found;
  std::vector<SkippedInterface> skipped;
  bool complete = true;
};

// ListProgrammers with every interface it passed over and why (each
// unopened one described as far as the platform can without opening it).
ProgrammerSearch SearchProgrammers();

// A programmer that is there but could not be opened, and the platform's
// error code of the refusal (EACCES: no access rights).
struct UnopenableDevice {
  std::string path;
  int error = 0;
};
std::vector<UnopenableDevice> ListUnopenableProgrammers();

// Opens the programmer behind `selector` as a reader handle (as
// DllOpenReader), or -2. With `ownFirmwareFlag` the handle keeps a firmware
// first-block flag of its own instead of the process's, so that firmware
// updates of several programmers do not share one.
int OpenReader(const std::optional<DeviceSelector>& selector, bool ownFirmwareFlag = false);
// The device choice DllOpenReader follows (SelectDevice).
std::optional<DeviceSelector> SelectedDevice();

// Holds the open programmer behind `reader` for a whole activity, so that
// no other process (or other handle) talks to it meanwhile; exchanges on
// `reader` itself go on. 0, kReaderBusy when another holds it, or another
// error number (a closed handle). Holds nest; ReleaseReader ends one.
inline constexpr int kReaderBusy = -36;
int HoldReader(int reader);
void ReleaseReader(int reader);
// Serial number and port of the open programmer behind `reader`.
bool ReaderIdentity(int reader, hid::Identity& identity);

// A short English text for a result or error number (VelkanErrorText).
const char* ErrorText(int error);

// The module-wide last-error value of the C API (see velkan.h): the last
// call on any handle sets it. With several programmers in use, the tools
// ask ReaderLastError instead.
int LastErrorValue();

// The last-error value of the last call on `reader` alone (0 after a call
// that succeeded, the reason of a failure otherwise); VELKAN_ERR_BAD_HANDLE
// when `reader` is not open.
int ReaderLastError(int reader);

}  // namespace velkan
