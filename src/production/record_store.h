// The per-chip record: one row per chip attempt in the table `chips`, and
// the serial numbers given, in one store shared by every station of a
// process and by every process writing to it. Implementations: a SQLite
// file and a PostgreSQL database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velkan::production {

struct ChipRecord {
  std::string timeUtc;  // ISO 8601, UTC, when the attempt began
  std::string stationSerial;
  std::string stationPort;
  std::string toolVersion;
  std::string hexName;    // the HEX file's name without its folder
  std::string hexSha256;  // of the file's bytes, lower-case hex
  std::string imageCrc;   // CRC-16 of the chip's image (serial number included), 4 hex digits
  bool fuse = false;
  std::optional<std::string> chipSerial;  // the serial number given, if any
  std::string result;                     // "pass" or the failure kind
  int runResult = 0;
  std::string detail;  // the failing line's text, or why the run did not start
  std::int64_t durationMs = 0;
};

// The columns of `chips`, in order.
inline constexpr const char* kChipColumns[] = {
    "time_utc",   "station_serial", "station_port", "tool_version", "hex_name",
    "hex_sha256", "image_crc",      "fuse",         "chip_serial",  "result",
    "run_result", "detail",         "duration_ms"};

// A serial number taken for a chip in progress.
struct SerialTicket {
  std::string series;
  std::int64_t number = 0;
};

// What becomes of a ticket's number with the chip's record.
enum class SerialSettle {
  kUsed,   // the chip passed: the number is on it
  kGiven,  // the chip failed: the number is given to a later chip
  kBurnt,  // the chip failed and its number is not given again
};

class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Takes a number of `series` for the next chip of `station`: the smallest
  // number given back (not below `first`), else one `step` past the largest
  // number ever taken (at least `first`). Numbers that `station` took and
  // never settled (its process ended before recording the chip) are given
  // back first: a programmer serves one process at a time, so they are
  // nobody's now.
  virtual bool TakeSerial(const std::string& series, std::int64_t first, std::int64_t step,
                          const std::string& station, std::int64_t& number, std::string& error) = 0;
  // Appends `row` and settles `ticket` in one transaction: committed (true)
  // or not there at all.
  virtual bool Record(const ChipRecord& row, const std::optional<SerialTicket>& ticket,
                      SerialSettle settle, std::string& error) = 0;
  // The rows with time_utc >= `since` (all when empty), in insertion order.
  virtual bool Rows(const std::string& since, std::vector<ChipRecord>& rows,
                    std::string& error) = 0;
};

// Whether `target` names a PostgreSQL database (postgresql://, postgres://).
bool IsPostgresTarget(const std::string& target);

// Opens `target`: a PostgreSQL connection URI or a SQLite file (UTF-8 path).
// `create`: a missing SQLite file and the tables are created; otherwise a
// missing file is an error. Returns nullptr with `error` on failure.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target, bool create,
                                             std::string& error);

std::unique_ptr<RecordStore> OpenSqliteStore(const std::string& path, bool create,
                                             std::string& error);
// nullptr with an explanation when the tool was built without PostgreSQL.
std::unique_ptr<RecordStore> OpenPostgresStore(const std::string& uri, bool create,
                                               std::string& error);

}  // namespace velkan::production
