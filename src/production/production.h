// The one engine for every run on several programmers: a station per
// programmer, each on its own thread, chip after chip. A station loop waits
// for the next chip (the operator's word, or polling the socket), programs
// it with the online run, records it in the store (serial number settled in
// the same transaction), and counts. Gang runs (`velkan program|offline
// --all`) are the same engine with NextChip::kNow: one chip per station at
// once, the online or the offline run, and no record. The host (the command
// line, a desktop page) drives it through an Observer. No toolkit, no output
// of its own.
//
// Polling the socket ("next chip: auto"): the only request sent while a
// station waits is the programmer's state query DllI2cGetStatus (command
// 0x75, no data). The programmer answers it from its own state, bit 0 set
// while a chip is powered and answering; no I2C write and no chip command
// goes out, so polling never writes to a chip. A change counts once the
// same answer came `settlePolls` times in a row (a chip being pushed in
// bounces). Before each chip's run the chip is re-powered (0x72) and given
// 100 ms, as when the programmer is first opened.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/dialogs.h"
#include "common/script_table.h"
#include "image/chip_image.h"
#include "image/hex_loader.h"
#include "production/next_chip_gate.h"
#include "production/record_store.h"
#include "production/serial_numbers.h"
#include "programmer/backend.h"
#include "script/events.h"

namespace velkan::production {

// What every chip of a run gets: built once from the HEX file.
struct Product {
  std::string hexPath;
  std::string hexName;
  std::string hexSha256;
  ChipImage image{};
  std::uint32_t endAddress = 0;
  bool fuse = false;
  // A script given whole (gang runs, whose script the tools have built and
  // checked already): every chip gets it as it is, and the image above is
  // not used. Not with a serial plan.
  std::optional<ScriptTable> script;
};

// Reads the HEX file once (messages of the loader through `dialogs`): the
// image and the SHA-256 of the bytes read. False with `error` when the file
// cannot be used (empty when a dialog already said why); a file without
// data records is refused ("no data in the HEX file").
bool LoadProduct(Dialogs& dialogs, const std::string& hexPath, bool fuse, Product& out,
                 std::string& error);
// The same from a job file's copy of the HEX file's bytes.
bool LoadProductText(Dialogs& dialogs, const std::string& hexName, std::string text, bool fuse,
                     Product& out, std::string& error);
// The product of a HEX file already read.
bool ProductOf(const HexFile& file, const std::string& hexPath, bool fuse, Product& out,
               std::string& error);

// The script of one chip: the product's image with `serial` written at the
// plan's address, through the script generator (its data lines and CRC line
// follow the number). `crcHex`: the image's CRC-16 as 4 hex digits. A
// product with a script given whole gives that script (`crcHex` empty).
bool ChipScript(const Product& product, const SerialPlan* plan, const SerialValue* serial,
                ScriptTable& script, std::string& crcHex);

// A path's file name (after the last / or \\).
std::string BaseName(const std::string& path);

// The chip result of a run's failing line.
ChipResult ResultOf(LineFailure failure);

enum class NextChip {
  kAuto,    // poll the programmer's state query: bit 0 is "a chip is powered and answering"
  kProbe,   // poll with an I2C read at the chip's address (nothing is written)
  kManual,  // Observer::WaitForNextChip (the operator)
  kNow,     // one chip per station, at once: no waiting, and the run opens the
            // programmer itself (gang runs)
};

// The chip's I2C address, for kProbe.
inline constexpr unsigned char kChipI2cAddress = 0xA0;

// The per-chip data generator (chip_data.h).
struct ChipDataSettings {
  std::string command;
  std::chrono::milliseconds timeout{10000};
};

struct Settings {
  int count = 0;  // passed chips per station, then it stops; 0: no limit
  int stopAfterFailures = 3;
  NextChip next = NextChip::kAuto;
  std::chrono::milliseconds pollInterval{100};
  int settlePolls = 2;
  // A record that cannot be committed is tried this often, `recordPause`
  // apart, before the station gives up on it.
  int recordTries = 3;
  std::chrono::milliseconds recordPause{1000};
  std::string toolVersion;
  std::optional<SerialPlan> serial;
  // The sealed job: its id goes into every row and reservation; its limit
  // of passed chips holds over every station and process of the record.
  std::string jobId;
  std::int64_t countLimit = 0;
  std::optional<ChipDataSettings> chipData;
  // The run each chip gets: online programming, or (with kNow) the offline
  // download into the programmer's storage.
  RunKind run = RunKind::kOnline;
  // After RequestStop the stations finish the chip in progress for at most
  // this long; then that chip's run is cut short (kStopped) and a station
  // that has still not ended `stopWait` later is given up (kNotStopped).
  std::chrono::milliseconds stopWait{30000};
};

struct Counters {
  int passed = 0;
  int failed = 0;
  int notReached = 0;  // attempts that never reached a chip (no programmer, busy)
  // Passed of the chips programmed, in percent; 0 before the first.
  double Yield() const { return passed + failed == 0 ? 0.0 : 100.0 * passed / (passed + failed); }
  // Counts a recorded attempt by its result.
  void Count(ChipResult result);
};

enum class StationStop {
  kCount,         // the count of passed chips was reached
  kStopped,       // RequestStop, or the operator ended (end of input)
  kFailures,      // stopAfterFailures failures in a row
  kNoProgrammer,  // the programmer could not be opened
  kBusy,          // another program holds the programmer
  kLog,           // a chip could not be recorded, or no serial number reserved
  kSerial,        // no serial number left (the counter outgrew its bytes, the file ran out)
  kNoAnswer,      // the programmer stopped answering the socket query
  kLimit,         // the job's limit of passed chips is reached
  kNotStopped,    // did not end in time after a stop request: given up, its
                  // chip's state is unknown (its serial number stays reserved)
};
std::string_view StopName(StationStop stop);

// Called from the stations' threads; the host serialises what it shares.
// The host ends its waits (WaitForNextChip) when it asks the engine to stop.
// Once a station is given up (kNotStopped), nothing of it reaches the
// observer or the store any more.
class Observer {
 public:
  virtual ~Observer() = default;
  // The programmer is open: its serial number and port.
  virtual void OnStationReady(std::size_t station, const std::string& serial,
                              const std::string& port) = 0;
  // Waiting for a chip (auto: in the socket) or, after a run, its removal.
  virtual void OnWaiting(std::size_t station, bool forRemoval) = 0;
  virtual void OnChipStarted(std::size_t station, const std::optional<std::string>& serial) = 0;
  virtual void OnRunEvent(std::size_t station, const Event& event) = 0;
  // The chip's row is committed (then the programmer shows the result).
  virtual void OnChipDone(std::size_t station, const ChipRecord& row, const Counters& counters) = 0;
  // The chip's row could not be committed: the chip must be put aside, its
  // serial number (if any) stays reserved and is listed as unknown. The
  // station stops next (kLog).
  virtual void OnChipUnrecorded(std::size_t station, const ChipRecord& row,
                                const std::optional<std::string>& chipHex,
                                const std::string& error) {
    (void)station, (void)row, (void)chipHex, (void)error;
  }
  // Something the operator should know that does not stop the station.
  virtual void OnNotice(std::size_t station, const std::string& text) { (void)station, (void)text; }
  virtual void OnStationStopped(std::size_t station, StationStop why, const std::string& detail,
                                const Counters& counters) = 0;
  // Manual mode: waits at most `timeout` for the operator's next chip on
  // `station`: kNext takes it, kEnd ends the station, kNotYet lets the
  // station look at its socket before it asks again.
  virtual NextChipAnswer WaitForNextChip(std::size_t station,
                                         std::chrono::milliseconds timeout) = 0;
};

struct StationSummary {
  std::string serial;
  std::string port;
  Counters counters;
  StationStop stop = StationStop::kStopped;
  std::string detail;
};

// The station threads of every engine still running, those given up
// (kNotStopped) included.
int StationThreadsRunning();

class Engine {
 public:
  Engine(const Product& product, const Settings& settings, RecordStore& store, Observer& observer);
  // Without a record (gang runs; no serial plan then).
  Engine(const Product& product, const Settings& settings, Observer& observer);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Runs one station per device (nullopt: the first programmer found), each
  // on its own thread, until every one has stopped; after RequestStop at
  // most twice Settings::stopWait (and the calls to the host under way).
  // Called once per engine.
  std::vector<StationSummary> Run(const std::vector<std::optional<DeviceSelector>>& devices);

  // Ends the run: every station finishes (and records) the chip in progress
  // and stops. Thread-safe.
  void RequestStop();
  bool StopRequested() const;

 private:
  // What the stations' threads share: it lives as long as the last of them
  // (a station given up may outlive the engine).
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace velkan::production
