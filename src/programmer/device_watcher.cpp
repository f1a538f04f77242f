// SPDX-License-Identifier: Apache-2.0
#include "programmer/device_watcher.h"

#include <algorithm>
#include <utility>

#include "programmer/device_search.h"

namespace velkan {

namespace {

// How often the thread looks at its stop request while it waits for the
// system's notification: the longest a watcher takes to end.
constexpr std::chrono::milliseconds kNotifierSlice{200};

bool SameDevices(const std::vector<FoundDevice>& a, const std::vector<FoundDevice>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const FoundDevice& x, const FoundDevice& y) {
                      return x.path == y.path && x.serial == y.serial && x.port == y.port;
                    });
}

}  // namespace

DeviceWatcher::DeviceWatcher(std::unique_ptr<PlugNotifier> notifier,
                             std::chrono::milliseconds pollInterval)
    : notifier_(std::move(notifier)), pollInterval_(pollInterval) {
  thread_ = std::jthread([this](std::stop_token stop) { Loop(std::move(stop)); });
}

DeviceWatcher::~DeviceWatcher() {
  thread_.request_stop();
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::shared_ptr<DeviceWatcher> DeviceWatcher::Shared() {
  static std::mutex mutex;
  static std::weak_ptr<DeviceWatcher> shared;
  std::lock_guard lock(mutex);
  std::shared_ptr<DeviceWatcher> watcher = shared.lock();
  if (!watcher) {
    watcher = std::make_shared<DeviceWatcher>(UsesSystemHid() ? MakeSystemPlugNotifier() : nullptr);
    shared = watcher;
  }
  return watcher;
}

int DeviceWatcher::Subscribe(Listener listener) {
  std::lock_guard lock(mutex_);
  const int key = nextKey_++;
  listeners_.emplace(key, std::move(listener));
  announce_ = true;
  wake_.notify_all();
  return key;
}

void DeviceWatcher::Unsubscribe(int key) {
  {
    std::lock_guard lock(mutex_);
    listeners_.erase(key);
  }
  // A call under way ends before this returns.
  std::lock_guard calls(callMutex_);
}

std::vector<FoundDevice> DeviceWatcher::Current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

bool DeviceWatcher::Listed() const {
  std::lock_guard lock(mutex_);
  return listed_;
}

bool DeviceWatcher::WaitListed(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return listedChanged_.wait_for(lock, limit, [this] { return listed_; });
}

void DeviceWatcher::SetInUse(std::set<std::string> paths) {
  std::lock_guard lock(mutex_);
  inUse_ = std::move(paths);
}

void DeviceWatcher::Rescan() {
  std::lock_guard lock(mutex_);
  rescan_ = true;
  announce_ = true;  // whoever asked hears the list, changed or not
  wake_.notify_all();
}

std::size_t DeviceWatcher::Scans() const {
  std::lock_guard lock(mutex_);
  return scans_;
}

void DeviceWatcher::Loop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(mutex_);
      if (!rescan_ && !announce_) {
        if (notifier_) {
          lock.unlock();
          const bool plugged = notifier_->Wait(kNotifierSlice);
          lock.lock();
          if (plugged) rescan_ = true;
        } else if (listeners_.empty()) {
          // Nobody listens: no device is opened until someone does.
          wake_.wait(lock, stop, [this] { return rescan_ || announce_; });
        } else if (!wake_.wait_for(lock, stop, pollInterval_,
                                   [this] { return rescan_ || announce_; })) {
          rescan_ = true;  // the interval has passed: look again
        }
      }
      if (stop.stop_requested()) return;
      if (!rescan_ && !announce_) continue;
    }
    std::vector<FoundDevice> found = Scan();
    std::map<int, Listener> listeners;
    {
      std::lock_guard lock(mutex_);
      const bool changed = !listed_ || !SameDevices(found, current_);
      // Everyone hears of a change; only new listeners hear of no change.
      if (changed || announce_) listeners = listeners_;
      ++scans_;
      rescan_ = false;
      announce_ = false;
      listed_ = true;
      current_ = found;
    }
    listedChanged_.notify_all();
    std::lock_guard calls(callMutex_);
    for (auto& [key, listener] : listeners) {
      {
        std::lock_guard lock(mutex_);
        if (listeners_.count(key) == 0) continue;  // unsubscribed meanwhile
      }
      listener(found);
    }
  }
}

std::vector<FoundDevice> DeviceWatcher::Scan() {
  std::set<std::string> inUse;
  std::vector<FoundDevice> previous;
  {
    std::lock_guard lock(mutex_);
    inUse = inUse_;
    previous = current_;
  }
  const std::shared_ptr<hid::Platform> platform = ActivePlatform();
  if (!platform) return {};
  if (inUse.empty()) return FindProgrammers(*platform);
  // A programmer in use keeps its last identity and is not opened; the
  // others are opened one by one as a search does.
  std::vector<FoundDevice> found;
  const std::unique_ptr<hid::InterfaceSet> set = platform->PresentInterfaces();
  if (!set) return found;
  for (std::size_t i = 0; set->At(i) == hid::InterfaceSet::Item::kPresent; ++i) {
    std::string path;
    if (!set->DevicePath(i, path)) continue;
    if (inUse.count(path) != 0) {
      const auto known = std::find_if(previous.begin(), previous.end(),
                                      [&](const FoundDevice& d) { return d.path == path; });
      if (known != previous.end()) {
        found.push_back(*known);
      } else {
        found.push_back({path, kProgrammerVendorId, kProgrammerProductId, {}, {}, {}});
      }
      continue;
    }
    std::unique_ptr<hid::Device> device =
        OpenProgrammer(*platform, DeviceSelector{DeviceSelector::Kind::kPath, path});
    if (!device) continue;
    FoundDevice entry{path, kProgrammerVendorId, kProgrammerProductId, {}, {}, {}};
    hid::Identity identity;
    if (device->GetIdentity(identity)) {
      entry.serial = std::move(identity.serial);
      entry.port = std::move(identity.port);
      entry.product = std::move(identity.product);
    }
    device->Close();
    found.push_back(std::move(entry));
  }
  return found;
}

}  // namespace velkan
