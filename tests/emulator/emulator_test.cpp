// The emulated programmer at the report level: requests are built by hand
// and cut into output reports, replies are read back report by report.
#include "emulator/emulator.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

#include "common/clock.h"
#include "common/sha256.h"
#include "image/crc16.h"
#include "programmer/hid_emulated.h"
#include "support/small_tmpfs.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace velkan::emu {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes RequestFrame(std::uint8_t command, const Bytes& data, std::uint8_t type = 0) {
  Bytes f{type, command, static_cast<std::uint8_t>(data.size() & 0xFF),
          static_cast<std::uint8_t>(data.size() >> 8)};
  f.insert(f.end(), data.begin(), data.end());
  std::uint8_t x = 0;
  for (std::size_t i = 1; i < f.size(); ++i) x ^= f[i];
  f.push_back(x);
  return f;
}

std::vector<hid::Report> Cut(const Bytes& frame) {
  std::vector<hid::Report> out;
  for (std::size_t off = 0; off < frame.size(); off += 63) {
    hid::Report r{};
    r[0] = 3;
    const std::size_t n = std::min<std::size_t>(63, frame.size() - off);
    std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(off), n, r.begin() + 1);
    out.push_back(r);
  }
  return out;
}

void Send(Emulator& e, const Bytes& frame) {
  for (const auto& r : Cut(frame)) {
    int code = 0;
    ASSERT_TRUE(e.WriteReport(r, code)) << "write failed with " << code;
  }
}

struct Reply {
  bool ok = false;  // all reports read
  int errorCode = 0;
  Bytes frame;
  std::vector<std::size_t> frameBytesPerReport;
  std::uint8_t status() const { return frame.at(2); }
  std::size_t n() const { return frame.at(3) | frame.at(4) << 8; }
  Bytes data() const { return Bytes(frame.begin() + 5, frame.end() - 1); }
  bool checkOk() const {
    std::uint8_t x = 0;
    for (std::size_t i = 1; i + 1 < frame.size(); ++i) x ^= frame[i];
    return x == frame.back();
  }
};

Reply Receive(Emulator& e) {
  Reply rep;
  std::size_t total = 0;
  do {
    hid::Report r{};
    std::size_t delivered = 0;
    if (!e.ReadReport(r, delivered, rep.errorCode)) return rep;
    EXPECT_EQ(r[0], 4);
    EXPECT_GE(delivered, 1u);
    if (delivered == 1) {  // empty report: stop, as a careful link would
      rep.frameBytesPerReport.push_back(0);
      return rep;
    }
    if (total == 0) total = (r[4] | r[5] << 8) + 6;
    const std::size_t bytes = std::min(delivered - 1, total - rep.frame.size());
    rep.frameBytesPerReport.push_back(bytes);
    rep.frame.insert(rep.frame.end(), r.begin() + 1, r.begin() + 1 + bytes);
  } while (rep.frame.size() < total);
  rep.ok = true;
  return rep;
}

Reply Exchange(Emulator& e, std::uint8_t command, const Bytes& data = {}) {
  Send(e, RequestFrame(command, data));
  return Receive(e);
}

Bytes I2cWriteData(const Bytes& bytes, std::uint8_t address = 0xA0) {
  Bytes d{address, static_cast<std::uint8_t>(bytes.size() & 0xFF),
          static_cast<std::uint8_t>(bytes.size() >> 8)};
  d.insert(d.end(), bytes.begin(), bytes.end());
  return d;
}

// One chip command: 0x76 write, then 0x77 read of `want` bytes; the status word.
Bytes ChipCommand(Emulator& e, const Bytes& cmd, std::uint16_t want = 2) {
  const Reply w = Exchange(e, 0x76, I2cWriteData(cmd));
  EXPECT_TRUE(w.ok && w.status() == 0);
  const Reply r = Exchange(
      e, 0x77,
      {0xA1, static_cast<std::uint8_t>(want & 0xFF), static_cast<std::uint8_t>(want >> 8)});
  EXPECT_TRUE(r.ok && r.status() == 0 && r.checkOk());
  return r.data();
}

const Bytes kOk{0x90, 0x00};

Bytes Sw(std::uint16_t sw) {
  return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

Bytes BlockWrite(std::uint16_t block, const Bytes& bytes) {
  Bytes c{0xDC, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block),
          static_cast<std::uint8_t>(bytes.size())};
  c.insert(c.end(), bytes.begin(), bytes.end());
  return c;
}

// Every test runs on virtual time, so timeouts and latencies cost nothing.
class EmulatorTest : public ::testing::Test {
 protected:
  VirtualClock clock_;
  ScopedClock scoped_{clock_};
};

// ---- Link ----

TEST_F(EmulatorTest, ReassemblesRequestsAcrossReportsAndCutsReplies) {
  Emulator e;
  // 58 data bytes fill one report exactly, 59 need a second one.
  for (std::size_t size : {58u, 59u, 200u}) {
    Bytes content(size - 4);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    Bytes data{0x03, 0x00, 0x11, static_cast<std::uint8_t>(content.size())};
    data.insert(data.end(), content.begin(), content.end());
    const auto reports = Cut(RequestFrame(0x7D, data));
    EXPECT_EQ(reports.size(), size == 58 ? 1u : size == 59 ? 2u : 4u);
    for (const auto& r : reports) {
      // Nothing is answered before the last report of the request.
      int code = 0;
      ASSERT_TRUE(e.WriteReport(r, code));
    }
    const Reply rep = Receive(e);
    ASSERT_TRUE(rep.ok);
    EXPECT_EQ(rep.status(), 0);
    EXPECT_EQ(e.OfflineRecords().back().content, content);
  }
  EXPECT_EQ(e.ExchangeCount(), 3u);
  ASSERT_EQ(e.Requests().size(), 3u);
  EXPECT_EQ(e.Requests()[2].data.size(), 200u);

  // A long run keeps only the most recent frames, not every one it sent.
  for (std::size_t i = 0; i < kRequestRecordLimit; ++i) {
    Exchange(e, 0x78, {static_cast<std::uint8_t>(i)});
  }
  const auto kept = e.Requests();
  ASSERT_EQ(kept.size(), kRequestRecordLimit);
  EXPECT_EQ(kept.front().data, Bytes{0x00});
  EXPECT_EQ(kept.back().data, Bytes{static_cast<std::uint8_t>(kRequestRecordLimit - 1)});
  EXPECT_EQ(e.ExchangeCount(), 3u + kRequestRecordLimit);

  // A reply of 150 data bytes comes in reports of 63, 63 and 30 frame bytes.
  Bytes apdu(150);
  for (std::size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<std::uint8_t>(i);
  e.SetApduResponse(apdu);
  const Reply rep = Exchange(e, 0x6F, {0x00, 0xA4, 0x04, 0x00});
  ASSERT_TRUE(rep.ok);
  EXPECT_EQ(rep.frameBytesPerReport, (std::vector<std::size_t>{63, 63, 30}));
  EXPECT_EQ(rep.frame[0], 0);
  EXPECT_EQ(rep.frame[1], 0x6F);
  EXPECT_EQ(rep.n(), 150u);
  EXPECT_EQ(rep.data(), apdu);
  EXPECT_TRUE(rep.checkOk());
}

TEST_F(EmulatorTest, RefusesBadCheckBytesUnknownCommandsAndMalformedData) {
  Emulator e;
  Bytes frame = RequestFrame(0x78, {0x02});
  EXPECT_EQ(frame, (Bytes{0x00, 0x78, 0x01, 0x00, 0x02, 0x7B}));
  frame.back() ^= 0x01;
  Send(e, frame);
  Reply rep = Receive(e);
  ASSERT_TRUE(rep.ok);
  EXPECT_EQ(rep.status(), kStatusBadCheck);
  EXPECT_EQ(rep.n(), 0u);
  EXPECT_TRUE(rep.checkOk());
  EXPECT_EQ(e.Led(), 0);  // not carried out
  ASSERT_EQ(e.Requests().size(), 1u);
  EXPECT_FALSE(e.Requests()[0].checkOk);

  // The frame type takes no part in the check.
  Send(e, RequestFrame(0x78, {0x02}, 2));
  EXPECT_EQ(Receive(e).status(), 0);
  EXPECT_EQ(e.Led(), 2);

  EXPECT_EQ(Exchange(e, 0x55).status(), kStatusUnknown);
  EXPECT_EQ(Exchange(e, 0x55).frame[1], 0x55);
  // I2C write whose length field disagrees with the frame; I2C read without length.
  EXPECT_EQ(Exchange(e, 0x76, {0xA0, 0x05, 0x00, 0x07}).status(), kStatusBadData);
  EXPECT_EQ(Exchange(e, 0x77, {0xA1}).status(), kStatusBadData);
  // Offline record whose n disagrees with the content; over-long name.
  EXPECT_EQ(Exchange(e, 0x7D, {0x01, 0x00, 0x11, 0x03, 0xAA}).status(), kStatusBadData);
  EXPECT_EQ(Exchange(e, 0x7B, Bytes(kMaxOfflineName + 1, 'a')).status(), kStatusBadData);
  EXPECT_TRUE(e.OfflineRecords().empty());
  EXPECT_EQ(e.OfflineName(), "");

  // A report without report ID 3 is refused and does not disturb the link.
  hid::Report bad{};
  bad[0] = 2;
  int code = 0;
  EXPECT_FALSE(e.WriteReport(bad, code));
  EXPECT_EQ(code, kBadReportError);
  EXPECT_EQ(Exchange(e, 0x72).status(), 0);
}

// Like the kernel's hidraw buffer: what a reader leaves unread stays queued
// for it alone (a new request does not clear it), every reader gets every
// report, a queue keeps the newest kReaderQueueLimit reports, and
// DiscardPending empties one reader's queue.
TEST_F(EmulatorTest, UnreadRepliesStayQueuedPerReader) {
  Emulator e;
  const int other = e.AttachReader();
  e.SetApduResponse(Bytes(150, 0x11));
  Send(e, RequestFrame(0x6F, {0x00}));
  hid::Report r{};
  std::size_t delivered = 0;
  int code = 0;
  ASSERT_TRUE(e.ReadReport(r, delivered, code));  // first of three reports only
  Send(e, RequestFrame(0x75, {}));
  // The APDU reply's other two reports come first.
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(r[1], 0x11);
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  const Reply state = Receive(e);
  ASSERT_TRUE(state.ok);
  EXPECT_EQ(state.frame[1], 0x75);

  // The other reader got both replies too, and can throw them away.
  int failCode = 0;
  ASSERT_TRUE(e.PollReport(other, r, delivered, failCode));
  EXPECT_EQ(r[2], 0x6F);
  e.DiscardPending(other);
  EXPECT_FALSE(e.PollReport(other, r, delivered, failCode));

  // 40 three-report replies: the newest 64 reports are kept.
  for (int i = 0; i < 40; ++i) Send(e, RequestFrame(0x6F, {static_cast<std::uint8_t>(i)}));
  int queued = 0;
  while (e.PollReport(other, r, delivered, failCode)) ++queued;
  EXPECT_EQ(queued, static_cast<int>(kReaderQueueLimit));
  e.DetachReader(other);
  EXPECT_FALSE(e.PollReport(other, r, delivered, failCode));
}

// One reader holds the programmer; another is refused at once without
// waiting, or waits for the release. With a state folder the hold is also a
// lock file shared with other processes, and taking it reloads what another
// emulator of the same folder wrote meanwhile.
TEST_F(EmulatorTest, HoldKeepsOtherReadersAndFoldersOut) {
  const fs::path dir = fs::temp_directory_path() / ("velkan_hold_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  {
    Emulator a(dir), b(dir);
    ASSERT_TRUE(a.ok() && b.ok());
    const int ra = a.AttachReader();
    const int rb = b.AttachReader();
    const int ra2 = a.AttachReader();
    ASSERT_TRUE(a.Acquire(ra, false));
    EXPECT_FALSE(a.Acquire(ra2, false));  // same emulator, other reader
    EXPECT_FALSE(b.Acquire(rb, false));   // same folder, other "process"
    std::array<std::uint8_t, kFlashSize> flash{};
    flash.fill(0x5A);
    a.SetFlash(flash);
    std::atomic<bool> got{false};
    std::thread waiter([&] { got = b.Acquire(rb, true); });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(got.load());
    a.Release(ra);
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(b.Flash(), flash);  // reloaded when taken
    b.Release(rb);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);  // the emulators and their lock files are gone
}

// ---- Programmer commands ----

TEST_F(EmulatorTest, CardStateVersionLedSpeakerAndBoot) {
  Emulator e;
  Reply rep = Exchange(e, 0x62, {0x01});
  EXPECT_EQ(rep.data().at(0), 0x3B);
  e.SetAnswerToReset({0x3F, 0x01, 0x02});
  EXPECT_EQ(Exchange(e, 0x62, {0x01}).data(), (Bytes{0x3F, 0x01, 0x02}));
  EXPECT_EQ(Exchange(e, 0x63).status(), 0);
  EXPECT_EQ(Exchange(e, 0x6F, {0x00, 0x84, 0x00, 0x00, 0x08}).data(), kOk);
  EXPECT_EQ(Exchange(e, 0x75).data(), Bytes{0x01});

  const Bytes v = Exchange(e, 0x89).data();
  const std::string text = kFirmwareVersionText;
  ASSERT_EQ(v.size(), text.size() + 4);
  EXPECT_EQ(v[0] | v[1] << 8, static_cast<int>(v.size()));
  EXPECT_EQ(std::string(v.begin() + 2, v.end() - 2), text);
  EXPECT_EQ(v[v.size() - 2] | v[v.size() - 1] << 8, kFirmwareVersionValue);
  EXPECT_EQ(e.FirmwareVersion(), text);

  Exchange(e, 0x78, {0x01});
  Exchange(e, 0x79, {0x01});
  EXPECT_EQ(e.Led(), 1);
  EXPECT_EQ(e.Speaker(), 1);
  EXPECT_EQ(Exchange(e, 0x78).status(), kStatusBadData);

  EXPECT_EQ(Exchange(e, 0x70).status(), 0);
  EXPECT_TRUE(e.BootMode());
  EXPECT_EQ(Exchange(e, 0x72).status(), 0);
  EXPECT_FALSE(e.BootMode());
}

TEST_F(EmulatorTest, FirmwareUpdateKeepsTheImage) {
  Emulator e;
  Bytes image(300);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  EXPECT_EQ(Exchange(e, 0x8A).status(), 0);
  EXPECT_EQ(Exchange(e, 0x8B, Bytes(8, 0xEE)).status(), 0);
  EXPECT_EQ(Exchange(e, 0x8C, Bytes(image.begin(), image.begin() + 256)).status(), 0);
  EXPECT_EQ(Exchange(e, 0x8C, Bytes(image.begin() + 256, image.end())).status(), 0);
  EXPECT_EQ(e.FirmwareSize(), 0u);  // not before completion
  EXPECT_EQ(Exchange(e, 0x8D, {0x01, 0x02}).status(), 0);
  EXPECT_EQ(e.Firmware(), image);
  EXPECT_EQ(e.FirmwareSize(), 300u);
  EXPECT_EQ(Exchange(e, 0x8B, Bytes(7, 0)).status(), kStatusBadData);
}

TEST_F(EmulatorTest, OfflineRecordsAndName) {
  Emulator e;
  EXPECT_EQ(Exchange(e, 0x7C).status(), 0);
  // The begin record, a kind 0x10 record with one byte, the end record.
  EXPECT_EQ(RequestFrame(0x7D, {0x02, 0x01, 0x02, 0x00}),
            (Bytes{0x00, 0x7D, 0x04, 0x00, 0x02, 0x01, 0x02, 0x00, 0x78}));
  Exchange(e, 0x7D, {0x00, 0x00, 0x02, 0x00});
  Exchange(e, 0x7D, {0x02, 0x01, 0x10, 0x01, 0x00});
  Exchange(e, 0x7D, {0x03, 0x00, 0x03, 0x00});
  const auto recs = e.OfflineRecords();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0], (OfflineRecord{0, 0x02, {}}));
  EXPECT_EQ(recs[1], (OfflineRecord{0x0102, 0x10, {0x00}}));
  EXPECT_EQ(recs[2], (OfflineRecord{3, 0x03, {}}));

  EXPECT_EQ(Exchange(e, 0x7B, {'a', 'p', 'p', '.', 'h', 'e', 'x'}).status(), 0);
  EXPECT_EQ(e.OfflineName(), "app.hex");
  EXPECT_EQ(Exchange(e, 0x7A).data(), (Bytes{'a', 'p', 'p', '.', 'h', 'e', 'x'}));

  // An erase clears the name too: a download cut short after its erase must
  // not show the previous file's name over records of another.
  Exchange(e, 0x7C);
  EXPECT_TRUE(e.OfflineRecords().empty());
  EXPECT_EQ(e.OfflineName(), "");
  EXPECT_TRUE(Exchange(e, 0x7A).data().empty());
}

// ---- Chip ----

TEST_F(EmulatorTest, ProgramsFlashAndChecksTheCrc) {
  Emulator e;
  EXPECT_EQ(
      ChipCommand(e, {0x20, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
      kOk);
  EXPECT_EQ(
      ChipCommand(e, {0x20, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
      Sw(kSwBadKey));

  auto dirty = e.Flash();
  dirty[100] = 0x12;
  e.SetFlash(dirty);
  EXPECT_EQ(ChipCommand(e, {0x07, 0x00, 0x00, 0x00}), kOk);
  std::array<std::uint8_t, kFlashSize> expected;
  expected.fill(0xFF);
  EXPECT_EQ(e.Flash(), expected);

  // 16 bytes at 0x2000 (block 0x0040) and a full last block 0x013F.
  Bytes first(16);
  for (std::size_t i = 0; i < 16; ++i) first[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x0040, first)), kOk);
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x013F, Bytes(128, 0xA5))), kOk);
  std::copy(first.begin(), first.end(), expected.begin());
  std::fill(expected.end() - 128, expected.end(), 0xA5);
  EXPECT_EQ(e.Flash(), expected);

  // Out of the APP region, too long, count not matching the data.
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x003F, Bytes(4, 0))), Sw(kSwBadBlock));
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x0140, Bytes(4, 0))), Sw(kSwBadBlock));
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x0041, Bytes(129, 0))), Sw(kSwWrongLength));
  Bytes mismatch = BlockWrite(0x0041, Bytes(4, 0));
  mismatch[3] = 5;
  EXPECT_EQ(ChipCommand(e, mismatch), Sw(kSwWrongLength));
  EXPECT_EQ(ChipCommand(e, {0xDC, 0x00}), Sw(kSwWrongLength));
  EXPECT_EQ(e.Flash(), expected);

  const std::uint16_t crc = Crc16Xmodem(expected.data(), expected.size());
  EXPECT_EQ(FlashCrc(e.Flash()), crc);
  const auto hi = static_cast<std::uint8_t>(crc >> 8), lo = static_cast<std::uint8_t>(crc);
  EXPECT_EQ(ChipCommand(e, {0x40, 0x00, 0x00, 0x02, hi, lo}), kOk);
  EXPECT_NE(ChipCommand(e, {0x40, 0x00, 0x00, 0x02, lo, hi}), kOk);
  EXPECT_EQ(ChipCommand(e, {0x40, 0x00, 0x00, 0x02, hi, static_cast<std::uint8_t>(lo ^ 1)}),
            Sw(kSwCrcMismatch));

  // The erased image's CRC is the one of 32768 bytes 0xFF.
  ChipCommand(e, {0x07, 0x00, 0x00, 0x00});
  EXPECT_EQ(ChipCommand(e, {0x40, 0x00, 0x00, 0x02, 0x1E, 0xF0}), kOk);
  EXPECT_EQ(ChipCommand(e, {0x99, 0x00, 0x00, 0x00}), Sw(kSwUnknown));
  // An unknown command is unknown whatever its length; a known one that is
  // too short is a length error.
  EXPECT_EQ(ChipCommand(e, {0x99}), Sw(kSwUnknown));
  EXPECT_EQ(ChipCommand(e, {0xAB, 0x01, 0x02, 0x05, 0x00}), Sw(kSwUnknown));
  EXPECT_EQ(ChipCommand(e, {0x07}), Sw(kSwWrongLength));
  EXPECT_EQ(ChipCommand(e, {}), Sw(kSwWrongLength));
}

TEST_F(EmulatorTest, ReadsDeliverAtMostTheRequestedLengthOnce) {
  Emulator e;
  const Reply w = Exchange(e, 0x76, I2cWriteData({0x07, 0x00, 0x00, 0x00}, 0x30));
  EXPECT_EQ(w.status(), 0);
  EXPECT_EQ(Exchange(e, 0x77, {0x31, 0x01, 0x00}).data(), Bytes{0x90});
  // The status word was consumed by that read.
  EXPECT_EQ(Exchange(e, 0x77, {0x31, 0x02, 0x00}).data(), Sw(kSwNothingPending));
  EXPECT_EQ(Exchange(e, 0x77, {0x31, 0x00, 0x01}).data(), Sw(kSwNothingPending));
  Exchange(e, 0x76, I2cWriteData({0x07, 0x00, 0x00, 0x00}));
  Exchange(e, 0x72);  // re-power forgets the pending status word
  EXPECT_EQ(Exchange(e, 0x77, {0xA1, 0x02, 0x00}).data(), Sw(kSwNothingPending));
}

TEST_F(EmulatorTest, FuseLocksTheChip) {
  Emulator e;
  EXPECT_EQ(ChipCommand(e, {0x08, 0x00, 0x00, 0x00}), kOk);
  EXPECT_FALSE(e.Fused());
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x0040, {0x01})), kOk);
  EXPECT_EQ(ChipCommand(e, {0x08, 0x01, 0x00, 0x00}), kOk);
  EXPECT_TRUE(e.Fused());
  const auto before = e.Flash();
  for (const Bytes& cmd :
       {Bytes{0x20, 0x00, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        Bytes{0x07, 0x00, 0x00, 0x00}, BlockWrite(0x0040, {0x02}),
        Bytes{0x40, 0x00, 0x00, 0x02, 0x00, 0x00}, Bytes{0x08, 0x00, 0x00, 0x00}}) {
    const Bytes sw = ChipCommand(e, cmd);
    ASSERT_EQ(sw.size(), 2u);
    EXPECT_NE(sw[0], 0x90);
    EXPECT_EQ(sw, Sw(kSwFused));
  }
  EXPECT_EQ(e.Flash(), before);
  // Re-powering does not undo a fuse.
  Exchange(e, 0x72);
  EXPECT_EQ(ChipCommand(e, {0x07, 0x00, 0x00, 0x00}), Sw(kSwFused));
}

// ---- Persistence ----

class EmulatorStateTest : public EmulatorTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velkan-emu-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void Write(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }

  std::filesystem::path dir_;
};

TEST_F(EmulatorStateTest, RoundTripThroughTheStateFolder) {
  const std::string name = "app\xB3\xCC.hex";  // not UTF-8: kept byte for byte
  {
    Emulator e(dir_ / "nested");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "nested"));
    ChipCommand(e, BlockWrite(0x0041, {0xDE, 0xAD}));
    Exchange(e, 0x78, {2});
    Exchange(e, 0x79, {1});
    Exchange(e, 0x7B, Bytes(name.begin(), name.end()));
    Exchange(e, 0x7D, {0x00, 0x00, 0x02, 0x00});
    Exchange(e, 0x7D, {0x01, 0x00, 0x11, 0x03, 0x0a, 0xBC, 0x00});
    Exchange(e, 0x8A);
    Exchange(e, 0x8B, Bytes(8, 0));
    Exchange(e, 0x8C, Bytes(40, 0x33));
    Exchange(e, 0x8D);
    ChipCommand(e, {0x08, 0x01, 0x00, 0x00});
    ASSERT_TRUE(e.ok()) << e.error();
  }
  const std::string json = Slurp(dir_ / "nested" / "state.json");
  EXPECT_NE(json.find("\"content\": \"0ABC00\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"fused\": true"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(dir_ / "nested" / "flash.bin"), kFlashSize);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "nested" / "state.json.tmp"));

  Emulator e(dir_ / "nested");
  ASSERT_TRUE(e.ok()) << e.error();
  EXPECT_TRUE(e.Fused());
  EXPECT_EQ(e.Led(), 2);
  EXPECT_EQ(e.Speaker(), 1);
  EXPECT_EQ(e.OfflineName(), name);
  EXPECT_EQ(e.OfflineRecords(),
            (std::vector<OfflineRecord>{{0, 0x02, {}}, {1, 0x11, {0x0A, 0xBC, 0x00}}}));
  EXPECT_EQ(e.FirmwareSize(), 40u);
  EXPECT_EQ(e.Firmware(), Bytes(40, 0x33));
  EXPECT_EQ(e.Flash()[128], 0xDE);
  EXPECT_EQ(e.Flash()[129], 0xAD);
  EXPECT_EQ(e.Flash()[130], 0xFF);
}

TEST_F(EmulatorStateTest, DamagedStateIsReportedAndLeftAlone) {
  std::filesystem::create_directories(dir_);
  const std::vector<std::string> damaged = {
      "{\"fused\": tru",                                               // not JSON
      "[1, 2]",                                                        // not an object
      "{\"fused\": \"yes\"}",                                          // wrong type
      "{\"led\": 300}",                                                // out of range
      "{\"offline\": {\"records\": [{\"number\": 1, \"kind\": 2}]}}",  // missing content
      "{\"offline\": {\"records\": [{\"number\": 1, \"kind\": 2, \"content\": \"0G\"}]}}",
      "{\"offline\": {\"records\": [{\"number\": 70000, \"kind\": 2, \"content\": \"\"}]}}",
      "{\"offline\": {\"records\": {}}}",
  };
  for (const auto& text : damaged) {
    Write(dir_ / "state.json", text);
    Emulator e(dir_);
    EXPECT_FALSE(e.ok()) << text;
    EXPECT_NE(e.error().find("state.json"), std::string::npos) << e.error();
    // It still answers, on defaults, and does not overwrite the damaged file.
    EXPECT_EQ(Exchange(e, 0x78, {1}).status(), 0);
    EXPECT_FALSE(e.Fused());
    EXPECT_EQ(Slurp(dir_ / "state.json"), text);
  }

  Write(dir_ / "state.json", "{}");
  Write(dir_ / "flash.bin", std::string(100, '\0'));
  Emulator shortFlash(dir_);
  EXPECT_FALSE(shortFlash.ok());
  EXPECT_NE(shortFlash.error().find("flash.bin"), std::string::npos);
  EXPECT_EQ(shortFlash.Flash()[0], 0xFF);

  std::filesystem::remove(dir_ / "flash.bin");
  Emulator empty(dir_);  // "{}" is a valid state: everything at its default
  EXPECT_TRUE(empty.ok()) << empty.error();

  // A file where the folder should be.
  Write(dir_ / "file", "x");
  Emulator notADir(dir_ / "file");
  EXPECT_FALSE(notADir.ok());
  EXPECT_FALSE(notADir.error().empty());
}

// The state files are read with the sizes they can have and must be plain
// files: a link to /dev/zero, a FIFO or a huge sparse file is refused at
// once with a message, without reading it.
TEST_F(EmulatorStateTest, StateFilesOfImpossibleSizeOrKindAreRefused) {
  namespace fs = std::filesystem;
  fs::create_directories(dir_);
  struct Case {
    const char* file;
    std::function<void(const fs::path&)> make;
    const char* why;
  };
  const std::vector<Case> cases = {
    {"flash.bin", [](const fs::path& p) { Write(p, std::string(kFlashSize + 1, 'x')); },
     "more than 32 KiB"},
    {"flash.bin",
     [](const fs::path& p) {
       Write(p, "");
       fs::resize_file(p, std::uintmax_t{1} << 30);  // sparse: costs no disk
     },
     "more than 32 KiB"},
    {"firmware.bin",
     [](const fs::path& p) {
       Write(p, "");
       fs::resize_file(p, std::uintmax_t{1} << 30);
     },
     "larger than 16 MiB"},
    {"state.json",
     [](const fs::path& p) {
       Write(p, "");
       fs::resize_file(p, std::uintmax_t{1} << 30);
     },
     "larger than 64 MiB"},
#if !defined(_WIN32)
    {"flash.bin", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
     "not a regular file"},
    {"state.json", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
     "not a regular file"},
    {"firmware.bin", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
     "not a regular file"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.why);
    const fs::path path = dir_ / c.file;
    c.make(path);
    Emulator e(dir_);
    EXPECT_FALSE(e.ok());
    EXPECT_NE(e.error().find(c.file), std::string::npos) << e.error();
    EXPECT_NE(e.error().find(c.why), std::string::npos) << e.error();
    fs::remove(path);
  }
  // Exactly the flash size is what a flash.bin holds.
  Write(dir_ / "flash.bin", std::string(kFlashSize, '\x5A'));
  Emulator good(dir_);
  EXPECT_TRUE(good.ok()) << good.error();
  EXPECT_EQ(good.Flash()[kFlashSize - 1], 0x5A);
}

std::vector<std::string> TemporaryFiles(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".tmp") found.push_back(entry.path().filename().string());
  }
  return found;
}

// A state folder that cannot take a change (a full disk, a read-only file
// system): the request is answered with kStatusNotKept, the files stay as
// they were, no temporary file is left, and stderr says why.
TEST_F(EmulatorStateTest, StateThatCannotBeKeptFailsTheRequest) {
  namespace fs = std::filesystem;
  testing_support::SmallTmpfs disk(dir_, "40k");  // flash.bin fits once, not twice
  if (!disk.mounted()) GTEST_SKIP() << testing_support::SmallTmpfs::kSkipText;
  {
    Emulator e(dir_);
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(ChipCommand(e, BlockWrite(0x0040, {0x11})), kOk);
    ASSERT_EQ(Slurp(dir_ / "flash.bin")[0], '\x11');

    ::testing::internal::CaptureStderr();
    const Reply full = Exchange(e, 0x76, I2cWriteData(BlockWrite(0x0041, {0x22})));
    const std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(full.ok);
    EXPECT_EQ(full.status(), kStatusNotKept);
    EXPECT_TRUE(full.data().empty());
    EXPECT_NE(said.find("flash.bin"), std::string::npos) << said;
    EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
    EXPECT_EQ(Slurp(dir_ / "flash.bin").substr(0, 1), "\x11");
    EXPECT_EQ(static_cast<unsigned char>(Slurp(dir_ / "flash.bin")[128]), 0xFF);
    EXPECT_TRUE(TemporaryFiles(dir_).empty());
  }

  // Read-only: the offline storage's erase and the LED cannot be kept.
  ASSERT_TRUE(disk.MakeReadOnly());
  Emulator e(dir_);
  ASSERT_TRUE(e.ok()) << e.error();
  const std::string flashBefore = Slurp(dir_ / "flash.bin");
  for (std::uint8_t command : {std::uint8_t{0x7C}, std::uint8_t{0x78}}) {
    SCOPED_TRACE(static_cast<int>(command));
    ::testing::internal::CaptureStderr();
    const Reply r = command == 0x78 ? Exchange(e, command, {1}) : Exchange(e, command);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status(), kStatusNotKept);
    EXPECT_NE(said.find("Read-only file system"), std::string::npos) << said;
  }
  EXPECT_EQ(Exchange(e, 0x7A).status(), 0);  // reading needs no write
  EXPECT_EQ(Slurp(dir_ / "flash.bin"), flashBefore);
  EXPECT_FALSE(fs::exists(dir_ / "state.json"));
  EXPECT_TRUE(TemporaryFiles(dir_).empty());
}

// ---- Faults ----

TEST_F(EmulatorTest, WriteFailAndUnplugRefuseTheRequest) {
  Emulator e;
  Fault f;
  f.kind = FaultKind::kWriteFail;
  f.atCommand = 0x78;
  f.errorCode = 31;
  e.InjectFault(f);
  EXPECT_EQ(Exchange(e, 0x79, {1}).status(), 0);  // other commands pass
  int code = 0;
  EXPECT_FALSE(e.WriteReport(Cut(RequestFrame(0x78, {2}))[0], code));
  EXPECT_EQ(code, 31);
  EXPECT_EQ(e.Led(), 0);
  EXPECT_EQ(e.ExchangeCount(), 1u);
  EXPECT_EQ(Exchange(e, 0x78, {2}).status(), 0);  // fired once
  EXPECT_EQ(e.Led(), 2);

  Fault u;
  u.kind = FaultKind::kUnplug;
  u.atExchange = 3;
  u.errorCode = 1167;
  e.InjectFault(u);
  EXPECT_EQ(Exchange(e, 0x75).status(), 0);  // exchange 2
  EXPECT_TRUE(e.Present());
  EXPECT_FALSE(e.WriteReport(Cut(RequestFrame(0x75, {}))[0], code));
  EXPECT_EQ(code, 1167);
  EXPECT_FALSE(e.Present());
  hid::Report r{};
  std::size_t delivered = 0;
  code = 0;
  EXPECT_FALSE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(code, 1167);
  EXPECT_EQ(clock_.Now(), Clock::Duration{0});  // fails at once, no timeout
  EXPECT_FALSE(e.WriteReport(Cut(RequestFrame(0x75, {}))[0], code));

  auto platform = hid::MakeEmulatedPlatform(std::shared_ptr<Emulator>(&e, [](Emulator*) {}));
  EXPECT_EQ(platform->PresentInterfaces()->At(0), hid::InterfaceSet::Item::kNoMore);
  EXPECT_EQ(platform->Open(hid::kEmulatorPath), nullptr);

  e.Replug();
  EXPECT_TRUE(e.Present());
  EXPECT_EQ(Exchange(e, 0x75).status(), 0);
}

TEST_F(EmulatorTest, ReplyFaults) {
  Emulator e;
  auto inject = [&](FaultKind kind) {
    Fault f;
    f.kind = kind;
    f.atCommand = 0x78;
    f.errorCode = 121;
    f.status = 9;
    e.InjectFault(f);
  };
  hid::Report r{};
  std::size_t delivered = 0;
  int code = 0;

  inject(FaultKind::kStatus);  // answered instead of carried out
  Reply rep = Exchange(e, 0x78, {1});
  ASSERT_TRUE(rep.ok);
  EXPECT_EQ(rep.status(), 9);
  EXPECT_TRUE(rep.checkOk());
  EXPECT_EQ(e.Led(), 0);

  inject(FaultKind::kBadCheck);
  rep = Exchange(e, 0x78, {2});
  ASSERT_TRUE(rep.ok);
  EXPECT_EQ(rep.status(), 0);
  EXPECT_FALSE(rep.checkOk());
  EXPECT_EQ(e.Led(), 2);

  inject(FaultKind::kReadFail);
  Send(e, RequestFrame(0x78, {3}));
  EXPECT_FALSE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(code, 121);
  EXPECT_EQ(e.Led(), 3);
  // Nothing of that reply is left; the next read waits and times out.
  EXPECT_FALSE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(code, hid::kTimeoutError);

  inject(FaultKind::kLengthOverflow);
  Send(e, RequestFrame(0x78, {4}));
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(delivered, 64u);
  EXPECT_EQ(r[4] | r[5] << 8, 600);
  int more = 0;  // the other 543 frame bytes
  while (e.ReadReport(r, delivered, code)) ++more;
  EXPECT_EQ(more, 9);

  inject(FaultKind::kEmptyReport);
  Send(e, RequestFrame(0x78, {5}));
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(delivered, 1u);
  EXPECT_EQ(r[0], 4);
  rep = Receive(e);  // the real reply follows
  ASSERT_TRUE(rep.ok);
  EXPECT_TRUE(rep.checkOk());

  const auto before = clock_.Now();
  inject(FaultKind::kNoAnswer);
  Send(e, RequestFrame(0x78, {6}));
  EXPECT_FALSE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(code, hid::kTimeoutError);
  EXPECT_EQ(clock_.Now() - before, std::chrono::milliseconds(hid::kReadTimeoutMs));
  EXPECT_EQ(e.Led(), 6);

  EXPECT_EQ(Exchange(e, 0x78, {7}).status(), 0);  // every fault fired once
}

TEST_F(EmulatorTest, FaultTriggersByIndexAndRepeat) {
  Emulator e;
  Fault f;
  f.kind = FaultKind::kStatus;
  f.status = 3;
  f.atExchange = 2;
  e.InjectFault(f);
  EXPECT_EQ(Exchange(e, 0x75).status(), 0);
  EXPECT_EQ(Exchange(e, 0x75).status(), 0);
  EXPECT_EQ(Exchange(e, 0x75).status(), 3);
  EXPECT_EQ(Exchange(e, 0x75).status(), 0);

  Fault every;
  every.kind = FaultKind::kStatus;
  every.status = 8;
  every.atCommand = 0x79;
  every.once = false;
  e.InjectFault(every);
  EXPECT_EQ(Exchange(e, 0x79, {0}).status(), 8);
  EXPECT_EQ(Exchange(e, 0x79, {0}).status(), 8);
  e.ClearFaults();
  EXPECT_EQ(Exchange(e, 0x79, {0}).status(), 0);
}

// ---- Latency ----

TEST_F(EmulatorTest, LatencyIsOffByDefault) {
  Emulator e;
  ChipCommand(e, {0x07, 0x00, 0x00, 0x00});
  EXPECT_EQ(clock_.Now(), Clock::Duration{0});
}

TEST_F(EmulatorTest, LatencyModelsReportsAndChipBusyTimes) {
  Emulator e;
  const Latency fs = Latency::UsbFullSpeed();
  EXPECT_EQ(fs.frame, 1ms);
  EXPECT_LT(fs.eraseBusy, 550ms);
  EXPECT_LT(fs.crcBusy, 600ms);
  EXPECT_LE(fs.writeBusy, 500us);
  e.SetLatency(fs);

  // One report out, one report in.
  auto t = clock_.Now();
  Exchange(e, 0x75);
  EXPECT_EQ(clock_.Now() - t, 2ms);
  // Three reports out (150 bytes), one in.
  t = clock_.Now();
  Exchange(e, 0x7B, Bytes(150, 'n'));
  EXPECT_EQ(clock_.Now() - t, 4ms);

  // A read right after the erase waits for the chip.
  t = clock_.Now();
  Exchange(e, 0x76, I2cWriteData({0x07, 0x00, 0x00, 0x00}));
  Exchange(e, 0x77, {0xA1, 0x02, 0x00});
  // Busy from the end of the write report on; the reply report follows.
  EXPECT_EQ(clock_.Now() - t, 1ms + fs.eraseBusy + 1ms);
  // After the host's own 550 ms wait, the read costs only its reports.
  Exchange(e, 0x76, I2cWriteData({0x07, 0x00, 0x00, 0x00}));
  clock_.Sleep(550ms);
  t = clock_.Now();
  EXPECT_EQ(Exchange(e, 0x77, {0xA1, 0x02, 0x00}).data(), kOk);
  EXPECT_EQ(clock_.Now() - t, 2ms);

  // A block write is done before the read request has even arrived.
  Exchange(e, 0x76, I2cWriteData(BlockWrite(0x0040, Bytes(128, 1))));
  t = clock_.Now();
  Exchange(e, 0x77, {0xA1, 0x02, 0x00});
  EXPECT_EQ(clock_.Now() - t, 2ms);

  // A second chip command while the chip is busy waits for it.
  Latency slow{};
  slow.crcBusy = 100ms;
  e.SetLatency(slow);
  t = clock_.Now();
  Exchange(e, 0x76, I2cWriteData({0x40, 0x00, 0x00, 0x02, 0x00, 0x00}));
  Exchange(e, 0x76, I2cWriteData({0x40, 0x00, 0x00, 0x02, 0x00, 0x00}));
  EXPECT_EQ(clock_.Now() - t, 100ms);
  Exchange(e, 0x77, {0xA1, 0x02, 0x00});
  EXPECT_EQ(clock_.Now() - t, 200ms);
}

// Reports move in 1 ms frames on a fixed grid: a report goes at the next
// boundary, one per direction per frame; the host's timing never moves the
// grid, and a reply travels whether or not the host is reading.
TEST_F(EmulatorTest, UsbFramesRunOnAFixedGrid) {
  Emulator e;
  e.SetLatency(Latency::UsbFullSpeed());
  int code = 0;
  hid::Report r{};
  std::size_t delivered = 0;

  // Written at 0.3 ms: out at the 1 ms boundary, the reply in the next frame.
  clock_.Sleep(300us);
  ASSERT_TRUE(e.WriteReport(Cut(RequestFrame(0x78, {1}))[0], code));
  EXPECT_EQ(clock_.Now(), 1ms);
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(clock_.Now(), 2ms);

  // Three reports of one request go one frame apart.
  Send(e, RequestFrame(0x7B, Bytes(150, 'n')));
  EXPECT_EQ(clock_.Now(), 5ms);
  ASSERT_TRUE(Receive(e).ok);
  EXPECT_EQ(clock_.Now(), 6ms);

  // A writer 1.7 ms late loses the frames it missed, no more: its two
  // reports go at 8 and 9 ms, not 1 ms after it came.
  clock_.Sleep(1700us);
  Send(e, RequestFrame(0x7B, Bytes(60, 'n')));
  EXPECT_EQ(clock_.Now(), 9ms);
  ASSERT_TRUE(Receive(e).ok);
  EXPECT_EQ(clock_.Now(), 10ms);

  // A three-report reply arrives at 12, 13 and 14 ms. A reader late for the
  // second gets it at once and still gets the third at 14 ms.
  e.SetApduResponse(Bytes(150, 0x22));
  Send(e, RequestFrame(0x6F, {0x00}));
  EXPECT_EQ(clock_.Now(), 11ms);
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(clock_.Now(), 12ms);
  clock_.Sleep(1500us);
  int failCode = 0;
  EXPECT_TRUE(e.PollReport(kDefaultReader, r, delivered, failCode));   // arrived at 13 ms
  EXPECT_FALSE(e.PollReport(kDefaultReader, r, delivered, failCode));  // still in flight
  ASSERT_TRUE(e.ReadReport(r, delivered, code));
  EXPECT_EQ(clock_.Now(), 14ms);

  // An erase that goes out at 15 ms keeps the chip busy until 315.5 ms: its
  // status word goes in the frame after that, at 316 ms.
  Latency offGrid = Latency::UsbFullSpeed();
  offGrid.eraseBusy = 300500us;
  e.SetLatency(offGrid);
  Send(e, RequestFrame(0x76, I2cWriteData({0x07, 0x00, 0x00, 0x00})));
  EXPECT_EQ(clock_.Now(), 15ms);
  ASSERT_TRUE(Receive(e).ok);
  Send(e, RequestFrame(0x77, {0xA1, 0x02, 0x00}));
  // A read with a 50 ms limit gives up at 67 ms; the status word still comes.
  EXPECT_FALSE(e.ReadReport(kDefaultReader, r, delivered, code, 50ms));
  EXPECT_EQ(code, hid::kTimeoutError);
  EXPECT_EQ(clock_.Now(), 67ms);
  EXPECT_EQ(Receive(e).data(), kOk);
  EXPECT_EQ(clock_.Now(), 316ms);
}

// Each emulated programmer is a bus of its own: a long reply in flight on
// one does not hold back the other's reports. On one bus, requests written
// back to back are answered in order, none lost, one frame each.
TEST_F(EmulatorTest, UsbFramesKeepEveryReportInOrderOnEachBus) {
  Emulator a;
  Emulator b;
  a.SetLatency(Latency::UsbFullSpeed());
  b.SetLatency(Latency::UsbFullSpeed());
  a.SetApduResponse(Bytes(500, 0x33));  // nine reports
  Send(a, RequestFrame(0x6F, {0x00}));  // out at 1 ms, reply at 2 to 10 ms
  EXPECT_EQ(Exchange(b, 0x75).status(), 0);
  EXPECT_EQ(clock_.Now(), 3ms);
  const Reply apdu = Receive(a);
  ASSERT_TRUE(apdu.ok);
  EXPECT_EQ(apdu.data(), Bytes(500, 0x33));
  EXPECT_EQ(clock_.Now(), 10ms);

  // Twenty one-report requests, then their replies: out at 11..30 ms, in
  // at 12..31 ms, each echoing its own command.
  const std::array<std::uint8_t, 4> commands{0x75, 0x78, 0x63, 0x72};
  for (int i = 0; i < 20; ++i) {
    const std::uint8_t c = commands[i % 4];
    Send(b, RequestFrame(c, c == 0x78 ? Bytes{static_cast<std::uint8_t>(i)} : Bytes{}));
  }
  EXPECT_EQ(clock_.Now(), 30ms);
  for (int i = 0; i < 20; ++i) {
    const Reply rep = Receive(b);
    ASSERT_TRUE(rep.ok) << i;
    EXPECT_EQ(rep.frame[1], commands[i % 4]) << i;
    EXPECT_EQ(rep.status(), 0) << i;
  }
  EXPECT_EQ(clock_.Now(), 31ms);
  EXPECT_EQ(b.Led(), 17);
  EXPECT_EQ(b.ExchangeCount(), 21u);

  // A long request and its long reply survive the frame schedule whole.
  const std::string name(kMaxOfflineName, 'x');
  EXPECT_EQ(Exchange(b, 0x7B, Bytes(name.begin(), name.end())).status(), 0);
  const Reply back = Exchange(b, 0x7A);
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.data(), Bytes(name.begin(), name.end()));
}

// Programmers driven from threads of their own at once (virtual time runs
// ahead for all of them): every exchange gets its own reply.
TEST_F(EmulatorTest, UsbFramesOnSeveralBusesFromSeveralThreads) {
  constexpr int kBuses = 4;
  constexpr int kExchanges = 60;
  std::vector<std::unique_ptr<Emulator>> buses;
  for (int i = 0; i < kBuses; ++i) {
    buses.push_back(std::make_unique<Emulator>());
    buses.back()->SetLatency(Latency::UsbFullSpeed());
  }
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < kBuses; ++i) {
    threads.emplace_back([&, i] {
      Emulator& e = *buses[static_cast<std::size_t>(i)];
      for (int k = 0; k < kExchanges; ++k) {
        const Reply rep = Exchange(e, k % 2 == 0 ? 0x78 : 0x79, {static_cast<std::uint8_t>(k)});
        if (!rep.ok || rep.frame[1] != (k % 2 == 0 ? 0x78 : 0x79)) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const auto& e : buses) {
    EXPECT_EQ(e->ExchangeCount(), static_cast<std::uint64_t>(kExchanges));
    EXPECT_EQ(e->Led(), kExchanges - 2);
    EXPECT_EQ(e->Speaker(), kExchanges - 1);
  }
}

// ---- Emulated HID platform ----

TEST_F(EmulatorTest, EmulatedPlatformForwardsToTheEmulator) {
  auto e = std::make_shared<Emulator>();
  auto platform = hid::MakeEmulatedPlatform(e);
  auto set = platform->PresentInterfaces();
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->At(0), hid::InterfaceSet::Item::kPresent);
  EXPECT_EQ(set->At(1), hid::InterfaceSet::Item::kNoMore);
  std::string path;
  ASSERT_TRUE(set->DevicePath(0, path));
  EXPECT_EQ(path, "emulator:0");
  EXPECT_EQ(platform->Open("emulator:1"), nullptr);

  auto dev = platform->Open(path);
  ASSERT_NE(dev, nullptr);
  hid::Attributes a;
  ASSERT_TRUE(dev->GetAttributes(a));
  EXPECT_EQ(a.vendorId, 0x0755);
  EXPECT_EQ(a.productId, 0x0102);

  ASSERT_TRUE(dev->WriteReport(Cut(RequestFrame(0x72, {}))[0]));
  hid::Report r{};
  std::size_t delivered = 0;
  ASSERT_TRUE(dev->ReadReport(r, delivered));
  EXPECT_EQ(delivered, 64u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 7), (Bytes{4, 0, 0x72, 0, 0, 0, 0x72}));

  // No reply pending: the read waits on the clock and times out.
  const auto t = clock_.Now();
  EXPECT_FALSE(dev->ReadReport(r, delivered));
  EXPECT_EQ(dev->LastError(), hid::kTimeoutError);
  EXPECT_EQ(clock_.Now() - t, std::chrono::milliseconds(hid::kReadTimeoutMs));

  EXPECT_TRUE(dev->Close());
  EXPECT_FALSE(dev->Close());
  EXPECT_FALSE(dev->WriteReport(Cut(RequestFrame(0x72, {}))[0]));
  EXPECT_GT(dev->LastError(), 0);
  EXPECT_EQ(e->ExchangeCount(), 1u);
}

// Tests read the emulator while a run drives it from another thread.
TEST_F(EmulatorTest, InspectionWhileAnotherThreadExchanges) {
  Emulator e;
  std::atomic<bool> done{false};
  std::thread run([&] {
    for (int i = 0; i < 200; ++i) {
      Exchange(e, 0x78, {static_cast<std::uint8_t>(i)});
      Exchange(e, 0x76, I2cWriteData(BlockWrite(0x0040, {static_cast<std::uint8_t>(i)})));
    }
    done = true;
  });
  std::size_t seen = 0;
  while (!done) {
    seen = std::max(seen, e.Requests().size());
    (void)e.Led();
    (void)e.Flash();
  }
  run.join();
  EXPECT_EQ(e.ExchangeCount(), 400u);
  EXPECT_EQ(e.Led(), 199);
  EXPECT_LE(seen, 400u);
}

// ---- The feeder's tray ----

class FeederTrayTest : public EmulatorStateTest {
 protected:
  static constexpr auto kMove = 10ms;
  static Feeder QuickFeeder(std::optional<std::pair<std::uint32_t, std::size_t>> serial = {}) {
    Feeder f;
    f.takeOut = kMove;
    f.refill = kMove;
    f.traySerial = serial;
    return f;
  }
  std::vector<nlohmann::json> Tray() const {
    std::vector<nlohmann::json> lines;
    std::ifstream in(dir_ / kTrayFileName);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
  // Programs one byte run at chip address `at` (block aligned), shows
  // `led`, and lets the feeder take the chip out.
  void ProgramShowAndTakeOut(Emulator& e, std::uint16_t block, const Bytes& bytes,
                             std::uint8_t led) {
    ASSERT_TRUE(e.ChipPresent());
    EXPECT_EQ(ChipCommand(e, BlockWrite(block, bytes)), kOk);
    Exchange(e, 0x78, {led});
    clock_.Sleep(kMove);
    Exchange(e, 0x75);
    EXPECT_FALSE(e.ChipPresent());
  }
  void Refill(Emulator& e) {
    clock_.Sleep(kMove);
    Exchange(e, 0x75);
    EXPECT_TRUE(e.ChipPresent());
  }
  static std::string FlashSha(const Emulator& e) {
    const auto flash = e.Flash();
    return Sha256Hex(std::string_view(reinterpret_cast<const char*>(flash.data()), flash.size()));
  }
};

TEST_F(FeederTrayTest, EachChipTakenOutIsWrittenBeforeTheNextGoesIn) {
  Emulator e(dir_);
  ASSERT_TRUE(e.ok()) << e.error();
  e.SetFeeder(QuickFeeder(std::make_pair(0x2010u, std::size_t{4})));
  EXPECT_TRUE(Tray().empty());

  Bytes bytes(20, 0x00);
  std::copy_n(Bytes{0x12, 0x34, 0xAB, 0xCD}.begin(), 4, bytes.begin() + 16);
  ProgramShowAndTakeOut(e, 0x0040, bytes, 2);
  const std::string firstSha = FlashSha(e);  // the chip's flash stays until the refill
  // Written at the take-out, before the refill, with the fields in order.
  EXPECT_EQ(Slurp(dir_ / kTrayFileName), R"({"chip":1,"flashSha256":")" + firstSha +
                                             R"(","serialHex":"1234ABCD","fused":false,"led":2})" +
                                             "\n");
  EXPECT_EQ(firstSha.find_first_not_of("0123456789abcdef"), std::string::npos);

  Refill(e);
  EXPECT_EQ(Tray().size(), 1u);  // the blank chip is not out yet
  // A failed chip with its fuse blown; the serial number's bytes stay blank.
  EXPECT_EQ(ChipCommand(e, BlockWrite(0x0100, {0x55})), kOk);
  EXPECT_EQ(ChipCommand(e, {0x08, 0x01, 0x00, 0x00}), kOk);
  Exchange(e, 0x78, {1});
  clock_.Sleep(kMove);
  Exchange(e, 0x75);
  ASSERT_EQ(Tray().size(), 2u);
  EXPECT_EQ(Tray()[1]["chip"], 2);
  EXPECT_EQ(Tray()[1]["serialHex"], "FFFFFFFF");
  EXPECT_EQ(Tray()[1]["fused"], true);
  EXPECT_EQ(Tray()[1]["led"], 1);
  EXPECT_NE(Tray()[1]["flashSha256"], firstSha);

  // A chip the test takes out by hand is written too; one it puts in is not
  // numbered, so taking that out writes nothing.
  Refill(e);
  e.RemoveChip();
  ASSERT_EQ(Tray().size(), 3u);
  EXPECT_EQ(Tray()[2]["chip"], 3);
  EXPECT_EQ(Tray()[2]["led"], 0);  // no LED value while it was in
  e.InsertBlankChip();
  e.RemoveChip();
  EXPECT_EQ(Tray().size(), 3u);
}

// A process that ends with its chip in the socket (killed) leaves it to the
// next feeder on the folder, which writes it once and numbers on.
TEST_F(FeederTrayTest, ChipsLeftInTheSocketAreWrittenOnceByTheNextFeeder) {
  std::string programmedSha;
  {
    Emulator e(dir_);
    ASSERT_TRUE(e.ok()) << e.error();
    e.SetFeeder(QuickFeeder());
    ProgramShowAndTakeOut(e, 0x0040, {0x01}, 2);
    Refill(e);
    EXPECT_EQ(ChipCommand(e, BlockWrite(0x0041, {0x02})), kOk);
    Exchange(e, 0x78, {2});
    programmedSha = FlashSha(e);
  }  // killed before chip 2 was taken out
  ASSERT_EQ(Tray().size(), 1u);

  {
    Emulator e(dir_);
    ASSERT_TRUE(e.ok()) << e.error();
    e.SetFeeder(QuickFeeder());
    const auto lines = Tray();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["chip"], 2);
    EXPECT_EQ(lines[1]["flashSha256"], programmedSha);
    EXPECT_EQ(lines[1]["led"], 2);
    EXPECT_FALSE(lines[1].contains("serialHex"));
    EXPECT_EQ(e.Flash()[0x80], 0xFF);  // chip 3, blank
    // Killed again at once: the LED still shows chip 2's pass, chip 3 saw
    // no LED value of its own.
  }
  {
    Emulator e(dir_);
    EXPECT_EQ(e.Led(), 2);
    e.SetFeeder(QuickFeeder());
    ASSERT_EQ(Tray().size(), 3u);
    EXPECT_EQ(Tray()[2]["chip"], 3);
    EXPECT_EQ(Tray()[2]["led"], 0);
    // Chip 4 taken out, the process killed before the refill: the next one
    // has nothing to write and starts at 5.
    ProgramShowAndTakeOut(e, 0x0040, {0x04}, 1);
  }
  {
    Emulator e(dir_);
    e.SetFeeder(QuickFeeder());
    ASSERT_EQ(Tray().size(), 4u);
    EXPECT_EQ(Tray()[3]["chip"], 4);
    ProgramShowAndTakeOut(e, 0x0040, {0x05}, 1);
    ASSERT_EQ(Tray().size(), 5u);
    EXPECT_EQ(Tray()[4]["chip"], 5);
  }

  // Killed after chip 6's line was written but before the state folder
  // learnt it was out: state.json still names it, the tray already has it.
  std::string stateWithChip6;
  {
    Emulator e(dir_);
    e.SetFeeder(QuickFeeder());
    Exchange(e, 0x78, {2});
    stateWithChip6 = Slurp(dir_ / "state.json");
    ASSERT_NE(stateWithChip6.find("\"socket\""), std::string::npos) << stateWithChip6;
    clock_.Sleep(kMove);
    Exchange(e, 0x75);
  }
  Write(dir_ / "state.json", stateWithChip6);
  Emulator e(dir_);
  ASSERT_TRUE(e.ok()) << e.error();
  e.SetFeeder(QuickFeeder());
  ProgramShowAndTakeOut(e, 0x0040, {0x07}, 2);
  const auto lines = Tray();
  ASSERT_EQ(lines.size(), 7u);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i]["chip"], i + 1);
}

TEST_F(FeederTrayTest, TrayProblemsAreReportedAndTheFeederGoesOn) {
  // A tray that cannot be read when the feeder starts, nor written later.
  std::filesystem::create_directories(dir_ / kTrayFileName);
  Emulator e(dir_);
  ASSERT_TRUE(e.ok()) << e.error();
  ::testing::internal::CaptureStderr();
  e.SetFeeder(QuickFeeder());
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("tray.jsonl"), std::string::npos) << said;
  EXPECT_NE(said.find("directory"), std::string::npos) << said;

  ::testing::internal::CaptureStderr();
  ProgramShowAndTakeOut(e, 0x0040, {0x01}, 2);
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("tray.jsonl"), std::string::npos) << said;
  EXPECT_NE(said.find("chip 1 taken out without its line"), std::string::npos) << said;
  Refill(e);

  // A line that is not a tray line is reported and left out of the count.
  const auto other = dir_ / "other";
  std::filesystem::create_directories(other);
  Write(other / kTrayFileName, "{\"chip\":7}\nnot json\n");
  Emulator f(other);
  ::testing::internal::CaptureStderr();
  f.SetFeeder(QuickFeeder());
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("line 2 is not a tray line"), std::string::npos) << said;
  ProgramShowAndTakeOut(f, 0x0040, {0x01}, 2);
  EXPECT_NE(Slurp(other / kTrayFileName).find("\n{\"chip\":8,"), std::string::npos);
}

TEST(TraySerialTest, ParsesAddressAndCountWithinTheFlash) {
  using Serial = std::optional<std::pair<std::uint32_t, std::size_t>>;
  EXPECT_EQ(ParseTraySerial("0x2010:4"), Serial(std::make_pair(0x2010u, std::size_t{4})));
  EXPECT_EQ(ParseTraySerial("9ff8:8"), Serial(std::make_pair(0x9FF8u, std::size_t{8})));
  EXPECT_EQ(ParseTraySerial("0X2000:1"), Serial(std::make_pair(0x2000u, std::size_t{1})));
  for (const char* bad : {"", "2010", "2010:", ":4", "0x:4", "2010:0", "2010:9", "1FFF:1", "9FFF:2",
                          "A000:1", "2010:4x", "g010:1", "2010:-1", "100002010:1"}) {
    EXPECT_FALSE(ParseTraySerial(bad)) << bad;
  }
}

}  // namespace
}  // namespace velkan::emu
