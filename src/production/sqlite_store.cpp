// The record store in a SQLite file. WAL lets stations and processes write
// one after the other while readers go on; a writer that finds the file
// locked waits, for a bounded time. Each chip's row is one transaction with
// synchronous=FULL, so a process killed at any moment leaves only whole rows.
//
// The file is checked before every commit: a record file that was deleted,
// renamed or replaced while the store had it open is not written to again
// (its rows would be lost with the deleted file), the store fails instead.
// Opened read-only, neither the file nor its journal is changed.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/codepage.h"
#include "production/record_store.h"

namespace velkan::production {

namespace {

// How long one statement waits for another writer's lock.
constexpr std::chrono::milliseconds kBusyWait{5000};
// After a cancel request, how long a wait may still go on.
constexpr std::chrono::milliseconds kCancelGrace{2000};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS chips ("
    " time_utc TEXT NOT NULL, station_serial TEXT NOT NULL, station_port TEXT NOT NULL,"
    " tool_version TEXT NOT NULL, hex_name TEXT NOT NULL, hex_sha256 TEXT NOT NULL,"
    " image_crc TEXT NOT NULL, fuse INTEGER NOT NULL, chip_serial TEXT, result TEXT NOT NULL,"
    " run_result INTEGER NOT NULL, detail TEXT NOT NULL, duration_ms INTEGER NOT NULL,"
    " attempt TEXT NOT NULL DEFAULT '', job_id TEXT NOT NULL DEFAULT '',"
    " data_sha256 TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number INTEGER NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, attempt TEXT NOT NULL DEFAULT '',"
    " reserved_utc TEXT NOT NULL DEFAULT '', chip_hex TEXT NOT NULL DEFAULT '',"
    " job_id TEXT NOT NULL DEFAULT '', PRIMARY KEY (series, number));";

// Records written before reservations: their columns and states brought up
// to date (`taken` was a reservation, `given` a released number).
constexpr const char* kMigrateSerials =
    "UPDATE serial_numbers SET state='reserved' WHERE state='taken';"
    "UPDATE serial_numbers SET state='released' WHERE state='given';";

constexpr const char* kIndexes =
    "CREATE INDEX IF NOT EXISTS chips_time ON chips (time_utc);"
    "CREATE INDEX IF NOT EXISTS chips_attempt ON chips (attempt);"
    "CREATE INDEX IF NOT EXISTS chips_job ON chips (job_id, result);"
    "CREATE INDEX IF NOT EXISTS serial_numbers_state ON serial_numbers (state);";

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void Bind(int i, const std::string& text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, const std::optional<std::string>& text) {
    if (text) {
      Bind(i, *text);
    } else {
      sqlite3_bind_null(stmt_, i);
    }
  }
  void Bind(int i, std::int64_t value) { sqlite3_bind_int64(stmt_, i, value); }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  std::string Text(int i) const {
    const auto* p = sqlite3_column_text(stmt_, i);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
             : std::string();
  }
  std::optional<std::string> MaybeText(int i) const {
    if (IsNull(i)) return std::nullopt;
    return Text(i);
  }
  bool IsNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
  std::int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// The file's identity: which file the path names now.
struct FileId {
  bool exists = false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  bool operator==(const FileId&) const = default;
};

FileId IdOf(const std::string& path) {
  FileId id;
#if defined(_WIN32)
  // Windows keeps an open file from being deleted or replaced.
  struct _stat64 st;
  const std::wstring wide = PathFromUtf8(path).wstring();
  if (_wstat64(wide.c_str(), &st) == 0) {
    id.exists = true;
    id.device = static_cast<unsigned long long>(st.st_dev);
  }
#else
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.device = static_cast<unsigned long long>(st.st_dev);
    id.inode = static_cast<unsigned long long>(st.st_ino);
  }
#endif
  return id;
}

class SqliteStore final : public RecordStore {
 public:
  SqliteStore(Db db, std::string path, StoreMode mode)
      : db_(std::move(db)), path_(std::move(path)), mode_(mode) {}

  bool Init(std::string& error) {
    sqlite3_busy_handler(db_.get(), &SqliteStore::OnBusy, this);
    if (mode_ == StoreMode::kReadOnly) {
      if (!ReadColumns(error)) return false;
      return true;
    }
    // The first statement reads the file: a file that is no database fails here.
    if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error)) {
      return false;
    }
    if (mode_ == StoreMode::kCreate && !Exec(kSchema, error)) return false;
    if (!ReadColumns(error)) return false;
    if (!Migrate(error)) return false;
    id_ = IdOf(path_);
    return true;
  }

  bool ReserveFor(const std::string& series, std::int64_t first, std::int64_t step,
                  const std::string& station, const std::string& attempt, const JobLimit& job,
                  const ChipHexOf& chipHexOf, std::int64_t& number, ReserveRefusal& refusal,
                  std::string& error) override {
    refusal = ReserveRefusal::kNone;
    std::lock_guard lock(mutex_);
    if (!Writable(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    if (job.limit > 0) {
      // In the write transaction: no other station or process reserves or
      // records between this count and the reservation.
      Statement counts(db_.get(),
                       "SELECT (SELECT COUNT(*) FROM chips WHERE job_id=?1 AND result='pass'),"
                       " (SELECT COUNT(*) FROM serial_numbers WHERE job_id=?1 AND"
                       " state='reserved')");
      if (!counts.ok()) return Fail(error);
      counts.Bind(1, job.jobId);
      if (counts.Step() != SQLITE_ROW) return Fail(error);
      if (counts.Int(0) + counts.Int(1) >= job.limit) {
        refusal = ReserveRefusal::kLimit;
        error = LimitText(job.limit, counts.Int(0), counts.Int(1));
        return false;
      }
    }
    bool found = false;
    {
      Statement released(db_.get(),
                         "SELECT MIN(number) FROM serial_numbers "
                         "WHERE series=?1 AND state='released' AND number>=?2");
      if (!released.ok()) return Fail(error);
      released.Bind(1, series);
      released.Bind(2, first);
      if (released.Step() != SQLITE_ROW) return Fail(error);
      if (!released.IsNull(0)) {
        number = released.Int(0);
        found = true;
      }
    }
    if (!found) {
      Statement largest(db_.get(), "SELECT MAX(number) FROM serial_numbers WHERE series=?1");
      if (!largest.ok()) return Fail(error);
      largest.Bind(1, series);
      if (largest.Step() != SQLITE_ROW) return Fail(error);
      if (largest.IsNull(0) || largest.Int(0) < first) {
        number = first;
      } else if (largest.Int(0) > INT64_MAX - step) {
        refusal = ReserveRefusal::kExhausted;
        error = "no serial number left in " + series;
        return false;
      } else {
        number = largest.Int(0) + step;
      }
    }
    std::string why;
    const std::optional<std::string> chipHex = chipHexOf(number, why);
    if (!chipHex) {
      refusal = ReserveRefusal::kExhausted;
      error = why;
      return false;
    }
    Statement take(db_.get(),
                   "INSERT INTO serial_numbers"
                   " (series, number, state, station, attempt, reserved_utc, chip_hex, job_id)"
                   " VALUES (?1, ?2, 'reserved', ?3, ?4, ?5, ?6, ?7)"
                   " ON CONFLICT (series, number) DO UPDATE SET state='reserved', station=?3,"
                   " attempt=?4, reserved_utc=?5, chip_hex=?6, job_id=?7"
                   " WHERE state='released'");
    if (!take.ok()) return Fail(error);
    take.Bind(1, series);
    take.Bind(2, number);
    take.Bind(3, station);
    take.Bind(4, attempt);
    take.Bind(5, IsoUtc(std::chrono::system_clock::now()));
    take.Bind(6, *chipHex);
    take.Bind(7, job.jobId);
    if (take.Step() != SQLITE_DONE) return Fail(error);
    if (sqlite3_changes(db_.get()) != 1) {
      error = path_ + ": serial number " + std::to_string(number) + " of " + series +
              " could not be reserved";
      return false;
    }
    return tx.Commit(error);
  }

  bool Record(const ChipRecord& row, const std::optional<Reservation>& reservation,
              SerialSettle settle, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!Writable(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    if (!row.attempt.empty()) {
      // A retry after a commit whose answer was lost: the row is there.
      Statement seen(db_.get(), "SELECT 1 FROM chips WHERE attempt=?1");
      if (!seen.ok()) return Fail(error);
      seen.Bind(1, row.attempt);
      const int rc = seen.Step();
      if (rc == SQLITE_ROW) return tx.Commit(error);
      if (rc != SQLITE_DONE) return Fail(error);
    }
    {
      std::string sql = "INSERT INTO chips (";
      for (std::size_t i = 0; i < kChipColumnCount; ++i) {
        sql += (i ? "," : "") + std::string(kChipColumns[i]);
      }
      sql += ") VALUES (";
      for (std::size_t i = 0; i < kChipColumnCount; ++i) sql += i ? ",?" : "?";
      sql += ")";
      Statement insert(db_.get(), sql);
      if (!insert.ok()) return Fail(error);
      const auto fields = ChipRowFields(row);
      for (std::size_t i = 0; i < fields.size(); ++i) {
        insert.Bind(static_cast<int>(i + 1), fields[i]);
      }
      if (insert.Step() != SQLITE_DONE) return Fail(error);
    }
    if (reservation) {
      Statement update(db_.get(),
                       "UPDATE serial_numbers SET state=?1 WHERE series=?2 AND number=?3"
                       " AND attempt=?4 AND state='reserved'");
      if (!update.ok()) return Fail(error);
      update.Bind(1, std::string(settle == SerialSettle::kUsed    ? "used"
                                 : settle == SerialSettle::kBurnt ? "burnt"
                                                                  : "released"));
      update.Bind(2, reservation->series);
      update.Bind(3, reservation->number);
      update.Bind(4, reservation->attempt);
      if (update.Step() != SQLITE_DONE) return Fail(error);
      if (sqlite3_changes(db_.get()) != 1) {
        error = path_ + ": serial number " + std::to_string(reservation->number) + " of " +
                reservation->series +
                " is no longer reserved for this chip (settled by an "
                "operator meanwhile)";
        return false;
      }
    }
    return tx.Commit(error);
  }

  bool ForEachRow(const std::string& since, const std::function<bool(const ChipRecord&)>& visit,
                  std::string& error) override {
    std::lock_guard lock(mutex_);
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < columns_; ++i) sql += (i ? "," : "") + std::string(kChipColumns[i]);
    sql += " FROM chips WHERE time_utc >= ?1 ORDER BY rowid";
    Statement select(db_.get(), sql);
    if (!select.ok()) return Fail(error);
    select.Bind(1, since);
    std::vector<std::optional<std::string>> fields(columns_);
    ChipRecord row;
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) {
      for (std::size_t i = 0; i < columns_; ++i) fields[i] = select.MaybeText(static_cast<int>(i));
      if (!ChipRowFromFields(fields, row, error)) {
        error = path_ + ": " + error;
        return false;
      }
      if (!visit(row)) return true;
    }
    if (rc != SQLITE_DONE) return Fail(error);
    return true;
  }

  bool Unknown(std::vector<UnknownNumber>& numbers, std::string& error) override {
    std::lock_guard lock(mutex_);
    const std::string sql =
        serialColumns_ >= 7
            ? "SELECT series, number, chip_hex, station, reserved_utc, attempt FROM serial_numbers"
              " WHERE state IN ('reserved','taken') ORDER BY reserved_utc, rowid"
            : "SELECT series, number, '', station, '', '' FROM serial_numbers"
              " WHERE state='taken' ORDER BY rowid";
    if (serialColumns_ == 0) return true;  // no numbers were ever taken
    Statement select(db_.get(), sql);
    if (!select.ok()) return Fail(error);
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) {
      numbers.push_back({select.Text(0), select.Int(1), select.Text(2), select.Text(3),
                         select.Text(4), select.Text(5)});
    }
    if (rc != SQLITE_DONE) return Fail(error);
    return true;
  }

  bool SettleUnknown(const std::string& chipHex, const std::string& series, bool release,
                     int& settled, std::string& error) override {
    settled = 0;
    std::lock_guard lock(mutex_);
    if (!Writable(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    const char* where =
        " FROM serial_numbers WHERE state='reserved' AND upper(chip_hex)=upper(?1)"
        " AND (?2='' OR series=?2)";
    {
      Statement seriesOf(db_.get(), std::string("SELECT DISTINCT series") + where);
      if (!seriesOf.ok()) return Fail(error);
      seriesOf.Bind(1, chipHex);
      seriesOf.Bind(2, series);
      std::vector<std::string> found;
      int rc;
      while ((rc = seriesOf.Step()) == SQLITE_ROW) found.push_back(seriesOf.Text(0));
      if (rc != SQLITE_DONE) return Fail(error);
      if (found.size() > 1) {
        error = chipHex + " is an unknown number of several series (";
        for (std::size_t i = 0; i < found.size(); ++i) error += (i ? ", " : "") + found[i];
        error += "): name one with --series";
        return false;
      }
    }
    Statement update(db_.get(), std::string("UPDATE serial_numbers SET state=?3 WHERE rowid IN "
                                            "(SELECT rowid") +
                                    where + ")");
    if (!update.ok()) return Fail(error);
    update.Bind(1, chipHex);
    update.Bind(2, series);
    update.Bind(3, std::string(release ? "released" : "burnt"));
    if (update.Step() != SQLITE_DONE) return Fail(error);
    settled = sqlite3_changes(db_.get());
    return tx.Commit(error);
  }

 private:
  // BEGIN IMMEDIATE: the write lock is taken (or waited for) at once, so two
  // processes reserving a serial number never both read the same largest one.
  // Commit checks first that the file is still the one the store opened.
  class Transaction {
   public:
    explicit Transaction(SqliteStore& store) : store_(store) {}
    ~Transaction() {
      if (open_) sqlite3_exec(store_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Begin(std::string& error) {
      store_.waitStarted_.reset();
      if (!store_.StillThere(error)) return false;
      return open_ = store_.Exec("BEGIN IMMEDIATE", error);
    }
    bool Commit(std::string& error) {
      if (!store_.StillThere(error)) return false;
      if (!store_.Exec("COMMIT", error)) return false;
      open_ = false;
      return true;
    }

   private:
    SqliteStore& store_;
    bool open_ = false;
  };

  // Waits for another writer's lock in small steps, up to kBusyWait, and
  // not past kCancelGrace after a cancel request.
  static int OnBusy(void* self, int) {
    auto* store = static_cast<SqliteStore*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (!store->waitStarted_) store->waitStarted_ = now;
    if (now - *store->waitStarted_ >= kBusyWait) return 0;
    if (store->Cancelled()) {
      if (!store->cancelSeen_) store->cancelSeen_ = now;
      if (now - *store->cancelSeen_ >= kCancelGrace) return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 1;
  }

  bool Writable(std::string& error) {
    if (mode_ != StoreMode::kReadOnly) return true;
    error = path_ + ": opened read-only";
    return false;
  }

  // The path still names the file the store opened (not deleted, renamed
  // or replaced by another file).
  bool StillThere(std::string& error) {
    int moved = 0;
    const FileId now = IdOf(path_);
    if (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) {
      moved = 0;
    }
    if (moved == 0 && now == id_) return true;
    error = path_ +
            ": the record file was deleted, moved or replaced while in use; nothing "
            "more is written to it";
    return false;
  }

  bool Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = path_ + ": " + (message ? message : sqlite3_errmsg(db_.get()));
    sqlite3_free(message);
    return false;
  }

  bool Fail(std::string& error) {
    error = path_ + ": " + sqlite3_errmsg(db_.get());
    return false;
  }

  std::vector<std::string> ColumnsOf(const char* table, std::string& error, bool& ok) {
    ok = false;
    Statement info(db_.get(),
                   std::string("SELECT name FROM pragma_table_info('") + table + "') ORDER BY cid");
    if (!info.ok()) {
      Fail(error);
      return {};
    }
    std::vector<std::string> names;
    int rc;
    while ((rc = info.Step()) == SQLITE_ROW) names.push_back(info.Text(0));
    if (rc != SQLITE_DONE) {
      Fail(error);
      return {};
    }
    ok = true;
    return names;
  }

  // A `chips` table of another shape is refused rather than half-filled.
  bool ReadColumns(std::string& error) {
    bool ok = false;
    const std::vector<std::string> names = ColumnsOf("chips", error, ok);
    if (!ok) return false;
    if (!CheckChipColumns(names, path_, error)) return false;
    columns_ = names.size();
    const std::vector<std::string> serials = ColumnsOf("serial_numbers", error, ok);
    if (!ok) return false;
    serialColumns_ = serials.size();
    return true;
  }

  bool Migrate(std::string& error) {
    std::string sql;
    if (columns_ == kLegacyChipColumnCount) {
      sql += "ALTER TABLE chips ADD COLUMN attempt TEXT NOT NULL DEFAULT '';";
    }
    if (columns_ < kChipColumnCount) {
      sql +=
          "ALTER TABLE chips ADD COLUMN job_id TEXT NOT NULL DEFAULT '';"
          "ALTER TABLE chips ADD COLUMN data_sha256 TEXT NOT NULL DEFAULT '';";
    }
    if (serialColumns_ == 0) {
      sql +=
          "CREATE TABLE serial_numbers ("
          " series TEXT NOT NULL, number INTEGER NOT NULL, state TEXT NOT NULL,"
          " station TEXT NOT NULL, attempt TEXT NOT NULL DEFAULT '',"
          " reserved_utc TEXT NOT NULL DEFAULT '', chip_hex TEXT NOT NULL DEFAULT '',"
          " job_id TEXT NOT NULL DEFAULT '', PRIMARY KEY (series, number));";
    } else if (serialColumns_ == 4) {
      sql +=
          "ALTER TABLE serial_numbers ADD COLUMN attempt TEXT NOT NULL DEFAULT '';"
          "ALTER TABLE serial_numbers ADD COLUMN reserved_utc TEXT NOT NULL DEFAULT '';"
          "ALTER TABLE serial_numbers ADD COLUMN chip_hex TEXT NOT NULL DEFAULT '';";
    }
    if (serialColumns_ > 0 && serialColumns_ < 8) {
      sql += "ALTER TABLE serial_numbers ADD COLUMN job_id TEXT NOT NULL DEFAULT '';";
    }
    sql += kMigrateSerials;
    sql += kIndexes;
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    if (!Exec(sql.c_str(), error) || !Exec("COMMIT", error)) {
      std::string ignored;
      Exec("ROLLBACK", ignored);
      return false;
    }
    columns_ = kChipColumnCount;
    serialColumns_ = 8;
    return true;
  }

  Db db_;
  std::string path_;
  StoreMode mode_;
  FileId id_;
  std::size_t columns_ = kChipColumnCount;
  std::size_t serialColumns_ = 8;
  std::optional<std::chrono::steady_clock::time_point> waitStarted_;
  std::optional<std::chrono::steady_clock::time_point> cancelSeen_;
  std::mutex mutex_;
};

// A URI for sqlite3_open_v2 naming `path` (any characters) with `query`.
std::string FileUri(const std::string& path, const std::string& query) {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      uri += hex;
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?" + query;
}

}  // namespace

std::unique_ptr<RecordStore> OpenSqliteStore(const std::string& path, StoreMode mode,
                                             std::string& error) {
  std::error_code ec;
  const std::filesystem::path p = PathFromUtf8(path);
  if (std::filesystem::is_directory(p, ec)) {
    error = path + ": is a directory";
    return nullptr;
  }
  const bool exists = std::filesystem::exists(p, ec);
  if (mode != StoreMode::kCreate && !exists) {
    error = path + ": no such file";
    return nullptr;
  }
  if (mode == StoreMode::kCreate && !exists && p.has_parent_path()) {
    // A record in a folder that does not exist yet: the folder is made.
    std::filesystem::create_directories(p.parent_path(), ec);
    if (ec) {
      error = path + ": its folder cannot be created: " + ec.message();
      return nullptr;
    }
  }
  auto open = [&](const std::string& uri, int flags,
                  std::string& why) -> std::unique_ptr<SqliteStore> {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(uri.c_str(), &raw,
                                   flags | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
      why = path + ": " + (raw ? sqlite3_errmsg(raw) : "cannot be opened");
      return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(std::move(db), path, mode);
    if (!store->Init(why)) return nullptr;
    return store;
  };
  if (mode == StoreMode::kReadOnly) {
    if (auto store = open(FileUri(path, "mode=ro"), SQLITE_OPEN_READONLY, error)) return store;
    // A WAL record on a read-only medium (or in a folder we may not write)
    // cannot get its shared-memory file; nobody writes to it there, so it
    // is read as it stands.
    std::string second;
    if (auto store = open(FileUri(path, "mode=ro&immutable=1"), SQLITE_OPEN_READONLY, second)) {
      return store;
    }
    return nullptr;
  }
  const int flags = SQLITE_OPEN_READWRITE | (mode == StoreMode::kCreate ? SQLITE_OPEN_CREATE : 0);
  return open(FileUri(path, "mode=" + std::string(mode == StoreMode::kCreate ? "rwc" : "rw")),
              flags, error);
}

}  // namespace velkan::production
