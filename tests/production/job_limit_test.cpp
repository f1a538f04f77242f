// The job's limit of passed chips as the stores hold it: over two store
// connections on one record (two processes), with numbers reserved and
// never recorded counting until an operator settles them; the same on
// PostgreSQL. And records made before jobs: read as they are, given the
// new columns when opened for writing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "pg_server.h"
#include "production/record_store.h"
#include "sample_rows.h"
#include "temp_dir.h"

namespace velkan::production {
namespace {

std::optional<std::string> Hex8(std::int64_t n, std::string&) {
  char text[32];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(n));
  return std::string(text);
}

struct Try {
  bool ok = false;
  ReserveRefusal refusal = ReserveRefusal::kNone;
  Reservation reservation;
  std::string error;
};

Try ReserveOne(RecordStore& store, const std::string& job, std::int64_t limit) {
  Try t;
  t.reservation.series = "be:4";
  t.reservation.attempt = NewAttemptId();
  t.ok = store.ReserveFor("be:4", 0x100, 1, "S1", t.reservation.attempt, JobLimit{job, limit}, Hex8,
                          t.reservation.number, t.refusal, t.error);
  return t;
}

bool Settle(RecordStore& store, const Try& t, const std::string& job, bool pass) {
  std::string ignored;
  ChipRecord row = test::SampleRow("S1", Hex8(t.reservation.number, ignored), pass);
  row.attempt = t.reservation.attempt;
  row.jobId = job;
  std::string error;
  const bool ok =
      store.Record(row, t.reservation, pass ? SerialSettle::kUsed : SerialSettle::kReleased, error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

// Two connections share the record; the limit is 3 passed chips of job J.
void ExpectLimitHolds(RecordStore& a, RecordStore& b) {
  const Try first = ReserveOne(a, "J", 3);
  const Try second = ReserveOne(b, "J", 3);
  const Try third = ReserveOne(a, "J", 3);
  ASSERT_TRUE(first.ok && second.ok && third.ok) << first.error << second.error << third.error;
  // Three reserved and none settled: a fourth would exceed the limit.
  Try fourth = ReserveOne(b, "J", 3);
  EXPECT_FALSE(fourth.ok);
  EXPECT_EQ(fourth.refusal, ReserveRefusal::kLimit);
  EXPECT_NE(fourth.error.find("limit of 3 passed chips"), std::string::npos) << fourth.error;
  // Another job, and no limit, are not held by J's.
  EXPECT_TRUE(ReserveOne(b, "K", 3).ok);
  // A failed chip frees its place; a passed one keeps it.
  ASSERT_TRUE(Settle(a, first, "J", true));
  ASSERT_TRUE(Settle(b, second, "J", false));
  fourth = ReserveOne(b, "J", 3);
  ASSERT_TRUE(fourth.ok) << fourth.error;
  EXPECT_EQ(ReserveOne(a, "J", 3).refusal, ReserveRefusal::kLimit);
  // `third` never gets a record: unknown, it counts until the operator
  // releases it (the chip did not carry it).
  ASSERT_TRUE(Settle(a, fourth, "J", true));
  EXPECT_EQ(ReserveOne(b, "J", 3).refusal, ReserveRefusal::kLimit);
  int settled = 0;
  std::string error;
  ASSERT_TRUE(b.SettleUnknown(*Hex8(third.reservation.number, error), "", true, settled, error))
      << error;
  EXPECT_EQ(settled, 1);
  const Try last = ReserveOne(a, "J", 3);
  ASSERT_TRUE(last.ok) << last.error;
  ASSERT_TRUE(Settle(a, last, "J", true));
  EXPECT_EQ(ReserveOne(b, "J", 3).refusal, ReserveRefusal::kLimit);
  std::vector<ChipRecord> rows;
  ASSERT_TRUE(a.Rows("", rows, error)) << error;
  int passed = 0;
  for (const ChipRecord& r : rows) passed += r.jobId == "J" && IsPass(r.result);
  EXPECT_EQ(passed, 3);
}

TEST(JobLimit, HoldsOverTwoConnectionsOfOneSqliteRecord) {
  test::TempDir dir;
  std::string error;
  auto a = OpenSqliteStore(dir / "r.db", StoreMode::kCreate, error);
  auto b = OpenSqliteStore(dir / "r.db", StoreMode::kCreate, error);
  ASSERT_TRUE(a && b) << error;
  ExpectLimitHolds(*a, *b);
}

TEST(JobLimit, HoldsOverTwoConnectionsOfOnePostgresRecord) {
  test::PgServer server;
  VELKAN_START_PG(server);
  std::string error;
  auto a = OpenPostgresStore(server.Uri(), StoreMode::kCreate, error);
  ASSERT_TRUE(a) << error;
  auto b = OpenPostgresStore(server.Uri(), StoreMode::kCreate, error);
  ASSERT_TRUE(b) << error;
  ExpectLimitHolds(*a, *b);
}

TEST(JobLimit, RecordsFromBeforeJobsAreReadAndGivenTheColumns) {
  test::TempDir dir;
  const std::string path = dir / "old.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE chips (time_utc TEXT NOT NULL, station_serial TEXT NOT NULL,"
                         " station_port TEXT NOT NULL, tool_version TEXT NOT NULL,"
                         " hex_name TEXT NOT NULL, hex_sha256 TEXT NOT NULL,"
                         " image_crc TEXT NOT NULL, fuse INTEGER NOT NULL, chip_serial TEXT,"
                         " result TEXT NOT NULL, run_result INTEGER NOT NULL,"
                         " detail TEXT NOT NULL, duration_ms INTEGER NOT NULL,"
                         " attempt TEXT NOT NULL DEFAULT '');"
                         "CREATE TABLE serial_numbers (series TEXT NOT NULL,"
                         " number INTEGER NOT NULL, state TEXT NOT NULL, station TEXT NOT NULL,"
                         " attempt TEXT NOT NULL DEFAULT '', reserved_utc TEXT NOT NULL DEFAULT '',"
                         " chip_hex TEXT NOT NULL DEFAULT '', PRIMARY KEY (series, number));"
                         "INSERT INTO chips VALUES ('2024-05-01T08:30:00.000Z', 'EMU1', 'p',"
                         " '1.0', 'a.hex', 'ab', '1234', 0, '00000100', 'pass', 0, '', 5, 'x1');"
                         "INSERT INTO serial_numbers VALUES ('be:4', 256, 'reserved', 'EMU1',"
                         " 'x2', '2024-05-01T08:30:00.000Z', '00000100');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string error;
  std::vector<ChipRecord> rows;
  {
    auto reader = OpenSqliteStore(path, StoreMode::kReadOnly, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_TRUE(reader->Rows("", rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].attempt, "x1");
    EXPECT_TRUE(rows[0].jobId.empty());
  }
  auto writer = OpenSqliteStore(path, StoreMode::kCreate, error);
  ASSERT_TRUE(writer) << error;
  // The old unknown number is kept, and counts for no job.
  const Try t = ReserveOne(*writer, "J", 1);
  ASSERT_TRUE(t.ok) << t.error;
  EXPECT_EQ(t.reservation.number, 0x101);
  ASSERT_TRUE(Settle(*writer, t, "J", true));
  rows.clear();
  ASSERT_TRUE(writer->Rows("", rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].jobId, "J");
  EXPECT_EQ(ReserveOne(*writer, "J", 1).refusal, ReserveRefusal::kLimit);
}

}  // namespace
}  // namespace velkan::production
