#include "image/script_generator.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "image/crc16.h"

namespace velkan {

namespace {

constexpr std::uint32_t kBlockSize = 128;
constexpr std::uint8_t kCmdWriteBlock = 0xDC;
constexpr std::uint8_t kCmdCrc = 0x40;

// "I-CMD\t" followed by each byte as two upper-case hex digits and a space.
std::string CommandLine(const std::uint8_t* head, std::size_t headCount, const std::uint8_t* data,
                        std::size_t dataCount) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  static constexpr std::string_view kPrefix = "I-CMD\t";
  std::string line(kPrefix.size() + 3 * (headCount + dataCount), ' ');
  std::copy(kPrefix.begin(), kPrefix.end(), line.begin());
  char* out = line.data() + kPrefix.size();
  auto put = [&out](std::uint8_t b) {
    out[0] = kDigits[b >> 4];
    out[1] = kDigits[b & 0x0F];
    out += 3;  // the space is already there
  };
  for (std::size_t i = 0; i < headCount; ++i) put(head[i]);
  for (std::size_t i = 0; i < dataCount; ++i) put(data[i]);
  return line;
}

bool AllErased(const std::uint8_t* data, std::size_t count) {
  return std::all_of(data, data + count, [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace

bool GenerateScript(const ChipImage& image, std::uint32_t endAddress, bool fuseChosen,
                    ScriptTable& script) {
  try {
    script.clear();
    std::int32_t number = 0;
    auto add = [&](std::string line) {
      script.emplace_hint(script.end(), ++number, std::move(line));
    };
    add("REBOOT");
    add("I-ADDR \t00");
    add("I-CMD \t20 00 00 08 FF FF FF FF FF FF FF FF");
    add("I-CMD \t07 00 00 00");

    // One line per 128-byte block below the end address that holds a byte
    // other than 0xFF; only the last block can be shorter.
    const std::uint32_t end = std::min(endAddress, kAppEnd);
    for (std::uint32_t a = kAppStart; a < end; a += kBlockSize) {
      const std::uint32_t n = std::min(end - a, kBlockSize);
      const std::uint8_t* data = image.data() + (a - kAppStart);
      if (AllErased(data, n)) continue;
      const std::uint32_t block = a / kBlockSize;
      const std::uint8_t head[] = {kCmdWriteBlock, static_cast<std::uint8_t>(block >> 8),
                                   static_cast<std::uint8_t>(block & 0xFF),
                                   static_cast<std::uint8_t>(n)};
      add(CommandLine(head, sizeof head, data, n));
    }

    const std::uint16_t crc = Crc16Xmodem(image.data(), image.size());
    const std::uint8_t crcLine[] = {kCmdCrc,
                                    0x00,
                                    0x00,
                                    0x02,
                                    static_cast<std::uint8_t>(crc >> 8),
                                    static_cast<std::uint8_t>(crc & 0xFF)};
    add(CommandLine(crcLine, sizeof crcLine, nullptr, 0));

    add(fuseChosen ? "I-CMD\t08 01 00 00" : "I-CMD\t08 00 00 00");
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace velkan
