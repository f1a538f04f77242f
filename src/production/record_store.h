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
  kChipData,       // the chip data generator gave no data: nothing was written
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
  std::string attempt;     // the attempt's id (empty in rows of older records)
  std::string jobId;       // the sealed job's id (empty: a run without a job file, older records)
  std::string dataSha256;  // of the chip's own data from the generator (empty: none)
};

// The columns of `chips`, in order. Records written before attempts were
// recorded lack the last three, records written before jobs the last two;
// they are read (as empty texts) and, when opened for writing, given the
// columns.
inline constexpr const char* kChipColumns[] = {
    "time_utc",    "station_serial", "station_port", "tool_version", "hex_name",   "hex_sha256",
    "image_crc",   "fuse",           "chip_serial",  "result",       "run_result", "detail",
    "duration_ms", "attempt",        "job_id",       "data_sha256"};
inline constexpr std::size_t kChipColumnCount = std::size(kChipColumns);
inline constexpr std::size_t kLegacyChipColumnCount = 13;
inline constexpr std::size_t kAttemptChipColumnCount = 14;
// Whether a `chips` table of `columns` columns is one this version reads.
inline bool KnownChipColumnCount(std::size_t columns) {
  return columns == kChipColumnCount || columns == kAttemptChipColumnCount ||
         columns == kLegacyChipColumnCount;
}

// A row as the text of its columns, in kChipColumns' order (nullopt: NULL),
// and back: one codec for the SQLite file, PostgreSQL and CSV.
std::vector<std::optional<std::string>> ChipRowFields(const ChipRecord& row);
// `fields` holds as many values as a known `chips` table has columns. False
// with `error` when a number column holds no number.
bool ChipRowFromFields(const std::vector<std::optional<std::string>>& fields, ChipRecord& row,
                       std::string& error);

// The job a number is reserved for, and its limit of passed chips: a number
// is reserved only while the job's passed chips and its numbers reserved
// but not settled (unknown ones included) stay below `limit`.
struct JobLimit {
  std::string jobId;       // empty: no job
  std::int64_t limit = 0;  // 0: no limit
};

// How a reservation ended when no number was reserved.
enum class ReserveRefusal {
  kNone,       // a store error (or a number was reserved)
  kExhausted,  // the plan has no further number
  kLimit,      // the job's limit is reached
};

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
  bool Reserve(const std::string& series, std::int64_t first, std::int64_t step,
               const std::string& station, const std::string& attempt, const ChipHexOf& chipHexOf,
               std::int64_t& number, bool& exhausted, std::string& error) {
    ReserveRefusal refusal = ReserveRefusal::kNone;
    const bool ok = ReserveFor(series, first, step, station, attempt, JobLimit{}, chipHexOf, number,
                               refusal, error);
    exhausted = refusal == ReserveRefusal::kExhausted;
    return ok;
  }
  // The same for a job: the reservation carries `job.jobId`, and with a
  // limit the count of the job's passed and reserved numbers is checked in
  // the reservation's transaction (kLimit, with `error` saying the counts).
  virtual bool ReserveFor(const std::string& series, std::int64_t first, std::int64_t step,
                          const std::string& station, const std::string& attempt,
                          const JobLimit& job, const ChipHexOf& chipHexOf, std::int64_t& number,
                          ReserveRefusal& refusal, std::string& error) = 0;
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

// The refusal's words when a job's limit is reached.
std::string LimitText(std::int64_t limit, std::int64_t passed, std::int64_t reserved);

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
