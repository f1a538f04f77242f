// `velkan produce` under the faults a line meets: two processes on one
// record, a record that cannot be written after a chip passed, the record
// file renamed or deleted, stop signals, kill -9 at random moments, serial
// files and HEX input, and the read-only `velkan log`. Each run is checked
// against what left the emulated sockets (the feeder's trays): every chip
// that left with the pass LED has exactly one pass row carrying its number,
// no number is on two chips, every number in doubt is listed as unknown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "pg_server.h"
#include "pg_tools.h"
#include "production/record_store.h"
#include "temp_dir.h"
#include "tray_audit.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using velkan::production::ChipRecord;
using velkan::production::OpenRecordStore;
using velkan::production::StoreMode;
using velkan::production::UnknownNumber;
using velkan::test::TempDir;

const std::string kCli = VELKAN_CLI_PATH;
const std::string kHex = std::string(VELKAN_EXAMPLES_DIR) + "/full-app.hex";
const std::string kSerial = "--serial-at 9FF0 --serial-start 00000100 --serial-bytes 4";
const auto kTraySerial = std::make_pair(0x9FF0u, std::size_t{4});

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// The produce arguments for the emulated programmers under `emu`.
std::string Fed(const fs::path& emu, int stations, bool slow = false) {
  return "--emulator=" + emu.string() + " --emulators " + std::to_string(stations) +
         " --emulator-feeder --emulator-tray-serial 0x9FF0:4" +
         (slow ? " --emulator-latency usb" : "") + " produce " + kHex + " --next auto ";
}

// A `velkan` process in the background (a child of the test, so its exit
// status is known), its output in `dir`/NAME.out and NAME.err.
class Process {
 public:
  Process(const fs::path& dir, const std::string& args, const std::string& name = "run")
      : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string command = "exec " + kCli + " " + args;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      Wait(10s);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return pid_ > 0; }
  void Signal(int sig) const {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
  }
  // The exit status (a signal's death: 128 + the signal), or -1 while it
  // still runs after `timeout`.
  int Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (status_ < 0 && pid_ > 0) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (done < 0 || std::chrono::steady_clock::now() >= end) break;
      std::this_thread::sleep_for(20ms);
    }
    return status_;
  }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

 private:
  fs::path out_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs `velkan ARGS` in `dir` to its end (bounded).
Result Velkan(const fs::path& dir, const std::string& args, const std::string& input = "") {
  const fs::path out = dir / "cmd.out", err = dir / "cmd.err", in = dir / "cmd.in";
  std::ofstream(in, std::ios::binary) << input;
  const int rc =
      std::system(("cd " + Quote(dir.string()) + " && timeout 300 " + kCli + " " + args + " < " +
                   Quote(in.string()) + " > " + Quote(out.string()) + " 2> " + Quote(err.string()))
                      .c_str());
  return {WEXITSTATUS(rc), ReadFile(out), ReadFile(err)};
}

std::vector<ChipRecord> Rows(const std::string& target) {
  std::string error;
  std::vector<ChipRecord> rows;
  if (auto store = OpenRecordStore(target, StoreMode::kReadOnly, error))
    store->Rows("", rows, error);
  return rows;
}

std::vector<UnknownNumber> Unknown(const std::string& target) {
  std::string error;
  std::vector<UnknownNumber> numbers;
  auto store = OpenRecordStore(target, StoreMode::kReadOnly, error);
  EXPECT_TRUE(store) << error;
  if (store) {
    EXPECT_TRUE(store->Unknown(numbers, error)) << error;
  }
  return numbers;
}

// Waits until the record holds `n` rows.
bool WaitRows(const std::string& target, std::size_t n, std::chrono::seconds timeout = 120s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (Rows(target).size() >= n) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// The trays under `emu` against the record(s): the disagreements.
std::vector<std::string> AuditTrays(const fs::path& emu, const std::vector<std::string>& records,
                                    std::vector<velkan::test::TrayChip>* trays = nullptr) {
  std::string error;
  std::vector<std::string> found;
  if (!velkan::test::TakeOutLeftChips(emu, kTraySerial, error)) return {"take out: " + error};
  std::vector<velkan::test::TrayChip> chips;
  if (!velkan::test::ReadTrays(emu, chips, error)) return {"trays: " + error};
  velkan::test::AuditRecord record;
  for (const std::string& target : records) {
    for (const ChipRecord& row : Rows(target)) {
      if (velkan::production::IsPass(row.result)) {
        record.passSerialHex.push_back(row.chipSerial.value_or(""));
      }
    }
    for (const UnknownNumber& u : Unknown(target)) record.unknownSerialHex.push_back(u.chipHex);
  }
  if (trays) *trays = chips;
  return velkan::test::Audit(chips, record);
}

int PassLedChips(const std::vector<velkan::test::TrayChip>& chips) {
  int n = 0;
  for (const auto& c : chips) n += c.led == velkan::test::kPassLed;
  return n;
}

// Two processes whose programmers have the same serial numbers (two hosts,
// or programmers that report none) share one record: no number twice.
void TwoProcessesOnOneRecord(const TempDir& dir, const std::string& record) {
  const std::string log = " --count 10 --log " + Quote(record) + " " + kSerial;
  Process a(dir.path(), Fed(dir.path() / "A", 1) + log, "a");
  Process b(dir.path(), Fed(dir.path() / "B", 1) + log, "b");
  ASSERT_TRUE(a.Started() && b.Started());
  EXPECT_NE(a.Wait(180s), -1) << a.Err();
  EXPECT_NE(b.Wait(180s), -1) << b.Err();
  std::vector<velkan::test::TrayChip> chips;
  const auto found = AuditTrays(dir.path(), {record}, &chips);
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  std::set<std::string> numbers;
  for (const auto& c : chips) {
    if (c.led == velkan::test::kPassLed) numbers.insert(c.serialHex.value_or(""));
  }
  EXPECT_EQ(numbers.size(), 20u) << a.Out() << b.Out();
}

TEST(ProduceFaults, TwoProcessesWithTheSameStationNamesShareOneSqliteRecord) {
  TempDir dir;
  TwoProcessesOnOneRecord(dir, (dir.path() / "p.db").string());
}

TEST(ProduceFaults, TwoProcessesWithTheSameStationNamesShareOnePostgresRecord) {
  velkan::test::PgServer server;
  VELKAN_START_PG(server);
  TempDir dir;
  TwoProcessesOnOneRecord(dir, server.Uri());
}

// Another program holds the record locked past every retry after a chip
// passed: the chip is shown as failed, named with its number, the number
// stays reserved (unknown), and the station stops.
TEST(ProduceFaults, ARecordThatCannotBeWrittenIsNeverAPass) {
  TempDir dir;
  const std::string db = (dir.path() / "p.db").string();
  Process run(dir.path(), Fed(dir.path(), 1, true) + "--log p.db " + kSerial);
  ASSERT_TRUE(WaitRows(db, 1)) << run.Err();
  // The next chip has its number and is being programmed: then the lock.
  for (int i = 0; i < 600 && run.Out().find("programming serial 00000101") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(run.Out().find("programming serial 00000101"), std::string::npos) << run.Out();
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
  sqlite3_busy_timeout(holder, 10000);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const int code = run.Wait(90s);
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(code, 1) << run.Out() << run.Err();
  EXPECT_NE(run.Err().find("NOT RECORDED"), std::string::npos) << run.Err();
  EXPECT_NE(run.Err().find("put it aside"), std::string::npos) << run.Err();
  const auto unknown = Unknown(db);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(run.Err().find(unknown[0].chipHex), std::string::npos) << run.Err();
  const auto found = AuditTrays(dir.path(), {db});
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);

  // The next run does not give the unknown number; once the operator has
  // checked the chip and released it, it is given again.
  Result next = Velkan(dir.path(), Fed(dir.path(), 1) + "--count 1 --log p.db " + kSerial);
  ASSERT_EQ(next.code, 0) << next.err;
  EXPECT_EQ(next.out.find(unknown[0].chipHex), std::string::npos) << next.out;
  const Result release = Velkan(dir.path(), "log p.db --release " + unknown[0].chipHex);
  EXPECT_EQ(release.code, 0) << release.err;
  EXPECT_TRUE(Unknown(db).empty());
  next = Velkan(dir.path(), Fed(dir.path(), 1) + "--count 1 --log p.db " + kSerial);
  EXPECT_NE(next.out.find("serial " + unknown[0].chipHex), std::string::npos) << next.out;
}

// A PostgreSQL server whose backend stalls in the middle of a chip (as a
// server under a stuck disk does): no wait is for ever, and Ctrl+C stops
// the station within moments; nothing shows a pass that is not recorded.
TEST(ProduceFaults, AStalledPostgresServerNeverHangsProduction) {
  velkan::test::PgServer server;
  VELKAN_START_PG(server);
  TempDir dir;
  Process run(dir.path(),
              Fed(dir.path(), 1, true) + "--log " + Quote(server.Uri()) + " " + kSerial);
  ASSERT_TRUE(WaitRows(server.Uri(), 1)) << run.Err();
  for (int i = 0; i < 600 && run.Out().find("programming serial 00000101") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(10ms);
  }
  {
    velkan::test::Stopped stalled(velkan::test::StoreBackend(server.Uri()));
    std::this_thread::sleep_for(4s);  // the chip's run ends; its record waits on the server
    const auto stop = std::chrono::steady_clock::now();
    run.Signal(SIGINT);
    EXPECT_NE(run.Wait(20s), -1) << "still waiting on the stalled server";
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 15s);
  }
  const auto found = AuditTrays(dir.path(), {server.Uri()});
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found) << run.Out() << run.Err();
}

// A record that stalls for a moment (a long report holding the file) does
// not leave a station waiting for ever on a chip swap it missed.
TEST(ProduceFaults, AStalledRecordDelaysButLosesNothing) {
  TempDir dir;
  const std::string db = (dir.path() / "p.db").string();
  Process run(dir.path(), Fed(dir.path(), 2) + "--count 4 --log p.db " + kSerial);
  ASSERT_TRUE(WaitRows(db, 1)) << run.Err();
  {
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    sqlite3_busy_timeout(holder, 10000);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::this_thread::sleep_for(3s);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
  }
  ASSERT_EQ(run.Wait(120s), 0) << run.Out() << run.Err();
  std::vector<velkan::test::TrayChip> chips;
  const auto found = AuditTrays(dir.path(), {db}, &chips);
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  EXPECT_EQ(PassLedChips(chips), 8);
  EXPECT_TRUE(Unknown(db).empty());
}

// The record file renamed or deleted under a running production: the
// station fails instead of writing into a file nobody will see.
TEST(ProduceFaults, TheRecordFileGoingAwayStopsTheStations) {
  for (const bool deleted : {false, true}) {
    TempDir dir;
    const std::string db = (dir.path() / "p.db").string();
    Process run(dir.path(), Fed(dir.path(), 1) + "--log p.db " + kSerial);
    ASSERT_TRUE(WaitRows(db, 2)) << run.Err();
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const fs::path from = db + suffix;
      std::error_code ec;
      if (deleted) {
        fs::remove(from, ec);
      } else {
        fs::rename(from, (dir.path() / "moved.db").string() + suffix, ec);
      }
    }
    const int code = run.Wait(60s);
    EXPECT_EQ(code, 1) << run.Out() << run.Err();
    EXPECT_NE(run.Err().find("deleted, moved or replaced"), std::string::npos) << run.Err();
    EXPECT_FALSE(fs::exists(db)) << "no new record in its place";
    if (!deleted) {
      // Everything that left as passed is in the file where it went.
      const auto found = AuditTrays(dir.path(), {(dir.path() / "moved.db").string()});
      EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
    }
  }
}

// SIGTERM and SIGHUP finish the chip in progress, record it and print the
// summary; a second signal stops at once without a pass that is not recorded.
TEST(ProduceFaults, StopSignalsFinishTheChipAndASecondStopsAtOnce) {
  for (const int sig : {SIGTERM, SIGHUP}) {
    TempDir dir;
    const std::string db = (dir.path() / "p.db").string();
    Process run(dir.path(), Fed(dir.path(), 2, true) + "--log p.db " + kSerial);
    ASSERT_TRUE(WaitRows(db, 1)) << run.Err();
    std::this_thread::sleep_for(1500ms);  // in the middle of the next chips
    run.Signal(sig);
    EXPECT_EQ(run.Wait(60s), 0) << run.Out() << run.Err();
    EXPECT_NE(run.Out().find("== total: passed"), std::string::npos) << run.Out();
    EXPECT_TRUE(Unknown(db).empty());
    const auto found = AuditTrays(dir.path(), {db});
    EXPECT_TRUE(found.empty()) << sig << ::testing::PrintToString(found);
  }
  TempDir dir;
  const std::string db = (dir.path() / "p.db").string();
  Process run(dir.path(), Fed(dir.path(), 2, true) + "--log p.db " + kSerial);
  ASSERT_TRUE(WaitRows(db, 1)) << run.Err();
  std::this_thread::sleep_for(1500ms);
  run.Signal(SIGTERM);
  std::this_thread::sleep_for(100ms);
  run.Signal(SIGTERM);
  EXPECT_NE(run.Wait(10s), -1);
  EXPECT_EQ(run.Out().find("== total"), std::string::npos) << run.Out();
  const auto found = AuditTrays(dir.path(), {db});
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

// kill -9 at random moments of a two-station production, each followed by
// a restart: no number on two chips, no pass LED without a pass row, every
// unsettled number listed as unknown.
TEST(ProduceFaults, RandomKillNineAndRestart) {
  int rounds = 50;
  if (const char* env = std::getenv("VELKAN_KILL_ROUNDS")) rounds = std::max(1, std::atoi(env));
  TempDir dir;
  const std::string db = (dir.path() / "p.db").string();
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> moment(200, 4500);
  for (int i = 0; i < rounds; ++i) {
    Process run(dir.path(), Fed(dir.path(), 2, true) + "--log p.db " + kSerial);
    ASSERT_TRUE(run.Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    run.Signal(SIGKILL);
    EXPECT_NE(run.Wait(10s), -1);
  }
  std::vector<velkan::test::TrayChip> chips;
  const auto found = AuditTrays(dir.path(), {db}, &chips);
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  std::cout << "[ kill -9 ] " << rounds << " kills: " << PassLedChips(chips) << " passed chips, "
            << Unknown(db).size() << " unknown numbers, " << chips.size()
            << " chips in the trays\n";
}

TEST(ProduceFaults, SerialFilesAndHexInput) {
  TempDir dir;
  // A copy of a serial file under another name continues where it was.
  std::ofstream(dir.path() / "lot.txt") << "A1A1A1A1\nA2A2A2A2\nA3A3A3A3\nA4A4A4A4\n";
  fs::create_directory(dir.path() / "other");
  fs::copy_file(dir.path() / "lot.txt", dir.path() / "other" / "renamed.txt");
  const std::string fileArgs = "--count 1 --log p.db --serial-at 9FF0 --serial-file ";
  Result r = Velkan(dir.path(), Fed(dir.path(), 1) + fileArgs + "lot.txt");
  ASSERT_EQ(r.code, 0) << r.err;
  r = Velkan(dir.path(), Fed(dir.path(), 1) + fileArgs + "other/renamed.txt");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("serial A2A2A2A2"), std::string::npos) << r.out;
  const auto found = AuditTrays(dir.path(), {(dir.path() / "p.db").string()});
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);

  // Refused before anything is sent, with a message.
  std::ofstream(dir.path() / "dup.txt") << "01\n02\n01\n";
  r = Velkan(dir.path(), "--emulator produce " + kHex + " --serial-at 9FF0 --serial-file dup.txt");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
  r = Velkan(dir.path(), "--emulator produce " + kHex + " --serial-at 9FF0 --serial-file other");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;

  // Eight-byte numbers in both byte orders.
  for (const char* form : {"be", "le"}) {
    r = Velkan(dir.path(),
               "--emulator=" + (dir.path() / form).string() + " produce " + kHex + " --log " +
                   form +
                   ".db --serial-at 9FF0 --serial-bytes 8"
                   " --serial-start 0102030405060708 --serial-format " +
                   form,
               "\n");
    EXPECT_EQ(r.code, 0) << form << r.err << r.out;
    const auto rows = Rows((dir.path() / (std::string(form) + ".db")).string());
    ASSERT_EQ(rows.size(), 1u) << form;
    EXPECT_EQ(rows[0].chipSerial, "0102030405060708");
  }

  // The HEX file is read once: from a pipe, hashed as read.
  r = Velkan(dir.path(),
             "--emulator=" + (dir.path() / "pipe").string() +
                 " --emulator-feeder produce "
                 "/dev/stdin --next auto --count 1 --log pipe.db",
             ReadFile(kHex));
  ASSERT_EQ(r.code, 0) << r.err;
  const auto piped = Rows((dir.path() / "pipe.db").string());
  ASSERT_EQ(piped.size(), 1u);
  std::string expected;
  {
    FILE* p = ::popen(("sha256sum " + Quote(kHex)).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buffer[80] = {};
    if (std::fgets(buffer, sizeof buffer, p)) expected.assign(buffer, 64);
    ::pclose(p);
  }
  EXPECT_EQ(piped[0].hexSha256, expected);

  // A HEX file without data programs nothing.
  std::ofstream(dir.path() / "empty.hex") << ":00000001FF\n";
  r = Velkan(dir.path(), "--emulator produce empty.hex --log e.db", "\n");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("no data in the HEX file"), std::string::npos) << r.err;
}

// `velkan log` reads and never writes; JSON output is JSON Lines.
TEST(ProduceFaults, LogIsReadOnlyAndSpeaksJsonLines) {
  TempDir dir;
  std::ofstream(dir.path() / "zero.db");
  Result r = Velkan(dir.path(), "log zero.db");
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(fs::file_size(dir.path() / "zero.db"), 0u);

  r = Velkan(dir.path(), Fed(dir.path(), 2) + "--count 2 --log p.db " + kSerial);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string before = ReadFile(dir.path() / "p.db");
  r = Velkan(dir.path(), "--json log p.db");
  ASSERT_EQ(r.code, 0) << r.err;
  std::map<std::string, int> kinds;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << line;
    ++kinds[j.value("kind", "")];
    if (j["kind"] == "total") {
      EXPECT_EQ(j["passed"], 4);
      EXPECT_EQ(j["unknownNumbers"], 0);
    }
  }
  EXPECT_EQ(kinds,
            (std::map<std::string, int>{{"hex", 1}, {"job", 1}, {"station", 2}, {"total", 1}}));
  r = Velkan(dir.path(), "--json log p.db --rows");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);
  EXPECT_NE(r.out.find("\"chip_serial\":\"00000100\""), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir.path() / "p.db"), before);
}

}  // namespace
