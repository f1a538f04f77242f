// SPDX-License-Identifier: Apache-2.0
// Platforms without plug notifications here (Windows for now, Linux built
// without libudev): the watcher looks every second.
#include "programmer/device_watcher.h"

namespace velkan {

std::unique_ptr<PlugNotifier> MakeSystemPlugNotifier() {
  return nullptr;
}

}  // namespace velkan
