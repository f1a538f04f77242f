// SPDX-License-Identifier: Apache-2.0
// The hidraw backend with its device folder and read timeout as parameters,
// so that its enumeration and transfers can be exercised on ordinary files.
#pragma once

#include <filesystem>
#include <memory>

#include "programmer/hid_platform.h"

namespace velkan::hid {

// The hidraw<N> nodes of `deviceDir` in numeric order; a read gives up after
// `readTimeoutMs` with kTimeoutError. A node that cannot be opened is told
// apart by `sysfsDir`/hidraw<N>/device/uevent. MakeSystemPlatform() is this
// on /dev and /sys/class/hidraw.
std::shared_ptr<Platform> MakeHidrawPlatform(std::filesystem::path deviceDir,
                                             int readTimeoutMs = kReadTimeoutMs,
                                             std::filesystem::path sysfsDir = "/sys/class/hidraw");

}  // namespace velkan::hid
