// The emulated programmer: the device side of the report protocol, its
// offline storage, a contact card and the security chip behind I2C. It is
// driven through emulated_platform (one more HID backend), so everything
// above the HID layer runs unchanged against it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "programmer/hid_platform.h"

namespace velkan::emu {

inline constexpr std::size_t kFlashSize = 32768;   // chip APP region 0x2000-0x9FFF
inline constexpr std::uint32_t kFlashBase = 0x2000;

enum class FaultKind {
  kWriteFail,       // the request's first report write fails with `errorCode`
  kReadFail,        // the reply's first report read fails with `errorCode`
  kStatus,          // the reply carries status byte `status` (no data)
  kBadCheck,        // the reply's check byte is wrong
  kLengthOverflow,  // the reply declares 600 data bytes
  kEmptyReport,     // the reply's first report delivers only the report ID
  kUnplug,          // the device is gone from this exchange on: writes fail with
                    // `errorCode`, the device is no longer enumerated
  kNoAnswer,        // the request is taken, no reply comes: the read fails with
                    // hid::kTimeoutError after hid::kReadTimeoutMs on the clock
};

struct Fault {
  FaultKind kind = FaultKind::kWriteFail;
  // Trigger: the exchange with this index (0-based, counting request frames
  // the device has received since it was created) ...
  std::optional<std::uint64_t> atExchange;
  // ... or the next exchange with this command byte.
  std::optional<std::uint8_t> atCommand;
  int errorCode = 5;         // platform error code for kWriteFail/kReadFail/kUnplug
  std::uint8_t status = 5;   // for kStatus
  bool once = true;          // disarmed after it fired (kUnplug stays in effect)
};

// Off (all zero) by default. Delays pass through the process clock.
struct Latency {
  std::chrono::microseconds perReport{0};   // each output and input report (USB FS: 1 ms)
  std::chrono::microseconds eraseBusy{0};   // chip busy after 0x07
  std::chrono::microseconds writeBusy{0};   // chip busy after 0xDC
  std::chrono::microseconds crcBusy{0};     // chip busy after 0x40
  static Latency UsbFullSpeed();            // 1 ms per report, realistic chip times
                                            // shorter than the mandated waits
};

struct OfflineRecord {
  std::uint16_t number = 0;
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> content;
  bool operator==(const OfflineRecord&) const = default;
};

// A request frame as the device received it.
struct Request {
  std::uint8_t frameType = 0;
  std::uint8_t command = 0;
  std::vector<std::uint8_t> data;
};

class Emulator {
 public:
  // `stateDir`: load flash.bin and state.json from there (created when
  // missing) and write them after every change. Throws nothing; check ok().
  explicit Emulator(std::optional<std::filesystem::path> stateDir = std::nullopt);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // False when the state folder could not be created or read.
  bool ok() const;
  std::string error() const;

  // ---- HID device side (used by the emulated platform) ----
  bool Present() const;  // false after an unplug fault
  bool WriteReport(const hid::Report& report, int& errorCode);
  bool ReadReport(hid::Report& report, std::size_t& delivered, int& errorCode);

  // ---- Test and demo controls ----
  void InjectFault(const Fault& fault);
  void ClearFaults();
  void SetLatency(const Latency& latency);
  std::uint64_t ExchangeCount() const;      // request frames received so far
  std::vector<Request> Requests() const;    // every request frame, in order
  void ClearRequests();
  // Canned answers of the contact card.
  void SetAnswerToReset(std::vector<std::uint8_t> atr);
  void SetApduResponse(std::vector<std::uint8_t> response);  // answer to every APDU

  // ---- Inspection and set-up of the chip and the programmer ----
  std::array<std::uint8_t, kFlashSize> Flash() const;
  void SetFlash(const std::array<std::uint8_t, kFlashSize>& flash);
  bool Fused() const;
  void SetFused(bool fused);
  std::uint8_t Led() const;
  std::uint8_t Speaker() const;
  std::string OfflineName() const;  // raw bytes as stored
  std::vector<OfflineRecord> OfflineRecords() const;
  std::size_t FirmwareSize() const;
  std::vector<std::uint8_t> Firmware() const;
  std::string FirmwareVersion() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  mutable std::mutex mutex_;
};

// CRC-16/XMODEM of the whole flash, as the chip's 0x40 command checks it.
std::uint16_t FlashCrc(const std::array<std::uint8_t, kFlashSize>& flash);

}  // namespace velkan::emu
