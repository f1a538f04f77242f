// Reading the fields of one trimmed HEX record line by character position:
// 0 start code (never checked), 1-2 byte count, 3-6 address, 7-8 type,
// 9 on data, the last two characters the checksum. Internal to the image
// module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velkan::hexrecord {

enum class Type { kData, kEndOfFile, kSegmentBase, kLinearBase, kOther };

// Value of a hex digit, -1 for any other character.
inline constexpr std::array<std::int8_t, 256> kDigit = [] {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return table;
}();

inline int Digit(char c) {
  return kDigit[static_cast<unsigned char>(c)];
}

// The type is the two-character text at positions 7-8; a shorter line has
// none of the known types.
inline Type TypeOf(std::string_view line) {
  if (line.size() < 9 || line[7] != '0') return Type::kOther;
  switch (line[8]) {
    case '0':
      return Type::kData;
    case '1':
      return Type::kEndOfFile;
    case '2':
      return Type::kSegmentBase;
    case '4':
      return Type::kLinearBase;
    default:
      return Type::kOther;
  }
}

// The field of `length` characters at `pos` read as an unsigned hexadecimal
// number; the scan stops at the first character that is no hex digit (no
// digit at all gives 0).
inline std::uint32_t ScanHex(std::string_view line, std::size_t pos, std::size_t length) {
  std::uint32_t value = 0;
  for (std::size_t i = pos; i < pos + length && i < line.size(); ++i) {
    const int d = Digit(line[i]);
    if (d < 0) break;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return value;
}

// The base address set by an address record: segment value × 16 or linear
// value × 65536, the value being positions 9-12.
inline std::uint32_t BaseOf(std::string_view line, Type type) {
  const std::uint32_t value = ScanHex(line, 9, 4);
  return type == Type::kSegmentBase ? value << 4 : value << 16;
}

// True when the count and address fields (positions 1-6) are all hex digits,
// so that every reading of them gives the same values.
inline bool HasPlainFields(std::string_view line) {
  if (line.size() < 7) return false;
  for (std::size_t i = 1; i < 7; ++i) {
    if (Digit(line[i]) < 0) return false;
  }
  return true;
}

}  // namespace velkan::hexrecord
