// The record stores: the serial number rules (taken, used, given back,
// burnt, a dead process's number reclaimed), two connections taking numbers
// at once as two processes do, rows round trip, and bad files. The same
// rules run against SQLite and against a PostgreSQL server of the test's own.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <thread>

#include "pg_server.h"
#include "production/record_store.h"
#include "temp_dir.h"

namespace velkan::production {
namespace {

using test::TempDir;

ChipRecord Row(const std::string& station, std::optional<std::string> serial, bool pass,
               const std::string& time = "2024-05-01T08:00:00.000Z") {
  ChipRecord r;
  r.timeUtc = time;
  r.stationSerial = station;
  r.stationPort = "port-" + station;
  r.toolVersion = "2.0.0.6";
  r.hexName = "app.hex";
  r.hexSha256 = std::string(64, 'a');
  r.imageCrc = "1EF0";
  r.chipSerial = std::move(serial);
  r.result = pass ? "pass" : "status-word";
  r.runResult = pass ? 0 : 1;
  r.detail = pass ? "" : "I-CMD\t08 00 00 00 (status word 6985)";
  r.durationMs = 1234;
  return r;
}

std::int64_t Take(RecordStore& store, const std::string& station, std::int64_t first = 0x100) {
  std::int64_t number = -1;
  std::string error;
  EXPECT_TRUE(store.TakeSerial("be:4", first, 1, station, number, error)) << error;
  return number;
}

void Settle(RecordStore& store, const std::string& station, std::int64_t number,
            SerialSettle settle) {
  std::string error;
  ASSERT_TRUE(store.Record(Row(station, std::to_string(number), settle == SerialSettle::kUsed),
                           SerialTicket{"be:4", number}, settle, error))
      << error;
}

// The rules of serial numbers, on one store (`a`) and a second connection to
// the same log (`b`, another process).
void CheckSerialRules(RecordStore& a, RecordStore& b) {
  EXPECT_EQ(Take(a, "S1"), 0x100);
  Settle(a, "S1", 0x100, SerialSettle::kUsed);
  EXPECT_EQ(Take(b, "S2"), 0x101);  // the other process sees the first
  EXPECT_EQ(Take(a, "S1"), 0x102);  // S2's number is in progress: not given twice
  // A failed chip's number goes to the next chip.
  Settle(b, "S2", 0x101, SerialSettle::kGiven);
  EXPECT_EQ(Take(a, "S3"), 0x101);
  Settle(a, "S3", 0x101, SerialSettle::kUsed);
  // A burnt number is never given again.
  Settle(a, "S1", 0x102, SerialSettle::kBurnt);
  EXPECT_EQ(Take(a, "S1"), 0x103);
  // S1's process dies before recording 0x103: S1's next start takes it
  // again; another station does not.
  EXPECT_EQ(Take(b, "S2"), 0x104);
  EXPECT_EQ(Take(b, "S1"), 0x103);
  Settle(b, "S1", 0x103, SerialSettle::kUsed);
  Settle(b, "S2", 0x104, SerialSettle::kUsed);
  // A start above the largest jumps there; one below continues.
  EXPECT_EQ(Take(a, "S1", 0x200), 0x200);
  Settle(a, "S1", 0x200, SerialSettle::kUsed);
  EXPECT_EQ(Take(a, "S1", 0x100), 0x201);
}

// Two connections taking and recording numbers at once: each number once,
// none skipped.
void CheckConcurrentTakers(RecordStore& a, RecordStore& b) {
  std::vector<std::int64_t> taken[2];
  auto worker = [&](RecordStore& store, int k) {
    const std::string station = "T" + std::to_string(k);
    for (int i = 0; i < 25; ++i) {
      std::int64_t n = -1;
      std::string error;
      if (!store.TakeSerial("le:2", 1, 1, station, n, error)) {
        ADD_FAILURE() << error;
        return;
      }
      taken[k].push_back(n);
      if (!store.Record(Row(station, std::to_string(n), true), SerialTicket{"le:2", n},
                        SerialSettle::kUsed, error)) {
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
  ASSERT_TRUE(store.Record(failed, std::nullopt, SerialSettle::kGiven, error)) << error;
  std::vector<ChipRecord> rows;
  ASSERT_TRUE(store.Rows("2024-06-01", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  const ChipRecord& r = rows[0];
  EXPECT_EQ(r.timeUtc, failed.timeUtc);
  EXPECT_EQ(r.stationPort, "port-R1");
  EXPECT_FALSE(r.chipSerial.has_value());
  EXPECT_EQ(r.result, "status-word");
  EXPECT_EQ(r.runResult, 1);
  EXPECT_EQ(r.detail, failed.detail);
  EXPECT_EQ(r.durationMs, 1234);
  EXPECT_EQ(r.hexSha256, failed.hexSha256);
}

TEST(SqliteStore, SerialNumberRulesAcrossTwoConnections) {
  TempDir dir;
  std::string error;
  auto a = OpenSqliteStore(dir / "p.db", true, error);
  ASSERT_TRUE(a) << error;
  auto b = OpenSqliteStore(dir / "p.db", true, error);
  ASSERT_TRUE(b) << error;
  CheckSerialRules(*a, *b);
  CheckConcurrentTakers(*a, *b);
  CheckRoundTrip(*a);
}

TEST(SqliteStore, BadFilesAreRefusedWithAReason) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(OpenSqliteStore(dir / "missing.db", false, error));
  EXPECT_NE(error.find("no such file"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));

  std::ofstream(dir / "text.db") << "time,station\nnot a database at all, just some text\n";
  EXPECT_FALSE(OpenSqliteStore(dir / "text.db", true, error));
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;

  EXPECT_FALSE(OpenSqliteStore(dir.path().string(), true, error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;

  // A database of something else: a table chips of another shape, or none.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "other.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE chips (id INTEGER, name TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_FALSE(OpenSqliteStore(dir / "other.db", true, error));
  EXPECT_NE(error.find("other columns"), std::string::npos) << error;
  std::ofstream(dir / "empty.db");  // an empty file is an empty database
  EXPECT_FALSE(OpenSqliteStore(dir / "empty.db", false, error));
  EXPECT_NE(error.find("no table chips"), std::string::npos) << error;
}

TEST(PostgresStore, SameRowsAndSerialRulesOnARealServer) {
  test::PgServer server;
  VELKAN_START_PG(server);
  std::string error;
  auto a = OpenRecordStore(server.Uri(), true, error);
  ASSERT_TRUE(a) << error;
  auto b = OpenRecordStore(server.Uri(), true, error);
  ASSERT_TRUE(b) << error;
  CheckSerialRules(*a, *b);
  CheckConcurrentTakers(*a, *b);
  CheckRoundTrip(*a);
}

TEST(PostgresStore, UnreachableServerIsAClearErrorNotAHang) {
  TempDir dir;  // no server listens here
  std::string error;
  EXPECT_FALSE(OpenRecordStore(
      "postgresql:///postgres?host=" + dir.path().string() + "&user=velkan", true, error));
  EXPECT_NE(error.find("postgresql://"), std::string::npos) << error;
}

}  // namespace
}  // namespace velkan::production
