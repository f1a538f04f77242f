// Sealed jobs end to end: `velkan job` and `velkan produce --job` on
// emulated programmers with the feeder, checked against what left the
// sockets (the trays): the count limit over two stations and a restart, the
// owner's HMAC generator's keys on the chips, refused jobs that program
// nothing, generator faults that fail a chip before anything is written,
// and the signed manifest checked by OpenSSL's command line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include <nlohmann/json.hpp>

#include "common/sha256.h"
#include "production/record_store.h"
#include "temp_dir.h"
#include "tray_audit.h"

namespace {

namespace fs = std::filesystem;
using velkan::production::ChipRecord;
using velkan::test::TempDir;
using velkan::test::TrayChip;

const std::string kCli = VELKAN_CLI_PATH;
const std::string kExamples = VELKAN_EXAMPLES_DIR;
const std::string kHex = kExamples + "/full-app.hex";
const std::string kGenerator = "python3 " + kExamples + "/chip-data-hmac/chip-data-hmac.py";
const std::string kMaster = "00112233445566778899aabbccddeeff0102030405060708";
const auto kTraySerial = std::make_pair(0x9FF0u, std::size_t{4});

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs a shell command line in `dir` to its end (bounded), input from /dev/null.
Result Shell(const fs::path& dir, const std::string& line) {
  const fs::path out = dir / "cmd.out", err = dir / "cmd.err";
  const int rc = std::system(("cd " + Quote(dir.string()) +
                              " && CHIP_DATA_MASTER=" + Quote((dir / "master.hex").string()) +
                              " timeout 300 " + line + " < /dev/null > " + Quote(out.string()) +
                              " 2> " + Quote(err.string()))
                                 .c_str());
  return {WEXITSTATUS(rc), ReadFile(out), ReadFile(err)};
}

Result Velkan(const fs::path& dir, const std::string& args) {
  return Shell(dir, kCli + " " + args);
}

// `produce` on `stations` emulated programmers with the feeder; the trays
// carry the serial number and the 16 bytes at 0x9000.
std::string Fed(const fs::path& emu, int stations) {
  return "--emulator=" + emu.string() + " --emulators " + std::to_string(stations) +
         " --emulator-feeder --emulator-tray-serial 0x9FF0:4 --emulator-tray-data 0x9000:16"
         " produce --next auto ";
}

std::vector<ChipRecord> Rows(const std::string& db) {
  std::string error;
  std::vector<ChipRecord> rows;
  if (auto store = velkan::production::OpenRecordStore(db, velkan::production::StoreMode::kReadOnly,
                                                       error)) {
    store->Rows("", rows, error);
  }
  return rows;
}

std::vector<TrayChip> Trays(const fs::path& emu) {
  std::string error;
  std::vector<TrayChip> chips;
  EXPECT_TRUE(velkan::test::TakeOutLeftChips(emu, kTraySerial, error)) << error;
  if (fs::exists(emu)) {
    EXPECT_TRUE(velkan::test::ReadTrays(emu, chips, error)) << error;
  }
  return chips;
}

std::vector<const TrayChip*> Passed(const std::vector<TrayChip>& chips) {
  std::vector<const TrayChip*> passed;
  for (const TrayChip& c : chips) {
    if (c.led == velkan::test::kPassLed) passed.push_back(&c);
  }
  return passed;
}

std::string Bytes(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// HMAC-SHA-256 (RFC 2104) of the serial number's bytes under the master
// secret, its first 16 bytes in upper-case hex: the key the generator derives.
std::string ExpectedKey(const std::string& serialHex) {
  std::string key = Bytes(kMaster);
  key.resize(64, '\0');
  std::string inner, outer;
  for (char c : key) {
    inner += static_cast<char>(c ^ 0x36);
    outer += static_cast<char>(c ^ 0x5c);
  }
  const auto innerHash = velkan::Sha256(inner + Bytes(serialHex));
  const auto mac =
      velkan::Sha256(outer + std::string(reinterpret_cast<const char*>(innerHash.data()), 32));
  static const char* kDigits = "0123456789ABCDEF";
  std::string hex;
  for (int i = 0; i < 16; ++i) {
    hex += kDigits[mac[i] >> 4];
    hex += kDigits[mac[i] & 15];
  }
  return hex;
}

class SealedJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("openssl version > /dev/null 2>&1") != 0 ||
        std::system("python3 -c 'import hmac' > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "openssl or python3 missing";
    }
    WriteFile(dir_.path() / "master.hex", kMaster + "\n");
    ASSERT_EQ(Shell(dir_.path(), "openssl genpkey -algorithm ed25519 -out owner.pem").code, 0);
    ASSERT_EQ(Shell(dir_.path(), "openssl pkey -in owner.pem -pubout -out owner.pub").code, 0);
    ASSERT_EQ(Shell(dir_.path(), "openssl genpkey -algorithm ed25519 -out other.pem").code, 0);
  }

  // A job of the example with a limit, made and (when `sign`) signed.
  std::string MakeJob(const std::string& name, int limit, bool sign) {
    const Result made =
        Velkan(dir_.path(), "job create " + name + " " + kHex +
                                " --name lot --serial-at 9FF0 --serial-start 00000100"
                                " --count-limit " +
                                std::to_string(limit) + " --chip-data " + Quote(kGenerator));
    EXPECT_EQ(made.code, 0) << made.err;
    if (sign) {
      const Result s = Velkan(dir_.path(), "job sign " + name + " --key owner.pem");
      EXPECT_EQ(s.code, 0) << s.err;
    }
    return made.out.substr(0, 64);
  }

  TempDir dir_;
};

TEST_F(SealedJobTest, TwoStationsStopAtTheJobsLimitWithTheOwnersKeysOnTheChips) {
  const std::string id = MakeJob("lot.vjob", 7, true);
  ASSERT_EQ(id.size(), 64u);
  const fs::path emu = dir_.path() / "emu";
  const std::string run =
      Fed(emu, 2) + "--job lot.vjob --trusted-key owner.pub --log rec.db --stop-after-failures 0";
  const Result first = Velkan(dir_.path(), run);
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_NE(first.out.find("job limit reached"), std::string::npos) << first.out;

  // Exactly 7 chips left with the pass LED, each with its own key: the
  // HMAC of its serial number.
  const std::vector<TrayChip> chips = Trays(emu);
  const auto passed = Passed(chips);
  ASSERT_EQ(passed.size(), 7u);
  std::set<std::string> keys, serials;
  for (const TrayChip* c : passed) {
    ASSERT_TRUE(c->serialHex && c->dataHex) << c->tray << " chip " << c->chip;
    EXPECT_EQ(Upper(*c->dataHex), ExpectedKey(*c->serialHex)) << "serial " << *c->serialHex;
    keys.insert(*c->dataHex);
    serials.insert(*c->serialHex);
  }
  EXPECT_EQ(keys.size(), 7u);
  EXPECT_EQ(serials.size(), 7u);

  // The rows: the job's id and the hash of each chip's data, never the data.
  std::vector<ChipRecord> rows = Rows((dir_.path() / "rec.db").string());
  int passRows = 0;
  for (const ChipRecord& r : rows) {
    EXPECT_EQ(r.jobId, id);
    if (!velkan::production::IsPass(r.result)) continue;
    ++passRows;
    ASSERT_TRUE(r.chipSerial);
    EXPECT_EQ(r.dataSha256, velkan::Sha256Hex("9000:" + ExpectedKey(*r.chipSerial) + "\n"));
    EXPECT_EQ(ReadFile(dir_.path() / "rec.db").find(ExpectedKey(*r.chipSerial)), std::string::npos)
        << "the record holds a chip's key";
  }
  EXPECT_EQ(passRows, 7);

  // A restart adds no chip.
  const Result again = Velkan(dir_.path(), run);
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("limit of 7 passed chips is reached"), std::string::npos) << again.out;
  EXPECT_EQ(Passed(Trays(emu)).size(), 7u);
  EXPECT_EQ(Rows((dir_.path() / "rec.db").string()).size(), rows.size());

  // `log` counts per job; the signed manifest holds the 7 chips and
  // OpenSSL checks its signature with the public key.
  const Result log = Velkan(dir_.path(), "--json log rec.db");
  EXPECT_NE(log.out.find("\"jobId\":\"" + id + "\",\"kind\":\"job\",\"notReached\":0,\"passed\":7"),
            std::string::npos)
      << log.out;
  const Result manifest =
      Velkan(dir_.path(), "log rec.db --manifest --job lot.vjob --key owner.pem");
  ASSERT_EQ(manifest.code, 0) << manifest.err;
  WriteFile(dir_.path() / "m.jsonl", manifest.out);
  const std::size_t last = manifest.out.rfind('\n', manifest.out.size() - 2);
  const std::string body = manifest.out.substr(0, last + 1);
  EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 7);
  const auto signature = nlohmann::json::parse(manifest.out.substr(last + 1));
  WriteFile(dir_.path() / "sig", Bytes(signature["signature"].get<std::string>()));
  const auto digest = velkan::Sha256(body);
  WriteFile(dir_.path() / "digest", std::string(reinterpret_cast<const char*>(digest.data()), 32));
  const std::string verify =
      "openssl pkeyutl -verify -pubin -inkey owner.pub -rawin -in digest -sigfile sig";
  EXPECT_EQ(Shell(dir_.path(), verify).code, 0) << Shell(dir_.path(), verify).out;
  // A changed line does not verify.
  std::string changed = body;
  changed[changed.find("\"serial\":\"") + 10] ^= 1;
  const auto changedDigest = velkan::Sha256(changed);
  WriteFile(dir_.path() / "digest",
            std::string(reinterpret_cast<const char*>(changedDigest.data()), 32));
  EXPECT_NE(Shell(dir_.path(), verify).code, 0);
}

TEST_F(SealedJobTest, EditedUnsignedAndForeignJobsProgramNothing) {
  MakeJob("signed.vjob", 3, true);
  MakeJob("unsigned.vjob", 3, false);
  // One HEX byte changed, the id left as it was.
  std::string text = ReadFile(dir_.path() / "signed.vjob");
  const std::size_t at = text.find(":10");
  ASSERT_NE(at, std::string::npos);
  text[at + 10] = text[at + 10] == '0' ? '1' : '0';
  WriteFile(dir_.path() / "edited.vjob", text);
  // The same change with the id made anew: only the signature tells.
  auto j = nlohmann::json::parse(text);
  j.erase("id");
  auto signature = j["signature"];
  j.erase("signature");
  j["id"] = velkan::Sha256Hex(j.dump());
  j.erase("id");
  const std::string newId = velkan::Sha256Hex(j.dump());
  j["id"] = newId;
  j["signature"] = signature;
  WriteFile(dir_.path() / "resealed.vjob", j.dump(2));
  ASSERT_EQ(Velkan(dir_.path(),
                   "job create foreign.vjob " + kHex + " --serial-at 9FF0 --serial-start 00000100")
                .code,
            0);
  ASSERT_EQ(Velkan(dir_.path(), "job sign foreign.vjob --key other.pem").code, 0);

  const struct {
    const char* job;
    bool trusted;
    const char* says;
  } cases[] = {
      {"edited.vjob", false, "changed after it was made"},
      {"resealed.vjob", false, "changed after it was signed"},
      {"unsigned.vjob", true, "not signed"},
      {"foreign.vjob", true, "signed by another key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.job);
    const fs::path emu = dir_.path() / (std::string("emu-") + c.job);
    const Result r =
        Velkan(dir_.path(), Fed(emu, 1) + "--job " + c.job +
                                (c.trusted ? " --trusted-key owner.pub" : "") + " --log rec.db");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was programmed"), std::string::npos) << r.err;
    EXPECT_TRUE(Passed(Trays(emu)).empty());
    for (const TrayChip& chip : Trays(emu)) EXPECT_EQ(chip.serialHex, "FFFFFFFF");
    EXPECT_FALSE(fs::exists(dir_.path() / "rec.db"));
  }
  // verify says the same.
  EXPECT_NE(Velkan(dir_.path(), "job verify edited.vjob").code, 0);
  EXPECT_NE(Velkan(dir_.path(), "job verify unsigned.vjob --trusted-key owner.pub").code, 0);
  EXPECT_EQ(Velkan(dir_.path(), "job verify signed.vjob --trusted-key owner.pub").code, 0);
}

TEST_F(SealedJobTest, GeneratorFaultsFailTheChipBeforeAnythingIsWritten) {
  const struct {
    const char* name;
    std::string command;
    const char* says;
  } cases[] = {
      {"exit", "echo no key server >&2; exit 3", "exit status 3): no key server"},
      {"timeout", "sleep 20; echo 9000:AA", "took longer than 300 ms"},
      {"malformed", "echo 9000-AA", "malformed"},
      {"odd", "echo 9000:AAA", "malformed"},
      {"outside", "echo 1FFF:AA", "not inside the chip's region"},
      {"end", "echo 9FFF:AABB", "not inside the chip's region"},
      {"overlap", "echo 9000:AABBCC 9002:DD", "overlap"},
      {"serial", "echo 9FEE:AABBCC", "overlaps the serial number"},
      {"empty", "true", "no data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path emu = dir_.path() / (std::string("emu-") + c.name);
    const std::string db = (dir_.path() / (std::string(c.name) + ".db")).string();
    const Result r = Velkan(dir_.path(), Fed(emu, 1) + kHex +
                                             " --serial-at 9FF0 --serial-start 00000100"
                                             " --chip-data-timeout 300 --stop-after-failures 1"
                                             " --chip-data " +
                                             Quote(c.command) + " --log " + db);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out << r.err;
    const std::vector<ChipRecord> rows = Rows(db);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].result, velkan::production::ChipResult::kChipData);
    EXPECT_TRUE(rows[0].dataSha256.empty());
    // The chip left as blank as the fresh chip after it (the feeder's
    // last), with the fail LED; its number is given again.
    const std::vector<TrayChip> chips = Trays(emu);
    ASSERT_EQ(chips.size(), 2u);
    EXPECT_EQ(chips[0].led, 1);
    EXPECT_EQ(chips[0].serialHex, "FFFFFFFF");
    EXPECT_EQ(chips[0].flashSha256, chips[1].flashSha256);
    std::string error;
    std::vector<velkan::production::UnknownNumber> unknown;
    auto store =
        velkan::production::OpenRecordStore(db, velkan::production::StoreMode::kReadOnly, error);
    ASSERT_TRUE(store && store->Unknown(unknown, error)) << error;
    EXPECT_TRUE(unknown.empty());
  }
}

}  // namespace
