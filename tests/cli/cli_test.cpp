// Runs the built `velkan` binary against the emulated programmer, each test
// with a fresh state folder, and checks its output, exit codes and what the
// emulated chip and offline storage hold afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include "emulator/emulator.h"
#include "support/small_tmpfs.h"

namespace {

namespace fs = std::filesystem;

const std::string kCli = VELKAN_CLI_PATH;
const fs::path kExamples = VELKAN_EXAMPLES_DIR;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// The chip image of a HEX file of data (00), extended linear address (04)
// and end (01) records: 0xFF where the file has no data.
std::array<std::uint8_t, 32768> ImageOf(const fs::path& hex) {
  std::array<std::uint8_t, 32768> image;
  image.fill(0xFF);
  std::ifstream in(hex);
  std::string line;
  std::uint32_t base = 0;
  while (std::getline(in, line)) {
    if (line.size() < 11 || line[0] != ':') continue;
    auto byte = [&](std::size_t i) { return std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16); };
    const unsigned count = byte(0), type = byte(3);
    const std::uint32_t address = base + byte(1) * 256 + byte(2);
    if (type == 4) base = (byte(4) * 256 + byte(5)) << 16;
    if (type == 0) {
      for (unsigned k = 0; k < count; ++k) image.at(address - 0x2000 + k) = byte(4 + k);
    }
  }
  return image;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ =
        fs::temp_directory_path() / ("velkan-cli-" + std::to_string(rd()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    state_ = dir_ / "state";
    trace_ = dir_ / "trace.txt";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // `velkan --emulator=<state> --trace <trace> <args>`, stdin empty.
  Result Velkan(const std::string& args, bool emulator = true) {
    std::string cmd = Quote(kCli);
    if (emulator)
      cmd += " --emulator=" + Quote(state_.string()) + " --trace " + Quote(trace_.string());
    cmd += " " + args + " >" + Quote((dir_ / "out").string()) + " 2>" +
           Quote((dir_ / "err").string()) + " </dev/null";
    const int status = std::system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(dir_ / "out");
    r.err = ReadFile(dir_ / "err");
    return r;
  }

  // A shell command line as given (the tool's path quoted in front), with
  // stdout and stderr caught and stdin from a pipe that `pipeFrom` is
  // written into; stops after 120 s, so a hang fails the test instead of
  // blocking it.
  Result Shell(const std::string& args, const std::string& pipeFrom = "/dev/null") {
    const std::string cmd = "cat " + Quote(pipeFrom) + " | timeout 120 " + Quote(kCli) + " " +
                            args + " >" + Quote((dir_ / "out").string()) + " 2>" +
                            Quote((dir_ / "err").string());
    const int status = std::system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(dir_ / "out");
    r.err = ReadFile(dir_ / "err");
    return r;
  }
  std::string EmulatorArgs() { return "--emulator=" + Quote(state_.string()); }

  std::string Example(const char* name) { return Quote((kExamples / name).string()); }

  // What went to the programmer (one line per report).
  std::string Trace() { return ReadFile(trace_); }

  std::array<std::uint8_t, 32768> Flash() {
    const std::string bytes = ReadFile(state_ / "flash.bin");
    std::array<std::uint8_t, 32768> flash{};
    EXPECT_EQ(bytes.size(), flash.size());
    std::copy_n(bytes.begin(), std::min(bytes.size(), flash.size()), flash.begin());
    return flash;
  }

  // Every file of the emulator's state folder with its content.
  std::map<std::string, std::string> StateFiles() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(state_)) {
      files[entry.path().filename().string()] = ReadFile(entry.path());
    }
    return files;
  }

  fs::path dir_, state_, trace_;
};

constexpr const char* kProgramOk = "打开设备成功！\n联机编程...\n下载成功！\n";

TEST_F(CliTest, ScriptPrintsTheGeneratedLinesAndSendsNothing) {
  Result r = Velkan("script " + Example("small.hex"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "REBOOT");
  EXPECT_EQ(lines[1], "I-ADDR \t00");
  EXPECT_EQ(lines[2], "I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF");
  EXPECT_EQ(lines[3], "I-CMD \t07 00 00 00");
  // Block 0x40: 0x00-0x0F, then 16 bytes, then 0xFF fill, trailing space kept.
  EXPECT_EQ(lines[4].substr(0, 30), "I-CMD\tDC 00 40 80 00 01 02 03 ");
  EXPECT_EQ(lines[4].size(), 6u + 132u * 3u);
  EXPECT_EQ(lines[4].substr(lines[4].size() - 6), "FF FF ");
  // Block 0x41 ends at the file's last byte (n = 0x10).
  EXPECT_EQ(lines[5].substr(0, 18), "I-CMD\tDC 00 41 10 ");
  EXPECT_EQ(lines[6].substr(0, 18), "I-CMD\t40 00 00 02 ");
  EXPECT_EQ(lines[7], "I-CMD\t08 00 00 00");
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(Trace(), "");

  Result fused = Velkan("script --fuse " + Example("full-app.hex"));
  ASSERT_EQ(fused.code, 0) << fused.err;
  const std::vector<std::string> all = Lines(fused.out);
  ASSERT_EQ(all.size(), 262u);
  EXPECT_EQ(all[4].substr(0, 18), "I-CMD\tDC 00 40 80 ");
  EXPECT_EQ(all[259].substr(0, 18), "I-CMD\tDC 01 3F 80 ");
  EXPECT_EQ(all[261], "I-CMD\t08 01 00 00");

  // A script that cannot be written out is no success.
  if (fs::exists("/dev/full")) {
    const std::string cmd = Quote(kCli) + " script " + Example("full-app.hex") + " >/dev/full 2>" +
                            Quote((dir_ / "err").string());
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    EXPECT_NE(ReadFile(dir_ / "err").find("could not be written"), std::string::npos);
  }
}

TEST_F(CliTest, ProgramWritesTheWholeImageIntoTheChip) {
  Result r = Velkan("program " + Example("full-app.hex"));
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kProgramOk);  // no progress when stdout is not a terminal
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Flash(), ImageOf(kExamples / "full-app.hex"));
  EXPECT_NE(Trace(), "");

  // The programmer is opened anew by every process: a second run looks the same.
  Result again = Velkan("-q program " + Example("small.hex"));
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(Flash(), ImageOf(kExamples / "small.hex"));
}

TEST_F(CliTest, OfflineStoresOneRecordPerScriptLineAndTheFileName) {
  Result r = Velkan("offline " + Example("small.hex"));
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out,
            "打开设备成功！\n脱机程序装载...\n脱机文件装载正确！\n熔断位未选择，可重复编程！\n\n"
            "请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！\n");
  velkan::emu::Emulator emulator(state_);
  ASSERT_TRUE(emulator.ok());
  EXPECT_EQ(emulator.OfflineName(), "small.hex");
  const auto records = emulator.OfflineRecords();
  ASSERT_EQ(records.size(), 10u);  // begin, 8 lines, end
  EXPECT_EQ(records[0], (velkan::emu::OfflineRecord{0, 0x02, {}}));
  EXPECT_EQ(records[1], (velkan::emu::OfflineRecord{1, 0x15, {}}));
  EXPECT_EQ(records[2], (velkan::emu::OfflineRecord{2, 0x10, {0x00}}));
  EXPECT_EQ(records[3].content, (std::vector<std::uint8_t>{0x20, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFF,
                                                           0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(records[5].content.size(), 4u + 128u);
  EXPECT_EQ(records[8], (velkan::emu::OfflineRecord{8, 0x11, {0x08, 0, 0, 0}}));
  EXPECT_EQ(records[9], (velkan::emu::OfflineRecord{9, 0x03, {}}));

  Result info = Velkan("info");
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("offline file name: small.hex\n"), std::string::npos) << info.out;

  Result fused = Velkan("offline --fuse --yes " + Example("small.hex"));
  ASSERT_EQ(fused.code, 0) << fused.err;
  EXPECT_NE(fused.out.find("熔断位已选择，编程后将锁死，不能再编程！\n"), std::string::npos);
}

TEST_F(CliTest, FuseNeedsConfirmationAndAFusedChipRefusesProgramming) {
  // Without a terminal --fuse needs --yes; nothing reaches the programmer.
  Result refused = Velkan("program --fuse " + Example("small.hex"));
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("--yes"), std::string::npos) << refused.err;
  EXPECT_EQ(Trace(), "");

  Result fused = Velkan("program --fuse --yes " + Example("small.hex"));
  ASSERT_EQ(fused.code, 0) << fused.err;
  EXPECT_EQ(fused.out, std::string(kProgramOk) + "芯片已锁死，不能再编程！\n");
  EXPECT_TRUE(velkan::emu::Emulator(state_).Fused());

  Result again = Velkan("program " + Example("small.hex"));
  EXPECT_EQ(again.code, 5);
  EXPECT_NE(again.out.find(" 错误，SW = "), std::string::npos) << again.out;
  EXPECT_EQ(
      again.out.substr(again.out.size() - std::string("下载失败！\n可能芯片已熔断！\n").size()),
      "下载失败！\n可能芯片已熔断！\n");
}

TEST_F(CliTest, BadFilesAndArgumentsSendNothing) {
  fs::create_directories(state_);
  WriteFile(dir_ / "outside.hex",
            ":020000040000FA\n:10100000000102030405060708090A0B0C0D0E0F68\n:00000001FF\n");
  WriteFile(dir_ / "bad.txt", std::string("REBOOT\n\xC3\x28\n"));
  WriteFile(dir_ / "short.bin", "1234567");
  const struct {
    std::string args;
    std::string errText;
  } cases[] = {
      {"program " + Quote((dir_ / "missing.hex").string()), "no such file"},
      {"offline " + Quote(dir_.string()), "is a directory"},
      {"program " + Quote((dir_ / "outside.hex").string()), "地址超出芯片APP区域，是否忽略继续"},
      {"run " + Quote((dir_ / "missing.txt").string()), "no such file"},
      {"run " + Quote((dir_ / "bad.txt").string()), "not UTF-8"},
      {"firmware " + Quote((dir_ / "short.bin").string()), "8-byte header"},
      {"i2c --addr G0", "请输入正确的 I2C 地址!"},
      {"i2c --addr A", "请输入正确的 I2C 地址!"},
      {"i2c --addr A0 --data 070", "数据域错误!"},
      {"i2c --addr A0 --data 0Z", "数据域错误!"},
      {"i2c --addr A0 --len 1000", "--len"},
      {"i2c --data 07", "--addr"},
      {"program", "FILE"},
      {"program --bogus " + Example("small.hex"), "--bogus"},
      {"", "subcommand"},
  };
  {
    velkan::emu::Emulator seeded(state_);  // a chip that holds something
    std::array<std::uint8_t, 32768> flash;
    flash.fill(0x5A);
    seeded.SetFlash(flash);
  }
  const auto stateBefore = StateFiles();
  ASSERT_FALSE(stateBefore.empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = Velkan(c.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.errText), std::string::npos) << r.err;
    EXPECT_EQ(Trace(), "");
  }
  EXPECT_EQ(StateFiles(), stateBefore);

  // The question is answered Yes for every such record with --skip-outside.
  Result skipped = Velkan("script --skip-outside " + Quote((dir_ / "outside.hex").string()));
  EXPECT_EQ(skipped.code, 0) << skipped.err;
  EXPECT_EQ(Lines(skipped.out).size(), 6u);
}

TEST_F(CliTest, RunPerformsAScriptFileAndMapsTheRunResult) {
  WriteFile(dir_ / "ok.txt",
            "; key check\r\n\r\nI-ADDR A0\r\nI-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF \r\nDELAY "
            "01\r\n");
  Result ok = Velkan("run " + Quote((dir_ / "ok.txt").string()));
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.out, kProgramOk);

  WriteFile(dir_ / "unsupported.txt", "I-ADDR A0\ni-cmd 07000000\n");
  Result unsupported = Velkan("run " + Quote((dir_ / "unsupported.txt").string()));
  EXPECT_EQ(unsupported.code, 7);
  EXPECT_EQ(unsupported.out,
            "打开设备成功！\n联机编程...\ni-cmd07000000 命令不被支持！\n下载失败！\n");

  WriteFile(dir_ / "mismatch.txt", "I-ADDR A0\nI-CMD 20000008FFFFFFFFFFFFFFFF\nI-READ 1234\n");
  Result mismatch = Velkan("-q run " + Quote((dir_ / "mismatch.txt").string()));
  EXPECT_EQ(mismatch.code, 6);
  // Quiet, but the log of a failed run is still shown.
  EXPECT_NE(mismatch.out.find("1234 比对数据错误, 返回值："), std::string::npos) << mismatch.out;
}

// --emulator-latency usb: every report of the run takes a 1 ms frame of
// its own, so the run lasts at least as many milliseconds as its trace has
// reports (without the model the same run needs less than half of that).
// The option needs the emulator and a known model.
TEST_F(CliTest, EmulatorLatencyUsbGivesEveryReportItsFrame) {
  std::string script = "I-ADDR A0\n";
  for (int i = 0; i < 100; ++i) script += "I-CMD 20000008FFFFFFFFFFFFFFFF\n";
  WriteFile(dir_ / "keys.txt", script);
  const auto start = std::chrono::steady_clock::now();
  Result usb = Velkan("--emulator-latency usb -q run " + Quote((dir_ / "keys.txt").string()));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(usb.code, 0) << usb.err;
  const std::size_t reports = Lines(Trace()).size();
  EXPECT_GE(reports, 400u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(reports));

  EXPECT_EQ(Velkan("--emulator-latency none -q run " + Quote((dir_ / "keys.txt").string())).code,
            0);
  EXPECT_EQ(Velkan("--emulator-latency fast list").code, 2);
  EXPECT_EQ(Velkan("--emulator-latency usb list", false).code, 2);  // without --emulator
}

TEST_F(CliTest, I2cExchangeListInfoAndFirmware) {
  Result key = Velkan("i2c --addr A0 --data \"20 00 00 08 FF FF FF FF FF FF FF FF\"");
  ASSERT_EQ(key.code, 0) << key.err;
  EXPECT_EQ(key.out, "打开设备成功!\nI2C 写OK!\n9000\n");

  Result quiet = Velkan("-q i2c --addr a0 --data \"20 00 00 08 FF FF FF FF FF FF FF FF\" --len 02");
  ASSERT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "9000\n");

  Result writeOnly = Velkan("i2c --addr A0 --data 20000008FFFFFFFFFFFFFFFF --len 0");
  ASSERT_EQ(writeOnly.code, 0) << writeOnly.err;
  EXPECT_EQ(writeOnly.out, "打开设备成功!\nI2C 写OK!\n");

  Result list = Velkan("list");
  ASSERT_EQ(list.code, 0);
  EXPECT_EQ(list.out, "emulator:0\t0755:0102\tEMU0001\temu-1\tVELKAN Programmer (emulated)\n");

  std::string firmware(8 + 600, '\0');
  for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<char>(i * 7);
  WriteFile(dir_ / "fw.bin", firmware);
  Result update = Velkan("-q firmware " + Quote((dir_ / "fw.bin").string()));
  ASSERT_EQ(update.code, 0) << update.err;
  EXPECT_EQ(update.out, "");
  velkan::emu::Emulator emulator(state_);
  const std::vector<std::uint8_t> stored = emulator.Firmware();
  EXPECT_EQ(std::string(stored.begin(), stored.end()), firmware.substr(8));

  Result info = Velkan("info");
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_EQ(info.out.rfind("firmware version: ", 0), 0u) << info.out;
  EXPECT_NE(info.out.find("serial number: EMU0001\nport: emu-1\n"), std::string::npos) << info.out;
}

// Several programmers: listed, never picked by chance, chosen by serial,
// port or path, each with its own state folder.
TEST_F(CliTest, SeveralProgrammersAreChosenExplicitly) {
  Result list = Velkan("--emulators 3 list");
  ASSERT_EQ(list.code, 0) << list.err;
  ASSERT_EQ(Lines(list.out).size(), 3u);
  EXPECT_EQ(Lines(list.out)[2],
            "emulator:2\t0755:0102\tEMU0003\temu-3\tVELKAN Programmer (emulated)");
  // Nothing passed over: -v lists the same and names nothing.
  Result verbose = Velkan("--emulators 3 list -v");
  EXPECT_EQ(verbose.code, 0);
  EXPECT_EQ(verbose.out, list.out);
  EXPECT_EQ(verbose.err, "");

  Result ambiguous = Velkan("--emulators 3 program " + Example("small.hex"));
  EXPECT_EQ(ambiguous.code, 2);
  EXPECT_EQ(ambiguous.out, "");
  EXPECT_NE(ambiguous.err.find("3 programmers are attached"), std::string::npos) << ambiguous.err;
  EXPECT_NE(ambiguous.err.find("EMU0002"), std::string::npos);
  EXPECT_EQ(Velkan("--emulators 3 info").code, 2);
  EXPECT_FALSE(fs::exists(state_ / "EMU0001" / "flash.bin"));

  Result bySerial = Velkan("--emulators 3 --device serial=EMU0002 program " + Example("small.hex"));
  ASSERT_EQ(bySerial.code, 0) << bySerial.err;
  velkan::emu::Emulator second(state_ / "EMU0002");
  EXPECT_EQ(second.Flash(), ImageOf(kExamples / "small.hex"));
  velkan::emu::Emulator first(state_ / "EMU0001");
  const auto untouched = first.Flash();
  EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](auto b) { return b == 0xFF; }));

  EXPECT_EQ(Velkan("--emulators 3 --device port=emu-3 i2c --addr A0").code, 0);
  EXPECT_EQ(Velkan("--emulators 3 --device emulator:0 info").code, 0);
  EXPECT_EQ(Velkan("--emulators 3 --device serial=EMU0009 info").code, 3);
  EXPECT_EQ(Velkan("--emulators 0 list").code, 2);
  EXPECT_EQ(Velkan("--emulators 2 list", false).code, 2);  // without --emulator
}

// One programmer, two tools: while one runs, the other is refused with the
// busy text and sends nothing, so neither's work is lost; afterwards the
// second goes through and both results are kept.
TEST_F(CliTest, ASecondProcessIsRefusedWhileARunHoldsTheProgrammer) {
  const fs::path firstTrace = dir_ / "first-trace.txt";
  const fs::path done = dir_ / "first-done";
  const std::string first = Quote(kCli) + " --emulator=" + Quote(state_.string()) + " --trace " +
                            Quote(firstTrace.string()) + " -q program " + Example("full-app.hex") +
                            " >/dev/null 2>&1 </dev/null; echo $? > " + Quote(done.string());
  ASSERT_EQ(std::system(("(" + first + ") &").c_str()), 0);
  // The first run has sent its first report once its trace has a line.
  for (int i = 0; i < 2000 && ReadFile(firstTrace).find('\n') == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(ReadFile(firstTrace).find('\n'), std::string::npos);

  Result refused = Velkan("offline " + Example("full-app.hex"));
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("编程器正忙，请等待当前操作结束！"), std::string::npos) << refused.err;
  EXPECT_EQ(Trace(), "");  // nothing sent
  Result info = Velkan("info");
  EXPECT_EQ(info.code, 1);

  for (int i = 0; i < 3000 && !fs::exists(done); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(ReadFile(done), "0\n");
  Result offline = Velkan("offline " + Example("full-app.hex"));
  ASSERT_EQ(offline.code, 0) << offline.err;
  velkan::emu::Emulator emulator(state_);
  EXPECT_EQ(emulator.Flash(), ImageOf(kExamples / "full-app.hex"));
  EXPECT_EQ(emulator.OfflineName(), "full-app.hex");
  EXPECT_FALSE(emulator.OfflineRecords().empty());
  EXPECT_EQ(emulator.Led(), 2);  // the program run's closing LED is kept too
}

TEST_F(CliTest, NoProgrammerFound) {
  Result program = Velkan("--device /nowhere program " + Example("small.hex"));
  EXPECT_EQ(program.code, 3);
  EXPECT_EQ(program.out, "打开设备失败！\n");
  EXPECT_NE(program.err.find("[提示] 打开设备失败！"), std::string::npos) << program.err;

  EXPECT_EQ(Velkan("--device /nowhere i2c --addr A0").code, 3);
  EXPECT_EQ(Velkan("--device /nowhere info").code, 3);
  WriteFile(dir_ / "not-a-folder", "x");
  EXPECT_EQ(Velkan("--emulator=" + Quote((dir_ / "not-a-folder").string()) + " list", false).code,
            2);
}

// A state folder that cannot be used is refused with its reason, and an empty
// --emulator= does not quietly fall back to a state kept in memory.
TEST_F(CliTest, UnusableEmulatorStateFolderIsExplained) {
  Result empty = Velkan("--emulator= program " + Example("small.hex"), false);
  EXPECT_EQ(empty.code, 2);
  EXPECT_EQ(empty.out, "");
  EXPECT_NE(empty.err.find("--emulator=: no state folder given"), std::string::npos) << empty.err;

  fs::create_directories(state_);
  WriteFile(state_ / "state.json", "{bad");
  Result damaged = Velkan("info");
  EXPECT_EQ(damaged.code, 2);
  EXPECT_EQ(damaged.out, "");
  EXPECT_NE(damaged.err.find("state.json"), std::string::npos) << damaged.err;
  EXPECT_EQ(ReadFile(state_ / "state.json"), "{bad");  // left alone

  fs::remove(state_ / "state.json");
  WriteFile(state_ / "flash.bin", std::string(100, '\0'));
  Result shortFlash = Velkan("info");
  EXPECT_EQ(shortFlash.code, 2);
  EXPECT_NE(shortFlash.err.find("flash.bin holds 100 bytes"), std::string::npos) << shortFlash.err;
}

// On a terminal (a pseudo terminal from script(1)) the percentage updates in
// place and is gone at the end, and the questions are asked.
TEST_F(CliTest, OnATerminalProgressUpdatesInPlaceAndQuestionsAreAsked) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
  auto onTerminal = [&](const std::string& answer, const std::string& args) {
    const std::string inner = Quote(kCli) + " --emulator=" + Quote(state_.string()) + " --trace " +
                              Quote(trace_.string()) + " " + args;
    const std::string cmd = "printf " + Quote(answer) + " | script -q -e -c " + Quote(inner) +
                            " /dev/null >" + Quote((dir_ / "tty").string()) + " 2>&1";
    const int status = std::system(cmd.c_str());
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir_ / "tty"));
  };

  auto [declined, declinedText] = onTerminal("n\n", "program --fuse " + Example("small.hex"));
  EXPECT_EQ(declined, 2);
  EXPECT_NE(declinedText.find("[警告] 熔断后，芯片将不可再编程！"), std::string::npos);
  EXPECT_NE(declinedText.find("请确认是否要熔断！ [y/N]"), std::string::npos) << declinedText;
  EXPECT_EQ(Trace(), "");

  auto [code, text] = onTerminal("", "program " + Example("small.hex"));
  EXPECT_EQ(code, 0) << text;
  EXPECT_NE(text.find("\r[##############################] 100%"), std::string::npos) << text;
  const std::string end = "联机编程...\r\n";
  const std::size_t progress = text.find(end);
  ASSERT_NE(progress, std::string::npos) << text;
  // The last percentage is blanked out before the closing line.
  const std::string tail = text.substr(text.rfind('\r', text.find("下载成功！")));
  EXPECT_EQ(tail.find('%'), std::string::npos) << tail;
  EXPECT_EQ(text.substr(text.size() - std::string("下载成功！\r\n").size()), "下载成功！\r\n");
}

TEST_F(CliTest, VersionAndHelp) {
  Result version = Velkan("--version", false);
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "velkan 2.0.0.6\n");
  Result help = Velkan("--help", false);
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
}

// Gang programming: four programmers at once, each chip equal to the image;
// one programmer that fails (here a chip that is fused) fails alone, with its
// own exit code in the summary, and is the command's exit code.
TEST_F(CliTest, GangProgramsEveryProgrammerAndAFailureStaysItsOwn) {
  Result all = Velkan("--emulators 4 program " + Example("full-app.hex") + " --all");
  ASSERT_EQ(all.code, 0) << all.err;
  const auto image = ImageOf(kExamples / "full-app.hex");
  for (int k = 1; k <= 4; ++k) {
    velkan::emu::Emulator e(state_ / ("EMU000" + std::to_string(k)));
    EXPECT_EQ(e.Flash(), image) << k;
  }
  // Without a terminal: the log lines carry the serial, then the summary.
  EXPECT_NE(all.out.find("EMU0003: 下载成功！\n"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("== EMU0004 emu-4: pass"), std::string::npos) << all.out;

  {
    velkan::emu::Emulator fused(state_ / "EMU0002");
    fused.SetFused(true);
  }
  Result oneFails = Velkan("--emulators 3 program " + Example("small.hex") + " --all");
  EXPECT_EQ(oneFails.code, 5);
  EXPECT_NE(oneFails.out.find("== EMU0002 emu-2: FAIL (exit 5)"), std::string::npos)
      << oneFails.out;
  EXPECT_NE(oneFails.out.find("EMU0002: 可能芯片已熔断！"), std::string::npos);
  EXPECT_NE(oneFails.out.find("== EMU0001 emu-1: pass"), std::string::npos);
  EXPECT_NE(oneFails.out.find("== EMU0003 emu-3: pass"), std::string::npos);
  velkan::emu::Emulator third(state_ / "EMU0003");
  EXPECT_EQ(third.Flash(), ImageOf(kExamples / "small.hex"));

  // Chosen by --device; one that is not there fails alone with exit 3, and
  // a communication failure would outweigh it.
  Result chosen = Velkan(
      "--emulators 3 --device serial=EMU0001 --device serial=EMU0009 "
      "--device port=emu-3 offline " +
      Example("small.hex"));
  EXPECT_EQ(chosen.code, 3);
  EXPECT_NE(chosen.out.find("== serial=EMU0009 -: FAIL (exit 3)"), std::string::npos) << chosen.out;
  EXPECT_EQ(velkan::emu::Emulator(state_ / "EMU0003").OfflineName(), "small.hex");
  EXPECT_EQ(velkan::emu::Emulator(state_ / "EMU0002").OfflineName(), "");
  EXPECT_EQ(Velkan("--emulators 2 --device emulator:0 --device emulator:1 info").code, 2);
  EXPECT_EQ(Velkan("--emulators 2 --device emulator:0 program --all " + Example("small.hex")).code,
            2);
}

// --json: stdout carries nothing but JSON objects, one per line; each run
// ends with one run-finished per programmer carrying its result.
TEST_F(CliTest, JsonLinesOfARunAndOfTheOtherCommands) {
  auto parse = [](const std::string& out) {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : Lines(out)) {
      nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      EXPECT_FALSE(j.is_discarded()) << line;
      EXPECT_TRUE(j.is_object() && j.contains("event")) << line;
      objects.push_back(std::move(j));
    }
    return objects;
  };
  Result run = Velkan("--json program " + Example("full-app.hex"));
  ASSERT_EQ(run.code, 0) << run.err;
  const auto events = parse(run.out);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events.front()["event"], "programmer-opened");
  EXPECT_EQ(events.front()["serial"], "EMU0001");
  EXPECT_EQ(events[1]["event"], "run-started");
  int finished = 0, done = 0, lastPercent = -1;
  std::string log;
  for (const auto& e : events) {
    EXPECT_EQ(e["serial"], "EMU0001");
    if (e.contains("text")) log += e["text"].get<std::string>();
    if (e["event"] == "line-done") {
      ++done;
      EXPECT_GE(e["percent"].get<int>(), lastPercent);
      lastPercent = e["percent"];
    }
    if (e["event"] == "run-finished") {
      ++finished;
      EXPECT_EQ(e["result"], 0);
      EXPECT_EQ(e["success"], true);
    }
  }
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(done, events[1]["lines"].get<int>());
  EXPECT_EQ(lastPercent, 100);
  EXPECT_EQ(log, "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");

  Result gang = Velkan("--json --emulators 3 offline " + Example("small.hex") + " --all");
  ASSERT_EQ(gang.code, 0) << gang.err;
  std::map<std::string, int> finishedBySerial;
  const auto gangEvents = parse(gang.out);
  for (const auto& e : gangEvents) {
    if (e["event"] == "run-finished") {
      ++finishedBySerial[e["serial"].get<std::string>()];
      EXPECT_EQ(e["run"], "offline");
      EXPECT_EQ(e["success"], true);
    }
  }
  EXPECT_EQ(finishedBySerial,
            (std::map<std::string, int>{{"EMU0001", 1}, {"EMU0002", 1}, {"EMU0003", 1}}));
  EXPECT_EQ(gangEvents.back()["event"], "gang-finished");
  EXPECT_EQ(gangEvents.back()["exitCode"], 0);

  // A failing line: its kind and status word.
  WriteFile(dir_ / "bad.txt", "I-ADDR A0\nI-CMD 20000008FFFFFFFFFFFFFF00\n");
  Result bad = Velkan("--json --emulators 3 --device serial=EMU0002 run " +
                      Quote((dir_ / "bad.txt").string()));
  EXPECT_EQ(bad.code, 5);
  const auto badEvents = parse(bad.out);
  bool sawFailure = false;
  for (const auto& e : badEvents) {
    if (e["event"] != "line-failed") continue;
    sawFailure = true;
    EXPECT_EQ(e["failure"], "status-word");
    EXPECT_EQ(e["statusWord"], "6982");
    EXPECT_EQ(e["line"], 2);
  }
  EXPECT_TRUE(sawFailure) << bad.out;

  const auto list = parse(Velkan("--json --emulators 2 list").out);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]["serial"], "EMU0002");
  const auto info = parse(Velkan("--json info").out);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0]["firmwareVersion"], "VK-PROG EMU 1.00");
  const auto i2c = parse(Velkan("--json i2c --addr A0 --data \"07 00 00 00\"").out);
  ASSERT_FALSE(i2c.empty());
  EXPECT_EQ(i2c.back()["event"], "run-finished");
  EXPECT_EQ(i2c.back()["bytes"], "9000");
}

// Each input file is opened and read once: through a FIFO or a pipe the
// checks and the programming see the same bytes, and nothing waits for a
// second writer.
TEST_F(CliTest, InputFilesAreReadOnceSoFifosAndPipesWork) {
  const fs::path fifo = dir_ / "image.hex";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A writer left waiting for a reader (after a failure) is let go.
  struct ReleaseWriters {
    const fs::path& fifo;
    ~ReleaseWriters() {
      std::system(("timeout 2 dd iflag=nonblock status=none of=/dev/null if=" +
                   Quote(fifo.string()) + " 2>/dev/null")
                      .c_str());
    }
  } release{fifo};
  // The whole APP region (92 KB) does not fit a pipe's buffer.
  for (const char* name : {"full-app.hex", "small.hex"}) {
    const fs::path hex = kExamples / name;
    const char* command = std::string(name) == "small.hex" ? "offline" : "program";
    SCOPED_TRACE(command);
    // The writer is gone once it has written the file: a second open of the
    // FIFO would wait for ever (the timeout ends it).
    std::system(("cat " + Quote(hex.string()) + " > " + Quote(fifo.string()) + " &").c_str());
    Result r = Shell(EmulatorArgs() + " " + command + " " + Quote(fifo.string()));
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    if (std::string(command) == "program") {
      EXPECT_EQ(Flash(), ImageOf(hex));
    }
  }

  Result piped = Shell(EmulatorArgs() + " program /dev/stdin", (kExamples / "small.hex").string());
  EXPECT_EQ(piped.code, 0) << piped.err;
  EXPECT_EQ(Flash(), ImageOf(kExamples / "small.hex"));

  WriteFile(dir_ / "script.txt", "I-ADDR A0\nI-CMD 20000008FFFFFFFFFFFFFFFF\n");
  std::system(("cat " + Quote((dir_ / "script.txt").string()) + " > " + Quote(fifo.string()) + " &")
                  .c_str());
  Result run = Shell(EmulatorArgs() + " run " + Quote(fifo.string()));
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, kProgramOk);

  // The pages' own texts stay, with the tool's reason after them.
  Result missing = Shell(EmulatorArgs() + " program " + Quote((dir_ / "none.hex").string()));
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("hex文件打开错误！"), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("none.hex: no such file"), std::string::npos) << missing.err;
  Result empty = Shell(EmulatorArgs() + " program ''");
  EXPECT_EQ(empty.code, 2);
  EXPECT_NE(empty.err.find("请打开hex文件！"), std::string::npos) << empty.err;
}

// The emulated programmer on a full disk or a read-only file system: the
// run fails with the communication-failure texts and exit code, and the
// state folder keeps no temporary files.
TEST_F(CliTest, StateThatCannotBeKeptFailsTheCommand) {
  velkan::testing_support::SmallTmpfs disk(state_, "256k");
  if (!disk.mounted()) GTEST_SKIP() << velkan::testing_support::SmallTmpfs::kSkipText;
  auto noTemporaryFiles = [&] {
    for (const auto& entry : fs::directory_iterator(state_)) {
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
  };
  Result first = Shell(EmulatorArgs() + " program " + Example("small.hex"));
  ASSERT_EQ(first.code, 0) << first.err;
  // The disk fills up: no room for the next flash.bin.tmp.
  {
    std::ofstream filler(state_ / "filler", std::ios::binary);
    const std::string block(4096, '\0');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  Result full = Shell(EmulatorArgs() + " program " + Example("full-app.hex"));
  EXPECT_EQ(full.code, 4) << full.out << full.err;
  EXPECT_NE(full.out.find("通信错误！"), std::string::npos) << full.out;
  EXPECT_NE(full.out.find("下载失败！"), std::string::npos) << full.out;
  EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
  EXPECT_EQ(Flash(), ImageOf(kExamples / "small.hex"));
  noTemporaryFiles();

  ASSERT_TRUE(disk.MakeReadOnly());
  const auto before = StateFiles();
  Result offline = Shell(EmulatorArgs() + " offline " + Example("small.hex"));
  EXPECT_EQ(offline.code, 4) << offline.out << offline.err;
  EXPECT_NE(offline.err.find("Read-only file system"), std::string::npos) << offline.err;
  Result erase = Shell(EmulatorArgs() + " i2c --addr A0 --data \"07 00 00 00\"");
  EXPECT_EQ(erase.code, 4) << erase.out << erase.err;
  EXPECT_EQ(StateFiles(), before);
  noTemporaryFiles();
}

// A trace that loses lines is no evidence: the command fails with exit 1.
TEST_F(CliTest, TraceThatCannotBeWrittenFailsTheCommand) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
  Result r = Shell(EmulatorArgs() + " --trace /dev/full program " + Example("small.hex"));
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.out, kProgramOk);  // the chip itself was programmed
  EXPECT_NE(
      r.err.find("--trace /dev/full: the trace could not be written: No space left on device"),
      std::string::npos)
      << r.err;
}

// `info` tells whether the offline storage holds a whole download; the
// emulated erase clears the name, so a cut download never shows an old one.
TEST_F(CliTest, InfoTellsWhetherTheOfflineStorageEndsWithAnEndRecord) {
  Result empty = Velkan("info");
  ASSERT_EQ(empty.code, 0) << empty.err;
  EXPECT_NE(empty.out.find("offline storage: empty\n"), std::string::npos) << empty.out;

  ASSERT_EQ(Velkan("offline " + Example("small.hex")).code, 0);
  Result whole = Velkan("info");
  EXPECT_NE(whole.out.find("offline file name: small.hex\n"), std::string::npos) << whole.out;
  EXPECT_NE(whole.out.find(" records, ending with an end record\n"), std::string::npos)
      << whole.out;

  {  // a download cut short after its erase, begin record and one line
    velkan::emu::Emulator e(state_);
    ASSERT_TRUE(e.ok()) << e.error();
  }
  WriteFile(state_ / "state.json",
            R"({"offline": {"name": "", "records": [{"number": 0, "kind": 2, "content": ""},)"
            R"( {"number": 1, "kind": 1, "content": "07000000"}]}})");
  Result cut = Velkan("info");
  EXPECT_EQ(cut.code, 0);
  EXPECT_NE(cut.out.find("offline file name: \n"), std::string::npos) << cut.out;
  EXPECT_NE(cut.out.find("2 records, NOT ending with an end record"), std::string::npos) << cut.out;
}

// File names in messages cannot drive the terminal.
TEST_F(CliTest, PathsInMessagesShowControlCharactersReplaced) {
  const std::string name = "evil\x1b]0;title\x07\x1b[2J.hex";
  for (const std::string& args :
       {"program " + Quote((dir_ / name).string()), "run " + Quote((dir_ / name).string()),
        "firmware " + Quote((dir_ / name).string())}) {
    SCOPED_TRACE(args);
    Result r = Velkan(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("evil?]0;title??[2J.hex"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.err.find('\x07'), std::string::npos);
  }
  Result trace = Velkan("--trace " + Quote((dir_ / "no" / name).string()) + " info", false);
  EXPECT_EQ(trace.code, 2);
  EXPECT_EQ(trace.err.find('\x1b'), std::string::npos) << trace.err;
  WriteFile(dir_ / "file", "x");
  Result emulator = Velkan("--emulator=" + Quote((dir_ / "file" / name).string()) + " info", false);
  EXPECT_EQ(emulator.code, 2);
  EXPECT_NE(emulator.err.find("evil?]0;title"), std::string::npos) << emulator.err;
  EXPECT_EQ(emulator.err.find('\x1b'), std::string::npos) << emulator.err;
}

}  // namespace
