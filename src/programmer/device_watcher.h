// SPDX-License-Identifier: Apache-2.0
// Watches programmers being plugged in and out on a thread of its own, so
// that no window waits for a device search. Where the system tells of
// plugging (udev on Linux) the list is made again when it does; elsewhere
// (the emulator, Windows for now) it is made again every second while
// someone listens. One watcher serves the whole process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "programmer/backend.h"

namespace velkan {

// Tells the watcher's thread that the devices may have changed.
class PlugNotifier {
 public:
  virtual ~PlugNotifier() = default;
  // Waits at most `limit` for a plug event; true when one came.
  virtual bool Wait(std::chrono::milliseconds limit) = 0;
};

// The system's plug notifications, or nullptr where there are none (the
// watcher then looks every second).
std::unique_ptr<PlugNotifier> MakeSystemPlugNotifier();

class DeviceWatcher {
 public:
  using Listener = std::function<void(const std::vector<FoundDevice>&)>;

  // `notifier` nullptr: looks every `pollInterval`.
  explicit DeviceWatcher(std::unique_ptr<PlugNotifier> notifier,
                         std::chrono::milliseconds pollInterval = std::chrono::seconds(1));
  ~DeviceWatcher();
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  // The process's watcher: system notifications unless the library works
  // on the emulator or another platform set by a program.
  static std::shared_ptr<DeviceWatcher> Shared();

  // `listener` is called on the watcher's thread with every new list (and
  // once with the current one, soon after subscribing). Returns the key to
  // unsubscribe with; after Unsubscribe returns, the listener is not called
  // again.
  int Subscribe(Listener listener);
  void Unsubscribe(int key);
  // The last list made (empty before the first).
  std::vector<FoundDevice> Current() const;
  // Whether a list has been made since the watcher started.
  bool Listed() const;
  // Waits at most `limit` for the first list; whether there is one.
  bool WaitListed(std::chrono::milliseconds limit);
  // Programmers a station is using: only their presence is checked, they
  // are never opened for their identity (their last one is kept).
  void SetInUse(std::set<std::string> paths);
  // Makes the list again now and tells every listener, changed or not (a
  // page was shown, a run ended).
  void Rescan();
  // How many lists have been made (tests).
  std::size_t Scans() const;

 private:
  void Loop(std::stop_token stop);
  std::vector<FoundDevice> Scan();

  std::unique_ptr<PlugNotifier> notifier_;
  const std::chrono::milliseconds pollInterval_;
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  std::condition_variable listedChanged_;
  std::map<int, Listener> listeners_;
  int nextKey_ = 1;
  std::mutex callMutex_;  // held while listeners are called
  std::vector<FoundDevice> current_;
  bool listed_ = false;
  bool rescan_ = true;
  bool announce_ = false;  // a new listener waits for its first list
  std::set<std::string> inUse_;
  std::size_t scans_ = 0;
  std::jthread thread_;
};

}  // namespace velkan
