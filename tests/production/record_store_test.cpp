// The record stores: the serial number rules (reserved per attempt, used,
// released, burnt, a dead attempt's number unknown until an operator settles
// it, a record retried), two connections reserving at once as two processes
// do, rows round trip, bad files, a read-only open that changes nothing, an
// older record brought up to date, and a file deleted or replaced in use.
// The same rules run against SQLite and against a PostgreSQL server of the
// test's own.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include <unistd.h>

#include "pg_server.h"
#include "production/record_store.h"
#include "sample_rows.h"
#include "temp_dir.h"

namespace velkan::production {
namespace {

using test::TempDir;

ChipRecord Row(const std::string& station, std::optional<std::string> serial, bool pass,
               const std::string& time = "2024-05-01T08:00:00.000Z") {
  ChipRecord r = test::SampleRow(station, std::move(serial), pass);
  r.timeUtc = time;
  return r;
}

struct Taken {
  std::int64_t number = -1;
  std::string attempt;
};

Taken Take(RecordStore& store, const std::string& station, std::int64_t first = 0x100) {
  Taken t;
  t.attempt = NewAttemptId();
  bool exhausted = false;
  std::string error;
  EXPECT_TRUE(store.Reserve(
      "be:4", first, 1, station, t.attempt,
      [](std::int64_t n, std::string&) -> std::optional<std::string> {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08llX", static_cast<unsigned long long>(n));
        return std::string(hex);
      },
      t.number, exhausted, error))
      << error;
  return t;
}

void Settle(RecordStore& store, const std::string& station, const Taken& t, SerialSettle settle) {
  std::string error;
  ChipRecord row = Row(station, std::to_string(t.number), settle == SerialSettle::kUsed);
  row.attempt = t.attempt;
  ASSERT_TRUE(store.Record(row, Reservation{"be:4", t.number, t.attempt}, settle, error)) << error;
}

// The rules of serial numbers, on one store (`a`) and a second connection to
// the same record (`b`, another process).
void CheckSerialRules(RecordStore& a, RecordStore& b) {
  std::string error;
  const Taken first = Take(a, "S1");
  EXPECT_EQ(first.number, 0x100);
  Settle(a, "S1", first, SerialSettle::kUsed);
  const Taken second = Take(b, "S2");
  EXPECT_EQ(second.number, 0x101);         // the other process sees the first
  EXPECT_EQ(Take(a, "S2").number, 0x102);  // same station name, another attempt: a new number
  // A failed chip's number goes to the next chip.
  Settle(b, "S2", second, SerialSettle::kReleased);
  const Taken again = Take(a, "S3");
  EXPECT_EQ(again.number, 0x101);
  Settle(a, "S3", again, SerialSettle::kUsed);
  // A burnt number is never given again.
  const Taken burnt = Take(a, "S1");
  EXPECT_EQ(burnt.number, 0x103);
  Settle(a, "S1", burnt, SerialSettle::kBurnt);
  EXPECT_EQ(Take(b, "S1").number, 0x104);

  // 0x102 and 0x104 never settled (their processes died): unknown, never
  // given again by the store, whoever asks.
  std::vector<UnknownNumber> unknown;
  ASSERT_TRUE(b.Unknown(unknown, error)) << error;
  ASSERT_EQ(unknown.size(), 2u);
  EXPECT_EQ(unknown[0].chipHex, "00000102");
  EXPECT_EQ(unknown[1].chipHex, "00000104");
  EXPECT_EQ(unknown[1].station, "S1");
  EXPECT_FALSE(unknown[1].attempt.empty());
  EXPECT_EQ(Take(a, "S1").number, 0x105);

  // The operator releases 0x102 (no chip carries it) and burns 0x104.
  int settled = 0;
  ASSERT_TRUE(a.SettleUnknown("00000102", "", true, settled, error)) << error;
  EXPECT_EQ(settled, 1);
  ASSERT_TRUE(a.SettleUnknown("00000104", "be:4", false, settled, error)) << error;
  EXPECT_EQ(settled, 1);
  ASSERT_TRUE(a.SettleUnknown("00000100", "", true, settled, error)) << error;
  EXPECT_EQ(settled, 0);  // a used number is nobody's to release
  const Taken reused = Take(b, "S4");
  EXPECT_EQ(reused.number, 0x102);
  // A reservation the operator settled while its chip was in progress: the
  // chip's record is refused rather than giving the number twice.
  ASSERT_TRUE(a.SettleUnknown("00000102", "", true, settled, error)) << error;
  ChipRecord late = Row("S4", "102", true);
  late.attempt = reused.attempt;
  EXPECT_FALSE(
      b.Record(late, Reservation{"be:4", 0x102, reused.attempt}, SerialSettle::kUsed, error));
  EXPECT_NE(error.find("no longer reserved"), std::string::npos) << error;

  // A retried record (the answer to its commit was lost) is not doubled.
  const Taken once = Take(a, "S5");
  Settle(a, "S5", once, SerialSettle::kUsed);
  Settle(b, "S5", once, SerialSettle::kUsed);
  int rowsOfAttempt = 0;
  ASSERT_TRUE(a.ForEachRow(
      "",
      [&](const ChipRecord& r) {
        rowsOfAttempt += r.attempt == once.attempt;
        return true;
      },
      error))
      << error;
  EXPECT_EQ(rowsOfAttempt, 1);

  // A start above the largest jumps there; one below continues.
  const Taken high = Take(a, "S1", 0x200);
  EXPECT_EQ(high.number, 0x200);
  Settle(a, "S1", high, SerialSettle::kUsed);
  EXPECT_EQ(Take(a, "S1", 0x100).number, 0x201);
}

// Two connections reserving and recording numbers at once: each number
// once, none skipped.
void CheckConcurrentTakers(RecordStore& a, RecordStore& b) {
  std::vector<std::int64_t> taken[2];
  auto worker = [&](RecordStore& store, int k) {
    const std::string station = "T";  // the same name in both: it must not matter
    for (int i = 0; i < 25; ++i) {
      std::int64_t n = -1;
      bool exhausted = false;
      std::string error;
      const std::string attempt = NewAttemptId();
      if (!store.Reserve(
              "le:2", 1, 1, station, attempt,
              [](std::int64_t v, std::string&) { return std::optional(std::to_string(v)); }, n,
              exhausted, error)) {
        ADD_FAILURE() << error;
        return;
      }
      taken[k].push_back(n);
      ChipRecord row = Row(station, std::to_string(n), true);
      row.attempt = attempt;
      if (!store.Record(row, Reservation{"le:2", n, attempt}, SerialSettle::kUsed, error)) {
        ADD_FAILURE() << error;
        return;
      }
    }
  };
  {
    std::jthread t0(worker, std::ref(a), 0);
    std::jthread t1(worker, std::ref(b), 1);
  }
  std::vector<std::int64_t> all = taken[0];
  all.insert(all.end(), taken[1].begin(), taken[1].end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 50u);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], static_cast<std::int64_t>(i + 1));
}

void CheckRoundTrip(RecordStore& store) {
  std::string error;
  ChipRecord failed = Row("R1", std::nullopt, false, "2024-06-01T10:00:00.500Z");
  failed.detail = "comma, \"quote\"\nnewline 中文";
  ASSERT_TRUE(store.Record(failed, std::nullopt, SerialSettle::kReleased, error)) << error;
  std::vector<ChipRecord> rows;
  ASSERT_TRUE(store.Rows("2024-06-01", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  const ChipRecord& r = rows[0];
  EXPECT_EQ(r.timeUtc, failed.timeUtc);
  EXPECT_EQ(r.stationPort, "port-R1");
  EXPECT_FALSE(r.chipSerial.has_value());
  EXPECT_EQ(r.result, velkan::production::ChipResult::kStatusWord);
  EXPECT_EQ(r.runResult, 1);
  EXPECT_EQ(r.detail, failed.detail);
  EXPECT_EQ(r.durationMs, 1234);
  EXPECT_EQ(r.hexSha256, failed.hexSha256);
}

TEST(SqliteStore, SerialNumberRulesAcrossTwoConnections) {
  TempDir dir;
  std::string error;
  auto a = OpenSqliteStore(dir / "p.db", StoreMode::kCreate, error);
  ASSERT_TRUE(a) << error;
  auto b = OpenSqliteStore(dir / "p.db", StoreMode::kCreate, error);
  ASSERT_TRUE(b) << error;
  CheckSerialRules(*a, *b);
  CheckConcurrentTakers(*a, *b);
  CheckRoundTrip(*a);
}

TEST(SqliteStore, BadFilesAreRefusedWithAReason) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(OpenSqliteStore(dir / "missing.db", StoreMode::kWrite, error));
  EXPECT_NE(error.find("no such file"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));

  std::ofstream(dir / "text.db") << "time,station\nnot a database at all, just some text\n";
  EXPECT_FALSE(OpenSqliteStore(dir / "text.db", StoreMode::kCreate, error));
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;

  EXPECT_FALSE(OpenSqliteStore(dir.path().string(), StoreMode::kCreate, error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;

  // A database of something else: a table chips of another shape, or none.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "other.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE chips (id INTEGER, name TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_FALSE(OpenSqliteStore(dir / "other.db", StoreMode::kCreate, error));
  EXPECT_NE(error.find("other columns"), std::string::npos) << error;
  std::ofstream(dir / "empty.db");  // an empty file is an empty database
  EXPECT_FALSE(OpenSqliteStore(dir / "empty.db", StoreMode::kWrite, error));
  EXPECT_NE(error.find("no table chips"), std::string::npos) << error;
}

std::string Bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Sql(const std::filesystem::path& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

TEST(SqliteStore, ReadOnlyOpenChangesNothing) {
  TempDir dir;
  std::string error;
  // An empty file stays empty (it does not become a database).
  std::ofstream(dir / "empty.db");
  EXPECT_FALSE(OpenSqliteStore(dir / "empty.db", StoreMode::kReadOnly, error));
  EXPECT_NE(error.find("no table chips"), std::string::npos) << error;
  EXPECT_EQ(std::filesystem::file_size(dir / "empty.db"), 0u);

  // Another program's database keeps its header (journal mode) and bytes.
  Sql(dir / "other.db", "CREATE TABLE t (x); INSERT INTO t VALUES (1);");
  const std::string before = Bytes(dir / "other.db");
  EXPECT_FALSE(OpenSqliteStore(dir / "other.db", StoreMode::kReadOnly, error));
  EXPECT_EQ(Bytes(dir / "other.db"), before);

  // A record in a folder nobody may write to is still read.
  {
    auto store = OpenSqliteStore((dir.path() / "ro" / "p.db").string(), StoreMode::kCreate, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Record(Row("R", "1", true), std::nullopt, SerialSettle::kUsed, error));
  }
  std::filesystem::permissions(
      dir.path() / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (::access((dir.path() / "ro" / "x").c_str(), F_OK) == 0 || ::geteuid() != 0) {
    auto store =
        OpenSqliteStore((dir.path() / "ro" / "p.db").string(), StoreMode::kReadOnly, error);
    ASSERT_TRUE(store) << error;
    std::vector<ChipRecord> rows;
    ASSERT_TRUE(store->Rows("", rows, error)) << error;
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_FALSE(store->Record(Row("R", "2", true), std::nullopt, SerialSettle::kUsed, error));
  }
  std::filesystem::permissions(dir.path() / "ro", std::filesystem::perms::owner_all);
}

TEST(SqliteStore, OlderRecordIsReadAndBroughtUpToDate) {
  TempDir dir;
  const auto file = dir / "old.db";
  Sql(file,
      "CREATE TABLE chips (time_utc TEXT NOT NULL, station_serial TEXT NOT NULL,"
      " station_port TEXT NOT NULL, tool_version TEXT NOT NULL, hex_name TEXT NOT NULL,"
      " hex_sha256 TEXT NOT NULL, image_crc TEXT NOT NULL, fuse INTEGER NOT NULL,"
      " chip_serial TEXT, result TEXT NOT NULL, run_result INTEGER NOT NULL,"
      " detail TEXT NOT NULL, duration_ms INTEGER NOT NULL);"
      "CREATE TABLE serial_numbers (series TEXT NOT NULL, number INTEGER NOT NULL,"
      " state TEXT NOT NULL, station TEXT NOT NULL, PRIMARY KEY (series, number));"
      "INSERT INTO chips VALUES ('2024-01-01T00:00:00.000Z','S','p','1','a.hex','ff','0000',0,"
      " '00000100','pass',0,'',10);"
      "INSERT INTO serial_numbers VALUES ('be:4',256,'used','S'),('be:4',257,'taken','S'),"
      " ('be:4',258,'given','S');");
  std::string error;
  {
    auto ro = OpenSqliteStore(file, StoreMode::kReadOnly, error);
    ASSERT_TRUE(ro) << error;
    std::vector<ChipRecord> rows;
    ASSERT_TRUE(ro->Rows("", rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].chipSerial, "00000100");
    std::vector<UnknownNumber> unknown;
    ASSERT_TRUE(ro->Unknown(unknown, error)) << error;
    ASSERT_EQ(unknown.size(), 1u);  // a number taken and never settled
    EXPECT_EQ(unknown[0].number, 257);
  }
  auto store = OpenSqliteStore(file, StoreMode::kWrite, error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(Take(*store, "S").number, 258);  // the number given back
  EXPECT_EQ(Take(*store, "S").number, 259);  // 257 stays unknown
}

TEST(SqliteStore, FileDeletedOrReplacedInUseFailsTheRecord) {
  TempDir dir;
  std::string error;
  for (const bool replace : {false, true}) {
    const auto file = dir / (replace ? "replaced.db" : "deleted.db");
    auto store = OpenSqliteStore(file, StoreMode::kCreate, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Record(Row("S", "1", true), std::nullopt, SerialSettle::kUsed, error));
    std::filesystem::remove(file);
    if (replace) {
      auto other = OpenSqliteStore(file, StoreMode::kCreate, error);
      ASSERT_TRUE(other) << error;
    }
    EXPECT_FALSE(store->Record(Row("S", "2", true), std::nullopt, SerialSettle::kUsed, error));
    EXPECT_NE(error.find("deleted, moved or replaced"), std::string::npos) << replace << error;
    Taken t;
    bool exhausted = false;
    EXPECT_FALSE(store->Reserve(
        "be:4", 1, 1, "S", "a",
        [](std::int64_t, std::string&) { return std::optional<std::string>("00"); }, t.number,
        exhausted, error));
  }
}

TEST(SqliteStore, LockedFileFailsWithinBoundsAndOnCancel) {
  TempDir dir;
  const auto file = dir / "p.db";
  std::string error;
  auto store = OpenSqliteStore(file, StoreMode::kCreate, error);
  ASSERT_TRUE(store) << error;
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::atomic<bool> cancel{true};
  store->SetCancel(&cancel);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(store->Record(Row("S", "1", true), std::nullopt, SerialSettle::kUsed, error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_NE(error.find("locked"), std::string::npos) << error;
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_TRUE(store->Record(Row("S", "1", true), std::nullopt, SerialSettle::kUsed, error))
      << error;
}

TEST(PostgresStore, SameRowsAndSerialRulesOnARealServer) {
  test::PgServer server;
  VELKAN_START_PG(server);
  std::string error;
  auto a = OpenRecordStore(server.Uri(), StoreMode::kCreate, error);
  ASSERT_TRUE(a) << error;
  auto b = OpenRecordStore(server.Uri(), StoreMode::kCreate, error);
  ASSERT_TRUE(b) << error;
  CheckSerialRules(*a, *b);
  CheckConcurrentTakers(*a, *b);
  CheckRoundTrip(*a);
}

TEST(PostgresStore, UnreachableServerIsAClearErrorNotAHang) {
  TempDir dir;  // no server listens here
  std::string error;
  EXPECT_FALSE(
      OpenRecordStore("postgresql:///postgres?host=" + dir.path().string() + "&user=velkan",
                      StoreMode::kCreate, error));
  EXPECT_NE(error.find("postgresql://"), std::string::npos) << error;
}

}  // namespace
}  // namespace velkan::production
