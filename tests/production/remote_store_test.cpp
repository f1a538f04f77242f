// The record store in the recorder process: the SQLite store's rules through
// the pipe (two recorders as two processes, and stations on threads), rows
// streamed in chunks, a recorder killed or stopped (every call fails, in
// bounded time, saying so), and frames refused on both sides.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "production/record_server.h"
#include "production/record_wire.h"
#include "production/remote_store.h"
#include "sample_rows.h"
#include "temp_dir.h"

namespace velkan::production {
namespace {

using test::TempDir;
using Clock = std::chrono::steady_clock;

std::unique_ptr<RecordStore> Open(const std::string& target, std::string& error,
                                  std::vector<std::string> args = {},
                                  StoreMode mode = StoreMode::kCreate) {
  return OpenRemoteStore(VELKAN_RECORD_SERVER_CHILD, args, target, mode, error);
}

ChipRecord Row(const std::string& station, std::optional<std::string> serial, bool pass,
               const std::string& attempt = NewAttemptId()) {
  ChipRecord r =
      test::SampleRow(station, std::move(serial), pass, "I-CMD\t08 00\n中文 \"quote\" \x01");
  r.attempt = attempt;
  return r;
}

std::optional<std::string> Hex8(std::int64_t n, std::string&) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%08llX", static_cast<unsigned long long>(n));
  return std::string(hex);
}

struct Taken {
  std::int64_t number = -1;
  std::string attempt = NewAttemptId();
};

Taken Take(RecordStore& store, const std::string& station) {
  Taken t;
  bool exhausted = false;
  std::string error;
  EXPECT_TRUE(store.Reserve("be:4", 0x100, 1, station, t.attempt, Hex8, t.number, exhausted, error))
      << error;
  return t;
}

void Settle(RecordStore& store, const Taken& t, SerialSettle settle) {
  std::string error;
  EXPECT_TRUE(
      store.Record(Row("S", std::to_string(t.number), settle == SerialSettle::kUsed, t.attempt),
                   Reservation{"be:4", t.number, t.attempt}, settle, error))
      << error;
}

std::vector<UnknownNumber> UnknownOf(RecordStore& store) {
  std::vector<UnknownNumber> numbers;
  std::string error;
  EXPECT_TRUE(store.Unknown(numbers, error)) << error;
  return numbers;
}

TEST(RemoteStore, KeepsTheSqliteStoreRulesThroughTheRecorder) {
  TempDir dir;
  std::string error;
  auto a = Open(dir / "p.db", error);
  ASSERT_NE(a, nullptr) << error;
  auto b = Open(dir / "p.db", error);  // another process on the same record
  ASSERT_NE(b, nullptr) << error;

  const Taken first = Take(*a, "S1");
  EXPECT_EQ(first.number, 0x100);
  Settle(*a, first, SerialSettle::kUsed);
  const Taken second = Take(*b, "S2");
  EXPECT_EQ(second.number, 0x101);
  Settle(*b, second, SerialSettle::kReleased);
  EXPECT_EQ(Take(*a, "S3").number, 0x101);  // given again; never settled: unknown

  // A number that cannot be written is not reserved: the recorder asked for
  // its bytes, and the reason comes back.
  std::int64_t number = 0;
  bool exhausted = false;
  EXPECT_FALSE(a->Reserve(
      "be:4", 0x100, 1, "S1", NewAttemptId(),
      [](std::int64_t n, std::string& why) -> std::optional<std::string> {
        why = "no room for " + std::to_string(n);
        return std::nullopt;
      },
      number, exhausted, error));
  EXPECT_TRUE(exhausted);
  EXPECT_EQ(error, "no room for 258");
  const auto unknown = UnknownOf(*b);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(unknown[0].chipHex, "00000101");
  EXPECT_EQ(unknown[0].station, "S3");

  int settled = 0;
  ASSERT_TRUE(b->SettleUnknown("00000101", "", false, settled, error)) << error;
  EXPECT_EQ(settled, 1);
  EXPECT_TRUE(UnknownOf(*a).empty());
  EXPECT_EQ(Take(*a, "S1").number, 0x102);
  // The store's own refusals come through as they are.
  EXPECT_FALSE(a->Record(Row("S1", "100", true), Reservation{"be:4", 0x100, first.attempt},
                         SerialSettle::kUsed, error));
  EXPECT_NE(error.find("no longer reserved"), std::string::npos) << error;

  // Rows round trip, strange text included, the file read in process.
  std::vector<ChipRecord> rows;
  ASSERT_TRUE(b->Rows("", rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].detail, Row("S", std::nullopt, false).detail);
  EXPECT_EQ(rows[0].chipSerial, std::optional<std::string>("256"));
  EXPECT_EQ(rows[0].attempt, first.attempt);
  auto local = OpenRecordStore(dir / "p.db", StoreMode::kReadOnly, error);
  ASSERT_NE(local, nullptr) << error;
  std::vector<ChipRecord> inFile;
  ASSERT_TRUE(local->Rows("", inFile, error)) << error;
  EXPECT_EQ(inFile.size(), 2u);

  // A file that is no record: the store's message.
  { std::ofstream(dir / "junk.db") << "not a database, not at all, no"; }
  EXPECT_EQ(Open(dir / "junk.db", error), nullptr);
  EXPECT_NE(error.find("junk.db"), std::string::npos) << error;
  EXPECT_EQ(Open(dir / "none.db", error, {}, StoreMode::kWrite), nullptr);
  EXPECT_EQ(error, dir / "none.db" + ": no such file");
}

// Stations on threads of one store and another process at once: each
// number once, none skipped; rows come in chunks, and a reader that stops
// early leaves the exchange in step.
TEST(RemoteStore, StationsOnThreadsAndRowsInChunks) {
  TempDir dir;
  std::string error;
  auto a = Open(dir / "p.db", error);
  ASSERT_NE(a, nullptr) << error;
  auto b = Open(dir / "p.db", error);
  ASSERT_NE(b, nullptr) << error;
  std::vector<std::int64_t> taken[4];
  {
    std::vector<std::jthread> stations;
    for (int k = 0; k < 4; ++k) {
      stations.emplace_back([&, k] {
        RecordStore& store = k % 2 ? *b : *a;
        for (int i = 0; i < 60; ++i) {
          const Taken t = Take(store, "T" + std::to_string(k));
          taken[k].push_back(t.number);
          Settle(store, t, SerialSettle::kUsed);
        }
      });
    }
  }
  std::vector<std::int64_t> all;
  for (const auto& t : taken) all.insert(all.end(), t.begin(), t.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 240u);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], 0x100 + std::int64_t(i));

  std::size_t seen = 0;
  ASSERT_TRUE(a->ForEachRow(
      "", [&](const ChipRecord&) { return ++seen < 230; }, error))
      << error;
  EXPECT_EQ(seen, 230u);  // past the first chunk, stopped in the second
  std::vector<ChipRecord> rows;
  ASSERT_TRUE(a->Rows("", rows, error)) << error;
  EXPECT_EQ(rows.size(), 240u);
  EXPECT_EQ(Take(*a, "T0").number, 0x100 + 240);

  // A row the store cannot read fails the reading with the store's message,
  // after the chunks before it.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "p.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO chips SELECT time_utc, station_serial, station_port,"
                         " tool_version, hex_name, hex_sha256, image_crc, fuse, chip_serial,"
                         " result, run_result, detail, 'soon', attempt, job_id, data_sha256"
                         " FROM chips LIMIT 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  seen = 0;
  EXPECT_FALSE(a->ForEachRow(
      "", [&](const ChipRecord&) { return ++seen > 0; }, error));
  EXPECT_EQ(seen, 240u);
  EXPECT_NE(error.find("p.db: "), std::string::npos) << error;
  EXPECT_TRUE(a->Rows("2999", rows, error)) << error;  // and the exchange is in step
}

int ReadPid(const std::string& file) {
  for (int i = 0; i < 200; ++i) {
    int pid = 0;
    std::ifstream in(file);
    if (in >> pid && pid > 0) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(RemoteStore, ARecorderThatEndedFailsEveryCallAtOnce) {
  TempDir dir;
  std::string error;
  auto store = Open(dir / "p.db", error, {"--pid-file", dir / "pid"});
  ASSERT_NE(store, nullptr) << error;
  const Taken t = Take(*store, "S1");
  const int pid = ReadPid(dir / "pid");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  const auto start = Clock::now();
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(store->Record(Row("S1", "100", true, t.attempt),
                               Reservation{"be:4", t.number, t.attempt}, SerialSettle::kUsed,
                               error));
    EXPECT_NE(error.find("the recorder process ended (killed by signal 9)"), std::string::npos)
        << error;
    std::vector<UnknownNumber> numbers;
    EXPECT_FALSE(store->Unknown(numbers, error));
    EXPECT_NE(error.find("the recorder process ended"), std::string::npos) << error;
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  store.reset();

  // A recorder that never serves, and one that cannot be started.
  EXPECT_EQ(OpenRemoteStore("/bin/true", {}, dir / "p.db", StoreMode::kCreate, error), nullptr);
  EXPECT_NE(error.find("the recorder process ended (exit status 0)"), std::string::npos) << error;
  EXPECT_EQ(OpenRemoteStore(dir / "absent", {}, dir / "p.db", StoreMode::kCreate, error), nullptr);
  EXPECT_NE(error.find("cannot be started"), std::string::npos) << error;
}

// A recorder that does not answer (stopped here): the cancel flag ends the
// wait after a short grace, and the recorder is put down.
TEST(RemoteStore, TheCancelFlagEndsTheWaitOnASilentRecorder) {
  TempDir dir;
  std::string error;
  auto store = Open(dir / "p.db", error, {"--pid-file", dir / "pid"});
  ASSERT_NE(store, nullptr) << error;
  const int pid = ReadPid(dir / "pid");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  std::atomic<bool> cancel{false};
  store->SetCancel(&cancel);
  std::jthread stop([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel.store(true);
  });
  const auto start = Clock::now();
  std::vector<UnknownNumber> numbers;
  EXPECT_FALSE(store->Unknown(numbers, error));
  const auto took = Clock::now() - start;
  EXPECT_NE(error.find("the recorder process does not answer"), std::string::npos) << error;
  EXPECT_LT(took, std::chrono::seconds(9));
  EXPECT_FALSE(store->Unknown(numbers, error));  // and so does every later one
  EXPECT_NE(error.find("does not answer"), std::string::npos) << error;
}

// Frames longer than allowed or not JSON: the recorder answers with an error
// and ends, without reading on; the client refuses such an answer.
TEST(RecordServer, RefusesOversizedAndMalformedFrames) {
  struct Case {
    std::string bytes;
    const char* refused;
  };
  const Case cases[] = {
      {std::string("\xFF\xFF\xFF\xF0", 4), "a frame longer than the recorder takes"},
      {std::string("\0\0\0\x05", 4) + "[1,2]", "a frame that is no JSON object"},
      {std::string("\0\0\0\x07", 4) + "{nope!}", "a frame that is no JSON object"},
  };
  for (const Case& c : cases) {
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    // A request before the bad frame is served; the writer stays open, so
    // the server ends because of the frame, not the end of its input.
    const std::string frames = wire::Frame({{"op", "unknown"}, {"cancel", false}}) + c.bytes;
    ASSERT_EQ(::write(in[1], frames.data(), frames.size()), ssize_t(frames.size()));
    EXPECT_EQ(ServeRecordStore(in[0], out[1]), 2);
    ::close(out[1]);
    std::string answers;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) answers.append(buffer, n);
    EXPECT_NE(answers.find("no record is open"), std::string::npos) << answers;
    EXPECT_NE(answers.find(std::string("the recorder refused ") + c.refused), std::string::npos)
        << answers;
    for (int fd : {in[0], in[1], out[0]}) ::close(fd);
  }

  // The client's side: an answer announcing 4 GiB is refused at once.
  TempDir dir;
  std::string error;
  const auto start = Clock::now();
  EXPECT_EQ(OpenRemoteStore("/bin/sh", {"-c", "printf '\\377\\377\\377\\377'; exec sleep 20"},
                            dir / "p.db", StoreMode::kCreate, error),
            nullptr);
  EXPECT_NE(error.find("an answer longer than allowed"), std::string::npos) << error;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace velkan::production
