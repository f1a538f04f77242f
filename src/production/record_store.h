// The per-chip record: one row per chip attempt in the table `chips`, and
// the serial numbers reserved, in one store shared by every station of a
// process and by every process writing to it. Implementations: a SQLite
// file and a PostgreSQL database.
//
// A serial number is reserved for one attempt (an id unique across hosts
// and processes) and settled with that attempt's row in one transaction. A
// reservation that never settled (its process died, its record failed) is
// never given again by the store: the chip may carry it. It is listed as
// unknown until an operator, having looked at the chips, releases it (given
// again) or burns it (never given again).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkan::production {

// How a chip attempt ended, carried as this value from the run to the
// screen; the record's `result` column holds its name (ResultName).
enum class ChipResult {
  kPass,
  kCommunication,  // the programmer or the chip stopped answering
  kStatusWord,     // the chip refused a command
  kMismatch,       // data read back differ
  kReset,          // the chip's reset failed
  kUnsupported,    // a script line with no known command
  kRecordLine,     // a record line of the script failed
  kFailed,         // failed without a failing line
  kNoProgrammer,   // never reached a chip: no programmer could be opened
  kBusy,           // never reached a chip: another program held the programmer
  kStopped,        // the run was cut short by a stop (its chip is half programmed)
};
std::string_view ResultName(ChipResult result);
// A stored name back; names this version does not know read as kFailed.
ChipResult ResultFromName(std::string_view name);
inline bool IsPass(ChipResult result) {
  return result == ChipResult::kPass;
}
// Attempts that never reached a chip count neither as passed nor as failed.
inline bool ReachedChip(ChipResult result) {
  return result != ChipResult::kNoProgrammer && result != ChipResult::kBusy;
}

struct ChipRecord {
  std::chrono::system_clock::time_point started{};  // when the attempt began
  std::string timeUtc;  // the same as ISO 8601 UTC text (the record's column)
  std::string stationSerial;
  std::string stationPort;
  std::string toolVersion;
  std::string hexName;    // the HEX file's name without its folder
  std::string hexSha256;  // of the file's bytes, lower-case hex
  std::string imageCrc;   // CRC-16 of the chip's image (serial number included), 4 hex digits
  bool fuse = false;
  std::optional<std::string> chipSerial;  // the serial number given, if any
  ChipResult result = ChipResult::kFailed;
  int runResult = 0;
  std::string detail;             // the failing line's text, or why the run did not start
  std::optional<int> statusWord;  // the chip's answer to its failing command, if any
  std::int64_t durationMs = 0;
  std::string attempt;  // the attempt's id (empty in rows of older records)
};

// The columns of `chips`, in order. Records written before attempts were
// recorded lack the last one; they are read (as an empty attempt) and, when
// opened for writing, given the column.
inline constexpr const char* kChipColumns[] = {
    "time_utc",   "station_serial", "station_port", "tool_version", "hex_name",
    "hex_sha256", "image_crc",      "fuse",         "chip_serial",  "result",
    "run_result", "detail",         "duration_ms",  "attempt"};
inline constexpr std::size_t kChipColumnCount = std::size(kChipColumns);
inline constexpr std::size_t kLegacyChipColumnCount = 13;

// A row as the text of its columns, in kChipColumns' order (nullopt: NULL),
// and back: one codec for the SQLite file, PostgreSQL and CSV.
std::vector<std::optional<std::string>> ChipRowFields(const ChipRecord& row);
// `fields` holds kChipColumnCount or kLegacyChipColumnCount values. False
// with `error` when a number column holds no number.
bool ChipRowFromFields(const std::vector<std::optional<std::string>>& fields, ChipRecord& row,
                       std::string& error);

// A serial number reserved for one attempt.
struct Reservation {
  std::string series;
  std::int64_t number = 0;
  std::string attempt;
};

// What becomes of a reservation with the chip's record.
enum class SerialSettle {
  kUsed,      // the chip passed: the number is on it
  kReleased,  // the chip failed: the number is given to a later chip
  kBurnt,     // the chip failed and its number is not given again
};

// A reservation that has not settled: in progress now, or its attempt
// ended without a record (the chip may carry the number).
struct UnknownNumber {
  std::string series;
  std::int64_t number = 0;
  std::string chipHex;  // the bytes as written on the chip, upper-case hex
  std::string station;
  std::string timeUtc;  // when it was reserved
  std::string attempt;
};

// How a store is opened.
enum class StoreMode {
  kCreate,    // production: the file and the tables are created when missing
  kWrite,     // an existing record, for writing (the operator's settling)
  kReadOnly,  // reports: nothing in the store or its file is ever changed
};

// The bytes a serial number is written as (upper-case hex), or nullopt
// with a reason when the plan has no such number.
using ChipHexOf = std::function<std::optional<std::string>(std::int64_t, std::string&)>;

// A `chips` table's columns as a production record has them (now or as an
// older version made them); false with `error` naming `where` otherwise.
bool CheckChipColumns(const std::vector<std::string>& names, const std::string& where,
                      std::string& error);

class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Reserves a number of `series` for `attempt`: the smallest released
  // number not below `first`, else one `step` past the largest ever
  // reserved (at least `first`). `chipHexOf` gives the bytes the number is
  // written as (nullopt with a reason: no such number, e.g. the counter
  // outgrew its bytes; then nothing is reserved and `exhausted` is set).
  virtual bool Reserve(
      const std::string& series, std::int64_t first, std::int64_t step, const std::string& station,
      const std::string& attempt,
      const std::function<std::optional<std::string>(std::int64_t, std::string&)>& chipHexOf,
      std::int64_t& number, bool& exhausted, std::string& error) = 0;
  // Appends `row` and settles `reservation` (still held by its attempt) in
  // one transaction: committed (true) or not there at all. A reservation
  // that an operator settled meanwhile fails the record.
  virtual bool Record(const ChipRecord& row, const std::optional<Reservation>& reservation,
                      SerialSettle settle, std::string& error) = 0;
  // Every row with time_utc >= `since` (all when empty), in insertion
  // order, one at a time (never all in memory).
  virtual bool ForEachRow(const std::string& since,
                          const std::function<bool(const ChipRecord&)>& visit,
                          std::string& error) = 0;
  // The reservations that have not settled, oldest first.
  virtual bool Unknown(std::vector<UnknownNumber>& numbers, std::string& error) = 0;
  // The operator's word on unknown numbers whose chip bytes are `chipHex`
  // (as Unknown lists them; `series` narrows when given): released (given
  // again) or burnt. `settled` counts the numbers settled; a hex matching
  // reservations of several series without `series` is refused.
  virtual bool SettleUnknown(const std::string& chipHex, const std::string& series, bool release,
                             int& settled, std::string& error) = 0;

  // A flag that, once set, ends waits on the store (a busy file, a server
  // that does not answer) after a short grace; nullptr: none.
  void SetCancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }

  // Convenience for tests and small reports: every row, in memory.
  bool Rows(const std::string& since, std::vector<ChipRecord>& rows, std::string& error);

 protected:
  bool Cancelled() const { return cancel_ && cancel_->load(std::memory_order_acquire); }

 private:
  const std::atomic<bool>* cancel_ = nullptr;
};

// Whether `target` names a PostgreSQL database (postgresql://, postgres://).
bool IsPostgresTarget(const std::string& target);

// Opens `target`: a PostgreSQL connection URI or a SQLite file (UTF-8 path).
// Returns nullptr with `error` on failure.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target, StoreMode mode,
                                             std::string& error);

std::unique_ptr<RecordStore> OpenSqliteStore(const std::string& path, StoreMode mode,
                                             std::string& error);
// nullptr with an explanation when the tool was built without PostgreSQL.
std::unique_ptr<RecordStore> OpenPostgresStore(const std::string& uri, StoreMode mode,
                                               std::string& error);

// ISO 8601 UTC time with milliseconds, e.g. 2024-05-01T08:30:00.125Z, and
// back (nullopt for text of another shape).
std::string IsoUtc(std::chrono::system_clock::time_point time);
std::optional<std::chrono::system_clock::time_point> ParseIsoUtc(std::string_view text);

// A new attempt id: unique across hosts and processes (random, with the
// host and process for a reader).
std::string NewAttemptId();

}  // namespace velkan::production
