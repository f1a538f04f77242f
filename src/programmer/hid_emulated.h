// The emulated programmer as a HID platform: one present interface,
// "emulator:0", vendor 0755 product 0102, as long as the emulator is
// plugged in.
#pragma once

#include <memory>

#include "programmer/hid_platform.h"

namespace velkan::emu {
class Emulator;
}

namespace velkan::hid {

inline constexpr const char* kEmulatorPath = "emulator:0";

std::shared_ptr<Platform> MakeEmulatedPlatform(std::shared_ptr<emu::Emulator> emulator);

}  // namespace velkan::hid
