// The hidraw backend with its device folder and read timeout as parameters,
// so that its enumeration and transfers can be exercised on ordinary files.
#pragma once

#include <filesystem>
#include <memory>

#include "programmer/hid_platform.h"

namespace velkan::hid {

// The hidraw<N> nodes of `deviceDir` in numeric order; a read gives up after
// `readTimeoutMs` with kTimeoutError. MakeSystemPlatform() is this on /dev.
std::shared_ptr<Platform> MakeHidrawPlatform(std::filesystem::path deviceDir,
                                             int readTimeoutMs = kReadTimeoutMs);

}  // namespace velkan::hid
