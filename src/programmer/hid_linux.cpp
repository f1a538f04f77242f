// SPDX-License-Identifier: Apache-2.0
// Linux HID access through hidraw: the interfaces are the /dev/hidraw*
// nodes in numeric order; reports are read and written whole on the node.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "programmer/hid_linux.h"

namespace velkan::hid {

namespace {

// Owns one file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  // Closes now; false (errno set) when close fails. The descriptor is gone
  // either way.
  bool Close() {
    if (fd_ < 0) {
      errno = EBADF;
      return false;
    }
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

class HidrawDevice final : public Device {
 public:
  HidrawDevice(int fd, int readTimeoutMs) : fd_(fd), readTimeoutMs_(readTimeoutMs) {}

  bool GetAttributes(Attributes& out) override {
    hidraw_devinfo info{};
    if (::ioctl(fd_.get(), HIDIOCGRAWINFO, &info) < 0) return Fail();
    out.vendorId = static_cast<std::uint16_t>(info.vendor);
    out.productId = static_cast<std::uint16_t>(info.product);
    return true;
  }

  bool WriteReport(const Report& report) override {
    if (fd_.get() < 0) return Fail(EBADF);
    for (;;) {
      const ssize_t n = ::write(fd_.get(), report.data(), report.size());
      if (n == static_cast<ssize_t>(report.size())) return true;
      if (n < 0 && errno == EINTR) continue;
      return n < 0 ? Fail() : Fail(EIO);
    }
  }

  bool ReadReport(Report& report, std::size_t& delivered) override {
    return ReadReportWithin(report, delivered, readTimeoutMs_);
  }

  bool ReadReportWithin(Report& report, std::size_t& delivered, int timeoutMs) override {
    if (fd_.get() < 0) return Fail(EBADF);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Fail(kTimeoutError);
      pollfd p{fd_.get(), POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return Fail();
      }
      if (ready == 0) return Fail(kTimeoutError);
      if ((p.revents & POLLIN) == 0) {
        // Error or hang-up: the device is gone.
        return Fail((p.revents & POLLHUP) != 0 ? ENODEV : EIO);
      }
      const ssize_t n = ::read(fd_.get(), report.data(), report.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return Fail();
      }
      delivered = static_cast<std::size_t>(n);
      return true;
    }
  }

  // HIDIOCGRAWUNIQ: the USB serial number; HIDIOCGRAWPHYS: where the
  // device is plugged in (for USB "usb-<controller>-<port path>/input<n>");
  // HIDIOCGRAWNAME: manufacturer and product.
  bool GetIdentity(Identity& out) override {
    out = {};
    char text[256];
    auto get = [&](unsigned long request, std::string& field) {
      std::fill(std::begin(text), std::end(text), '\0');
      if (::ioctl(fd_.get(), request, text) < 0) return false;
      text[sizeof text - 1] = '\0';
      field = text;
      return true;
    };
    if (!get(HIDIOCGRAWPHYS(sizeof text), out.port)) return Fail();
    get(HIDIOCGRAWNAME(sizeof text), out.product);
    // Kernels before 5.6 do not know HIDIOCGRAWUNIQ; the serial then stays
    // unknown.
    get(HIDIOCGRAWUNIQ(sizeof text), out.serial);
    return true;
  }

  // Reads, without waiting, what the kernel has queued for this open file.
  // Bounded: a device that keeps sending cannot hold the caller here.
  void DiscardPending() override {
    Report scratch;
    for (int i = 0; i < kDiscardLimit; ++i) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return;
      if (::read(fd_.get(), scratch.data(), scratch.size()) <= 0) return;
    }
  }

  // flock on the open node: every opener of the programmer, in any
  // process, has its own open file, so the lock keeps them apart.
  bool Lock(bool wait) override {
    if (fd_.get() < 0) return Fail(EBADF);
    if (holds_ == 0) {
      for (;;) {
        if (::flock(fd_.get(), LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) break;
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? Fail(kBusyError) : Fail();
      }
    }
    ++holds_;
    return true;
  }

  void Unlock() override {
    if (holds_ == 0) return;
    if (--holds_ == 0 && fd_.get() >= 0) ::flock(fd_.get(), LOCK_UN);
  }

  bool Close() override {
    holds_ = 0;
    return fd_.Close() ? true : Fail();
  }

  int LastError() const override { return lastError_; }

 private:
  bool Fail(int code) {
    lastError_ = code > 0 ? code : EIO;
    return false;
  }
  bool Fail() { return Fail(errno); }

  static constexpr int kDiscardLimit = 256;

  Fd fd_;
  int readTimeoutMs_;
  int holds_ = 0;
  int lastError_ = 0;
};

class HidrawSet final : public InterfaceSet {
 public:
  explicit HidrawSet(std::vector<std::string> paths) : paths_(std::move(paths)) {}

  Item At(std::size_t index) override {
    return index < paths_.size() ? Item::kPresent : Item::kNoMore;
  }
  bool DevicePath(std::size_t index, std::string& path) override {
    if (index >= paths_.size()) return false;
    path = paths_[index];
    return true;
  }

 private:
  std::vector<std::string> paths_;
};

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform(std::filesystem::path deviceDir, int readTimeoutMs, std::filesystem::path sysfsDir)
      : deviceDir_(std::move(deviceDir)),
        readTimeoutMs_(readTimeoutMs),
        sysfsDir_(std::move(sysfsDir)) {}

  std::unique_ptr<InterfaceSet> PresentInterfaces() override {
    std::error_code ec;
    std::filesystem::directory_iterator it(deviceDir_, ec);
    if (ec) return nullptr;
    // (number, path): hidraw10 comes after hidraw9.
    std::vector<std::pair<unsigned long, std::string>> found;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (ec) return nullptr;
      const std::string name = it->path().filename().string();
      constexpr std::string_view kPrefix = "hidraw";
      if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) continue;
      const std::string digits = name.substr(kPrefix.size());
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
          digits.size() > 9) {
        continue;
      }
      found.emplace_back(std::stoul(digits), it->path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (auto& entry : found) paths.push_back(std::move(entry.second));
    return std::make_unique<HidrawSet>(std::move(paths));
  }

  std::unique_ptr<Device> Open(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<HidrawDevice>(fd, readTimeoutMs_);
  }

  // The kernel tells a node's IDs in sysfs without opening it:
  // /sys/class/hidraw/hidrawN/device/uevent has "HID_ID=0003:00000755:00000102".
  std::optional<Refusal> DescribeUnopenable(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return std::nullopt;
    }
    Refusal refusal;
    refusal.error = errno;
    const std::string name = std::filesystem::path(path).filename().string();
    std::ifstream uevent(sysfsDir_ / name / "device" / "uevent");
    std::string line;
    for (int lines = 0; lines < 64 && std::getline(uevent, line); ++lines) {
      unsigned bus = 0, vendor = 0, product = 0;
      if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
        refusal.attributes =
            Attributes{static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
        break;
      }
    }
    return refusal;
  }

 private:
  std::filesystem::path deviceDir_;
  int readTimeoutMs_;
  std::filesystem::path sysfsDir_;
};

}  // namespace

std::shared_ptr<Platform> MakeHidrawPlatform(std::filesystem::path deviceDir, int readTimeoutMs,
                                             std::filesystem::path sysfsDir) {
  return std::make_shared<LinuxPlatform>(std::move(deviceDir), readTimeoutMs, std::move(sysfsDir));
}

std::string SystemErrorText(int code) {
  char buffer[256] = {};
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? text : "unknown error";
}

std::shared_ptr<Platform> MakeSystemPlatform() {
  return MakeHidrawPlatform("/dev");
}

}  // namespace velkan::hid
