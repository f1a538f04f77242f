// Intel HEX record lines for the image tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/hex_text.h"

namespace velkan::testing {

// ":" count address type data checksum, upper-case, without a line end.
inline std::string Record(std::uint8_t type, std::uint16_t address,
                          const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size()),
                                     static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (const std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  bytes.push_back(static_cast<std::uint8_t>(0x100 - sum));
  return ":" + BytesToHex(bytes.data(), bytes.size());
}

inline std::string Data(std::uint16_t address, const std::vector<std::uint8_t>& data) {
  return Record(0x00, address, data);
}
inline std::string SegmentBase(std::uint16_t value) {
  return Record(0x02, 0, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
inline std::string LinearBase(std::uint16_t value) {
  return Record(0x04, 0, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
inline std::string EndOfFile() {
  return ":00000001FF";
}

inline std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first,
                                       std::uint8_t step = 1) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * step);
  return bytes;
}

// Lines joined with `eol` after each.
inline std::string Lines(const std::vector<std::string>& lines, const std::string& eol = "\n") {
  std::string text;
  for (const auto& line : lines) text += line + eol;
  return text;
}

}  // namespace velkan::testing
