// The PostgreSQL record when the server misbehaves: a backend that stops
// answering (SIGSTOP) fails the record within its bound, sooner on a stop
// request, and the store carries on once it answers again; a session the
// server ended, or the server gone, is met by connecting again or by a
// clear error; a database that is not a production log is left as it was;
// and a large record is read row by row, in order. Each against a server
// of the test's own (skipped where PostgreSQL is not installed).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "pg_server.h"
#include "pg_tools.h"
#include "production/record_store.h"

namespace velkan::production {
namespace {

using Clock = std::chrono::steady_clock;
using test::Psql;
using test::Stopped;
using test::StoreBackend;

ChipRecord Row(int n) {
  ChipRecord r;
  char time[32];
  std::snprintf(time, sizeof time, "2024-05-01T08:00:%02d.000Z", n % 60);
  r.timeUtc = time;
  r.stationSerial = "S";
  r.stationPort = "port-S";
  r.toolVersion = "2.0.0.6";
  r.hexName = "app.hex";
  r.hexSha256 = std::string(64, 'a');
  r.imageCrc = "1EF0";
  r.chipSerial = std::to_string(n);
  r.result = ChipResult::kPass;
  r.durationMs = n;
  r.attempt = NewAttemptId();
  return r;
}

std::size_t RowCount(RecordStore& store) {
  std::vector<ChipRecord> rows;
  std::string error;
  EXPECT_TRUE(store.Rows("", rows, error)) << error;
  return rows.size();
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(PostgresFaults, StalledBackendFailsWithinBoundsAndOnStopThenRecovers) {
  test::PgServer server;
  VELKAN_START_PG(server);
  std::string error;
  auto store = OpenRecordStore(server.Uri(), StoreMode::kCreate, error);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->Record(Row(1), std::nullopt, SerialSettle::kUsed, error)) << error;

  // The backend stops answering: the record fails at the statement bound.
  const ChipRecord stalled = Row(2);
  {
    Stopped stopped(StoreBackend(server.Uri()));
    const auto start = Clock::now();
    EXPECT_FALSE(store->Record(stalled, std::nullopt, SerialSettle::kUsed, error));
    EXPECT_LT(SecondsSince(start), 15.0);
    EXPECT_NE(error.find("did not answer within 10 s"), std::string::npos) << error;
  }
  // Answering again: the engine's retry of the same attempt is recorded once.
  ASSERT_TRUE(store->Record(stalled, std::nullopt, SerialSettle::kUsed, error)) << error;
  ASSERT_TRUE(store->Record(stalled, std::nullopt, SerialSettle::kUsed, error)) << error;
  EXPECT_EQ(RowCount(*store), 2u);

  // A stop request: a server that answers still takes the record...
  std::atomic<bool> stop{true};
  store->SetCancel(&stop);
  ASSERT_TRUE(store->Record(Row(3), std::nullopt, SerialSettle::kUsed, error)) << error;
  // ...one that does not is given up after the grace, not the full bound.
  {
    Stopped stopped(StoreBackend(server.Uri()));
    const auto start = Clock::now();
    EXPECT_FALSE(store->Record(Row(4), std::nullopt, SerialSettle::kUsed, error));
    EXPECT_LT(SecondsSince(start), 3.5);
    EXPECT_NE(error.find("stopped while waiting"), std::string::npos) << error;
  }
  store->SetCancel(nullptr);
  EXPECT_EQ(RowCount(*store), 3u);
}

TEST(PostgresFaults, EndedSessionIsConnectedAgainAndAServerGoneIsAClearError) {
  std::optional<test::PgServer> server(std::in_place);
  VELKAN_START_PG(*server);
  const std::string uri = server->Uri();
  std::string error;
  auto store = OpenRecordStore(uri, StoreMode::kCreate, error);
  ASSERT_TRUE(store) << error;
  auto endSession = [&] {
    const pid_t pid = StoreBackend(uri);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Psql(uri, "SELECT pg_terminate_backend(" + std::to_string(pid) + ", 5000)"), "t");
  };

  // Killed between operations (an administrator, a server restart): the
  // next reservation and the record that settles it go through.
  endSession();
  const std::string attempt = NewAttemptId();
  std::int64_t number = 0;
  bool exhausted = false;
  ASSERT_TRUE(store->Reserve(
      "be:4", 0x100, 1, "S", attempt,
      [](std::int64_t, std::string&) { return std::optional<std::string>("00000100"); }, number,
      exhausted, error))
      << error;
  EXPECT_EQ(number, 0x100);
  endSession();
  ChipRecord row = Row(1);
  row.attempt = attempt;
  ASSERT_TRUE(store->Record(row, Reservation{"be:4", number, attempt}, SerialSettle::kUsed, error))
      << error;
  std::vector<UnknownNumber> unknown;
  ASSERT_TRUE(store->Unknown(unknown, error)) << error;
  EXPECT_TRUE(unknown.empty());
  EXPECT_EQ(RowCount(*store), 1u);

  // The server gone for good: a clear error, soon.
  server.reset();
  const auto start = Clock::now();
  EXPECT_FALSE(store->Record(Row(2), std::nullopt, SerialSettle::kUsed, error));
  EXPECT_LT(SecondsSince(start), 15.0);
  EXPECT_NE(error.find("could not be made again"), std::string::npos) << error;
  EXPECT_EQ(error.find("postgresql://"), 0u) << error;
}

TEST(PostgresFaults, DatabaseWithoutTheTablesIsRefusedAndLeftAsItWas) {
  test::PgServer server;
  VELKAN_START_PG(server);
  const std::string tables =
      "SELECT count(*) FROM pg_tables WHERE schemaname NOT IN ('pg_catalog','information_schema')";
  std::string error;
  for (const StoreMode mode : {StoreMode::kReadOnly, StoreMode::kWrite}) {
    EXPECT_FALSE(OpenRecordStore(server.Uri(), mode, error));
    EXPECT_NE(error.find("no table chips (not a production log)"), std::string::npos) << error;
  }
  EXPECT_EQ(Psql(server.Uri(), tables), "0");

  // Another application's `chips`: refused, not given a column.
  Psql(server.Uri(), "CREATE TABLE chips (id INTEGER)");
  EXPECT_FALSE(OpenRecordStore(server.Uri(), StoreMode::kCreate, error));
  EXPECT_NE(error.find("other columns"), std::string::npos) << error;
  EXPECT_EQ(Psql(server.Uri(),
                 "SELECT string_agg(column_name, ',') FROM information_schema.columns"
                 " WHERE table_name='chips'"),
            "id");
  EXPECT_EQ(Psql(server.Uri(), tables), "1");

  // A read-only store writes nothing, even asked to.
  Psql(server.Uri(), "DROP TABLE chips");
  ASSERT_TRUE(OpenRecordStore(server.Uri(), StoreMode::kCreate, error)) << error;
  auto ro = OpenRecordStore(server.Uri(), StoreMode::kReadOnly, error);
  ASSERT_TRUE(ro) << error;
  EXPECT_FALSE(ro->Record(Row(1), std::nullopt, SerialSettle::kUsed, error));
  EXPECT_EQ(Psql(server.Uri(), "SELECT count(*) FROM chips"), "0");
}

TEST(PostgresFaults, LargeRecordIsReadRowByRowInOrder) {
  test::PgServer server;
  VELKAN_START_PG(server);
  std::string error;
  ASSERT_TRUE(OpenRecordStore(server.Uri(), StoreMode::kCreate, error)) << error;
  constexpr int kRows = 200000;
  // Inserted out of time order: the report is in time order all the same.
  ASSERT_TRUE(Psql(server.Uri(),
                   "INSERT INTO chips SELECT to_char(timestamp '2024-01-01' + i * interval '1 "
                   "second', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), 'S', 'p', '2.0', 'a.hex', 'ff',"
                   " '0000', 0, NULL, 'pass', 0, '', i, 'a' || i FROM generate_series(" +
                       std::to_string(kRows) + ", 1, -1) i"));
  auto store = OpenRecordStore(server.Uri(), StoreMode::kReadOnly, error);
  ASSERT_TRUE(store) << error;

  std::int64_t next = 1;
  bool inOrder = true;
  ASSERT_TRUE(store->ForEachRow(
      "",
      [&](const ChipRecord& row) {
        inOrder = inOrder && row.durationMs == next && row.attempt == "a" + std::to_string(next);
        ++next;
        return true;
      },
      error))
      << error;
  EXPECT_EQ(next - 1, kRows);
  EXPECT_TRUE(inOrder);

  // A reader that stops early, then one from a given time: the store
  // carries on after the rows it left unread.
  int seen = 0;
  ASSERT_TRUE(store->ForEachRow(
      "", [&](const ChipRecord&) { return ++seen < 10; }, error))
      << error;
  EXPECT_EQ(seen, 10);
  std::int64_t since = 0;
  ASSERT_TRUE(store->ForEachRow(
      "2024-01-03T00:00:00.000Z",  // 2 days in: row 172800
      [&](const ChipRecord& row) {
        if (since == 0) since = row.durationMs;
        return true;
      },
      error))
      << error;
  EXPECT_EQ(since, 172800);
}

}  // namespace
}  // namespace velkan::production
