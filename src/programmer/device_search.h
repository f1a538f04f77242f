// SPDX-License-Identifier: Apache-2.0
// Finding the programmer among the HID interfaces of a platform.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "programmer/backend.h"
#include "programmer/hid_platform.h"

namespace velkan {

// Opens the first interface, in enumeration order, that is a programmer
// (0755:0102) and that `selector` (when given) picks. Interfaces that cannot
// be opened are skipped; the search ends as not found (nullptr) when the
// interface set is unavailable, a device path cannot be had, the
// enumeration fails, or an opened device's attributes cannot be read.
// Other devices opened on the way are closed again.
std::unique_ptr<hid::Device> OpenProgrammer(hid::Platform& platform,
                                            const std::optional<DeviceSelector>& selector);

// Every programmer in enumeration order with its identity (each opened
// briefly), ending on the same conditions as OpenProgrammer.
std::vector<FoundDevice> FindProgrammers(hid::Platform& platform);

// The programmers that are there but could not be opened, as far as the
// platform can tell without opening them.
std::vector<UnopenableDevice> FindUnopenableProgrammers(hid::Platform& platform);

}  // namespace velkan
