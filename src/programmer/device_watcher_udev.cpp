// SPDX-License-Identifier: Apache-2.0
// Plug notifications on Linux: a udev monitor for hidraw devices, told
// after udev has applied its rules (the node's access rights are set).
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include "programmer/device_watcher.h"

namespace velkan {

namespace {

class UdevNotifier final : public PlugNotifier {
 public:
  UdevNotifier(udev* context, udev_monitor* monitor) : context_(context), monitor_(monitor) {}
  ~UdevNotifier() override {
    udev_monitor_unref(monitor_);
    udev_unref(context_);
  }
  UdevNotifier(const UdevNotifier&) = delete;
  UdevNotifier& operator=(const UdevNotifier&) = delete;

  bool Wait(std::chrono::milliseconds limit) override {
    pollfd event{udev_monitor_get_fd(monitor_), POLLIN, 0};
    if (poll(&event, 1, static_cast<int>(limit.count())) <= 0) return false;
    bool plugged = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      udev_device_unref(device);
      plugged = true;
    }
    return plugged;
  }

 private:
  udev* context_;
  udev_monitor* monitor_;
};

}  // namespace

std::unique_ptr<PlugNotifier> MakeSystemPlugNotifier() {
  // Without a running udev daemon no event would ever come: looked for
  // every second instead.
  if (access("/run/udev/control", F_OK) != 0) return nullptr;
  udev* context = udev_new();
  if (context == nullptr) return nullptr;
  udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
  if (monitor == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor) < 0) {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    udev_unref(context);
    return nullptr;
  }
  const int fd = udev_monitor_get_fd(monitor);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return std::make_unique<UdevNotifier>(context, monitor);
}

}  // namespace velkan
