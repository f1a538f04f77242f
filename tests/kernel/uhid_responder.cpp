// Presents emulated programmers to the Linux HID stack through /dev/uhid, so
// that the real hidraw driver sits between the tools and the emulator. Runs
// inside the test guest (tests/kernel), as root.
//
// Each device is a USB HID device 0755:0102 with a vendor report descriptor:
// output report 3 and input report 4, 63 data bytes each, so a hidraw report
// is 64 bytes with the report ID first, as the programmer link sends and
// reads them. Every output report goes to that device's emulator; every
// input report the emulator produces goes back to the kernel at once.
//
// Usage: velkan_uhid_responder --state DIR [--count N] [--overflow-at CMD]
//                              [--unplug-after K] [--report-interval-us T]
//   --state DIR        device i keeps its state in DIR/EMU000i/ (flash.bin,
//                      state.json); DIR/ready is written once every device
//                      has been created
//   --count N          N devices (1 to 9), serials EMU0001..., ports
//                      usb-0000:00:14.0-1 ...
//   --overflow-at CMD  the first device answers the first request with
//                      command byte CMD (hex) with a 600-byte reply
//   --unplug-after K   the first device is destroyed right after it has
//                      answered its K-th request
//   --report-interval-us T
//                      input reports of one reply follow each other T
//                      microseconds apart (a full-speed USB device sends one
//                      per millisecond); 0, the default, sends them at once
// SIGUSR1 destroys the first device; SIGTERM and SIGINT destroy all and end
// the program. On every unplug DIR/unplugged receives the time since boot in
// centiseconds, as /proc/uptime counts it.
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace {

using velkan::hid::Report;
namespace emu = velkan::emu;

constexpr std::uint16_t kVendorId = 0x0755;
constexpr std::uint16_t kProductId = 0x0102;
constexpr const char* kProductName = "VELKAN Programmer";

// Vendor page, one application collection: input report 4 and output
// report 3, each 63 bytes of 0..255.
constexpr std::uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x85, 0x04,        //   Report ID (4)
    0x95, 0x3F,        //   Report Count (63)
    0x09, 0x02,        //   Usage (2)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x85, 0x03,        //   Report ID (3)
    0x95, 0x3F,        //   Report Count (63)
    0x09, 0x03,        //   Usage (3)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// Time since boot in centiseconds, the unit of /proc/uptime.
long long UptimeCs() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

bool WriteEvent(int fd, const uhid_event& ev) {
  for (;;) {
    const ssize_t n = ::write(fd, &ev, sizeof ev);
    if (n == static_cast<ssize_t>(sizeof ev)) return true;
    if (n < 0 && errno == EINTR) continue;
    std::perror("uhid write");
    return false;
  }
}

// The input reports queued for the device's own reader: the reply to the
// request just completed, sent on to the kernel at once.
std::vector<std::pair<Report, std::size_t>> TakeReplies(emu::Emulator& emulator) {
  std::vector<std::pair<Report, std::size_t>> out;
  Report report{};
  std::size_t delivered = 0;
  int failCode = 0;
  while (emulator.PollReport(emu::kDefaultReader, report, delivered, failCode)) {
    // A report whose read the emulator wants to fail: the host never sees it.
    if (failCode == 0) out.emplace_back(report, delivered);
  }
  return out;
}

struct UhidDevice {
  int fd = -1;
  std::string serial;
  std::unique_ptr<emu::Emulator> emulator;
  bool alive = false;
};

class Responder {
 public:
  Responder(std::filesystem::path stateDir, int count) : stateDir_(std::move(stateDir)) {
    devices_.resize(static_cast<std::size_t>(count));
  }
  ~Responder() {
    for (std::size_t i = 0; i < devices_.size(); ++i) Destroy(i);
  }

  bool Create(std::optional<int> overflowAt) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      UhidDevice& d = devices_[i];
      d.serial = "EMU000" + std::to_string(i + 1);  // at most 9 devices
      const char* serial = d.serial.c_str();
      d.emulator = std::make_unique<emu::Emulator>(stateDir_ / d.serial);
      if (!d.emulator->ok()) {
        std::fprintf(stderr, "responder: %s: %s\n", serial, d.emulator->error().c_str());
        return false;
      }
      if (i == 0 && overflowAt) {
        emu::Fault f;
        f.kind = emu::FaultKind::kLengthOverflow;
        f.atCommand = static_cast<std::uint8_t>(*overflowAt);
        d.emulator->InjectFault(f);
      }
      d.fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
      if (d.fd < 0) {
        std::perror("responder: /dev/uhid");
        return false;
      }
      uhid_event ev{};
      ev.type = UHID_CREATE2;
      auto& c = ev.u.create2;
      std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "%s", kProductName);
      std::snprintf(reinterpret_cast<char*>(c.phys), sizeof c.phys, "usb-0000:00:14.0-%zu/input0",
                    i + 1);
      std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "%s", serial);
      c.rd_size = sizeof kReportDescriptor;
      std::memcpy(c.rd_data, kReportDescriptor, sizeof kReportDescriptor);
      c.bus = BUS_USB;
      c.vendor = kVendorId;
      c.product = kProductId;
      c.version = 0x0100;
      if (!WriteEvent(d.fd, ev)) return false;
      d.alive = true;
    }
    std::ofstream(stateDir_ / "ready") << devices_.size() << "\n";
    return true;
  }

  void Destroy(std::size_t index) {
    UhidDevice& d = devices_[index];
    if (!d.alive) return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    WriteEvent(d.fd, ev);
    ::close(d.fd);
    d.fd = -1;
    d.alive = false;
    std::ofstream(stateDir_ / "unplugged") << UptimeCs() << "\n";
    std::fprintf(stderr, "responder: %s unplugged\n", d.serial.c_str());
  }

  // Handles one event of device `index`; false when its fd failed.
  bool Service(std::size_t index, std::optional<std::uint64_t> unplugAfter,
               unsigned reportIntervalUs) {
    UhidDevice& d = devices_[index];
    uhid_event ev{};
    const ssize_t n = ::read(d.fd, &ev, sizeof ev);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    switch (ev.type) {
      case UHID_OUTPUT: {
        Report report{};
        const std::size_t size = std::min<std::size_t>(ev.u.output.size, report.size());
        std::memcpy(report.data(), ev.u.output.data, size);
        int code = 0;
        if (!d.emulator->WriteReport(report, code)) break;  // refused: nothing to answer
        bool first = true;
        for (const auto& [reply, delivered] : TakeReplies(*d.emulator)) {
          if (!first && reportIntervalUs > 0) ::usleep(reportIntervalUs);
          first = false;
          uhid_event in{};
          in.type = UHID_INPUT2;
          in.u.input2.size = static_cast<std::uint16_t>(delivered);
          std::memcpy(in.u.input2.data, reply.data(), delivered);
          if (!WriteEvent(d.fd, in)) return false;
        }
        if (index == 0 && unplugAfter && d.emulator->ExchangeCount() >= *unplugAfter) {
          Destroy(0);
        }
        break;
      }
      case UHID_GET_REPORT: {
        // No feature or input report can be fetched on request.
        uhid_event reply{};
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = ev.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
        WriteEvent(d.fd, reply);
        break;
      }
      case UHID_SET_REPORT: {
        uhid_event reply{};
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = ev.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
        WriteEvent(d.fd, reply);
        break;
      }
      default:  // START, STOP, OPEN, CLOSE: nothing to do
        break;
    }
    return true;
  }

  int Run(std::optional<std::uint64_t> unplugAfter, unsigned reportIntervalUs) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    const int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    if (sfd < 0) {
      std::perror("responder: signalfd");
      return 1;
    }
    for (;;) {
      std::vector<pollfd> fds{{sfd, POLLIN, 0}};
      std::vector<std::size_t> which;
      for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (!devices_[i].alive) continue;
        fds.push_back({devices_[i].fd, POLLIN, 0});
        which.push_back(i);
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        std::perror("responder: poll");
        return 1;
      }
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo si{};
        if (::read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
          if (si.ssi_signo == SIGUSR1) {
            Destroy(0);
          } else {
            return 0;
          }
        }
      }
      for (std::size_t k = 1; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        if (!Service(which[k - 1], unplugAfter, reportIntervalUs)) {
          std::fprintf(stderr, "responder: %s: uhid failed\n",
                       devices_[which[k - 1]].serial.c_str());
          return 1;
        }
      }
    }
  }

 private:
  std::filesystem::path stateDir_;
  std::vector<UhidDevice> devices_;
};

int Usage() {
  std::fprintf(stderr,
               "usage: velkan_uhid_responder --state DIR [--count N] [--overflow-at CMD] "
               "[--unplug-after K] [--report-interval-us T]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::filesystem::path> stateDir;
  int count = 1;
  std::optional<int> overflowAt;
  std::optional<std::uint64_t> unplugAfter;
  unsigned reportIntervalUs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (arg == "--state") {
      stateDir = value;
    } else if (arg == "--count") {
      count = std::atoi(value);
    } else if (arg == "--overflow-at") {
      overflowAt = static_cast<int>(std::strtol(value, nullptr, 16));
    } else if (arg == "--unplug-after") {
      unplugAfter = std::strtoull(value, nullptr, 10);
    } else if (arg == "--report-interval-us") {
      reportIntervalUs = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else {
      return Usage();
    }
  }
  if (!stateDir || count < 1 || count > 9) return Usage();

  std::error_code ec;
  std::filesystem::create_directories(*stateDir, ec);
  Responder responder(*stateDir, count);
  if (!responder.Create(overflowAt)) return 1;
  return responder.Run(unplugAfter, reportIntervalUs);
}
