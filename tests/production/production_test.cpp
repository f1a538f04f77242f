// The production engine against emulated programmers in virtual time: the
// socket polled with the state query only, the feeder's chips programmed one
// after the other with their serial numbers, failures counted and stopped
// at, the operator's word in manual mode; and the pieces it builds on (the
// SHA-256, the serial number forms, the per-chip script, the operator's
// next-chip gate).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/clock.h"
#include "common/sha256.h"
#include "emulator/emulator.h"
#include "image/crc16.h"
#include "production/next_chip_gate.h"
#include "production/production.h"
#include "programmer/backend.h"
#include "programmer/hid_emulated.h"
#include "script/runs.h"
#include "temp_dir.h"

namespace velkan::production {
namespace {

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

std::string ValueText(const SerialPlan& plan, std::int64_t n) {
  std::string error;
  const auto v = ValueOf(plan, n, error);
  return v ? v->text : "error: " + error;
}

std::vector<std::uint8_t> ValueBytes(const SerialPlan& plan, std::int64_t n) {
  std::string error;
  return ValueOf(plan, n, error).value_or(SerialValue{}).bytes;
}

TEST(SerialPlan, FormsAndLimits) {
  SerialPlan be, le, bcd, ascii;
  ASSERT_EQ(ParseCounterPlan("9FF0", "00000100", 1, 4, "be", be), "");
  EXPECT_EQ(be.start, 0x100);
  EXPECT_EQ(ValueBytes(be, 0x1234), (std::vector<std::uint8_t>{0, 0, 0x12, 0x34}));
  EXPECT_EQ(ValueText(be, 0x105), "00000105");
  ASSERT_EQ(ParseCounterPlan("0x2000", "ff", 1, 2, "le", le), "");
  EXPECT_EQ(ValueBytes(le, 0x1234), (std::vector<std::uint8_t>{0x34, 0x12}));
  EXPECT_EQ(ValueText(le, 0x1234), "1234");
  ASSERT_EQ(ParseCounterPlan("9FFC", "0099", 1, 2, "bcd", bcd), "");
  EXPECT_EQ(bcd.start, 99);  // decimal digits
  EXPECT_EQ(ValueBytes(bcd, 100), (std::vector<std::uint8_t>{0x01, 0x00}));
  EXPECT_EQ(ValueText(bcd, 1234), "1234");
  ASSERT_EQ(ParseCounterPlan("9FF8", "ab", 1, 8, "ascii", ascii), "");
  EXPECT_EQ(ValueText(ascii, 0xAB), "000000AB");
  EXPECT_EQ(ValueBytes(ascii, 0xAB).back(), 'B');

  // The counter outgrows its bytes: no number rather than a wrapped one.
  SerialPlan small;
  ASSERT_EQ(ParseCounterPlan("3000", "FF", 1, 1, "be", small), "");
  EXPECT_EQ(ValueText(small, 0x100).rfind("error: ", 0), 0u);
  EXPECT_EQ(small.Series(), "be:1");

  // Refused: outside the APP region (also its last bytes), bad digits,
  // too large a start, bad forms.
  SerialPlan p;
  EXPECT_NE(ParseCounterPlan("1FFF", "1", 1, 1, "be", p).find("APP region"), std::string::npos);
  EXPECT_NE(ParseCounterPlan("9FFD", "1", 1, 4, "be", p).find("APP region"), std::string::npos);
  EXPECT_EQ(ParseCounterPlan("9FFC", "1", 1, 4, "be", p), "");
  EXPECT_NE(ParseCounterPlan("XYZ", "1", 1, 4, "be", p), "");
  EXPECT_NE(ParseCounterPlan("3000", "1G", 1, 4, "be", p), "");
  EXPECT_NE(ParseCounterPlan("3000", "1A", 1, 4, "bcd", p), "");
  EXPECT_NE(ParseCounterPlan("3000", "10000", 1, 2, "be", p).find("does not fit"),
            std::string::npos);
  EXPECT_NE(ParseCounterPlan("3000", "1", 1, 4, "hex", p), "");
  EXPECT_NE(ParseCounterPlan("3000", "1", 0, 4, "be", p), "");
}

TEST(SerialPlan, FileValues) {
  SerialPlan plan;
  ASSERT_EQ(ParseFilePlan("4000", "serials.txt", "0A0B\r\n\n  0c 0d 0e\n", plan), "");
  EXPECT_EQ(plan.bytes, 3);
  // The file's number space is its content: another name or folder of the
  // same values continues where it was; other values start afresh.
  SerialPlan copy, other;
  ASSERT_EQ(ParseFilePlan("4000", "/elsewhere/copy.txt", "0A0B\r\n\n  0c 0d 0e\n", copy), "");
  ASSERT_EQ(ParseFilePlan("4000", "serials.txt", "0A0C\n", other), "");
  EXPECT_EQ(plan.Series(), copy.Series());
  EXPECT_NE(plan.Series(), other.Series());
  EXPECT_EQ(plan.Series().rfind("file:", 0), 0u);
  EXPECT_EQ(ValueText(plan, 1), "0A0B");
  EXPECT_EQ(ValueBytes(plan, 2), (std::vector<std::uint8_t>{0x0C, 0x0D, 0x0E}));
  EXPECT_NE(ValueText(plan, 3).find("all 2 values"), std::string::npos);
  EXPECT_NE(ParseFilePlan("4000", "f", "0A\nABC\n", plan).find("line 2"), std::string::npos);
  EXPECT_NE(ParseFilePlan("4000", "f", "0A\nZZ\n", plan).find("line 2"), std::string::npos);
  EXPECT_NE(ParseFilePlan("4000", "f", "\n\n", plan).find("no values"), std::string::npos);
  EXPECT_NE(ParseFilePlan("9FFF", "f", "0A0B\n", plan).find("APP region"), std::string::npos);
  // One value on two lines would go onto two chips.
  const std::string dup = ParseFilePlan("4000", "f", "0A0B\n0C0D\n0a0b\n", plan);
  EXPECT_NE(dup.find("line 3"), std::string::npos) << dup;
  EXPECT_NE(dup.find("line 1"), std::string::npos) << dup;
}

TEST(SerialPlan, EightByteCountersWork) {
  for (const char* form : {"be", "le"}) {
    SerialPlan plan;
    ASSERT_EQ(ParseCounterPlan("3000", "0102030405060708", 1, 8, form, plan), "") << form;
    EXPECT_EQ(ValueText(plan, plan.start), "0102030405060708");
    EXPECT_EQ(ValueBytes(plan, plan.start).size(), 8u);
    EXPECT_NE(ParseCounterPlan("3000", "8000000000000000", 1, 8, form, plan).find("does not fit"),
              std::string::npos);
  }
}

// The two ways the operator's word reaches the stations: words given ahead
// wait their turn (a terminal's lines), or only the stations waiting now
// take a chip (a key on the desktop page); and how waiting ends.
TEST(NextChipGate, QueuedWordsReleasedWaitersAndTheEnd) {
  using namespace std::chrono_literals;
  auto waitFor = [](NextChipGate& gate, std::size_t n) {
    for (int i = 0; i < 2000 && gate.Waiting() != n; ++i) std::this_thread::sleep_for(1ms);
    return gate.Waiting() == n;
  };
  // A station asks again after every kNotYet (it looks at its socket then).
  auto take = [](NextChipGate& gate, std::size_t station) {
    NextChipAnswer answer;
    while ((answer = gate.Wait(station, 20ms)) == NextChipAnswer::kNotYet) {
    }
    return answer == NextChipAnswer::kNext;
  };
  {
    NextChipGate gate(2);
    gate.Next();  // given ahead: each station takes one, then waits again
    EXPECT_TRUE(take(gate, 0));
    EXPECT_TRUE(take(gate, 1));
    EXPECT_EQ(gate.ReleaseWaiting(), 0u);  // nobody waits
    std::atomic<int> taken{0};
    std::jthread station([&] {
      while (take(gate, 0)) ++taken;
    });
    ASSERT_TRUE(waitFor(gate, 1));
    EXPECT_EQ(gate.ReleaseWaiting(), 1u);
    // Released stations no longer count as waiting, even before they wake.
    ASSERT_TRUE(waitFor(gate, 1));
    EXPECT_EQ(taken.load(), 1);
    // A key pressed while nobody waits is not kept for later.
    gate.End(1);
    EXPECT_FALSE(take(gate, 1));
    gate.End();
  }
  {
    // Words given before the end are still served after it.
    NextChipGate gate(1);
    gate.Next();
    gate.Next();
    gate.End();
    EXPECT_TRUE(take(gate, 0));
    EXPECT_TRUE(take(gate, 0));
    EXPECT_FALSE(take(gate, 0));
    EXPECT_FALSE(take(gate, 5));  // no such station
  }
  {
    // Between two asks the station still waits: a press then is its own.
    NextChipGate gate(1);
    EXPECT_EQ(gate.Wait(0, 1ms), NextChipAnswer::kNotYet);
    EXPECT_EQ(gate.Waiting(), 1u);
    EXPECT_EQ(gate.ReleaseWaiting(), 1u);
    EXPECT_EQ(gate.Wait(0, 1ms), NextChipAnswer::kNext);
    // A station that left (to wait for its chip to go) is passed over.
    EXPECT_EQ(gate.Wait(0, 1ms), NextChipAnswer::kNotYet);
    gate.Leave(0);
    EXPECT_EQ(gate.ReleaseWaiting(), 0u);
    EXPECT_EQ(gate.Wait(0, 1ms), NextChipAnswer::kNotYet);
    // Armed when the station says it waits, before it asks: the press the
    // operator makes on seeing that is its own.
    gate.Leave(0);
    gate.Arm(0);
    EXPECT_EQ(gate.ReleaseWaiting(), 1u);
    EXPECT_EQ(gate.Wait(0, 1ms), NextChipAnswer::kNext);
  }
}

TEST(ChipScript, SerialNumberRebuildsItsDataLineAndTheCrcLine) {
  Product product;
  product.image.fill(0xFF);
  for (int i = 0; i < 16; ++i) product.image[i] = static_cast<std::uint8_t>(i);
  product.endAddress = 0x2010;
  ScriptTable plain;
  std::string crc;
  ASSERT_TRUE(ChipScript(product, nullptr, nullptr, plain, crc));
  EXPECT_EQ(plain.size(), 7u);
  EXPECT_EQ(plain.at(6), "I-CMD\t40 00 00 02 EA 62 ");
  EXPECT_EQ(crc, "EA62");

  // The number lies past the file's data: its block gets a line of its own.
  SerialPlan plan;
  ASSERT_EQ(ParseCounterPlan("9FF0", "00000100", 1, 4, "be", plan), "");
  std::string error;
  const SerialValue value = *ValueOf(plan, 0x105, error);
  ScriptTable chip;
  ASSERT_TRUE(ChipScript(product, &plan, &value, chip, crc));
  ASSERT_EQ(chip.size(), 8u);
  // The first block now lies before the end: written whole.
  EXPECT_EQ(chip.at(5).rfind("I-CMD\tDC 00 40 80 00 01 02 ", 0), 0u);
  const std::string& serialLine = chip.at(6);
  // The block's line ends with the number (the generator stops at its end).
  EXPECT_EQ(serialLine.rfind("I-CMD\tDC 01 3F 74 FF ", 0), 0u) << serialLine;
  EXPECT_EQ(serialLine.substr(serialLine.size() - 15), "FF 00 00 01 05 ");
  ChipImage image = product.image;
  image[0x9FF0 - 0x2000 + 2] = 0x01;
  image[0x9FF0 - 0x2000 + 3] = 0x05;
  image[0x9FF0 - 0x2000 + 0] = 0x00;
  image[0x9FF0 - 0x2000 + 1] = 0x00;
  char expected[8];
  std::snprintf(expected, sizeof expected, "%04X", Crc16Xmodem(image.data(), image.size()));
  EXPECT_EQ(crc, expected);
  EXPECT_EQ(chip.at(8), "I-CMD\t08 00 00 00");
}

// Records what the engine says; the operator's answers in manual mode.
class Recorder final : public Observer {
 public:
  void OnStationReady(std::size_t i, const std::string& serial, const std::string&) override {
    std::lock_guard lock(mutex);
    ready[i] = serial;
  }
  void OnWaiting(std::size_t, bool) override { ++waits; }
  void OnChipStarted(std::size_t, const std::optional<std::string>&) override {}
  void OnRunEvent(std::size_t i, const Event& event) override {
    {
      std::lock_guard lock(mutex);
      events[i].push_back(event);
    }
    if (onEvent) onEvent(event);
  }
  void OnChipDone(std::size_t i, const ChipRecord& row, const Counters&) override {
    std::lock_guard lock(mutex);
    rows[i].push_back(row);
  }
  void OnStationStopped(std::size_t i, StationStop why, const std::string&,
                        const Counters&) override {
    std::lock_guard lock(mutex);
    stops[i] = why;
  }
  NextChipAnswer WaitForNextChip(std::size_t, std::chrono::milliseconds) override {
    return nextAnswers-- > 0 ? NextChipAnswer::kNext : NextChipAnswer::kEnd;
  }

  std::mutex mutex;
  std::map<std::size_t, std::string> ready;
  std::map<std::size_t, std::vector<Event>> events;
  std::function<void(const Event&)> onEvent;  // on the station's thread
  std::map<std::size_t, std::vector<ChipRecord>> rows;
  std::map<std::size_t, StationStop> stops;
  std::atomic<int> waits{0};
  std::atomic<int> nextAnswers{0};
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (virtualTime_) scoped_.emplace(clock_);
    emulators_ = UseEmulators(std::nullopt, 2);
    ASSERT_EQ(emulators_.size(), 2u);
    std::string error;
    store_ = OpenSqliteStore(dir_ / "p.db", StoreMode::kCreate, error);
    ASSERT_TRUE(store_) << error;
    product_.image.fill(0xFF);
    for (int i = 0; i < 300; ++i) product_.image[i] = static_cast<std::uint8_t>(i * 3);
    product_.endAddress = 0x2000 + 300;
    product_.hexName = "test.hex";
    product_.hexSha256 = Sha256Hex("test");
    settings_.toolVersion = "test";
  }
  std::vector<std::optional<DeviceSelector>> Devices(std::size_t n) {
    std::vector<std::optional<DeviceSelector>> d;
    for (std::size_t i = 0; i < n; ++i) {
      d.emplace_back(DeviceSelector{DeviceSelector::Kind::kPath, hid::EmulatorPath(i)});
    }
    return d;
  }
  std::vector<StationSummary> Run(std::size_t stations) {
    Engine engine(product_, settings_, *store_, recorder_);
    return engine.Run(Devices(stations));
  }
  std::vector<StationSummary> RunStoppedMidChip(std::chrono::milliseconds stopWait);

  bool virtualTime_ = true;
  VirtualClock clock_;
  std::optional<ScopedClock> scoped_;
  test::TempDir dir_;
  std::vector<std::shared_ptr<emu::Emulator>> emulators_;
  std::unique_ptr<RecordStore> store_;
  Product product_;
  Settings settings_;
  Recorder recorder_;
};

// Two stations' threads and the feeder's moves in real time (short ones).
class RealTimeEngineTest : public EngineTest {
 protected:
  RealTimeEngineTest() { virtualTime_ = false; }
};

TEST_F(RealTimeEngineTest, FeederChipsOnTwoStationsGetEachSerialNumberOnce) {
  for (auto& e : emulators_) {
    e->SetFeeder(emu::Feeder{std::chrono::milliseconds(30), std::chrono::milliseconds(30),
                             std::nullopt, std::nullopt});
  }
  settings_.pollInterval = std::chrono::milliseconds(10);
  settings_.count = 3;
  SerialPlan plan;
  ASSERT_EQ(ParseCounterPlan("9FF0", "0100", 1, 2, "be", plan), "");
  settings_.serial = plan;
  const auto summaries = Run(2);
  std::set<std::string> serials;
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(summaries[i].stop, StationStop::kCount);
    EXPECT_EQ(summaries[i].counters.passed, 3);
    ASSERT_EQ(recorder_.rows[i].size(), 3u);
    for (const ChipRecord& r : recorder_.rows[i]) {
      EXPECT_EQ(r.result, velkan::production::ChipResult::kPass);
      EXPECT_EQ(r.stationSerial, hid::EmulatorSerial(i));
      serials.insert(r.chipSerial.value_or("?"));
    }
    // The chip still in the socket is the station's last one.
    const auto flash = emulators_[i]->Flash();
    char held[8];
    std::snprintf(held, sizeof held, "%02X%02X", flash[0x7FF0], flash[0x7FF1]);
    EXPECT_EQ(held, *recorder_.rows[i].back().chipSerial);
    EXPECT_EQ(flash[0], 0);
    EXPECT_EQ(flash[1], 3);
  }
  EXPECT_EQ(serials, (std::set<std::string>{"0100", "0101", "0102", "0103", "0104", "0105"}));
  std::vector<ChipRecord> rows;
  std::string error;
  ASSERT_TRUE(store_->Rows("", rows, error)) << error;
  EXPECT_EQ(rows.size(), 6u);
}

TEST_F(EngineTest, PollingAnEmptySocketSendsOnlyTheStateQuery) {
  emulators_[0]->RemoveChip();
  Engine engine(product_, settings_, *store_, recorder_);
  std::vector<StationSummary> summaries;
  {
    std::jthread run([&] { summaries = engine.Run(Devices(1)); });
    while (emulators_[0]->ExchangeCount() < 20) std::this_thread::yield();
    engine.RequestStop();
  }
  EXPECT_EQ(summaries[0].stop, StationStop::kStopped);
  EXPECT_TRUE(recorder_.rows[0].empty());
  const auto requests = emulators_[0]->Requests();
  ASSERT_GE(requests.size(), 20u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.command, 0x75) << "only the state query while polling";
    EXPECT_TRUE(r.data.empty());
  }
  EXPECT_EQ(emulators_[0]->Flash()[0], 0xFF);
}

// For programmers whose state query means something else: the chip is found
// by an I2C read at its address; nothing is written while waiting.
TEST_F(EngineTest, ProbeModeFindsTheChipByAReadAndWritesNothingWhileWaiting) {
  emulators_[0]->RemoveChip();
  settings_.next = NextChip::kProbe;
  settings_.count = 1;
  Engine engine(product_, settings_, *store_, recorder_);
  std::vector<StationSummary> summaries;
  {
    std::jthread run([&] { summaries = engine.Run(Devices(1)); });
    while (emulators_[0]->ExchangeCount() < 20) std::this_thread::yield();
    const auto waiting = emulators_[0]->Requests();
    for (const auto& r : waiting) {
      EXPECT_EQ(r.command, 0x77) << "only I2C reads while probing";
      ASSERT_FALSE(r.data.empty());
      EXPECT_EQ(r.data[0] & 0xFE, kChipI2cAddress);
    }
    emulators_[0]->InsertBlankChip();
  }
  EXPECT_EQ(summaries[0].stop, StationStop::kCount);
  ASSERT_EQ(recorder_.rows[0].size(), 1u);
  EXPECT_EQ(recorder_.rows[0][0].result, velkan::production::ChipResult::kPass);
  EXPECT_EQ(emulators_[0]->Flash()[1], 3);
}

TEST_F(EngineTest, FailedChipsGiveTheirNumberOnAndStopTheStationAfterK) {
  emulators_[0]->SetFused(true);  // the chip refuses everything
  SerialPlan plan;
  ASSERT_EQ(ParseCounterPlan("3000", "10", 1, 1, "be", plan), "");
  settings_.serial = plan;
  settings_.stopAfterFailures = 3;
  settings_.next = NextChip::kManual;
  recorder_.nextAnswers = 10;
  auto summaries = Run(1);
  EXPECT_EQ(summaries[0].stop, StationStop::kFailures);
  EXPECT_EQ(summaries[0].counters.failed, 3);
  ASSERT_EQ(recorder_.rows[0].size(), 3u);
  for (const ChipRecord& r : recorder_.rows[0]) {
    EXPECT_EQ(r.result, velkan::production::ChipResult::kStatusWord);
    EXPECT_EQ(r.runResult, 1);
    EXPECT_EQ(r.chipSerial, "10");  // given to the next chip each time
    EXPECT_NE(r.detail.find("6985"), std::string::npos) << r.detail;
  }

  // With --serial-burn-failed each failed chip uses up its number; a good
  // chip then gets the next one, and the operator's "no more" ends it.
  recorder_.rows.clear();
  settings_.serial->burnFailed = true;
  recorder_.nextAnswers = 10;
  summaries = Run(1);
  ASSERT_EQ(recorder_.rows[0].size(), 3u);
  EXPECT_EQ(recorder_.rows[0][0].chipSerial, "10");
  EXPECT_EQ(recorder_.rows[0][2].chipSerial, "12");
  recorder_.rows.clear();
  emulators_[0]->SetFused(false);
  recorder_.nextAnswers = 1;
  summaries = Run(1);
  EXPECT_EQ(summaries[0].stop, StationStop::kStopped);
  ASSERT_EQ(recorder_.rows[0].size(), 1u);
  EXPECT_EQ(recorder_.rows[0][0].result, velkan::production::ChipResult::kPass);
  EXPECT_EQ(recorder_.rows[0][0].chipSerial, "13");
  EXPECT_EQ(emulators_[0]->Flash()[0x1000], 0x13);
}

TEST_F(EngineTest, MissingProgrammerStopsTheStationWithoutARow) {
  std::vector<std::optional<DeviceSelector>> devices{
      DeviceSelector{DeviceSelector::Kind::kSerial, "NOSUCH"}};
  Engine engine(product_, settings_, *store_, recorder_);
  const auto summaries = engine.Run(devices);
  EXPECT_EQ(summaries[0].stop, StationStop::kNoProgrammer);
  EXPECT_TRUE(recorder_.rows[0].empty());
}

// The product's script, built whole.
ScriptTable ChipScriptOf(const Product& product) {
  ScriptTable script;
  std::string crc;
  EXPECT_TRUE(ChipScript(product, nullptr, nullptr, script, crc));
  return script;
}

// Gang runs: one chip per station at once, the run opening the programmer
// itself, no record; a failure stays its station's.
TEST_F(EngineTest, GangRunsOneChipPerStationWithoutARecord) {
  emulators_[1]->SetFused(true);
  product_.script = ChipScriptOf(product_);
  product_.hexPath = "C:\\fw\\gang.hex";
  settings_.next = NextChip::kNow;
  settings_.count = 1;
  settings_.stopAfterFailures = 0;
  Engine engine(product_, settings_, recorder_);
  const auto summaries = engine.Run(Devices(2));
  ASSERT_EQ(summaries.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(summaries[i].stop, StationStop::kCount) << i;
    ASSERT_EQ(recorder_.rows[i].size(), 1u) << i;
    EXPECT_EQ(recorder_.ready[i], hid::EmulatorSerial(i));
    // The run opened the programmer: its first event says so.
    EXPECT_EQ(recorder_.events[i].front().kind, EventKind::kProgrammerOpened);
  }
  EXPECT_EQ(recorder_.rows[0][0].result, ChipResult::kPass);
  EXPECT_EQ(recorder_.rows[1][0].result, ChipResult::kStatusWord);
  EXPECT_EQ(recorder_.rows[1][0].runResult, 1);
  EXPECT_EQ(emulators_[0]->Flash()[1], 3);
  EXPECT_EQ(emulators_[0]->Led(), 2);
  EXPECT_EQ(emulators_[1]->Led(), 1);
  std::vector<ChipRecord> rows;
  std::string error;
  ASSERT_TRUE(store_->Rows("", rows, error)) << error;
  EXPECT_TRUE(rows.empty());

  // The offline download the same way: the script stored with the file's
  // name; a programmer that is not there fails alone.
  recorder_.rows.clear();
  settings_.run = RunKind::kOffline;
  std::vector<std::optional<DeviceSelector>> devices = Devices(1);
  devices.emplace_back(DeviceSelector{DeviceSelector::Kind::kSerial, "NOSUCH"});
  Engine offline(product_, settings_, recorder_);
  const auto stored = offline.Run(devices);
  EXPECT_EQ(stored[0].stop, StationStop::kCount);
  EXPECT_EQ(stored[1].stop, StationStop::kNoProgrammer);
  ASSERT_EQ(recorder_.rows[1].size(), 1u);
  EXPECT_EQ(recorder_.rows[1][0].result, ChipResult::kNoProgrammer);
  EXPECT_EQ(recorder_.rows[0][0].result, ChipResult::kPass);
  EXPECT_EQ(emulators_[0]->OfflineName(), "gang.hex");
  EXPECT_EQ(emulators_[0]->OfflineRecords().size(), product_.script->size() + 2);
}

// One station in button mode, asked to stop at its first chip's third
// line, the station then held 300 ms; the run ends within 2 s.
std::vector<StationSummary> EngineTest::RunStoppedMidChip(std::chrono::milliseconds stopWait) {
  settings_.next = NextChip::kManual;
  settings_.stopWait = stopWait;
  recorder_.nextAnswers = 5;
  Engine engine(product_, settings_, *store_, recorder_);
  int lines = 0;
  recorder_.onEvent = [&](const Event& e) {
    if (e.kind != EventKind::kLineDone || ++lines != 3) return;
    engine.RequestStop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  const auto start = std::chrono::steady_clock::now();
  auto summaries = engine.Run(Devices(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  return summaries;
}

// A stop lets the chip in progress finish for stopWait; then its run is cut
// short before its next line, and the chip is recorded as stopped.
TEST_F(EngineTest, AChipThatOutlastsTheStopIsCutShortAndRecordedAsStopped) {
  // The hold is longer than stopWait, shorter than twice as long.
  const auto summaries = RunStoppedMidChip(std::chrono::milliseconds(200));
  EXPECT_EQ(summaries[0].stop, StationStop::kStopped);
  ASSERT_EQ(recorder_.rows[0].size(), 1u);
  EXPECT_EQ(recorder_.rows[0][0].result, ChipResult::kStopped);
  EXPECT_EQ(recorder_.rows[0][0].runResult, velkan::kRunStopped);
  std::vector<ChipRecord> rows;
  std::string error;
  ASSERT_TRUE(store_->Rows("", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].result, ChipResult::kStopped);
  EXPECT_EQ(emulators_[0]->Led(), 1);  // not a pass
}

// A station that has not ended twice stopWait after the stop is given up:
// the run returns with kNotStopped for it, and nothing of that station
// reaches the observer or the store afterwards.
TEST_F(EngineTest, AStationThatDoesNotStopInTimeIsGivenUp) {
  const auto summaries = RunStoppedMidChip(std::chrono::milliseconds(50));
  EXPECT_EQ(summaries[0].stop, StationStop::kNotStopped);
  EXPECT_EQ(summaries[0].serial, hid::EmulatorSerial(0));
  EXPECT_NE(summaries[0].detail.find("chip's state is unknown"), std::string::npos)
      << summaries[0].detail;
  {
    std::lock_guard lock(recorder_.mutex);
    EXPECT_EQ(recorder_.stops[0], StationStop::kNotStopped);
  }
  // The station's thread ends on its own (its run cut short); its chip
  // never reached the record.
  for (int i = 0; i < 500 && StationThreadsRunning() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(StationThreadsRunning(), 0);
  const std::size_t events = recorder_.events[0].size();
  std::vector<ChipRecord> rows;
  std::string error;
  ASSERT_TRUE(store_->Rows("", rows, error)) << error;
  EXPECT_TRUE(rows.empty());
  EXPECT_TRUE(recorder_.rows[0].empty());
  EXPECT_EQ(recorder_.events[0].size(), events);
}

}  // namespace
}  // namespace velkan::production
