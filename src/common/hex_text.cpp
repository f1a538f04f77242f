#include "common/hex_text.h"

#include "common/codepage.h"

namespace velkan {

namespace {

std::uint8_t Nibble(char c) {
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return static_cast<std::uint8_t>(static_cast<unsigned char>(c) & 0x0F);
}

bool IsHexOrSpace(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == ' ';
}

}  // namespace

std::size_t HexToBytes(std::string_view text, std::uint8_t* out) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::uint8_t high = Nibble(text[i]);
    const std::uint8_t low = i + 1 < text.size() ? Nibble(text[i + 1]) : 0;
    out[count++] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return count;
}

std::vector<std::uint8_t> HexToBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes((text.size() + 1) / 2);
  HexToBytes(text, bytes.data());
  return bytes;
}

bool IsHexText(std::string_view text, std::size_t n) {
  const std::string narrow = ToSystemCodePage(text);
  if (narrow.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!IsHexOrSpace(narrow[i])) return false;
  }
  return true;
}

std::string BytesToHex(const std::uint8_t* data, std::size_t count, std::string_view separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * (2 + separator.size()));
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
    text += separator;
  }
  return text;
}

}  // namespace velkan
