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
// (0755:0102) and that `selector` (when given) picks. An interface that
// cannot be read (no device path, does not open, no attributes; with a
// serial or port selector, no identity) is passed over and the search goes
// on. It ends as not found (nullptr) when the interface set is unavailable
// or its enumeration fails. Other devices opened on the way are closed
// again.
std::unique_ptr<hid::Device> OpenProgrammer(hid::Platform& platform,
                                            const std::optional<DeviceSelector>& selector);

// Every programmer in enumeration order with its identity (each opened
// briefly), passing over interfaces that cannot be read as OpenProgrammer
// does (a programmer whose identity cannot be read among them).
std::vector<FoundDevice> FindProgrammers(hid::Platform& platform);

// The same with the interfaces passed over and why; each one that did not
// open is described as far as the platform can without opening it.
ProgrammerSearch SearchProgrammers(hid::Platform& platform);

// The programmers that are there but could not be opened, as far as the
// platform can tell without opening them.
std::vector<UnopenableDevice> FindUnopenableProgrammers(hid::Platform& platform);

}  // namespace velkan
