// Test fixture and script helpers for the runs against the emulated
// programmer, in virtual time.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/codepage.h"
#include "common/hex_text.h"
#include "common/script_table.h"
#include "emulator/emulator.h"
#include "image/crc16.h"
#include "programmer/backend.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan::test {

using ChipImage = std::array<std::uint8_t, emu::kFlashSize>;

// The programming script of `image` in the generator's text forms: header,
// one data line per 128-byte block that is not all 0xFF, CRC line, fuse line.
inline ScriptTable ProgrammingScript(const ChipImage& image, bool fuse) {
  ScriptTable script;
  std::int32_t n = 1;
  script[n++] = "REBOOT";
  script[n++] = "I-ADDR \t00";
  script[n++] = "I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF";
  script[n++] = "I-CMD \t07 00 00 00";
  for (std::size_t offset = 0; offset < image.size(); offset += 128) {
    const std::uint8_t* block = image.data() + offset;
    bool blank = true;
    for (int i = 0; i < 128; ++i) blank = blank && block[i] == 0xFF;
    if (blank) continue;
    const unsigned number = static_cast<unsigned>((offset + emu::kFlashBase) / 128);
    const std::uint8_t head[4] = {0xDC, static_cast<std::uint8_t>(number >> 8),
                                  static_cast<std::uint8_t>(number & 0xFF), 0x80};
    script[n++] = "I-CMD\t" + BytesToHex(head, 4, " ") + BytesToHex(block, 128, " ");
  }
  const std::uint16_t crc = Crc16Xmodem(image.data(), image.size());
  const std::uint8_t crcLine[6] = {
      0x40, 0, 0, 2, static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)};
  script[n++] = "I-CMD\t" + BytesToHex(crcLine, 6, " ");
  script[n++] = fuse ? "I-CMD\t08 01 00 00" : "I-CMD\t08 00 00 00";
  return script;
}

// An image with data in every block (`blocks` = 256) or in the first
// `blocks` blocks only.
inline ChipImage PatternImage(std::size_t blocks = 256) {
  ChipImage image;
  image.fill(0xFF);
  for (std::size_t i = 0; i < blocks * 128 && i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
  }
  return image;
}

inline emu::Fault FaultAtCommand(emu::FaultKind kind, std::uint8_t command) {
  emu::Fault fault;
  fault.kind = kind;
  fault.atCommand = command;
  return fault;
}

inline emu::Fault FaultAtExchange(emu::FaultKind kind, std::uint64_t index) {
  emu::Fault fault;
  fault.kind = kind;
  fault.atExchange = index;
  return fault;
}

// Virtual time, a fresh emulated programmer, the module-wide reader handle
// closed before and after.
class EmulatedProgrammerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReaderHandle(0);
    emulator_ = UseEmulator(std::nullopt);
    ASSERT_NE(emulator_, nullptr);
  }
  void TearDown() override { CloseReader(); }

  static void CloseReader() { DefaultStation().CloseReader(); }

  // Milliseconds of virtual time since the test began.
  long long ElapsedMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now()).count();
  }

  VirtualClock clock_;
  ScopedClock scoped_{clock_};
  std::shared_ptr<emu::Emulator> emulator_;
};

}  // namespace velkan::test
