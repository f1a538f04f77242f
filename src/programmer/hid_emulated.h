// SPDX-License-Identifier: Apache-2.0
// The emulated programmers as a HID platform: programmer k (0-based) is the
// interface "emulator:k", vendor 0755 product 0102, serial "EMU000<k+1>",
// port "emu-<k+1>", present as long as its emulator is plugged in.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "programmer/hid_platform.h"

namespace velkan::emu {
class Emulator;
}

namespace velkan::hid {

inline constexpr const char* kEmulatorPath = "emulator:0";
inline constexpr const char* kEmulatorProduct = "VELKAN Programmer (emulated)";

// Device path, serial number and port of emulated programmer `index`.
std::string EmulatorPath(std::size_t index);
std::string EmulatorSerial(std::size_t index);
std::string EmulatorPort(std::size_t index);

std::shared_ptr<Platform> MakeEmulatedPlatform(std::shared_ptr<emu::Emulator> emulator);
std::shared_ptr<Platform> MakeEmulatedPlatform(
    std::vector<std::shared_ptr<emu::Emulator>> emulators);

}  // namespace velkan::hid
