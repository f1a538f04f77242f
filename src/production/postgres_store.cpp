// The record store in a PostgreSQL database (libpq), so that every station
// of a floor reports to one place. The same rows as the SQLite file; each
// chip's row and its serial number settle in one transaction, and taking a
// serial number locks the numbers' table for the moment it takes.
//
// libpq (and the TLS, Kerberos and LDAP libraries it brings) is loaded when
// a PostgreSQL store is first opened, not when the program starts: the
// desktop tool and the command line start as fast without it, and a
// machine that only keeps SQLite records does not need it installed.
#include <libpq-fe.h>

#include <functional>
#include <mutex>
#include <string>
#include <type_traits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "production/record_store.h"

namespace velkan::production {

namespace {

constexpr const char* kConnectTimeoutSeconds = "10";

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS chips ("
    " time_utc TEXT NOT NULL, station_serial TEXT NOT NULL, station_port TEXT NOT NULL,"
    " tool_version TEXT NOT NULL, hex_name TEXT NOT NULL, hex_sha256 TEXT NOT NULL,"
    " image_crc TEXT NOT NULL, fuse INTEGER NOT NULL, chip_serial TEXT, result TEXT NOT NULL,"
    " run_result INTEGER NOT NULL, detail TEXT NOT NULL, duration_ms BIGINT NOT NULL,"
    " attempt TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number BIGINT NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, attempt TEXT NOT NULL DEFAULT '',"
    " reserved_utc TEXT NOT NULL DEFAULT '', chip_hex TEXT NOT NULL DEFAULT '',"
    " PRIMARY KEY (series, number));";

// Records written before reservations: their columns and states brought up
// to date (`taken` was a reservation, `given` a released number).
constexpr const char* kMigrate =
    "ALTER TABLE chips ADD COLUMN IF NOT EXISTS attempt TEXT NOT NULL DEFAULT '';"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number BIGINT NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, PRIMARY KEY (series, number));"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS attempt TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS reserved_utc TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS chip_hex TEXT NOT NULL DEFAULT '';"
    "UPDATE serial_numbers SET state='reserved' WHERE state='taken';"
    "UPDATE serial_numbers SET state='released' WHERE state='given';"
    "CREATE INDEX IF NOT EXISTS chips_time ON chips (time_utc);"
    "CREATE INDEX IF NOT EXISTS chips_attempt ON chips (attempt);";

// The libpq functions this store calls, from the library loaded at run time.
struct Libpq {
  decltype(&::PQclear) clear = nullptr;
  decltype(&::PQcmdTuples) cmdTuples = nullptr;
  decltype(&::PQconnectdbParams) connectdbParams = nullptr;
  decltype(&::PQerrorMessage) errorMessage = nullptr;
  decltype(&::PQexec) exec = nullptr;
  decltype(&::PQexecParams) execParams = nullptr;
  decltype(&::PQfinish) finish = nullptr;
  decltype(&::PQgetisnull) getisnull = nullptr;
  decltype(&::PQgetvalue) getvalue = nullptr;
  decltype(&::PQntuples) ntuples = nullptr;
  decltype(&::PQresultStatus) resultStatus = nullptr;
  decltype(&::PQstatus) status = nullptr;
};

#if defined(_WIN32)
constexpr const char* kLibpqName = "libpq.dll";
#else
constexpr const char* kLibpqName = "libpq.so.5";
#endif

// Loads libpq once for the process (it stays loaded); nullptr with `error`
// when it is not there.
const Libpq* LoadLibpq(std::string& error) {
  static std::once_flag once;
  static Libpq pq;
  static bool loaded = false;
  static std::string why;
  std::call_once(once, [] {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(kLibpqName);
    auto symbol = [&](const char* name) {
      return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
    };
    if (module == nullptr) why = "cannot be loaded";
#else
    void* module = dlopen(kLibpqName, RTLD_NOW | RTLD_LOCAL);
    auto symbol = [&](const char* name) { return module ? dlsym(module, name) : nullptr; };
    if (module == nullptr) why = dlerror();
#endif
    if (module == nullptr) return;
    bool all = true;
    auto bind = [&](auto& function, const char* name) {
      void* address = symbol(name);
      if (address == nullptr) {
        all = false;
        why = std::string("lacks ") + name;
      }
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(address);
    };
    bind(pq.clear, "PQclear");
    bind(pq.cmdTuples, "PQcmdTuples");
    bind(pq.connectdbParams, "PQconnectdbParams");
    bind(pq.errorMessage, "PQerrorMessage");
    bind(pq.exec, "PQexec");
    bind(pq.execParams, "PQexecParams");
    bind(pq.finish, "PQfinish");
    bind(pq.getisnull, "PQgetisnull");
    bind(pq.getvalue, "PQgetvalue");
    bind(pq.ntuples, "PQntuples");
    bind(pq.resultStatus, "PQresultStatus");
    bind(pq.status, "PQstatus");
    loaded = all;
  });
  if (!loaded) {
    error = std::string("PostgreSQL client library ") + kLibpqName +
            " is not available (install libpq5): " + why;
    return nullptr;
  }
  return &pq;
}

// The loaded library; only called once a store exists (it was loaded then).
const Libpq& Pq() {
  std::string unused;
  return *LoadLibpq(unused);
}

struct ConnCloser {
  void operator()(PGconn* conn) const { Pq().finish(conn); }
};
struct ResultCloser {
  void operator()(PGresult* result) const { Pq().clear(result); }
};
using Conn = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultCloser>;

// The URI without its password and its parameters, for messages.
std::string Shown(std::string uri) {
  uri = uri.substr(0, uri.find('?'));
  const std::size_t scheme = uri.find("://");
  const std::size_t at = uri.find('@');
  if (scheme == std::string::npos || at == std::string::npos || at < scheme) return uri;
  const std::size_t colon = uri.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return uri;
  return uri.substr(0, colon) + ":***" + uri.substr(at);
}

class PostgresStore final : public RecordStore {
 public:
  PostgresStore(Conn conn, std::string name, StoreMode mode)
      : conn_(std::move(conn)), name_(std::move(name)), mode_(mode) {}

  bool Init(std::string& error) {
    if (mode_ == StoreMode::kReadOnly) {
      if (!Command("SET default_transaction_read_only = on", error)) return false;
    } else {
      if (!Command("BEGIN", error)) return false;
      // Two processes creating or bringing up to date the tables at once would collide.
      std::string ignored;
      if (!Command("SELECT pg_advisory_xact_lock(7013)", error) ||
          (mode_ == StoreMode::kCreate && !Command(kSchema, error)) || !Command(kMigrate, error) ||
          !Command("COMMIT", error)) {
        Command("ROLLBACK", ignored);
        return false;
      }
    }
    Result r = Query(
        "SELECT column_name FROM information_schema.columns WHERE table_name='chips'"
        " AND table_schema=current_schema() ORDER BY ordinal_position",
        {}, error);
    if (!r) return false;
    if (Pq().ntuples(r.get()) == 0) {
      error = name_ + ": no table chips (not a production log)";
      return false;
    }
    std::vector<std::string> names;
    for (int i = 0; i < Pq().ntuples(r.get()); ++i)
      names.emplace_back(Pq().getvalue(r.get(), i, 0));
    const std::vector<std::string> expected(std::begin(kChipColumns), std::end(kChipColumns));
    const std::vector<std::string> legacy(expected.begin(),
                                          expected.begin() + kLegacyChipColumnCount);
    if (names != expected && names != legacy) {
      error = name_ + ": table chips has other columns than a production log";
      return false;
    }
    columns_ = names.size();
    Result serials = Query(
        "SELECT count(*) FROM information_schema.columns WHERE table_name='serial_numbers'"
        " AND table_schema=current_schema()",
        {}, error);
    if (!serials) return false;
    serialColumns_ = std::stoul(Pq().getvalue(serials.get(), 0, 0));
    return true;
  }

  bool Reserve(
      const std::string& series, std::int64_t first, std::int64_t step, const std::string& station,
      const std::string& attempt,
      const std::function<std::optional<std::string>(std::int64_t, std::string&)>& chipHexOf,
      std::int64_t& number, bool& exhausted, std::string& error) override {
    exhausted = false;
    std::lock_guard lock(mutex_);
    if (!Writable(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error) ||
        !Command("LOCK TABLE serial_numbers IN SHARE ROW EXCLUSIVE MODE", error)) {
      return false;
    }
    Result released = Query(
        "SELECT MIN(number) FROM serial_numbers "
        "WHERE series=$1 AND state='released' AND number>=$2",
        {series, std::to_string(first)}, error);
    if (!released) return false;
    if (!Pq().getisnull(released.get(), 0, 0)) {
      number = std::stoll(Pq().getvalue(released.get(), 0, 0));
    } else {
      Result largest =
          Query("SELECT MAX(number) FROM serial_numbers WHERE series=$1", {series}, error);
      if (!largest) return false;
      if (Pq().getisnull(largest.get(), 0, 0)) {
        number = first;
      } else {
        const std::int64_t max = std::stoll(Pq().getvalue(largest.get(), 0, 0));
        if (max >= first && max > INT64_MAX - step) {
          exhausted = true;
          error = "no serial number left in " + series;
          return false;
        }
        number = max < first ? first : max + step;
      }
    }
    std::string why;
    const std::optional<std::string> chipHex = chipHexOf(number, why);
    if (!chipHex) {
      exhausted = true;
      error = why;
      return false;
    }
    Result taken = Query(
        "INSERT INTO serial_numbers (series, number, state, station, attempt, reserved_utc,"
        " chip_hex) VALUES ($1, $2, 'reserved', $3, $4,"
        " to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), $5)"
        " ON CONFLICT (series, number) DO UPDATE SET state='reserved', station=$3,"
        " attempt=$4, reserved_utc=EXCLUDED.reserved_utc, chip_hex=$5"
        " WHERE serial_numbers.state='released'",
        {series, std::to_string(number), station, attempt, *chipHex}, error);
    if (!taken) return false;
    if (std::string(Pq().cmdTuples(taken.get())) != "1") {
      error = name_ + ": serial number " + std::to_string(number) + " of " + series +
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
      Result seen = Query("SELECT 1 FROM chips WHERE attempt=$1", {row.attempt}, error);
      if (!seen) return false;
      if (Pq().ntuples(seen.get()) > 0) return tx.Commit(error);
    }
    const auto fields = ChipRowFields(row);
    std::string sql = "INSERT INTO chips (";
    for (std::size_t i = 0; i < kChipColumnCount; ++i) {
      sql += (i ? "," : "") + std::string(kChipColumns[i]);
    }
    sql += ") VALUES (";
    for (std::size_t i = 0; i < kChipColumnCount; ++i) {
      sql += (i ? ",$" : "$") + std::to_string(i + 1);
      if (i == 7 || i == 10) sql += "::integer";
      if (i == 12) sql += "::bigint";
    }
    sql += ")";
    if (!QueryFields(sql, fields, error)) return false;
    if (reservation) {
      const std::string state = settle == SerialSettle::kUsed    ? "used"
                                : settle == SerialSettle::kBurnt ? "burnt"
                                                                 : "released";
      Result update = Query(
          "UPDATE serial_numbers SET state=$1 WHERE series=$2 AND number=$3 AND attempt=$4"
          " AND state='reserved'",
          {state, reservation->series, std::to_string(reservation->number), reservation->attempt},
          error);
      if (!update) return false;
      if (std::string(Pq().cmdTuples(update.get())) != "1") {
        error = name_ + ": serial number " + std::to_string(reservation->number) + " of " +
                reservation->series +
                " is no longer reserved for this chip (settled by an operator meanwhile)";
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
    sql += " FROM chips WHERE time_utc >= $1 ORDER BY time_utc";
    Result r = Query(sql, {since}, error);
    if (!r) return false;
    std::vector<std::optional<std::string>> fields(columns_);
    ChipRecord row;
    for (int i = 0; i < Pq().ntuples(r.get()); ++i) {
      for (std::size_t c = 0; c < columns_; ++c) {
        const int col = static_cast<int>(c);
        fields[c] = Pq().getisnull(r.get(), i, col)
                        ? std::nullopt
                        : std::optional<std::string>(Pq().getvalue(r.get(), i, col));
      }
      if (!ChipRowFromFields(fields, row, error)) {
        error = name_ + ": " + error;
        return false;
      }
      if (!visit(row)) return true;
    }
    return true;
  }

  bool Unknown(std::vector<UnknownNumber>& numbers, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (serialColumns_ == 0) return true;
    Result r = Query(serialColumns_ >= 7
                         ? "SELECT series, number, chip_hex, station, reserved_utc, attempt"
                           " FROM serial_numbers WHERE state IN ('reserved','taken')"
                           " ORDER BY reserved_utc, series, number"
                         : "SELECT series, number, '', station, '', '' FROM serial_numbers"
                           " WHERE state='taken' ORDER BY series, number",
                     {}, error);
    if (!r) return false;
    for (int i = 0; i < Pq().ntuples(r.get()); ++i) {
      auto text = [&](int c) { return std::string(Pq().getvalue(r.get(), i, c)); };
      numbers.push_back({text(0), std::stoll(text(1)), text(2), text(3), text(4), text(5)});
    }
    return true;
  }

  bool SettleUnknown(const std::string& chipHex, const std::string& series, bool release,
                     int& settled, std::string& error) override {
    settled = 0;
    std::lock_guard lock(mutex_);
    if (!Writable(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error) ||
        !Command("LOCK TABLE serial_numbers IN SHARE ROW EXCLUSIVE MODE", error)) {
      return false;
    }
    const std::string where =
        " FROM serial_numbers WHERE state='reserved' AND upper(chip_hex)=upper($1)"
        " AND ($2='' OR series=$2)";
    Result found = Query("SELECT DISTINCT series" + where, {chipHex, series}, error);
    if (!found) return false;
    if (Pq().ntuples(found.get()) > 1) {
      error = chipHex + " is an unknown number of several series (";
      for (int i = 0; i < Pq().ntuples(found.get()); ++i) {
        error += (i ? ", " : "") + std::string(Pq().getvalue(found.get(), i, 0));
      }
      error += "): name one with --series";
      return false;
    }
    Result update = Query(
        "UPDATE serial_numbers SET state=$3 WHERE state='reserved' AND upper(chip_hex)=upper($1)"
        " AND ($2='' OR series=$2)",
        {chipHex, series, release ? "released" : "burnt"}, error);
    if (!update) return false;
    settled = std::atoi(Pq().cmdTuples(update.get()));
    return tx.Commit(error);
  }

 private:
  class Transaction {
   public:
    explicit Transaction(PostgresStore& store) : store_(store) {}
    ~Transaction() {
      if (open_) Result(Pq().exec(store_.conn_.get(), "ROLLBACK"));
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Begin(std::string& error) { return open_ = store_.Command("BEGIN", error); }
    bool Commit(std::string& error) {
      open_ = false;
      return store_.Command("COMMIT", error);
    }

   private:
    PostgresStore& store_;
    bool open_ = false;
  };

  bool Fail(std::string& error) {
    std::string message = Pq().errorMessage(conn_.get());
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    error = name_ + ": " + message;
    return false;
  }

  bool Command(const char* sql, std::string& error) {
    Result r(Pq().exec(conn_.get(), sql));
    const auto status = Pq().resultStatus(r.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
    return Fail(error);
  }

  Result Query(const std::string& sql, const std::vector<std::string>& values, std::string& error) {
    std::vector<const char*> params;
    for (const std::string& v : values) params.push_back(v.c_str());
    Result r(Pq().execParams(conn_.get(), sql.c_str(), static_cast<int>(params.size()), nullptr,
                             params.data(), nullptr, nullptr, 0));
    const auto status = Pq().resultStatus(r.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      Fail(error);
      return nullptr;
    }
    return r;
  }

  bool QueryFields(const std::string& sql, const std::vector<std::optional<std::string>>& values,
                   std::string& error) {
    std::vector<const char*> params;
    for (const auto& v : values) params.push_back(v ? v->c_str() : nullptr);
    Result r(Pq().execParams(conn_.get(), sql.c_str(), static_cast<int>(params.size()), nullptr,
                             params.data(), nullptr, nullptr, 0));
    const auto status = Pq().resultStatus(r.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) return Fail(error);
    return true;
  }

  bool Writable(std::string& error) {
    if (mode_ != StoreMode::kReadOnly) return true;
    error = name_ + ": opened read-only";
    return false;
  }

  Conn conn_;
  std::string name_;
  StoreMode mode_;
  std::size_t columns_ = kChipColumnCount;
  std::size_t serialColumns_ = 7;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenPostgresStore(const std::string& uri, StoreMode mode,
                                               std::string& error) {
  if (LoadLibpq(error) == nullptr) return nullptr;
  // The URI's own settings come last and win; the timeout bounds a server
  // that does not answer.
  const char* keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {kConnectTimeoutSeconds, uri.c_str(), nullptr};
  Conn conn(Pq().connectdbParams(keywords, values, 1));
  const std::string name = Shown(uri);
  if (!conn) {
    error = name + ": out of memory";
    return nullptr;
  }
  if (Pq().status(conn.get()) != CONNECTION_OK) {
    std::string message = Pq().errorMessage(conn.get());
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    error = name + ": " + message;
    return nullptr;
  }
  Result quiet(Pq().exec(conn.get(), "SET client_min_messages TO warning"));
  auto store = std::make_unique<PostgresStore>(std::move(conn), name, mode);
  if (!store->Init(error)) return nullptr;
  return store;
}

}  // namespace velkan::production
