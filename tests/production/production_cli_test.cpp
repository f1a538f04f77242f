// `velkan produce` and `velkan log` end to end: the built binary against
// emulated programmers with the feeder, the record read back through the
// store; kill -9 in the middle of a run and a restart; the operator's lines
// on standard input; bad options and files; a PostgreSQL log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "pg_server.h"
#include "production/record_store.h"
#include "temp_dir.h"
#include "tray_audit.h"

namespace {

namespace fs = std::filesystem;
using velkan::production::ChipRecord;
using velkan::test::TempDir;

const std::string kCli = VELKAN_CLI_PATH;
const std::string kHex = std::string(VELKAN_EXAMPLES_DIR) + "/full-app.hex";

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `velkan ARGS` in the shell (stdin from /dev/null unless `input`).
Result Velkan(const TempDir& dir, const std::string& args, const std::string& input = "") {
  const std::string out = dir / "out.txt", err = dir / "err.txt";
  std::string cmd = "cd '" + dir.path().string() + "' && ";
  if (!input.empty()) {
    std::ofstream(dir / "in.txt", std::ios::binary) << input;
    cmd += "timeout 120 " + kCli + " " + args + " < in.txt";
  } else {
    cmd += "timeout 120 " + kCli + " " + args + " < /dev/null";
  }
  const int rc = std::system((cmd + " > '" + out + "' 2> '" + err + "'").c_str());
  return {(rc >> 8) & 0xFF, ReadFile(out), ReadFile(err)};  // the shell's exit status
}

std::vector<ChipRecord> Rows(const std::string& log) {
  std::string error;
  auto store =
      velkan::production::OpenRecordStore(log, velkan::production::StoreMode::kReadOnly, error);
  EXPECT_TRUE(store) << error;
  std::vector<ChipRecord> rows;
  if (store) {
    EXPECT_TRUE(store->Rows("", rows, error)) << error;
  }
  return rows;
}

std::string FlashSerial(const TempDir& dir, const std::string& station) {
  const std::string flash = ReadFile(dir / (station + "/flash.bin"));
  if (flash.size() != 32768) return "no flash";
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", static_cast<unsigned char>(flash[0x7FF0]),
                static_cast<unsigned char>(flash[0x7FF1]),
                static_cast<unsigned char>(flash[0x7FF2]),
                static_cast<unsigned char>(flash[0x7FF3]));
  return text;
}

const std::string kSerialOptions = "--serial-at 9FF0 --serial-start 00000100 --serial-bytes 4";

// Every row whole: the columns a killed writer could have left empty are not.
void ExpectWholeRows(const std::vector<ChipRecord>& rows) {
  for (const ChipRecord& r : rows) {
    EXPECT_EQ(r.timeUtc.size(), 24u);
    EXPECT_FALSE(r.stationSerial.empty());
    EXPECT_EQ(r.hexName, "full-app.hex");
    EXPECT_EQ(r.hexSha256.size(), 64u);
    EXPECT_EQ(r.imageCrc.size(), 4u);
    EXPECT_EQ(r.result, velkan::production::ChipResult::kPass);
    EXPECT_TRUE(r.chipSerial.has_value());
  }
}

TEST(ProduceCli, TwoFedStationsProgramThreeChipsEachWithSerialNumbers) {
  TempDir dir;
  const Result r = Velkan(dir, "--emulator=" + dir.path().string() +
                                   " --emulators 2 --emulator-feeder produce " + kHex +
                                   " --next auto --count 3 --log p.db " + kSerialOptions);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const auto rows = Rows(dir / "p.db");
  ASSERT_EQ(rows.size(), 6u);
  ExpectWholeRows(rows);
  std::multiset<std::string> serials;
  std::map<std::string, std::string> last;  // station -> its last chip's number
  for (const ChipRecord& row : rows) {
    serials.insert(*row.chipSerial);
    last[row.stationSerial] = *row.chipSerial;
    EXPECT_EQ(row.toolVersion, "2.0.0.6");
    EXPECT_EQ(row.stationPort, row.stationSerial == "EMU0001" ? "emu-1" : "emu-2");
  }
  EXPECT_EQ(serials, (std::multiset<std::string>{"00000100", "00000101", "00000102", "00000103",
                                                 "00000104", "00000105"}));
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(FlashSerial(dir, "EMU0001"), last["EMU0001"]);
  EXPECT_EQ(FlashSerial(dir, "EMU0002"), last["EMU0002"]);
  EXPECT_NE(r.out.find("== total: passed 6  failed 0  yield 100.0%"), std::string::npos) << r.out;

  // The log: counters per station and per file, and the rows as CSV.
  const Result log = Velkan(dir, "log p.db");
  ASSERT_EQ(log.code, 0) << log.err;
  EXPECT_NE(log.out.find("EMU0001  emu-1"), std::string::npos) << log.out;
  EXPECT_NE(log.out.find("passed 3  failed 0  yield 100.0%"), std::string::npos) << log.out;
  EXPECT_NE(log.out.find("full-app.hex"), std::string::npos) << log.out;
  const Result csv = Velkan(dir, "log p.db --csv");
  ASSERT_EQ(csv.code, 0) << csv.err;
  EXPECT_EQ(csv.out.substr(0, csv.out.find('\n')),
            "time_utc,station_serial,station_port,tool_version,hex_name,hex_sha256,image_crc,"
            "fuse,chip_serial,result,run_result,detail,duration_ms,attempt,job_id,data_sha256");
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 7);
  const Result later = Velkan(dir, "log p.db --since 2999-01-01 --csv");
  EXPECT_EQ(std::count(later.out.begin(), later.out.end(), '\n'), 1);
  EXPECT_EQ(Velkan(dir, "log p.db --since yesterday").code, 2);
}

// The feeders' trays hold every chip that left a socket, each passed one
// with the number its pass row carries.
TEST(ProduceCli, FeederTraysAgreeWithTheRecord) {
  TempDir dir;
  Result r =
      Velkan(dir, "--emulator=" + dir.path().string() +
                      " --emulators 2 --emulator-feeder --emulator-tray-serial 0x9FF0:4 produce " +
                      kHex + " --next auto --count 2 --log p.db " + kSerialOptions);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  // The last chip of each station is still in its socket.
  std::string error;
  ASSERT_TRUE(
      velkan::test::TakeOutLeftChips(dir.path(), std::make_pair(0x9FF0u, std::size_t{4}), error))
      << error;
  std::vector<velkan::test::TrayChip> chips;
  ASSERT_TRUE(velkan::test::ReadTrays(dir.path(), chips, error)) << error;
  velkan::test::AuditRecord record;
  for (const ChipRecord& row : Rows(dir / "p.db")) {
    if (row.result == velkan::production::ChipResult::kPass)
      record.passSerialHex.push_back(row.chipSerial.value_or(""));
  }
  EXPECT_EQ(record.passSerialHex.size(), 4u);
  const auto found = velkan::test::Audit(chips, record);
  EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
  std::map<std::string, int> passedPerTray;
  for (const auto& c : chips)
    passedPerTray[fs::path(c.tray).parent_path().filename().string()] += c.led == 2;
  EXPECT_EQ(passedPerTray, (std::map<std::string, int>{{"EMU0001", 2}, {"EMU0002", 2}}));

  // A pass row no chip carries is found.
  record.passSerialHex.push_back("00000200");
  EXPECT_EQ(velkan::test::Audit(chips, record).size(), 1u);

  r = Velkan(dir, "--emulator --emulator-feeder --emulator-tray-serial 9FFF:2 produce " + kHex);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--emulator-tray-serial: expected ADDR:K"), std::string::npos) << r.err;
  r = Velkan(dir, "--emulator --emulator-tray-serial 9FF0:4 produce " + kHex);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("requires --emulator-feeder"), std::string::npos) << r.err;
}

TEST(ProduceCli, KillNineLeavesWholeRowsAndARestartContinuesTheNumbers) {
  TempDir dir;
  const std::string args = "--emulator=" + dir.path().string() +
                           " --emulators 2 --emulator-feeder produce " + kHex +
                           " --next auto --log p.db " + kSerialOptions;
  // No count: it runs until killed.
  const std::string pidFile = dir / "pid";
  std::system(("cd '" + dir.path().string() + "' && { " + kCli + " " + args +
               " < /dev/null > run.out 2>&1 & echo $! > '" + pidFile + "'; }")
                  .c_str());
  const std::string pid = ReadFile(pidFile);
  ASSERT_FALSE(pid.empty());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  std::size_t seen = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(dir / "p.db")) {
      std::string error;
      if (auto store = velkan::production::OpenRecordStore(
              dir / "p.db", velkan::production::StoreMode::kReadOnly, error)) {
        std::vector<ChipRecord> rows;
        if (store->Rows("", rows, error)) seen = rows.size();
      }
    }
    if (seen >= 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // In the middle of the next chips.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  std::system(("kill -9 " + pid).c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_GE(seen, 3u) << ReadFile(dir / "run.out");

  const auto before = Rows(dir / "p.db");
  ASSERT_GE(before.size(), 3u);
  ExpectWholeRows(before);

  const Result again = Velkan(dir, args + " --count 2");
  ASSERT_EQ(again.code, 0) << again.out << again.err;
  const auto after = Rows(dir / "p.db");
  ASSERT_EQ(after.size(), before.size() + 4);
  ExpectWholeRows(after);
  // Every number once; the numbers of the chips in progress at the kill
  // are not given again but listed as unknown, and they fill the gaps.
  std::set<long> numbers;
  for (const ChipRecord& r : after) {
    EXPECT_TRUE(numbers.insert(std::stol(*r.chipSerial, nullptr, 16)).second) << *r.chipSerial;
  }
  const Result unknown = Velkan(dir, "log p.db --unknown");
  ASSERT_EQ(unknown.code, 0) << unknown.err;
  std::istringstream lines(unknown.out);
  std::string line;
  int unknownCount = 0;
  while (std::getline(lines, line)) {
    const std::string hex = line.substr(line.find('\t') + 1, 8);
    EXPECT_TRUE(numbers.insert(std::stol(hex, nullptr, 16)).second) << line;
    ++unknownCount;
  }
  EXPECT_LE(unknownCount, 2) << unknown.out;  // at most one chip per station
  long expected = 0x100;
  for (long n : numbers) EXPECT_EQ(n, expected++) << "no gap beside the unknown numbers";
}

TEST(ProduceCli, EachLineOfInputIsTheNextChipAndTheEndOfInputStops) {
  TempDir dir;
  const Result r =
      Velkan(dir, "--emulator=" + dir.path().string() + " produce " + kHex + " --log p.db", "\n\n");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const auto rows = Rows(dir / "p.db");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].result, velkan::production::ChipResult::kPass);
  EXPECT_FALSE(rows[0].chipSerial.has_value());
  EXPECT_NE(r.out.find("(stopped)"), std::string::npos) << r.out;
}

TEST(ProduceCli, BadOptionsAndFilesAreRefusedBeforeAnythingIsSent) {
  TempDir dir;
  const std::string emu = "--emulator=" + dir.path().string() + " ";
  Result r = Velkan(dir, emu + "produce " + kHex + " --serial-at 1000 --serial-start 1");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("APP region"), std::string::npos) << r.err;
  r = Velkan(dir, emu + "produce " + kHex + " --serial-start 1");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--serial-at"), std::string::npos) << r.err;
  std::ofstream(dir / "serials.txt") << "0102\nnot hex\n";
  r = Velkan(dir, emu + "produce " + kHex + " --serial-at 4000 --serial-file serials.txt");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  std::ofstream(dir / "notes.db") << "this is not a database, only some text\n";
  r = Velkan(dir, emu + "produce " + kHex + " --next auto --log notes.db");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("not a database"), std::string::npos) << r.err;
  r = Velkan(dir, emu + "produce missing.hex --log p.db");
  EXPECT_EQ(r.code, 2);
  r = Velkan(dir, emu + "produce " + kHex + " --fuse --log p.db");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "p.db"));
  r = Velkan(dir, "log missing.db");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("no such file"), std::string::npos) << r.err;
  r = Velkan(dir, "log notes.db");
  EXPECT_EQ(r.code, 2);
}

TEST(ProduceCli, PostgresLogGetsTheSameRows) {
  velkan::test::PgServer server;
  VELKAN_START_PG(server);
  TempDir dir;
  const Result r = Velkan(
      dir, "--emulator=" + dir.path().string() + " --emulators 2 --emulator-feeder produce " +
               kHex + " --next auto --count 1 --log '" + server.Uri() + "' " + kSerialOptions);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const auto rows = Rows(server.Uri());
  ASSERT_EQ(rows.size(), 2u);
  ExpectWholeRows(rows);
  std::set<std::string> serials{*rows[0].chipSerial, *rows[1].chipSerial};
  EXPECT_EQ(serials, (std::set<std::string>{"00000100", "00000101"}));
  const Result log = Velkan(dir, "log '" + server.Uri() + "' --csv");
  ASSERT_EQ(log.code, 0) << log.err;
  EXPECT_EQ(std::count(log.out.begin(), log.out.end(), '\n'), 3);
}

}  // namespace
