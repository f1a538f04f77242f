// The record store in a PostgreSQL database (libpq), so that every station
// of a floor reports to one place. The same rows as the SQLite file; each
// chip's row and its serial number settle in one transaction, and taking a
// serial number locks the numbers' table for the moment it takes.
//
// No wait on the server is left to the server: every statement is sent
// with libpq's asynchronous calls and its answer awaited in short polls, up
// to kStatementWait, and no more than kCancelGrace once a stop is requested.
// A statement that outlives its bound is cancelled on the server (best
// effort) and its connection dropped: a connection with a statement in
// flight cannot be used again. The server bounds its side too
// (statement_timeout, idle_in_transaction_session_timeout), and TCP
// keepalives notice a peer that vanished from the network.
//
// A connection found broken (server restarted, backend killed, network
// lost) is made again, a few times, when the next operation starts. A
// transaction under way when its connection broke is not retried here: the
// engine retries Record itself, and Record finds a row already committed by
// its attempt id.
//
// libpq (and the TLS, Kerberos and LDAP libraries it brings) is loaded when
// a PostgreSQL store is first opened, not when the program starts: the
// desktop tool and the command line start as fast without it, and a
// machine that only keeps SQLite records does not need it installed.
#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>
#else
#include <dlfcn.h>
#include <poll.h>
#endif

#include "production/record_store.h"

namespace velkan::production {

namespace {

using Clock = std::chrono::steady_clock;

// How long one statement may go unanswered before its connection is dropped.
constexpr std::chrono::seconds kStatementWait{10};
// Bringing an older record up to date (indexes on many rows) takes longer.
constexpr std::chrono::seconds kMigrationWait{60};
// How long a connection may take to be made (libpq's connect_timeout is
// not applied by PQconnectPoll: the store keeps the same bound itself).
constexpr std::chrono::seconds kConnectWait{10};
constexpr const char* kConnectTimeoutSeconds = "10";
// A broken connection is made again this many times, this far apart, all
// within kConnectWait.
constexpr int kConnectTries = 3;
constexpr std::chrono::milliseconds kConnectPause{500};
// After a stop request, how long a wait may still go on (per operation).
constexpr std::chrono::milliseconds kCancelGrace{2000};
// The socket is polled in slices this long, the stop flag between them.
constexpr std::chrono::milliseconds kPollSlice{50};
// How long the store waits for a cancel request to reach the server.
constexpr std::chrono::milliseconds kCancelRequestWait{500};

// The server's own bounds, set on every connection: a statement ends before
// the client gives up on it (the connection stays usable), and a session
// left idle inside a transaction (a client that stalled) releases its locks.
constexpr const char* kSessionSettings =
    "SET client_min_messages TO warning;"
    "SET statement_timeout = '8s';"
    "SET idle_in_transaction_session_timeout = '30s'";
constexpr const char* kMigrationStatementTimeout = "SET LOCAL statement_timeout = '55s'";

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS chips ("
    " time_utc TEXT NOT NULL, station_serial TEXT NOT NULL, station_port TEXT NOT NULL,"
    " tool_version TEXT NOT NULL, hex_name TEXT NOT NULL, hex_sha256 TEXT NOT NULL,"
    " image_crc TEXT NOT NULL, fuse INTEGER NOT NULL, chip_serial TEXT, result TEXT NOT NULL,"
    " run_result INTEGER NOT NULL, detail TEXT NOT NULL, duration_ms BIGINT NOT NULL,"
    " attempt TEXT NOT NULL DEFAULT '', job_id TEXT NOT NULL DEFAULT '',"
    " data_sha256 TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number BIGINT NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, attempt TEXT NOT NULL DEFAULT '',"
    " reserved_utc TEXT NOT NULL DEFAULT '', chip_hex TEXT NOT NULL DEFAULT '',"
    " job_id TEXT NOT NULL DEFAULT '', PRIMARY KEY (series, number));";

// Records written before reservations: their columns and states brought up
// to date (`taken` was a reservation, `given` a released number).
constexpr const char* kMigrate =
    "ALTER TABLE chips ADD COLUMN IF NOT EXISTS attempt TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE chips ADD COLUMN IF NOT EXISTS job_id TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE chips ADD COLUMN IF NOT EXISTS data_sha256 TEXT NOT NULL DEFAULT '';"
    "CREATE TABLE IF NOT EXISTS serial_numbers ("
    " series TEXT NOT NULL, number BIGINT NOT NULL, state TEXT NOT NULL,"
    " station TEXT NOT NULL, PRIMARY KEY (series, number));"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS attempt TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS reserved_utc TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS chip_hex TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE serial_numbers ADD COLUMN IF NOT EXISTS job_id TEXT NOT NULL DEFAULT '';"
    "UPDATE serial_numbers SET state='reserved' WHERE state='taken';"
    "UPDATE serial_numbers SET state='released' WHERE state='given';"
    "CREATE INDEX IF NOT EXISTS chips_time ON chips (time_utc);"
    "CREATE INDEX IF NOT EXISTS chips_attempt ON chips (attempt);"
    "CREATE INDEX IF NOT EXISTS chips_job ON chips (job_id, result);";

// The libpq functions this store calls, from the library loaded at run time.
struct Libpq {
  decltype(&::PQcancel) cancel = nullptr;
  decltype(&::PQclear) clear = nullptr;
  decltype(&::PQcmdTuples) cmdTuples = nullptr;
  decltype(&::PQconnectPoll) connectPoll = nullptr;
  decltype(&::PQconnectStartParams) connectStartParams = nullptr;
  decltype(&::PQconsumeInput) consumeInput = nullptr;
  decltype(&::PQerrorMessage) errorMessage = nullptr;
  decltype(&::PQfinish) finish = nullptr;
  decltype(&::PQflush) flush = nullptr;
  decltype(&::PQfreeCancel) freeCancel = nullptr;
  decltype(&::PQgetCancel) getCancel = nullptr;
  decltype(&::PQgetisnull) getisnull = nullptr;
  decltype(&::PQgetResult) getResult = nullptr;
  decltype(&::PQgetvalue) getvalue = nullptr;
  decltype(&::PQisBusy) isBusy = nullptr;
  decltype(&::PQntuples) ntuples = nullptr;
  decltype(&::PQresultErrorMessage) resultErrorMessage = nullptr;
  decltype(&::PQresultStatus) resultStatus = nullptr;
  decltype(&::PQsendQuery) sendQuery = nullptr;
  decltype(&::PQsendQueryParams) sendQueryParams = nullptr;
  decltype(&::PQsetNoticeProcessor) setNoticeProcessor = nullptr;
  decltype(&::PQsetnonblocking) setnonblocking = nullptr;
  decltype(&::PQsetSingleRowMode) setSingleRowMode = nullptr;
  decltype(&::PQsocket) socket = nullptr;
  decltype(&::PQstatus) status = nullptr;
  decltype(&::PQtransactionStatus) transactionStatus = nullptr;
#if defined(_WIN32)
  int(WSAAPI* wsaPoll)(WSAPOLLFD*, ULONG, INT) = nullptr;
#endif
};

#if defined(_WIN32)
// Shipped beside the programs (scripts/build-libpq-mingw).
constexpr const char* kLibpqName = "libpq.dll";
constexpr const char* kLibpqHint = "it belongs in the program's folder";
#else
constexpr const char* kLibpqName = "libpq.so.5";
constexpr const char* kLibpqHint = "install libpq5";
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
    // From the program's folder and Windows' own, never from the current
    // folder or PATH, where another libpq.dll (or one planted) may lie.
    HMODULE module = LoadLibraryExA(kLibpqName, nullptr,
                                    LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                        LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto symbol = [&](const char* name) {
      return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
    };
    if (module == nullptr) why = "cannot be loaded (error " + std::to_string(GetLastError()) + ")";
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
    bind(pq.cancel, "PQcancel");
    bind(pq.clear, "PQclear");
    bind(pq.cmdTuples, "PQcmdTuples");
    bind(pq.connectPoll, "PQconnectPoll");
    bind(pq.connectStartParams, "PQconnectStartParams");
    bind(pq.consumeInput, "PQconsumeInput");
    bind(pq.errorMessage, "PQerrorMessage");
    bind(pq.finish, "PQfinish");
    bind(pq.flush, "PQflush");
    bind(pq.freeCancel, "PQfreeCancel");
    bind(pq.getCancel, "PQgetCancel");
    bind(pq.getisnull, "PQgetisnull");
    bind(pq.getResult, "PQgetResult");
    bind(pq.getvalue, "PQgetvalue");
    bind(pq.isBusy, "PQisBusy");
    bind(pq.ntuples, "PQntuples");
    bind(pq.resultErrorMessage, "PQresultErrorMessage");
    bind(pq.resultStatus, "PQresultStatus");
    bind(pq.sendQuery, "PQsendQuery");
    bind(pq.sendQueryParams, "PQsendQueryParams");
    bind(pq.setNoticeProcessor, "PQsetNoticeProcessor");
    bind(pq.setnonblocking, "PQsetnonblocking");
    bind(pq.setSingleRowMode, "PQsetSingleRowMode");
    bind(pq.socket, "PQsocket");
    bind(pq.status, "PQstatus");
    bind(pq.transactionStatus, "PQtransactionStatus");
#if defined(_WIN32)
    // libpq has loaded Winsock; its poll is taken from there as well.
    HMODULE winsock = LoadLibraryA("ws2_32.dll");
    pq.wsaPoll = winsock ? reinterpret_cast<decltype(pq.wsaPoll)>(
                               reinterpret_cast<void*>(GetProcAddress(winsock, "WSAPoll")))
                         : nullptr;
    if (pq.wsaPoll == nullptr) {
      all = false;
      why = "ws2_32.dll lacks WSAPoll";
    }
#endif
    loaded = all;
  });
  if (!loaded) {
    error = std::string("PostgreSQL client library ") + kLibpqName + " is not available (" +
            kLibpqHint + "): " + why;
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
struct CancelCloser {
  void operator()(PGcancel* cancel) const { Pq().freeCancel(cancel); }
};
using Conn = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultCloser>;
using Cancel = std::unique_ptr<PGcancel, CancelCloser>;

using Values = std::vector<std::optional<std::string>>;

constexpr short kReadable = POLLIN;
constexpr short kWritable = POLLOUT;

// Waits up to `ms` for `socket` to be ready for `events`: > 0 ready, 0 not
// yet, < 0 an error (libpq finds out which when it reads).
int PollSocket(int socket, short events, int ms) {
#if defined(_WIN32)
  WSAPOLLFD p{static_cast<SOCKET>(socket), events, 0};
  return Pq().wsaPoll(&p, 1, ms);
#else
  pollfd p{socket, events, 0};
  const int rc = ::poll(&p, 1, ms);
  return rc < 0 && errno == EINTR ? 0 : rc;
#endif
}

// Server warnings are not the operator's business; libpq would print them.
void QuietNotices(void*, const char*) {}

std::string Trimmed(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

// A whole decimal number, without exceptions on server data.
bool ToInt(const char* text, std::int64_t& value) {
  const char* end = text + std::strlen(text);
  const auto [stop, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && stop == end && stop != text;
}

std::string SecondsText(std::chrono::seconds wait) {
  return std::to_string(wait.count()) + " s";
}

// Asks the server to cancel what runs on `conn`, best effort: the request
// goes over a connection of its own, which a lost network would stall, so
// it is left to finish on its own after kCancelRequestWait.
void RequestCancel(PGconn* conn) {
  Cancel cancel(Pq().getCancel(conn));
  if (!cancel) return;
  struct Delivery {
    std::mutex mutex;
    std::condition_variable done;
    bool sent = false;
  };
  auto delivery = std::make_shared<Delivery>();
  try {
    std::thread([delivery, cancel = std::move(cancel)]() mutable {
      char why[256];
      Pq().cancel(cancel.get(), why, sizeof why);
      cancel.reset();
      std::lock_guard lock(delivery->mutex);
      delivery->sent = true;
      delivery->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return;  // no thread to send it: the dropped connection ends the session anyway
  }
  std::unique_lock lock(delivery->mutex);
  delivery->done.wait_for(lock, kCancelRequestWait, [&] { return delivery->sent; });
}

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
  PostgresStore(std::string uri, StoreMode mode)
      : uri_(std::move(uri)), name_(Shown(uri_)), mode_(mode) {}

  // Connects (one try: a wrong address or password is not tried again) and
  // checks the tables, making or updating them unless read-only.
  bool Open(std::string& error) {
    std::lock_guard lock(mutex_);
    opStart_ = Clock::now();
    return Connect(Clock::now() + kConnectWait, error) && Init(error);
  }

  bool ReserveFor(const std::string& series, std::int64_t first, std::int64_t step,
                  const std::string& station, const std::string& attempt, const JobLimit& job,
                  const ChipHexOf& chipHexOf, std::int64_t& number, ReserveRefusal& refusal,
                  std::string& error) override {
    refusal = ReserveRefusal::kNone;
    std::lock_guard lock(mutex_);
    if (!Writable(error) || !Ready(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error) ||
        !Command("LOCK TABLE serial_numbers IN SHARE ROW EXCLUSIVE MODE", error)) {
      return false;
    }
    if (job.limit > 0) {
      // Under the lock: a record settles its number (an update of
      // serial_numbers) either before this count or after the reservation.
      Result counts = Query(
          "SELECT (SELECT COUNT(*) FROM chips WHERE job_id=$1 AND result='pass'),"
          " (SELECT COUNT(*) FROM serial_numbers WHERE job_id=$1 AND state='reserved')",
          {job.jobId}, error);
      if (!counts) return false;
      std::int64_t passed = 0, reserved = 0;
      if (!Number(counts.get(), 0, 0, passed, error) ||
          !Number(counts.get(), 0, 1, reserved, error)) {
        return false;
      }
      if (passed + reserved >= job.limit) {
        refusal = ReserveRefusal::kLimit;
        error = LimitText(job.limit, passed, reserved);
        return false;
      }
    }
    Result released = Query(
        "SELECT MIN(number) FROM serial_numbers "
        "WHERE series=$1 AND state='released' AND number>=$2",
        {series, std::to_string(first)}, error);
    if (!released) return false;
    if (!Pq().getisnull(released.get(), 0, 0)) {
      if (!Number(released.get(), 0, 0, number, error)) return false;
    } else {
      Result largest =
          Query("SELECT MAX(number) FROM serial_numbers WHERE series=$1", {series}, error);
      if (!largest) return false;
      if (Pq().getisnull(largest.get(), 0, 0)) {
        number = first;
      } else {
        std::int64_t max = 0;
        if (!Number(largest.get(), 0, 0, max, error)) return false;
        if (max >= first && max > INT64_MAX - step) {
          refusal = ReserveRefusal::kExhausted;
          error = "no serial number left in " + series;
          return false;
        }
        number = max < first ? first : max + step;
      }
    }
    std::string why;
    const std::optional<std::string> chipHex = chipHexOf(number, why);
    if (!chipHex) {
      refusal = ReserveRefusal::kExhausted;
      error = why;
      return false;
    }
    Result taken = Query(
        "INSERT INTO serial_numbers (series, number, state, station, attempt, reserved_utc,"
        " chip_hex, job_id) VALUES ($1, $2, 'reserved', $3, $4,"
        " to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), $5, $6)"
        " ON CONFLICT (series, number) DO UPDATE SET state='reserved', station=$3,"
        " attempt=$4, reserved_utc=EXCLUDED.reserved_utc, chip_hex=$5, job_id=$6"
        " WHERE serial_numbers.state='released'",
        {series, std::to_string(number), station, attempt, *chipHex, job.jobId}, error);
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
    if (!Writable(error) || !Ready(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error)) return false;
    if (!row.attempt.empty()) {
      // A retry after a commit whose answer was lost: the row is there.
      Result seen = Query("SELECT 1 FROM chips WHERE attempt=$1", {row.attempt}, error);
      if (!seen) return false;
      if (Pq().ntuples(seen.get()) > 0) return tx.Commit(error);
    }
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
    const Values fields = ChipRowFields(row);
    if (!Run(sql, &fields, error)) return false;
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

  // The rows come one at a time (libpq's single-row mode): a record of
  // millions of rows is read in little memory. The server's statement
  // timeout is lifted for this one statement, as a slow reader (a report
  // piped to a pager) holds it open; instead each row is awaited for no
  // longer than kStatementWait.
  bool ForEachRow(const std::string& since, const std::function<bool(const ChipRecord&)>& visit,
                  std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!Ready(error)) return false;
    Transaction tx(*this);
    if (!tx.Begin(error) || !Command("SET LOCAL statement_timeout = 0", error)) return false;
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < columns_; ++i) sql += (i ? "," : "") + std::string(kChipColumns[i]);
    sql += " FROM chips WHERE time_utc >= $1 ORDER BY time_utc";
    const Values values{since};
    if (!Send(sql, &values, true, Clock::now() + kStatementWait, error)) return false;
    Values fields(columns_);
    ChipRecord row;
    std::string failed;
    for (;;) {
      Result r;
      const Got got = Next(r, Clock::now() + kStatementWait, kStatementWait, error);
      if (got == Got::kLost) return false;
      if (got == Got::kEnd) break;
      const auto status = Pq().resultStatus(r.get());
      if (status == PGRES_TUPLES_OK) continue;  // the end of the rows
      if (status != PGRES_SINGLE_TUPLE) {
        if (failed.empty()) failed = name_ + ": " + Trimmed(Pq().resultErrorMessage(r.get()));
        continue;  // the statement's end follows
      }
      for (std::size_t c = 0; c < columns_; ++c) {
        const int col = static_cast<int>(c);
        fields[c] = Pq().getisnull(r.get(), 0, col)
                        ? std::nullopt
                        : std::optional<std::string>(Pq().getvalue(r.get(), 0, col));
      }
      if (!ChipRowFromFields(fields, row, error)) {
        error = name_ + ": " + error;
        Drop(Loss::kNone);  // the rest of the rows are not wanted
        return false;
      }
      if (!visit(row)) {
        // Reading the rest only to skip it could take long: the
        // connection goes instead, and the next operation makes another.
        Drop(Loss::kNone);
        return true;
      }
    }
    if (!failed.empty()) {
      error = failed;
      DropIfBroken();
      return false;
    }
    return tx.Commit(error);
  }

  bool Unknown(std::vector<UnknownNumber>& numbers, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (serialColumns_ == 0) return true;
    if (!Ready(error)) return false;
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
      std::int64_t number = 0;
      if (!Number(r.get(), i, 1, number, error)) return false;
      numbers.push_back({text(0), number, text(2), text(3), text(4), text(5)});
    }
    return true;
  }

  bool SettleUnknown(const std::string& chipHex, const std::string& series, bool release,
                     int& settled, std::string& error) override {
    settled = 0;
    std::lock_guard lock(mutex_);
    if (!Writable(error) || !Ready(error)) return false;
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
    std::int64_t count = 0;
    if (!ToInt(Pq().cmdTuples(update.get()), count)) {
      error = name_ + ": the server did not say how many numbers it settled";
      return false;
    }
    settled = static_cast<int>(count);
    return tx.Commit(error);
  }

 private:
  // Why the connection went, when it did.
  enum class Loss { kNone, kBroken, kTimedOut, kStopped };
  enum class Waited { kReady, kTimedOut, kStopped };
  enum class Got { kResult, kEnd, kLost };

  class Transaction {
   public:
    explicit Transaction(PostgresStore& store) : store_(store) {}
    ~Transaction() {
      std::string ignored;
      if (open_ && store_.conn_) store_.Command("ROLLBACK", ignored);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Begin(std::string& error) {
      if (store_.Command("BEGIN", error)) return open_ = true;
      // Nothing was sent but BEGIN: a connection that turned out broken
      // (the server restarted since the last operation) is made again.
      if (store_.lost_ != Loss::kBroken || !store_.Reconnect(error)) return false;
      return open_ = store_.Command("BEGIN", error);
    }
    bool Commit(std::string& error) {
      open_ = false;
      return store_.Command("COMMIT", error);
    }

   private:
    PostgresStore& store_;
    bool open_ = false;
  };

  // Checks or makes the tables. A database that holds no production log is
  // refused before anything in it is changed.
  bool Init(std::string& error) {
    if (mode_ == StoreMode::kReadOnly) return ReadColumns(error);
    Transaction tx(*this);
    // Two processes creating or bringing up to date the tables at once would collide.
    if (!tx.Begin(error) || !Command(kMigrationStatementTimeout, error) ||
        !Command("SELECT pg_advisory_xact_lock(7013)", error, kMigrationWait) ||
        (mode_ == StoreMode::kCreate && !Command(kSchema, error, kMigrationWait)) ||
        !ReadColumns(error) || !Command(kMigrate, error, kMigrationWait) || !tx.Commit(error)) {
      return false;
    }
    columns_ = kChipColumnCount;
    serialColumns_ = 8;
    return true;
  }

  // A `chips` table of another shape is refused rather than half-filled.
  bool ReadColumns(std::string& error) {
    Result r = Query(
        "SELECT column_name FROM information_schema.columns WHERE table_name='chips'"
        " AND table_schema=current_schema() ORDER BY ordinal_position",
        {}, error);
    if (!r) return false;
    std::vector<std::string> names;
    for (int i = 0; i < Pq().ntuples(r.get()); ++i) {
      names.emplace_back(Pq().getvalue(r.get(), i, 0));
    }
    if (!CheckChipColumns(names, name_, error)) return false;
    columns_ = names.size();
    Result serials = Query(
        "SELECT count(*) FROM information_schema.columns WHERE table_name='serial_numbers'"
        " AND table_schema=current_schema()",
        {}, error);
    if (!serials) return false;
    std::int64_t count = 0;
    if (!Number(serials.get(), 0, 0, count, error)) return false;
    serialColumns_ = static_cast<std::size_t>(count);
    return true;
  }

  // --- The connection ---------------------------------------------------

  // One try at a connection, given up at `deadline` or on a stop request.
  // Keepalives notice a server that vanished from the network (they do
  // nothing on a Unix socket); the URI's own settings come last and win.
  bool Connect(Clock::time_point deadline, std::string& error) {
    conn_.reset();
    const char* keywords[] = {"connect_timeout",
                              "keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "dbname",
                              nullptr};
    const char* values[] = {kConnectTimeoutSeconds, "1", "5", "2", "3", uri_.c_str(), nullptr};
    Conn conn(Pq().connectStartParams(keywords, values, 1));
    if (!conn) {
      error = name_ + ": out of memory";
      return false;
    }
    // As if the last poll had asked to write: the socket is connecting.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
      if (state == PGRES_POLLING_FAILED || Pq().status(conn.get()) == CONNECTION_BAD) {
        error = name_ + ": " + Trimmed(Pq().errorMessage(conn.get()));
        return false;
      }
      const Waited waited =
          WaitOn(Pq().socket(conn.get()), state == PGRES_POLLING_READING ? kReadable : kWritable,
                 deadline);
      if (waited == Waited::kTimedOut) {
        error = name_ + ": the server did not answer within " + SecondsText(kConnectWait);
        return false;
      }
      if (waited == Waited::kStopped) {
        error = name_ + ": stopped while connecting to the server";
        return false;
      }
      state = Pq().connectPoll(conn.get());
    }
    Pq().setNoticeProcessor(conn.get(), &QuietNotices, nullptr);
    if (Pq().setnonblocking(conn.get(), 1) != 0) {
      error = name_ + ": " + Trimmed(Pq().errorMessage(conn.get()));
      return false;
    }
    conn_ = std::move(conn);
    std::string settings = kSessionSettings;
    if (mode_ == StoreMode::kReadOnly) settings += ";SET default_transaction_read_only = on";
    if (!Command(settings.c_str(), error)) {
      conn_.reset();
      return false;
    }
    return true;
  }

  // Makes the connection again: a few tries, all within kConnectWait.
  bool Reconnect(std::string& error) {
    const auto deadline = Clock::now() + kConnectWait;
    for (int tries = 1;; ++tries) {
      if (Connect(deadline, error)) return true;
      if (tries == kConnectTries || Clock::now() + kConnectPause >= deadline) break;
      const auto resume = Clock::now() + kConnectPause;
      while (Clock::now() < resume) {
        if (Stopping(Clock::now())) return false;
        std::this_thread::sleep_for(kPollSlice);
      }
    }
    error += " (the connection was lost and could not be made again)";
    return false;
  }

  // At the start of an operation: the connection is there and idle, else
  // made again. A server that ended the session (a restart, a killed
  // backend) has left the socket readable, with the end of the stream.
  bool Ready(std::string& error) {
    opStart_ = Clock::now();
    lost_ = Loss::kNone;
    if (conn_ && !StillUp()) conn_.reset();
    return conn_ || Reconnect(error);
  }

  // Idle connections get nothing from the server but its last words
  // (a FATAL message) and the end of the stream; both are read here.
  bool StillUp() {
    PGconn* conn = conn_.get();
    if (Pq().status(conn) != CONNECTION_OK || Pq().transactionStatus(conn) != PQTRANS_IDLE) {
      return false;
    }
    for (int reads = 0; reads < 4 && PollSocket(Pq().socket(conn), kReadable, 0) > 0; ++reads) {
      if (Pq().consumeInput(conn) == 0 || Pq().status(conn) != CONNECTION_OK) return false;
    }
    return true;
  }

  // Whether a stop request has ended the waits of this operation: each
  // operation may still wait kCancelGrace after the request (a record being
  // written when the operator stops is still written by a server that
  // answers).
  bool Stopping(Clock::time_point now) {
    if (!Cancelled()) return false;
    if (!cancelSeen_) cancelSeen_ = now;
    return now - std::max(*cancelSeen_, opStart_) >= kCancelGrace;
  }

  // Waits for `socket` to be ready for `events`, in short slices.
  Waited WaitOn(int socket, short events, Clock::time_point deadline) {
    for (;;) {
      const auto now = Clock::now();
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      const int slice =
          static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), kPollSlice).count());
      if (PollSocket(socket, events, slice) != 0) return Waited::kReady;
      const auto after = Clock::now();
      if (Stopping(after)) return Waited::kStopped;
      if (after >= deadline) return Waited::kTimedOut;
    }
  }

  // Drops the connection; one that was waited on in vain has its statement
  // cancelled on the server first, so that it holds no lock there.
  void Drop(Loss loss) {
    if (conn_ && (loss == Loss::kTimedOut || loss == Loss::kStopped)) RequestCancel(conn_.get());
    conn_.reset();
    lost_ = loss;
  }

  void DropIfBroken() {
    if (conn_ && Pq().status(conn_.get()) == CONNECTION_BAD) Drop(Loss::kBroken);
  }

  // The connection failed under a statement: its message, and it goes.
  bool Broken(std::string& error) {
    error = name_ + ": " + Trimmed(Pq().errorMessage(conn_.get()));
    Drop(Loss::kBroken);
    return false;
  }

  bool GaveUp(Waited waited, std::chrono::seconds wait, std::string& error) {
    if (waited == Waited::kTimedOut) {
      Drop(Loss::kTimedOut);
      error = name_ + ": the server did not answer within " + SecondsText(wait) +
              " (the connection is dropped)";
    } else {
      Drop(Loss::kStopped);
      error = name_ + ": stopped while waiting for the record";
    }
    return false;
  }

  // --- Statements -------------------------------------------------------

  // Sends a statement: with `values` as its parameters, or without any as
  // plain text (which may hold several statements). `singleRow`: its rows
  // are to come one result each.
  bool Send(const std::string& sql, const Values* values, bool singleRow,
            Clock::time_point deadline, std::string& error) {
    lost_ = Loss::kNone;
    if (!conn_) {
      error = name_ + ": the connection to the server was lost";
      lost_ = Loss::kBroken;
      return false;
    }
    PGconn* conn = conn_.get();
    int sent = 0;
    if (values) {
      std::vector<const char*> params;
      for (const auto& v : *values) params.push_back(v ? v->c_str() : nullptr);
      sent = Pq().sendQueryParams(conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                  params.data(), nullptr, nullptr, 0);
    } else {
      sent = Pq().sendQuery(conn, sql.c_str());
    }
    if (sent == 0) return Broken(error);
    if (singleRow && Pq().setSingleRowMode(conn) == 0) {
      error = name_ + ": rows cannot be read one at a time";
      Drop(Loss::kNone);
      return false;
    }
    // The connection does not block: what the socket did not take yet is
    // flushed as it drains (reading meanwhile, as the server may be writing).
    for (;;) {
      const int flushed = Pq().flush(conn);
      if (flushed == 0) return true;
      if (flushed < 0) return Broken(error);
      const Waited waited =
          WaitOn(Pq().socket(conn), static_cast<short>(kReadable | kWritable), deadline);
      if (waited != Waited::kReady) return GaveUp(waited, kStatementWait, error);
      if (Pq().consumeInput(conn) == 0) return Broken(error);
    }
  }

  // The next result of the statement in flight (kEnd: it has ended).
  Got Next(Result& result, Clock::time_point deadline, std::chrono::seconds wait,
           std::string& error) {
    PGconn* conn = conn_.get();
    while (Pq().isBusy(conn)) {
      const Waited waited = WaitOn(Pq().socket(conn), kReadable, deadline);
      if (waited != Waited::kReady) {
        GaveUp(waited, wait, error);
        return Got::kLost;
      }
      if (Pq().consumeInput(conn) == 0) {
        Broken(error);
        return Got::kLost;
      }
    }
    result.reset(Pq().getResult(conn));
    return result ? Got::kResult : Got::kEnd;
  }

  // Runs a statement to its end, waiting up to `wait`: its last result, or
  // nullptr with its (first) error.
  Result Run(const std::string& sql, const Values* values, std::string& error,
             std::chrono::seconds wait = kStatementWait) {
    const auto deadline = Clock::now() + wait;
    if (!Send(sql, values, false, deadline, error)) return nullptr;
    Result last;
    Result failed;
    for (;;) {
      Result r;
      const Got got = Next(r, deadline, wait, error);
      if (got == Got::kLost) return nullptr;
      if (got == Got::kEnd) break;
      const auto status = Pq().resultStatus(r.get());
      if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        last = std::move(r);
      } else if (!failed) {
        failed = std::move(r);
      }
    }
    if (failed || !last) {
      error = name_ + ": " +
              (failed ? Trimmed(Pq().resultErrorMessage(failed.get())) : "no answer to " + sql);
      DropIfBroken();
      return nullptr;
    }
    return last;
  }

  bool Command(const char* sql, std::string& error, std::chrono::seconds wait = kStatementWait) {
    return Run(sql, nullptr, error, wait) != nullptr;
  }

  Result Query(const std::string& sql, const std::vector<std::string>& values, std::string& error) {
    const Values fields(values.begin(), values.end());
    return Run(sql, &fields, error);
  }

  // A number column's value.
  bool Number(const PGresult* result, int row, int column, std::int64_t& value,
              std::string& error) {
    const char* text = Pq().getvalue(result, row, column);
    if (ToInt(text, value)) return true;
    error = name_ + ": the server sent \"" + text + "\" for a number";
    return false;
  }

  bool Writable(std::string& error) {
    if (mode_ != StoreMode::kReadOnly) return true;
    error = name_ + ": opened read-only";
    return false;
  }

  std::string uri_;
  std::string name_;
  StoreMode mode_;
  Conn conn_;
  Loss lost_ = Loss::kNone;
  std::size_t columns_ = kChipColumnCount;
  std::size_t serialColumns_ = 8;
  Clock::time_point opStart_;
  std::optional<Clock::time_point> cancelSeen_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenPostgresStore(const std::string& uri, StoreMode mode,
                                               std::string& error) {
  if (LoadLibpq(error) == nullptr) return nullptr;
  auto store = std::make_unique<PostgresStore>(uri, mode);
  if (!store->Open(error)) return nullptr;
  return store;
}

}  // namespace velkan::production
