// The record store in a SQLite file. WAL lets stations and processes write
// one after the other while readers go on; a writer that finds the file
// locked waits (busy timeout). Each chip's row is one transaction with
// synchronous=FULL, so a process killed at any moment leaves only whole rows.
#include <sqlite3.h>

#include <filesystem>
#include <mutex>

#include "common/codepage.h"
#include "production/record_store.h"

namespace velkan::production {

namespace {

constexpr int kBusyTimeoutMs = 15000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS chips ("
    " time_utc TEXT NOT NULL, station_serial TEXT NOT NULL, station_port TEXT NOT NULL,"
    " tool_version TEXT NOT NULL, hex_name TEXT NOT NULL, hex_sha256 TEXT NOT NULL,"
    " image_crc TEXT NOT NULL, fuse INTEGER NOT NULL, chip_serial TEXT, result TEXT NOT NULL,"
    " run_result INTEGER NOT NULL, detail TEXT NOT NULL, duration_ms INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number INTEGER NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, PRIMARY KEY (series, number));";

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void Bind(int i, const std::string& text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, std::int64_t value) { sqlite3_bind_int64(stmt_, i, value); }
  void BindNull(int i) { sqlite3_bind_null(stmt_, i); }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  std::string Text(int i) const {
    const auto* p = sqlite3_column_text(stmt_, i);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
             : std::string();
  }
  bool IsNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
  std::int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore final : public RecordStore {
 public:
  SqliteStore(Db db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}

  bool Init(bool create, std::string& error) {
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    // The first statement reads the file: a file that is no database fails here.
    if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error)) {
      return false;
    }
    if (create && !Exec(kSchema, error)) return false;
    if (!CheckColumns(error)) return false;
    return !create || Exec("CREATE INDEX IF NOT EXISTS chips_time ON chips (time_utc)", error);
  }

  bool TakeSerial(const std::string& series, std::int64_t first, std::int64_t step,
                  const std::string& station, std::int64_t& number, std::string& error) override {
    std::lock_guard lock(mutex_);
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    {
      Statement reclaim(db_.get(),
                        "UPDATE serial_numbers SET state='given' "
                        "WHERE series=?1 AND station=?2 AND state='taken'");
      if (!Run(reclaim, error, series, station)) return false;
    }
    bool found = false;
    {
      Statement given(db_.get(),
                      "SELECT MIN(number) FROM serial_numbers "
                      "WHERE series=?1 AND state='given' AND number>=?2");
      if (!given.ok()) return Fail(error);
      given.Bind(1, series);
      given.Bind(2, first);
      if (given.Step() != SQLITE_ROW) return Fail(error);
      if (!given.IsNull(0)) {
        number = given.Int(0);
        found = true;
      }
    }
    if (!found) {
      Statement largest(db_.get(), "SELECT MAX(number) FROM serial_numbers WHERE series=?1");
      if (!largest.ok()) return Fail(error);
      largest.Bind(1, series);
      if (largest.Step() != SQLITE_ROW) return Fail(error);
      number = largest.IsNull(0) || largest.Int(0) < first ? first : largest.Int(0) + step;
    }
    Statement take(db_.get(),
                   "INSERT INTO serial_numbers (series, number, state, station) "
                   "VALUES (?1, ?2, 'taken', ?3) "
                   "ON CONFLICT (series, number) DO UPDATE SET state='taken', station=?3");
    if (!take.ok()) return Fail(error);
    take.Bind(1, series);
    take.Bind(2, number);
    take.Bind(3, station);
    if (take.Step() != SQLITE_DONE) return Fail(error);
    return tx.Commit(error);
  }

  bool Record(const ChipRecord& row, const std::optional<SerialTicket>& ticket, SerialSettle settle,
              std::string& error) override {
    std::lock_guard lock(mutex_);
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    {
      Statement insert(db_.get(),
                       "INSERT INTO chips (time_utc, station_serial, station_port, tool_version,"
                       " hex_name, hex_sha256, image_crc, fuse, chip_serial, result, run_result,"
                       " detail, duration_ms) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)");
      if (!insert.ok()) return Fail(error);
      insert.Bind(1, row.timeUtc);
      insert.Bind(2, row.stationSerial);
      insert.Bind(3, row.stationPort);
      insert.Bind(4, row.toolVersion);
      insert.Bind(5, row.hexName);
      insert.Bind(6, row.hexSha256);
      insert.Bind(7, row.imageCrc);
      insert.Bind(8, std::int64_t{row.fuse ? 1 : 0});
      if (row.chipSerial) {
        insert.Bind(9, *row.chipSerial);
      } else {
        insert.BindNull(9);
      }
      insert.Bind(10, row.result);
      insert.Bind(11, std::int64_t{row.runResult});
      insert.Bind(12, row.detail);
      insert.Bind(13, row.durationMs);
      if (insert.Step() != SQLITE_DONE) return Fail(error);
    }
    if (ticket) {
      Statement update(db_.get(),
                       "UPDATE serial_numbers SET state=?1 WHERE series=?2 AND number=?3");
      if (!update.ok()) return Fail(error);
      update.Bind(1, std::string(settle == SerialSettle::kUsed    ? "used"
                                 : settle == SerialSettle::kBurnt ? "burnt"
                                                                  : "given"));
      update.Bind(2, ticket->series);
      update.Bind(3, ticket->number);
      if (update.Step() != SQLITE_DONE) return Fail(error);
    }
    return tx.Commit(error);
  }

  bool Rows(const std::string& since, std::vector<ChipRecord>& rows, std::string& error) override {
    std::lock_guard lock(mutex_);
    Statement select(db_.get(),
                     "SELECT time_utc, station_serial, station_port, tool_version, hex_name,"
                     " hex_sha256, image_crc, fuse, chip_serial, result, run_result, detail,"
                     " duration_ms FROM chips WHERE time_utc >= ?1 ORDER BY rowid");
    if (!select.ok()) return Fail(error);
    select.Bind(1, since);
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) {
      ChipRecord r;
      r.timeUtc = select.Text(0);
      r.stationSerial = select.Text(1);
      r.stationPort = select.Text(2);
      r.toolVersion = select.Text(3);
      r.hexName = select.Text(4);
      r.hexSha256 = select.Text(5);
      r.imageCrc = select.Text(6);
      r.fuse = select.Int(7) != 0;
      if (!select.IsNull(8)) r.chipSerial = select.Text(8);
      r.result = select.Text(9);
      r.runResult = static_cast<int>(select.Int(10));
      r.detail = select.Text(11);
      r.durationMs = select.Int(12);
      rows.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) return Fail(error);
    return true;
  }

 private:
  // BEGIN IMMEDIATE: the write lock is taken (or waited for) at once, so two
  // processes taking a serial number never both read the same largest one.
  class Transaction {
   public:
    explicit Transaction(SqliteStore& store) : store_(store) {}
    ~Transaction() {
      if (open_) sqlite3_exec(store_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Begin(std::string& error) { return open_ = store_.Exec("BEGIN IMMEDIATE", error); }
    bool Commit(std::string& error) {
      if (!store_.Exec("COMMIT", error)) return false;
      open_ = false;
      return true;
    }

   private:
    SqliteStore& store_;
    bool open_ = false;
  };

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

  template <typename... Args>
  bool Run(Statement& s, std::string& error, const Args&... args) {
    if (!s.ok()) return Fail(error);
    int i = 1;
    (s.Bind(i++, args), ...);
    if (s.Step() != SQLITE_DONE) return Fail(error);
    return true;
  }

  // A `chips` table of another shape is refused rather than half-filled.
  bool CheckColumns(std::string& error) {
    Statement info(db_.get(), "SELECT name FROM pragma_table_info('chips') ORDER BY cid");
    if (!info.ok()) return Fail(error);
    std::vector<std::string> names;
    while (info.Step() == SQLITE_ROW) names.push_back(info.Text(0));
    if (names.empty()) {
      error = path_ + ": no table chips (not a production log)";
      return false;
    }
    const std::vector<std::string> expected(std::begin(kChipColumns), std::end(kChipColumns));
    if (names != expected) {
      error = path_ + ": table chips has other columns than a production log";
      return false;
    }
    return true;
  }

  Db db_;
  std::string path_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenSqliteStore(const std::string& path, bool create,
                                             std::string& error) {
  std::error_code ec;
  const std::filesystem::path p = PathFromUtf8(path);
  if (std::filesystem::is_directory(p, ec)) {
    error = path + ": is a directory";
    return nullptr;
  }
  if (!create && !std::filesystem::exists(p, ec)) {
    error = path + ": no such file";
    return nullptr;
  }
  sqlite3* raw = nullptr;
  const int flags =
      SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    error = path + ": " + (raw ? sqlite3_errmsg(raw) : "cannot be opened");
    return nullptr;
  }
  auto store = std::make_unique<SqliteStore>(std::move(db), path);
  if (!store->Init(create, error)) return nullptr;
  return store;
}

}  // namespace velkan::production
