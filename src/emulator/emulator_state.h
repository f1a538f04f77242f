// Internal state of the emulated programmer, shared by emulator.cpp and
// persistence.cpp. Every member is guarded by Emulator::mutex_.
#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "emulator/emulator.h"

namespace velkan::emu {

// One input report waiting to be read, or a read failure in its place.
struct PendingReport {
  hid::Report report{};
  std::size_t delivered = hid::kReportSize;
  int failCode = 0;            // non-zero: the read fails with this code
  Clock::Duration readyAt{0};  // not available before this time
};

// One direction of the bus: the frame its last report went in.
struct BusDirection {
  std::optional<Clock::Duration> last;

  // Takes the first frame boundary after `t` (a whole multiple of `frame`)
  // that comes after the last one taken, and returns it. Without bus timing
  // (`frame` zero) `t` itself.
  Clock::Duration Take(Clock::Duration t, Clock::Duration frame) {
    if (frame.count() <= 0) return t;
    Clock::Duration slot = (t.count() < 0 ? 0 : t / frame + 1) * frame;
    if (last && slot <= *last) slot = *last + frame;
    last = slot;
    return slot;
  }
};

struct EmulatorState {
  // Persistence.
  std::optional<std::filesystem::path> dir;
  bool ok = true;
  bool persist = false;  // write changes to `dir`
  std::string error;

  // Link.
  std::vector<std::uint8_t> rx;                      // request frame being assembled
  std::size_t rxExpected = 0;                        // its full length once known
  std::optional<Fault> current;                      // fault attached to the frame being assembled
  std::map<int, std::deque<PendingReport>> readers;  // kDefaultReader always
  int nextReader = kDefaultReader + 1;
  std::vector<Fault> faults;
  bool unplugged = false;
  int unplugCode = 0;
  Latency latency;
  BusDirection out;  // output reports (host to programmer)
  BusDirection in;   // input reports (programmer to host)
  std::uint64_t exchanges = 0;
  std::deque<Request> requests;  // the last kRequestRecordLimit

  // Contact card.
  std::vector<std::uint8_t> atr{0x3B, 0x02, 0x14, 0x50};
  std::vector<std::uint8_t> apduResponse{0x90, 0x00};

  // Chip.
  std::array<std::uint8_t, kFlashSize> flash{};
  bool fused = false;
  std::optional<std::uint16_t> chipResponse;  // status word waiting for a read
  Clock::Duration chipReadyAt{0};
  bool chipPresent = true;  // the socket holds a chip
  std::optional<Feeder> feeder;
  std::optional<Clock::Duration> takeOutAt;  // feeder: the chip goes then
  std::optional<Clock::Duration> refillAt;   // feeder: a blank chip comes then
  // The feeder's number of the chip in the socket while no tray line has
  // taken it out (0: none), and the last LED value sent while it was in.
  // Both kept in state.json.
  std::uint64_t socketChip = 0;
  std::optional<std::uint8_t> socketLed;
  std::uint64_t lastChip = 0;  // the feeder's last number given

  // A fresh blank chip in the socket.
  void InsertBlankChip() {
    flash.fill(0xFF);
    fused = false;
    chipResponse.reset();
    chipPresent = true;
  }
  // The same, numbered by the feeder.
  void InsertFeederChip() {
    InsertBlankChip();
    socketChip = ++lastChip;
    socketLed.reset();
  }

  // Programmer.
  std::uint8_t led = 0;
  std::uint8_t speaker = 0;
  bool bootMode = false;
  std::string offlineName;
  std::vector<OfflineRecord> records;
  std::vector<std::uint8_t> firmware;  // last complete image
  std::size_t firmwareSize = 0;
  std::vector<std::uint8_t> firmwareHeader;   // 0x8B block of the update in progress
  std::vector<std::uint8_t> firmwareStaging;  // 0x8C blocks of the update in progress

  // What the folder's files looked like after the last load or save; a
  // different stamp means another process changed them.
  std::string stamp;

  EmulatorState() {
    flash.fill(0xFF);
    readers[kDefaultReader];
  }

  // Puts a reply report, ready at its readyAt, in the next free input frame
  // and appends it to every reader's queue.
  void Deliver(PendingReport report) {
    report.readyAt = in.Take(report.readyAt, latency.frame);
    for (auto& [id, queue] : readers) {
      if (queue.size() >= kReaderQueueLimit) queue.pop_front();
      queue.push_back(report);
    }
  }

  // persistence.cpp
  void Load();  // sets ok/error; creates the folder
  // Each writes its file through a temporary file; false with `error` set
  // (and no temporary file left) when it cannot.
  bool SaveFlash();     // flash.bin
  bool SaveFirmware();  // firmware.bin
  bool SaveJson();      // state.json
  // Writes the files a request changed (when persisting); false, with the
  // reason on stderr, when one of them could not be written.
  bool SaveChanges(bool flashChanged, bool firmwareChanged, bool stateChanged);
  // state.json's content, and taking it in: all or nothing, `why` tells
  // what is wrong with it.
  std::string StateJsonText() const;
  bool ApplyStateJson(std::string_view text, std::string& why);
  std::string Stamp() const;  // of the folder's files now
  // Loads the folder again when another process changed it.
  void ReloadIfChanged();

  // tray.cpp
  // Numbers on from the tray's last line (or the chip in the socket); a
  // chip in the socket the tray already took out is forgotten.
  void ResumeNumbering();
  // Takes the feeder's chip out of the socket record: its tray line is
  // written (when persisting; a failure goes to stderr). False when no
  // feeder's chip was there.
  bool TakeOutSocketChip();
};

struct Emulator::State : EmulatorState {};

}  // namespace velkan::emu
