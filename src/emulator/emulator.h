// The emulated programmer: the device side of the report protocol, its
// offline storage, a contact card and the security chip behind I2C. It is
// driven through the emulated HID platform (hid_emulated.h), so everything
// above the HID layer runs unchanged against it.
//
// Programmer side. Output reports (report ID 3, up to 63 frame bytes each)
// are reassembled into request frames; every complete frame gets one reply
// frame (frame type 0, the command echoed, status, N, data, check byte) cut
// into 64-byte input reports (report ID 4). Reply status bytes:
//   0                   success
//   kStatusBadCheck     the request's check byte was wrong (nothing done)
//   kStatusUnknown      unknown command byte (nothing done)
//   kStatusBadData      malformed request data: a length field that does not
//                       match the frame, a missing byte, a name or record
//                       that does not fit, N above 595 (nothing done)
//   kStatusNotKept      the request was carried out, but the state folder
//                       could not keep the change (a full disk, a read-only
//                       folder): the files stay as they were, no temporary
//                       file is left behind and the reason goes to stderr
// Every open handle of the device is a reader with its own queue of input
// reports, as the kernel keeps one per open hidraw file: each reply report
// goes to every reader, a queue holds at most kReaderQueueLimit reports
// (the oldest is dropped), and what a reader leaves unread stays queued
// until it reads or discards it. A new request does not clear the queues.
// A report whose byte 0 is not 3 is refused (the write fails with
// kBadReportError) and leaves the frame being assembled untouched.
//
// Chip side (one chip, answering at every I2C address). Each 0x76 write
// carries one chip command [cmd, p1, p2, count, data...]; the next 0x77 read
// returns its status word (at most the requested number of bytes) and
// consumes it. Status words:
//   90 00  success
//   67 00  a known command with fewer than four bytes, or count does not
//          match the data bytes, or a count the command does not take
//          (0x20: 8, 0x40: 2, 0xDC: 1-128); also an empty write
//   6A 86  0xDC block number outside 0x0040-0x013F
//   69 82  0x20 key other than eight 0xFF bytes
//   6A 80  0x40 CRC does not match the flash
//   69 85  any command once the fuse is blown
//   6D 00  unknown chip command, whatever its length
//   69 86  a read with no command pending (nothing was written since the
//          last read or the last re-power)
// Commands: 0x20 key check, 0x07 erase all flash to 0xFF, 0xDC write count
// bytes at block (p1 << 8 | p2) * 128 (the bytes replace the old ones),
// 0x40 compare CRC-16/XMODEM of the whole flash with data (high, low), 0x08
// end (p1 == 1 blows the fuse). No key check is required before the others.
//
// Latency (off by default). Each emulator is a USB bus of its own, timed
// as full speed is: frames every `frame` on a fixed grid of the process
// clock (boundaries at whole multiples of it), at most one report per
// direction in each frame. A report written at time t goes out in the first
// frame after t that the previous output report left free, and the write
// returns at that frame's boundary; the programmer acts on a request when
// its last report has gone out. Each reply report goes in the first input
// frame after it is ready and after the previous input report's frame,
// whether or not the host is reading then: a read waits until the report's
// frame, a read that comes later gets it at once. The grid never moves, so
// a writer that wakes late loses only the frames it missed. A chip command
// keeps the chip busy for its busy time after the frame that carries it,
// and a 0x77 reply (or the reply to the next 0x76 write) is not ready
// before then. DiscardPending drops reports still in flight too.
//
// Persistence (with a state folder): flash.bin (32768 bytes), firmware.bin
// (the last complete firmware image) and state.json:
//   {"fused": bool, "led": n, "speaker": n,
//    "offline": {"name": text, "nameHex": exact bytes as hex,
//                "records": [{"number": n, "kind": n, "content": "HEX"}]},
//    "firmware": {"size": n},
//    "socket": {"chip": n, "led": n}}
// "socket" only while the feeder's chip number n is in the socket without a
// tray line, "led" only once an LED value was sent while it was (see Feeder).
// Every change rewrites the affected file through a temporary file and a
// rename. The folder is one programmer: a reader that takes the device
// (Acquire) also takes the folder's lock file, shared with other processes,
// and first reloads what another process may have changed since. The files
// are read with the sizes they can have (flash.bin exactly 32768 bytes,
// firmware.bin at most kMaxFirmwareBytes, state.json at most 64 MiB) and
// must be plain files. A state folder that cannot be read (corrupt
// state.json, flash.bin of the wrong size, a link to a device) leaves ok()
// false: the emulator then runs on defaults and never writes to that
// folder, so the files stay as they were.
//
// Offline storage: 0x7C erases the records and the offline file name, so
// that a download interrupted after its erase never shows the previous
// file's name; at most kMaxOfflineRecords records are kept (0x7D beyond
// that: kStatusBadData), as a device's storage is finite.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "programmer/hid_platform.h"

namespace velkan::emu {

inline constexpr std::size_t kFlashSize = 32768;  // chip APP region 0x2000-0x9FFF
inline constexpr std::uint32_t kFlashBase = 0x2000;

// Reply status bytes of the programmer (see above).
inline constexpr std::uint8_t kStatusBadCheck = 1;
inline constexpr std::uint8_t kStatusUnknown = 2;
inline constexpr std::uint8_t kStatusBadData = 4;
inline constexpr std::uint8_t kStatusNotKept = 8;
inline constexpr std::uint8_t kStatusNoChip = 3;  // I2C request with the socket empty

// Platform error code of a refused output report (wrong report ID).
#if defined(_WIN32)
inline constexpr int kBadReportError = 87;  // ERROR_INVALID_PARAMETER
#else
inline constexpr int kBadReportError = 22;  // EINVAL
#endif

// Chip status words.
inline constexpr std::uint16_t kSwOk = 0x9000;
inline constexpr std::uint16_t kSwWrongLength = 0x6700;
inline constexpr std::uint16_t kSwBadBlock = 0x6A86;
inline constexpr std::uint16_t kSwBadKey = 0x6982;
inline constexpr std::uint16_t kSwCrcMismatch = 0x6A80;
inline constexpr std::uint16_t kSwFused = 0x6985;
inline constexpr std::uint16_t kSwUnknown = 0x6D00;
inline constexpr std::uint16_t kSwNothingPending = 0x6986;

// Text and value of the firmware version reply (command 0x89).
inline constexpr const char* kFirmwareVersionText = "VK-PROG EMU 1.00";
inline constexpr std::uint16_t kFirmwareVersionValue = 0x0100;

inline constexpr std::size_t kMaxOfflineName = 261;  // bytes of the name area
inline constexpr std::size_t kMaxOfflineRecords = 65536;
inline constexpr std::size_t kMaxFirmwareBytes = 16u << 20;

// Input reports a reader's queue keeps (the kernel's hidraw buffer).
inline constexpr std::size_t kReaderQueueLimit = 64;
// The reader that always exists, for callers that drive the device directly.
inline constexpr int kDefaultReader = 0;

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
// kWriteFail and kUnplug refuse the request (it is not counted and not
// carried out). kStatus answers instead of carrying the request out. The
// other kinds carry the request out and spoil or drop its reply:
// kLengthOverflow sends a whole 606-byte frame (10 reports) with a valid
// check byte, kEmptyReport sends the empty report followed by the real reply.
// A fault with neither trigger fires at the next exchange. When several
// armed faults match, the first injected one fires.

struct Fault {
  FaultKind kind = FaultKind::kWriteFail;
  // Trigger: the exchange with this index (0-based, counting request frames
  // the device has received since it was created) ...
  std::optional<std::uint64_t> atExchange;
  // ... or the next exchange with this command byte.
  std::optional<std::uint8_t> atCommand;
  int errorCode = 5;        // platform error code for kWriteFail/kReadFail/kUnplug
  std::uint8_t status = 5;  // for kStatus
  // For kStatus: data bytes the failure reply carries anyway (a reply of
  // several reports whose first one already says it failed).
  std::size_t statusData = 0;
  bool once = true;  // disarmed after it fired (kUnplug stays in effect)
};

// The socket's feeder (tests and demos of production runs): once the LED
// shows a result (0x78 with 1 or 2) the chip is taken out `takeOut` later,
// and a fresh blank chip (flash all 0xFF, not fused) is in the socket
// `refill` after that. The times are checked against the process clock at
// every request, so nothing happens while nobody asks.
//
// The tray (with a state folder): the feeder numbers the chips it puts in
// (1, 2, ...; on from the last number in the tray when it starts again) and
// appends one line to <stateDir>/tray.jsonl for every chip it takes out,
// flushed to the disk before the next chip goes in:
//   {"chip": n, "flashSha256": "<64 lower-case hex digits>",
//    "serialHex": "<K bytes at ADDR, upper-case hex>", "fused": bool, "led": n}
// "serialHex" only with `traySerial`; "led" is the last LED value sent while
// the chip was in the socket (0 when none was: a light still showing the
// previous chip's result is not this chip's). The number, that LED value,
// the flash and the fuse of the chip in the socket are kept in the state
// folder, so a process that ends without taking its chip out (killed)
// leaves it to the next feeder started on the folder: that one first takes
// the chip out and writes its line (a chip is written once), then puts the
// next blank chip in. Each line is one whole append; a tray that cannot be
// written or read is reported on stderr and production goes on.
struct Feeder {
  std::chrono::milliseconds takeOut{300};
  std::chrono::milliseconds refill{300};
  // ADDR (chip address, 0x2000-0x9FFF) and K (1 to 8) of the serial number
  // the tray lines carry; ADDR + K must stay within the flash.
  std::optional<std::pair<std::uint32_t, std::size_t>> traySerial;
  // ADDR and K (1 to 64) of further bytes the tray lines carry as
  // "dataHex" (a chip's own data, e.g. its key).
  std::optional<std::pair<std::uint32_t, std::size_t>> trayData;
};

// The tray file in a state folder.
inline constexpr const char* kTrayFileName = "tray.jsonl";

// "ADDR:K" as the tools' --emulator-tray-serial takes it: ADDR hex (with or
// without 0x, 2000 to 9FFF), K decimal 1 to 8, ADDR + K - 1 at most 9FFF.
// Nothing for anything else.
std::optional<std::pair<std::uint32_t, std::size_t>> ParseTraySerial(std::string_view text);
// The same for --emulator-tray-data: K 1 to 64.
std::optional<std::pair<std::uint32_t, std::size_t>> ParseTrayData(std::string_view text);

// Off (all zero) by default. Delays pass through the process clock.
struct Latency {
  std::chrono::microseconds frame{0};      // bus frame period (USB FS: 1 ms); 0: no bus timing
  std::chrono::microseconds eraseBusy{0};  // chip busy after 0x07
  std::chrono::microseconds writeBusy{0};  // chip busy after 0xDC
  std::chrono::microseconds crcBusy{0};    // chip busy after 0x40
  static Latency UsbFullSpeed();           // 1 ms frames, realistic chip times
                                           // shorter than the mandated waits
  // The tools' --emulator-latency values: "none" (all zero) and "usb"
  // (UsbFullSpeed); nothing for any other name.
  static std::optional<Latency> Named(std::string_view name);
};

struct OfflineRecord {
  std::uint16_t number = 0;
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> content;
  bool operator==(const OfflineRecord&) const = default;
};

// How many request frames Requests() keeps: a long demo or benchmark run
// must not grow the record without bound.
inline constexpr std::size_t kRequestRecordLimit = 4096;

// A request frame as the device received it.
struct Request {
  std::uint8_t frameType = 0;
  std::uint8_t command = 0;
  std::vector<std::uint8_t> data;
  bool checkOk = true;  // the check byte matched
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
  // A new reader (an open handle) and its end.
  int AttachReader();
  void DetachReader(int reader);
  // Waits for the reader's next input report (latency, chip busy time), at
  // most `timeout` on the process clock: when none is queued, or the next
  // one arrives later, the read fails with hid::kTimeoutError (a report in
  // flight stays queued).
  bool ReadReport(
      int reader, hid::Report& report, std::size_t& delivered, int& errorCode,
      std::chrono::milliseconds timeout = std::chrono::milliseconds(hid::kReadTimeoutMs));
  bool ReadReport(hid::Report& report, std::size_t& delivered, int& errorCode) {
    return ReadReport(kDefaultReader, report, delivered, errorCode);
  }
  // The reader's next input report without waiting for anything; false
  // when none has arrived yet. `failCode` non-zero: a read of it fails so.
  bool PollReport(int reader, hid::Report& report, std::size_t& delivered, int& failCode);
  // Drops what is queued for the reader, in flight or arrived.
  void DiscardPending(int reader);
  // Takes the programmer for `reader` alone (see above); without `wait`
  // false at once when another reader, here or in another process, holds
  // it. Release gives it back. Not nested.
  bool Acquire(int reader, bool wait);
  void Release(int reader);

  // ---- Test and demo controls ----
  void InjectFault(const Fault& fault);
  void ClearFaults();
  void Replug();  // present again after an unplug fault
  void SetLatency(const Latency& latency);
  std::uint64_t ExchangeCount() const;  // request frames received so far
  // The most recent request frames (at most kRequestRecordLimit), in order.
  std::vector<Request> Requests() const;
  void ClearRequests();
  // The chip socket. By default a chip is always in it. Empty: 0x75 answers
  // 0, and I2C writes and reads (0x76, 0x77) fail with kStatusNoChip.
  // InsertBlankChip puts a fresh blank chip in (flash all 0xFF, not fused).
  // Whether the socket holds a chip is not kept in the state folder. A chip
  // the feeder put in that either of these replaces or removes gets its tray
  // line; the chips put in here are not numbered.
  void InsertBlankChip();
  void RemoveChip();
  bool ChipPresent() const;
  // Starts the feeder with a fresh blank chip in the socket (after writing
  // the tray line of a chip the previous feeder on the folder left in it);
  // nullopt stops it and leaves the chip where it is.
  void SetFeeder(std::optional<Feeder> feeder);
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
  bool BootMode() const;  // a 0x70 boot switch was received (cleared by 0x72)

 private:
  struct State;
  struct Hold;
  std::unique_ptr<State> state_;
  std::unique_ptr<Hold> hold_;
  mutable std::mutex mutex_;
};

// CRC-16/XMODEM of the whole flash, as the chip's 0x40 command checks it.
std::uint16_t FlashCrc(const std::array<std::uint8_t, kFlashSize>& flash);

}  // namespace velkan::emu
