// The tray audit itself: trays read back from a folder of emulators, and
// each disagreement with the record found once.
#include "tray_audit.h"

#include <gtest/gtest.h>

#include <fstream>

#include "temp_dir.h"

namespace velkan::test {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Line(int chip, const std::string& serial, int led, bool fused = false) {
  return "{\"chip\":" + std::to_string(chip) + ",\"flashSha256\":\"" + std::string(64, 'a') + "\"" +
         (serial.empty() ? "" : ",\"serialHex\":\"" + serial + "\"") +
         ",\"fused\":" + (fused ? "true" : "false") + ",\"led\":" + std::to_string(led) + "}\n";
}

TEST(TrayAuditTest, ReadsEveryTrayInPathAndLineOrder) {
  TempDir dir;
  WriteFile(dir.path() / "EMU0002" / "tray.jsonl", Line(1, "00000102", 2));
  WriteFile(dir.path() / "EMU0001" / "tray.jsonl", Line(1, "00000100", 2, true) + Line(2, "", 1));
  WriteFile(dir.path() / "EMU0001" / "state.json", "{}");
  std::vector<TrayChip> chips;
  std::string error;
  ASSERT_TRUE(ReadTrays(dir.path(), chips, error)) << error;
  ASSERT_EQ(chips.size(), 3u);
  EXPECT_EQ(chips[0].tray, (dir.path() / "EMU0001" / "tray.jsonl").string());
  EXPECT_EQ(chips[0].chip, 1);
  EXPECT_EQ(chips[0].serialHex, "00000100");
  EXPECT_TRUE(chips[0].fused);
  EXPECT_EQ(chips[0].led, 2);
  EXPECT_EQ(chips[0].flashSha256, std::string(64, 'a'));
  EXPECT_EQ(chips[1].chip, 2);
  EXPECT_FALSE(chips[1].serialHex);
  EXPECT_EQ(chips[2].tray, (dir.path() / "EMU0002" / "tray.jsonl").string());

  // A malformed line is named by file and line.
  WriteFile(dir.path() / "EMU0002" / "tray.jsonl", Line(1, "00000102", 2) + "{\"chip\":2}\n");
  EXPECT_FALSE(ReadTrays(dir.path(), chips, error));
  EXPECT_NE(error.find("EMU0002/tray.jsonl:2:"), std::string::npos) << error;
  WriteFile(dir.path() / "EMU0002" / "tray.jsonl", Line(1, "00000102", 2) + "{\"chip\":");
  EXPECT_FALSE(ReadTrays(dir.path(), chips, error));
  EXPECT_NE(error.find("tray.jsonl:2:"), std::string::npos) << error;
  EXPECT_FALSE(ReadTrays(dir.path() / "absent", chips, error));
  EXPECT_NE(error.find("absent"), std::string::npos) << error;
}

TrayChip Chip(const std::string& tray, int n, std::optional<std::string> serial, int led) {
  TrayChip c;
  c.tray = tray;
  c.chip = n;
  c.serialHex = std::move(serial);
  c.led = led;
  return c;
}

// One violation each, and none where trays and record agree.
TEST(TrayAuditTest, FindsEachDisagreementOnce) {
  const std::vector<TrayChip> good = {Chip("A", 1, "00000100", 2), Chip("A", 2, "FFFFFFFF", 1),
                                      Chip("B", 1, "00000101", 2), Chip("B", 2, "FFFFFFFF", 1)};
  AuditRecord record{{"00000100", "00000101"}, {}};
  EXPECT_TRUE(Audit(good, record).empty());
  EXPECT_TRUE(Audit(good, {{"00000100", "00000101"}, {"00000102"}}).empty());

  auto one = [](const std::vector<TrayChip>& chips, const AuditRecord& r,
                const std::vector<std::string>& words) {
    const auto found = Audit(chips, r);
    ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
    for (const auto& w : words) EXPECT_NE(found[0].find(w), std::string::npos) << found[0];
  };
  // A pass with no row, and one with two rows.
  one(good, {{"00000100"}, {}}, {"B chip 1", "00000101", "0 pass rows (1 expected)"});
  one(good, {{"00000100", "00000101", "00000101"}, {}}, {"B chip 1", "00000101", "2 pass rows"});
  // An invented pass: on a failed chip, or on none.
  one({Chip("A", 1, "00000100", 1)}, {{"00000100"}, {}}, {"00000100", "A chip 1 with LED 1"});
  one({}, {{"00000109"}, {}}, {"00000109", "no chip"});
  // A pass-LED chip without a number.
  one({Chip("A", 1, std::nullopt, 2)}, {}, {"A chip 1", "without a number"});
  // One number on two pass-LED chips (and on two pass rows: no other finding).
  one({Chip("A", 1, "00000100", 2), Chip("B", 4, "00000100", 2)}, {{"00000100", "00000100"}, {}},
      {"two chips", "A chip 1", "B chip 4", "00000100"});
  // One number on a passed and a failed chip, unless the record calls it
  // unknown; letter case does not matter.
  const std::vector<TrayChip> twice = {Chip("A", 1, "0000010a", 2), Chip("A", 2, "0000010A", 1)};
  one(twice, {{"0000010A"}, {}}, {"0000010A", "A chip 1", "A chip 2 (LED 1)", "unknown"});
  EXPECT_TRUE(Audit(twice, {{"0000010a"}, {"0000010a"}}).empty());
}

}  // namespace
}  // namespace velkan::test
