// Production runs checked against the emulated feeder's trays: what left
// each socket (tray.jsonl, one line per chip) against what the record says
// passed. For end-to-end tests, faults included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velkan::test {

// One tray line.
struct TrayChip {
  std::string tray;  // the tray file's path
  int chip = 0;
  std::string flashSha256;
  std::optional<std::string> serialHex;
  std::optional<std::string> dataHex;  // with the feeder's trayData
  bool fused = false;
  int led = 0;
};

// Every tray.jsonl under `emulatorDir` (recursively), files in path order,
// lines in file order. False with `error` (naming the file, and the line
// for a malformed one) on a folder or file that cannot be read or a line
// that is not a tray line.
bool ReadTrays(const std::filesystem::path& emulatorDir, std::vector<TrayChip>& chips,
               std::string& error);

// Writes the tray lines of the chips that processes left in the emulated
// sockets under `emulatorDir` (every folder with a state.json): a run that
// ends when its count is reached leaves its last chips in, and a killed one
// the chip it was on. Done as a feeder started on the folder does it, with
// `traySerial` as the run had it; the blank chip that feeder puts in is
// taken out at once, so each socket also adds a line of a blank chip with
// LED 0. Run it only after the processes have ended. False with `error` on
// a state folder that cannot be used.
bool TakeOutLeftChips(const std::filesystem::path& emulatorDir,
                      const std::optional<std::pair<std::uint32_t, std::size_t>>& traySerial,
                      std::string& error);

// What the production record says, as serial numbers in upper-case hex (the
// comparison ignores letter case).
struct AuditRecord {
  std::vector<std::string> passSerialHex;     // of every pass row, one entry per row
  std::vector<std::string> unknownSerialHex;  // numbers the record lists as unknown
};

// The LED value of a chip that left as passed.
inline constexpr int kPassLed = 2;

// The disagreements between the trays and the record, one sentence each
// naming the tray, the chip and the number; empty when they agree:
//  - a chip that left with the pass LED without its number, or whose number
//    is on no pass row or on several (as many rows as chips that left with
//    the pass LED carrying it);
//  - a pass row whose number no chip that left with the pass LED carries
//    (an invented pass);
//  - a number on two chips that left with the pass LED;
//  - a number on a chip that left with the pass LED and on another chip,
//    unless the record lists it as unknown.
std::vector<std::string> Audit(const std::vector<TrayChip>& chips, const AuditRecord& record);

}  // namespace velkan::test
