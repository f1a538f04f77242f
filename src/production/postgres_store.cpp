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
    " run_result INTEGER NOT NULL, detail TEXT NOT NULL, duration_ms BIGINT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number BIGINT NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, PRIMARY KEY (series, number));";

// The libpq functions this store calls, from the library loaded at run time.
struct Libpq {
  decltype(&::PQclear) clear = nullptr;
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
  PostgresStore(Conn conn, std::string name) : conn_(std::move(conn)), name_(std::move(name)) {}

  bool Init(bool create, std::string& error) {
    if (create) {
      if (!Command("BEGIN", error)) return false;
      // Two processes creating the tables at once would collide.
      if (!Command("SELECT pg_advisory_xact_lock(7013)", error) || !Command(kSchema, error) ||
          !Command("COMMIT", error)) {
        Command("ROLLBACK", error);
        return false;
      }
    }
    Result r(Pq().exec(conn_.get(),
                       "SELECT column_name FROM information_schema.columns WHERE table_name='chips'"
                       " AND table_schema=current_schema() ORDER BY ordinal_position"));
    if (Pq().resultStatus(r.get()) != PGRES_TUPLES_OK) return Fail(error);
    if (Pq().ntuples(r.get()) == 0) {
      error = name_ + ": no table chips (not a production log)";
      return false;
    }
    std::vector<std::string> names;
    for (int i = 0; i < Pq().ntuples(r.get()); ++i)
      names.emplace_back(Pq().getvalue(r.get(), i, 0));
    if (names != std::vector<std::string>(std::begin(kChipColumns), std::end(kChipColumns))) {
      error = name_ + ": table chips has other columns than a production log";
      return false;
    }
    return !create || Command("CREATE INDEX IF NOT EXISTS chips_time ON chips (time_utc)", error);
  }

  bool TakeSerial(const std::string& series, std::int64_t first, std::int64_t step,
                  const std::string& station, std::int64_t& number, std::string& error) override {
    std::lock_guard lock(mutex_);
    Transaction tx(*this);
    if (!tx.Begin(error) ||
        !Command("LOCK TABLE serial_numbers IN SHARE ROW EXCLUSIVE MODE", error) ||
        !Params("UPDATE serial_numbers SET state='given' "
                "WHERE series=$1 AND station=$2 AND state='taken'",
                {series, station}, error)) {
      return false;
    }
    Result given = Query(
        "SELECT MIN(number) FROM serial_numbers "
        "WHERE series=$1 AND state='given' AND number>=$2",
        {series, std::to_string(first)}, error);
    if (!given) return false;
    if (!Pq().getisnull(given.get(), 0, 0)) {
      number = std::stoll(Pq().getvalue(given.get(), 0, 0));
    } else {
      Result largest =
          Query("SELECT MAX(number) FROM serial_numbers WHERE series=$1", {series}, error);
      if (!largest) return false;
      if (Pq().getisnull(largest.get(), 0, 0)) {
        number = first;
      } else {
        const std::int64_t max = std::stoll(Pq().getvalue(largest.get(), 0, 0));
        number = max < first ? first : max + step;
      }
    }
    if (!Params("INSERT INTO serial_numbers (series, number, state, station) "
                "VALUES ($1, $2, 'taken', $3) "
                "ON CONFLICT (series, number) DO UPDATE SET state='taken', station=$3",
                {series, std::to_string(number), station}, error)) {
      return false;
    }
    return tx.Commit(error);
  }

  bool Record(const ChipRecord& row, const std::optional<SerialTicket>& ticket, SerialSettle settle,
              std::string& error) override {
    std::lock_guard lock(mutex_);
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    const std::string values[] = {row.timeUtc,
                                  row.stationSerial,
                                  row.stationPort,
                                  row.toolVersion,
                                  row.hexName,
                                  row.hexSha256,
                                  row.imageCrc,
                                  row.fuse ? "1" : "0",
                                  row.chipSerial.value_or(""),
                                  row.result,
                                  std::to_string(row.runResult),
                                  row.detail,
                                  std::to_string(row.durationMs)};
    const char* params[13];
    for (int i = 0; i < 13; ++i) params[i] = values[i].c_str();
    if (!row.chipSerial) params[8] = nullptr;  // NULL
    Result insert(Pq().execParams(
        conn_.get(),
        "INSERT INTO chips (time_utc, station_serial, station_port, tool_version, hex_name,"
        " hex_sha256, image_crc, fuse, chip_serial, result, run_result, detail, duration_ms)"
        " VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13)",
        13, nullptr, params, nullptr, nullptr, 0));
    if (Pq().resultStatus(insert.get()) != PGRES_COMMAND_OK) return Fail(error);
    if (ticket) {
      const std::string state = settle == SerialSettle::kUsed    ? "used"
                                : settle == SerialSettle::kBurnt ? "burnt"
                                                                 : "given";
      if (!Params("UPDATE serial_numbers SET state=$1 WHERE series=$2 AND number=$3",
                  {state, ticket->series, std::to_string(ticket->number)}, error)) {
        return false;
      }
    }
    return tx.Commit(error);
  }

  bool Rows(const std::string& since, std::vector<ChipRecord>& rows, std::string& error) override {
    std::lock_guard lock(mutex_);
    Result r = Query(
        "SELECT time_utc, station_serial, station_port, tool_version, hex_name, hex_sha256,"
        " image_crc, fuse, chip_serial, result, run_result, detail, duration_ms FROM chips"
        " WHERE time_utc >= $1 ORDER BY time_utc",
        {since}, error);
    if (!r) return false;
    for (int i = 0; i < Pq().ntuples(r.get()); ++i) {
      auto text = [&](int c) { return std::string(Pq().getvalue(r.get(), i, c)); };
      ChipRecord row;
      row.timeUtc = text(0);
      row.stationSerial = text(1);
      row.stationPort = text(2);
      row.toolVersion = text(3);
      row.hexName = text(4);
      row.hexSha256 = text(5);
      row.imageCrc = text(6);
      row.fuse = text(7) != "0";
      if (!Pq().getisnull(r.get(), i, 8)) row.chipSerial = text(8);
      row.result = text(9);
      row.runResult = std::stoi(text(10));
      row.detail = text(11);
      row.durationMs = std::stoll(text(12));
      rows.push_back(std::move(row));
    }
    return true;
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

  Result Query(const char* sql, const std::vector<std::string>& values, std::string& error) {
    std::vector<const char*> params;
    for (const std::string& v : values) params.push_back(v.c_str());
    Result r(Pq().execParams(conn_.get(), sql, static_cast<int>(params.size()), nullptr,
                             params.data(), nullptr, nullptr, 0));
    const auto status = Pq().resultStatus(r.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      Fail(error);
      return nullptr;
    }
    return r;
  }

  bool Params(const char* sql, const std::vector<std::string>& values, std::string& error) {
    return Query(sql, values, error) != nullptr;
  }

  Conn conn_;
  std::string name_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenPostgresStore(const std::string& uri, bool create,
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
  auto store = std::make_unique<PostgresStore>(std::move(conn), name);
  if (!store->Init(create, error)) return nullptr;
  return store;
}

}  // namespace velkan::production
